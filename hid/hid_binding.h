// The HID entry table: the hid.dll and setupapi.dll entry points bound by name
// at start-up, and the two library handles. Neither library is imported: both
// come from the system folder by their full paths, never from beside the program. This is the only module that
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
// The Size the layer passes in HIDD_ATTRIBUTES: the fields, without the
// structure's tail padding.
constexpr ULONG HidAttributes_Size = offsetof(HIDD_ATTRIBUTES, VersionNumber) + sizeof(USHORT);
static_assert(HidAttributes_Size == 10);
static_assert(sizeof(SECURITY_ATTRIBUTES) == pointer_aligned(4) + 2 * Pointer_Bytes);
static_assert(Pointer_Bytes != 4 || (sizeof(SP_DEVICE_INTERFACE_DATA) == 28 && sizeof(SECURITY_ATTRIBUTES) == 12));

// The entry points bound by name, in binding order, each with the table's
// field holding the library it comes from. Slots, their order and their names
// are all generated from this one list; a slot's type is the platform's own
// declaration of its name.
#define HID_ENTRY_LIST(X)                                \
    X(HidD_GetHidGuid, hid_library)                      \
    X(HidD_GetAttributes, hid_library)                   \
    X(HidD_GetPreparsedData, hid_library)                \
    X(HidD_FreePreparsedData, hid_library)               \
    X(HidP_GetCaps, hid_library)                         \
    X(HidD_GetInputReport, hid_library)                  \
    X(HidD_SetOutputReport, hid_library)                 \
    X(HidD_GetFeature, hid_library)                      \
    X(HidD_SetFeature, hid_library)                      \
    X(HidD_GetNumInputBuffers, hid_library)              \
    X(HidD_SetNumInputBuffers, hid_library)              \
    X(HidD_GetManufacturerString, hid_library)           \
    X(HidD_GetProductString, hid_library)                \
    X(HidD_GetSerialNumberString, hid_library)           \
    X(HidD_GetIndexedString, hid_library)                \
    X(SetupDiEnumDeviceInterfaces, setupapi_library)     \
    X(SetupDiGetDeviceInterfaceDetailA, setupapi_library) \
    X(SetupDiGetClassDevsA, setupapi_library)            \
    X(SetupDiDestroyDeviceInfoList, setupapi_library)

// One slot per entry point, null while unbound or missing.
struct HidEntryTable {
#define HID_ENTRY_SLOT(name, library) decltype(&::name) name;
    HID_ENTRY_LIST(HID_ENTRY_SLOT)
#undef HID_ENTRY_SLOT
    HMODULE hid_library;
    HMODULE setupapi_library;
};

// Each entry's place in the table.
enum HidEntry : int32_t {
#define HID_ENTRY_PLACE(name, library) HidEntry_##name,
    HID_ENTRY_LIST(HID_ENTRY_PLACE)
#undef HID_ENTRY_PLACE
    HidEntry_Count
};
static_assert(HidEntry_Count == 19 && HidEntry_SetupDiEnumDeviceInterfaces == 15);
static_assert(offsetof(HidEntryTable, hid_library) == HidEntry_Count * Pointer_Bytes);

// Written by hid_bind before any other thread exists, read-only afterwards.
// Tests fill it with their own functions.
extern HidEntryTable hid_entries;

// Loads both libraries and binds every entry it can find; nothing is reported.
int32_t hid_bind();
// Releases whichever libraries were loaded. No HID operation may follow.
int32_t hid_unbind();
