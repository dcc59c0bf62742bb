// Number formatting: upper-case hexadecimal digits of a 64-bit value, appended
// to the StringBuffer, and signed decimals written into a caller's buffer.
#pragma once
#include <cstdint>

// Writes the digits at position (no prefix, no leading zeros, "0" for zero);
// afterwards length stands after the last digit, on its NUL.
void string_append_hex(int64_t value, int32_t position);

// Writes value in decimal ("-" first when negative) and a NUL at destination,
// which has room for Decimal_MaxBytes; returns the address of that NUL. For
// names built from object numbers, which are pointer-sized on x86-64 and so
// beyond what wsprintfA's "%d" takes. Pointer-sized rather than 64-bit: on
// i686 a 64-bit division would pull the compiler's division helpers into the
// program.
constexpr int32_t Decimal_MaxBytes = 21;  // "-9223372036854775808" and the NUL
char* format_decimal(char* destination, intptr_t value);
