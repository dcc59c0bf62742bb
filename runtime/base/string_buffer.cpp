#include "runtime/base/string_buffer.h"

#include <windows.h>
#include <cstring>
#include <cwchar>

StringBuffer string_buffer = {nullptr, 0, 0};

namespace {
HANDLE g_string_heap = nullptr;

constexpr int32_t initial_capacity = 16;
constexpr int32_t growth_margin = 16384;
constexpr int32_t block_slack = 5;
// What a text reads as when its wide block cannot be had.
constexpr wchar_t Wide_Empty[] = L"";

// Running out of memory while a text is being built leaves no sound way to go
// on: every caller writes straight into the reservation. End the process
// instead of writing past a block.
[[noreturn]] void out_of_memory() {
    FatalAppExitA(0, "Out of memory while building text.");
    ExitProcess(3);
}

bool inside_buffer(const char* p) {
    return p && string_buffer.buffer && p >= string_buffer.buffer &&
           p < string_buffer.buffer + string_buffer.capacity + block_slack;
}
}  // namespace

void* string_heap() { return g_string_heap; }

void string_init_heap() {
    g_string_heap = HeapCreate(0, 4096, 0);
    if (!g_string_heap) out_of_memory();
    string_buffer.buffer = static_cast<char*>(HeapAlloc(g_string_heap, 0, initial_capacity));
    if (!string_buffer.buffer) out_of_memory();
    string_buffer.buffer[0] = 0;
    string_buffer.length = 0;
    string_buffer.capacity = initial_capacity;
}

void string_shutdown() {
    if (g_string_heap) {
        if (string_buffer.buffer) HeapFree(g_string_heap, 0, string_buffer.buffer);
        HeapDestroy(g_string_heap);
    }
    g_string_heap = nullptr;
    string_buffer = {nullptr, 0, 0};
}

char* string_buffer_reserve(int32_t n, int32_t position) {
    if (n < 0) n = 0;
    if (position < 0) position = 0;
    // The growth test is made on the current length; a position beyond it
    // (never passed by the runtime itself) is covered too, so that no caller
    // can be handed room the block does not have.
    int32_t end = (position > string_buffer.length ? position : string_buffer.length) + n;
    if (end >= string_buffer.capacity - 4) {
        int32_t capacity = end + growth_margin;
        void* grown = HeapReAlloc(g_string_heap, 0, string_buffer.buffer, static_cast<SIZE_T>(capacity) + block_slack);
        if (!grown) out_of_memory();
        string_buffer.buffer = static_cast<char*>(grown);
        string_buffer.capacity = capacity;
    }
    string_buffer.length = position + n;
    return string_buffer.buffer + position;
}

void string_buffer_release(int32_t n) {
    string_buffer.length -= n;
    if (string_buffer.length < 0) string_buffer.length = 0;
}

void copy_text(char* destination, const char* source, int32_t n) {
    if (n > 0) std::memmove(destination, source, static_cast<size_t>(n));
    destination[n > 0 ? n : 0] = 0;
}

void string_from_memory(const char* address, int32_t position) {
    if (!address) {
        char* at = string_buffer_reserve(0, position);
        *at = 0;
        return;
    }
    // A text that lies in the buffer itself moves with it when it grows.
    bool own = inside_buffer(address);
    int32_t offset = own ? static_cast<int32_t>(address - string_buffer.buffer) : 0;
    int32_t n = static_cast<int32_t>(std::strlen(address));
    char* at = string_buffer_reserve(n, position);
    copy_text(at, own ? string_buffer.buffer + offset : address, n);
}

void string_append(const char* text) { string_from_memory(text, string_buffer.length); }

