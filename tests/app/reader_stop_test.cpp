// The exit waits for the reader through a handle of the reader's own thread.
// When that handle cannot be made, the reader still runs: the exit must not
// take it for one that never started and free the heaps under it.
#include <atomic>
#include <thread>

#include "app/app_state.h"
#include "app/read_handover.h"
#include "runtime/base/base_fixture.h"

AppState app_state;

namespace {

std::atomic<DWORD> g_refused_thread{0};
std::atomic<int> g_refusals{0};

BOOL WINAPI refusing_duplicate(HANDLE source_process, HANDLE source, HANDLE target_process, LPHANDLE target,
                               DWORD access, BOOL inherit, DWORD options) {
    if (GetCurrentThreadId() == g_refused_thread) {
        ++g_refusals;
        SetLastError(ERROR_NO_SYSTEM_RESOURCES);  // as when the handle table is full
        return FALSE;
    }
    // Looked up on every call: a guarded static would take a lock, and taking a
    // lock may itself duplicate a thread handle (winpthreads).
    auto real = reinterpret_cast<decltype(&::DuplicateHandle)>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "DuplicateHandle")));
    return real(source_process, source, target_process, target, access, inherit, options);
}

}  // namespace

extern "C" {
void* refusing_duplicate_import __asm__(IMPORT_SYMBOL(DuplicateHandle, 28)) = reinterpret_cast<void*>(&refusing_duplicate);
}

namespace {

TEST(ReaderStop, AReaderWithoutAHandleOfItsThreadCannotBeStopped) {
    handover_init();
    HANDLE registered = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE release = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    std::atomic<bool> running{false};
    std::thread reader([&] {
        g_refused_thread = GetCurrentThreadId();
        running = handover_register_reader();
        SetEvent(registered);
        WaitForSingleObject(release, INFINITE);
    });
    ASSERT_EQ(WaitForSingleObject(registered, 5000), WAIT_OBJECT_0);
    EXPECT_EQ(g_refusals.load(), 1) << "the reader's thread handle was not refused";
    EXPECT_TRUE(running.load()) << "a reader is not refused for want of its handle";
    EXPECT_FALSE(handover_stop(200)) << "the exit took a running reader for one that never ran";
    SetEvent(release);
    reader.join();
    CloseHandle(registered);
    CloseHandle(release);
}

}  // namespace
