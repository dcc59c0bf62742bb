// The program's window in the prefix's fonts: every text of its five gadgets,
// measured with the control's own font, fits the part of the control that is
// visible, and each measured width is printed. The layout is made for
// Windows' 8-point dialog font at 96 dpi and scaled to the screen's
// resolution; CTest runs this at 96, 120, 144 and 192 dpi, each in a prefix
// whose font is the one Windows draws there (scripts/wine-run.sh).
#include <cstdio>

#include "app/app_state.h"
#include "app/app_texts.h"
#include "app/device_watch.h"
#include "app/main_window.h"
#include "runtime/gui_fixture.h"

AppState app_state;  // device_watch.cpp's, which composes the status texts

namespace {

// The texts the device watch and the reader thread write later, as they write them.
void show_unplugged() {
    int32_t start = string_buffer.length;
    gadget_set_text(Gadget_Status, compose_not_found(start, Text_NotFoundEnd));
    string_buffer.length = start;
}

struct TextCase {
    const char* name;
    ObjectNumber gadget;
    void (*show)();  // null: the text the window is built with
};

const TextCase text_cases[] = {
    {"StatusNotFoundAtStartUp", Gadget_Status, nullptr},  // "Устройство не обнаруженно ( PID — 1H;  VID — 1234H )"
    {"StatusNotFoundAfterUnplug", Gadget_Status, show_unplugged},  // the same, ending "1234H) "
    {"StatusConnected", Gadget_Status, [] { gadget_set_text(Gadget_Status, Text_Connected); }},  // "Подключено HID устройство"
    {"LedOnButton", Gadget_LedOn, nullptr},                        // "Зажечь светодиод"
    {"LedOffButton", Gadget_LedOff, nullptr},                      // "Погасить светодиод"
    {"ButtonLabel", Gadget_ButtonLabel, nullptr},                  // "Кнопка нажата?"
    {"FieldNo", Gadget_ButtonState, nullptr},                      // "Нет"
    {"FieldYes", Gadget_ButtonState, [] { gadget_set_text(Gadget_ButtonState, Text_Yes); }},  // "Да"
};

// Where the control draws its text, in its parent's coordinates: a text
// gadget's whole client area, a button's inside its raised edge, a string
// field's formatting rectangle (inside its sunken edge and margins). A gadget
// that overlaps it from the right covers the rest (the label's box runs to
// x 148 at 96 dpi, but the field starts at x 140), and nothing shows outside
// the window's client area.
RECT visible_text_area(ObjectNumber number) {
    HWND control = gadget_handle(number);
    RECT area;
    GetClientRect(control, &area);
    switch (gadget_lookup(number)->type->kind) {
        case GadgetKind_Button:
            InflateRect(&area, -GetSystemMetrics(SM_CXEDGE), -GetSystemMetrics(SM_CYEDGE));
            break;
        case GadgetKind_String:
            SendMessageA(control, EM_GETRECT, 0, reinterpret_cast<LPARAM>(&area));
            break;
        default:
            break;
    }
    MapWindowPoints(control, GetParent(control), reinterpret_cast<POINT*>(&area), 2);
    for (ObjectNumber other = Gadget_Status; other <= Gadget_ButtonState; ++other) {
        if (other == number) continue;
        RECT cover, overlap;
        GetWindowRect(gadget_handle(other), &cover);
        MapWindowPoints(HWND_DESKTOP, GetParent(control), reinterpret_cast<POINT*>(&cover), 2);
        if (IntersectRect(&overlap, &area, &cover) && cover.left > area.left && cover.left < area.right)
            area.right = cover.left;
    }
    RECT client;
    GetClientRect(GetParent(control), &client);
    IntersectRect(&area, &area, &client);
    return area;
}

// The control's text as its font lays it out, the face Windows reports for
// that font and the screen's resolution.
struct Measured {
    SIZE size;
    char face[LF_FACESIZE];
    int dpi;
};

Measured measure_text(HWND control) {
    Measured m{};
    char text[256] = {};
    int length = GetWindowTextA(control, text, sizeof text);
    HDC context = GetDC(control);
    HGDIOBJ previous = SelectObject(context, reinterpret_cast<HFONT>(SendMessageA(control, WM_GETFONT, 0, 0)));
    GetTextExtentPoint32A(context, text, length, &m.size);
    GetTextFaceA(context, LF_FACESIZE, m.face);
    m.dpi = GetDeviceCaps(context, LOGPIXELSY);
    SelectObject(context, previous);
    ReleaseDC(control, context);
    return m;
}

class TextFitTest : public GuiTest, public ::testing::WithParamInterface<TextCase> {
protected:
    void SetUp() override {
        GuiTest::SetUp();
        app_build_window();
        if (GetParam().show) GetParam().show();
        pump_events(20);
    }
};

TEST_P(TextFitTest, TextFitsTheVisiblePartOfItsControl) {
    const TextCase& c = GetParam();
    HWND control = gadget_handle(c.gadget);
    ASSERT_NE(control, nullptr);
    Measured text = measure_text(control);
    RECT area = visible_text_area(c.gadget);
    int visible_width = area.right - area.left, visible_height = area.bottom - area.top;
    std::printf("[ width    ] %-26s gadget %d: %3ld x %2ld px, visible %3d x %2d from x %ld (%s, %d dpi)\n", c.name,
                static_cast<int>(c.gadget), text.size.cx, text.size.cy, visible_width, visible_height, area.left,
                text.face, text.dpi);
    std::fflush(stdout);
    EXPECT_LE(text.size.cx, visible_width) << "the text is wider than the visible part of its control";
    EXPECT_LE(text.size.cy, visible_height) << "the text is higher than the visible part of its control";
}

INSTANTIATE_TEST_SUITE_P(ProgramWindow, TextFitTest, ::testing::ValuesIn(text_cases),
                         [](const ::testing::TestParamInfo<TextCase>& info) { return std::string(info.param.name); });

}  // namespace

VEL_GUI_TEST_MAIN
