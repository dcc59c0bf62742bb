// Finding HID devices: walks the present HID interfaces and matches each one's
// attributes, or hands every interface that opens to a caller's procedure; opens
// one interface by its path. GUI thread only (StringBuffer, string variables).
#pragma once
#include "hid/hid_binding.h"
#include <cstdint>

// Second-mode procedure; its result is ignored and the handle is closed after it returns.
using HidSearchCallback = int32_t (*)(HANDLE device, intptr_t user);

constexpr int32_t HidSearch_MaxInterfaces = 256;
constexpr DWORD HidSearch_ClassFlags = DIGCF_PRESENT | DIGCF_DEVICEINTERFACE;
static_assert(HidSearch_ClassFlags == 0x12);
constexpr DWORD HidDevice_Access = GENERIC_READ | GENERIC_WRITE;
static_assert(HidDevice_Access == 0xC0000000);
// An open only to read an interface's attributes asks for no access: the
// attribute query works on such a handle, and the class driver then neither
// takes the device from its own users nor turns away a keyboard or a mouse
// the system holds.
constexpr DWORD HidQuery_Access = 0;
constexpr DWORD HidDevice_Share = FILE_SHARE_READ | FILE_SHARE_WRITE;
static_assert(HidDevice_Share == 3);
// Transfers wait with a limit and can be ended from another thread.
constexpr DWORD HidDevice_Flags = FILE_FLAG_OVERLAPPED;
constexpr int16_t HidVersion_Any = -1;

// First mode (callback or user value 0): the index-th device, in enumeration
// order, whose IDs and version (or any version for -1) match and which opens
// for reading and writing; the caller owns the handle. Interfaces are matched
// through opens without access; only the one returned is opened for transfers.
// Second mode: null, after passing every interface that opened for reading
// and writing.
HANDLE hid_search(uint16_t product_id, uint16_t vendor_id, int16_t version, uint16_t index,
                  HidSearchCallback callback, intptr_t user);
HANDLE hid_open_device(uint16_t product_id, uint16_t vendor_id, int16_t version, uint16_t index);
// 1 when the device can be opened; the handle is closed again at once.
int32_t hid_device_present(uint16_t product_id, uint16_t vendor_id, int16_t version, uint16_t index);
// The device-interface class of HID devices; 0 when the HID library is not bound.
int32_t hid_interface_class(GUID* guid);
// The path of the index-th matching interface, stored in the string variable
// *path (freed and null when there is none); 1 when found. Nothing stays open.
int32_t hid_find_path(uint16_t product_id, uint16_t vendor_id, int16_t version, uint16_t index, char** path);
// One walk: found(path, user) for each interface whose attributes match, in
// enumeration order; the path is valid during the call. How many matched.
using HidPathCallback = void (*)(const char* path, intptr_t user);
int32_t hid_each_path(uint16_t product_id, uint16_t vendor_id, int16_t version, HidPathCallback found, intptr_t user);
// One interface opened for transfers as hid_search opens its result; null
// when the path is null or does not open.
HANDLE hid_open_path(const char* path);
// 1 when the interface at path opens (without access) and its attributes
// match; 0 when they do not, and -1 when it does not open at all (not there
// yet, or gone), which a caller may want to try again.
int32_t hid_path_matches(const char* path, uint16_t product_id, uint16_t vendor_id, int16_t version);
// Whether two interface paths name the same interface: Windows hands the same
// path in different cases (lower from the device-setup library, partly upper
// in arrival notifications).
bool hid_path_equal(const char* first, const char* second);
// CloseHandle's result; 0 and no call for null.
int32_t hid_close_device(HANDLE device);
