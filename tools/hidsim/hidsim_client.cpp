// User-mode side of the virtual HID device (see hidsim_client.h).
#include "tools/hidsim/hidsim_client.h"

#include <windows.h>
#include <initguid.h>
#include <devguid.h>
#include <newdev.h>
#include <setupapi.h>

#include <cstdio>
#include <cstring>

namespace {

constexpr char Bus_HardwareId[] = "root\\hidsimbus";
constexpr char Bus_InstanceId[] = "ROOT\\HIDSIMBUS\\0000";

HANDLE open_control() {
    return CreateFileA(HIDSIM_CONTROL_PATH, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                       OPEN_EXISTING, 0, nullptr);
}

bool control(DWORD code, const void* in, DWORD in_size, void* out, DWORD out_size) {
    HANDLE channel = open_control();
    if (channel == INVALID_HANDLE_VALUE) return false;
    DWORD returned = 0;
    BOOL ok = DeviceIoControl(channel, code, const_cast<void*>(in), in_size, out, out_size, &returned, nullptr);
    CloseHandle(channel);
    return ok != 0;
}

// UTF-8 to the device's UTF-16, cut to what the device holds; false when
// the text is not UTF-8.
bool copy_wide(uint16_t* out, const char* text) {
    out[0] = 0;
    int units = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, -1, nullptr, 0);
    if (units <= 0) return false;
    auto* wide = static_cast<wchar_t*>(HeapAlloc(GetProcessHeap(), 0, units * sizeof(wchar_t)));
    if (!wide) return false;
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, -1, wide, units);
    int n = units - 1 < HIDSIM_MAX_STRING - 1 ? units - 1 : HIDSIM_MAX_STRING - 1;
    if (n < units - 1 && IS_HIGH_SURROGATE(wide[n - 1])) --n;  // no half of a pair at the cut
    for (int i = 0; i < n; ++i) out[i] = wide[i];
    out[n] = 0;
    HeapFree(GetProcessHeap(), 0, wide);
    return true;
}

bool wait_until(bool (*condition)(), uint32_t timeout_ms) {
    DWORD start = GetTickCount();
    for (;;) {
        if (condition()) return true;
        if (GetTickCount() - start >= timeout_ms) return false;
        Sleep(10);
    }
}

bool is_bus(HDEVINFO set, SP_DEVINFO_DATA* data) {
    char ids[512] = {};
    if (!SetupDiGetDeviceRegistryPropertyA(set, data, SPDRP_HARDWAREID, nullptr, reinterpret_cast<BYTE*>(ids),
                                           sizeof ids - 2, nullptr)) {
        return false;
    }
    for (const char* id = ids; *id; id += strlen(id) + 1) {
        if (lstrcmpiA(id, Bus_HardwareId) == 0) return true;
    }
    return false;
}

// The interface of the slot's device. hidclass names it after the bus's
// device ID (vendor and product) and instance ID (the slot number), so it can
// be opened by name: walking every registered interface instead grows slow
// in a prefix that has seen hundreds of devices.
bool interface_name(uint32_t slot, char* path, uint32_t size) {
    HidSimStatus status;
    if (!hidsim_status(slot, &status) || !status.vendor_id) return false;
    int n = snprintf(path, size, "\\\\?\\hid#vid_%04x&pid_%04x#%u#{4d1e55b2-f16f-11cf-88cb-001111000030}",
                     status.vendor_id, status.product_id, static_cast<unsigned>(slot));
    return n > 0 && static_cast<uint32_t>(n) < size;
}

bool opens(const char* path) {
    HANDLE device = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    if (device == INVALID_HANDLE_VALUE) return false;
    CloseHandle(device);
    return true;
}

bool find_interface(uint32_t slot, char* path, uint32_t size) {
    HidSimStatus status;
    if (!hidsim_status(slot, &status) || !status.started) return false;
    return interface_name(slot, path, size) && opens(path);
}

uint32_t waited_slot;

bool slot_present() {
    char path[1024];
    return find_interface(waited_slot, path, sizeof path);
}

// Gone from the bus and no longer openable under its name.
bool slot_absent() {
    HidSimStatus status;
    if (!hidsim_status(waited_slot, &status)) return false;
    if (status.plugged || status.started) return false;
    char path[1024];
    return !interface_name(waited_slot, path, sizeof path) || !opens(path);
}

