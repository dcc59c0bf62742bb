#include "runtime/gadget/gadget_kinds.h"

#include <cstring>

#include "runtime/base/memory.h"
#include "runtime/base/object_table.h"
#include "runtime/base/string_buffer.h"
#include "runtime/window/event_queue.h"
#include "runtime/window/window.h"

namespace {

constexpr int32_t ButtonHeight_Min = 24;
constexpr int32_t StringHeight_Min = 20;
constexpr int32_t ButtonWidth_Padding = 10;
constexpr int32_t Border_Plain = 2;

WNDPROC g_edit_proc = nullptr;

intptr_t create_gadget(const GadgetType* type, const char* class_name, DWORD ex_style, DWORD style, ObjectNumber number,
                       int32_t x, int32_t y, int32_t width, int32_t height, const char* text) {
    GadgetContext* context = gadget_context();
    if (!context) return 0;
    HWND hwnd = CreateWindowExW(ex_style, WideText(class_name), WideText(text), style, window_scale(x), window_scale(y),
                                window_scale(width), window_scale(height), context->list_window,
                                reinterpret_cast<HMENU>(-1), GetModuleHandleA(nullptr), nullptr);
    if (!hwnd) return 0;
    auto* record = static_cast<GadgetRecord*>(object_table_allocate(gadget_table(), number));
    if (!record) {
        DestroyWindow(hwnd);
        return 0;
    }
    if (type->kind == GadgetKind_String) {
        g_edit_proc = reinterpret_cast<WNDPROC>(
            SetWindowLongPtrW(hwnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(string_window_proc)));
    }
    if (type->kind != GadgetKind_Button) {
        record->back_color = Color_Default;
        record->text_color = Color_Default;
    }
    return gadget_register(number, record, hwnd, type);
}

LRESULT color_answer(GadgetRecord* gadget, WPARAM wparam, int default_background) {
    auto context = reinterpret_cast<HDC>(wparam);
    LRESULT result = NotHandled;
    if (gadget->text_color != Color_Default) {
        SetTextColor(context, static_cast<COLORREF>(gadget->text_color));
        if (gadget->back_color == Color_Default) {
            SetBkColor(context, GetSysColor(default_background));
            result = reinterpret_cast<LRESULT>(GetSysColorBrush(default_background));
        }
    }
    if (gadget->back_color != Color_Default) {
        SetBkColor(context, static_cast<COLORREF>(gadget->back_color));
        result = reinterpret_cast<LRESULT>(gadget->back_brush);
    }
    return result;
}

// Measures with the control's own font; the measure callback gets the device context.
template <typename Measure>
void with_control_font(HWND hwnd, Measure measure) {
    HDC context = GetDC(hwnd);
    if (!context) return;
    auto font = reinterpret_cast<HFONT>(SendMessageW(hwnd, WM_GETFONT, 0, 0));
    HGDIOBJ previous = font ? SelectObject(context, font) : nullptr;
    measure(context);
    if (previous) SelectObject(context, previous);
    ReleaseDC(hwnd, context);
}

// The whole text as the control holds it, in UTF-16, in a heap block, or null
// when it cannot be allocated.
wchar_t* window_text(HWND hwnd, int32_t* length) {
    *length = GetWindowTextLengthW(hwnd);
    auto* text = static_cast<wchar_t*>(main_heap_alloc((*length + 1) * static_cast<int32_t>(sizeof(wchar_t))));
    if (text) GetWindowTextW(hwnd, text, *length + 1);
    return text;
}

bool has_client_edge(HWND hwnd) { return (GetWindowLongA(hwnd, GWL_EXSTYLE) & WS_EX_CLIENTEDGE) != 0; }

}  // namespace

// The kinds' operation tables, one per kind for the life of the process; the
// slots a kind leaves out stay null.
static const GadgetType text_type = {
    .kind = GadgetKind_Text,
    .length = sizeof(GadgetType),
    .notify = text_notify,                // colours the label through WM_CTLCOLORSTATIC
    .free = gadget_free_colors,           // gives the background brush back to the cache
    .set_color = gadget_set_color,        // text and background colour, redrawn at once
    .get_color = gadget_get_color,        // the colour set, or Color_Default
    .required_size = text_required_size,  // the text as DrawTextW lays it out, plus the border
};

static const GadgetType button_type = {
    .kind = GadgetKind_Button,
    .length = sizeof(GadgetType),
    .get_state = button_get_state,          // checked or not, for check boxes
    .set_state = button_set_state,          // checks or clears it
    .required_size = button_required_size,  // the text's extent plus edges and padding
};

static const GadgetType string_type = {
    .kind = GadgetKind_String,
    .length = sizeof(GadgetType),
    .notify = string_notify,                  // colours the field, editable or read-only
    .free = gadget_free_colors,               // gives the background brush back to the cache
    .get_attribute = string_get_attribute,    // the length limit
    .set_attribute = string_set_attribute,    // sets the length limit, at least one character
    .set_color = gadget_set_color,            // text and background colour, redrawn at once
    .get_color = gadget_get_color,            // the colour set, or Color_Default
    .required_size = string_required_size,    // one line of the control's font; the width is the caller's
};

