#include "runtime/base/containers.h"

#include <cstring>

#include "runtime/base/block_pool.h"
#include "runtime/base/memory.h"

ContainerOps container_ops = {};

namespace {
constexpr int32_t header_size = static_cast<int32_t>(sizeof(ArrayHeader));
constexpr int32_t map_min_chunk = 16;
constexpr int32_t map_max_chunk = 65536;

void* element_of(MapNode* node) { return node + 1; }

void* allocate_array(int32_t element_size, int32_t dimensions, int64_t count, int32_t element_type,
                     const void* layout, void** owner) {
    if (!owner) return nullptr;
    array_free(*owner);
    if (element_size < 0 || count < 0) return nullptr;
    int64_t bytes = static_cast<int64_t>(element_size) * count;
    if (bytes > 0x7FFF0000 - header_size) return nullptr;
    auto* header = static_cast<ArrayHeader*>(main_heap_alloc(header_size + static_cast<int32_t>(bytes)));
    if (!header) return nullptr;
    header->dimension_count = dimensions;
    header->element_size = element_size;
    header->layout = layout;
    header->owner = owner;
    header->element_count = static_cast<int32_t>(count);
    header->element_type = element_type;
    void* data = header + 1;
    std::memset(data, 0, static_cast<size_t>(bytes));
    *owner = data;
    return data;
}
}  // namespace

ArrayHeader* array_header(void* data) { return data ? static_cast<ArrayHeader*>(data) - 1 : nullptr; }

void* array_alloc(int32_t element_size, int32_t element_count, int32_t element_type, const void* layout,
                  void** owner) {
    return allocate_array(element_size, 1, element_count, element_type, layout, owner);
}

void* array_alloc_n(int32_t element_size, int32_t dimension_count, const int32_t* counts, int32_t element_type,
                    const void* layout, void** owner) {
    if (dimension_count < 1 || !counts) return nullptr;
    int64_t total = 1;
    for (int32_t i = 0; i < dimension_count; ++i) {
        if (counts[i] < 0) return nullptr;
        total *= counts[i];
        if (total > 0x7FFFFFFF) return nullptr;
    }
    return allocate_array(element_size, dimension_count, total, element_type, layout, owner);
}

void* array_copy(void** owner, const void* source) {
    if (!source || !owner) return nullptr;
    const ArrayHeader* from = static_cast<const ArrayHeader*>(source) - 1;
    // The owner variable may hold the source itself, which it releases: the
    // copy is made first and takes the variable over only afterwards.
    void* staged = nullptr;
    void* data = allocate_array(from->element_size, from->dimension_count, from->element_count, from->element_type,
                                from->layout, &staged);
    if (data) std::memcpy(data, source, static_cast<size_t>(from->element_size) * from->element_count);
    array_free(*owner);
    if (data) {
        array_header(data)->owner = owner;
        *owner = data;
    }
    return data;
}

void array_free(void* data) {
    if (!data) return;
    ArrayHeader* header = array_header(data);
    if (header->owner) *header->owner = nullptr;
    main_heap_free(header);
}

uint32_t map_hash(const char* key) {
    uint32_t h = 0;
    if (!key) return 0;
    for (const char* p = key; *p; ++p) h = h * 65599u + static_cast<uint32_t>(static_cast<int32_t>(static_cast<signed char>(*p)));
    return h;
}

namespace {
int32_t bucket_of(const Map* map, const char* key) {
    return static_cast<int32_t>(map_hash(key) % static_cast<uint32_t>(map->bucket_count));
}

const char* text_or_empty(const char* key) { return key ? key : ""; }

// Unlinks a node from its bucket, walking the chain so that a stale
// previous-node cursor can never unlink the wrong node.
void unlink_node(Map* map, int32_t bucket, MapNode* node) {
    MapNode** link = &map->buckets[bucket];
    while (*link && *link != node) link = &(*link)->next;
    if (*link) *link = node->next;
}

void release_node(Map* map, MapNode* node) {
    main_heap_free(node->key);
    pool_free(map->pool, node);
}
}  // namespace

Map* map_create(int32_t element_size, int32_t element_type, const void* layout, Map** owner, int32_t bucket_count) {
    if (owner) {
        map_free(*owner);
        *owner = nullptr;
    }
    if (element_size < 0) return nullptr;
    if (bucket_count <= 0) bucket_count = 1;
    auto* map = static_cast<Map*>(main_heap_alloc(sizeof(Map)));
    if (!map) return nullptr;
    map->buckets = static_cast<MapNode**>(main_heap_alloc(bucket_count * static_cast<int32_t>(sizeof(MapNode*))));
    if (!map->buckets) {
        main_heap_free(map);
        return nullptr;
    }
    map->pool = pool_create(element_size + static_cast<int32_t>(sizeof(MapNode)), map_min_chunk, map_max_chunk,
                            Pool_Shared);
    if (!map->pool) {
        main_heap_free(map->buckets);
        main_heap_free(map);
        return nullptr;
    }
    map->layout = layout;
    map->current_bucket = -1;
    map->previous_bucket = -1;
    map->element_size = element_size;
    map->element_type = element_type;
    map->bucket_count = bucket_count;
    map->flags = 0;  // elements are plain bytes: no layout descriptor is interpreted
    map->owner = owner;
    if (owner) *owner = map;
    return map;
}

