#include "hid/hid_discovery.h"
#include "hid/hid_binding.h"
#include "runtime/base/memory.h"
#include "runtime/base/string_buffer.h"

#include <cstring>

namespace {

// The device path of one interface, copied into the path variable; false when
// the system gives no detail data for it.
bool interface_path(HDEVINFO set, SP_DEVICE_INTERFACE_DATA* data, char** path) {
    DWORD size = 0;
    hid_entries.SetupDiGetDeviceInterfaceDetailA(set, data, nullptr, 0, &size, nullptr);
    // The size query fails by design (the buffer is too small); only the size tells.
    if (size <= sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A) || size > 0x7FFFFFFF) return false;
    auto* detail = static_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(memory_alloc(static_cast<int32_t>(size)));
    if (!detail) return false;
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    DWORD needed = 0;
    hid_entries.SetupDiGetDeviceInterfaceDetailA(set, data, detail, size, &needed, nullptr);
    // The path must stay inside the block even if the system wrote no NUL.
    reinterpret_cast<char*>(detail)[size - 1] = 0;
    string_assign(path, detail->DevicePath);
    memory_free(detail);
    return true;
}

// 1 match, 0 no match, -1 the interface did not open.
int32_t path_attributes_match(const char* path, uint16_t product_id, uint16_t vendor_id, int16_t version) {
    HANDLE device = CreateFileA(path, HidQuery_Access, HidDevice_Share, nullptr, OPEN_EXISTING, 0, nullptr);
    if (device == INVALID_HANDLE_VALUE) return -1;
    HIDD_ATTRIBUTES attributes = {};
    attributes.Size = HidAttributes_Size;
    bool read = hid_entries.HidD_GetAttributes(device, &attributes);
    CloseHandle(device);
    return read && attributes.ProductID == product_id && attributes.VendorID == vendor_id &&
           (version == HidVersion_Any || attributes.VersionNumber == static_cast<uint16_t>(version));
}

bool search_entries_bound() {
    return hid_entries.HidD_GetHidGuid && hid_entries.SetupDiGetClassDevsA && hid_entries.SetupDiDestroyDeviceInfoList &&
           hid_entries.SetupDiEnumDeviceInterfaces && hid_entries.SetupDiGetDeviceInterfaceDetailA &&
           hid_entries.HidD_GetAttributes;
}

// Hands visit the path of each present HID interface in enumeration order, the
// first 256 at most, until it returns true. The path is valid during the call.
template <typename Visit>
void walk_interfaces(Visit visit) {
    GUID hid_class;
    hid_entries.HidD_GetHidGuid(&hid_class);
    HDEVINFO set = hid_entries.SetupDiGetClassDevsA(&hid_class, nullptr, nullptr, HidSearch_ClassFlags);
    if (set == INVALID_HANDLE_VALUE || !set) return;
    SP_DEVICE_INTERFACE_DATA data = {};
    data.cbSize = sizeof data;
    char* path = nullptr;
    for (DWORD i = 0; i < HidSearch_MaxInterfaces; ++i) {
        if (!hid_entries.SetupDiEnumDeviceInterfaces(set, nullptr, &hid_class, i, &data)) break;
        if (!interface_path(set, &data, &path)) continue;
        if (visit(path)) break;
    }
    hid_entries.SetupDiDestroyDeviceInfoList(set);
    string_free(path);
}

}  // namespace

HANDLE hid_search(uint16_t product_id, uint16_t vendor_id, int16_t version, uint16_t index,
                  HidSearchCallback callback, intptr_t user) {
    if (!search_entries_bound()) return nullptr;
    HANDLE found = nullptr;
    if (callback && user) {
        walk_interfaces([&](const char* path) {
            // Keyboards and mice refuse read/write opens on Windows (the system
            // holds them exclusively); they are simply not passed on.
            if (HANDLE device = hid_open_path(path)) {
                callback(device, user);
                CloseHandle(device);
            }
            return false;
        });
        return nullptr;
    }
    uint32_t matches = 0;
    walk_interfaces([&](const char* path) {
        if (path_attributes_match(path, product_id, vendor_id, version) != 1) return false;
        // A match that will not open for transfers is no candidate, as before
        // matching went through opens without access.
        HANDLE device = hid_open_path(path);
        if (!device) return false;
        if (matches++ == index) {
            found = device;
            return true;
        }
        CloseHandle(device);
        return false;
    });
    return found;
}

int32_t hid_find_path(uint16_t product_id, uint16_t vendor_id, int16_t version, uint16_t index, char** path) {
    string_assign(path, nullptr);
    if (!search_entries_bound()) return 0;
    uint32_t matches = 0;
    walk_interfaces([&](const char* candidate) {
        if (path_attributes_match(candidate, product_id, vendor_id, version) != 1 || matches++ != index) return false;
        string_assign(path, candidate);
        return true;
    });
    return *path ? 1 : 0;
}

int32_t hid_each_path(uint16_t product_id, uint16_t vendor_id, int16_t version, HidPathCallback found, intptr_t user) {
    if (!search_entries_bound() || !found) return 0;
    int32_t matches = 0;
    walk_interfaces([&](const char* candidate) {
        if (path_attributes_match(candidate, product_id, vendor_id, version) == 1) {
            ++matches;
            found(candidate, user);
        }
        return false;
    });
    return matches;
}

int32_t hid_interface_class(GUID* guid) {
    if (!guid || !hid_entries.HidD_GetHidGuid) return 0;
    hid_entries.HidD_GetHidGuid(guid);
    return 1;
}

HANDLE hid_open_path(const char* path) {
    if (!path) return nullptr;
    // Filled field by field: from an initialiser list GCC keeps a writable
    // template of the record, the only initialised data the program would have.
    SECURITY_ATTRIBUTES security = {};
    security.nLength = sizeof security;
    security.bInheritHandle = TRUE;
    HANDLE device = CreateFileA(path, HidDevice_Access, HidDevice_Share, &security, OPEN_EXISTING, HidDevice_Flags, nullptr);
    return device == INVALID_HANDLE_VALUE ? nullptr : device;
}

int32_t hid_path_matches(const char* path, uint16_t product_id, uint16_t vendor_id, int16_t version) {
    if (!path || !hid_entries.HidD_GetAttributes) return 0;
    return path_attributes_match(path, product_id, vendor_id, version);
}

bool hid_path_equal(const char* first, const char* second) {
    return first && second && _stricmp(first, second) == 0;
}

HANDLE hid_open_device(uint16_t product_id, uint16_t vendor_id, int16_t version, uint16_t index) {
    return hid_search(product_id, vendor_id, version, index, nullptr, 0);
}

int32_t hid_device_present(uint16_t product_id, uint16_t vendor_id, int16_t version, uint16_t index) {
    HANDLE device = hid_open_device(product_id, vendor_id, version, index);
    if (!device) return 0;
    hid_close_device(device);
    return 1;
}

int32_t hid_close_device(HANDLE device) {
    if (!device) return 0;
    return CloseHandle(device) ? 1 : 0;
}
