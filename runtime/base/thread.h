// Threads started by the runtime, numbered from 1 and never reused; finished
// ones are reaped when the next starts; run_once for one-time initialisation.
#pragma once
#include <windows.h>
#include <cstddef>
#include <cstdint>

#include "runtime/base/layout.h"

struct ThreadRecord {
    HANDLE handle;   // owned by the record
    int32_t number;
};
static_assert(offsetof(ThreadRecord, number) == Pointer_Bytes &&
              sizeof(ThreadRecord) == pointer_aligned(Pointer_Bytes + 4));
static_assert(Pointer_Bytes != 4 || sizeof(ThreadRecord) == 8);

using ThreadProcedure = DWORD(WINAPI*)(LPVOID parameter);
using OnceOperation = void (*)();

void thread_init();
// The new thread's number, or 0 when the system refuses to start it.
int32_t thread_create(ThreadProcedure procedure, LPVOID parameter);
// Closes every thread handle; running threads keep running.
void thread_close_all();
// Number of records in the thread list (for tests and diagnostics).
int32_t thread_record_count();

// Runs init exactly once for the flag, however many threads call; every
// caller returns after it has finished.
void run_once(volatile LONG* flag, OnceOperation init);
// The same with the system's one-time initialisation entry given (or null for
// the fallback); run_once looks the entry up and calls this.
using InitOnceExecuteOnceEntry = BOOL(WINAPI*)(void* once, BOOL(CALLBACK* callback)(void*, void*, void**),
                                               void* parameter, void** context);
void run_once_with(volatile LONG* flag, OnceOperation init, InitOnceExecuteOnceEntry entry);
