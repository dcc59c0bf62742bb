// Brings the window and gadget runtime up once per test program, in the order
// the application's start-up uses, and gives tests a pump that collects the
// runtime's events while messages are processed.
#pragma once
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "runtime/base/memory.h"
#include "runtime/base/string_buffer.h"
#include "runtime/gadget/gadget.h"
#include "runtime/window/event_queue.h"
#include "runtime/window/gui_services.h"
#include "runtime/window/message_pump.h"
#include "runtime/window/runtime_start.h"
#include "runtime/window/window.h"

struct SeenEvent {
    int32_t code;
    ObjectNumber object;
    ObjectNumber window;
    int32_t type;
};

template <typename Event>
std::string describe(const std::vector<Event>& events) {
    std::string text;
    for (const Event& e : events)
        text += " (" + std::to_string(e.code) + " obj " + std::to_string(e.object) + " win " +
                std::to_string(e.window) + " type " + std::to_string(e.type) + ")";
    return text.empty() ? " (none)" : text;
}

// What the runtime reports of the event it handed out as code.
inline SeenEvent current_event(int32_t code) { return {code, event_object(), event_window(), event_type()}; }

// Pumps through event_wait_timeout until nothing has arrived for settle_ms,
// returning the runtime events handed out meanwhile.
inline std::vector<SeenEvent> pump_events(int settle_ms = 80, int limit_ms = 5000) {
    std::vector<SeenEvent> events;
    DWORD start = GetTickCount();
    int idle = 0;
    while (idle < settle_ms && static_cast<int>(GetTickCount() - start) < limit_ms) {
        int32_t code = event_wait_timeout(10);
        if (code == 0) {
            idle += 10;
            continue;
        }
        idle = 0;
        if (code >= Event_GadgetAction && code <= Event_WindowSized) events.push_back(current_event(code));
    }
    return events;
}

// Takes every queued event without pumping messages.
inline std::vector<SeenEvent> take_all() {
    std::vector<SeenEvent> events;
    while (int32_t code = event_queue_take()) events.push_back(current_event(code));
    return events;
}

// A window's text as Windows holds it, in UTF-16.
inline std::wstring text_of(HWND window) {
    std::wstring text(GetWindowTextLengthW(window) + 1, L'\0');
    text.resize(GetWindowTextW(window, text.data(), static_cast<int>(text.size())));
    return text;
}

inline std::wstring gadget_text(ObjectNumber number) { return text_of(gadget_handle(number)); }

// The UTF-16 that a text of the program (Windows-1251 bytes) stands for.
inline std::wstring from_1251(const char* text) {
    wchar_t wide[256] = {};
    MultiByteToWideChar(1251, 0, text, -1, wide, 256);
    return wide;
}

// The brush a parent answers a control's colour message with, and the text
// colour it set on the way.
inline HBRUSH color_answer(HWND parent, UINT message, HWND control, COLORREF* text_color = nullptr) {
    HDC dc = GetDC(control);
    SetTextColor(dc, RGB(0, 0, 1));
    LRESULT result = SendMessageA(parent, message, reinterpret_cast<WPARAM>(dc), reinterpret_cast<LPARAM>(control));
    if (text_color) *text_color = GetTextColor(dc);
    ReleaseDC(control, dc);
    return reinterpret_cast<HBRUSH>(result);
}

inline int count_events(const std::vector<SeenEvent>& events, int32_t code, ObjectNumber object = -1) {
    int n = 0;
    for (const SeenEvent& e : events)
        if (e.code == code && (object == -1 || e.object == object)) ++n;
    return n;
}

// One step of an expected sequence; Any in a field matches anything (-1 is a
// window number of its own: no runtime window). An optional step may be
// missing: some messages depend on the window's state in the shared desktop,
// as Wine's message tests allow for too.
constexpr int32_t Any = INT32_MIN;
struct Expected {
    int32_t code;
    ObjectNumber object = Any;
    ObjectNumber window = Any;
    int32_t type = Any;
    bool optional = false;
};

// The events seen are the expected sequence, in order, apart from background
// erasures, which come whenever the desktop repaints. On a mismatch the
// failure shows both sequences.
inline ::testing::AssertionResult events_are(const std::vector<SeenEvent>& seen, const std::vector<Expected>& want) {
    auto matches = [](const SeenEvent& e, const Expected& x) {
        return e.code == x.code && (x.object == Any || e.object == x.object) &&
               (x.window == Any || e.window == x.window) && (x.type == Any || e.type == x.type);
    };
    std::vector<SeenEvent> relevant;
    for (const SeenEvent& e : seen)
        if (e.code != Event_EraseBackground) relevant.push_back(e);
    size_t i = 0;
    for (const Expected& x : want) {
        if (i < relevant.size() && matches(relevant[i], x)) {
            ++i;
        } else if (!x.optional) {
            return ::testing::AssertionFailure() << "expected" << describe(want) << "; saw" << describe(relevant);
        }
    }
    if (i == relevant.size()) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "unexpected events after the sequence; saw" << describe(relevant);
}

// A main heap of the test program's own, then the runtime as the program starts it.
class GuiRuntimeEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        main_heap_set(HeapCreate(0, 4096, 0));
        runtime_start();
    }
    void TearDown() override { runtime_stop(); }
};

// Every test starts with no windows and an empty queue.
class GuiTest : public ::testing::Test {
protected:
    void SetUp() override {
        window_close_all();
        take_all();
    }
    void TearDown() override {
        window_close_all();
        pump_events(20);
    }
};

// A case that names its ANSI code page (VEL_CODE_PAGE) checks that it runs
// under it: one meant for 1252 that ran under 1251 would prove nothing.
inline bool runs_under_named_code_page() {
    char named[8] = {};
    if (!GetEnvironmentVariableA("VEL_CODE_PAGE", named, sizeof named)) return true;
    std::printf("ANSI code page %u, the case's %s\n", GetACP(), named);
    return GetACP() == std::strtoul(named, nullptr, 10);
}

#define VEL_GUI_TEST_MAIN                                                      \
    int main(int argc, char** argv) {                                          \
        if (!runs_under_named_code_page()) return 1;                           \
        ::testing::InitGoogleTest(&argc, argv);                                \
        ::testing::AddGlobalTestEnvironment(new GuiRuntimeEnvironment);        \
        return RUN_ALL_TESTS();                                                \
    }
