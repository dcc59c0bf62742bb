// Brings up the heaps the base runtime draws on, and takes them down after
// each test, as the program's start-up and shut-down do.
#pragma once
#include <gtest/gtest.h>
#include <windows.h>

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
