// The device watch: five times a second it decides whether the device is there
// and, on each change, opens or closes the device handles and updates the texts.
#pragma once
#include <windows.h>

#include <cstdint>

void CALLBACK device_watch(HWND window, UINT message, UINT_PTR timer, DWORD time);
// Composes the not-found status text in the StringBuffer from start on, ending
// with end; returns it. The caller sets the buffer's length back to start.
const char* compose_not_found(int32_t start, const char* end);