// Every new device instance has its minidriver installed from the copy of the
// INF that the system keeps in its inf folder, so the drivers must be there
// too: else the file copy asks for a disk, and the plug hangs.
bool place_drivers_beside_kept_inf(const char* inf_path) {
    char source_dir[MAX_PATH];
    lstrcpynA(source_dir, inf_path, sizeof source_dir);
    char* slash = strrchr(source_dir, '\\');
    if (!slash) return false;
    slash[1] = 0;
    char inf_dir[MAX_PATH];
    UINT n = GetWindowsDirectoryA(inf_dir, sizeof inf_dir);
    if (!n || n + 5 >= sizeof inf_dir) return false;
    lstrcatA(inf_dir, "\\inf\\");
    static const char* const drivers[] = {"hidsimbus.sys", "hidsimhid.sys"};
    for (const char* name : drivers) {
        char from[MAX_PATH * 2], to[MAX_PATH * 2];
        snprintf(from, sizeof from, "%s%s", source_dir, name);
        snprintf(to, sizeof to, "%s%s", inf_dir, name);
        if (!CopyFileA(from, to, FALSE)) return false;
    }
    return true;
}

}  // namespace

HidSimDevice hidsim_default_device(uint32_t slot) {
    return HidSimDevice{slot,    HidSimDefault_Vendor, HidSimDefault_Product, HidSimDefault_Version, nullptr, nullptr,
                        nullptr, HIDSIM_DEFAULT_REPORT, HIDSIM_DEFAULT_REPORT};
}

bool hidsim_available() {
    HANDLE channel = open_control();
    if (channel == INVALID_HANDLE_VALUE) return false;
    CloseHandle(channel);
    return true;
}

bool hidsim_install(const char* inf_path) {
    if (!inf_path || !place_drivers_beside_kept_inf(inf_path)) return false;
    if (!hidsim_available()) {
        HDEVINFO set = SetupDiCreateDeviceInfoList(&GUID_DEVCLASS_SYSTEM, nullptr);
        if (set == INVALID_HANDLE_VALUE) return false;
        SP_DEVINFO_DATA data = {};
        data.cbSize = sizeof data;
        if (SetupDiCreateDeviceInfoA(set, Bus_InstanceId, &GUID_DEVCLASS_SYSTEM, nullptr, nullptr, 0, &data)) {
            static const char ids[] = "root\\hidsimbus\0";
            if (!SetupDiSetDeviceRegistryPropertyA(set, &data, SPDRP_HARDWAREID, reinterpret_cast<const BYTE*>(ids),
                                                   sizeof ids) ||
                !SetupDiCallClassInstaller(DIF_REGISTERDEVICE, set, &data)) {
                SetupDiDestroyDeviceInfoList(set);
                return false;
            }
        } else if (GetLastError() != ERROR_DEVINST_ALREADY_EXISTS) {
            SetupDiDestroyDeviceInfoList(set);
            return false;
        }
        SetupDiDestroyDeviceInfoList(set);
        BOOL reboot = FALSE;
        if (!UpdateDriverForPlugAndPlayDevicesA(nullptr, Bus_HardwareId, inf_path, INSTALLFLAG_FORCE, &reboot)) {
            return false;
        }
    }
    return wait_until(hidsim_available, 10000);
}

bool hidsim_uninstall() {
    HDEVINFO set = SetupDiGetClassDevsA(&GUID_DEVCLASS_SYSTEM, nullptr, nullptr, 0);
    if (set == INVALID_HANDLE_VALUE) return false;
    SP_DEVINFO_DATA data = {};
    data.cbSize = sizeof data;
    bool ok = true;
    for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &data); ++i) {
        if (is_bus(set, &data) && !SetupDiCallClassInstaller(DIF_REMOVE, set, &data)) ok = false;
    }
    SetupDiDestroyDeviceInfoList(set);
    return ok && wait_until([] { return !hidsim_available(); }, 10000);
}

