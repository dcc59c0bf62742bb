// Gadgets on real controls: numbers, replacement, teardown, the gadget list,
// brushes, colour answers, sizes, states, attributes and focus events.
#include "runtime/gadget/gadget_kinds.h"
#include "runtime/base/base_fixture.h"
#include "runtime/gui_fixture.h"

namespace {

// The width of a text in a control's font, and the character set that font draws with.
LONG width_in(HWND control, const wchar_t* text, int* charset = nullptr) {
    SIZE extent{};
    HDC context = GetDC(control);
    HGDIOBJ previous = SelectObject(context, reinterpret_cast<HFONT>(SendMessageW(control, WM_GETFONT, 0, 0)));
    GetTextExtentPoint32W(context, text, lstrlenW(text), &extent);
    if (charset) *charset = GetTextCharset(context);
    SelectObject(context, previous);
    ReleaseDC(control, context);
    return extent.cx;
}

class GadgetTest : public GuiTest {
protected:
    void SetUp() override {
        GuiTest::SetUp();
        window_ = reinterpret_cast<HWND>(window_open(0, 20, 20, 320, 120, "gadgets", 0));
        ASSERT_NE(window_, nullptr);
    }
    HWND window_ = nullptr;
};

TEST_F(GadgetTest, CreationRegistersTheControlUnderItsNumber) {
    auto button = reinterpret_cast<HWND>(gadget_create_button(2, 40, 70, 120, 24, "b"));
    ASSERT_NE(button, nullptr);
    EXPECT_EQ(reinterpret_cast<intptr_t>(GetPropA(button, "Vel_ID")), 2);
    EXPECT_EQ(gadget_handle(2), button);
    // The dialog font, drawn with Cyrillic glyphs whatever the ANSI code page.
    auto font = reinterpret_cast<HFONT>(SendMessageW(button, WM_GETFONT, 0, 0));
    LOGFONTA stock{}, used{};
    GetObjectA(GetStockObject(DEFAULT_GUI_FONT), sizeof stock, &stock);
    ASSERT_NE(GetObjectA(font, sizeof used, &used), 0);
    EXPECT_STREQ(used.lfFaceName, stock.lfFaceName);
    EXPECT_EQ(used.lfHeight, stock.lfHeight);
    int charset = 0;
    width_in(button, L"", &charset);
    EXPECT_EQ(charset, RUSSIAN_CHARSET);
    ASSERT_NE(gadget_create_text(4, 50, 40, 98, 16, nullptr), 0);
    EXPECT_EQ(gadget_text(4), L"");
}

TEST_F(GadgetTest, DynamicNumbersAreNotHandlesAndWorkEverywhere) {
    intptr_t number = gadget_create_string(Object_Dynamic, 10, 10, 60, 20, "dyn");
    ASSERT_NE(number, 0);
    EXPECT_FALSE(IsWindow(reinterpret_cast<HWND>(number)));
    HWND control = gadget_handle(number);
    ASSERT_NE(control, nullptr);
    EXPECT_EQ(GetWindowLongPtrA(control, GWLP_ID), number) << "the whole number, pointer-sized";
    gadget_set_text(number, "changed");
    EXPECT_EQ(gadget_text(number), L"changed");
    gadget_free(number);
    EXPECT_FALSE(IsWindow(control));
    EXPECT_EQ(gadget_lookup(number), nullptr);
}

TEST_F(GadgetTest, ReusingANumberReplacesTheControlAndPurgesItsEvents) {
    auto first = reinterpret_cast<HWND>(gadget_create_string(5, 140, 36, 40, 20, "a", 2049));
    pump_events();
    event_queue_add(Event_GadgetAction, 5, 0, 0x100);
    event_queue_add(Event_GadgetAction, 6, 0, 0);
    auto second = reinterpret_cast<HWND>(gadget_create_string(5, 140, 36, 40, 20, "b", 2049));
    EXPECT_FALSE(IsWindow(first));
    EXPECT_EQ(gadget_handle(5), second);
    EXPECT_TRUE(events_are(take_all(), {{Event_GadgetAction, 6, 0, 0}})) << "the old control's queued event is gone";

    // A failing creation leaves the live gadget as it was.
    GadgetContext* context = gadget_context();
    HWND list = context->list_window;
    context->list_window = nullptr;
    EXPECT_EQ(gadget_create_string(5, 0, 0, 10, 10, "c"), 0);
    context->list_window = list;
    EXPECT_EQ(gadget_handle(5), second);
    EXPECT_TRUE(IsWindow(second));
}

TEST_F(GadgetTest, GadgetListSwitchingAndLoss) {
    EXPECT_EQ(gadget_list_select(nullptr), window_) << "null only reports the current parent";
    EXPECT_EQ(gadget_context()->list_window, window_);

    auto second = reinterpret_cast<HWND>(window_open(1, 400, 20, 200, 80, "second", 0));
    EXPECT_EQ(gadget_context()->list_window, second);
    auto in_second = reinterpret_cast<HWND>(gadget_create_text(1, 5, 5, 50, 16, "2"));
    EXPECT_EQ(GetParent(in_second), second);
    EXPECT_EQ(gadget_list_select(window_), second);
    auto in_first = reinterpret_cast<HWND>(gadget_create_text(2, 5, 5, 50, 16, "1"));
    EXPECT_EQ(GetParent(in_first), window_);

    window_close(0);  // the current list
    EXPECT_EQ(gadget_context()->list_window, nullptr);
    EXPECT_EQ(gadget_create_button(3, 5, 5, 50, 20, "x"), 0) << "no current list";
    EXPECT_EQ(gadget_lookup(2), nullptr) << "its gadgets went with it";
    EXPECT_NE(gadget_lookup(1), nullptr);
    EXPECT_EQ(gadget_list_select(second), nullptr);
    EXPECT_NE(gadget_create_button(3, 5, 30, 50, 20, "x"), 0);
}

// The brush cache is process-wide: counts are taken against what it held before.
TEST_F(GadgetTest, GadgetsOfOneColourShareOneBrushAndADestroyedControlIsTornDown) {
    const int32_t brushes = brush_cache_count();
    gadget_create_text(1, 10, 10, 60, 16, "a");
    gadget_create_string(2, 10, 30, 60, 20, "b");
    GadgetRecord* a = gadget_lookup(1);
    GadgetRecord* b = gadget_lookup(2);
    for (GadgetRecord* gadget : {a, b}) gadget_set_color(gadget, Color_Back, RGB(0, 128, 0));
    ASSERT_NE(a->back_brush, nullptr);
    EXPECT_EQ(a->back_brush, b->back_brush);
    EXPECT_EQ(brush_cache_count(), brushes + 1);
    HBRUSH shared = a->back_brush;
    gadget_set_color(a, Color_Back, -1);
    EXPECT_EQ(a->back_brush, nullptr);
    EXPECT_EQ(gadget_get_color(a, Color_Back), -1);
    EXPECT_EQ(GetObjectType(shared), static_cast<DWORD>(OBJ_BRUSH)) << "still used by the other gadget";
    gadget_free(2);
    EXPECT_EQ(GetObjectType(shared), 0u) << "the last user deleted it";
    EXPECT_EQ(brush_cache_count(), brushes);
    gadget_set_color(a, 3, RGB(1, 1, 1));
    EXPECT_EQ(gadget_get_color(a, 3), -1);
    EXPECT_EQ(gadget_get_color(a, Color_Text), -1);

    auto control = reinterpret_cast<HWND>(gadget_create_text(7, 10, 10, 60, 16, "t"));
    gadget_set_color(gadget_lookup(7), Color_Back, RGB(1, 2, 3));
    ASSERT_EQ(brush_cache_count(), brushes + 1);
    DestroyWindow(control);
    EXPECT_EQ(gadget_lookup(7), nullptr);
    EXPECT_EQ(brush_cache_count(), brushes) << "the kind's free operation released the brush";
    gadget_set_text(7, "ignored");  // a number whose gadget is gone must not reach a freed record
}

TEST_F(GadgetTest, StringFieldColourAnswersFollowItsState) {
    auto read_only = reinterpret_cast<HWND>(gadget_create_string(5, 140, 36, 40, 20, "x", 2049));
    auto editable = reinterpret_cast<HWND>(gadget_create_string(6, 10, 36, 40, 20, "y"));
    for (ObjectNumber number : {5, 6}) gadget_set_color(gadget_lookup(number), Color_Text, RGB(255, 0, 0));
    COLORREF text = 0;
    EXPECT_EQ(color_answer(window_, WM_CTLCOLORSTATIC, read_only, &text), GetSysColorBrush(COLOR_BTNFACE));
    EXPECT_EQ(text, RGB(255, 0, 0));
    EXPECT_EQ(color_answer(window_, WM_CTLCOLOREDIT, editable, &text), GetSysColorBrush(COLOR_WINDOW));
    EXPECT_EQ(text, RGB(255, 0, 0));
    EnableWindow(read_only, FALSE);
    color_answer(window_, WM_CTLCOLORSTATIC, read_only, &text);
    EXPECT_NE(text, RGB(255, 0, 0)) << "a disabled field keeps the system's look";
    gadget_set_color(gadget_lookup(6), Color_Back, RGB(10, 20, 30));
    EXPECT_EQ(color_answer(window_, WM_CTLCOLOREDIT, editable), gadget_lookup(6)->back_brush);
}

// Whatever the system's ANSI code page, every kind holds its Windows-1251 text
// as the UTF-16 it stands for, however long, stays a Unicode window, and
// measures that text: what a width adds to the text is the same as for ASCII.
// Heights have floors whatever the text.
TEST_F(GadgetTest, TextsAreHeldAndMeasuredAsUnicodeAndHeightsHaveFloors) {
    gadget_create_text(1, 10, 10, 150, 16, "\xCA\xED\xEE\xEF\xEA\xE0 \xED\xE0\xE6\xE0\xF2\xE0?");
    gadget_create_button(2, 10, 30, 150, 24, "\xC7\xE0\xE6\xE5\xF7\xFC \xF1\xE2\xE5\xF2\xEE\xE4\xE8\xEE\xE4");
    gadget_create_string(3, 10, 60, 100, 20, "\xCD\xE5\xF2");
    gadget_create_text(4, 170, 10, 100, 16, "Hello");
    gadget_create_button(5, 170, 30, 100, 24, "Hello");
    gadget_create_text(6, 170, 60, 100, 16, "HellW");  // only the last letter differs
    gadget_create_button(7, 170, 80, 100, 24, "HellW");
    EXPECT_EQ(gadget_text(1), L"Кнопка нажата?");
    EXPECT_EQ(gadget_text(2), L"Зажечь светодиод");
    EXPECT_EQ(gadget_text(3), L"Нет");
    for (ObjectNumber number = 1; number <= 5; ++number)
        EXPECT_TRUE(IsWindowUnicode(gadget_handle(number))) << "gadget " << number;

    const struct {
        ObjectNumber russian;
        ObjectNumber ascii;
        ObjectNumber last_differs;
        void (*required_size)(GadgetRecord*, int32_t*, int32_t*);
    } kinds[] = {{1, 4, 6, text_required_size}, {2, 5, 7, button_required_size}};
    for (const auto& kind : kinds) {
        int32_t w = 0, h = 0, w_ascii = 0, h_ascii = 0, w_last = 0, h_last = 0;
        kind.required_size(gadget_lookup(kind.russian), &w, &h);
        kind.required_size(gadget_lookup(kind.ascii), &w_ascii, &h_ascii);
        kind.required_size(gadget_lookup(kind.last_differs), &w_last, &h_last);
        EXPECT_EQ(w - width_in(gadget_handle(kind.russian), gadget_text(kind.russian).c_str()),
                  w_ascii - width_in(gadget_handle(kind.ascii), L"Hello"))
            << "gadget " << kind.russian << " measured another text than its own";
        int32_t wider = width_in(gadget_handle(kind.last_differs), L"HellW") - width_in(gadget_handle(kind.ascii), L"Hello");
        EXPECT_TRUE(wider > 0 && w_last - w_ascii == wider)
            << "gadget " << kind.last_differs << ": \"HellW\" is " << wider << " pixels wider than \"Hello\", "
            << "measured " << w_last - w_ascii << " wider: its last letter was not measured";
    }
    int32_t w = 0, h = 0;
    button_required_size(gadget_lookup(5), &w, &h);
    EXPECT_GE(h, 24) << "a button's floor";
    string_required_size(gadget_lookup(3), &w, &h);
    EXPECT_GE(h, 20) << "a string field's floor";

    std::string long_text;
    std::wstring long_shown;
    for (int i = 0; i < 300; ++i) {
        long_text += "\xC4\xE0 ";  // "Да "
        long_shown += L"Да ";
    }
    gadget_set_text(3, long_text.c_str());
    EXPECT_TRUE(gadget_text(3) == long_shown) << long_shown.size() << " characters set, "
                                              << gadget_text(3).size() << " read back, or other ones";
}

TEST_F(GadgetTest, ButtonStatesAndStringLimits) {
    gadget_create_button(1, 10, 10, 100, 24, "check", BS_AUTOCHECKBOX);
    GadgetRecord* check = gadget_lookup(1);
    check->type->set_state(check, 5);
    EXPECT_EQ(SendMessageA(check->hwnd, BM_GETCHECK, 0, 0), BST_CHECKED);
    EXPECT_EQ(check->type->get_state(check), 1);
    check->type->set_state(check, 0);
    EXPECT_EQ(check->type->get_state(check), 0);

    gadget_create_string(3, 10, 70, 100, 20, "");
    GadgetRecord* field = gadget_lookup(3);
    field->type->set_attribute(field, Attribute_MaxLength, 0);
    EXPECT_EQ(field->type->get_attribute(field, Attribute_MaxLength), 1);
    field->type->set_attribute(field, Attribute_MaxLength, 7);
    field->type->set_attribute(field, 2, 3);
    EXPECT_EQ(field->type->get_attribute(field, Attribute_MaxLength), 7);
    EXPECT_EQ(field->type->get_attribute(field, 2), 0);
    SendMessageA(field->hwnd, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>("0123456789"));
    EXPECT_EQ(gadget_text(3), L"0123456");
}

TEST_F(GadgetTest, StringFieldFocusAndUserEditsAreReportedButSetTextIsSilent) {
    SetForegroundWindow(window_);
    auto field = reinterpret_cast<HWND>(gadget_create_string(5, 10, 10, 60, 20, "f"));
    auto button = reinterpret_cast<HWND>(gadget_create_button(2, 80, 10, 60, 24, "b"));
    pump_events();
    SetFocus(field);
    EXPECT_TRUE(events_are(pump_events(), {{Event_GadgetAction, 5, 0, EventType_FocusGained},
                                           {Event_GadgetAction, 5, 0, EN_SETFOCUS}}));
    SetFocus(button);
    EXPECT_TRUE(events_are(pump_events(), {{Event_GadgetAction, 5, 0, EventType_FocusLost},
                                           {Event_GadgetAction, 5, 0, EN_KILLFOCUS}}));

    gadget_set_text(5, "\xC4\xE0");  // "Да"
    EXPECT_TRUE(events_are(pump_events(), {}));
    EXPECT_EQ(gadget_text(5), L"Да");
    gadget_set_text(5, nullptr);
    EXPECT_EQ(gadget_text(5), L"");

    SendMessageA(field, WM_CHAR, 'x', 0);  // a typed character
    EXPECT_TRUE(events_are(pump_events(), {{Event_GadgetAction, 5, 0, EN_UPDATE}, {Event_GadgetAction, 5, 0, EN_CHANGE}}));
}

// A reader thread sets the field's text for every report while the user
// clicks: every click must arrive, and the text changes must stay silent.
TEST_F(GadgetTest, ClicksArriveWhileAnotherThreadSetsTextsInALoop) {
    auto button = reinterpret_cast<HWND>(gadget_create_button(2, 40, 70, 120, 24, "on"));
    gadget_create_string(5, 140, 36, 40, 20, "", 2049);
    pump_events();
    std::atomic<bool> stop{false}, finished{false};
    std::atomic<int> changes{0};
    std::thread writer([&] {
        while (!stop.load()) {
            gadget_set_text(5, (changes.fetch_add(1) & 1) ? "\xC4\xE0" : "\xCD\xE5\xF2");  // "Да" / "Нет"
        }
        finished = true;
    });
    constexpr int clicks = 200;
    int clicked = 0, string_events = 0;
    for (int i = 0; i < clicks; ++i) {
        PostMessageA(button, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(10, 10));
        PostMessageA(button, WM_LBUTTONUP, 0, MAKELPARAM(10, 10));
        // Pump until this click has come through (a lost one gives up after
        // half a second); the writer's texts are handled meanwhile.
        for (int spins = 0; spins < 100 && clicked <= i; ++spins) {
            int32_t code = event_wait_timeout(5);
            if (code == Event_GadgetAction && event_object() == 2 && event_type() == BN_CLICKED) ++clicked;
            if (code == Event_GadgetAction && event_object() == 5) ++string_events;
        }
    }
    stop = true;
    // The writer may be waiting for this thread to take its last text.
    while (!finished.load()) event_wait_timeout(5);
    writer.join();
    for (const SeenEvent& e : pump_events()) {
        if (e.object == 2 && e.type == BN_CLICKED) ++clicked;
        if (e.object == 5) ++string_events;
    }
    EXPECT_GT(changes.load(), clicks) << "the writer hardly ran";
    // The writer's last text is what the field shows.
    EXPECT_EQ(gadget_text(5), ((changes.load() - 1) & 1) ? L"Да" : L"Нет");
    EXPECT_EQ(clicked, clicks);
    EXPECT_EQ(string_events, 0);
    EXPECT_EQ(event_suppression(), 0);
}

// A program that opens and closes windows for as long as it runs: each
// window's gadget list, controls and brushes go with it.
TEST_F(GadgetTest, WindowsOpenedAndClosedWithTheirGadgetsKeepNothing) {
    auto round = [] {
        if (!window_open(1, 40, 40, 200, 100, "round", 0)) return false;
        gadget_create_text(10, 5, 5, 100, 16, "text");
        gadget_create_button(11, 5, 25, 100, 24, "button");
        gadget_create_string(12, 5, 55, 100, 20, "string", 0);
        gadget_set_color(gadget_lookup(10), Color_Back, RGB(0, 128, 0));
        pump_events(20);
        window_close(1);
        pump_events(20);  // the events it left behind, taken as the program takes them
        return gadget_lookup(10) == nullptr;
    };
    EXPECT_TRUE(keeps_nothing(20, round)) << "20 windows with three gadgets each, opened and closed";
}

}  // namespace

VEL_GUI_TEST_MAIN
