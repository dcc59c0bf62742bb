#include "hid/hid_binding.h"

#include <cstring>

#include "runtime/base/system_library.h"

HidEntryTable hid_entries;

namespace {

// Every entry's name, each ended by its NUL, in table order: made from the same
// list as the table, so each slot is bound by its own name. A walk over one
// string keeps the program small (no pointer per name, no call per slot).
constexpr char entry_names[] =
#define HID_ENTRY_NAME(name, library) #name "\0"
    HID_ENTRY_LIST(HID_ENTRY_NAME);
#undef HID_ENTRY_NAME

// Whether each entry comes from setupapi.dll rather than hid.dll, one bit a slot.
constexpr uint32_t setupapi_entries = 0
#define HID_ENTRY_LIBRARY(name, library)                                                              \
    | (offsetof(HidEntryTable, library) == offsetof(HidEntryTable, setupapi_library) ? 1u << HidEntry_##name \
                                                                                       : 0u)
    HID_ENTRY_LIST(HID_ENTRY_LIBRARY);
#undef HID_ENTRY_LIBRARY

// Each slot has the entry's own function type and sits at its place in the
// table; GetProcAddress hands the address out as FARPROC, so it is copied into
// the slot rather than the table being cast.
#define HID_ENTRY_CHECK(name, library)                                                    \
    static_assert(sizeof(HidEntryTable::name) == sizeof(FARPROC) &&                       \
                  offsetof(HidEntryTable, name) == HidEntry_##name * sizeof(FARPROC));
HID_ENTRY_LIST(HID_ENTRY_CHECK)
#undef HID_ENTRY_CHECK

}  // namespace

int32_t hid_bind() {
    hid_entries.hid_library = system_library_load("hid");
    hid_entries.setupapi_library = system_library_load("setupapi");
    const char* name = entry_names;
    for (int32_t place = 0; place < HidEntry_Count; ++place) {
        HMODULE library = (setupapi_entries >> place) & 1 ? hid_entries.setupapi_library : hid_entries.hid_library;
        // A library that did not load leaves its slots null.
        FARPROC address = library ? GetProcAddress(library, name) : nullptr;
        std::memcpy(reinterpret_cast<char*>(&hid_entries) + place * sizeof(FARPROC), &address, sizeof address);
        name += std::strlen(name) + 1;
    }
    return 0;
}

int32_t hid_unbind() {
    if (hid_entries.hid_library) FreeLibrary(hid_entries.hid_library);
    if (hid_entries.setupapi_library) FreeLibrary(hid_entries.setupapi_library);
    return 0;
}
