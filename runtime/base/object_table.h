// Object tables: small static numbers or dynamic numbers (record addresses)
// mapped to each object kind's records; the intrusive record list; per-library
// globals; and the image and loaded-library tables. GUI thread only.
#pragma once
#include <windows.h>
#include <cstddef>
#include <cstdint>

#include "runtime/base/layout.h"

// A window's, gadget's, image's or library's number: a small static number, or
// a dynamic one that is its record's address. It is pointer-sized so that the
// address survives on x86-64; on i686 it is exactly a 32-bit number.
using ObjectNumber = intptr_t;

constexpr ObjectNumber Object_Dynamic = -1;

// Static numbers stay below the first 64 KiB: no heap record can lie there, so
// every number above belongs to the dynamic range.
constexpr ObjectNumber Object_StaticLimit = 0x10000;

using ObjectFreeOperation = void (*)(ObjectNumber number);

// Header of one record-list block; the caller's record follows it.
struct RecordLink {
    RecordLink* next;      // older block, or null
    RecordLink* previous;  // newer block, or null at the head
};
static_assert(sizeof(RecordLink) == 2 * Pointer_Bytes, "two pointers before every record");

struct ObjectTable {
    int32_t record_size;
    int32_t growth;
    int32_t capacity;
    void** slots;
    RecordLink* dynamic_records;  // newest first
    ObjectFreeOperation free_object;
    int32_t cursor_index;
    RecordLink* cursor_record;
};
// Three 32-bit numbers, three pointers, the cursor's index and record: eight
// 32-bit fields on i686.
static_assert(offsetof(ObjectTable, slots) == pointer_aligned(12) &&
              offsetof(ObjectTable, dynamic_records) == pointer_aligned(12) + Pointer_Bytes &&
              offsetof(ObjectTable, free_object) == pointer_aligned(12) + 2 * Pointer_Bytes &&
              offsetof(ObjectTable, cursor_index) == pointer_aligned(12) + 3 * Pointer_Bytes &&
              offsetof(ObjectTable, cursor_record) == pointer_aligned(pointer_aligned(12) + 3 * Pointer_Bytes + 4) &&
              sizeof(ObjectTable) == offsetof(ObjectTable, cursor_record) + Pointer_Bytes);
static_assert(Pointer_Bytes != 4 || (offsetof(ObjectTable, slots) == 12 && sizeof(ObjectTable) == 32));

ObjectTable* object_table_create(int32_t record_size, int32_t initial_capacity, ObjectFreeOperation free_object);
void* object_table_allocate(ObjectTable* table, ObjectNumber number);
void* object_table_lookup(ObjectTable* table, ObjectNumber number);
void object_table_free(ObjectTable* table, ObjectNumber number);
void object_table_free_all(ObjectTable* table);
void* object_table_first(ObjectTable* table);
void* object_table_next(ObjectTable* table, ObjectNumber* number);

void* record_list_alloc(RecordLink** head, int32_t record_size);
void record_list_free(RecordLink** head, void* record);

using GlobalsOperation = void (*)(void* block);
void* globals_create(int32_t size, GlobalsOperation init, GlobalsOperation cleanup);
void* globals_get(void* block);

// Images (bitmaps or icons) and loaded libraries: the record starts with the handle.
struct ImageRecord {
    HANDLE handle;
};
struct LibraryRecord {
    HMODULE module;
};

void image_table_init();
void image_free(ObjectNumber number);
ObjectTable* image_table();

void library_table_init();
void library_free(ObjectNumber number);
ObjectTable* library_table();
