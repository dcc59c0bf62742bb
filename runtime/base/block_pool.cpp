#include "runtime/base/block_pool.h"

#include "runtime/base/memory.h"
#include "runtime/base/thread.h"

namespace {

constexpr int32_t slot_header = static_cast<int32_t>(sizeof(void*));

volatile LONG g_registry_once = 0;
CRITICAL_SECTION g_registry_lock;
PoolShare* g_registry = nullptr;

void registry_init() {
    InitializeCriticalSection(&g_registry_lock);
    g_registry = nullptr;
}

struct PoolGuard {
    BlockPool* pool;
    explicit PoolGuard(BlockPool* p) : pool(p) {
        if (pool->locked) EnterCriticalSection(&pool->lock);
    }
    ~PoolGuard() {
        if (pool->locked) LeaveCriticalSection(&pool->lock);
    }
    PoolGuard(const PoolGuard&) = delete;
    PoolGuard& operator=(const PoolGuard&) = delete;
};

char* slot_at(BlockPool* pool, PoolChunk* chunk, int32_t index) {
    return reinterpret_cast<char*>(chunk + 1) + index * pool->slot_size;
}

bool can_hand_out(const PoolChunk* chunk) { return chunk->free_count > 0 || chunk->used < chunk->capacity; }

void push_front(PoolChunk** list, PoolChunk* chunk) {
    chunk->previous = nullptr;
    chunk->next = *list;
    if (*list) (*list)->previous = chunk;
    *list = chunk;
}

void unlink(PoolChunk** list, PoolChunk* chunk) {
    if (chunk->previous)
        chunk->previous->next = chunk->next;
    else
        *list = chunk->next;
    if (chunk->next) chunk->next->previous = chunk->previous;
    chunk->next = chunk->previous = nullptr;
}

PoolChunk* new_chunk(BlockPool* pool, int32_t capacity) {
    auto* chunk = static_cast<PoolChunk*>(
        main_heap_alloc(static_cast<int32_t>(sizeof(PoolChunk)) + capacity * pool->slot_size));
    if (chunk) chunk->capacity = capacity;
    return chunk;
}

int32_t next_chunk_capacity(const BlockPool* pool) {
    int32_t capacity = (pool->total_blocks / 16) & ~15;
    if (capacity < pool->min_chunk) capacity = pool->min_chunk;
    if (capacity > pool->max_chunk) capacity = pool->max_chunk;
    return capacity;
}

BlockPool* create_private(int32_t slot_size, int32_t min_chunk, int32_t max_chunk, int32_t flags) {
    auto* pool = static_cast<BlockPool*>(main_heap_alloc(sizeof(BlockPool)));
    if (!pool) return nullptr;
    pool->full_chunks = nullptr;
    pool->open_chunks = nullptr;
    pool->shared_entry = nullptr;
    pool->total_blocks = 0;
    pool->slot_size = slot_size;
    pool->min_chunk = min_chunk;
    pool->max_chunk = max_chunk;
    pool->locked = (flags & Pool_LockMask) == Pool_Locked ? 1 : 0;
    if (pool->locked) InitializeCriticalSection(&pool->lock);
    return pool;
}

void destroy_private(BlockPool* pool) {
    pool_clear(pool);
    if (pool->locked) DeleteCriticalSection(&pool->lock);
    main_heap_free(pool);
}

}  // namespace

