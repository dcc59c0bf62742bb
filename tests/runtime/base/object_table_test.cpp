#include <vector>

#include "base_fixture.h"
#include "runtime/base/object_table.h"

namespace {

// A kind whose records start with a non-zero "handle" so that they exist, and
// whose free operation records the numbers it is called with.
struct Thing {
    uintptr_t handle;  // records begin with a pointer-sized handle
    uint32_t payload;
};

ObjectTable* g_table = nullptr;
std::vector<ObjectNumber> g_freed;

void free_thing(ObjectNumber number) {
    g_freed.push_back(number);
    if (number == Object_Dynamic) {
        object_table_free_all(g_table);
        return;
    }
    if (object_table_lookup(g_table, number)) object_table_free(g_table, number);
}

Thing* make(ObjectNumber number, uint32_t payload = 7) {
    auto* thing = static_cast<Thing*>(object_table_allocate(g_table, number));
    if (thing) {
        thing->handle = 0x1000 + payload;
        thing->payload = payload;
    }
    return thing;
}

ObjectNumber number_of(Thing* dynamic) { return reinterpret_cast<ObjectNumber>(dynamic); }

class ObjectTableTest : public BaseRuntime {
protected:
    void SetUp() override {
        BaseRuntime::SetUp();
        g_freed.clear();
        g_table = object_table_create(sizeof(Thing), 16, free_thing);
        ASSERT_NE(g_table, nullptr);
    }
};

TEST_F(ObjectTableTest, GrowsByTheInitialCapacityPastTheNumber) {
    ASSERT_NE(make(15), nullptr);
    EXPECT_EQ(g_table->capacity, 16);
    ASSERT_NE(make(16), nullptr);
    EXPECT_EQ(g_table->capacity, 32);
    for (int i = 17; i < 32; ++i) EXPECT_EQ(g_table->slots[i], nullptr) << "slot " << i;
    EXPECT_NE(object_table_lookup(g_table, 15), nullptr) << "old slots survive the growth";
    ASSERT_NE(make(100), nullptr);
    EXPECT_EQ(g_table->capacity, 116);
}

// A static record stays in its slot: reused zeroed, after its old object was
// freed once; freed, it is absent but still there for the next allocation.
TEST_F(ObjectTableTest, AStaticRecordIsReusedZeroedAndStaysInItsSlotWhenFreed) {
    Thing* first = make(3, 42);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(object_table_allocate(g_table, 3), first);
    EXPECT_EQ(g_freed, (std::vector<ObjectNumber>{3}));
    EXPECT_EQ(first->handle, 0u);
    EXPECT_EQ(first->payload, 0u);
    make(3);
    object_table_free(g_table, 3);
    EXPECT_EQ(object_table_lookup(g_table, 3), nullptr);
    EXPECT_EQ(g_table->slots[3], first);
    EXPECT_EQ(make(3), first);
    EXPECT_EQ(object_table_lookup(g_table, 3), first);
}

// Numbers that are neither are refused without touching memory.
TEST_F(ObjectTableTest, DynamicNumbersAreRecordAddressesAndGarbageNumbersAreRefused) {
    Thing* a = make(Object_Dynamic, 1);
    Thing* b = make(Object_Dynamic, 2);
    ASSERT_TRUE(a && b);
    EXPECT_NE(a, b);
    EXPECT_GE(number_of(a), g_table->capacity);
    EXPECT_EQ(object_table_lookup(g_table, number_of(a)), a);
    EXPECT_EQ(object_table_lookup(g_table, number_of(b)), b);
    a->handle = 0;
    EXPECT_EQ(object_table_lookup(g_table, number_of(a)), nullptr) << "a zero first word is absent";

    ObjectNumber stale = number_of(make(Object_Dynamic));
    object_table_free(g_table, stale);
    const ObjectNumber garbage[] = {-2, INTPTR_MIN, 16, 5000, stale, number_of(b) + 4, 0x7FFFFFF0, INTPTR_MAX};
    for (ObjectNumber n : garbage) {
        EXPECT_EQ(object_table_lookup(g_table, n), nullptr) << n;
        object_table_free(g_table, n);  // must not write anywhere
    }
    EXPECT_EQ(object_table_allocate(g_table, -2), nullptr);
    EXPECT_EQ(object_table_allocate(g_table, 0x7FFFFFF0), nullptr) << "static numbers stay below 64 KiB";
    EXPECT_EQ(g_table->capacity, 16) << "refused numbers do not grow the table";
    EXPECT_EQ(object_table_lookup(g_table, number_of(b)), b) << "the live dynamic object is untouched";
}

TEST_F(ObjectTableTest, FreeAllVisitsStaticAscendingThenDynamicOldestFirst) {
    make(3);
    make(1);
    Thing* a = make(Object_Dynamic);
    Thing* b = make(Object_Dynamic);
    object_table_free_all(g_table);
    EXPECT_EQ(g_freed, (std::vector<ObjectNumber>{1, 3, number_of(a), number_of(b)}));
    for (ObjectNumber number : {1, 3}) EXPECT_EQ(object_table_lookup(g_table, number), nullptr) << number;
    EXPECT_EQ(g_table->dynamic_records, nullptr) << "each call released its dynamic record";
}

TEST_F(ObjectTableTest, RecordListLinksNewestFirstAndUnlinksAnywhere) {
    RecordLink* head = nullptr;
    void* a = record_list_alloc(&head, 8);
    void* b = record_list_alloc(&head, 8);
    void* c = record_list_alloc(&head, 8);
    ASSERT_TRUE(a && b && c);
    EXPECT_EQ(reinterpret_cast<void*>(head + 1), c);
    record_list_free(&head, b);  // middle
    EXPECT_EQ(head->next + 1, a);
    EXPECT_EQ(head->next->previous, head);
    record_list_free(&head, c);  // head
    EXPECT_EQ(reinterpret_cast<void*>(head + 1), a);
    EXPECT_EQ(head->previous, nullptr);
    record_list_free(&head, a);
    EXPECT_EQ(head, nullptr);
}

TEST_F(ObjectTableTest, ImageFreeDeletesBitmapsAndDestroysIcons) {
    image_table_init();
    auto* bitmap = static_cast<ImageRecord*>(object_table_allocate(image_table(), 0));
    bitmap->handle = CreateBitmap(4, 4, 1, 32, nullptr);
    auto* icon = static_cast<ImageRecord*>(object_table_allocate(image_table(), 1));
    icon->handle = CopyIcon(LoadIconA(nullptr, reinterpret_cast<LPCSTR>(IDI_APPLICATION)));
    HANDLE bitmap_handle = bitmap->handle;
    ASSERT_EQ(GetObjectType(bitmap_handle), static_cast<DWORD>(OBJ_BITMAP));
    image_free(Object_Dynamic);
    EXPECT_EQ(GetObjectType(bitmap_handle), 0u) << "the bitmap was deleted";
    for (ObjectNumber number : {0, 1}) EXPECT_EQ(object_table_lookup(image_table(), number), nullptr) << number;
}

}  // namespace
