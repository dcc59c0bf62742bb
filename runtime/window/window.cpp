#include "runtime/window/window.h"

#include <commctrl.h>
#include <dbt.h>
#include <ole2.h>

#include "runtime/base/hex_format.h"
#include "runtime/base/memory.h"
#include "runtime/base/object_table.h"
#include "runtime/base/string_buffer.h"
#include "runtime/gadget/gadget.h"
#include "runtime/window/event_queue.h"
#include "runtime/window/window_names.h"

MessageState message_state{};

namespace {

constexpr int32_t WindowTable_Capacity = 16;
constexpr int32_t WindowClass_NameBytes = 12 + Decimal_MaxBytes;  // "WindowClass_" and the number
constexpr int32_t ClassName_Bytes = 50;  // names are compared up to 49 characters
constexpr int32_t Accelerator_Count = 2;
constexpr uint32_t Centring = WindowFlag_CentreOnScreen | WindowFlag_CentreOnParent;
constexpr uint32_t Placement = Centring | WindowFlag_Tool;  // runtime bits in the style's low bits
constexpr uint32_t ToolCleared = WS_MAXIMIZEBOX | WS_MINIMIZEBOX | WS_MAXIMIZE | WS_MINIMIZE;
constexpr UINT SetPosition_Move = SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE;
constexpr WPARAM UiState_ClearBoth = MAKEWPARAM(UIS_CLEAR, UISF_HIDEFOCUS | UISF_HIDEACCEL);
constexpr WPARAM UiState_SetBoth = MAKEWPARAM(UIS_SET, UISF_HIDEFOCUS | UISF_HIDEACCEL);
static_assert(UiState_ClearBoth == 0x30002 && UiState_SetBoth == 0x30001);
constexpr ObjectNumber ControlId_MenuCommand = -10000;

constexpr int32_t Layout_Dpi = 96;

ObjectTable* g_windows = nullptr;
// Set by window_runtime_init, before any window; left zero until then, as an
// initialised variable would cost the program a data section of its own.
int32_t g_screen_dpi;
HICON g_class_icon = nullptr;
HCURSOR g_class_cursor = nullptr;

void class_name_of(char* name, ObjectNumber number) {
    lstrcpyA(name, "WindowClass_");
    format_decimal(name + 12, number);
}

int show_command(bool maximized, bool minimized, bool no_activate) {
    if (maximized) return no_activate ? SW_SHOWNA : SW_SHOWMAXIMIZED;
    if (minimized) return no_activate ? SW_SHOWMINNOACTIVE : SW_SHOWMINIMIZED;
    return no_activate ? SW_SHOWNOACTIVATE : SW_SHOWNORMAL;
}

void activate_owner(HWND window, const WindowRecord* record) {
    HWND owner = GetWindow(window, GW_OWNER);
    if (owner && !(record && record->mdi_client)) SetActiveWindow(owner);
}

BOOL CALLBACK send_sys_color_change(HWND child, LPARAM) {
    SendMessageW(child, WM_SYSCOLORCHANGE, 0, 0);
    return TRUE;
}

LRESULT handle_size(HWND window, HWND owner, WindowRecord* record, ObjectNumber number, WPARAM kind) {
    if (window != owner) return 1;
    switch (kind) {
    case SIZE_MINIMIZED:
        if (record) record->minimized_or_maximized = 1;
        event_queue_add(Event_WindowMinimized, 0, number, 0);
        break;
    case SIZE_MAXIMIZED:
        if (record) record->minimized_or_maximized = 1;
        event_queue_add(Event_WindowMaximized, 0, number, 0);
        event_queue_add(Event_WindowSized, 0, number, 0);
        break;
    case SIZE_RESTORED:
        if (record && record->minimized_or_maximized) {
            record->minimized_or_maximized = 0;
            event_queue_add(Event_WindowRestored, 0, number, 0);
        }
        event_queue_add(Event_WindowSized, 0, number, 0);
        break;
    default:
        event_queue_add(Event_WindowSized, 0, number, 0);
        break;
    }
    return 0;
}

LRESULT handle_activate(HWND window, ObjectNumber number, WPARAM wparam) {
    if (LOWORD(wparam) != 0) {
        if (HWND focus = static_cast<HWND>(GetPropA(window, Property_Focus))) SetFocus(focus);
        event_queue_add(Event_WindowActivated, 0, number, 0);
    } else {
        SetPropA(window, Property_Focus, GetFocus());
        window_update_ui_state(window, false);
        event_queue_add(Event_WindowDeactivated, 0, number, 0);
    }
    return 1;
}

LRESULT handle_erase(HWND window, WindowRecord* record, ObjectNumber number, WPARAM wparam) {
    LRESULT result = NotHandled;
    if (record) {
        auto context = reinterpret_cast<HDC>(wparam);
        if (record->background_brush) {
            RECT client;
            GetClientRect(window, &client);
            FillRect(context, &client, record->background_brush);
            result = 1;
        } else if (window == record->hwnd && record->erase_hook) {
            result = record->erase_hook(context, window);
        }
    }
    event_queue_add(Event_EraseBackground, 0, number, 0);
    return result;
}

LRESULT handle_min_max(HWND window, WindowRecord* record, LPARAM lparam) {
    if (!record) return NotHandled;
    auto* info = reinterpret_cast<MINMAXINFO*>(lparam);
    if (record->min_width)
        info->ptMinTrackSize.x = record->min_width;
    else if (GetWindowLongA(window, GWL_EXSTYLE) & WS_EX_TOOLWINDOW)
        info->ptMinTrackSize.x = 1;
    if (record->min_height) info->ptMinTrackSize.y = record->min_height;
    if (record->max_width) info->ptMaxTrackSize.x = record->max_width;
    if (record->max_height) info->ptMaxTrackSize.y = record->max_height;
    return 0;
}

LRESULT handle_command(HWND window, ObjectNumber number, WPARAM wparam, LPARAM lparam) {
    auto control = reinterpret_cast<HWND>(lparam);
    if (window_forward_to_gadget(control, window, WM_COMMAND, wparam, lparam) != NotHandled) return 0;
    if (control) {
        ObjectNumber id = GetWindowLongPtrA(control, GWLP_ID);
        if (id == ControlId_MenuCommand)
            event_queue_add(Event_MenuCommand, LOWORD(wparam), number, 0);
        else
            event_queue_add(Event_GadgetAction, id, number, HIWORD(wparam));
    } else if (HIWORD(wparam) == 0) {
        event_queue_add(Event_MenuCommand, static_cast<int32_t>(wparam), number, 0);
    } else if (LOWORD(wparam) == Command_FocusNext) {
        window_focus_next(Focus_Next);
    } else if (LOWORD(wparam) == Command_FocusPrevious) {
        window_focus_next(Focus_Previous);
    } else {
        event_queue_add(Event_MenuCommand, LOWORD(wparam), number, 0);
    }
    return 0;
}

LRESULT handle_tray_icon(HWND window, ObjectNumber number, WPARAM wparam, LPARAM lparam) {
    int32_t type = -1;
    switch (lparam) {
    case WM_LBUTTONDOWN: type = 0; break;
    case WM_RBUTTONDOWN: type = 1; break;
    case WM_LBUTTONDBLCLK: type = 2; break;
    case WM_RBUTTONDBLCLK: type = 3; break;
    default: break;
    }
    if (type >= 0) event_queue_add(Event_TrayIcon, static_cast<int32_t>(wparam), number, type);
    // A pump blocked in GetMessageA returns only for a posted message.
    PostMessageA(window, WM_NULL, 0, 0);
    return 0;
}

// Focus walk over the tab-stop descendants of the root, in EnumChildWindows order.
struct FocusWalk {
    HWND current;
    FocusDirection direction;
    bool seen_current;
    HWND first;
    HWND last;
    HWND remembered;
    HWND target;
};

BOOL CALLBACK visit_candidate(HWND child, LPARAM parameter) {
    auto* walk = reinterpret_cast<FocusWalk*>(parameter);
    if (!IsWindowEnabled(child) || !IsWindowVisible(child) || !(GetWindowLongA(child, GWL_STYLE) & WS_TABSTOP))
        return TRUE;
    if (!walk->first) walk->first = child;
    walk->last = child;
    if (walk->direction == Focus_Next) {
        if (!walk->current || walk->seen_current) {
            walk->target = child;
            return FALSE;
        }
        if (child == walk->current) walk->seen_current = true;
        return TRUE;
    }
    if (child == walk->current && walk->remembered) {
        walk->target = walk->remembered;
        return FALSE;
    }
    walk->remembered = child;
    return TRUE;
}

// The places that ask Windows or the runtime to choose stay as they are.
int32_t scaled_place(int32_t value) {
    return value == Position_Default || value == CW_USEDEFAULT ? value : window_scale(value);
}

bool class_is(HWND window, const char* name) {
    char buffer[ClassName_Bytes];
    int length = GetClassNameA(window, buffer, ClassName_Bytes);
    return length > 0 && lstrcmpA(buffer, name) == 0;
}

}  // namespace

