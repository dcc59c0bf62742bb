#include "runtime/window/event_queue.h"

#include <atomic>

#include "runtime/base/block_pool.h"
#include "runtime/base/containers.h"
#include "runtime/base/hex_format.h"
#include "runtime/base/memory.h"
#include "runtime/window/window_names.h"

namespace {

// The queue is used from the GUI thread only; other threads go through the
// post-event window. Building with a lock is a compile-time choice.
constexpr bool EventQueue_ThreadSafe = false;

constexpr int32_t EventPool_MinChunk = 16;
constexpr int32_t EventPool_MaxChunk = 256;
constexpr int32_t EventPool_Flags = 2;  // no lock of its own, not shared
constexpr int32_t EventBindings_Buckets = 1024;
constexpr int32_t BindingKey_Bytes = 4 * Decimal_MaxBytes;  // four signed decimals, three colons, NUL

struct BindingCallback {
    BindingCallback* next;
    EventCallback procedure;
};

struct BindingEntry {
    BindingCallback* callbacks;
    ObjectNumber window;
};

struct EventState {
    BlockPool* pool;
    EventRecord* head;
    EventRecord* tail;
    // Raised by gadget operations on whatever thread calls them: a lost update
    // would leave it raised and every later event dropped.
    std::atomic<int32_t> suppression;
    CurrentEvent current;
};

EventState g_events{};
Map* g_bindings = nullptr;
HWND g_post_window = nullptr;
UINT g_post_message = 0;
CRITICAL_SECTION g_queue_lock;

class QueueLock {
public:
    QueueLock() {
        if constexpr (EventQueue_ThreadSafe) EnterCriticalSection(&g_queue_lock);
    }
    ~QueueLock() {
        if constexpr (EventQueue_ThreadSafe) LeaveCriticalSection(&g_queue_lock);
    }
    QueueLock(const QueueLock&) = delete;
    QueueLock& operator=(const QueueLock&) = delete;
};

void format_key(char* key, int32_t code, ObjectNumber window, ObjectNumber object, int32_t type) {
    char* at = format_decimal(key, code);
    *at++ = ':';
    at = format_decimal(at, window);
    *at++ = ':';
    at = format_decimal(at, object);
    *at++ = ':';
    format_decimal(at, type);
}

void run_callbacks(const char* key) {
    auto* entry = static_cast<BindingEntry*>(map_find(g_bindings, key));
    if (!entry) return;
    // A callback may unbind itself: its successor is read before the call.
    for (BindingCallback* callback = entry->callbacks; callback;) {
        BindingCallback* next = callback->next;
        if (callback->procedure) callback->procedure();
        callback = next;
    }
}

void unlink_after(EventRecord* previous, EventRecord* record) {
    if (previous)
        previous->link = record->link;
    else
        g_events.head = record->link;
    if (g_events.tail == record) g_events.tail = previous;
    pool_free(g_events.pool, record);
}

template <typename Match>
void purge_matching(Match matches) {
    QueueLock lock;
    EventRecord* previous = nullptr;
    for (EventRecord* record = g_events.head; record;) {
        EventRecord* next = record->link;
        if (matches(*record))
            unlink_after(previous, record);
        else
            previous = record;
        record = next;
    }
}

bool field_matches(intptr_t wanted, intptr_t value) { return wanted == -1 || wanted == value; }

LRESULT CALLBACK post_event_window_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    if (message == g_post_message && g_post_message != 0 && lparam) {
        auto* record = reinterpret_cast<EventRecord*>(lparam);
        event_queue_post(record->code, record->object, record->window, record->type, record->data, nullptr,
                         EventFlag_Force);
        main_heap_free(record);
    }
    return DefWindowProcA(window, message, wparam, lparam);
}

}  // namespace

void event_runtime_init() {
    HINSTANCE instance = GetModuleHandleA(nullptr);
    WNDCLASSA window_class{};
    window_class.style = CS_DBLCLKS;
    window_class.lpfnWndProc = post_event_window_proc;
    window_class.hInstance = instance;
    window_class.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    window_class.lpszClassName = "PostEventClass";
    RegisterClassA(&window_class);
    g_post_window = CreateWindowExA(0, "PostEventClass", nullptr, WS_CAPTION, 0, 0, 1, 1, nullptr, nullptr,
                                    instance, nullptr);
    g_post_message = RegisterWindowMessageA(Message_PostEvent);

    g_events.pool = pool_create(sizeof(EventRecord), EventPool_MinChunk, EventPool_MaxChunk, EventPool_Flags);
    g_events.head = g_events.tail = nullptr;
    g_events.suppression.store(0);
    g_events.current = CurrentEvent{};
    // Drawn once and kept, so that the pool's first chunk exists from start-up on.
    pool_alloc(g_events.pool);

    g_bindings = map_create(sizeof(BindingEntry), 0, nullptr, &g_bindings, EventBindings_Buckets);
    if constexpr (EventQueue_ThreadSafe) InitializeCriticalSection(&g_queue_lock);
}

void event_runtime_destroy_post_window() {
    if (g_post_window) DestroyWindow(g_post_window);
    g_post_window = nullptr;
}

HWND event_post_window() { return g_post_window; }
UINT event_post_message() { return g_post_message; }

