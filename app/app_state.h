// The application's state block and the identity of its device; the device
// watch, the reader and the entry procedure share it.
#pragma once
#include <windows.h>

#include <cstdint>

#include "runtime/window/window.h"

constexpr uint16_t Device_VendorId = 0x1234;
constexpr uint16_t Device_ProductId = 0x0001;
constexpr int16_t Device_Version = -1;  // any
constexpr uint16_t Device_Index = 0;
// The program's device's reports, and any device's whose caps cannot be read.
constexpr int32_t Report_Bytes = 2;

enum Gadget : int32_t {
    Gadget_Status = 1,
    Gadget_LedOn = 2,
    Gadget_LedOff = 3,
    Gadget_ButtonLabel = 4,
    Gadget_ButtonState = 5,
};

constexpr int32_t Window_Main = 0;
constexpr uint32_t Window_MainFlags =
    WindowFlag_Hidden | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | WindowFlag_CentreOnScreen;
static_assert(Window_MainFlags == 0x10CA0001);
constexpr UINT_PTR Timer_Watch = 1;
constexpr UINT Timer_WatchPeriod = 200;

struct AppState {
    HANDLE main_heap;
    HINSTANCE instance;
    int32_t last_event;
    HANDLE write_handle;  // GUI thread only
    int32_t last_presence;
    bool write_lost;      // GUI thread only: a write on write_handle failed
    int32_t output_length;  // GUI thread only: the device's output report length, 0 when unknown
    char* device_path;      // GUI thread only: the interface the handles were opened from, or null
};

extern AppState app_state;
