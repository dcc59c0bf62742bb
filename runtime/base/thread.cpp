#include "runtime/base/thread.h"

#include "runtime/base/memory.h"
#include "runtime/base/object_table.h"
#include "runtime/base/system_library.h"

namespace {
CRITICAL_SECTION g_thread_lock;
RecordLink* g_threads = nullptr;
// Counts up from zero, so that the program needs no initialised data section.
int32_t g_numbers_given = 0;
constexpr SIZE_T thread_stack_size = 4096;

ThreadRecord* record_at(RecordLink* link) { return reinterpret_cast<ThreadRecord*>(link + 1); }

void reap_finished() {
    RecordLink* link = g_threads;
    while (link) {
        RecordLink* older = link->next;
        ThreadRecord* record = record_at(link);
        if (WaitForSingleObject(record->handle, 0) == WAIT_OBJECT_0) {
            CloseHandle(record->handle);
            record_list_free(&g_threads, record);
        }
        link = older;
    }
}
}  // namespace

void thread_init() { InitializeCriticalSection(&g_thread_lock); }

int32_t thread_create(ThreadProcedure procedure, LPVOID parameter) {
    DWORD id = 0;
    HANDLE handle = CreateThread(nullptr, thread_stack_size, procedure, parameter, 0, &id);
    if (!handle) return 0;
    EnterCriticalSection(&g_thread_lock);
    reap_finished();
    int32_t number = ++g_numbers_given;
    auto* record = static_cast<ThreadRecord*>(record_list_alloc(&g_threads, sizeof(ThreadRecord)));
    if (record) {
        record->handle = handle;
        record->number = number;
    } else {
        CloseHandle(handle);  // the thread runs on; only its bookkeeping is lost
    }
    LeaveCriticalSection(&g_thread_lock);
    return number;
}

void thread_close_all() {
    EnterCriticalSection(&g_thread_lock);
    while (g_threads) {
        ThreadRecord* record = record_at(g_threads);
        CloseHandle(record->handle);
        record_list_free(&g_threads, record);
    }
    LeaveCriticalSection(&g_thread_lock);
}

int32_t thread_record_count() {
    EnterCriticalSection(&g_thread_lock);
    int32_t count = 0;
    for (RecordLink* link = g_threads; link; link = link->next) ++count;
    LeaveCriticalSection(&g_thread_lock);
    return count;
}

namespace {
constexpr LONG Once_NotRun = 0;
constexpr LONG Once_Running = 1;
constexpr LONG Once_Done = 2;

BOOL CALLBACK once_callback(void* /*once*/, void* parameter, void** context) {
    reinterpret_cast<OnceOperation>(parameter)();
    if (context) *context = reinterpret_cast<void*>(4);
    return TRUE;
}
}  // namespace

void run_once_with(volatile LONG* flag, OnceOperation init, InitOnceExecuteOnceEntry entry) {
    if (entry) {
        void* context = nullptr;
        entry(const_cast<LONG*>(flag), once_callback, reinterpret_cast<void*>(init), &context);
        return;
    }
    LONG old = InterlockedCompareExchange(flag, Once_Running, Once_NotRun);
    if (old == Once_NotRun) {
        init();
        InterlockedExchange(flag, Once_Done);
    } else if (old == Once_Running) {
        while (InterlockedCompareExchange(flag, Once_Done, Once_Done) != Once_Done) Sleep(0);
    }
}

void run_once(volatile LONG* flag, OnceOperation init) {
    // Windows XP has no one-time initialisation objects: bind by name.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wcast-function-type"
    auto entry = reinterpret_cast<InitOnceExecuteOnceEntry>(
        GetProcAddress(GetModuleHandleA(Library_Kernel), "InitOnceExecuteOnce"));
#pragma GCC diagnostic pop
    run_once_with(flag, init, entry);
}