BlockPool* pool_create(int32_t block_size, int32_t min_chunk, int32_t max_chunk, int32_t flags) {
    if (block_size < 0) return nullptr;
    if (min_chunk < 1) min_chunk = 1;
    if (max_chunk < min_chunk) max_chunk = min_chunk;
    // Each slot starts with the free-list link, a pointer, so slots are kept
    // pointer-aligned: to four bytes on i686, to eight on x86-64.
    constexpr int32_t align = static_cast<int32_t>(Pointer_Bytes);
    int32_t slot_size = (block_size + slot_header + align - 1) & ~(align - 1);
    if (!(flags & Pool_Shared)) return create_private(slot_size, min_chunk, max_chunk, flags);

    run_once(&g_registry_once, registry_init);
    EnterCriticalSection(&g_registry_lock);
    for (PoolShare* entry = g_registry; entry; entry = entry->next) {
        if (entry->slot_size == slot_size && entry->flags == flags) {
            ++entry->references;
            LeaveCriticalSection(&g_registry_lock);
            return entry->pool;
        }
    }
    BlockPool* pool = nullptr;
    auto* entry = static_cast<PoolShare*>(main_heap_alloc(sizeof(PoolShare)));
    if (entry) {
        pool = create_private(slot_size, min_chunk, max_chunk, flags & ~Pool_Shared);
        if (pool) {
            pool->shared_entry = entry;
            entry->pool = pool;
            entry->slot_size = slot_size;
            entry->flags = flags;
            entry->references = 1;
            entry->previous = nullptr;
            entry->next = g_registry;
            if (g_registry) g_registry->previous = entry;
            g_registry = entry;
        } else {
            main_heap_free(entry);
        }
    }
    LeaveCriticalSection(&g_registry_lock);
    return pool;
}

void* pool_alloc(BlockPool* pool) {
    if (!pool) return nullptr;
    PoolGuard guard(pool);
    PoolChunk* chunk = pool->open_chunks;
    char* slot = nullptr;
    if (chunk) {
        if (chunk->free_count > 0) {
            slot = static_cast<char*>(chunk->free_list);
            chunk->free_list = *reinterpret_cast<void**>(slot);
            --chunk->free_count;
        } else {
            slot = slot_at(pool, chunk, chunk->used++);
        }
        if (!can_hand_out(chunk)) {
            unlink(&pool->open_chunks, chunk);
            push_front(&pool->full_chunks, chunk);
        }
    } else {
        chunk = new_chunk(pool, next_chunk_capacity(pool));
        if (!chunk) chunk = new_chunk(pool, 1);
        if (!chunk) return nullptr;
        pool->total_blocks += chunk->capacity;
        chunk->used = 1;
        chunk->free_count = 0;
        chunk->free_list = nullptr;
        push_front(chunk->capacity == 1 ? &pool->full_chunks : &pool->open_chunks, chunk);
        slot = slot_at(pool, chunk, 0);
    }
    *reinterpret_cast<PoolChunk**>(slot) = chunk;
    return slot + slot_header;
}

void pool_free(BlockPool* pool, void* block) {
    if (!pool || !block) return;
    PoolGuard guard(pool);
    char* slot = static_cast<char*>(block) - slot_header;
    PoolChunk* chunk = *reinterpret_cast<PoolChunk**>(slot);
    bool was_full = !can_hand_out(chunk);
    *reinterpret_cast<void**>(slot) = chunk->free_list;
    chunk->free_list = slot;
    ++chunk->free_count;
    if (chunk->free_count == chunk->used) {
        unlink(was_full ? &pool->full_chunks : &pool->open_chunks, chunk);
        pool->total_blocks -= chunk->capacity;
        main_heap_free(chunk);
    } else if (was_full) {
        unlink(&pool->full_chunks, chunk);
        push_front(&pool->open_chunks, chunk);
    }
}

void pool_clear(BlockPool* pool) {
    if (!pool) return;
    PoolGuard guard(pool);
    PoolChunk** lists[] = {&pool->full_chunks, &pool->open_chunks};
    for (PoolChunk** list : lists) {
        PoolChunk* chunk = *list;
        while (chunk) {
            PoolChunk* next = chunk->next;
            main_heap_free(chunk);
            chunk = next;
        }
        *list = nullptr;
    }
    pool->total_blocks = 0;
}

void pool_destroy(BlockPool* pool) {
    if (!pool) return;
    if (!pool->shared_entry) {
        destroy_private(pool);
        return;
    }
    EnterCriticalSection(&g_registry_lock);
    PoolShare* entry = pool->shared_entry;
    if (--entry->references == 0) {
        pool->shared_entry = nullptr;
        destroy_private(pool);
        if (entry->previous)
            entry->previous->next = entry->next;
        else
            g_registry = entry->next;
        if (entry->next) entry->next->previous = entry->previous;
        main_heap_free(entry);
    }
    LeaveCriticalSection(&g_registry_lock);
}
