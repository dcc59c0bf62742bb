#include "runtime/base/object_table.h"

#include <cstring>

#include "runtime/base/memory.h"

namespace {

// Every record begins with its system handle, which is set exactly while the
// object lives.
bool first_word_set(const void* record) { return *static_cast<void* const*>(record) != nullptr; }

RecordLink* header_of(void* record) { return static_cast<RecordLink*>(record) - 1; }

void* record_of(RecordLink* link) { return link + 1; }

// A number outside the static slots is only taken for a dynamic number when it
// is the record of a live block of this table: anything else would be a stray
// address, and touching it could corrupt memory.
RecordLink* dynamic_link(ObjectTable* table, ObjectNumber number) {
    if (number < table->capacity) return nullptr;
    for (RecordLink* link = table->dynamic_records; link; link = link->next)
        if (reinterpret_cast<ObjectNumber>(record_of(link)) == number) return link;
    return nullptr;
}

bool is_static(const ObjectTable* table, ObjectNumber number) { return number >= 0 && number < table->capacity; }

bool grow_slots(ObjectTable* table, ObjectNumber number) {
    // number lies below Object_StaticLimit here, so the capacity fits 32 bits.
    int32_t capacity = static_cast<int32_t>(number) + table->growth;
    void* grown = main_heap_realloc(table->slots, capacity * static_cast<int32_t>(sizeof(void*)));
    if (!grown) return false;  // the old array stays as it was
    table->slots = static_cast<void**>(grown);
    for (int32_t i = table->capacity; i < capacity; ++i) table->slots[i] = nullptr;
    table->capacity = capacity;
    return true;
}

}  // namespace

ObjectTable* object_table_create(int32_t record_size, int32_t initial_capacity, ObjectFreeOperation free_object) {
    if (record_size < static_cast<int32_t>(Pointer_Bytes) || initial_capacity <= 0 || initial_capacity > Object_StaticLimit) return nullptr;
    auto* table = static_cast<ObjectTable*>(main_heap_alloc(sizeof(ObjectTable)));
    if (!table) return nullptr;
    table->slots = static_cast<void**>(main_heap_alloc(initial_capacity * static_cast<int32_t>(sizeof(void*))));
    if (!table->slots) {
        main_heap_free(table);
        return nullptr;
    }
    table->record_size = record_size;
    table->growth = initial_capacity;
    table->capacity = initial_capacity;
    table->free_object = free_object;
    return table;
}

void* object_table_allocate(ObjectTable* table, ObjectNumber number) {
    if (!table) return nullptr;
    if (number == Object_Dynamic) return record_list_alloc(&table->dynamic_records, table->record_size);
    if (number < 0 || number >= Object_StaticLimit) return nullptr;
    if (number >= table->capacity && !grow_slots(table, number)) return nullptr;
    void* record = table->slots[number];
    if (record) {
        // The number is taken over: its old object is destroyed first, and its
        // free operation ends by zeroing the record that is handed out again.
        if (table->free_object) table->free_object(number);
        std::memset(record, 0, static_cast<size_t>(table->record_size));
        return record;
    }
    record = main_heap_alloc(table->record_size);
    if (record) table->slots[number] = record;
    return record;
}

void* object_table_lookup(ObjectTable* table, ObjectNumber number) {
    if (!table || number < 0) return nullptr;
    if (is_static(table, number)) {
        void* record = table->slots[number];
        return record && first_word_set(record) ? record : nullptr;
    }
    RecordLink* link = dynamic_link(table, number);
    return link && first_word_set(record_of(link)) ? record_of(link) : nullptr;
}

void object_table_free(ObjectTable* table, ObjectNumber number) {
    if (!table || number < 0) return;
    if (is_static(table, number)) {
        if (table->slots[number]) std::memset(table->slots[number], 0, static_cast<size_t>(table->record_size));
        return;
    }
    if (RecordLink* link = dynamic_link(table, number)) {
        if (table->cursor_record == link) table->cursor_record = link->previous;
        record_list_free(&table->dynamic_records, record_of(link));
    }
}

void* object_table_first(ObjectTable* table) {
    table->cursor_index = 0;
    RecordLink* tail = table->dynamic_records;
    while (tail && tail->next) tail = tail->next;
    table->cursor_record = tail;
    return nullptr;
}

void* object_table_next(ObjectTable* table, ObjectNumber* number) {
    while (table->cursor_index < table->capacity) {
        int32_t index = table->cursor_index++;
        void* record = table->slots[index];
        if (record && first_word_set(record)) {
            if (number) *number = index;
            return record;
        }
    }
    RecordLink* link = table->cursor_record;
    if (!link) return nullptr;
    table->cursor_record = link->previous;
    void* record = record_of(link);
    if (number) *number = reinterpret_cast<ObjectNumber>(record);
    return record;
}

void object_table_free_all(ObjectTable* table) {
    if (!table || !table->free_object) return;
    object_table_first(table);
    ObjectNumber number = 0;
    while (object_table_next(table, &number)) table->free_object(number);
}

void* record_list_alloc(RecordLink** head, int32_t record_size) {
    if (record_size < 0) return nullptr;
    auto* link = static_cast<RecordLink*>(main_heap_alloc(static_cast<int32_t>(sizeof(RecordLink)) + record_size));
    if (!link) return nullptr;
    link->next = *head;
    link->previous = nullptr;
    if (*head) (*head)->previous = link;
    *head = link;
    return record_of(link);
}

void record_list_free(RecordLink** head, void* record) {
    if (!record) return;
    RecordLink* link = header_of(record);
    if (link == *head) {
        *head = link->next;
        if (*head) (*head)->previous = nullptr;
    } else {
        if (link->previous) link->previous->next = link->next;
        if (link->next) link->next->previous = link->previous;
    }
    main_heap_free(link);
}

void* globals_create(int32_t size, GlobalsOperation init, GlobalsOperation /*cleanup: never called*/) {
    void* block = main_heap_alloc(size);
    if (block && init) init(block);
    return block;
}

void* globals_get(void* block) { return block; }

namespace {
ObjectTable* g_images = nullptr;
ObjectTable* g_libraries = nullptr;
constexpr int32_t small_table_capacity = 16;
}  // namespace

void image_table_init() { g_images = object_table_create(sizeof(ImageRecord), small_table_capacity, image_free); }

ObjectTable* image_table() { return g_images; }

void image_free(ObjectNumber number) {
    if (number == Object_Dynamic) {
        object_table_free_all(g_images);
        return;
    }
    auto* image = static_cast<ImageRecord*>(object_table_lookup(g_images, number));
    if (!image) return;
    if (GetObjectType(image->handle) == OBJ_BITMAP)
        DeleteObject(image->handle);
    else
        DestroyIcon(static_cast<HICON>(image->handle));
    object_table_free(g_images, number);
}

void library_table_init() {
    g_libraries = object_table_create(sizeof(LibraryRecord), small_table_capacity, library_free);
}

ObjectTable* library_table() { return g_libraries; }

void library_free(ObjectNumber number) {
    if (number == Object_Dynamic) {
        object_table_free_all(g_libraries);
        return;
    }
    auto* library = static_cast<LibraryRecord*>(object_table_lookup(g_libraries, number));
    if (!library) return;
    FreeLibrary(library->module);
    object_table_free(g_libraries, number);
}
