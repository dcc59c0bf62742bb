#include "runtime/base/memory.h"

namespace {
HANDLE g_main_heap = nullptr;
HANDLE g_memory_heap = nullptr;

constexpr DWORD heap_initial_size = 4096;
}  // namespace

void main_heap_set(HANDLE heap) { g_main_heap = heap; }

HANDLE main_heap() { return g_main_heap; }

void* main_heap_alloc(int32_t size) {
    if (!g_main_heap || size < 0) return nullptr;
    return HeapAlloc(g_main_heap, HEAP_ZERO_MEMORY, static_cast<SIZE_T>(size));
}

void* main_heap_realloc(void* block, int32_t size) {
    if (!g_main_heap || size < 0) return nullptr;
    if (!block) return main_heap_alloc(size);
    return HeapReAlloc(g_main_heap, HEAP_ZERO_MEMORY, block, static_cast<SIZE_T>(size));
}

void main_heap_free(void* block) {
    if (g_main_heap && block) HeapFree(g_main_heap, 0, block);
}

void memory_init() { g_memory_heap = HeapCreate(0, heap_initial_size, 0); }

void memory_shutdown() {
    if (g_memory_heap) HeapDestroy(g_memory_heap);
    g_memory_heap = nullptr;
}

HANDLE memory_heap() { return g_memory_heap; }

void* memory_alloc(int32_t size) {
    if (size <= 0 || !g_memory_heap) return nullptr;
    return HeapAlloc(g_memory_heap, HEAP_ZERO_MEMORY, static_cast<SIZE_T>(size));
}

void memory_free(void* block) {
    if (g_memory_heap && block) HeapFree(g_memory_heap, 0, block);
}
