#include <set>
#include <string>

#include "base_fixture.h"
#include "runtime/base/containers.h"

namespace {

using ContainersTest = BaseRuntime;

TEST_F(ContainersTest, NewArrayReleasesTheOwnersOldOneAndFreeClearsTheOwner) {
    void* owner = nullptr;
    int before = busy_blocks(main_heap());
    auto* first = static_cast<int32_t*>(array_alloc(4, 1000, 3, nullptr, &owner));
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(owner, first);
    EXPECT_EQ(first[0] | first[999], 0) << "new arrays are zeroed";
    EXPECT_EQ(busy_blocks(main_heap()), before + 1);
    void* second = array_alloc(4, 10, 3, nullptr, &owner);
    EXPECT_EQ(owner, second);
    EXPECT_EQ(busy_blocks(main_heap()), before + 1) << "the old block was released";
    void* copy_owner = nullptr;
    static_cast<int32_t*>(second)[9] = 99;
    auto* copy = static_cast<int32_t*>(array_copy(&copy_owner, second));
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(copy[9], 99);
    array_free(second);
    EXPECT_EQ(owner, nullptr);
    array_free(nullptr);
    EXPECT_EQ(array_alloc(4, -1, 3, nullptr, &owner), nullptr);
    EXPECT_EQ(array_alloc(0x40000000, 16, 3, nullptr, &owner), nullptr) << "size overflow is refused";
    EXPECT_EQ(owner, nullptr);
}

// The owner variable may hold the very array being copied: the copy must have
// read it before the variable lets it go.
TEST_F(ContainersTest, CopyIntoTheSourcesOwnVariable) {
    void* owner = nullptr;
    auto* source = static_cast<int32_t*>(array_alloc(4, 64, 3, nullptr, &owner));
    ASSERT_NE(source, nullptr);
    for (int i = 0; i < 64; ++i) source[i] = 1000 + i;
    int before = busy_blocks(main_heap());
    auto* copy = static_cast<int32_t*>(array_copy(&owner, source));
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(owner, copy);
    EXPECT_EQ(array_header(copy)->element_count, 64);
    for (int i = 0; i < 64; ++i) ASSERT_EQ(copy[i], 1000 + i) << "element " << i;
    EXPECT_EQ(busy_blocks(main_heap()), before) << "the source was released";
    array_free(copy);
    EXPECT_EQ(owner, nullptr);
}

class MapTest : public BaseRuntime {
protected:
    void SetUp() override {
        BaseRuntime::SetUp();
        map_ = map_create(8, 7, nullptr, &map_, 1024);
        ASSERT_NE(map_, nullptr);
    }
    void TearDown() override {
        map_free(map_);
        EXPECT_EQ(map_, nullptr) << "freeing clears the owner";
        BaseRuntime::TearDown();
    }
    int32_t* put(const char* key, int32_t value, bool reuse = false) {
        auto* element = static_cast<int32_t*>(map_insert(map_, key, reuse));
        if (element) element[0] = value;
        return element;
    }
    Map* map_ = nullptr;
};

TEST_F(MapTest, DuplicatesAreNewestFirstUnlessReused) {
    put("key", 1);
    put("key", 2);
    EXPECT_EQ(map_->element_count, 2);
    auto* found = static_cast<int32_t*>(map_find(map_, "key"));
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(found[0], 2);
    int32_t* reused = put("key", 0, true);
    EXPECT_EQ(reused, found) << "reuse hands back the stored element";
    EXPECT_EQ(map_->element_count, 2);
    EXPECT_EQ(map_find(map_, "Key"), nullptr) << "keys are case-sensitive";
    put(nullptr, 5);
    auto* empty = static_cast<int32_t*>(map_find(map_, ""));
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(empty[0], 5) << "a null key is the empty text";
}

TEST_F(MapTest, DeletingEveryElementWhileIteratingVisitsEachOnce) {
    // Colliding keys in a one-bucket map exercise chain deletion; the big map
    // exercises bucket heads.
    for (int buckets : {1, 1024}) {
        map_create(8, 7, nullptr, &map_, buckets);
        std::set<std::string> inserted;
        for (int i = 0; i < 50; ++i) {
            std::string key = "k" + std::to_string(i);
            put(key.c_str(), i);
            inserted.insert(key);
        }
        put("k7", 1000);  // a duplicate key: two elements
        std::multiset<std::string> visited;
        map_reset(map_);
        while (map_next(map_)) {
            visited.insert(map_current_key(map_));
            map_delete_current(map_);
        }
        EXPECT_EQ(visited.size(), 51u) << buckets << " buckets";
        EXPECT_EQ(visited.count("k7"), 2u);
        for (const auto& k : inserted) EXPECT_GE(visited.count(k), 1u) << k;
        EXPECT_EQ(map_->element_count, 0);
        EXPECT_EQ(map_next(map_), nullptr);
        map_reset(map_);
        EXPECT_EQ(map_next(map_), nullptr) << "the map is empty";
    }
}

// The owner variable may hold the very map being copied, as with arrays.
TEST_F(MapTest, CopyIntoTheSourcesOwnVariableThenClear) {
    for (int i = 0; i < 50; ++i) put(("key" + std::to_string(i)).c_str(), i);
    Map* copy = map_copy(&map_, map_);
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(map_, copy);
    EXPECT_EQ(copy->element_count, 50);
    for (int i = 0; i < 50; ++i) {
        auto* found = static_cast<int32_t*>(map_find(copy, ("key" + std::to_string(i)).c_str()));
        ASSERT_NE(found, nullptr) << "key" << i;
        EXPECT_EQ(found[0], i) << "key" << i;
    }
    map_clear(map_);
    EXPECT_EQ(map_->element_count, 0);
    EXPECT_EQ(map_find(map_, "key7"), nullptr);
}

}  // namespace
