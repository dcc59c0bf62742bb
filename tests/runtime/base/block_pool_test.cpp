#include <vector>

#include "base_fixture.h"
#include "runtime/base/block_pool.h"

namespace {

// The shared pools' registry is process-wide and its entries come from the
// main heap: one heap for the whole program keeps them valid from test to test.
class BlockPoolTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { main_heap_set(HeapCreate(0, 4096, 0)); }
};

int chunks(PoolChunk* list) {
    int n = 0;
    for (; list; list = list->next) ++n;
    return n;
}

// A new chunk holds a sixteenth of the pool's blocks in whole sixteens,
// within the pool's bounds; no block overlaps another.
TEST_F(BlockPoolTest, ChunkCapacityGrowsWithThePoolWithinItsBoundsAndBlocksKeepTheirBytes) {
    BlockPool* pool = pool_create(32, 16, 256, 2);
    std::vector<int32_t*> blocks;
    int32_t first_past_512 = 0;
    while (pool->total_blocks < 6000) {
        int32_t before = pool->total_blocks;
        auto* block = static_cast<int32_t*>(pool_alloc(pool));
        ASSERT_NE(block, nullptr);
        block[0] = block[7] = static_cast<int32_t>(blocks.size());  // the first and last four bytes
        blocks.push_back(block);
        int32_t capacity = pool->total_blocks - before;
        if (!capacity) continue;
        // The floor up to 512 blocks, the ceiling from 4096 on; in between the first step is 32.
        EXPECT_EQ(capacity, before < 512 ? 16 : before >= 4096 ? 256 : capacity) << "at total " << before;
        if (before >= 512 && !first_past_512) first_past_512 = capacity;
    }
    EXPECT_EQ(first_past_512, 32);
    for (size_t i = 0; i < blocks.size(); ++i)
        ASSERT_EQ(blocks[i][0] + blocks[i][7], 2 * static_cast<int32_t>(i)) << "block " << i << " overlaps";
    for (int32_t* b : blocks) pool_free(pool, b);
    EXPECT_EQ(pool->total_blocks, 0) << "every chunk went back when its last block returned";
    EXPECT_EQ(pool->open_chunks, nullptr);
    EXPECT_EQ(pool->full_chunks, nullptr);
    pool_destroy(pool);
}

TEST_F(BlockPoolTest, FreedBlockIsHandedOutAgainAndFullChunkReopensOnFirstFree) {
    BlockPool* pool = pool_create(8, 4, 4, 0);
    ASSERT_NE(pool_alloc(pool), nullptr);
    void* b = pool_alloc(pool);
    pool_free(pool, b);
    EXPECT_EQ(pool_alloc(pool), b);
    void* c = pool_alloc(pool);
    void* d = pool_alloc(pool);
    ASSERT_TRUE(c && d);
    EXPECT_EQ(chunks(pool->full_chunks), 1);
    void* e = pool_alloc(pool);  // second chunk
    EXPECT_EQ(chunks(pool->open_chunks), 1);
    pool_free(pool, c);
    EXPECT_EQ(chunks(pool->full_chunks), 0);
    EXPECT_EQ(chunks(pool->open_chunks), 2);
    EXPECT_EQ(pool_alloc(pool), c) << "the reopened chunk is at the head and serves next";
    // Emptying the second chunk releases it and lowers the total by its capacity.
    EXPECT_EQ(pool->total_blocks, 8);
    pool_free(pool, e);
    EXPECT_EQ(pool->total_blocks, 4);
    pool_destroy(pool);
}

TEST_F(BlockPoolTest, SharedPoolsAreOnePerSlotSizeAndFlagsAndReferenceCounted) {
    BlockPool* first = pool_create(16, 16, 65536, Pool_Shared);
    BlockPool* second = pool_create(16, 16, 65536, Pool_Shared);
    BlockPool* other_size = pool_create(24, 16, 65536, Pool_Shared);
    BlockPool* other_flags = pool_create(16, 16, 65536, Pool_Shared | Pool_Locked);
    EXPECT_EQ(first, second);
    EXPECT_NE(first, other_size);
    EXPECT_NE(first, other_flags);
    ASSERT_NE(first->shared_entry, nullptr);
    EXPECT_EQ(first->shared_entry->references, 2);
    pool_destroy(first);
    EXPECT_EQ(second->shared_entry->references, 1) << "still alive after one destroy";
    void* block = pool_alloc(second);
    EXPECT_NE(block, nullptr);
    pool_free(second, block);
    pool_destroy(second);
    BlockPool* fresh = pool_create(16, 16, 65536, Pool_Shared);
    ASSERT_NE(fresh->shared_entry, nullptr);
    EXPECT_EQ(fresh->shared_entry->references, 1) << "a new entry after the last reference went";
    for (BlockPool* pool : {fresh, other_size, other_flags}) pool_destroy(pool);
}

}  // namespace
