// The exit waits for the reader through a handle of the reader's own thread.
// When that handle cannot be made, the reader still runs: the exit must not
// take it for one that never started and free the heaps under it.
#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <thread>

#include "app/app_state.h"
#include "app/read_handover.h"

AppState app_state;

namespace {

std::atomic<DWORD> g_refused_thread{0};
std::atomic<int> g_refusals{0};

using DuplicateHandleEntry = decltype(&::DuplicateHandle);

BOOL WINAPI refusing_duplicate(HANDLE source_process, HANDLE source, HANDLE target_process, LPHANDLE target,
                               DWORD access, BOOL inherit, DWORD options) {
    if (GetCurrentThreadId() == g_refused_thread) {
        ++g_refusals;
        SetLastError(ERROR_NO_SYSTEM_RESOURCES);  // as when the handle table is full
        return FALSE;
    }
    // Looked up on every call: a guarded static would take a lock, and taking a
    // lock may itself duplicate a thread handle (winpthreads).
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wcast-function-type"
    auto real = reinterpret_cast<DuplicateHandleEntry>(
        GetProcAddress(GetModuleHandleA("kernel32.dll"), "DuplicateHandle"));
#pragma GCC diagnostic pop
    return real(source_process, source, target_process, target, access, inherit, options);
}

}  // namespace

// mingw calls kernel32 through __imp_ pointers; this one takes DuplicateHandle's
// place for this program (stdcall-decorated on i686).
#if defined(__i386__)
#define DUPLICATE_HANDLE_IMPORT "__imp__DuplicateHandle@28"
#else
#define DUPLICATE_HANDLE_IMPORT "__imp_DuplicateHandle"
#endif
extern "C" {
void* refusing_duplicate_import __asm__(DUPLICATE_HANDLE_IMPORT) = reinterpret_cast<void*>(&refusing_duplicate);
}

namespace {

TEST(ReaderStop, AReaderWithoutAHandleOfItsThreadCannotBeStopped) {
    handover_init();
    HANDLE registered = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE release = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    std::atomic<bool> running{false};
    // Plays the reader: registers, then stays in its loop until released.
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
