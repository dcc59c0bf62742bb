// Work on an open device handle: report transfers that end (synchronous to
// their callers on handles opened for overlapped I/O), capabilities, input
// buffers, the device strings and the device list that collects them (GUI
// thread: the strings are built in the StringBuffer).
#pragma once
#include "hid/hid_binding.h"
#include <cstdint>

// A device that holds an output report unanswered must not hold its caller.
constexpr DWORD HidWrite_LimitMs = 1000;

// Bytes moved; 0 for a null handle or buffer, a length of 0 or less, or a
// failed transfer. A write the device has not taken within HidWrite_LimitMs is
// cancelled and fails; until the device has ended it, later writes fail at
// once. Writes come from one thread at a time.
int32_t hid_write_report(HANDLE device, const void* report, int32_t length);
// Blocks until the device delivers an input report or the transfer fails; a
// wake event set from another thread ends the wait (the read is cancelled and
// fails), on any Windows version.
int32_t hid_read_report(HANDLE device, void* report, int32_t length, HANDLE wake = nullptr);

// 1 with caps filled, else 0 and caps untouched.
int32_t hid_get_caps(HANDLE device, HIDP_CAPS* caps);
int32_t hid_input_buffer_count(HANDLE device);
// How many input reports the class driver keeps for this handle; 1 when set.
int32_t hid_set_input_buffer_count(HANDLE device, int32_t count);

// The device strings in the ANSI code page, built at position in the
// StringBuffer; the result is buffer + position and length stands on its NUL.
// Empty when the string cannot be obtained.
constexpr int32_t HidString_BufferBytes = 256;
constexpr int32_t HidString_OfferedBytes = 252;  // the last four bytes stay zero: always terminated
char* hid_manufacturer_string(HANDLE device, int32_t position);
char* hid_product_string(HANDLE device, int32_t position);
char* hid_serial_string(HANDLE device, int32_t position);

struct HidDeviceRecord {
    uint16_t vendor_id;
    uint16_t product_id;
    uint16_t version_number;
    uint16_t input_buffers;
    uint16_t input_report_length;
    uint16_t output_report_length;
    uint16_t feature_report_length;
    char* manufacturer;  // string variables owned by the record
    char* product;
    char* serial_number;
};
static_assert(offsetof(HidDeviceRecord, manufacturer) == 16 && sizeof(HidDeviceRecord) == 16 + 3 * Pointer_Bytes,
              "seven 16-bit values, then three string pointers");

constexpr int32_t HidDeviceList_Capacity = 258;
struct HidDeviceList {
    int16_t count;
    HidDeviceRecord records[HidDeviceList_Capacity];
};
static_assert(offsetof(HidDeviceList, records) == Pointer_Bytes &&
              sizeof(HidDeviceList) == Pointer_Bytes + HidDeviceList_Capacity * sizeof(HidDeviceRecord));
static_assert(Pointer_Bytes != 4 || (sizeof(HidDeviceRecord) == 28 && sizeof(HidDeviceList) == 4 + 258 * 28));

// Fits HidSearchCallback with the list as user value. Adds one record when the
// device's attributes can be read and the list has room; always 0.
int32_t hid_collect_device_info(HANDLE device, intptr_t list);
// Releases the records' strings and empties the list.
void hid_device_list_clear(HidDeviceList* list);
