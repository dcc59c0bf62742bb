#include <cstring>
#include <string>

#include "base_fixture.h"
#include "runtime/base/hex_format.h"

namespace {

std::string at(int32_t position) { return std::string(string_buffer.buffer + position); }

SIZE_T block_size(void* block) { return HeapSize(string_heap(), 0, block); }

using StringBufferTest = BaseRuntime;

TEST_F(StringBufferTest, GrowsOnlyWhenTheTextReachesFourBytesShortOfCapacity) {
    EXPECT_EQ(string_buffer.capacity, 16);
    string_append("12345678901");  // 11 bytes
    EXPECT_EQ(string_buffer.capacity, 16);
    EXPECT_EQ(string_buffer.length, 11);
    string_buffer.length = 0;
    string_append("123456789012");  // 12 bytes
    EXPECT_EQ(string_buffer.capacity, 16396);
    EXPECT_EQ(block_size(string_buffer.buffer), 16401u);
    EXPECT_EQ(at(0), "123456789012");
    string_append(nullptr);
    EXPECT_EQ(string_buffer.length, 12) << "a null text appends nothing";
}

TEST_F(StringBufferTest, AppendingATextOfTheBufferItselfSurvivesGrowth) {
    string_append("seed");
    int32_t copy_at = string_buffer.length;
    std::string big(20000, 'x');
    string_append(big.c_str());
    // A block just behind the buffer, so that it cannot grow where it lies: it
    // moves, and the heap takes the start of the block it leaves for its own
    // bookkeeping, so a copy from the old address would not read "seed".
    char* behind = nullptr;
    string_assign(&behind, "behind");
    const char* before = string_buffer.buffer;
    string_append(string_buffer.buffer);  // "seed" + big, from inside the buffer
    EXPECT_NE(string_buffer.buffer, before) << "the buffer grew in place: the case was not made";
    EXPECT_EQ(at(copy_at + 20000), "seed" + big);
    string_assign(&behind, nullptr);
}

TEST_F(StringBufferTest, StoreMovesTheTextIntoAVariableAndResetsLength) {
    string_buffer.length = 10;
    string_append("abc");
    char* variable = nullptr;
    string_store(&variable, 10);
    ASSERT_NE(variable, nullptr);
    EXPECT_STREQ(variable, "abc");
    EXPECT_EQ(block_size(variable), 8u);
    EXPECT_EQ(string_buffer.length, 10);
    string_free(variable);
}

TEST_F(StringBufferTest, AssignGivesLengthPlusFiveAndNullReleases) {
    char* variable = nullptr;
    string_assign(&variable, "");
    ASSERT_NE(variable, nullptr);
    EXPECT_EQ(block_size(variable), 5u);
    EXPECT_EQ(variable[0], 0);
    string_assign(&variable, "hello");
    EXPECT_STREQ(variable, "hello");
    EXPECT_EQ(block_size(variable), 10u);
    string_assign(&variable, variable + 1);  // a text from its own block
    EXPECT_STREQ(variable, "ello");
    string_assign(&variable, nullptr);
    EXPECT_EQ(variable, nullptr);
    string_free(nullptr);
}

// Counts: -1 up to the NUL, a larger count stops at the NUL too (the unused
// reservation given back), one below -1 is 0. UTF-16 goes through the ANSI
// code page 1251, whose replacement stands for what it lacks, and whose
// nearest letter for an accented Latin one it lacks ("Müller" reads "Muller").
TEST_F(StringBufferTest, ConvertsEachFormatUpToItsNulOrCount) {
    static const wchar_t ab[] = L"Ab", russian[] = {0x0414, 0x0430, 0x4E2D, 0};  // "Да" and a CJK character
    const struct {
        const void* input;
        int32_t count, format;
        const char* output;
    } cases[] = {{ab, -1, StringFormat_Utf16, "Ab"},         {russian, -1, StringFormat_Utf16, "\xC4\xE0?"},
                 {ab, 1, StringFormat_Utf16, "A"},           {"abcdef", 3, 0, "abc"},
                 {"ab", 10, 0, "ab"},                        {"x", -5, 0, ""},
                 {"caf\xC3\xA9!", -1, StringFormat_Utf8, "caf\xE9!"}, {L"M\x00FCller", -1, StringFormat_Utf16, "Muller"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.output);
        int32_t start = string_buffer.length;
        string_from_memory_format(c.input, c.count, c.format, start);
        EXPECT_EQ(at(start), c.output);
        EXPECT_EQ(string_buffer.length, start + static_cast<int32_t>(std::strlen(c.output)));
    }
}

TEST_F(StringBufferTest, Utf8DecodingTable) {
    const struct {
        const char* name;
        std::string input;
        std::string output;
    } cases[] = {
        {"two-byte below 256", "\xC3\xA9", "\xE9"},
        {"two-byte above 255", "\xD0\x96", "?"},
        {"the last of Latin-1 and the first past it", "\xC3\xBF\xC4\x80", "\xFF?"},
        {"three-byte", "\xE2\x82\xAC", "?"},
        {"four-byte", "\xF0\x9F\x98\x80", "?"},
        {"lone continuation", "\x80", ""},
        {"lead without continuation", "\xC3" "A", "?A"},
        {"lead at the end", "A\xC3", "A"},
        {"invalid lead", "\xF8\x80", ""},
        {"three-byte lead cut short", "\xE2\x82", ""},
        {"three-byte, one continuation", "\xE2\x82" "A", "?A"},
        {"ascii", "plain", "plain"},
    };
    for (const auto& c : cases) {
        unsigned char out[16] = {};
        int32_t n = utf8_to_latin1(reinterpret_cast<const unsigned char*>(c.input.data()),
                                   static_cast<int32_t>(c.input.size()), out);
        EXPECT_EQ(std::string(reinterpret_cast<char*>(out), n), c.output) << c.name;
    }
}

// Each case lands where the last one's text stood: a missing NUL shows as
// that text's tail.
TEST_F(StringBufferTest, HexadecimalDigits) {
    const struct {
        int64_t value;
        const char* digits;
    } cases[] = {{0, "0"},     {1, "1"}, {0x1234, "1234"}, {0x1000, "1000"},
                 {0xAF, "AF"}, {-1, "FFFFFFFFFFFFFFFF"},
                 {INT64_MIN, "8000000000000000"}};
    for (const auto& c : cases) {
        int32_t start = string_buffer.length;
        string_append_hex(c.value, start);
        EXPECT_EQ(at(start), c.digits) << c.value;
        EXPECT_EQ(string_buffer.length, start + static_cast<int32_t>(std::strlen(c.digits)));
        string_buffer.length = start;
    }
}

// Object numbers are pointer-sized: the extremes of that size must come out
// whole, the most negative one without overflowing its negation, and the
// longest must fit the documented room.
TEST(FormatDecimal, PointerSizedValues) {
    constexpr bool wide = sizeof(intptr_t) == 8;
    const struct {
        intptr_t value;
        const char* digits;
    } cases[] = {{0, "0"}, {7, "7"}, {-7, "-7"}, {1000, "1000"}, {-2147483647 - 1, "-2147483648"},
                 {INTPTR_MAX, wide ? "9223372036854775807" : "2147483647"},
                 {INTPTR_MIN, wide ? "-9223372036854775808" : "-2147483648"}};
    for (const auto& c : cases) {
        char text[Decimal_MaxBytes + 1];
        std::memset(text, 'x', sizeof text);
        char* end = format_decimal(text, c.value);
        EXPECT_STREQ(text, c.digits) << c.value;
        EXPECT_EQ(end - text, static_cast<ptrdiff_t>(std::strlen(c.digits))) << c.value;
        EXPECT_EQ(text[Decimal_MaxBytes], 'x') << "wrote past the room for " << c.value;
    }
}

}  // namespace
