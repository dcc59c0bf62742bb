// Upper-case hexadecimal digits of a 64-bit value, appended to the StringBuffer.
#pragma once
#include <cstdint>

// Writes the digits at position (no prefix, no leading zeros, "0" for zero);
// afterwards length stands after the last digit, on its NUL.
void string_append_hex(int64_t value, int32_t position);
