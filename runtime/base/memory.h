// The runtime's private heaps: the main heap (runtime records, created by the
// application and handed over here), the memory heap behind memory_alloc, and
// the allocation helpers every other runtime module uses.
#pragma once
#include <windows.h>
#include <cstdint>

// The main heap is created first and destroyed last by the application.
void main_heap_set(HANDLE heap);
HANDLE main_heap();

// Zero-filled block of the main heap, or null.
void* main_heap_alloc(int32_t size);
// Resizes a main-heap block (new bytes are zero), or null with the old block kept.
void* main_heap_realloc(void* block, int32_t size);
void main_heap_free(void* block);

void memory_init();
void memory_shutdown();

// Zero-filled block of the memory heap; null for a size of 0 or less or when
// memory is exhausted.
void* memory_alloc(int32_t size);
void memory_free(void* block);
// The memory heap, for tests that count what an operation leaves behind.
HANDLE memory_heap();
