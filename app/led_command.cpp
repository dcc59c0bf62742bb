#include "app/led_command.h"

#include <windows.h>

#include "app/app_state.h"
#include "app/app_texts.h"
#include "hid/hid_transfer.h"
#include "runtime/base/memory.h"
#include "runtime/window/gui_services.h"

namespace {

constexpr UINT Box_Warning = MB_ICONEXCLAMATION | MB_OK;  // 0x30

}  // namespace

int32_t send_command(int32_t value) {
    if (app_state.write_handle) {
        // A whole report of the device's length: ID, command, the rest zero.
        int32_t length = app_state.output_length > Report_Bytes ? app_state.output_length : Report_Bytes;
        auto* report = static_cast<uint8_t*>(memory_alloc(length));
        if (report) {
            report[0] = static_cast<uint8_t>(value & 0xFF);
            report[1] = static_cast<uint8_t>((value >> 8) & 0xFF);
        }
        // A failed write means the handle is lost: the next watch pass reopens.
        if (!report || hid_write_report(app_state.write_handle, report, length) == 0) app_state.write_lost = true;
        memory_free(report);
    } else {
        message_box("", Text_NoConnection, Box_Warning);
    }
    return 0;
}
