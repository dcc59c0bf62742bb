// Gadgets: child controls named by small numbers. Owns the gadget table, the
// per-kind operation tables, registration and teardown of controls, the current
// gadget list (the window new gadgets go into), focus events, colours and brushes.
#pragma once
#include <windows.h>

#include <cstddef>
#include <cstdint>

#include "runtime/base/object_table.h"

struct GadgetType;

struct GadgetRecord {
    HWND hwnd;  // non-null exactly while the gadget lives
    const GadgetType* type;  // the kind's table, shared and never written
    WNDPROC previous_proc;
    int32_t back_color;  // COLORREF, or -1 for the system default
    int32_t text_color;
    HBRUSH back_brush;
    uint32_t spare[2];
};
static_assert(offsetof(GadgetRecord, back_color) == 3 * Pointer_Bytes &&
                  offsetof(GadgetRecord, back_brush) == pointer_aligned(3 * Pointer_Bytes + 8) &&
                  sizeof(GadgetRecord) == pointer_aligned(offsetof(GadgetRecord, back_brush) + Pointer_Bytes + 8),
              "eight 32-bit words on i686");
static_assert(Pointer_Bytes != 4 || (sizeof(GadgetRecord) == 32 && offsetof(GadgetRecord, back_brush) == 20));

using GadgetNotify = LRESULT (*)(GadgetRecord* gadget, HWND parent, UINT message, WPARAM wparam, LPARAM lparam);
using GadgetFree = void (*)(GadgetRecord* gadget);
using GadgetGetState = int32_t (*)(GadgetRecord* gadget);
using GadgetSetState = void (*)(GadgetRecord* gadget, int32_t state);
using GadgetSetText = void (*)(GadgetRecord* gadget, const char* text);
using GadgetGetAttribute = int32_t (*)(GadgetRecord* gadget, int32_t attribute);
using GadgetSetAttribute = void (*)(GadgetRecord* gadget, int32_t attribute, int32_t value);
using GadgetSetColor = void (*)(GadgetRecord* gadget, int32_t color_type, int32_t color);
using GadgetGetColor = int32_t (*)(GadgetRecord* gadget, int32_t color_type);
using GadgetRequiredSize = void (*)(GadgetRecord* gadget, int32_t* width, int32_t* height);

// A kind's operations, one static const table per kind. Empty slots stay null
// and every caller tests for null.
struct GadgetType {
    int32_t kind;
    int32_t length;                              // always sizeof(GadgetType)
    GadgetNotify notify = nullptr;               // 1
    GadgetFree free = nullptr;                   // 2
    GadgetGetState get_state = nullptr;          // 3
    GadgetSetState set_state = nullptr;          // 4
    void* slot_5 = nullptr;                      // 5
    GadgetSetText set_text = nullptr;            // 6
    void* slots_7_24[18] = {};                   // 7-24
    GadgetGetAttribute get_attribute = nullptr;  // 25
    GadgetSetAttribute set_attribute = nullptr;  // 26
    void* slots_27_28[2] = {};                   // 27-28
    GadgetSetColor set_color = nullptr;          // 29
    GadgetGetColor get_color = nullptr;          // 30
    void* slots_31_34[4] = {};                   // 31-34
    GadgetRequiredSize required_size = nullptr;  // 35
    void* slots_36_39[4] = {};                   // 36-39
};
// Slot n (from 1) sits after the kind and the length, n - 1 pointers on: at
// 4 + 4n on i686.
constexpr size_t gadget_slot_offset(size_t n) { return pointer_aligned(8) + (n - 1) * Pointer_Bytes; }
static_assert(sizeof(GadgetType) == gadget_slot_offset(40), "kind, length and 39 slots");
static_assert(offsetof(GadgetType, notify) == gadget_slot_offset(1) &&
                  offsetof(GadgetType, set_text) == gadget_slot_offset(6) &&
                  offsetof(GadgetType, get_attribute) == gadget_slot_offset(25) &&
                  offsetof(GadgetType, set_color) == gadget_slot_offset(29) &&
                  offsetof(GadgetType, required_size) == gadget_slot_offset(35),
              "each operation in its fixed slot");
static_assert(Pointer_Bytes != 4 || (sizeof(GadgetType) == 164 && offsetof(GadgetType, required_size) == 144));

enum GadgetKind : int32_t {
    GadgetKind_Button = 1,
    GadgetKind_String = 2,
    GadgetKind_Text = 3,
};

enum ColorType : int32_t {
    Color_Text = 1,
    Color_Back = 2,
};

constexpr int32_t Color_Default = -1;

struct GadgetContext {
    HWND list_window;
    HFONT font;
    HWND* container_stack;
    int32_t container_depth;
    int32_t container_capacity;
    HWND aux_window;
};

struct GadgetStackRecord {
    HWND window;
    HWND saved_list_window;
    HWND* saved_stack;
    int32_t saved_depth;
    int32_t saved_capacity;
    WNDPROC previous_proc;
};

struct BrushCacheEntry {
    COLORREF color;
    HBRUSH brush;
    int32_t refs;
};

BOOL gadget_startup();
void gadget_shutdown();
ObjectTable* gadget_table();
GadgetContext* gadget_context();
GadgetRecord* gadget_lookup(ObjectNumber number);
HWND gadget_handle(ObjectNumber number);

HWND gadget_list_select(HWND window);
intptr_t gadget_register(ObjectNumber number, GadgetRecord* record, HWND hwnd, const GadgetType* type);
void gadget_free(ObjectNumber number);
LRESULT CALLBACK gadget_window_proc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam);
LRESULT CALLBACK gadget_list_window_proc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam);
void gadget_post_event(HWND control, int32_t event_type);

// Any thread. Changes the control's text on the thread that owns it, so that the
// notifications the change causes are kept from the application there.
void gadget_set_text(ObjectNumber number, const char* text);

void gadget_set_color(GadgetRecord* gadget, int32_t color_type, int32_t color);
int32_t gadget_get_color(GadgetRecord* gadget, int32_t color_type);
void gadget_free_colors(GadgetRecord* gadget);

HBRUSH brush_cache_acquire(COLORREF color);
void brush_cache_release(HBRUSH brush);
int32_t brush_cache_count();
