// Numbered windows on real Win32 windows: styles, placement, the events the
// shared window procedure makes of messages, closing, and Tab focus moves.
#include <windows.h>
#include <dbt.h>

#include <cstring>

#include "runtime/base/base_fixture.h"
#include "runtime/gadget/gadget_kinds.h"
#include "runtime/gui_fixture.h"

namespace {

// What the runtime asks of the system's device notifications, seen at its
// imports: Wine hands every interface to any registration, whatever its
// filter, where Windows holds a registration to the filter it was given.
struct Registration {
    HWND window;
    DEV_BROADCAST_DEVICEINTERFACE_W filter;
    DWORD flags;
    HDEVNOTIFY made;
    HDEVNOTIFY ended;
} g_registration;

FARPROC user32_entry(const char* name) { return GetProcAddress(GetModuleHandleA("user32.dll"), name); }

HDEVNOTIFY WINAPI registering(HANDLE recipient, LPVOID filter, DWORD flags) {
    g_registration.window = static_cast<HWND>(recipient);
    std::memcpy(&g_registration.filter, filter, sizeof g_registration.filter);
    g_registration.flags = flags;
    auto real = reinterpret_cast<decltype(&::RegisterDeviceNotificationW)>(
        reinterpret_cast<void*>(user32_entry("RegisterDeviceNotificationW")));
    return g_registration.made = real(recipient, filter, flags);
}

BOOL WINAPI unregistering(HDEVNOTIFY notification) {
    g_registration.ended = notification;
    auto real = reinterpret_cast<decltype(&::UnregisterDeviceNotification)>(
        reinterpret_cast<void*>(user32_entry("UnregisterDeviceNotification")));
    return real(notification);
}

}  // namespace

extern "C" {
void* registering_import __asm__(IMPORT_SYMBOL(RegisterDeviceNotificationW, 12)) = reinterpret_cast<void*>(&registering);
void* unregistering_import __asm__(IMPORT_SYMBOL(UnregisterDeviceNotification, 4)) =
    reinterpret_cast<void*>(&unregistering);
}

