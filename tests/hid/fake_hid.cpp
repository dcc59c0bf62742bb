#include "fake_hid.h"

#include <cctype>
#include <cstring>

FakeHid fake;

namespace {

HDEVINFO const fake_set = reinterpret_cast<HDEVINFO>(static_cast<intptr_t>(0x5E7));
std::string g_dir;
const GUID hid_class = {0x4d1e55b2, 0xf16f, 0x11cf, {0x88, 0xcb, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};

// The sizes Windows's setupapi checks in cbSize (its structures are packed to
// 1 byte on i686 and to 8 on x86-64).
constexpr DWORD InterfaceData_Size = sizeof(void*) == 4 ? 28 : 32;
constexpr DWORD DetailData_Size = sizeof(void*) == 4 ? 5 : 8;

HDEVINFO WINAPI fake_get_class_devs(const GUID* guid, PCSTR, HWND, DWORD flags) {
    ++fake.class_devs_calls;
    fake.class_devs_flags = flags;
    // The set is what was listed when it was asked for.
    fake.set_size = fake.interfaces.size();
    if (fake.on_walk) fake.on_walk();
    if (fake.class_devs_fail || (fake.class_devs_good >= 0 && fake.class_devs_calls > fake.class_devs_good) ||
        !guid || std::memcmp(guid, &hid_class, sizeof hid_class) != 0)
        return INVALID_HANDLE_VALUE;
    return fake_set;
}

BOOL WINAPI fake_destroy(HDEVINFO set) {
    if (set == fake_set) ++fake.destroy_calls;
    return TRUE;
}

void WINAPI get_hid_guid(LPGUID guid) { *guid = hid_class; }

BOOL WINAPI enum_interfaces(HDEVINFO set, PSP_DEVINFO_DATA, const GUID*, DWORD index, PSP_DEVICE_INTERFACE_DATA data) {
    ++fake.enum_calls;
    if (index > fake.highest_enum_index) fake.highest_enum_index = index;
    if (set != fake_set || !data || data->cbSize != InterfaceData_Size) {
        fake.bad_cb_size = true;
        return FALSE;
    }
    if (index >= fake.interfaces.size() || index >= fake.set_size) return FALSE;
    data->Reserved = index;
    return TRUE;
}

BOOL WINAPI interface_detail(HDEVINFO, PSP_DEVICE_INTERFACE_DATA data, PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail,
                             DWORD size, PDWORD required, PSP_DEVINFO_DATA) {
    ++fake.detail_calls;
    const FakeInterface& item = fake.interfaces.at(data->Reserved);
    DWORD real = static_cast<DWORD>(4 + item.path.size() + 1);
    if (item.no_detail) {
        if (required) *required = 0;
        return FALSE;
    }
    if (required) *required = item.reported_size ? item.reported_size : real;
    if (!detail) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    if (detail->cbSize != DetailData_Size) {
        fake.bad_cb_size = true;
        return FALSE;
    }
    if (size < real) return FALSE;
    std::memcpy(detail->DevicePath, item.path.c_str(), item.path.size() + 1);
    if (item.unterminated) detail->DevicePath[item.path.size()] = '#';
    return TRUE;
}

// The attributes are the file's first bytes. A handle opened without access
// cannot read them: they are read through a handle of the fake's own, as the
// class driver answers a query on such a handle.
// The file's name, the last part of its path, in lower case.
std::string last_part(std::string path) {
    size_t slash = path.find_last_of("\\/");
    if (slash != std::string::npos) path = path.substr(slash + 1);
    for (char& c : path) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return path;
}

// A device file whose interface is no longer listed answers no query, as a
// device that was unplugged while a handle to it stayed open. Other handles
// (the transfer tests' pipes) answer as they are.
bool unlisted(HANDLE device) {
    char path[MAX_PATH];
    DWORD length = GetFinalPathNameByHandleA(device, path, MAX_PATH, FILE_NAME_NORMALIZED);
    if (length == 0 || length >= MAX_PATH) return false;
    std::string folder = last_part(g_dir);
    std::string whole(path);
    for (char& c : whole) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (whole.find("\\" + folder + "\\") == std::string::npos) return false;
    for (const FakeInterface& item : fake.interfaces)
        if (last_part(item.path) == last_part(path)) return false;
    return true;
}

bool read_attribute_words(HANDLE device, WORD* words) {
    if (unlisted(device)) return false;
    DWORD got = 0;
    // The layer opens devices for overlapped I/O: the read says where it starts.
    OVERLAPPED at_start = {};
    if (ReadFile(device, words, 6, &got, &at_start) ||
        (GetLastError() == ERROR_IO_PENDING && GetOverlappedResult(device, &at_start, &got, TRUE))) {
        ++fake.attribute_calls_with_access;
        return got == 6;
    }
    wchar_t path[MAX_PATH];
    DWORD length = GetFinalPathNameByHandleW(device, path, MAX_PATH, FILE_NAME_NORMALIZED);
    if (length == 0 || length >= MAX_PATH) return false;
    HANDLE own = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    if (own == INVALID_HANDLE_VALUE) return false;
    bool read = ReadFile(own, words, 6, &got, nullptr) && got == 6;
    CloseHandle(own);
    return read;
}

BOOLEAN WINAPI get_attributes(HANDLE device, PHIDD_ATTRIBUTES attributes) {
    ++fake.attribute_calls;
    if (attributes->Size != 10) return FALSE;
    WORD words[3];
    if (!read_attribute_words(device, words)) return FALSE;
    attributes->VendorID = words[0];
    attributes->ProductID = words[1];
    attributes->VersionNumber = words[2];
    return TRUE;
}

BOOLEAN string_answer(const std::wstring& text, PVOID buffer, ULONG length) {
    if (fake.strings_fail) return FALSE;
    // Like the system: as many bytes as offered, terminated only if there is room.
    ULONG bytes = static_cast<ULONG>((text.size() + 1) * 2);
    if (bytes > length) bytes = length;
    std::memcpy(buffer, text.c_str(), bytes);
    return TRUE;
}

BOOLEAN WINAPI manufacturer_string(HANDLE, PVOID buffer, ULONG length) { return string_answer(fake.manufacturer, buffer, length); }
BOOLEAN WINAPI product_string(HANDLE, PVOID buffer, ULONG length) { return string_answer(fake.product, buffer, length); }
BOOLEAN WINAPI serial_string(HANDLE, PVOID buffer, ULONG length) { return string_answer(fake.serial, buffer, length); }

// A heap block, as Windows' own is: one not freed shows among the memory
// heap's blocks in use.
constexpr uint32_t Preparsed_Mark = 0x50524550;
BOOLEAN WINAPI get_preparsed(HANDLE, PHIDP_PREPARSED_DATA* data) {
    if (fake.preparsed_fail) return FALSE;
    auto* block = static_cast<uint32_t*>(memory_alloc(sizeof(uint32_t)));
    if (!block) return FALSE;
    *block = Preparsed_Mark;
    *data = reinterpret_cast<PHIDP_PREPARSED_DATA>(block);
    return TRUE;
}
BOOLEAN WINAPI free_preparsed(PHIDP_PREPARSED_DATA data) {
    auto* block = reinterpret_cast<uint32_t*>(data);
    if (!block || *block != Preparsed_Mark) {
        ++fake.other_calls;
        return FALSE;
    }
    *block = 0;
    memory_free(block);
    return TRUE;
}
NTSTATUS WINAPI get_caps(PHIDP_PREPARSED_DATA, PHIDP_CAPS caps) {
    *caps = fake.caps;
    return fake.caps_status;
}
BOOLEAN WINAPI num_input_buffers(HANDLE, PULONG count) {
    *count = 0x10040;  // more than 16 bits: the record keeps the low half
    return TRUE;
}

// Every handle opened on one of the fake's files and not closed yet: opens
// without access escape the exclusive open that file_is_open makes, so the
// program's opens and closes are counted at their imports instead.
constexpr int Tracked_Limit = 64;
HANDLE g_tracked[Tracked_Limit];
SRWLOCK g_tracked_lock = SRWLOCK_INIT;

template <typename Function>
Function system_function(const char* name) {
    return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("kernel32.dll"), name)));
}

