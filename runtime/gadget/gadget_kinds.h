// The three gadget kinds: text ("Static"), button ("Button") and string field
// ("Edit"): their creation, operation tables, colour answers and sizes.
#pragma once
#include <windows.h>

#include <cstdint>

#include "runtime/gadget/gadget.h"

// Bit 0x20000 of the creation flags selects the sunken client edge: it adds the
// edge to a text gadget and removes it from a string gadget.
constexpr uint32_t TextFlag_Edge = 0x20000;
constexpr uint32_t StringFlag_NoEdge = 0x20000;

constexpr DWORD TextStyle_Fixed = WS_CHILD | WS_VISIBLE | WS_GROUP | SS_NOPREFIX;
constexpr DWORD ButtonStyle_Fixed = WS_CHILD | WS_VISIBLE | WS_GROUP | WS_TABSTOP;
constexpr DWORD StringStyle_Fixed = WS_CHILD | WS_VISIBLE | WS_GROUP | WS_TABSTOP | ES_AUTOHSCROLL;
static_assert(TextStyle_Fixed == 0x50020080 && ButtonStyle_Fixed == 0x50030000 && StringStyle_Fixed == 0x50030080);

enum GadgetAttribute : int32_t {
    Attribute_MaxLength = 1,
};

intptr_t gadget_create_text(ObjectNumber number, int32_t x, int32_t y, int32_t width, int32_t height, const char* text,
                            uint32_t flags = 0);
intptr_t gadget_create_button(ObjectNumber number, int32_t x, int32_t y, int32_t width, int32_t height,
                              const char* text, uint32_t flags = 0);
intptr_t gadget_create_string(ObjectNumber number, int32_t x, int32_t y, int32_t width, int32_t height,
                              const char* text, uint32_t flags = 0);

LRESULT text_notify(GadgetRecord* gadget, HWND parent, UINT message, WPARAM wparam, LPARAM lparam);
void text_required_size(GadgetRecord* gadget, int32_t* width, int32_t* height);
int32_t button_get_state(GadgetRecord* gadget);
void button_set_state(GadgetRecord* gadget, int32_t state);
void button_required_size(GadgetRecord* gadget, int32_t* width, int32_t* height);
LRESULT string_notify(GadgetRecord* gadget, HWND parent, UINT message, WPARAM wparam, LPARAM lparam);
int32_t string_get_attribute(GadgetRecord* gadget, int32_t attribute);
void string_set_attribute(GadgetRecord* gadget, int32_t attribute, int32_t value);
void string_required_size(GadgetRecord* gadget, int32_t* width, int32_t* height);
LRESULT CALLBACK string_window_proc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam);
