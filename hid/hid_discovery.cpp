#include "hid/hid_discovery.h"
#include "hid/hid_binding.h"
#include "runtime/base/memory.h"
#include "runtime/base/string_buffer.h"

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

bool attributes_match(HANDLE device, uint16_t product_id, uint16_t vendor_id, int16_t version) {
    HIDD_ATTRIBUTES attributes = {};
    attributes.Size = HidAttributes_Size;
    if (!hid_entries.HidD_GetAttributes(device, &attributes)) return false;
    return attributes.ProductID == product_id && attributes.VendorID == vendor_id &&
           (version == HidVersion_Any || attributes.VersionNumber == static_cast<uint16_t>(version));
}

}  // namespace

HANDLE hid_search(uint16_t product_id, uint16_t vendor_id, int16_t version, uint16_t index,
                  HidSearchCallback callback, intptr_t user) {
    if (!hid_entries.HidD_GetHidGuid || !hid_entries.SetupDiEnumDeviceInterfaces ||
        !hid_entries.SetupDiGetDeviceInterfaceDetailA || !hid_entries.HidD_GetAttributes)
        return nullptr;
    SP_DEVICE_INTERFACE_DATA data = {};
    data.cbSize = sizeof data;
    // Filled field by field: from an initialiser list GCC keeps a writable
    // template of the record, the only initialised data the program would have.
    SECURITY_ATTRIBUTES security = {};
    security.nLength = sizeof security;
    security.bInheritHandle = TRUE;
    uint32_t matches = 0;
    GUID hid_class;
    hid_entries.HidD_GetHidGuid(&hid_class);
    HDEVINFO set = SetupDiGetClassDevsA(&hid_class, nullptr, nullptr, HidSearch_ClassFlags);
    if (set == INVALID_HANDLE_VALUE || !set) return nullptr;
    const bool second_mode = callback && user;
    char* path = nullptr;
    HANDLE found = nullptr;
    for (DWORD i = 0; i < HidSearch_MaxInterfaces; ++i) {
        if (!hid_entries.SetupDiEnumDeviceInterfaces(set, nullptr, &hid_class, i, &data)) break;
        if (!interface_path(set, &data, &path)) continue;
        // Keyboards and mice refuse read/write opens on Windows (the system
        // holds them exclusively); they are simply not candidates.
        HANDLE device = CreateFileA(path, HidDevice_Access, HidDevice_Share, &security, OPEN_EXISTING, HidDevice_Flags, nullptr);
        if (device == INVALID_HANDLE_VALUE) continue;
        if (second_mode) {
            callback(device, user);
            CloseHandle(device);
            continue;
        }
        if (attributes_match(device, product_id, vendor_id, version)) {
            if (matches == index) {
                found = device;
                break;
            }
            ++matches;
        }
        CloseHandle(device);
    }
    SetupDiDestroyDeviceInfoList(set);
    string_free(path);
    return found;
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