HANDLE WINAPI tracking_create_file(LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                                   DWORD disposition, DWORD flags, HANDLE model) {
    HANDLE file = system_function<decltype(&::CreateFileA)>("CreateFileA")(name, access, share, security, disposition,
                                                                         flags, model);
    if (file == INVALID_HANDLE_VALUE || g_dir.empty() || !name || _strnicmp(name, g_dir.c_str(), g_dir.size()) != 0)
        return file;
    AcquireSRWLockExclusive(&g_tracked_lock);
    for (HANDLE& slot : g_tracked) {
        if (!slot) {
            slot = file;
            break;
        }
    }
    ReleaseSRWLockExclusive(&g_tracked_lock);
    return file;
}

BOOL WINAPI tracking_close_handle(HANDLE handle) {
    AcquireSRWLockExclusive(&g_tracked_lock);
    for (HANDLE& slot : g_tracked)
        if (slot == handle) slot = nullptr;
    ReleaseSRWLockExclusive(&g_tracked_lock);
    return system_function<decltype(&::CloseHandle)>("CloseHandle")(handle);
}

}  // namespace

extern "C" {
void* tracking_create_file_import __asm__(IMPORT_SYMBOL(CreateFileA, 28)) = reinterpret_cast<void*>(&tracking_create_file);
void* tracking_close_handle_import __asm__(IMPORT_SYMBOL(CloseHandle, 4)) = reinterpret_cast<void*>(&tracking_close_handle);
}