int32_t event_queue_take() {
    QueueLock lock;
    CurrentEvent& current = g_events.current;
    current.code = 0;
    if (current.data && current.release) {
        current.release(current.data);
        current.data = 0;
        current.release = nullptr;
    }
    current.type = -1;
    EventRecord* record = g_events.head;
    if (record) {
        current.code = record->code;
        current.object = record->object;
        current.window = record->window;
        current.type = record->type;
        current.data = record->data;
        current.release = record->release;
        uint32_t flags = record->flags;
        unlink_after(nullptr, record);
        if (flags & EventFlag_Deferred)
            event_bindings_dispatch(current.code, current.window, current.object, current.type);
    }
    return current.code;
}

ObjectNumber event_object() { return g_events.current.object; }
ObjectNumber event_window() { return g_events.current.window; }
int32_t event_type() { return g_events.current.type; }
intptr_t event_data() { return g_events.current.data; }

EventRecord* event_queue_post(int32_t code, ObjectNumber object, ObjectNumber window, int32_t type, intptr_t data,
                              EventRelease release, uint32_t flags) {
    if (g_events.suppression.load() != 0 && !(flags & EventFlag_Force)) return nullptr;
    EventRecord* record = nullptr;
    {
        QueueLock lock;
        EventRecord* tail = g_events.tail;
        bool merged = tail && code < Event_MergeLimit && !(flags & EventFlag_Deferred) && tail->code == code &&
                      tail->object == object && tail->window == window && tail->type == type;
        if (!merged) {
            record = static_cast<EventRecord*>(pool_alloc(g_events.pool));
            // Out of records: the event is lost, the queue stays as it was.
            if (!record) return nullptr;
            *record = EventRecord{nullptr, code, flags, object, window, type, data, release};
            if (tail)
                tail->link = record;
            else
                g_events.head = record;
            g_events.tail = record;
        }
    }
    if (flags & EventFlag_Deferred) return record;
    CurrentEvent saved = g_events.current;
    g_events.current = CurrentEvent{code, window, object, type, data, release};
    event_bindings_dispatch(code, window, object, type);
    g_events.current = saved;
    return nullptr;
}

void event_queue_add(int32_t code, ObjectNumber object, ObjectNumber window, int32_t type) {
    event_queue_post(code, object, window, type, 0, nullptr, 0);
}

void event_queue_purge(int32_t code, ObjectNumber object, ObjectNumber window, int32_t type) {
    purge_matching([&](const EventRecord& record) {
        return field_matches(code, record.code) && field_matches(object, record.object) &&
               field_matches(window, record.window) && field_matches(type, record.type);
    });
}

void event_queue_purge_window(ObjectNumber window) {
    purge_matching([&](const EventRecord& record) { return record.window == window; });
}

int32_t event_queue_length() {
    int32_t count = 0;
    for (EventRecord* record = g_events.head; record; record = record->link) ++count;
    return count;
}

void event_suppress_begin() { g_events.suppression.fetch_add(1); }
void event_suppress_end() { g_events.suppression.fetch_sub(1); }
int32_t event_suppression() { return g_events.suppression.load(); }

bool event_post_from_thread(int32_t code, ObjectNumber object, ObjectNumber window, int32_t type, intptr_t data) {
    auto* record = static_cast<EventRecord*>(main_heap_alloc(sizeof(EventRecord)));
    if (!record) return false;
    *record = EventRecord{nullptr, code, 0, object, window, type, data, nullptr};
    if (!g_post_window || !PostMessageA(g_post_window, g_post_message, 0, reinterpret_cast<LPARAM>(record))) {
        main_heap_free(record);
        return false;
    }
    return true;
}

bool event_bindings_add(int32_t code, ObjectNumber window, ObjectNumber object, int32_t type, EventCallback callback) {
    if (!g_bindings || !callback) return false;
    char key[BindingKey_Bytes];
    format_key(key, code, window, object, type);
    auto* element = static_cast<BindingCallback*>(main_heap_alloc(sizeof(BindingCallback)));
    if (!element) return false;
    auto* entry = static_cast<BindingEntry*>(map_find(g_bindings, key));
    if (!entry) {
        entry = static_cast<BindingEntry*>(map_insert(g_bindings, key, false));
        if (!entry) {
            main_heap_free(element);
            return false;
        }
        *entry = BindingEntry{nullptr, window};
    }
    element->procedure = callback;
    // Callbacks run in the order in which they were bound.
    BindingCallback** end = &entry->callbacks;
    while (*end) end = &(*end)->next;
    *end = element;
    return true;
}

void event_bindings_dispatch(int32_t code, ObjectNumber window, ObjectNumber object, int32_t type) {
    if (!g_bindings) return;
    char key[BindingKey_Bytes];
    format_key(key, code, window, object, type);
    run_callbacks(key);
    format_key(key, code, window, object, -1);
    run_callbacks(key);
    format_key(key, code, window, -1, -1);
    run_callbacks(key);
    format_key(key, code, -1, -1, -1);
    run_callbacks(key);
    format_key(key, code, -1, object, type);
    run_callbacks(key);
}

void event_bindings_remove_window(ObjectNumber window) {
    if (!g_bindings) return;
    map_reset(g_bindings);
    while (auto* entry = static_cast<BindingEntry*>(map_next(g_bindings))) {
        if (entry->window != window) continue;
        for (BindingCallback* callback = entry->callbacks; callback;) {
            BindingCallback* next = callback->next;
            main_heap_free(callback);
            callback = next;
        }
        map_delete_current(g_bindings);
    }
}
