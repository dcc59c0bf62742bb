// The program's entry procedure: brings the runtime up, builds the window,
// runs the event loop until the window is closed, and takes everything down.
#include <windows.h>

#include <cstring>

#include "app/app_state.h"
#include "app/app_texts.h"
#include "app/device_watch.h"
#include "app/input_reader.h"
#include "app/read_handover.h"
#include "hid/hid_binding.h"
#include "runtime/base/memory.h"
#include "runtime/base/string_buffer.h"
#include "runtime/base/thread.h"
#include "runtime/gadget/gadget_kinds.h"
#include "runtime/window/event_queue.h"
#include "runtime/window/message_pump.h"
#include "runtime/window/runtime_start.h"
#include "runtime/window/window.h"

AppState app_state;

namespace {

constexpr DWORD ReaderStop_LimitMs = 2000;
constexpr uint32_t Flags_None = 0;
constexpr uint32_t Flags_TextCentred = SS_CENTER;
constexpr uint32_t Flags_ReadOnlyCentred = ES_READONLY | ES_CENTER;
static_assert(Flags_TextCentred == 1 && Flags_ReadOnlyCentred == 0x801);

void build_window() {
    window_open(Window_Main, 0, 0, 320, 100, Text_Title, Window_MainFlags);
    int32_t start = string_buffer.length;
    gadget_create_text(Gadget_Status, 10, 10, 300, 16, compose_not_found(start, Text_NotFoundEndStartup),
                       Flags_TextCentred);
    string_buffer.length = start;
    gadget_create_button(Gadget_LedOn, 40, 70, 120, 24, Text_LedOn, Flags_None);
    gadget_create_button(Gadget_LedOff, 170, 70, 120, 24, Text_LedOff, Flags_None);
    gadget_create_text(Gadget_ButtonLabel, 50, 40, 98, 16, Text_ButtonLabel, Flags_None);
    gadget_create_string(Gadget_ButtonState, 140, 36, 40, 20, Text_No, Flags_ReadOnlyCentred);
}

void main_loop() {
    do {
        app_state.last_event = event_wait();
        if (app_state.last_event == Event_GadgetAction) {
            ObjectNumber gadget = event_object();
            if (gadget == Gadget_LedOn)
                send_command(Command_LedOn);
            else if (gadget == Gadget_LedOff)
                send_command(Command_LedOff);
        }
    } while (app_state.last_event != Event_WindowCloseRequest);
}

}  // namespace

// The image's entry point itself: the program takes nothing from its command
// line and ends through ExitProcess, so the C runtime's start-up code (argument
// parsing, static constructors, thread-local callbacks) is not linked at all.
// Nothing here may rely on it: no static objects with constructors, no
// thread_local, no C runtime functions that need their library initialised
// beyond what msvcrt.dll does for itself when it is loaded.
extern "C" [[noreturn]] void app_entry() {
    std::memset(&app_state, 0, sizeof app_state);
    std::memset(&hid_entries, 0, sizeof hid_entries);
    app_state.instance = GetModuleHandleA(nullptr);
    app_state.main_heap = HeapCreate(0, 4096, 0);
    main_heap_set(app_state.main_heap);
    runtime_start();
    app_state.write_handle = nullptr;
    app_state.read_handle = nullptr;
    handover_init();
    hid_bind();

    build_window();
    // Primed before the window first shows, so that it never shows a stale status.
    device_watch(nullptr, 0, 0, 0);
    window_show(Window_Main, false);
    SetTimer(window_handle(Window_Main), Timer_Watch, Timer_WatchPeriod, device_watch);
    thread_create(input_reader, nullptr);

    main_loop();

    // The reader goes first: a read that is still outstanding points into the
    // main heap, and a report arriving after the heap is gone would be written
    // into freed memory. If it cannot be stopped, the process ends as it is.
    if (!handover_stop(ReaderStop_LimitMs)) ExitProcess(0);
    hid_unbind();
    runtime_stop();
    main_heap_set(nullptr);
    HeapDestroy(app_state.main_heap);
    ExitProcess(0);
}