bool hidsim_plug(const HidSimDevice& device) {
    HidSimPlug request = {};
    request.slot = device.slot;
    request.vendor_id = device.vendor_id;
    request.product_id = device.product_id;
    request.version = device.version;
    request.input_length = device.input_length;
    request.output_length = device.output_length;
    char serial[16];
    snprintf(serial, sizeof serial, "HS%04u", static_cast<unsigned>(device.slot));
    if (!copy_wide(request.manufacturer, device.manufacturer ? device.manufacturer : "HidSim") ||
        !copy_wide(request.product, device.product ? device.product : "HidSim LED and button") ||
        !copy_wide(request.serial, device.serial ? device.serial : serial)) {
        return false;
    }
    return control(HIDSIM_IOCTL_PLUG, &request, sizeof request, nullptr, 0);
}

bool hidsim_unplug(uint32_t slot) {
    // Wine 8 crashes its device process when a device goes while the host is
    // still attaching it (it goes on enumerating the removed device), so the
    // device is let go only once it is attached, or after 5 s.
    waited_slot = slot;
    HidSimStatus status;
    if (hidsim_status(slot, &status) && status.plugged) wait_until(slot_present, 5000);
    HidSimSlot request = {slot};
    return control(HIDSIM_IOCTL_UNPLUG, &request, sizeof request, nullptr, 0);
}

bool hidsim_unplug_all() {
    return control(HIDSIM_IOCTL_UNPLUG_ALL, nullptr, 0, nullptr, 0);
}

bool hidsim_send_input(uint32_t slot, const uint8_t* bytes, uint32_t length) {
    if (!bytes || length < 1 || length > HIDSIM_MAX_REPORT) return false;
    HidSimReport report = {};
    report.slot = slot;
    report.length = length;
    memcpy(report.bytes, bytes, length);
    return control(HIDSIM_IOCTL_INPUT, &report, sizeof report, nullptr, 0);
}

bool hidsim_send_button(uint32_t slot, bool pressed) {
    HidSimStatus status;
    if (!hidsim_status(slot, &status)) return false;
    uint8_t report[HIDSIM_MAX_REPORT] = {0, pressed ? HidSimButton_Pressed : HidSimButton_Released};
    return hidsim_send_input(slot, report, status.input_length ? status.input_length : HIDSIM_DEFAULT_REPORT);
}

bool hidsim_stream(uint32_t slot, uint32_t interval_ms) {
    HidSimSetting request = {slot, interval_ms};
    return control(HIDSIM_IOCTL_STREAM, &request, sizeof request, nullptr, 0);
}

bool hidsim_hold(uint32_t slot, bool hold) {
    HidSimSetting request = {slot, hold ? 1u : 0u};
    return control(HIDSIM_IOCTL_HOLD, &request, sizeof request, nullptr, 0);
}

bool hidsim_delay_outputs(uint32_t slot, uint32_t delay_ms) {
    HidSimSetting request = {slot, delay_ms};
    return control(HIDSIM_IOCTL_DELAY, &request, sizeof request, nullptr, 0);
}

bool hidsim_take_outputs(uint32_t slot, HidSimOutputs* out) {
    if (!out) return false;
    memset(out, 0, sizeof *out);
    HidSimSlot request = {slot};
    return control(HIDSIM_IOCTL_TAKE_OUTPUTS, &request, sizeof request, out, sizeof *out);
}

bool hidsim_status(uint32_t slot, HidSimStatus* out) {
    if (!out) return false;
    HidSimSlot request = {slot};
    return control(HIDSIM_IOCTL_STATUS, &request, sizeof request, out, sizeof *out);
}

bool hidsim_wait_present(uint32_t slot, uint32_t timeout_ms) {
    waited_slot = slot;
    return wait_until(slot_present, timeout_ms);
}

bool hidsim_wait_absent(uint32_t slot, uint32_t timeout_ms) {
    waited_slot = slot;
    return wait_until(slot_absent, timeout_ms);
}

bool hidsim_interface_path(uint32_t slot, char* buffer, uint32_t size) {
    return buffer && size && find_interface(slot, buffer, size);
}

const char* hidsim_led_name(uint32_t led) {
    switch (led) {
    case HidSimLed_On: return "on";
    case HidSimLed_Off: return "off";
    case HidSimLed_Other: return "other";
    default: return "unknown";
    }
}
