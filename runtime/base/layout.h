// Arithmetic for the layout checks: runtime records mix 32-bit words with
// pointer-sized fields, so their offsets are stated in pointers and each build
// checks its own real layout (on i686 a pointer is one 32-bit word).
#pragma once
#include <cstddef>

constexpr size_t Pointer_Bytes = sizeof(void*);

// n bytes rounded up to the next pointer boundary, where the compiler places a
// pointer-sized field that follows them.
constexpr size_t pointer_aligned(size_t n) { return (n + Pointer_Bytes - 1) / Pointer_Bytes * Pointer_Bytes; }
