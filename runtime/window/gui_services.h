// Small services of the window runtime: a modal message box that keeps the
// calling thread's other windows out of the way, a millisecond delay with a
// fine timer resolution, and the start-up steps of the GUI layer.
#pragma once
#include <windows.h>
#include <commctrl.h>

#include <cstdint>

// The common-control classes registered at start-up, by the GUI services and
// again by the gadget runtime.
constexpr DWORD CommonControl_Classes =
    ICC_TAB_CLASSES | ICC_HOTKEY_CLASS | ICC_DATE_CLASSES | ICC_USEREX_CLASSES | ICC_INTERNET_CLASSES;
static_assert(CommonControl_Classes == 0xB48);

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
void drawing_init();
// Frees msimg32.dll at exit.
void drawing_shutdown();
// Elements currently saved by message boxes that are up; for diagnostics and tests.
int32_t saved_window_count();
