#include "runtime/gadget/gadget.h"

#include <ole2.h>

#include "runtime/base/memory.h"
#include "runtime/base/object_table.h"
#include "runtime/base/string_buffer.h"
#include "runtime/window/event_queue.h"
#include "runtime/window/gui_services.h"
#include "runtime/window/window.h"
#include "runtime/window/window_names.h"

namespace {

constexpr int32_t GadgetTable_Capacity = 50;
constexpr int32_t ContainerStack_Entries = 10;
constexpr UINT Redraw_All = RDW_INVALIDATE | RDW_INTERNALPAINT | RDW_ERASE | RDW_FRAME;
constexpr int32_t PropertyName_Bytes = 40;
constexpr ObjectNumber ControlId_None = -1;

ObjectTable* g_gadgets = nullptr;
GadgetContext* g_context = nullptr;
HFONT g_default_font = nullptr;
UINT g_set_text_message = 0;

CRITICAL_SECTION g_brush_lock;
RecordLink* g_brushes = nullptr;

BrushCacheEntry* brush_of(RecordLink* link) { return reinterpret_cast<BrushCacheEntry*>(link + 1); }

void init_context(void* block) {
    auto* context = static_cast<GadgetContext*>(block);
    context->container_capacity = ContainerStack_Entries;
    context->container_stack = static_cast<HWND*>(main_heap_alloc(ContainerStack_Entries * sizeof(HWND)));
    context->font = g_default_font;
}

void stack_property_name(char* name) {
    wsprintfA(name, Property_GadgetStackFormat, static_cast<int>(reinterpret_cast<intptr_t>(GetModuleHandleA(nullptr))));
}

HWND current_parent() {
    if (!g_context) return nullptr;
    return g_context->container_depth ? g_context->container_stack[0] : g_context->list_window;
}

void teardown(HWND hwnd, ObjectNumber number, GadgetRecord* record) {
    if (record->type && record->type->free) record->type->free(record);
    RemovePropA(hwnd, Property_GadgetId);
    if (RemovePropA(hwnd, Property_DropAccept)) RevokeDragDrop(hwnd);
    // From here on every message for the control takes the default path.
    SetWindowLongPtrW(hwnd, GWLP_ID, ControlId_None);
    event_queue_purge(Event_GadgetAction, number, -1, -1);
    object_table_free(g_gadgets, number);
}

}  // namespace

BOOL gadget_startup() {
    InitializeCriticalSection(&g_brush_lock);
    // The dialog font, asked for with the Cyrillic character set: the texts
    // are Russian whatever the ANSI code page, the stock font's set follows
    // that code page, and a face of another set may have no Cyrillic glyphs
    // (the bitmap MS Sans Serif comes in one file per set). Made once and kept
    // for the process.
    auto stock = static_cast<HFONT>(GetStockObject(DEFAULT_GUI_FONT));
    LOGFONTA font{};
    GetObjectA(stock, sizeof font, &font);
    font.lfCharSet = RUSSIAN_CHARSET;
    g_default_font = CreateFontIndirectA(&font);
    if (!g_default_font) g_default_font = stock;
    g_gadgets = object_table_create(sizeof(GadgetRecord), GadgetTable_Capacity, gadget_free);
    g_context = static_cast<GadgetContext*>(globals_create(sizeof(GadgetContext), init_context, nullptr));
    // Text changes are carried to the control's own thread under this message.
    g_set_text_message = RegisterWindowMessageA(Message_GadgetSetText);
    return common_controls_register();
}

void gadget_shutdown() {
    if (g_context && g_context->aux_window) {
        DestroyWindow(g_context->aux_window);
        g_context->aux_window = nullptr;
    }
}

ObjectTable* gadget_table() { return g_gadgets; }
GadgetContext* gadget_context() { return g_context; }

GadgetRecord* gadget_lookup(ObjectNumber number) {
    return static_cast<GadgetRecord*>(object_table_lookup(g_gadgets, number));
}

HWND gadget_handle(ObjectNumber number) {
    GadgetRecord* record = gadget_lookup(number);
    return record ? record->hwnd : nullptr;
}

