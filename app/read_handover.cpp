#include "app/read_handover.h"

#include "app/app_state.h"  // the button field
#include "hid/hid_discovery.h"
#include "runtime/gadget/gadget.h"

namespace {

constexpr DWORD Replace_Limit = 2000;  // after this a handle still being read is left to the reader
constexpr DWORD Handover_NoEventPauseMs = 10;

struct Handover {
    CRITICAL_SECTION lock;
    HANDLE idle;           // manual-reset: set while no read is in progress
    HANDLE wake;           // manual-reset: ends the read in progress; cleared as each read begins
    HANDLE installed;      // manual-reset: set while there is a handle to read, and once stopping
    HANDLE current;        // the read handle, or null; replaced only by the GUI thread
    HANDLE reader_thread;  // to wait for the reader's end
    bool reader_running;   // registered, with or without a handle of its thread
    HANDLE reading;        // the handle of the read in progress, or null
    uint32_t generation;   // advanced whenever the read handle is replaced
    int32_t report_length; // of the current handle's device
    bool stopping;
    HANDLE orphan;         // replaced while its read would not end: the reader closes it
    bool lost;             // a read on the current handle failed since the watch last asked
};

Handover g_handover{};

// The reader may hold the lock while Windows carries its text change over to
// this thread; waiting here without serving sent messages would deadlock.
void serve_sent_messages() {
    MSG message;
    PeekMessageA(&message, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
}

void lock_serving() {
    while (!TryEnterCriticalSection(&g_handover.lock)) {
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 1, QS_SENDMESSAGE);
        serve_sent_messages();
    }
}

void unlock() { LeaveCriticalSection(&g_handover.lock); }

// Waits for an object while serving sent messages; true when it was signalled.
bool wait_serving(HANDLE object, DWORD limit_ms) {
    DWORD start = GetTickCount();
    for (;;) {
        DWORD elapsed = GetTickCount() - start;
        if (elapsed >= limit_ms) return WaitForSingleObject(object, 0) == WAIT_OBJECT_0;
        DWORD result = MsgWaitForMultipleObjects(1, &object, FALSE, limit_ms - elapsed, QS_SENDMESSAGE);
        if (result == WAIT_OBJECT_0) return true;
        serve_sent_messages();
    }
}

// Called with the lock held, and returns with it held, but lets it go while it
// waits: the reader needs it to end its read. Wakes the read in progress on
// handle and waits, up to the limit, until it has ended; true when none is in
// progress. The wake stays set until the next read begins, so the reader
// cannot miss it. Callers read the state anew after it returns.
bool end_read_on(HANDLE handle, DWORD limit_ms) {
    DWORD start = GetTickCount();
    while (handle && g_handover.reading == handle) {
        DWORD elapsed = GetTickCount() - start;
        if (elapsed >= limit_ms) return false;
        SetEvent(g_handover.wake);
        unlock();
        wait_serving(g_handover.idle, limit_ms - elapsed);
        lock_serving();
    }
    return true;
}

}  // namespace

void handover_init() {
    // Again after a stop (a test's next program run): a fresh hand-over, with
    // what the last one made given back.
    if (g_handover.idle) {
        DeleteCriticalSection(&g_handover.lock);
        const HANDLE made[] = {g_handover.idle, g_handover.wake, g_handover.installed, g_handover.reader_thread};
        for (HANDLE handle : made)
            if (handle) CloseHandle(handle);
    }
    g_handover = Handover{};
    InitializeCriticalSection(&g_handover.lock);
    g_handover.idle = CreateEventA(nullptr, TRUE, TRUE, nullptr);
    g_handover.wake = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    g_handover.installed = CreateEventA(nullptr, TRUE, FALSE, nullptr);
}

bool handover_register_reader() {
    HANDLE thread = nullptr;
    if (!DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &thread,
                         THREAD_TERMINATE | SYNCHRONIZE, FALSE, 0))
        thread = nullptr;
    EnterCriticalSection(&g_handover.lock);
    // A reader that starts only after the exit has begun must not touch the
    // heaps, which may be gone by now.
    bool running = !g_handover.stopping;
    if (running) {
        g_handover.reader_thread = thread;
        g_handover.reader_running = true;
    }
    LeaveCriticalSection(&g_handover.lock);
    if (!running && thread) CloseHandle(thread);
    return running;
}

bool handover_begin_read(ReadTicket* ticket) {
    EnterCriticalSection(&g_handover.lock);
    if (g_handover.stopping) {
        LeaveCriticalSection(&g_handover.lock);
        return false;
    }
    ticket->handle = g_handover.current;
    ticket->generation = g_handover.generation;
    ticket->length = g_handover.report_length;
    ticket->wake = g_handover.wake;
    if (ticket->handle) {
        g_handover.reading = ticket->handle;
        ResetEvent(g_handover.idle);
        // A wake meant for a read that ended by itself.
        ResetEvent(g_handover.wake);
    }
    LeaveCriticalSection(&g_handover.lock);
    return true;
}

void handover_end_read(const ReadTicket& ticket, const char* text, bool failed) {
    EnterCriticalSection(&g_handover.lock);
    if (ticket.handle) {
        g_handover.reading = nullptr;
        SetEvent(g_handover.idle);
    }
    if (ticket.handle && failed && ticket.generation == g_handover.generation) g_handover.lost = true;
    if (ticket.handle && ticket.handle == g_handover.orphan) {
        hid_close_device(g_handover.orphan);
        g_handover.orphan = nullptr;
    } else if (ticket.handle && text && ticket.generation == g_handover.generation && !g_handover.stopping) {
        // Under the lock, so that a watch pass that replaces the handle comes
        // after this text and its own texts win.
        gadget_set_text(Gadget_ButtonState, text);
    }
    LeaveCriticalSection(&g_handover.lock);
}

HANDLE handover_handle() { return g_handover.current; }

void handover_wait_for_handle() {
    // Without the event (it could not be made) the reader looks again after a pause.
    if (WaitForSingleObject(g_handover.installed, INFINITE) != WAIT_OBJECT_0) Sleep(Handover_NoEventPauseMs);
}

bool handover_take_lost() {
    lock_serving();
    bool lost = g_handover.lost;
    g_handover.lost = false;
    unlock();
    return lost;
}

void handover_replace(HANDLE read_handle, int32_t report_length) {
    lock_serving();
    ++g_handover.generation;
    g_handover.report_length = report_length;
    g_handover.lost = false;
    HANDLE old = g_handover.current;
    g_handover.current = read_handle;
    if (read_handle)
        SetEvent(g_handover.installed);
    else
        ResetEvent(g_handover.installed);
    if (old) {
        if (end_read_on(old, Replace_Limit))
            hid_close_device(old);
        else if (!g_handover.orphan)
            g_handover.orphan = old;  // the reader closes it when its read ends
    }
    unlock();
}

bool handover_stop(DWORD limit_ms) {
    DWORD start = GetTickCount();
    lock_serving();
    g_handover.stopping = true;
    ++g_handover.generation;
    SetEvent(g_handover.installed);
    bool idle = end_read_on(g_handover.reading, limit_ms);
    HANDLE thread = g_handover.reader_thread;
    bool running = g_handover.reader_running;
    unlock();
    if (!idle) return false;
    if (!running) return true;
    // Without its handle the reader's end cannot be waited for: it may still
    // be between two reads, using the heaps.
    if (!thread) return false;
    DWORD elapsed = GetTickCount() - start;
    return wait_serving(thread, elapsed < limit_ms ? limit_ms - elapsed : 0);
}
