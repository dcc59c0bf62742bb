// Numbered top-level windows: opening, showing, centring and closing them, and
// the one window procedure they share, which turns messages into events, hands
// control notifications to gadgets and moves the focus with Tab and Shift+Tab.
#pragma once
#include <windows.h>

#include <cstddef>
#include <cstdint>

#include "runtime/base/object_table.h"

enum WindowFlag : uint32_t {
    WindowFlag_CentreOnScreen = 0x00000001,
    WindowFlag_CentreOnParent = 0x00000002,
    WindowFlag_Tool = 0x00000004,
    WindowFlag_NoGadgetList = 0x00000008,
    WindowFlag_NoActivate = 0x02000000,
    WindowFlag_Hidden = 0x10000000,
};

// The runtime's own bits never reach CreateWindowExW (NoGadgetList and Hidden
// are taken out before).
constexpr uint32_t WindowFlag_StyleMask =
    ~static_cast<uint32_t>(WindowFlag_CentreOnScreen | WindowFlag_CentreOnParent | WindowFlag_Tool | WindowFlag_NoActivate);
static_assert(WindowFlag_StyleMask == 0xFDFFFFF8);

constexpr int32_t Position_Default = -65535;

// Results of the procedure's steps: leave the message to default processing,
// and a message hook's "not mine".
constexpr LRESULT NotHandled = static_cast<LRESULT>(0xD0D0D0D1u);
constexpr LRESULT HookPassOn = static_cast<LRESULT>(0xE0E0E0E1u);

enum WindowCommand : uint16_t {
    Command_FocusNext = 64001,
    Command_FocusPrevious = 64002,
};

enum WindowMessage : UINT {
    WindowMessage_TrayIcon = 12501,
    WindowMessage_Gadget = 13120,
};

enum FocusDirection : bool {
    Focus_Next = false,
    Focus_Previous = true,
};

using WindowMessageHook = LRESULT (*)(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
using WindowEraseHook = LRESULT (*)(HDC context, HWND window);

struct WindowRecord {
    HWND hwnd;
    ACCEL* accelerators;
    HACCEL accelerator_table;
    WindowMessageHook message_hook;
    int32_t accelerator_count;
    HBRUSH background_brush;
    HWND mdi_client;
    WindowEraseHook erase_hook;
    uint16_t min_width;
    uint16_t min_height;
    uint16_t max_width;
    uint16_t max_height;
    int32_t minimized_or_maximized;
    HDEVNOTIFY device_notification;  // announces a device class to the window; ended with it
};
static_assert(offsetof(WindowRecord, accelerator_count) == 4 * Pointer_Bytes &&
                  offsetof(WindowRecord, background_brush) == pointer_aligned(4 * Pointer_Bytes + 4) &&
                  offsetof(WindowRecord, min_width) == offsetof(WindowRecord, background_brush) + 3 * Pointer_Bytes &&
                  offsetof(WindowRecord, minimized_or_maximized) == offsetof(WindowRecord, min_width) + 8,
              "pointer-sized fields, then four 16-bit limits");
static_assert(Pointer_Bytes != 4 || (offsetof(WindowRecord, min_width) == 32 &&
                                     offsetof(WindowRecord, minimized_or_maximized) == 40));

struct MessageState {
    WPARAM wparam;
    LPARAM lparam;
    WindowMessageHook hook;
};

extern MessageState message_state;

// Reads the screen's resolution once, for window_scale.
void window_runtime_init();
// A length or position given at 96 dpi, in the screen's pixels. Callers lay
// windows and gadgets out at 96 dpi; the runtime scales what it hands Windows.
int32_t window_scale(int32_t value);
ObjectTable* window_table();
WindowRecord* window_record(ObjectNumber number);

intptr_t window_open(ObjectNumber number, int32_t x, int32_t y, int32_t width, int32_t height, const char* title,
                     uint32_t flags, HWND parent = nullptr);
BOOL window_set_hidden(ObjectNumber number, bool hide, uint32_t flags);
BOOL window_show(ObjectNumber number, bool hide);
HWND window_handle(ObjectNumber number);
void window_close(ObjectNumber number);
void window_close_all();
void window_center(HWND window, uint32_t flags, HWND parent);
// Asks Windows to announce the arrival and removal of the class's device
// interfaces to the window (WM_DEVICECHANGE, which its message hook sees);
// closing the window ends it. False when Windows refused.
bool window_notify_device_class(ObjectNumber number, const GUID& interface_class);

LRESULT CALLBACK window_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
LRESULT window_message_handler(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
LRESULT window_forward_to_gadget(HWND child, HWND parent, UINT message, WPARAM wparam, LPARAM lparam);
void window_focus_next(FocusDirection direction);
void window_update_ui_state(HWND window, bool show);
// The runtime window number of a window or of its nearest ancestor that has one, or -1.
ObjectNumber window_number_of(HWND window, HWND* owner);