HWND gadget_list_select(HWND window) {
    HWND previous = current_parent();
    if (!window || !g_context) return previous;
    char name[PropertyName_Bytes];
    stack_property_name(name);

    if (previous) {
        if (auto* current = static_cast<GadgetStackRecord*>(GetPropA(g_context->list_window, name))) {
            current->saved_list_window = g_context->list_window;
            current->saved_stack = g_context->container_stack;
            current->saved_depth = g_context->container_depth;
            current->saved_capacity = g_context->container_capacity;
            g_context->container_stack = nullptr;
        }
    }
    if (auto* known = static_cast<GadgetStackRecord*>(GetPropA(window, name))) {
        if (g_context->container_stack) main_heap_free(g_context->container_stack);
        g_context->list_window = known->saved_list_window;
        g_context->container_stack = known->saved_stack;
        g_context->container_depth = known->saved_depth;
        g_context->container_capacity = known->saved_capacity;
        known->saved_stack = nullptr;
        return previous;
    }
    if (g_context->container_stack) {
        g_context->container_depth = 0;
    } else {
        g_context->container_stack = static_cast<HWND*>(main_heap_alloc(ContainerStack_Entries * sizeof(HWND)));
        g_context->container_depth = 0;
        g_context->container_capacity = ContainerStack_Entries;
    }
    g_context->list_window = window;
    auto* record = static_cast<GadgetStackRecord*>(main_heap_alloc(sizeof(GadgetStackRecord)));
    if (!record) return previous;
    record->window = window;
    SetPropA(window, name, record);
    // Subclassed the Unicode way: the A form would make the window an ANSI one.
    record->previous_proc = reinterpret_cast<WNDPROC>(
        SetWindowLongPtrW(window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(gadget_list_window_proc)));
    return previous;
}

LRESULT CALLBACK gadget_list_window_proc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
    char name[PropertyName_Bytes];
    stack_property_name(name);
    auto* record = static_cast<GadgetStackRecord*>(GetPropA(hwnd, name));
    if (!record) return DefWindowProcW(hwnd, message, wparam, lparam);
    WNDPROC previous_proc = record->previous_proc;
    if (message == WM_NCDESTROY) {
        // The context keeps its stack array for the next list.
        if (current_parent() == hwnd) {
            g_context->list_window = nullptr;
            g_context->container_depth = 0;
        }
        if (record->saved_stack) main_heap_free(record->saved_stack);
        main_heap_free(record);
        RemovePropA(hwnd, name);
    }
    return previous_proc ? CallWindowProcW(previous_proc, hwnd, message, wparam, lparam)
                         : DefWindowProcW(hwnd, message, wparam, lparam);
}

intptr_t gadget_register(ObjectNumber number, GadgetRecord* record, HWND hwnd, const GadgetType* type) {
    bool dynamic = number == Object_Dynamic;
    if (dynamic) number = reinterpret_cast<ObjectNumber>(record);
    record->hwnd = hwnd;
    record->type = type;
    record->previous_proc = reinterpret_cast<WNDPROC>(
        SetWindowLongPtrW(hwnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(gadget_window_proc)));
    // The control ID is pointer-sized, so a dynamic number fits it whole.
    SetWindowLongPtrW(hwnd, GWLP_ID, number);
    SetPropA(hwnd, Property_GadgetId, reinterpret_cast<HANDLE>(number));
    SendMessageW(hwnd, WM_SETFONT, reinterpret_cast<WPARAM>(g_context ? g_context->font : nullptr), TRUE);
    return dynamic ? number : reinterpret_cast<intptr_t>(hwnd);
}

void gadget_free(ObjectNumber number) {
    if (number == Object_Dynamic) {
        object_table_free_all(g_gadgets);
        return;
    }
    if (GadgetRecord* record = gadget_lookup(number)) DestroyWindow(record->hwnd);
}

