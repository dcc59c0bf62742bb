#include "hid/hid_binding.h"

#include <cstring>

HidEntryTable hid_entries;

namespace {

// GetProcAddress hands every address out as FARPROC; the slot has the entry's
// own type, so the address is copied into it rather than cast. A null module
// (the library did not load) leaves the slot null.
template <typename Entry>
void bind_entry(Entry& slot, HMODULE library, const char* name) {
    FARPROC address = library ? GetProcAddress(library, name) : nullptr;
    static_assert(sizeof slot == sizeof address);
    std::memcpy(&slot, &address, sizeof slot);
}

}  // namespace

int32_t hid_bind() {
    hid_entries.hid_library = LoadLibraryA("hid.dll");
    hid_entries.setupapi_library = LoadLibraryA("setupapi.dll");
#define HID_BIND_ENTRY(name, library) bind_entry(hid_entries.name, hid_entries.library, #name);
    HID_ENTRY_LIST(HID_BIND_ENTRY)
#undef HID_BIND_ENTRY
    return 0;
}

int32_t hid_unbind() {
    if (hid_entries.hid_library) FreeLibrary(hid_entries.hid_library);
    if (hid_entries.setupapi_library) FreeLibrary(hid_entries.setupapi_library);
    return 0;
}