void window_runtime_init() {
    g_windows = object_table_create(sizeof(WindowRecord), WindowTable_Capacity, window_close);
    message_state = MessageState{};
    // The system's resolution, which a system-DPI-aware program keeps for its
    // whole life.
    HDC screen = GetDC(nullptr);
    g_screen_dpi = screen ? GetDeviceCaps(screen, LOGPIXELSY) : Layout_Dpi;
    ReleaseDC(nullptr, screen);
    // The program's own icon, group 1 of its resources.
    g_class_icon = LoadIconA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(1));
    g_class_cursor = LoadCursorA(nullptr, IDC_ARROW);
}

int32_t window_scale(int32_t value) { return MulDiv(value, g_screen_dpi, Layout_Dpi); }

ObjectTable* window_table() { return g_windows; }

WindowRecord* window_record(ObjectNumber number) {
    return static_cast<WindowRecord*>(object_table_lookup(g_windows, number));
}

ObjectNumber window_number_of(HWND window, HWND* owner) {
    for (HWND current = window; current; current = GetParent(current)) {
        ObjectNumber number = window_number_stored(current);
        if (number != -1) {
            if (owner) *owner = current;
            return number;
        }
    }
    if (owner) *owner = nullptr;
    return -1;
}

intptr_t window_open(ObjectNumber number, int32_t x, int32_t y, int32_t width, int32_t height, const char* title,
                     uint32_t flags, HWND parent) {
    auto* record = static_cast<WindowRecord*>(object_table_allocate(g_windows, number));
    if (!record) return 0;
    bool dynamic = number == Object_Dynamic;
    if (dynamic) number = reinterpret_cast<ObjectNumber>(record);
    HINSTANCE instance = GetModuleHandleA(nullptr);

    // Unicode classes, so that the title and every text later set or typed
    // reach the window without passing through the system's ANSI code page.
    char class_name[WindowClass_NameBytes];
    class_name_of(class_name, number);
    WideText wide_class(class_name);
    WNDCLASSW window_class{};
    window_class.style = CS_DBLCLKS;
    window_class.lpfnWndProc = window_proc;
    window_class.hInstance = instance;
    window_class.hIcon = g_class_icon;
    window_class.hCursor = g_class_cursor;
    window_class.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    window_class.lpszClassName = wide_class;
    RegisterClassW(&window_class);

    uint32_t style = flags;
    bool no_gadget_list = style & WindowFlag_NoGadgetList;
    style &= ~static_cast<uint32_t>(WindowFlag_NoGadgetList);
    if ((style & ~(Centring | WindowFlag_Hidden)) == 0) style |= WS_CAPTION;
    bool hidden = style & WindowFlag_Hidden;
    style &= ~static_cast<uint32_t>(WindowFlag_Hidden);
    bool no_activate = style & WindowFlag_NoActivate;
    DWORD ex_style = 0;
    if (style & WindowFlag_Tool) {
        style &= ~ToolCleared;
        style |= WS_CAPTION;
        ex_style = WS_EX_TOOLWINDOW;
    }

    RECT outer{0, 0, window_scale(width), window_scale(height)};
    AdjustWindowRectEx(&outer, style & ~Placement, FALSE, ex_style);
    x = scaled_place(x);
    y = scaled_place(y);
    if (x == Position_Default || (y == Position_Default && !(flags & Centring))) x = y = CW_USEDEFAULT;

    HWND window = CreateWindowExW(ex_style, wide_class, WideText(title), style & WindowFlag_StyleMask, x, y,
                                  outer.right - outer.left, outer.bottom - outer.top, parent, nullptr, instance,
                                  nullptr);
    if (!window) {
        UnregisterClassA(class_name, instance);
        object_table_free(g_windows, number);
        return 0;
    }
    record->hwnd = window;
    if (flags & Centring) window_center(window, flags, parent);
    if (!hidden) ShowWindow(window, show_command(style & WS_MAXIMIZE, style & WS_MINIMIZE, no_activate));
    if (style & (WS_MINIMIZE | WS_MAXIMIZE)) record->minimized_or_maximized = 1;

    record->accelerators = static_cast<ACCEL*>(main_heap_alloc(Accelerator_Count * sizeof(ACCEL)));
    if (record->accelerators) {
        record->accelerators[0] = ACCEL{FVIRTKEY | FNOINVERT, VK_TAB, Command_FocusNext};
        record->accelerators[1] = ACCEL{FVIRTKEY | FNOINVERT | FSHIFT, VK_TAB, Command_FocusPrevious};
        record->accelerator_count = Accelerator_Count;
        record->accelerator_table = CreateAcceleratorTableA(record->accelerators, Accelerator_Count);
    }
    if (!no_gadget_list) gadget_list_select(window);
    window_number_store(window, number);
    return dynamic ? number : reinterpret_cast<intptr_t>(window);
}

