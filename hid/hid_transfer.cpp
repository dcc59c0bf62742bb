#include "hid/hid_transfer.h"

#include <cstddef>
#include <cstring>

#include "runtime/base/memory.h"
#include "runtime/base/string_buffer.h"

namespace {

// A write that is cancelled may still be in flight: the system writes its
// status into the OVERLAPPED when it ends, and may still read the report. A
// device host that ignores the cancel (Wine's) ends it only when the device
// does, so both live in this record, kept until then.
struct Write {
    OVERLAPPED overlapped;
    uint8_t report[1];  // the caller's report, length bytes
};

constexpr DWORD HidWrite_CancelGraceMs = 50;  // Windows ends a cancelled write at once

Write* g_unfinished_write;  // given up on and not ended yet; the one writing thread's

void free_write(Write* write) {
    if (write->overlapped.hEvent) CloseHandle(write->overlapped.hEvent);
    memory_free(write);
}

// The result of a transfer that has ended, as GetOverlappedResult gives it.
int32_t transferred(const OVERLAPPED& overlapped) {
    return overlapped.Internal == 0 ? static_cast<int32_t>(overlapped.InternalHigh) : 0;
}

}  // namespace

int32_t hid_write_report(HANDLE device, const void* report, int32_t length) {
    if (!device || !report || length <= 0) return 0;
    if (Write* earlier = g_unfinished_write) {
        if (WaitForSingleObject(earlier->overlapped.hEvent, 0) != WAIT_OBJECT_0) return 0;
        free_write(earlier);
        g_unfinished_write = nullptr;
    }
    auto* write = static_cast<Write*>(memory_alloc(static_cast<int32_t>(offsetof(Write, report)) + length));
    if (!write) return 0;
    std::memcpy(write->report, report, static_cast<size_t>(length));
    HANDLE ended = write->overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    DWORD written = 0;  // Windows 7 wants it even for an overlapped write
    int32_t result = 0;
    if (ended && (WriteFile(device, write->report, static_cast<DWORD>(length), &written, &write->overlapped) ||
                  GetLastError() == ERROR_IO_PENDING)) {
        if (WaitForSingleObject(ended, HidWrite_LimitMs) != WAIT_OBJECT_0) {
            CancelIo(device);
            if (WaitForSingleObject(ended, HidWrite_CancelGraceMs) != WAIT_OBJECT_0) {
                g_unfinished_write = write;
                return 0;
            }
        }
        result = transferred(write->overlapped);
    }
    free_write(write);
    return result;
}

int32_t hid_read_report(HANDLE device, void* report, int32_t length, HANDLE wake) {
    if (!device || !report || length <= 0) return 0;
    OVERLAPPED overlapped = {};
    HANDLE events[2] = {overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr), wake};
    if (!events[0]) return 0;
    int32_t result = 0;
    if (ReadFile(device, report, static_cast<DWORD>(length), nullptr, &overlapped) || GetLastError() == ERROR_IO_PENDING) {
        // A read is cancelled from its own thread, which XP can do too.
        if (MsgWaitForMultipleObjects(wake ? 2 : 1, events, FALSE, INFINITE, 0) != WAIT_OBJECT_0) CancelIo(device);
        // Over one way or the other before its buffer and OVERLAPPED go.
        WaitForSingleObject(events[0], INFINITE);
        result = transferred(overlapped);
    }
    CloseHandle(events[0]);
    return result;
}

int32_t hid_get_caps(HANDLE device, HIDP_CAPS* caps) {
    if (!device || !caps || !hid_entries.HidD_GetPreparsedData || !hid_entries.HidP_GetCaps ||
        !hid_entries.HidD_FreePreparsedData)
        return 0;
    PHIDP_PREPARSED_DATA preparsed = nullptr;
    if (!hid_entries.HidD_GetPreparsedData(device, &preparsed)) return 0;
    // Filled apart from the caller's, whose caps stay as they were when the
    // call fails (invalid preparsed data).
    HIDP_CAPS obtained = {};
    NTSTATUS status = hid_entries.HidP_GetCaps(preparsed, &obtained);
    hid_entries.HidD_FreePreparsedData(preparsed);
    if (status != HIDP_STATUS_SUCCESS) return 0;
    *caps = obtained;
    return 1;
}

int32_t hid_input_buffer_count(HANDLE device) {
    ULONG count = 0;
    if (device && hid_entries.HidD_GetNumInputBuffers && !hid_entries.HidD_GetNumInputBuffers(device, &count))
        count = 0;
    return static_cast<int32_t>(count);
}

int32_t hid_set_input_buffer_count(HANDLE device, int32_t count) {
    if (!device || !hid_entries.HidD_SetNumInputBuffers) return 0;
    return hid_entries.HidD_SetNumInputBuffers(device, static_cast<ULONG>(count)) ? 1 : 0;
}

namespace {

using StringQuery = decltype(&::HidD_GetProductString);

char* device_string(StringQuery query, HANDLE device, int32_t position) {
    char* result = string_buffer_reserve(0, position);
    *result = 0;
    if (!device || !query) return result;
    void* wide = memory_alloc(HidString_BufferBytes);
    if (!wide) return result;
    if (query(device, wide, HidString_OfferedBytes)) string_from_memory_format(wide, -1, StringFormat_Utf16, position);
    memory_free(wide);
    // Growing the buffer may have moved it.
    return string_buffer.buffer + position;
}

}  // namespace

char* hid_manufacturer_string(HANDLE device, int32_t position) {
    return device_string(hid_entries.HidD_GetManufacturerString, device, position);
}

char* hid_product_string(HANDLE device, int32_t position) {
    return device_string(hid_entries.HidD_GetProductString, device, position);
}

char* hid_serial_string(HANDLE device, int32_t position) {
    return device_string(hid_entries.HidD_GetSerialNumberString, device, position);
}

int32_t hid_collect_device_info(HANDLE device, intptr_t user) {
    auto* list = reinterpret_cast<HidDeviceList*>(user);
    HIDD_ATTRIBUTES attributes = {};
    attributes.Size = HidAttributes_Size;
    if (!list || !hid_entries.HidD_GetAttributes || !hid_entries.HidD_GetAttributes(device, &attributes)) return 0;
    // A list that already holds records could otherwise be pushed past its end.
    if (list->count < 0 || list->count >= HidDeviceList_Capacity) return 0;
    HidDeviceRecord& record = list->records[list->count];
    list->count = static_cast<int16_t>(list->count + 1);
    record.vendor_id = attributes.VendorID;
    record.product_id = attributes.ProductID;
    record.version_number = attributes.VersionNumber;
    const int32_t start = string_buffer.length;
    hid_manufacturer_string(device, start);
    string_store(&record.manufacturer, start);
    hid_product_string(device, start);
    string_store(&record.product, start);
    hid_serial_string(device, start);
    string_store(&record.serial_number, start);
    record.input_buffers = static_cast<uint16_t>(hid_input_buffer_count(device));
    HIDP_CAPS caps = {};
    hid_get_caps(device, &caps);
    record.input_report_length = caps.InputReportByteLength;
    record.output_report_length = caps.OutputReportByteLength;
    record.feature_report_length = caps.FeatureReportByteLength;
    return 0;
}

void hid_device_list_clear(HidDeviceList* list) {
    for (int32_t i = 0; i < list->count && i < HidDeviceList_Capacity; ++i) {
        HidDeviceRecord& record = list->records[i];
        string_assign(&record.manufacturer, nullptr);
        string_assign(&record.product, nullptr);
        string_assign(&record.serial_number, nullptr);
    }
    list->count = 0;
}
