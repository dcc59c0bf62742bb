// The message box keeps the calling thread's other windows out of the way and
// puts them back; boxes on several threads at once keep to their own windows.
// The common controls the runtime loads itself.
#include <atomic>
#include <thread>
#include <vector>

#include "runtime/gui_fixture.h"

namespace {

class GuiServicesTest : public GuiTest {};

BOOL CALLBACK find_box(HWND window, LPARAM found) {
    char name[16];
    if (!IsWindowVisible(window) || !GetClassNameA(window, name, sizeof name) || lstrcmpA(name, "#32770") != 0)
        return TRUE;
    *reinterpret_cast<HWND*>(found) = window;
    return FALSE;
}

// Waits for the box that thread shows.
HWND wait_for_box(DWORD thread_id, int tries = 500) {
    for (int i = 0; i < tries; ++i, Sleep(10)) {
        HWND found = nullptr;
        EnumThreadWindows(thread_id, find_box, reinterpret_cast<LPARAM>(&found));
        if (found) return found;
    }
    return nullptr;
}

TEST_F(GuiServicesTest, BoxDisablesOtherWindowsOfTheThreadAndRestoresThem) {
    auto main_window = reinterpret_cast<HWND>(window_open(0, 10, 10, 200, 80, "main", 0));
    auto other = reinterpret_cast<HWND>(window_open(1, 300, 10, 200, 80, "other", 0));
    auto disabled = reinterpret_cast<HWND>(window_open(2, 10, 200, 200, 80, "disabled", 0));
    auto hidden = reinterpret_cast<HWND>(window_open(3, 300, 200, 200, 80, "hidden", WindowFlag_Hidden));
    EnableWindow(disabled, FALSE);
    SetWindowPos(other, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
    SetForegroundWindow(main_window);
    pump_events();
    ASSERT_EQ(GetForegroundWindow(), main_window);

    HWND box = nullptr, owner = nullptr;
    std::wstring caption, message;
    bool other_enabled = true, topmost_during = true;
    int saved = -1;
    DWORD gui_thread = GetCurrentThreadId();
    std::thread watcher([&] {
        box = wait_for_box(gui_thread);
        if (!box) return;
        owner = GetWindow(box, GW_OWNER);
        caption = text_of(box);
        // The message is the last label with a text, after the icon's.
        for (HWND label = nullptr; (label = FindWindowExW(box, label, L"Static", nullptr));)
            if (!text_of(label).empty()) message = text_of(label);
        other_enabled = IsWindowEnabled(other);
        topmost_during = (GetWindowLongA(other, GWL_EXSTYLE) & WS_EX_TOPMOST) != 0;
        saved = saved_window_count();
        PostMessageA(box, WM_COMMAND, IDOK, 0);
    });
    // "Подпись", "Нет связи с устройством!": held as UTF-16 whatever the ANSI code page.
    int result = message_box("\xCF\xEE\xE4\xEF\xE8\xF1\xFC",
                             "\xCD\xE5\xF2 \xF1\xE2\xFF\xE7\xE8 \xF1 \xF3\xF1\xF2\xF0\xEE\xE9\xF1\xF2\xE2\xEE\xEC!",
                             MB_OK | MB_ICONEXCLAMATION);
    watcher.join();
    ASSERT_NE(box, nullptr) << "no message box appeared";
    EXPECT_EQ(result, IDOK);
    EXPECT_EQ(caption, L"Подпись");
    EXPECT_EQ(message, L"Нет связи с устройством!");
    EXPECT_EQ(owner, main_window) << "the foreground window of this process owns the box";
    // The owner is disabled by the modal box itself while it is up, and enabled again after it.
    EXPECT_TRUE(IsWindowEnabled(main_window));
    EXPECT_FALSE(other_enabled);
    EXPECT_FALSE(topmost_during);
    EXPECT_EQ(saved, 3) << "visible windows only: main, other, disabled";
    EXPECT_TRUE(IsWindowEnabled(other));
    EXPECT_TRUE(GetWindowLongA(other, GWL_EXSTYLE) & WS_EX_TOPMOST);
    EXPECT_FALSE(IsWindowEnabled(disabled)) << "a window that was disabled stays disabled";
    EXPECT_TRUE(IsWindowEnabled(hidden));
    EXPECT_EQ(saved_window_count(), 0);
}

// No program imports the common controls: the runtime loads them at start
// and registers with them the classes the gadgets are made of.
TEST_F(GuiServicesTest, CommonControlsLoadedAtStartRegisterTheGadgetClasses) {
    EXPECT_NE(GetModuleHandleA("comctl32.dll"), nullptr);
    EXPECT_TRUE(common_controls_register());
    for (const char* name : {"SysTabControl32", "msctls_hotkey32", "SysDateTimePick32", "ComboBoxEx32", "SysIPAddress32"}) {
        WNDCLASSEXA info{};
        info.cbSize = sizeof info;
        EXPECT_TRUE(GetClassInfoExA(nullptr, name, &info)) << name << " is not registered";
    }
}

TEST_F(GuiServicesTest, BoxesOnSeveralThreadsAtOnceTouchOnlyTheirOwnWindows) {
    constexpr int threads = 3;
    constexpr int rounds = 5;
    std::atomic<int> left_disabled{0}, closed{0}, odd_results{0}, finished{0};
    auto worker = [&](int index) {
        std::vector<HWND> own_windows;
        for (int round = 0; round < rounds; ++round) {
            HWND own = CreateWindowExA(0, "Static", "w", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 10 + index * 100, 400,
                                       90, 60, nullptr, nullptr, nullptr, nullptr);
            own_windows.push_back(own);
            DWORD me = GetCurrentThreadId();
            std::atomic<bool> done{false};
            std::thread closer([&] {
                while (!done.load()) {
                    HWND box = wait_for_box(me, 20);
                    if (box) PostMessageA(box, WM_COMMAND, IDOK, 0);
                    Sleep(5);
                }
            });
            int result = message_box("", "concurrent", MB_OK);
            done = true;
            closer.join();
            if (result == IDOK)
                ++closed;
            else
                ++odd_results;
        }
        // Another thread's box may take one of these windows, the foreground
        // one, as its owner and hold it disabled while it is up: the windows are
        // looked at once every box of every thread is gone. Meanwhile this
        // thread answers the messages other threads send its windows.
        ++finished;
        while (finished.load() < threads) {
            MSG message;
            while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&message);
            Sleep(5);
        }
        for (HWND own : own_windows) {
            if (!IsWindowEnabled(own)) ++left_disabled;
            DestroyWindow(own);
        }
    };
    std::vector<std::thread> workers;
    for (int i = 0; i < threads; ++i) workers.emplace_back(worker, i);
    for (std::thread& t : workers) t.join();
    // Under load Wine now and then fails to show one of several simultaneous
    // boxes (MessageBoxA returns at once; seen 3 of 15 on a machine running
    // several suites). The rounds whose box did show are the test; the list
    // must come out clean either way.
    EXPECT_GE(closed.load(), threads * rounds / 2) << odd_results.load() << " boxes did not show";
    EXPECT_EQ(left_disabled.load(), 0) << "a window left disabled after its box closed";
    EXPECT_EQ(saved_window_count(), 0) << "elements left behind in the shared list";
}

}  // namespace

VEL_GUI_TEST_MAIN
