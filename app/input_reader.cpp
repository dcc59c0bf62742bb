#include "app/input_reader.h"

#include "app/app_state.h"
#include "app/app_texts.h"
#include "app/read_handover.h"
#include "hid/hid_transfer.h"
#include "runtime/base/containers.h"
#include "runtime/window/gui_services.h"  // delay_ms

namespace {

constexpr int32_t ElementType_Byte = 1;
constexpr int32_t Reader_PauseMs = 10;

}  // namespace

const char* button_text(uint8_t state) {
    if (state == Button_Pressed) return Text_Yes;
    if (state == Button_Released) return Text_No;
    return nullptr;
}

DWORD WINAPI input_reader(LPVOID) {
    if (!handover_register_reader()) return 0;
    void* buffer_variable = nullptr;
    uint8_t* buffer = nullptr;
    int32_t capacity = 0;
    ReadTicket ticket{};
    while (handover_begin_read(&ticket)) {
        if (!ticket.handle) {
            handover_wait_for_handle();
            continue;
        }
        // The class driver fails a read shorter than the device's reports.
        if (ticket.length > capacity) {
            if (buffer) array_free(buffer);
            capacity = ticket.length;
            buffer = static_cast<uint8_t*>(array_alloc(1, capacity, ElementType_Byte, nullptr, &buffer_variable));
            if (!buffer) capacity = 0;
        }
        // A failed read leaves the buffer as it was: the last text is set again.
        bool failed = buffer && hid_read_report(ticket.handle, buffer, ticket.length, ticket.wake) == 0;
        handover_end_read(ticket, buffer ? button_text(buffer[1]) : nullptr, failed);
        delay_ms(Reader_PauseMs);
    }
    if (buffer) array_free(buffer);
    return 0;
}
