#include "runtime/window/message_pump.h"

#include <richedit.h>

#include "runtime/window/event_queue.h"
#include "runtime/window/window.h"
#include "runtime/window/window_names.h"

namespace {

constexpr UINT Peek_Remove = PM_REMOVE | PM_NOYIELD;
// Spelled bit by bit: QS_ALLINPUT in these headers also carries Windows 8's
// touch and pointer bits, which older systems refuse.
constexpr DWORD Wake_Any = QS_KEY | QS_MOUSE | QS_RAWINPUT | QS_POSTMESSAGE | QS_TIMER | QS_PAINT | QS_SENDMESSAGE |
                           QS_HOTKEY | QS_ALLPOSTMESSAGE;
static_assert(Wake_Any == 0x5FF);

bool key_down(int key) { return (GetKeyState(key) & 0x8000) != 0; }

}  // namespace

int32_t event_wait() { return event_wait_timeout(Wait_Infinite); }

int32_t event_wait_timeout(int32_t milliseconds) {
    if (int32_t code = event_queue_take()) {
        message_state.wparam = 0;
        message_state.lparam = 0;
        return code;
    }
    MSG message{};
    if (milliseconds == Wait_Infinite) {
        // WM_QUIT is handed out like any other message. The W forms throughout,
        // so that typed characters reach the controls as Unicode and never
        // through the system's ANSI code page.
        GetMessageW(&message, nullptr, 0, 0);
    } else if (!PeekMessageW(&message, nullptr, 0, 0, Peek_Remove)) {
        if (milliseconds == 0) return 0;
        if (MsgWaitForMultipleObjects(0, nullptr, FALSE, static_cast<DWORD>(milliseconds), Wake_Any) ==
            WAIT_TIMEOUT)
            return 0;
        if (!PeekMessageW(&message, nullptr, 0, 0, Peek_Remove)) return 0;
    }
    HWND active = GetActiveWindow();
    HACCEL table = window_select_accelerators(active);
    if (table && TranslateAcceleratorW(active, table, &message)) {
        if (active) window_update_ui_state(active, true);
    } else {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    message_state.wparam = message.wParam;
    message_state.lparam = message.lParam;
    return static_cast<int32_t>(message.message);
}

HACCEL window_select_accelerators(HWND active) {
    HWND focus = GetFocus();
    if (focus && key_down(VK_TAB) && !key_down(VK_CONTROL) && !key_down(VK_SHIFT) && !key_down(VK_MENU)) {
        char name[5] = {};
        GetClassNameA(focus, name, sizeof(name));
        // An editable rich-edit control takes the Tab key itself.
        if (lstrcmpA(name, "Rich") == 0 && !(SendMessageW(focus, EM_GETOPTIONS, 0, 0) & ECO_READONLY))
            return nullptr;
    }
    if (active && (key_down(VK_CONTROL) || key_down(VK_SHIFT) || key_down(VK_MENU)))
        window_update_ui_state(active, true);
    // A hot-key control receives every key.
    if (focus && GetPropA(focus, Property_Hotkey)) return nullptr;
    if (!active) return nullptr;
    ObjectNumber number = window_number_stored(active);
    if (number == -1) return nullptr;
    DWORD process_id = 0;
    if (!GetWindowThreadProcessId(active, &process_id) || process_id != GetCurrentProcessId()) return nullptr;
    WindowRecord* record = window_record(number);
    return record ? record->accelerator_table : nullptr;
}
