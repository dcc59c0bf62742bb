#include "runtime/base/hex_format.h"

#include "runtime/base/string_buffer.h"

void string_append_hex(int64_t value, int32_t position) {
    constexpr int32_t most_digits = 16;
    char* at = string_buffer_reserve(most_digits, position);
    uint64_t bits = static_cast<uint64_t>(value);
    int32_t written = 0;
    for (int shift = 60; shift >= 0; shift -= 4) {
        unsigned digit = static_cast<unsigned>((bits >> shift) & 0xF);
        if (digit == 0 && written == 0 && shift != 0) continue;
        at[written++] = static_cast<char>(digit < 10 ? '0' + digit : 'A' + digit - 10);
    }
    string_buffer_release(most_digits - written);
    at[written] = 0;
}

char* format_decimal(char* destination, intptr_t value) {
    // Digits of the magnitude, taken as unsigned so that INTPTR_MIN negates safely.
    uintptr_t magnitude = value < 0 ? 0 - static_cast<uintptr_t>(value) : static_cast<uintptr_t>(value);
    char digits[Decimal_MaxBytes];
    int32_t count = 0;
    do {
        digits[count++] = static_cast<char>('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude);
    char* at = destination;
    if (value < 0) *at++ = '-';
    while (count) *at++ = digits[--count];
    *at = 0;
    return at;
}
