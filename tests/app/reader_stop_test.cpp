// The exit waits for the reader through a handle of the reader's own thread.
// When that handle cannot be made, the reader still runs: the exit must not
// take it for one that never started and free the heaps under it.
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include <winternl.h>

#include "app/app_state.h"
#include "app/input_reader.h"
#include "app/read_handover.h"
#include "hid/hid_transfer.h"
#include "hid/pipe_device.h"
#include "runtime/base/base_fixture.h"

AppState app_state;

extern "C" NTSTATUS NTAPI LdrGetProcedureAddress(HMODULE module, ANSI_STRING* name, ULONG ordinal, void** address);

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

// XP has neither function that cancels another thread's read: the program
// must not need them, so this program never finds them.
FARPROC WINAPI xp_get_proc_address(HMODULE module, LPCSTR name) {
    bool by_name = reinterpret_cast<uintptr_t>(name) > 0xFFFF;
    if (by_name && (!std::strcmp(name, "CancelSynchronousIo") || !std::strcmp(name, "CancelIoEx"))) return nullptr;
    // GetProcAddress itself is this function here: the loader's own lookup stands in.
    void* address = nullptr;
    if (by_name) {
        ANSI_STRING entry = {static_cast<USHORT>(std::strlen(name)), static_cast<USHORT>(std::strlen(name) + 1),
                             const_cast<char*>(name)};
        LdrGetProcedureAddress(module, &entry, 0, &address);
    } else {
        LdrGetProcedureAddress(module, nullptr, static_cast<ULONG>(reinterpret_cast<uintptr_t>(name)), &address);
    }
    return reinterpret_cast<FARPROC>(address);
}

}  // namespace

extern "C" {
void* refusing_duplicate_import __asm__(IMPORT_SYMBOL(DuplicateHandle, 28)) = reinterpret_cast<void*>(&refusing_duplicate);
void* xp_get_proc_address_import __asm__(IMPORT_SYMBOL(GetProcAddress, 8)) = reinterpret_cast<void*>(&xp_get_proc_address);
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

namespace {

// A quiet device: its read never ends by itself. Without the functions XP
// lacks, a replace and the exit still end that read at once, instead of
// leaving the handle open after the replace's limit or giving up on the reader.
TEST(ReaderStop, AsOnXpAReplaceAndTheExitEndAQuietRead) {
    EXPECT_EXIT(
        {
            handover_init();
            HANDLE reading = CreateEventA(nullptr, FALSE, FALSE, nullptr);
            std::thread reader([&] {
                if (!handover_register_reader()) return;
                ReadTicket ticket{};
                while (handover_begin_read(&ticket)) {
                    if (!ticket.handle) {
                        Sleep(1);
                        continue;
                    }
                    SetEvent(reading);
                    uint8_t report[2] = {};
                    bool failed = hid_read_report(ticket.handle, report, ticket.length, ticket.wake) == 0;
                    handover_end_read(ticket, nullptr, failed);
                }
            });
            PipeDevice first;
            PipeDevice second;
            handover_replace(first.client);
            bool took_first = WaitForSingleObject(reading, 5000) == WAIT_OBJECT_0;
            DWORD start = GetTickCount();
            handover_replace(second.client);
            DWORD replace_ms = GetTickCount() - start;
            bool first_closed = !first.client_open();
            bool took_second = WaitForSingleObject(reading, 5000) == WAIT_OBJECT_0;
            start = GetTickCount();
            bool stopped = handover_stop(5000);
            DWORD stop_ms = GetTickCount() - start;
            // Stopping is for good: the device is the watch's to close, and no read begins again.
            bool left_open = second.client_open();
            ReadTicket ticket{};
            bool refused = !handover_begin_read(&ticket);
            std::fprintf(stderr, "replace %lu ms, replaced handle closed %d; stop %lu ms, reader ended %d, device "
                         "left open %d, later reads refused %d\n", replace_ms, first_closed, stop_ms, stopped,
                         left_open, refused);
            if (stopped) reader.join(); else reader.detach();
            std::exit(took_first && took_second && first_closed && stopped && left_open && refused ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

}  // namespace

namespace {

// The program's own reader, with no device: it sleeps until a handle is
// installed rather than looking every few milliseconds, so the exit must wake
// it, or it would wait for a handle for ever and the exit give up on it.
int run_idle_reader_and_stop() {
    handover_init();
    HANDLE reader = CreateThread(nullptr, 0, input_reader, nullptr, 0, nullptr);
    PipeDevice device;
    const uint8_t released[2] = {0, Button_Released};
    DWORD written = 0;
    // Installed while the reader waits: it must take it and read.
    Sleep(100);
    handover_replace(device.client);
    bool sent = WriteFile(device.server, released, 2, &written, nullptr);
    DWORD start = GetTickCount();
    while (device.pending_bytes(device.server) && GetTickCount() - start < 5000) Sleep(5);
    bool read = device.pending_bytes(device.server) == 0;
    handover_replace(nullptr);
    Sleep(100);
    bool stopped = handover_stop(5000);
    bool ended = WaitForSingleObject(reader, 5000) == WAIT_OBJECT_0;
    std::fprintf(stderr, "report sent %d, read %d; reader stopped %d, its thread ended %d\n", sent, read, stopped, ended);
    return sent && read && stopped && ended ? 0 : 1;
}

TEST(ReaderStop, AReaderWaitingForADeviceIsWokenByTheExit) {
    EXPECT_EXIT(std::exit(run_idle_reader_and_stop()), ::testing::ExitedWithCode(0), "");
}

}  // namespace
