#include "hid/hid_binding.h"

HidEntryTable hid_entries;

const char* const hid_entry_names[HidEntry_Count] = {
    "HidD_GetHidGuid",
    "HidD_GetAttributes",
    "HidD_GetPreparsedData",
    "HidD_FreePreparsedData",
    "HidP_GetCaps",
    "HidD_GetInputReport",
    "HidD_SetOutputReport",
    "HidD_GetFeature",
    "HidD_SetFeature",
    "HidD_GetNumInputBuffers",
    "HidD_GetManufacturerString",
    "HidD_GetProductString",
    "HidD_GetSerialNumberString",
    "HidD_GetIndexedString",
    "SetupDiEnumDeviceInterfaces",
    "SetupDiGetDeviceInterfaceDetailA",
};

int32_t hid_bind() {
    hid_entries.hid_library = LoadLibraryA("hid.dll");
    hid_entries.setupapi_library = LoadLibraryA("setupapi.dll");
    // The table is a row of pointer-sized slots in the order of the names, so
    // one loop fills it; GetProcAddress of a null module yields null.
    FARPROC* slots = reinterpret_cast<FARPROC*>(&hid_entries);
    for (int32_t i = 0; i < HidEntry_Count; ++i) {
        HMODULE library = i < HidEntry_FirstSetupApi ? hid_entries.hid_library : hid_entries.setupapi_library;
        slots[i] = library ? GetProcAddress(library, hid_entry_names[i]) : nullptr;
    }
    return 0;
}

int32_t hid_unbind() {
    if (hid_entries.hid_library) FreeLibrary(hid_entries.hid_library);
    if (hid_entries.setupapi_library) FreeLibrary(hid_entries.setupapi_library);
    return 0;
}
