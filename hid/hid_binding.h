// The HID entry table: the hid.dll and setupapi.dll entry points bound by name
// at start-up, and the two library handles. This is the only module that
// includes the platform's HID and device-setup headers; the rest of hid/ uses them from here.
#pragma once
#include <windows.h>
#include <setupapi.h>
extern "C" {
#include <hidsdi.h>  // no C++ guards of its own
}
#include <cstddef>
#include <cstdint>

#include "runtime/base/layout.h"

// The layouts the layer hands to the system, which checks the sizes it is given.
// setupapi.h packs its structures to 1 byte on i686 and to 8 on x86-64, so the
// detail record's cbSize is 5 there and 8 here.
static_assert(sizeof(SP_DEVICE_INTERFACE_DATA) == pointer_aligned(24) + Pointer_Bytes);
static_assert(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) == 4);
static_assert(sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A) == (Pointer_Bytes == 4 ? 5 : 8));
static_assert(offsetof(HIDD_ATTRIBUTES, VersionNumber) + sizeof(USHORT) == 10, "the Size the layer passes");
static_assert(sizeof(SECURITY_ATTRIBUTES) == pointer_aligned(4) + 2 * Pointer_Bytes);
static_assert(Pointer_Bytes != 4 || (sizeof(SP_DEVICE_INTERFACE_DATA) == 28 && sizeof(SECURITY_ATTRIBUTES) == 12));

// One slot per entry point, in binding order; null while unbound or missing.
struct HidEntryTable {
    decltype(&::HidD_GetHidGuid) HidD_GetHidGuid;
    decltype(&::HidD_GetAttributes) HidD_GetAttributes;
    decltype(&::HidD_GetPreparsedData) HidD_GetPreparsedData;
    decltype(&::HidD_FreePreparsedData) HidD_FreePreparsedData;
    decltype(&::HidP_GetCaps) HidP_GetCaps;
    decltype(&::HidD_GetInputReport) HidD_GetInputReport;
    decltype(&::HidD_SetOutputReport) HidD_SetOutputReport;
    decltype(&::HidD_GetFeature) HidD_GetFeature;
    decltype(&::HidD_SetFeature) HidD_SetFeature;
    decltype(&::HidD_GetNumInputBuffers) HidD_GetNumInputBuffers;
    decltype(&::HidD_GetManufacturerString) HidD_GetManufacturerString;
    decltype(&::HidD_GetProductString) HidD_GetProductString;
    decltype(&::HidD_GetSerialNumberString) HidD_GetSerialNumberString;
    decltype(&::HidD_GetIndexedString) HidD_GetIndexedString;
    decltype(&::SetupDiEnumDeviceInterfaces) SetupDiEnumDeviceInterfaces;
    decltype(&::SetupDiGetDeviceInterfaceDetailA) SetupDiGetDeviceInterfaceDetailA;
    HMODULE hid_library;
    HMODULE setupapi_library;
};
constexpr int32_t HidEntry_Count = 16;
constexpr int32_t HidEntry_FirstSetupApi = 14;  // entries from here on come from setupapi.dll
static_assert(offsetof(HidEntryTable, hid_library) == HidEntry_Count * Pointer_Bytes);

// Names passed to GetProcAddress, in table order.
extern const char* const hid_entry_names[HidEntry_Count];

// Written by hid_bind before any other thread exists, read-only afterwards.
// Tests fill it with their own functions.
extern HidEntryTable hid_entries;

// Loads both libraries and binds every entry it can find; nothing is reported.
int32_t hid_bind();
// Releases whichever libraries were loaded. No HID operation may follow.
int32_t hid_unbind();