int32_t utf8_to_latin1(const unsigned char* in, int32_t length, unsigned char* out) {
    int32_t i = 0, o = 0;
    auto continuation = [&](int32_t at) { return at < length && (in[at] & 0xC0) == 0x80; };
    while (i < length) {
        unsigned char lead = in[i];
        int32_t left = length - i;
        if (lead < 0x80) {
            out[o++] = lead;
            i += 1;
        } else if ((lead & 0xE0) == 0xC0 && left >= 2) {
            if (continuation(i + 1)) {
                uint32_t code = (static_cast<uint32_t>(lead & 0x1F) << 6) | (in[i + 1] & 0x3F);
                out[o++] = code < 256 ? static_cast<unsigned char>(code) : '?';
                i += 2;
            } else {
                out[o++] = '?';
                i += 1;
            }
        } else if ((lead & 0xF0) == 0xE0 && left >= 3) {
            out[o++] = '?';
            i += 1;
            for (int k = 0; k < 2 && continuation(i); ++k) ++i;
        } else if ((lead & 0xF8) == 0xF0 && left >= 4) {
            out[o++] = '?';
            i += 1;
            for (int k = 0; k < 3 && continuation(i); ++k) ++i;
        } else {
            i += 1;  // stray continuation, invalid lead, or a sequence cut off by the end
        }
    }
    return o;
}

void string_from_memory_format(const void* address, int32_t count, int32_t format, int32_t position) {
    if (count < -1) count = 0;
    if (!address) count = 0;
    if (format == StringFormat_Utf16) {
        const wchar_t* wide = static_cast<const wchar_t*>(address);
        int32_t units = count;
        if (units == -1) units = static_cast<int32_t>(std::wcslen(wide));
        int32_t bytes = units > 0 ? WideCharToMultiByte(CP_ACP, 0, wide, units, nullptr, 0, nullptr, nullptr) : 0;
        char* at = string_buffer_reserve(bytes, position);
        if (bytes > 0) WideCharToMultiByte(CP_ACP, 0, wide, units, at, bytes + 1, nullptr, nullptr);
        at[bytes] = 0;
        return;
    }
    const char* bytes_in = static_cast<const char*>(address);
    int32_t n = 0;
    if (bytes_in) {
        if (count == -1) {
            n = static_cast<int32_t>(std::strlen(bytes_in));
        } else {
            while (n < count && bytes_in[n]) ++n;
        }
    }
    if (format == StringFormat_Utf8) {
        char* at = string_buffer_reserve(n, position);
        int32_t written = utf8_to_latin1(reinterpret_cast<const unsigned char*>(bytes_in), n,
                                         reinterpret_cast<unsigned char*>(at));
        at[written] = 0;
        string_buffer_release(n - written);
        return;
    }
    char* at = string_buffer_reserve(n, position);
    int32_t copied = 0;
    while (copied < n && bytes_in[copied]) {
        at[copied] = bytes_in[copied];
        ++copied;
    }
    at[copied] = 0;
    string_buffer_release(n - copied);
}

void string_store(char** variable, int32_t start) {
    int32_t n = string_buffer.length - start;
    if (n < 0) n = 0;
    char* block = static_cast<char*>(HeapAlloc(g_string_heap, 0, static_cast<SIZE_T>(n) + block_slack));
    if (!block) out_of_memory();
    copy_text(block, string_buffer.buffer + start, n);
    if (*variable) HeapFree(g_string_heap, 0, *variable);
    *variable = block;
    string_buffer.length = start;
    string_buffer.buffer[start] = 0;
}

void string_assign(char** variable, const char* text) {
    if (!text) {
        string_free(*variable);
        *variable = nullptr;
        return;
    }
    int32_t n = static_cast<int32_t>(std::strlen(text));
    // The new block is filled before the old one goes, so assigning a variable
    // a text that lies in its own block is safe.
    char* block = static_cast<char*>(HeapAlloc(g_string_heap, 0, static_cast<SIZE_T>(n) + block_slack));
    if (!block) out_of_memory();
    copy_text(block, text, n);
    if (*variable) HeapFree(g_string_heap, 0, *variable);
    *variable = block;
}

void string_free(char* block) {
    if (block && g_string_heap) HeapFree(g_string_heap, 0, block);
}

WideText::WideText(const char* text) {
    if (!text) text = "";
    // One unit per byte, the terminating NUL included: 1251 is a single-byte code page.
    int32_t units = lstrlenA(text) + 1;
    text_ = static_cast<wchar_t*>(HeapAlloc(g_string_heap, 0, units * sizeof(wchar_t)));
    if (text_)
        MultiByteToWideChar(CodePage_Texts, 0, text, units, text_, units);
    else
        text_ = const_cast<wchar_t*>(Wide_Empty);
}

WideText::~WideText() {
    if (text_ != Wide_Empty) HeapFree(g_string_heap, 0, text_);
}
