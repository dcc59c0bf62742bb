#include "hid/hid_binding.h"

#include <cstring>

#include "runtime/base/system_library.h"

HidEntryTable hid_entries;

namespace {

// GetProcAddress hands every address out as FARPROC; each slot has its entry's
// own function type.
template <typename Entry>
void bind(Entry* slot, HMODULE library, const char* name) {
    // A library that did not load leaves its slots null.
    FARPROC address = library ? GetProcAddress(library, name) : nullptr;
    static_assert(sizeof(Entry) == sizeof address);
    std::memcpy(slot, &address, sizeof address);
}

}  // namespace

int32_t hid_bind() {
    hid_entries.hid_library = system_library_load("hid");
    hid_entries.setupapi_library = system_library_load("setupapi");
#define HID_ENTRY_BIND(name, library) bind(&hid_entries.name, hid_entries.library, #name);
    HID_ENTRY_LIST(HID_ENTRY_BIND)
#undef HID_ENTRY_BIND
    return 0;
}

int32_t hid_unbind() {
    if (hid_entries.hid_library) FreeLibrary(hid_entries.hid_library);
    if (hid_entries.setupapi_library) FreeLibrary(hid_entries.setupapi_library);
    return 0;
}