void* map_find(Map* map, const char* key) {
    if (!map) return nullptr;
    key = text_or_empty(key);
    int32_t bucket = bucket_of(map, key);
    MapNode* previous = nullptr;
    for (MapNode* node = map->buckets[bucket]; node; node = node->next) {
        if (std::strcmp(node->key, key) == 0) {
            map->previous = previous;
            // With no chain predecessor, an iteration resumed after a delete
            // starts again at this bucket.
            map->previous_bucket = previous ? bucket : bucket - 1;
            map->current = node;
            map->current_bucket = bucket;
            return element_of(node);
        }
        previous = node;
    }
    return nullptr;
}

void* map_insert(Map* map, const char* key, bool reuse) {
    if (!map) return nullptr;
    key = text_or_empty(key);
    if (reuse) {
        if (void* element = map_find(map, key)) {
            std::memset(element, 0, static_cast<size_t>(map->element_size));
            return element;
        }
    }
    auto* node = static_cast<MapNode*>(pool_alloc(map->pool));
    if (!node) return nullptr;
    int32_t length = static_cast<int32_t>(std::strlen(key));
    node->key = static_cast<char*>(main_heap_alloc(length + 1));
    if (!node->key) {
        pool_free(map->pool, node);
        return nullptr;
    }
    std::memcpy(node->key, key, static_cast<size_t>(length) + 1);
    int32_t bucket = bucket_of(map, key);
    node->next = map->buckets[bucket];
    map->buckets[bucket] = node;
    map->previous = nullptr;
    map->previous_bucket = bucket - 1;
    ++map->element_count;
    map->current = node;
    map->current_bucket = bucket;
    void* element = element_of(node);
    std::memset(element, 0, static_cast<size_t>(map->element_size));
    return element;
}

void map_reset(Map* map) {
    if (!map) return;
    map->current = nullptr;
    map->current_bucket = -1;
}

void* map_next(Map* map) {
    if (!map) return nullptr;
    map->previous = map->current;
    map->previous_bucket = map->current_bucket;
    MapNode* node = map->current ? map->current->next : nullptr;
    int32_t bucket = map->current_bucket;
    while (!node && ++bucket < map->bucket_count) node = map->buckets[bucket];
    if (!node) {
        map->current = nullptr;
        map->current_bucket = map->bucket_count;  // stays at the end
        return nullptr;
    }
    map->current = node;
    map->current_bucket = bucket;
    return element_of(node);
}

void* map_delete_current(Map* map) {
    if (!map || !map->current) return nullptr;
    MapNode* node = map->current;
    unlink_node(map, map->current_bucket, node);
    --map->element_count;
    map->current = map->previous;
    map->current_bucket = map->previous_bucket;
    map->previous = nullptr;
    release_node(map, node);
    return map->current ? element_of(map->current) : nullptr;
}

const char* map_current_key(const Map* map) { return map && map->current ? map->current->key : nullptr; }

void map_clear(Map* map) {
    if (!map) return;
    for (int32_t bucket = 0; bucket < map->bucket_count; ++bucket) {
        MapNode* node = map->buckets[bucket];
        while (node) {
            MapNode* next = node->next;
            release_node(map, node);
            node = next;
        }
        map->buckets[bucket] = nullptr;
    }
    map->current = nullptr;
    map->previous = nullptr;
    map->current_bucket = -1;
    map->previous_bucket = -1;
    map->element_count = 0;
}

void map_free(Map* map) {
    if (!map) return;
    map_clear(map);
    pool_destroy(map->pool);
    main_heap_free(map->buckets);
    if (map->owner) *map->owner = nullptr;
    main_heap_free(map);
}

namespace {
// Buckets are walked from the chain's tail so that the copy keeps the
// newest-first order of duplicate keys.
bool copy_nodes(Map* copy, const Map* source) {
    for (int32_t bucket = 0; bucket < source->bucket_count; ++bucket) {
        int32_t length = 0;
        for (MapNode* node = source->buckets[bucket]; node; node = node->next) ++length;
        for (int32_t i = length - 1; i >= 0; --i) {
            MapNode* node = source->buckets[bucket];
            for (int32_t k = 0; k < i; ++k) node = node->next;
            void* element = map_insert(copy, node->key, false);
            if (!element) return false;
            std::memcpy(element, element_of(node), static_cast<size_t>(source->element_size));
        }
    }
    return true;
}
}  // namespace

Map* map_copy(Map** owner, const Map* source) {
    if (!source) return nullptr;
    // As with arrays, the owner variable may hold the source: the copy is made
    // unowned and takes the variable over once the source has been read.
    Map* copy = map_create(source->element_size, source->element_type, source->layout, nullptr, source->bucket_count);
    if (copy && !copy_nodes(copy, source)) {
        map_free(copy);
        copy = nullptr;
    }
    if (owner) {
        map_free(*owner);
        *owner = copy;
    }
    if (!copy) return nullptr;
    copy->owner = owner;
    map_reset(copy);
    return copy;
}

void container_ops_register_arrays() {
    container_ops.array_allocate = array_alloc;
    container_ops.array_allocate_n = array_alloc_n;
    container_ops.array_copy = array_copy;
    container_ops.array_free = array_free;
}

void container_ops_register_maps() {
    container_ops.map_create = map_create;
    container_ops.map_copy = map_copy;
    container_ops.map_free = map_free;
}