int fake_files_open() {
    AcquireSRWLockShared(&g_tracked_lock);
    int open = 0;
    for (HANDLE slot : g_tracked) open += slot != nullptr;
    ReleaseSRWLockShared(&g_tracked_lock);
    return open;
}

void fake_bind_all() {
    hid_entries.HidD_GetHidGuid = get_hid_guid;
    hid_entries.HidD_GetAttributes = get_attributes;
    hid_entries.HidD_GetPreparsedData = get_preparsed;
    hid_entries.HidD_FreePreparsedData = free_preparsed;
    hid_entries.HidP_GetCaps = get_caps;
    hid_entries.HidD_GetNumInputBuffers = num_input_buffers;
    hid_entries.HidD_GetManufacturerString = manufacturer_string;
    hid_entries.HidD_GetProductString = product_string;
    hid_entries.HidD_GetSerialNumberString = serial_string;
    hid_entries.SetupDiEnumDeviceInterfaces = enum_interfaces;
    hid_entries.SetupDiGetDeviceInterfaceDetailA = interface_detail;
    hid_entries.SetupDiGetClassDevsA = fake_get_class_devs;
    hid_entries.SetupDiDestroyDeviceInfoList = fake_destroy;
}

void fake_unbind_all() { hid_entries = {}; }

void fake_clear_entry(int32_t entry) {
    std::memset(reinterpret_cast<char*>(&hid_entries) + entry * sizeof(void*), 0, sizeof(void*));
}

const char* hid_entry_name(int32_t entry) {
#define NAME_ENTRY(name, library) #name,
    static const char* const names[] = {HID_ENTRY_LIST(NAME_ENTRY)};
#undef NAME_ENTRY
    return names[entry];
}

namespace {

std::string make_file(const std::string& name, const void* content, DWORD size) {
    if (g_dir.empty()) {
        char base[MAX_PATH];
        GetTempPathA(MAX_PATH, base);
        g_dir = std::string(base) + "hidfake_" + std::to_string(GetCurrentProcessId());
        CreateDirectoryA(g_dir.c_str(), nullptr);
    }
    std::string path = g_dir + "\\" + name;
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    DWORD written = 0;
    WriteFile(file, content, size, &written, nullptr);
    CloseHandle(file);
    return path;
}

}  // namespace

std::string make_device_file(const std::string& name, WORD vendor, WORD product, WORD version) {
    const WORD words[3] = {vendor, product, version};
    return make_file(name, words, sizeof words);
}

std::string make_plain_file(const std::string& name) { return make_file(name, "", 0); }

bool file_is_open(const std::string& path) {
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return GetLastError() == ERROR_SHARING_VIOLATION;
    CloseHandle(file);
    return false;
}
