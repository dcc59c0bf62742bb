// The process-wide event queue: numbered events posted by the window and gadget
// procedures and handed out one by one by the message pump, the current event,
// the suppression counter, event bindings and the cross-thread post channel.
#pragma once
#include <windows.h>

#include <cstddef>
#include <cstdint>

#include "runtime/base/object_table.h"

enum EventCode : int32_t {
    Event_None = 0,
    Event_GadgetAction = 13100,
    Event_MenuCommand = 13101,
    Event_TrayIcon = 13102,
    Event_WindowActivated = 13104,
    Event_WindowMinimized = 13107,
    Event_WindowMaximized = 13108,
    Event_WindowRestored = 13109,
    Event_TimerTick = 13110,
    Event_RightButtonUp = 13111,
    Event_LeftButtonUp = 13112,
    Event_LeftDoubleClick = 13113,
    Event_WindowDeactivated = 13114,
    Event_EraseBackground = 13115,
    Event_WindowCloseRequest = 13116,
    Event_WindowMoved = 13117,
    Event_WindowSized = 13118,
};

enum EventType : int32_t {
    EventType_FocusGained = 14000,
    EventType_FocusLost = 14001,
};

enum EventFlag : uint32_t {
    EventFlag_Force = 1,     // queued even while events are suppressed
    EventFlag_Deferred = 2,  // bindings run when the event is taken, not when posted
};

// Codes at or above this value are never merged with the queue's tail.
constexpr int32_t Event_MergeLimit = 65536;

using EventRelease = void (*)(intptr_t data);
using EventCallback = void (*)();

struct EventRecord {
    EventRecord* link;
    int32_t code;
    uint32_t flags;
    ObjectNumber object;
    ObjectNumber window;
    int32_t type;
    intptr_t data;
    EventRelease release;
};
// Eight 32-bit words on i686; the object numbers, the data and the release
// operation are pointer-sized.
static_assert(offsetof(EventRecord, code) == Pointer_Bytes && offsetof(EventRecord, flags) == Pointer_Bytes + 4 &&
                  offsetof(EventRecord, object) == pointer_aligned(Pointer_Bytes + 8) &&
                  offsetof(EventRecord, window) == offsetof(EventRecord, object) + Pointer_Bytes &&
                  offsetof(EventRecord, type) == offsetof(EventRecord, window) + Pointer_Bytes &&
                  offsetof(EventRecord, data) == pointer_aligned(offsetof(EventRecord, type) + 4) &&
                  offsetof(EventRecord, release) == offsetof(EventRecord, data) + Pointer_Bytes &&
                  sizeof(EventRecord) == offsetof(EventRecord, release) + Pointer_Bytes,
              "records handed over between threads are read by layout");
static_assert(Pointer_Bytes != 4 || (sizeof(EventRecord) == 32 && offsetof(EventRecord, type) == 20));

struct CurrentEvent {
    int32_t code;
    ObjectNumber window;
    ObjectNumber object;
    int32_t type;
    intptr_t data;
    EventRelease release;
};

void event_runtime_init();
// Destroys the hidden post-event window; the last step of the window runtime's exit.
void event_runtime_destroy_post_window();

int32_t event_queue_take();
ObjectNumber event_object();
ObjectNumber event_window();
int32_t event_type();
intptr_t event_data();

EventRecord* event_queue_post(int32_t code, ObjectNumber object, ObjectNumber window, int32_t type, intptr_t data,
                              EventRelease release, uint32_t flags);
void event_queue_add(int32_t code, ObjectNumber object, ObjectNumber window, int32_t type);
void event_queue_purge(int32_t code, ObjectNumber object, ObjectNumber window, int32_t type);
void event_queue_purge_window(ObjectNumber window);
// Number of events waiting; for diagnostics and tests.
int32_t event_queue_length();

void event_suppress_begin();
void event_suppress_end();
int32_t event_suppression();

// Any thread: hands an event to the GUI thread through the post-event window.
// Returns false when the message could not be posted (the record is freed).
bool event_post_from_thread(int32_t code, ObjectNumber object, ObjectNumber window, int32_t type, intptr_t data);
HWND event_post_window();
UINT event_post_message();

// Bindings: -1 in a key field stands for "any".
bool event_bindings_add(int32_t code, ObjectNumber window, ObjectNumber object, int32_t type, EventCallback callback);
void event_bindings_dispatch(int32_t code, ObjectNumber window, ObjectNumber object, int32_t type);
void event_bindings_remove_window(ObjectNumber window);
