#include "app/device_watch.h"

#include "app/app_state.h"
#include "app/app_texts.h"
#include "app/read_handover.h"
#include "app/input_reader.h"
#include "hid/hid_discovery.h"
#include "hid/hid_transfer.h"
#include "runtime/base/hex_format.h"
#include "runtime/base/string_buffer.h"
#include "runtime/gadget/gadget.h"

const char* compose_not_found(int32_t start, const char* end) {
    string_append(Text_NotFoundStart);
    string_append_hex(Device_ProductId, string_buffer.length);
    string_append(Text_NotFoundMiddle);
    string_append_hex(Device_VendorId, string_buffer.length);
    string_append(end);
    // Past the terminating NUL, so that nothing overwrites the text while it is used.
    string_buffer.length += 1;
    return string_buffer.buffer + start;
}

void CALLBACK device_watch(HWND, UINT, UINT_PTR, DWORD) {
    int32_t present = hid_device_present(Device_ProductId, Device_VendorId, Device_Version, Device_Index);
    // Present now and at the last pass, but the handles failed: the device
    // went and came back in between, and is opened again. So is a device that
    // was listed but could not be opened, which happens when it goes just then:
    // between the two opens too, when one handle is left without the other
    // (a reader with no handle fails nothing, so nothing else would notice).
    bool lost = handover_take_lost();  // asked every pass: asking clears it
    bool half_open = !app_state.write_handle || !app_state.read_handle;
    if (app_state.write_lost || (present && half_open)) lost = true;
    app_state.write_lost = false;
    if (present == app_state.last_presence && !(present && lost)) return;
    app_state.last_presence = present;

    hid_close_device(app_state.write_handle);
    app_state.write_handle = nullptr;
    handover_replace(nullptr);
    if (present) {
        app_state.write_handle = hid_open_device(Device_ProductId, Device_VendorId, Device_Version, Device_Index);
        // Reports of the device's own lengths, read once per open; today's
        // 2 bytes when its caps cannot be read.
        HIDP_CAPS caps = {};
        hid_get_caps(app_state.write_handle, &caps);
        app_state.output_length = caps.OutputReportByteLength;
        HANDLE read_handle = hid_open_device(Device_ProductId, Device_VendorId, Device_Version, Device_Index);
        // The class driver keeps the oldest reports of a device that streams
        // its state; with the fewest it keeps, the field shows the newest.
        hid_set_input_buffer_count(read_handle, Reader_QueueReports);
        handover_replace(read_handle, caps.InputReportByteLength > Report_Bytes ? caps.InputReportByteLength : Report_Bytes);
        gadget_set_text(Gadget_Status, Text_Connected);
        return;
    }
    int32_t start = string_buffer.length;
    gadget_set_text(Gadget_Status, compose_not_found(start, Text_NotFoundEnd));
    string_buffer.length = start;
    gadget_set_text(Gadget_ButtonState, Text_No);
}