void window_center(HWND window, uint32_t flags, HWND parent) {
    RECT outer;
    if (!GetWindowRect(window, &outer)) return;
    int w = outer.right - outer.left;
    int h = outer.bottom - outer.top;
    int x = 0;
    int y = 0;
    if (flags & WindowFlag_CentreOnScreen) {
        int screen_w = GetSystemMetrics(SM_CXSCREEN);
        int screen_h = GetSystemMetrics(SM_CYSCREEN);
        x = (screen_w - (w < screen_w ? w : screen_w)) / 2;
        y = (screen_h - (h < screen_h ? h : screen_h)) / 2;
    } else if (flags & WindowFlag_CentreOnParent) {
        HWND reference = parent ? parent : GetActiveWindow();
        RECT area;
        // With nothing to centre on, the window keeps the place it was given.
        if (!reference || !GetWindowRect(reference, &area)) return;
        x = area.left + ((area.right - area.left) - w) / 2;
        y = area.top + ((area.bottom - area.top) - h) / 2;
        if (x < 0) x = 0;
        if (y < 0) y = 0;
    } else {
        return;
    }
    SetWindowPos(window, nullptr, x, y, 0, 0, SetPosition_Move);
}

BOOL window_set_hidden(ObjectNumber number, bool hide, uint32_t flags) {
    WindowRecord* record = window_record(number);
    if (!record) return 0;
    HWND window = record->hwnd;
    if (hide) {
        activate_owner(window, record);
        return ShowWindow(window, SW_HIDE);
    }
    if (flags & Centring) window_center(window, flags, GetParent(window));
    return ShowWindow(window, show_command(IsZoomed(window), IsIconic(window), flags & WindowFlag_NoActivate));
}

