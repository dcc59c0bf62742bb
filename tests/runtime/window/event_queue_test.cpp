// The queue's contract: what is merged, what suppression drops, what the current
// event reports, purging, bindings, the cross-thread channel and a failing pool.
#include <atomic>
#include <thread>

#include "runtime/base/base_fixture.h"
#include "runtime/gui_fixture.h"

namespace {

class EventQueueTest : public GuiTest {};

TEST_F(EventQueueTest, IdenticalUnreadEventsMergeOnlyWhenAllFieldsMatchAndNeverWhenDeferred) {
    event_queue_add(Event_GadgetAction, 2, 0, 0);
    event_queue_add(Event_GadgetAction, 2, 0, 0);
    event_queue_add(Event_GadgetAction, 2, 0, 0x300);  // another notification of the same control
    event_queue_add(Event_GadgetAction, 3, 0, 0x300);
    event_queue_add(Event_GadgetAction, 2, 0, 0);      // equal to an earlier one, but not to the tail
    event_queue_add(70000, 1, 0, 0);
    event_queue_add(70000, 1, 0, 0);                   // codes from 65536 on are never merged
    EXPECT_TRUE(events_are(take_all(), {{Event_GadgetAction, 2, 0, 0},
                                        {Event_GadgetAction, 2, 0, 0x300},
                                        {Event_GadgetAction, 3, 0, 0x300},
                                        {Event_GadgetAction, 2, 0, 0},
                                        {70000, 1, 0, 0},
                                        {70000, 1, 0, 0}}));

    // A deferred post returns its record, an ordinary one none.
    EventRecord* first = event_queue_post(Event_TimerTick, 1, 0, 0, 0, nullptr, EventFlag_Deferred);
    EventRecord* second = event_queue_post(Event_TimerTick, 1, 0, 0, 0, nullptr, EventFlag_Deferred);
    ASSERT_TRUE(first && second);
    EXPECT_NE(first, second);
    EXPECT_EQ(event_queue_post(Event_TimerTick, 2, 0, 0, 0, nullptr, 0), nullptr);
    EXPECT_EQ(event_queue_length(), 3);
}

int g_released = 0;
intptr_t g_released_data = 0;
void count_release(intptr_t data) {
    ++g_released;
    g_released_data = data;
}

TEST_F(EventQueueTest, CurrentEventOutlivesAnEmptyTakeAndItsDataIsReleasedOnTheNext) {
    g_released = 0;
    event_queue_post(Event_GadgetAction, 42, 7, 3, 0x1234, count_release, 0);
    EXPECT_TRUE(events_are({current_event(event_queue_take())}, {{Event_GadgetAction, 42, 7, 3}}));
    EXPECT_EQ(event_data(), 0x1234);
    EXPECT_EQ(g_released, 0);

    // A pumped message keeps the last event's object and window.
    EXPECT_TRUE(events_are({current_event(event_queue_take())}, {{0, 42, 7, -1}}));
    EXPECT_EQ(g_released, 1);
    EXPECT_EQ(g_released_data, 0x1234);
    EXPECT_EQ(event_data(), 0);

    // Data without a release procedure stays with the current event.
    event_queue_post(Event_GadgetAction, 1, 0, 0, 99, nullptr, 0);
    event_queue_take();
    event_queue_take();
    EXPECT_EQ(event_data(), 99);
}

TEST_F(EventQueueTest, SuppressionDropsOrdinaryPostsButNotForcedOnesAndCountsOnManyThreads) {
    event_suppress_begin();
    event_suppress_begin();
    event_queue_add(Event_GadgetAction, 5, 0, 0x300);
    event_queue_post(Event_GadgetAction, 6, 0, 0, 0, nullptr, EventFlag_Force);
    event_suppress_end();
    event_queue_add(Event_GadgetAction, 7, 0, 0);  // still raised once
    event_suppress_end();
    event_queue_add(Event_GadgetAction, 8, 0, 0);
    EXPECT_TRUE(events_are(take_all(), {{Event_GadgetAction, 6}, {Event_GadgetAction, 8}}));
    EXPECT_EQ(event_suppression(), 0);

    // The counter loses no updates under contention.
    constexpr int threads = 4;
    constexpr int rounds = 200000;
    std::atomic<bool> go{false};
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t)
        workers.emplace_back([&] {
            while (!go.load()) {
            }
            for (int i = 0; i < rounds; ++i) {
                event_suppress_begin();
                event_suppress_end();
            }
        });
    go = true;
    for (std::thread& worker : workers) worker.join();
    EXPECT_EQ(event_suppression(), 0);
    event_queue_add(Event_GadgetAction, 1, 0, 0);
    EXPECT_EQ(event_queue_length(), 1) << "a counter left raised would drop every later event";
}

