// Brings up the heaps the base runtime draws on, and takes them down after
// each test, as the program's start-up and shut-down do.
#pragma once
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdio>
#include <string>

#include "runtime/base/memory.h"
#include "runtime/base/string_buffer.h"

// mingw calls a DLL's functions through __imp_ pointers; a test program that
// defines one takes the function's place for that program alone. On i686 the
// symbol carries the C prefix and the stdcall argument bytes; on x86-64 neither.
#if defined(__i386__)
#define IMPORT_SYMBOL(name, argument_bytes) "__imp__" #name "@" #argument_bytes
#else
#define IMPORT_SYMBOL(name, argument_bytes) "__imp_" #name
#endif

// The blocks in use in a heap, to see that what was taken went back.
inline int busy_blocks(HANDLE heap) {
    PROCESS_HEAP_ENTRY entry = {};
    int busy = 0;
    HeapLock(heap);
    while (HeapWalk(heap, &entry))
        if (entry.wFlags & PROCESS_HEAP_ENTRY_BUSY) ++busy;
    HeapUnlock(heap);
    return busy;
}

// What a repeated operation must give back: the process's handles and the
// blocks in use in the runtime's three heaps.
struct ResourceUse {
    DWORD handles;
    int main_blocks, memory_blocks, string_blocks;
};

// Wine's GetProcessHandleCount answers 0: the system's list of every open
// handle is asked instead, this process's counted.
inline DWORD process_handle_count() {
    struct Entry {
        ULONG process;
        BYTE type, flags;
        USHORT handle;
        void* object;
        ACCESS_MASK access;
    };
    using Query = LONG(WINAPI*)(int, void*, ULONG, ULONG*);
    auto query = reinterpret_cast<Query>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQuerySystemInformation")));
    constexpr int SystemHandleInformation = 16;
    constexpr LONG LengthMismatch = static_cast<LONG>(0xC0000004);
    std::string table(1 << 20, '\0');
    ULONG needed = 0;
    LONG status;
    while (query && (status = query(SystemHandleInformation, table.data(), static_cast<ULONG>(table.size()),
                                     &needed)) == LengthMismatch)
        table.resize(table.size() * 2);
    DWORD count = 0;
    if (!query || status != 0) {
        GetProcessHandleCount(GetCurrentProcess(), &count);
        return count;
    }
    ULONG entries = *reinterpret_cast<ULONG*>(table.data());
    auto* entry = reinterpret_cast<const Entry*>(table.data() + sizeof(void*));
    for (ULONG i = 0; i < entries; ++i) count += entry[i].process == GetCurrentProcessId();
    return count;
}

inline ResourceUse resource_use() {
    ResourceUse use = {};
    use.handles = process_handle_count();
    if (main_heap()) use.main_blocks = busy_blocks(main_heap());
    if (memory_heap()) use.memory_blocks = busy_blocks(memory_heap());
    if (string_heap()) use.string_blocks = busy_blocks(string_heap());
    return use;
}

inline std::string describe(const ResourceUse& use) {
    char text[128];
    snprintf(text, sizeof text, "%lu handles, heap blocks: main %d, memory %d, string %d",
             static_cast<unsigned long>(use.handles), use.main_blocks, use.memory_blocks, use.string_blocks);
    return text;
}

// After many rounds of an operation the use is back where it was, give or take
// slack (the system's own caches, a lazily made event): a leak of one a round
// shows as the number of rounds.
inline ::testing::AssertionResult resources_flat(const ResourceUse& before, const ResourceUse& after, int slack = 2) {
    auto within = [slack](long a, long b) { return b - a <= slack; };
    if (within(before.handles, after.handles) && within(before.main_blocks, after.main_blocks) &&
        within(before.memory_blocks, after.memory_blocks) && within(before.string_blocks, after.string_blocks))
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "before: " << describe(before) << "\n after: " << describe(after);
}

// Runs round once, so that whatever is made once is made, then rounds times:
// each must succeed, and the use must come back to where it was.
template <typename Round>
::testing::AssertionResult keeps_nothing(int rounds, Round round) {
    if (!round()) return ::testing::AssertionFailure() << "the first round failed";
    ResourceUse before = resource_use();
    int good = 0;
    for (int i = 0; i < rounds; ++i) good += round() ? 1 : 0;
    if (good != rounds) return ::testing::AssertionFailure() << good << " of " << rounds << " rounds succeeded";
    return resources_flat(before, resource_use());
}

// A heap of the test's own as the main heap, then the string and memory
// services on it; and down again in reverse order.
inline HANDLE base_runtime_start() {
    HANDLE heap = HeapCreate(0, 4096, 0);
    main_heap_set(heap);
    string_init_heap();
    memory_init();
    return heap;
}

inline void base_runtime_stop(HANDLE heap) {
    memory_shutdown();
    string_shutdown();
    main_heap_set(nullptr);
    HeapDestroy(heap);
}

class BaseRuntime : public ::testing::Test {
protected:
    void SetUp() override {
        heap_ = base_runtime_start();
        ASSERT_NE(heap_, nullptr);
    }
    void TearDown() override { base_runtime_stop(heap_); }
    HANDLE heap_ = nullptr;
};