namespace {

class WindowTest : public GuiTest {};

HWND open(ObjectNumber number, int x, int y, int w, int h, int32_t flags, HWND parent = nullptr) {
    return reinterpret_cast<HWND>(window_open(number, x, y, w, h, "w", flags, parent));
}

RECT outer_of(HWND window) {
    RECT area{};
    GetWindowRect(window, &area);
    return area;
}

// The end-to-end test sees the client size of a hidden window with a caption
// that is shown; here a window with no style, plain and hidden, and a tool window.
TEST_F(WindowTest, PlainHiddenAndToolWindowsTakeTheirStyleAndSize) {
    HWND plain = open(0, 30, 40, 320, 100, 0);
    HWND hidden = open(1, 30, 40, 320, 100, WindowFlag_Hidden);
    pump_events();
    for (HWND window : {plain, hidden}) EXPECT_EQ(GetWindowLongA(window, GWL_STYLE) & WS_CAPTION, WS_CAPTION);
    RECT client{};
    GetClientRect(plain, &client);
    EXPECT_EQ(client.right, 320);
    EXPECT_EQ(client.bottom, 100);
    EXPECT_TRUE(IsWindowVisible(plain));
    EXPECT_FALSE(IsWindowVisible(hidden));
    window_show(1, false);
    pump_events();
    EXPECT_TRUE(IsWindowVisible(window_handle(1)));
    window_show(1, true);
    EXPECT_FALSE(IsWindowVisible(window_handle(1)));
    EXPECT_EQ(window_show(9, false), 0) << "a number that is not open";

    // A tool window is never maximized and may shrink to one pixel.
    HWND tool = open(2, 10, 10, 200, 80, WindowFlag_Tool | WS_MAXIMIZE | WS_MAXIMIZEBOX | WS_MINIMIZEBOX | WS_SYSMENU);
    ASSERT_NE(tool, nullptr);
    pump_events();
    EXPECT_FALSE(IsZoomed(tool));
    MINMAXINFO info{};
    info.ptMinTrackSize = {100, 30};
    SendMessageA(tool, WM_GETMINMAXINFO, 0, reinterpret_cast<LPARAM>(&info));
    EXPECT_EQ(info.ptMinTrackSize.x, 1);
    EXPECT_EQ(info.ptMinTrackSize.y, 30);
}

// Whatever the system's ANSI code page: the title is held as the UTF-16 its
// Windows-1251 bytes stand for, the window stays a Unicode one once its gadget
// list has subclassed it, and a character posted as typed (as TranslateMessage
// posts it) reaches a field through the pump unchanged.
TEST_F(WindowTest, TitlesAndTypedCharactersAreHeldAsUnicode) {
    HWND untitled = reinterpret_cast<HWND>(window_open(1, 10, 100, 200, 80, nullptr, 0));
    HWND titled = reinterpret_cast<HWND>(window_open(0, 10, 10, 200, 80, "\xCF\xF0\xE8\xEC\xE5\xF0 HID", 0));
    EXPECT_EQ(text_of(titled), L"Пример HID");
    EXPECT_EQ(text_of(untitled), L"");
    EXPECT_TRUE(IsWindowUnicode(titled));

    HWND field = reinterpret_cast<HWND>(gadget_create_string(3, 10, 10, 100, 20, ""));
    pump_events();
    PostMessageW(field, WM_CHAR, L'Ж', 1);
    pump_events();
    EXPECT_EQ(gadget_text(3), L"Ж");
}

// Centring on the screen is what the program's own window shows in the
// end-to-end test; here the cases it does not reach.
TEST_F(WindowTest, DefaultPositionAndCentringOnParentOnAWideWindowAndOnNothing) {
    EXPECT_GT(outer_of(open(3, Position_Default, 50, 100, 50, 0)).left, -1000);
    // y alone asks for the default only when no centring is requested.
    EXPECT_GT(outer_of(open(3, 20, Position_Default, 100, 50, 0)).top, -1000);
    RECT centred = outer_of(open(3, 20, Position_Default, 100, 50, WindowFlag_CentreOnScreen | WindowFlag_Hidden));
    EXPECT_EQ(centred.top, (GetSystemMetrics(SM_CYSCREEN) - (centred.bottom - centred.top)) / 2);
    EXPECT_EQ(outer_of(open(1, 0, 0, GetSystemMetrics(SM_CXSCREEN) + 300, 50, WindowFlag_CentreOnScreen | WindowFlag_Hidden)).left, 0);

    RECT outer = outer_of(open(0, 33, 44, 301, 101, 0));
    RECT inner = outer_of(open(2, 5, 5, 100, 40, WindowFlag_CentreOnParent | WindowFlag_Hidden, window_handle(0)));
    EXPECT_EQ(inner.left, outer.left + ((outer.right - outer.left) - (inner.right - inner.left)) / 2);
    EXPECT_EQ(inner.top, outer.top + ((outer.bottom - outer.top) - (inner.bottom - inner.top)) / 2);

    window_close_all();
    pump_events();
    ASSERT_EQ(GetActiveWindow(), nullptr) << "the test needs a thread without an active window";
    RECT place = outer_of(open(3, 37, 41, 100, 40, WindowFlag_CentreOnParent | WindowFlag_Hidden));
    EXPECT_EQ(place.left, 37);
    EXPECT_EQ(place.top, 41);
}

TEST_F(WindowTest, ReopeningANumberClosesTheFirstWindowAndClosingDropsItsEvents) {
    HWND first = open(0, 10, 10, 100, 50, 0);
    HWND second = open(0, 10, 10, 100, 50, 0);
    EXPECT_FALSE(IsWindow(first));
    EXPECT_TRUE(IsWindow(second));
    EXPECT_EQ(window_handle(0), second);

    window_open(1, 10, 10, 100, 50, "other", 0);
    pump_events();
    event_queue_add(Event_GadgetAction, 3, 0, 0);
    event_queue_add(Event_GadgetAction, 3, 1, 0);
    window_close(0);
    EXPECT_FALSE(IsWindow(second));
    EXPECT_EQ(window_handle(0), nullptr);
    EXPECT_TRUE(events_are(take_all(), {{Event_GadgetAction, 3, 1}}));
}

TEST_F(WindowTest, TheCloseBoxOfADynamicWindowAsksAndLeavesItOpen) {
    intptr_t number = window_open(Object_Dynamic, 10, 10, 100, 50, "dyn", WS_SYSMENU);
    ASSERT_NE(number, 0);
    HWND window = window_handle(number);
    ASSERT_NE(window, nullptr);
    EXPECT_NE(reinterpret_cast<HWND>(number), window);
    pump_events();
    PostMessageA(window, WM_SYSCOMMAND, SC_CLOSE, 0);  // what the close box does
    EXPECT_TRUE(events_are(pump_events(), {{Event_WindowCloseRequest, number, number}}));
    EXPECT_TRUE(IsWindow(window));
    window_close(number);
    EXPECT_FALSE(IsWindow(window));
}

TEST_F(WindowTest, SizeMoveAndMouseMessagesBecomeEventsInTheirOrder) {
    HWND window = open(5, 10, 10, 200, 100, WS_SYSMENU | WS_MINIMIZEBOX | WS_MAXIMIZEBOX | WS_THICKFRAME);
    pump_events();
    SetWindowPos(window, nullptr, 60, 70, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
    EXPECT_TRUE(events_are(pump_events(), {{Event_WindowMoved, 5, 5}}));

    ShowWindow(window, SW_MINIMIZE);
    EXPECT_TRUE(events_are(pump_events(), {{Event_WindowMoved, 5, 5},
                                           {Event_WindowMinimized, 0, 5},
                                           {Event_WindowDeactivated, 0, 5, 0, true}}));
    ShowWindow(window, SW_RESTORE);
    EXPECT_TRUE(events_are(pump_events(), {{Event_WindowMoved, 5, 5},
                                           {Event_WindowRestored, 0, 5},
                                           {Event_WindowSized, 0, 5},
                                           {Event_WindowActivated, 0, 5, 0, true}}));
    ShowWindow(window, SW_MAXIMIZE);
    EXPECT_TRUE(events_are(pump_events(), {{Event_WindowMoved, 5, 5},
                                           {Event_WindowMaximized, 0, 5},
                                           {Event_WindowSized, 0, 5}}));
    ShowWindow(window, SW_RESTORE);
    pump_events();
    // A plain resize of a restored window is only a size event.
    SetWindowPos(window, nullptr, 0, 0, 250, 120, SWP_NOMOVE | SWP_NOZORDER);
    EXPECT_TRUE(events_are(pump_events(), {{Event_WindowSized, 0, 5}}));

    for (UINT message : {WM_LBUTTONUP, WM_RBUTTONUP, WM_LBUTTONDBLCLK})
        PostMessageA(window, message, 0, MAKELPARAM(5, 5));
    EXPECT_TRUE(events_are(pump_events(), {{Event_LeftButtonUp, 0, 5},
                                           {Event_RightButtonUp, 0, 5},
                                           {Event_LeftDoubleClick, 0, 5}}));
}

TEST_F(WindowTest, CommandsFromMenusAcceleratorsAndControlsAndTrayIconMessages) {
    HWND window = open(6, 10, 10, 200, 100, 0);
    HWND menu_like = CreateWindowExA(0, "Button", "m", WS_CHILD, 0, 0, 10, 10, window,
                                     reinterpret_cast<HMENU>(static_cast<intptr_t>(-10000)), nullptr, nullptr);
    HWND foreign = CreateWindowExA(0, "Button", "f", WS_CHILD, 0, 0, 10, 10, window,
                                   reinterpret_cast<HMENU>(static_cast<intptr_t>(77)), nullptr, nullptr);
    pump_events();
    PostMessageA(window, WM_COMMAND, MAKEWPARAM(300, 0), 0);                     // menu
    PostMessageA(window, WM_COMMAND, MAKEWPARAM(301, 1), 0);                     // accelerator
    PostMessageA(window, WM_COMMAND, MAKEWPARAM(302, BN_CLICKED), reinterpret_cast<LPARAM>(menu_like));
    PostMessageA(window, WM_COMMAND, MAKEWPARAM(77, 5), reinterpret_cast<LPARAM>(foreign));
    EXPECT_TRUE(events_are(pump_events(), {{Event_MenuCommand, 300, 6},
                                           {Event_MenuCommand, 301, 6},
                                           {Event_MenuCommand, 302, 6},
                                           {Event_GadgetAction, 77, 6, 5}}));
    SendMessageA(window, WindowMessage_TrayIcon, 3, WM_RBUTTONDOWN);
    SendMessageA(window, WindowMessage_TrayIcon, 3, WM_MOUSEMOVE);
    SendMessageA(window, WindowMessage_TrayIcon, 4, WM_LBUTTONDBLCLK);
    EXPECT_TRUE(events_are(pump_events(), {{Event_TrayIcon, 3, 6, 1}, {Event_TrayIcon, 4, 6, 2}}));
}

int g_ticks = 0;
void CALLBACK count_tick(HWND, UINT, UINT_PTR, DWORD) { ++g_ticks; }

// What event_wait_timeout hands out over ms milliseconds, by code and object.
std::vector<SeenEvent> codes_for(int ms) {
    std::vector<SeenEvent> codes;
    for (DWORD begin = GetTickCount(); GetTickCount() - begin < static_cast<DWORD>(ms);)
        if (int32_t code = event_wait_timeout(20)) codes.push_back({code, event_object(), 0, 0});
    return codes;
}

TEST_F(WindowTest, TimerTicksReachTheQueueOnlyWithoutATimerProcedure) {
    HWND window = open(7, 10, 10, 100, 50, 0);
    SetTimer(window, 9, 10, nullptr);
    std::vector<SeenEvent> events = codes_for(200);
    KillTimer(window, 9);
    EXPECT_GE(count_events(events, Event_TimerTick, 9), 1) << describe(events);

    g_ticks = 0;
    SetTimer(window, 10, 10, count_tick);
    events = codes_for(300);
    KillTimer(window, 10);
    EXPECT_GE(g_ticks, 1);
    EXPECT_EQ(count_events(events, WM_TIMER), g_ticks) << "each tick is returned as message 275";
    EXPECT_EQ(count_events(events, Event_TimerTick, 10), 0);
}

TEST_F(WindowTest, PumpReturnsTheClickMessageThenTheGadgetEventWithoutWaiting) {
    open(0, 10, 10, 200, 100, 0);
    HWND button = reinterpret_cast<HWND>(gadget_create_button(2, 10, 10, 80, 24, "b"));
    ASSERT_NE(button, nullptr);
    pump_events();
    EXPECT_EQ(event_wait_timeout(0), 0) << "nothing queued, nothing pending";
    PostMessageA(button, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(5, 5));
    PostMessageA(button, WM_LBUTTONUP, 0, MAKELPARAM(5, 5));
    int32_t code = 0;
    for (int i = 0; i < 20 && code != WM_LBUTTONUP; ++i) code = event_wait_timeout(50);
    ASSERT_EQ(code, WM_LBUTTONUP) << "the button's release was not pumped";
    EXPECT_TRUE(events_are({current_event(event_wait_timeout(0))}, {{Event_GadgetAction, 2, 0, BN_CLICKED}}));
    EXPECT_EQ(message_state.wparam, 0u);
}

TEST_F(WindowTest, TabWrapsFromTheLastControlAndShiftTabFromTheFirst) {
    HWND window = open(0, 10, 10, 300, 100, 0);
    HWND a = reinterpret_cast<HWND>(gadget_create_button(1, 10, 10, 60, 24, "a"));
    HWND b = reinterpret_cast<HWND>(gadget_create_button(2, 80, 10, 60, 24, "b"));
    HWND c = reinterpret_cast<HWND>(gadget_create_string(3, 150, 10, 60, 20, "c"));
    CreateWindowExA(0, "Button", "no tab", WS_CHILD | WS_VISIBLE, 220, 10, 60, 24, window, nullptr, nullptr,
                    nullptr);
    SetForegroundWindow(window);
    SetActiveWindow(window);
    pump_events();
    ASSERT_EQ(GetActiveWindow(), window);
    const struct {
        HWND from;
        bool shift;
        HWND to;
    } steps[] = {{c, false, a}, {a, false, b}, {a, true, c}, {c, true, b}};
    for (const auto& step : steps) {
        SetFocus(step.from);
        if (step.shift) keybd_event(VK_SHIFT, 0, 0, 0);
        keybd_event(VK_TAB, 0, 0, 0);
        keybd_event(VK_TAB, 0, KEYEVENTF_KEYUP, 0);
        if (step.shift) keybd_event(VK_SHIFT, 0, KEYEVENTF_KEYUP, 0);
        pump_events();
        EXPECT_EQ(GetFocus(), step.to) << (step.shift ? "Shift+Tab" : "Tab") << " from " << (&step - steps);
    }
}

TEST_F(WindowTest, ParentMessagesReachOnlyTheGadgetsOwnControl) {
    HWND window = open(0, 10, 10, 300, 100, 0);
    HWND text = reinterpret_cast<HWND>(gadget_create_text(0, 10, 10, 100, 16, "t"));
    ASSERT_NE(text, nullptr);
    GadgetRecord* gadget = gadget_lookup(0);
    gadget_set_color(gadget, Color_Back, RGB(1, 2, 3));
    ASSERT_NE(gadget->back_brush, nullptr);
    EXPECT_EQ(color_answer(window, WM_CTLCOLORSTATIC, text), gadget->back_brush);
    // A control the runtime did not make, with ID 0 and no "Vel_ID", is not gadget 0.
    HWND foreign = CreateWindowExA(0, "Static", "f", WS_CHILD, 0, 0, 10, 10, window, nullptr, nullptr, nullptr);
    ASSERT_EQ(GetWindowLongA(foreign, GWL_ID), 0);
    EXPECT_NE(color_answer(window, WM_CTLCOLORSTATIC, foreign), gadget->back_brush);
    // One whose "Vel_ID" differs from its ID is refused too.
    SetPropA(foreign, "Vel_ID", reinterpret_cast<HANDLE>(5));
    EXPECT_NE(color_answer(window, WM_CTLCOLORSTATIC, foreign), gadget->back_brush);
    RemovePropA(foreign, "Vel_ID");
}

TEST_F(WindowTest, DeactivationRemembersTheFocusAndActivationRestoresIt) {
    HWND first = open(0, 10, 10, 200, 80, 0);
    gadget_create_button(1, 10, 10, 60, 24, "x");
    HWND y = reinterpret_cast<HWND>(gadget_create_button(2, 80, 10, 60, 24, "y"));
    SetForegroundWindow(first);
    pump_events();
    SetFocus(y);
    HWND second = open(1, 300, 10, 200, 80, 0);
    SetForegroundWindow(second);
    // The second window's own activation comes before it has its number. The
    // desktop may still be activating the first window, and may hand the
    // second one its activation twice.
    EXPECT_TRUE(events_are(pump_events(), {{Event_WindowActivated, 0, 0, Any, true},
                                           {Event_WindowDeactivated, 0, 0},
                                           {Event_WindowActivated, 0, -1},
                                           {Event_WindowDeactivated, 0, 1, Any, true},
                                           {Event_WindowActivated, 0, 1, Any, true}}));
    EXPECT_EQ(GetPropA(first, "Vel_Focus"), y);
    SetForegroundWindow(first);
    EXPECT_TRUE(events_are(pump_events(), {{Event_WindowDeactivated, 0, 1}, {Event_WindowActivated, 0, 0}}));
    EXPECT_EQ(GetFocus(), y);
}

// Interfaces of one class announced to one window, for as long as it is open.
TEST_F(WindowTest, ADeviceClassIsAnnouncedToTheWindowUntilItCloses) {
    const GUID hid_class = {0x4D1E55B2, 0xF16F, 0x11CF, {0x88, 0xCB, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};
    EXPECT_FALSE(window_notify_device_class(3, hid_class)) << "a window that is not open";
    HWND window = open(3, 10, 10, 100, 50, 0);
    g_registration = {};
    ASSERT_TRUE(window_notify_device_class(3, hid_class));
    const DEV_BROADCAST_DEVICEINTERFACE_W& filter = g_registration.filter;
    EXPECT_TRUE(g_registration.window == window && g_registration.flags == DEVICE_NOTIFY_WINDOW_HANDLE &&
                filter.dbcc_size >= offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name) &&
                filter.dbcc_devicetype == DBT_DEVTYP_DEVICEINTERFACE &&
                IsEqualGUID(filter.dbcc_classguid, hid_class))
        << "registered for window " << g_registration.window << " (the window is " << window << "), flags "
        << g_registration.flags << ", filter of " << filter.dbcc_size << " bytes, type " << filter.dbcc_devicetype;
    HDEVNOTIFY made = g_registration.made;
    ASSERT_NE(made, nullptr);
    EXPECT_TRUE(window_notify_device_class(3, hid_class));
    EXPECT_EQ(g_registration.made, made) << "registered twice";
    window_close(3);
    EXPECT_EQ(g_registration.ended, made) << "the registration outlived its window";
}

}  // namespace

VEL_GUI_TEST_MAIN
