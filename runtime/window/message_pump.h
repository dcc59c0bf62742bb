// The main loop primitive: each call hands out one queued event or pumps one
// message of the GUI thread, applying the active window's Tab accelerators.
#pragma once
#include <windows.h>

#include <cstdint>

constexpr int32_t Wait_Infinite = -1;

int32_t event_wait();
int32_t event_wait_timeout(int32_t milliseconds);
HACCEL window_select_accelerators(HWND active);