BOOL window_show(ObjectNumber number, bool hide) { return window_set_hidden(number, hide, 0); }

HWND window_handle(ObjectNumber number) {
    WindowRecord* record = window_record(number);
    return record ? record->hwnd : nullptr;
}

void window_close(ObjectNumber number) {
    if (number == Object_Dynamic) {
        window_close_all();
        return;
    }
    WindowRecord* record = window_record(number);
    if (!record) return;
    HWND window = record->hwnd;
    if (record->device_notification) UnregisterDeviceNotification(record->device_notification);
    activate_owner(window, record);
    RemovePropA(window, Property_WindowId);
    if (RemovePropA(window, Property_DropAccept)) RevokeDragDrop(window);
    if (record->mdi_client) {
        SendMessageW(record->mdi_client, WM_MDIDESTROY, reinterpret_cast<WPARAM>(window), 0);
    } else {
        DestroyWindow(window);
        char class_name[WindowClass_NameBytes];
        class_name_of(class_name, number);
        UnregisterClassA(class_name, GetModuleHandleA(nullptr));
    }
    if (record->accelerators) {
        main_heap_free(record->accelerators);
        record->accelerators = nullptr;
        if (record->accelerator_table) DestroyAcceleratorTable(record->accelerator_table);
    }
    if (record->background_brush) DeleteObject(record->background_brush);
    event_queue_purge_window(number);
    event_bindings_remove_window(number);
    object_table_free(g_windows, number);
}

