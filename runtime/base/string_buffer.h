// The process-wide StringBuffer in which every text is built by appending at
// its length, the string heap behind it, string variables (heap texts of
// length + 5 bytes), and the program's texts widened for Windows. Only one
// thread builds text at a time.
#pragma once
#include <cstddef>
#include <cstdint>

#include "runtime/base/layout.h"

struct StringBuffer {
    char* buffer;      // in the string heap; capacity + 5 bytes once grown
    int32_t length;    // where the next append writes; a NUL stands here
    int32_t capacity;  // logical size of buffer
};
static_assert(offsetof(StringBuffer, length) == Pointer_Bytes && offsetof(StringBuffer, capacity) == Pointer_Bytes + 4 &&
                  sizeof(StringBuffer) == pointer_aligned(Pointer_Bytes + 8),
              "a pointer and two counts: three 32-bit words on i686");
static_assert(Pointer_Bytes != 4 || sizeof(StringBuffer) == 12);

extern StringBuffer string_buffer;

enum StringFormat : int32_t {
    StringFormat_Utf8 = 2,
    StringFormat_Utf16 = 25,
};

void string_init_heap();
void string_shutdown();

// Grows the buffer when needed, sets length to position + n, returns buffer + position.
char* string_buffer_reserve(int32_t n, int32_t position);
void string_buffer_release(int32_t n);
void string_append(const char* text);
void copy_text(char* destination, const char* source, int32_t n);
void string_from_memory(const char* address, int32_t position);
void string_from_memory_format(const void* address, int32_t count, int32_t format, int32_t position);

// Decodes UTF-8 into one byte per character ("?" above 0xFF); returns the output length.
int32_t utf8_to_latin1(const unsigned char* input, int32_t input_length, unsigned char* output);

// String variables: null is the empty value.
void string_store(char** variable, int32_t start);
void string_assign(char** variable, const char* text);
void string_free(char* block);

// The string heap, for tests that look at block sizes.
void* string_heap();

// The program's texts are Windows-1251 bytes whatever the system's ANSI code
// page is, so Windows is handed them in UTF-16 through the W functions.
constexpr unsigned CodePage_Texts = 1251;

// A text widened from CodePage_Texts into a block of the string heap, for as
// long as the object lives, however long it is. A null text reads as "", and
// so does one whose block cannot be had.
class WideText {
public:
    explicit WideText(const char* text);
    ~WideText();
    WideText(const WideText&) = delete;
    WideText& operator=(const WideText&) = delete;
    operator const wchar_t*() const { return text_; }

private:
    wchar_t* text_;
};
