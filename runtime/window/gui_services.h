// Small services of the window runtime: a modal message box that keeps the
// calling thread's other windows out of the way, a millisecond delay with a
// fine timer resolution, and the start-up steps of the GUI layer.
#pragma once
#include <windows.h>

#include <cstdint>

struct SavedWindow {
    DWORD thread_id;
    HWND window;
    int32_t was_topmost;
    int32_t disabled;
};

struct DrawingState {
    HMODULE msimg32;
    FARPROC alpha_blend;
    bool themed;
};

extern DrawingState drawing_state;

int message_box(const char* title, const char* text, UINT flags);
void delay_ms(int32_t milliseconds);
void gui_init();
// Loads the drawing libraries and the common controls (kept for the process's
// life); before any window exists, after system_library_confine.
void drawing_init();
// Registers the control classes the runtime uses with the common controls
// drawing_init loaded, as the GUI services and the gadget runtime each do at
// start-up; FALSE when the common controls could not be loaded.
BOOL common_controls_register();
// Frees msimg32.dll at exit.
void drawing_shutdown();
// Elements currently saved by message boxes that are up; for diagnostics and tests.
int32_t saved_window_count();