TEST_F(EventQueueTest, PurgeKeepsHeadAndTailRight) {
    event_queue_add(Event_GadgetAction, 5, 0, 1);
    event_queue_add(Event_TimerTick, 1, 0, 0);
    event_queue_add(Event_GadgetAction, 5, 1, 2);
    event_queue_add(Event_GadgetAction, 6, 0, 0);
    event_queue_add(Event_GadgetAction, 5, 0, 3);
    event_queue_purge(Event_GadgetAction, 5, -1, -1);  // head, middle and tail
    EXPECT_TRUE(events_are(take_all(), {{Event_TimerTick, 1}, {Event_GadgetAction, 6}}));

    event_queue_add(Event_WindowMoved, 0, 3, 0);
    event_queue_add(Event_WindowSized, 0, 3, 0);
    event_queue_purge_window(3);
    EXPECT_EQ(event_queue_length(), 0);
    // With every record gone the tail must be clear, or this post would link into a freed record.
    event_queue_add(Event_WindowSized, 0, 3, 0);
    event_queue_add(Event_WindowMoved, 0, 4, 0);
    EXPECT_TRUE(events_are(take_all(), {{Event_WindowSized, 0, 3}, {Event_WindowMoved, 0, 4}}));
}

std::vector<int> g_calls;
int32_t g_seen_object = 0;
template <int N>
void binding() {
    g_calls.push_back(N);
    g_seen_object = event_object();
}

TEST_F(EventQueueTest, BindingsRunForAllFiveKeysInOrderAndSeeThePostedEvent) {
    g_calls.clear();
    ASSERT_TRUE(event_bindings_add(Event_MenuCommand, 9, -1, 0, binding<5>));  // matches no lookup key
    ASSERT_TRUE(event_bindings_add(Event_MenuCommand, -1, 77, 1, binding<5>));
    ASSERT_TRUE(event_bindings_add(Event_MenuCommand, -1, -1, -1, binding<4>));
    ASSERT_TRUE(event_bindings_add(Event_MenuCommand, 9, -1, -1, binding<3>));
    ASSERT_TRUE(event_bindings_add(Event_MenuCommand, 9, 77, -1, binding<2>));
    ASSERT_TRUE(event_bindings_add(Event_MenuCommand, 9, 77, 1, binding<1>));
    event_queue_add(Event_GadgetAction, 1, 0, 0);
    event_queue_take();
    event_queue_add(Event_MenuCommand, 77, 9, 1);
    EXPECT_EQ(g_calls, (std::vector<int>{1, 2, 3, 4, 5}));
    EXPECT_EQ(g_seen_object, 77) << "bindings see the posted event";
    EXPECT_EQ(event_object(), 1) << "the current event is restored after the bindings";

    g_calls.clear();
    event_queue_add(Event_MenuCommand, 77, 9, 1);  // merged with the tail, the bindings still run
    EXPECT_EQ(g_calls.size(), 5u);
    EXPECT_EQ(event_queue_length(), 1);
    take_all();

    g_calls.clear();
    event_queue_post(Event_MenuCommand, 77, 9, 1, 0, nullptr, EventFlag_Deferred);
    EXPECT_TRUE(g_calls.empty()) << "deferred bindings wait for the take";
    event_queue_take();
    EXPECT_EQ(g_calls.size(), 5u);

    event_bindings_remove_window(9);
    event_bindings_remove_window(-1);
    g_calls.clear();
    event_queue_add(Event_MenuCommand, 77, 9, 1);
    EXPECT_TRUE(g_calls.empty());
}

TEST_F(EventQueueTest, EventsFromOtherThreadsArriveThroughThePostWindowDespiteSuppression) {
    int before = busy_blocks(main_heap());
    event_suppress_begin();
    bool posted = false;
    std::thread worker([&] { posted = event_post_from_thread(Event_MenuCommand, 31, 2, 4, 0); });
    worker.join();
    ASSERT_TRUE(posted);
    std::vector<SeenEvent> events = pump_events(50);
    event_suppress_end();
    EXPECT_TRUE(events_are(events, {{Event_MenuCommand, 31, 2, 4}}));
    EXPECT_EQ(busy_blocks(main_heap()), before) << "the handed-over record is freed";
}

TEST_F(EventQueueTest, ExhaustedPoolDropsThePostAndKeepsTheQueueIntact) {
    // New pool chunks come from the main heap: a small fixed heap runs out. The
    // queue starts empty, so every chunk drawn here also returns here.
    HANDLE normal = main_heap();
    HANDLE small = HeapCreate(0, 0, 16 * 1024);
    ASSERT_NE(small, nullptr);
    main_heap_set(small);
    int accepted = 0;
    for (int i = 0; i < 100000; ++i) {
        if (!event_queue_post(Event_GadgetAction, i, 0, 0, 0, nullptr, EventFlag_Deferred)) break;
        ++accepted;
    }
    ASSERT_GT(accepted, 15);
    ASSERT_LT(accepted, 100000) << "the small heap never ran out";
    event_queue_add(Event_GadgetAction, -5, 0, 0);  // also dropped, not linked anywhere
    int taken = 0;
    bool in_order = true;
    while (event_queue_take()) {
        if (event_object() != taken) in_order = false;
        ++taken;
    }
    main_heap_set(normal);
    HeapDestroy(small);
    EXPECT_EQ(taken, accepted);
    EXPECT_TRUE(in_order);
    event_queue_add(Event_GadgetAction, 1, 0, 0);
    EXPECT_EQ(event_queue_length(), 1);
}

}  // namespace

VEL_GUI_TEST_MAIN
