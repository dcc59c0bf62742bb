// The device watch: follows the device's arrival and removal as Windows
// announces them to window 0, opens and closes the device handles by the
// device's path, and keeps the status line and the button field in step.
#pragma once
#include <windows.h>

#include <cstdint>

// Passes without a notification for this long give up on an arrival whose
// path would not open yet.
constexpr int32_t Watch_ArrivalRetries = 25;
constexpr int32_t Watch_PendingArrivals = 8;

// GUI thread, once, before the first pass: asks Windows to announce HID
// interfaces to window 0 and installs the hook that hears them; the
// registration ends with the window. False when Windows refused: every pass
// then walks the interfaces.
bool device_watch_register();
// The timer's pass, and the priming pass at start-up. With notifications it
// walks nothing once started: it reopens a device whose transfer failed and
// retries arrivals that would not open yet. Without them it walks every time.
void CALLBACK device_watch(HWND window, UINT message, UINT_PTR timer, DWORD time);
// An interface came (arrived true) or went; what WM_DEVICECHANGE hands over.
void device_watch_notify(bool arrived, const char* path);
// Window 0's message hook: WM_DEVICECHANGE to the watch, the rest passed on.
LRESULT device_watch_hook(HWND window, UINT message, WPARAM wparam, LPARAM lparam);

// Composes the not-found status text in the StringBuffer from start on, ending
// with end; returns it. The caller sets the buffer's length back to start.
const char* compose_not_found(int32_t start, const char* end);