bool window_notify_device_class(ObjectNumber number, const GUID& interface_class) {
    WindowRecord* record = window_record(number);
    if (!record || record->device_notification) return record != nullptr;
    DEV_BROADCAST_DEVICEINTERFACE_W filter = {};
    filter.dbcc_size = sizeof filter;
    filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    filter.dbcc_classguid = interface_class;
    // The W form: Wine's A form hands even an ANSI window a UTF-16 name.
    record->device_notification = RegisterDeviceNotificationW(record->hwnd, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
    return record->device_notification != nullptr;
}

void window_close_all() { object_table_free_all(g_windows); }

LRESULT CALLBACK window_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    LRESULT result = window_message_handler(window, message, wparam, lparam);
    if (message != WM_SIZE) {
        if (HWND client = static_cast<HWND>(GetPropA(window, Property_MdiGadget))) {
            if (result == NotHandled || message == WM_MENUCHAR || message == WM_SETFOCUS)
                return DefFrameProcW(window, client, message, wparam, lparam);
            if (message == WM_COMMAND && lparam == 0) return DefFrameProcW(window, client, WM_COMMAND, wparam, 0);
            return result;
        }
    }
    SetLastError(0);
    return result == NotHandled ? DefWindowProcW(window, message, wparam, lparam) : result;
}