LRESULT CALLBACK gadget_window_proc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
    ObjectNumber number = GetWindowLongPtrA(hwnd, GWLP_ID);
    if (number == ControlId_None) return DefWindowProcW(hwnd, message, wparam, lparam);
    GadgetRecord* record = gadget_lookup(number);
    if (!record || record->hwnd != hwnd) return DefWindowProcW(hwnd, message, wparam, lparam);

    if (message == g_set_text_message && g_set_text_message != 0) {
        // The control's reactions to its new text (EN_UPDATE, EN_CHANGE) reach
        // the parent synchronously, here on the control's own thread, and must
        // not become events. Raising the suppression only around this handling
        // keeps every other event, a click on another control included.
        auto* text = reinterpret_cast<const char*>(lparam);
        event_suppress_begin();
        if (record->type && record->type->set_text)
            record->type->set_text(record, text);
        else
            SetWindowTextW(hwnd, WideText(text));
        event_suppress_end();
        return 0;
    }

    LRESULT result = CallWindowProcW(record->previous_proc, hwnd, message, wparam, lparam);
    if (message == WM_NCDESTROY) teardown(hwnd, number, record);
    return result;
}

void gadget_set_text(ObjectNumber number, const char* text) {
    if (!text) text = "";
    GadgetRecord* record = gadget_lookup(number);
    if (!record) return;
    // From another thread Windows carries the message to the control's thread
    // and waits for it, as it does for SetWindowTextW; the text is widened there.
    SendMessageW(record->hwnd, g_set_text_message, 0, reinterpret_cast<LPARAM>(text));
}

void gadget_post_event(HWND control, int32_t event_type) {
    ObjectNumber window = window_number_of(control, nullptr);
    event_queue_add(Event_GadgetAction, GetWindowLongPtrA(control, GWLP_ID), window, event_type);
}

void gadget_set_color(GadgetRecord* gadget, int32_t color_type, int32_t color) {
    if (color_type == Color_Text) {
        gadget->text_color = color;
    } else if (color_type == Color_Back) {
        if (gadget->back_brush) brush_cache_release(gadget->back_brush);
        gadget->back_brush = color == Color_Default ? nullptr : brush_cache_acquire(static_cast<COLORREF>(color));
        gadget->back_color = color;
    }
    RedrawWindow(gadget->hwnd, nullptr, nullptr, Redraw_All);
}

int32_t gadget_get_color(GadgetRecord* gadget, int32_t color_type) {
    if (color_type == Color_Text) return gadget->text_color;
    if (color_type == Color_Back) return gadget->back_color;
    return Color_Default;
}

void gadget_free_colors(GadgetRecord* gadget) {
    if (gadget->back_brush) brush_cache_release(gadget->back_brush);
    gadget->back_brush = nullptr;
}

HBRUSH brush_cache_acquire(COLORREF color) {
    EnterCriticalSection(&g_brush_lock);
    HBRUSH brush = nullptr;
    for (RecordLink* link = g_brushes; link; link = link->next) {
        BrushCacheEntry* entry = brush_of(link);
        // An entry whose brush could not be made is not shared.
        if (entry->color == color && entry->brush) {
            ++entry->refs;
            brush = entry->brush;
            break;
        }
    }
    if (!brush) {
        HBRUSH made = CreateSolidBrush(color);
        if (made) {
            if (auto* entry = static_cast<BrushCacheEntry*>(record_list_alloc(&g_brushes, sizeof(BrushCacheEntry)))) {
                *entry = BrushCacheEntry{color, made, 1};
                brush = made;
            } else {
                DeleteObject(made);
            }
        }
    }
    LeaveCriticalSection(&g_brush_lock);
    return brush;
}

void brush_cache_release(HBRUSH brush) {
    if (!brush) return;
    EnterCriticalSection(&g_brush_lock);
    for (RecordLink* link = g_brushes; link; link = link->next) {
        BrushCacheEntry* entry = brush_of(link);
        if (entry->brush != brush) continue;
        if (--entry->refs == 0) {
            DeleteObject(entry->brush);
            record_list_free(&g_brushes, entry);
        }
        break;
    }
    LeaveCriticalSection(&g_brush_lock);
}

int32_t brush_cache_count() {
    EnterCriticalSection(&g_brush_lock);
    int32_t count = 0;
    for (RecordLink* link = g_brushes; link; link = link->next) ++count;
    LeaveCriticalSection(&g_brush_lock);
    return count;
}
