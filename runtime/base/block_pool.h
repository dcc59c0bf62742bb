// Block pools: fixed-size blocks carved from chunks of the main heap, a
// per-chunk free list, chunks released as soon as they are empty; private
// pools (optionally locked) or shared ones through a reference-counted registry.
#pragma once
#include <windows.h>
#include <cstddef>
#include <cstdint>

#include "runtime/base/layout.h"

enum PoolFlag : int32_t {
    Pool_Locked = 1,    // lock mode in bits 0-1: the pool has its own lock
    Pool_LockMask = 3,
    Pool_Shared = 4,    // one pool per slot size and flags, reference-counted
};

struct PoolChunk {
    PoolChunk* next;
    PoolChunk* previous;
    void* free_list;     // freed slots, most recent first, linked through their header
    int32_t capacity;
    int32_t used;        // slots taken from the never-used part, in address order
    int32_t free_count;
    // capacity slots of slot_size bytes follow
};
static_assert(offsetof(PoolChunk, capacity) == 3 * Pointer_Bytes &&
                  sizeof(PoolChunk) == pointer_aligned(3 * Pointer_Bytes + 12),
              "chunk header: three pointers and three counts (six 32-bit words on i686)");
static_assert(Pointer_Bytes != 4 || sizeof(PoolChunk) == 24);

struct BlockPool;

struct PoolShare {
    PoolShare* next;
    PoolShare* previous;
    BlockPool* pool;
    int32_t slot_size;
    int32_t flags;
    int32_t references;
};
static_assert(offsetof(PoolShare, references) == 3 * Pointer_Bytes + 8 &&
              sizeof(PoolShare) == pointer_aligned(3 * Pointer_Bytes + 12));
static_assert(Pointer_Bytes != 4 || (sizeof(PoolShare) == 24 && offsetof(PoolShare, references) == 20));

struct BlockPool {
    PoolChunk* full_chunks;
    PoolChunk* open_chunks;
    PoolShare* shared_entry;
    int32_t total_blocks;
    int32_t slot_size;
    int32_t min_chunk;
    int32_t max_chunk;
    int32_t locked;
    CRITICAL_SECTION lock;
};
static_assert(offsetof(BlockPool, total_blocks) == 3 * Pointer_Bytes &&
                  offsetof(BlockPool, locked) == 3 * Pointer_Bytes + 16 &&
                  offsetof(BlockPool, lock) == pointer_aligned(3 * Pointer_Bytes + 20),
              "pool record layout");
static_assert(Pointer_Bytes != 4 ||
              (offsetof(BlockPool, total_blocks) == 12 && offsetof(BlockPool, locked) == 28 &&
               offsetof(BlockPool, lock) == 32));

BlockPool* pool_create(int32_t block_size, int32_t min_chunk, int32_t max_chunk, int32_t flags);
void* pool_alloc(BlockPool* pool);
void pool_free(BlockPool* pool, void* block);
void pool_clear(BlockPool* pool);
void pool_destroy(BlockPool* pool);
