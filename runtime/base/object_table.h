// Object tables: small static numbers or dynamic numbers (record addresses)
// mapped to each object kind's records; the intrusive record list; per-library
// globals; and the image and loaded-library tables. GUI thread only.
#pragma once
#include <windows.h>
#include <cstddef>
#include <cstdint>

constexpr int32_t Object_Dynamic = -1;

// Static numbers stay below the first 64 KiB: no heap record can lie there, so
// every number above belongs to the dynamic range.
constexpr int32_t Object_StaticLimit = 0x10000;

using ObjectFreeOperation = void (*)(int32_t number);

// Header of one record-list block; the caller's record follows it.
struct RecordLink {
    RecordLink* next;      // older block, or null
    RecordLink* previous;  // newer block, or null at the head
};
static_assert(sizeof(RecordLink) == 8, "two pointers before every record");

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
static_assert(sizeof(ObjectTable) == 32, "eight 32-bit fields");
static_assert(offsetof(ObjectTable, slots) == 12 && offsetof(ObjectTable, dynamic_records) == 16 &&
              offsetof(ObjectTable, free_object) == 20 && offsetof(ObjectTable, cursor_record) == 28);

ObjectTable* object_table_create(int32_t record_size, int32_t initial_capacity, ObjectFreeOperation free_object);
void* object_table_allocate(ObjectTable* table, int32_t number);
void* object_table_lookup(ObjectTable* table, int32_t number);
void object_table_free(ObjectTable* table, int32_t number);
void object_table_free_all(ObjectTable* table);
void* object_table_first(ObjectTable* table);
void* object_table_next(ObjectTable* table, int32_t* number);

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
void image_free(int32_t number);
ObjectTable* image_table();

void library_table_init();
void library_free(int32_t number);
ObjectTable* library_table();