LRESULT window_message_handler(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    HWND owner = nullptr;
    ObjectNumber number = window_number_of(window, &owner);
    WindowRecord* record = number == -1 ? nullptr : window_record(number);

    WindowMessageHook hook = record && record->message_hook ? record->message_hook : message_state.hook;
    if (hook) {
        LRESULT hooked = hook(window, message, wparam, lparam);
        if (hooked != HookPassOn) return hooked;
    }

    switch (message) {
    case WM_MOVE:
        if (record && window == record->hwnd) event_queue_add(Event_WindowMoved, number, number, 0);
        return 0;
    case WM_SIZE:
        return handle_size(window, owner, record, number, wparam);
    case WM_ACTIVATE:
        return handle_activate(window, number, wparam);
    case WM_CLOSE:
        // Closing is the application's decision: the window stays open.
        if (record && window == record->hwnd) event_queue_add(Event_WindowCloseRequest, number, number, 0);
        return 0;
    case WM_ERASEBKGND:
        return handle_erase(window, record, number, wparam);
    case WM_SYSCOLORCHANGE:
        if (record && !record->mdi_client) EnumChildWindows(window, send_sys_color_change, 0);
        return NotHandled;
    case WM_GETMINMAXINFO:
        return handle_min_max(window, record, lparam);
    case WM_NOTIFY: {
        auto* header = reinterpret_cast<NMHDR*>(lparam);
        return window_forward_to_gadget(header ? header->hwndFrom : nullptr, window, message, wparam, lparam);
    }
    case WM_NCDESTROY:
        RemovePropA(window, Property_Focus);
        return 1;
    case WM_COMMAND:
        return handle_command(window, number, wparam, lparam);
    case WM_TIMER:
        if (!record) return NotHandled;
        event_queue_add(Event_TimerTick, static_cast<int32_t>(wparam), number, 0);
        return 0;
    case WM_HSCROLL:
    case WM_VSCROLL:
    case WM_CTLCOLOREDIT:
    case WM_CTLCOLORLISTBOX:
    case WM_CTLCOLORBTN:
    case WM_CTLCOLORSTATIC:
    case WindowMessage_Gadget:
        return window_forward_to_gadget(reinterpret_cast<HWND>(lparam), window, message, wparam, lparam);
    case WM_LBUTTONUP:
        event_queue_add(Event_LeftButtonUp, 0, number, 0);
        return 0;
    case WM_LBUTTONDBLCLK:
        event_queue_add(Event_LeftDoubleClick, 0, number, 0);
        return 0;
    case WM_RBUTTONUP:
        event_queue_add(Event_RightButtonUp, 0, number, 0);
        return 0;
    case WindowMessage_TrayIcon:
        return handle_tray_icon(window, number, wparam, lparam);
    default:
        return NotHandled;
    }
}

LRESULT window_forward_to_gadget(HWND child, HWND parent, UINT message, WPARAM wparam, LPARAM lparam) {
    if (!child) return NotHandled;
    ObjectNumber id = GetWindowLongPtrA(child, GWLP_ID);
    if (reinterpret_cast<ObjectNumber>(GetPropA(child, Property_GadgetId)) != id) return NotHandled;
    GadgetRecord* gadget = gadget_lookup(id);
    // A foreign control with ID 0 and no property would pass the test above:
    // only the gadget's own control reaches its kind.
    if (!gadget || gadget->hwnd != child || !gadget->type || !gadget->type->notify) return NotHandled;
    return gadget->type->notify(gadget, parent, message, wparam, lparam);
}

void window_focus_next(FocusDirection direction) {
    HWND root = GetActiveWindow();
    HWND focus = GetFocus();
    HWND current = nullptr;
    if (root && focus && IsChild(root, focus)) {
        current = focus;
        for (HWND climb = focus; climb && climb != root; climb = GetParent(climb)) {
            if (class_is(climb, "MDI_ChildClass")) {
                root = climb;
                if (climb == focus) current = nullptr;
                break;
            }
            if (class_is(climb, WC_COMBOBOXEXA) && (GetWindowLongA(climb, GWL_STYLE) & CBS_SIMPLE))
                current = climb;
            else if (class_is(climb, WC_IPADDRESSA))
                current = climb;
        }
    }
    if (!root) return;
    FocusWalk walk{current, direction, false, nullptr, nullptr, nullptr, nullptr};
    EnumChildWindows(root, visit_candidate, reinterpret_cast<LPARAM>(&walk));
    HWND target = walk.target;
    if (!target) {
        if (direction == Focus_Next)
            target = walk.seen_current ? walk.first : nullptr;  // from the last candidate back to the first
        else
            target = walk.last;
    }
    if (target) SetFocus(target);
}

void window_update_ui_state(HWND window, bool show) {
    if (!window) return;
    auto state = static_cast<UINT>(SendMessageW(window, WM_QUERYUISTATE, 0, 0));
    constexpr UINT both = UISF_HIDEFOCUS | UISF_HIDEACCEL;
    if (show) {
        if (state & both) SendMessageW(window, WM_UPDATEUISTATE, UiState_ClearBoth, 0);
    } else if ((state & both) != both) {
        SendMessageW(window, WM_UPDATEUISTATE, UiState_SetBoth, 0);
    }
}