intptr_t gadget_create_text(ObjectNumber number, int32_t x, int32_t y, int32_t width, int32_t height, const char* text,
                            uint32_t flags) {
    DWORD ex_style = (flags & TextFlag_Edge) ? WS_EX_CLIENTEDGE : 0;
    return create_gadget(&text_type, "Static", ex_style, flags | TextStyle_Fixed, number, x, y, width, height, text);
}

intptr_t gadget_create_button(ObjectNumber number, int32_t x, int32_t y, int32_t width, int32_t height,
                              const char* text, uint32_t flags) {
    return create_gadget(&button_type, "Button", 0, flags | ButtonStyle_Fixed, number, x, y, width, height, text);
}

intptr_t gadget_create_string(ObjectNumber number, int32_t x, int32_t y, int32_t width, int32_t height,
                              const char* text, uint32_t flags) {
    DWORD ex_style = (flags & StringFlag_NoEdge) ? 0 : WS_EX_CLIENTEDGE;
    return create_gadget(&string_type, "Edit", ex_style, flags | StringStyle_Fixed, number, x, y, width, height, text);
}

LRESULT text_notify(GadgetRecord* gadget, HWND, UINT message, WPARAM wparam, LPARAM) {
    if (message != WM_CTLCOLORSTATIC) return NotHandled;
    return color_answer(gadget, wparam, COLOR_BTNFACE);
}

LRESULT string_notify(GadgetRecord* gadget, HWND, UINT message, WPARAM wparam, LPARAM) {
    if (message == WM_CTLCOLOREDIT) return color_answer(gadget, wparam, COLOR_WINDOW);
    // Read-only and disabled edits both ask with WM_CTLCOLORSTATIC; a disabled
    // one keeps the system's disabled look.
    if (message == WM_CTLCOLORSTATIC && IsWindowEnabled(gadget->hwnd))
        return color_answer(gadget, wparam, COLOR_BTNFACE);
    return NotHandled;
}

void text_required_size(GadgetRecord* gadget, int32_t* width, int32_t* height) {
    *width = *height = 0;
    int32_t length = 0;
    wchar_t* text = window_text(gadget->hwnd, &length);
    if (!text) return;
    RECT area{0, 0, 0, 0};
    with_control_font(gadget->hwnd, [&](HDC context) { DrawTextW(context, text, length, &area, DT_CALCRECT); });
    main_heap_free(text);
    bool edge = has_client_edge(gadget->hwnd);
    *width = area.right + (edge ? 2 * GetSystemMetrics(SM_CXEDGE) : Border_Plain);
    *height = area.bottom + (edge ? 2 * GetSystemMetrics(SM_CYEDGE) : Border_Plain);
}

void button_required_size(GadgetRecord* gadget, int32_t* width, int32_t* height) {
    *width = *height = 0;
    int32_t length = 0;
    wchar_t* text = window_text(gadget->hwnd, &length);
    if (!text) return;
    SIZE extent{0, 0};
    with_control_font(gadget->hwnd, [&](HDC context) { GetTextExtentPoint32W(context, text, length, &extent); });
    main_heap_free(text);
    *width = extent.cx + 2 * GetSystemMetrics(SM_CXEDGE) + ButtonWidth_Padding;
    int32_t h = extent.cy + 2 * GetSystemMetrics(SM_CYEDGE);
    *height = h < ButtonHeight_Min ? ButtonHeight_Min : h;
}

void string_required_size(GadgetRecord* gadget, int32_t* width, int32_t* height) {
    SIZE extent{0, 0};
    with_control_font(gadget->hwnd, [&](HDC context) { GetTextExtentPoint32W(context, L"Hg", 2, &extent); });
    // The content is not measured: the caller chooses the field's width.
    *width = 2 * GetSystemMetrics(SM_CXEDGE);
    int32_t h = extent.cy + 2 * GetSystemMetrics(SM_CYEDGE);
    *height = h < StringHeight_Min ? StringHeight_Min : h;
}

int32_t button_get_state(GadgetRecord* gadget) {
    return static_cast<int32_t>(SendMessageW(gadget->hwnd, BM_GETCHECK, 0, 0) & 1);
}

void button_set_state(GadgetRecord* gadget, int32_t state) {
    SendMessageW(gadget->hwnd, BM_SETCHECK, state ? BST_CHECKED : BST_UNCHECKED, 0);
}

int32_t string_get_attribute(GadgetRecord* gadget, int32_t attribute) {
    if (attribute != Attribute_MaxLength) return 0;
    return static_cast<int32_t>(SendMessageW(gadget->hwnd, EM_GETLIMITTEXT, 0, 0));
}

void string_set_attribute(GadgetRecord* gadget, int32_t attribute, int32_t value) {
    if (attribute != Attribute_MaxLength) return;
    // 0 would mean "no limit" to the control; the field keeps at least one character.
    SendMessageW(gadget->hwnd, EM_LIMITTEXT, static_cast<WPARAM>(value < 1 ? 1 : value), 0);
}

LRESULT CALLBACK string_window_proc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
    if (message == WM_SETFOCUS)
        gadget_post_event(hwnd, EventType_FocusGained);
    else if (message == WM_KILLFOCUS)
        gadget_post_event(hwnd, EventType_FocusLost);
    return CallWindowProcW(g_edit_proc, hwnd, message, wparam, lparam);
}
