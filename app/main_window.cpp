#include "app/main_window.h"

#include "app/app_state.h"
#include "app/app_texts.h"
#include "app/device_watch.h"
#include "runtime/base/string_buffer.h"
#include "runtime/gadget/gadget_kinds.h"

namespace {

constexpr uint32_t Flags_None = 0;
constexpr uint32_t Flags_TextCentred = SS_CENTER;
constexpr uint32_t Flags_ReadOnlyCentred = ES_READONLY | ES_CENTER;
static_assert(Flags_TextCentred == 1 && Flags_ReadOnlyCentred == 0x801);

}  // namespace

// At 96 dpi. The status line spans the whole width: centred, its text lies
// where it did in a box 10 pixels in from each side, and in fonts that grow
// faster than the screen's resolution (Tahoma at 144 dpi) the longest status
// still fits on its one line.
void app_build_window() {
    window_open(Window_Main, 0, 0, 320, 100, Text_Title, Window_MainFlags);
    int32_t start = string_buffer.length;
    gadget_create_text(Gadget_Status, 0, 10, 320, 16, compose_not_found(start, Text_NotFoundEndStartup),
                       Flags_TextCentred);
    string_buffer.length = start;
    gadget_create_button(Gadget_LedOn, 40, 70, 120, 24, Text_LedOn, Flags_None);
    gadget_create_button(Gadget_LedOff, 170, 70, 120, 24, Text_LedOff, Flags_None);
    gadget_create_text(Gadget_ButtonLabel, 50, 40, 98, 16, Text_ButtonLabel, Flags_None);
    gadget_create_string(Gadget_ButtonState, 140, 36, 40, 20, Text_No, Flags_ReadOnlyCentred);
}
