#include <cstring>
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

// A slot of a 32-byte block: the block and one pointer.
constexpr int32_t Slot32 = sizeof(void*) == 4 ? 36 : 40;

TEST_F(BlockPoolTest, ChunkCapacityGrowsWithThePoolWithinItsBounds) {
    BlockPool* pool = pool_create(32, 16, 256, 2);
    std::vector<void*> blocks;
    // Allocate without freeing; each time a chunk is added, note the total it
    // was added at and its capacity.
    std::vector<std::pair<int32_t, int32_t>> added;  // (total before, capacity)
    while (pool->total_blocks < 6000) {
        int32_t before = pool->total_blocks;
        void* block = pool_alloc(pool);
        ASSERT_NE(block, nullptr);
        blocks.push_back(block);
        if (pool->total_blocks != before) added.emplace_back(before, pool->total_blocks - before);
    }
    ASSERT_FALSE(added.empty());
    EXPECT_EQ(added.front(), std::make_pair(0, 16));
    bool saw_32 = false, saw_cap = false;
    for (auto [total, capacity] : added) {
        if (total < 512) {
            EXPECT_EQ(capacity, 16) << "at total " << total;
        }
        if (total >= 512 && !saw_32) {
            EXPECT_EQ(capacity, 32) << "first chunk at total " << total;
            saw_32 = true;
        }
        if (total >= 4096) {
            EXPECT_EQ(capacity, 256) << "at total " << total;
            saw_cap = true;
        }
        EXPECT_EQ(capacity % 16, 0);
    }
    EXPECT_TRUE(saw_32 && saw_cap);
    for (void* b : blocks) pool_free(pool, b);
    EXPECT_EQ(pool->total_blocks, 0) << "every chunk went back when its last block returned";
    EXPECT_EQ(pool->open_chunks, nullptr);
    EXPECT_EQ(pool->full_chunks, nullptr);
    pool_destroy(pool);
}

TEST_F(BlockPoolTest, SeventeenthBlockOpensASecondChunkWhichServesWhileItHasRoom) {
    BlockPool* pool = pool_create(32, 16, 256, 2);
    std::vector<char*> blocks;
    for (int i = 0; i < 16; ++i) blocks.push_back(static_cast<char*>(pool_alloc(pool)));
    EXPECT_EQ(chunks(pool->full_chunks), 1);
    EXPECT_EQ(chunks(pool->open_chunks), 0);
    for (int i = 1; i < 16; ++i) EXPECT_EQ(blocks[i] - blocks[i - 1], Slot32) << "address order in one chunk";
    char* seventeenth = static_cast<char*>(pool_alloc(pool));
    EXPECT_EQ(chunks(pool->open_chunks), 1);
    EXPECT_EQ(pool->total_blocks, 32);
    char* eighteenth = static_cast<char*>(pool_alloc(pool));
    EXPECT_EQ(eighteenth - seventeenth, Slot32) << "the new chunk serves";
    // Blocks are usable memory of the requested size.
    for (char* b : blocks) std::memset(b, 0xAB, 32);
    EXPECT_EQ(static_cast<unsigned char>(blocks[0][31]), 0xAB);
    pool_destroy(pool);
}

TEST_F(BlockPoolTest, FreedBlockIsHandedOutAgainAndFullChunkReopensOnFirstFree) {
    BlockPool* pool = pool_create(8, 4, 4, 0);
    void* a = pool_alloc(pool);
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
    pool_free(pool, a);
    pool_free(pool, b);
    pool_free(pool, c);
    pool_free(pool, d);
    EXPECT_EQ(pool->total_blocks, 0);
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
    EXPECT_EQ(first->shared_entry->pool, first);
    EXPECT_EQ(other_flags->locked, 1);
    pool_destroy(first);
    EXPECT_EQ(second->shared_entry->references, 1) << "still alive after one destroy";
    void* block = pool_alloc(second);
    EXPECT_NE(block, nullptr);
    pool_free(second, block);
    pool_destroy(second);
    BlockPool* fresh = pool_create(16, 16, 65536, Pool_Shared);
    ASSERT_NE(fresh->shared_entry, nullptr);
    EXPECT_EQ(fresh->shared_entry->references, 1) << "a new entry after the last reference went";
    pool_destroy(fresh);
    pool_destroy(other_size);
    pool_destroy(other_flags);
}

}  // namespace
