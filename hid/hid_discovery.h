// Finding HID devices: walks the present HID interfaces, opens each for
// overlapped reading and writing and matches its attributes, or hands every
// interface that opens to a caller's procedure. GUI thread only (StringBuffer).
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
constexpr DWORD HidDevice_Share = FILE_SHARE_READ | FILE_SHARE_WRITE;
static_assert(HidDevice_Share == 3);
// Transfers wait with a limit and can be ended from another thread.
constexpr DWORD HidDevice_Flags = FILE_FLAG_OVERLAPPED;
constexpr int16_t HidVersion_Any = -1;

// First mode (callback or user value 0): the index-th device, in enumeration
// order, whose IDs and version (or any version for -1) match; the caller owns
// the handle. Second mode: null, after passing every interface that opened.
HANDLE hid_search(uint16_t product_id, uint16_t vendor_id, int16_t version, uint16_t index,
                  HidSearchCallback callback, intptr_t user);
HANDLE hid_open_device(uint16_t product_id, uint16_t vendor_id, int16_t version, uint16_t index);
// 1 when the device can be opened; the handle is closed again at once.
int32_t hid_device_present(uint16_t product_id, uint16_t vendor_id, int16_t version, uint16_t index);
// CloseHandle's result; 0 and no call for null.
int32_t hid_close_device(HANDLE device);
