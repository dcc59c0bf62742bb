#include <atomic>
#include <thread>
#include <vector>

#include "base_fixture.h"
#include "runtime/base/thread.h"

namespace {

std::atomic<DWORD> g_quick_id{0};
DWORD WINAPI quick(LPVOID) {
    g_quick_id = GetCurrentThreadId();
    return 0;
}

HANDLE g_release = nullptr;
DWORD WINAPI waits(LPVOID) {
    WaitForSingleObject(g_release, INFINITE);
    return 0;
}

DWORD WINAPI ticker(LPVOID p) {
    auto* c = static_cast<std::atomic<int>*>(p);
    for (int i = 0; i < 50; ++i) {
        c->fetch_add(1);
        Sleep(5);
    }
    return 0;
}

class ThreadTest : public BaseRuntime {
protected:
    // The thread lock is process-wide: initialising it again while it is in
    // use would corrupt it, as the program's one start-up never does.
    static void SetUpTestSuite() { thread_init(); }
    void TearDown() override {
        thread_close_all();
        BaseRuntime::TearDown();
    }
};

// Thread numbers are process-wide and only grow, so they are compared with
// the first one this test gets.
TEST_F(ThreadTest, NumbersGrowFinishedThreadsAreReapedAndCloseAllLeavesThreadsRunning) {
    g_release = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    g_quick_id = 0;  // a repeated run must not take the last run's thread for this one
    int32_t first = thread_create(quick, nullptr);
    ASSERT_GE(first, 1);
    // Until it has ended, the next create has nothing to reap.
    while (!g_quick_id.load()) Sleep(1);
    HANDLE ended = OpenThread(SYNCHRONIZE, FALSE, g_quick_id.load());
    ASSERT_NE(ended, nullptr);
    ASSERT_EQ(WaitForSingleObject(ended, 5000), WAIT_OBJECT_0);
    CloseHandle(ended);
    int32_t second = thread_create(waits, nullptr);
    EXPECT_EQ(second, first + 1) << "numbers are not reused after a thread ends";
    EXPECT_EQ(thread_record_count(), 1) << "the ended first thread was reaped";
    int32_t third = thread_create(waits, nullptr);
    EXPECT_EQ(third, first + 2);
    EXPECT_EQ(thread_record_count(), 2) << "running threads are kept";

    // A thread that is still running when its handle is closed goes on.
    std::atomic<int>* counter = new std::atomic<int>(0);
    EXPECT_EQ(thread_create(ticker, counter), first + 3);
    thread_close_all();
    EXPECT_EQ(thread_record_count(), 0);
    int before = counter->load();
    Sleep(100);
    EXPECT_GT(counter->load(), before) << "the thread kept running after thread_close_all";
    SetEvent(g_release);
}

std::atomic<int> g_init_runs{0};
std::atomic<int> g_init_done{0};
void slow_init() {
    g_init_runs.fetch_add(1);
    Sleep(50);
    g_init_done.store(1);
}

// Six threads at once: the init runs once, and every caller returns only
// after it has finished; a finished flag never runs it again.
void run_once_from_threads(const char* variant, void (*once)(volatile LONG*)) {
    g_init_runs = 0;
    g_init_done = 0;
    volatile LONG flag = 0;
    std::atomic<int> returned_after_init{0};
    std::atomic<bool> go{false};
    std::vector<std::thread> threads;
    for (int i = 0; i < 6; ++i)
        threads.emplace_back([&] {
            while (!go.load()) {
            }
            once(&flag);
            if (g_init_done.load()) returned_after_init.fetch_add(1);
        });
    go = true;
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(g_init_runs.load(), 1) << variant;
    EXPECT_EQ(returned_after_init.load(), 6) << variant;
    once(&flag);
    EXPECT_EQ(g_init_runs.load(), 1) << variant << ": a finished flag does not run the init again";
}

TEST_F(ThreadTest, RunOnceWithoutTheSystemEntryAndWithIt) {
    run_once_from_threads("fallback", [](volatile LONG* flag) { run_once_with(flag, slow_init, nullptr); });
    ASSERT_NE(GetProcAddress(GetModuleHandleA("kernel32.dll"), "InitOnceExecuteOnce"), nullptr)
        << "this Wine offers the entry";
    run_once_from_threads("system entry", [](volatile LONG* flag) { run_once(flag, slow_init); });
}

}  // namespace
