// The runtime's dynamic containers: one-dimensional arrays with a header in
// front of their data, string-keyed hash maps whose nodes come from shared
// block pools, and the ContainerOps table. One thread per container at a time.
#pragma once
#include <cstddef>
#include <cstdint>

#include "runtime/base/layout.h"

struct BlockPool;

struct ArrayHeader {
    int32_t dimension_count;
    int32_t element_size;
    const void* layout;
    void** owner;           // the variable that holds the data address
    int32_t element_count;  // upper index + 1
    int32_t element_type;   // stored, not interpreted
};
static_assert(offsetof(ArrayHeader, layout) == pointer_aligned(8) &&
                  offsetof(ArrayHeader, element_count) == pointer_aligned(8) + 2 * Pointer_Bytes &&
                  sizeof(ArrayHeader) == pointer_aligned(pointer_aligned(8) + 2 * Pointer_Bytes + 8),
              "two counts, two pointers, two counts: six 32-bit words on i686");
static_assert(Pointer_Bytes != 4 || (sizeof(ArrayHeader) == 24 && offsetof(ArrayHeader, element_count) == 16));

struct MapNode {
    MapNode* next;  // next node of the same bucket
    char* key;      // main-heap copy of the key text
    // the element follows
};
static_assert(sizeof(MapNode) == 2 * Pointer_Bytes, "the element follows two pointers");

struct Map {
    MapNode* current;
    MapNode** buckets;
    MapNode* previous;
    const void* layout;
    int32_t current_bucket;  // -1 after map_reset
    int32_t previous_bucket;
    int32_t element_size;
    int32_t element_type;
    int32_t bucket_count;
    int32_t element_count;
    int32_t flags;
    Map** owner;
    BlockPool* pool;
};
static_assert(offsetof(Map, current_bucket) == 4 * Pointer_Bytes &&
                  offsetof(Map, bucket_count) == 4 * Pointer_Bytes + 16 &&
                  offsetof(Map, owner) == pointer_aligned(4 * Pointer_Bytes + 28) &&
                  offsetof(Map, pool) == offsetof(Map, owner) + Pointer_Bytes &&
                  sizeof(Map) == offsetof(Map, pool) + Pointer_Bytes,
              "four pointers, seven counts, two pointers: thirteen 32-bit fields on i686");
static_assert(Pointer_Bytes != 4 ||
              (sizeof(Map) == 52 && offsetof(Map, bucket_count) == 32 && offsetof(Map, pool) == 48));

enum MapFlag : int32_t { MapFlag_InitialiseElements = 2 };

// Data address of a zero-filled array of element_count elements, or null.
void* array_alloc(int32_t element_size, int32_t element_count, int32_t element_type, const void* layout,
                  void** owner);
// The same for several dimensions: counts holds one element count per dimension.
void* array_alloc_n(int32_t element_size, int32_t dimension_count, const int32_t* counts, int32_t element_type,
                    const void* layout, void** owner);
void* array_copy(void** owner, const void* source);
void array_free(void* data);
ArrayHeader* array_header(void* data);

uint32_t map_hash(const char* key);
Map* map_create(int32_t element_size, int32_t element_type, const void* layout, Map** owner, int32_t bucket_count);
Map* map_copy(Map** owner, const Map* source);
void* map_find(Map* map, const char* key);
void* map_insert(Map* map, const char* key, bool reuse);
void map_reset(Map* map);
void* map_next(Map* map);
void* map_delete_current(Map* map);
// The key of the current node, or null.
const char* map_current_key(const Map* map);
void map_clear(Map* map);
void map_free(Map* map);

struct ContainerOps {
    void* (*array_allocate)(int32_t, int32_t, int32_t, const void*, void**);
    void* (*array_allocate_n)(int32_t, int32_t, const int32_t*, int32_t, const void*, void**);
    void* (*list_allocate)();
    Map* (*map_create)(int32_t, int32_t, const void*, Map**, int32_t);
    void* (*array_copy)(void**, const void*);
    void* (*list_copy)();
    Map* (*map_copy)(Map**, const Map*);
    void (*array_free)(void*);
    void (*list_free)();
    void (*map_free)(Map*);
};
static_assert(sizeof(ContainerOps) == 10 * Pointer_Bytes, "ten entries");

extern ContainerOps container_ops;

void container_ops_register_arrays();
void container_ops_register_maps();
