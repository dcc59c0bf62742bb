// The simulator's control panel (see hidsim_panel.h).
#include "tools/hidsim/hidsim_panel.h"

#include <windows.h>

#include "tools/hidsim/hidsim_client.h"

namespace {

enum Control : int { Control_Plugged = 101, Control_Button = 102, Control_Led = 103, Control_Info = 104 };
constexpr UINT Timer_Poll = 1;
constexpr UINT Poll_Ms = 50;

struct Panel {
    uint32_t slot;
    HWND window;
    HWND plugged;
    HWND button;
    HWND led;
    HWND info;
    WNDPROC button_proc;
    bool button_down;
    uint32_t led_state;
    HBRUSH on_brush;
    HBRUSH off_brush;
    HBRUSH unknown_brush;
};

Panel panel;

void send_button(bool down) {
    if (panel.button_down == down) return;
    panel.button_down = down;
    hidsim_send_button(panel.slot, down);
}

// The button is the device's button for as long as it is held down.
LRESULT CALLBACK button_proc(HWND hwnd, UINT msg, WPARAM wparam, LPARAM lparam) {
    switch (msg) {
    case WM_LBUTTONDOWN:
    case WM_LBUTTONDBLCLK: send_button(true); break;
    case WM_LBUTTONUP:
    case WM_CAPTURECHANGED:
    case WM_KILLFOCUS: send_button(false); break;
    case WM_KEYDOWN:
        if (wparam == VK_SPACE && !(lparam & (1 << 30))) send_button(true);
        break;
    case WM_KEYUP:
        if (wparam == VK_SPACE) send_button(false);
        break;
    default: break;
    }
    return CallWindowProcA(panel.button_proc, hwnd, msg, wparam, lparam);
}

void refresh() {
    HidSimStatus status = {};
    bool known = hidsim_status(panel.slot, &status);
    SendMessageA(panel.plugged, BM_SETCHECK, known && status.plugged ? BST_CHECKED : BST_UNCHECKED, 0);
    EnableWindow(panel.plugged, known);
    EnableWindow(panel.button, known && status.plugged);
    uint32_t led = known && status.plugged ? status.led : uint32_t{HidSimLed_Unknown};
    char text[160];
    wsprintfA(text, "LED: %s", known && status.plugged ? hidsim_led_name(led) : "-");
    SetWindowTextA(panel.led, text);
    if (!known) {
        SetWindowTextA(panel.info, "The simulator is not installed in this prefix.");
    } else {
        wsprintfA(text, "Slot %u  %04X:%04X v%04X  outputs %u  inputs %u", panel.slot, status.vendor_id,
                  status.product_id, status.version, status.outputs_total, status.inputs_total);
        SetWindowTextA(panel.info, status.plugged ? text : "Device unplugged.");
    }
    if (led != panel.led_state) {
        panel.led_state = led;
        InvalidateRect(panel.led, nullptr, TRUE);
    }
}

void toggle_plugged() {
    HidSimStatus status = {};
    if (!hidsim_status(panel.slot, &status)) return;
    SetCursor(LoadCursorA(nullptr, IDC_WAIT));
    if (status.plugged) {
        send_button(false);
        hidsim_unplug(panel.slot);
    } else {
        hidsim_plug(hidsim_default_device(panel.slot));
    }
    refresh();
}

LRESULT CALLBACK window_proc(HWND hwnd, UINT msg, WPARAM wparam, LPARAM lparam) {
    switch (msg) {
    case WM_COMMAND:
        if (LOWORD(wparam) == Control_Plugged && HIWORD(wparam) == BN_CLICKED) toggle_plugged();
        return 0;
    case WM_TIMER:
        refresh();
        return 0;
    case WM_CTLCOLORSTATIC:
        if (reinterpret_cast<HWND>(lparam) == panel.led) {
            HDC dc = reinterpret_cast<HDC>(wparam);
            HBRUSH brush = panel.led_state == HidSimLed_On    ? panel.on_brush
                           : panel.led_state == HidSimLed_Off ? panel.off_brush
                                                              : panel.unknown_brush;
            SetBkMode(dc, TRANSPARENT);
            SetTextColor(dc, panel.led_state == HidSimLed_On ? RGB(0, 0, 0) : RGB(255, 255, 255));
            return reinterpret_cast<LRESULT>(brush);
        }
        break;
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    default: break;
    }
    return DefWindowProcA(hwnd, msg, wparam, lparam);
}

HWND child(const char* cls, const char* text, DWORD style, int x, int y, int w, int h, int id) {
    HWND hwnd = CreateWindowExA(0, cls, text, WS_CHILD | WS_VISIBLE | style, x, y, w, h, panel.window,
                                reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), GetModuleHandleA(nullptr),
                                nullptr);
    SendMessageA(hwnd, WM_SETFONT, reinterpret_cast<WPARAM>(GetStockObject(DEFAULT_GUI_FONT)), TRUE);
    return hwnd;
}

}  // namespace

int hidsim_panel_run(uint32_t slot) {
    panel = Panel{};
    panel.slot = slot;
    panel.led_state = ~0u;
    panel.on_brush = CreateSolidBrush(RGB(40, 230, 60));
    panel.off_brush = CreateSolidBrush(RGB(60, 60, 60));
    panel.unknown_brush = CreateSolidBrush(RGB(130, 130, 150));

    WNDCLASSA cls = {};
    cls.lpfnWndProc = window_proc;
    cls.hInstance = GetModuleHandleA(nullptr);
    cls.hCursor = LoadCursorA(nullptr, IDC_ARROW);
    cls.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    cls.lpszClassName = "HidSimPanel";
    if (!RegisterClassA(&cls)) return 1;

    RECT frame = {0, 0, 300, 150};
    DWORD style = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;
    AdjustWindowRect(&frame, style, FALSE);
    panel.window = CreateWindowExA(0, cls.lpszClassName, "HidSim: virtual HID device", style, 40, 40,
                                   frame.right - frame.left, frame.bottom - frame.top, nullptr, nullptr,
                                   cls.hInstance, nullptr);
    if (!panel.window) return 1;
    panel.plugged = child("BUTTON", "Plugged in", BS_AUTOCHECKBOX, 12, 12, 130, 22, Control_Plugged);
    // The check box follows the device, not the click.
    SetWindowLongA(panel.plugged, GWL_STYLE, (GetWindowLongA(panel.plugged, GWL_STYLE) & ~0xF) | BS_CHECKBOX);
    panel.led = child("STATIC", "LED", SS_CENTER | SS_CENTERIMAGE | WS_BORDER, 160, 12, 128, 22, Control_Led);
    panel.button = child("BUTTON", "Device button (hold)", BS_PUSHBUTTON, 12, 48, 276, 48, Control_Button);
    panel.button_proc = reinterpret_cast<WNDPROC>(
        SetWindowLongPtrA(panel.button, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(button_proc)));
    panel.info = child("STATIC", "", SS_LEFT, 12, 108, 276, 34, Control_Info);
    refresh();
    SetTimer(panel.window, Timer_Poll, Poll_Ms, nullptr);
    ShowWindow(panel.window, SW_SHOWNORMAL);

    MSG msg;
    while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
    DeleteObject(panel.on_brush);
    DeleteObject(panel.off_brush);
    DeleteObject(panel.unknown_brush);
    return 0;
}
