// The program's entry procedure: brings the runtime up, builds the window,
// runs the event loop until the window is closed, and takes everything down.
#include <windows.h>

#include <cstring>

#include "app/app_state.h"
#include "app/device_watch.h"
#include "app/input_reader.h"
#include "app/led_command.h"
#include "app/main_window.h"
#include "app/read_handover.h"
#include "hid/hid_binding.h"
#include "runtime/base/memory.h"
#include "runtime/base/thread.h"
#include "runtime/window/event_queue.h"
#include "runtime/window/message_pump.h"
#include "runtime/window/runtime_start.h"
#include "runtime/window/window.h"

AppState app_state;

namespace {

constexpr DWORD ReaderStop_LimitMs = 2000;

// Seams for the tests' builds of the program: a watch period long enough that
// only notifications can explain what the window shows, and a watch that is
// refused the notifications, as where Windows will not register them.
#ifdef VEL_TEST_WATCH_PERIOD
constexpr UINT Watch_PeriodMs = VEL_TEST_WATCH_PERIOD;
#else
constexpr UINT Watch_PeriodMs = Timer_WatchPeriod;
#endif
#ifdef VEL_TEST_REFUSE_NOTIFICATIONS
bool register_watch() { return false; }
#else
bool register_watch() { return device_watch_register(); }
#endif

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
    handover_init();
    hid_bind();

    app_build_window();
    // Registered before the priming pass walks: an interface that arrives
    // during the walk is then announced, not lost.
    register_watch();
    // Primed before the window first shows, so that it never shows a stale status.
    device_watch(nullptr, 0, 0, 0);
    window_show(Window_Main, false);
    SetTimer(window_handle(Window_Main), Timer_Watch, Watch_PeriodMs, device_watch);
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
