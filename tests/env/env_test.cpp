// The platform every other test relies on: a process of the build's own
// architecture under the ANSI code page 1251, with working private heaps.
#include <windows.h>
#include <gtest/gtest.h>
#include <cstring>

TEST(Environment, AnsiCodePageIs1251) {
    EXPECT_EQ(GetACP(), 1251u) << "set LC_ALL=ru_RU.UTF-8 for the Wine process";
}

TEST(Environment, PrefixMatchesTheBuild) {
    // A 32-bit build runs in a 32-bit prefix (not WoW64), a 64-bit build in a 64-bit one.
    BOOL wow64 = FALSE;
    ASSERT_TRUE(IsWow64Process(GetCurrentProcess(), &wow64));
    EXPECT_FALSE(wow64) << "expected a prefix of the build's own architecture, not WoW64";
    SYSTEM_INFO info;
    GetNativeSystemInfo(&info);
    EXPECT_EQ(info.wProcessorArchitecture,
              sizeof(void*) == 4 ? PROCESSOR_ARCHITECTURE_INTEL : PROCESSOR_ARCHITECTURE_AMD64);
}

TEST(Environment, CyrillicRoundTripsThroughCodePage) {
    // "Да" in Windows-1251.
    const char text[] = "\xC4\xE0";
    wchar_t wide[4] = {};
    ASSERT_EQ(MultiByteToWideChar(CP_ACP, 0, text, -1, wide, 4), 3);
    EXPECT_EQ(wide[0], 0x0414);
    EXPECT_EQ(wide[1], 0x0430);
}

TEST(Environment, PrivateHeapsWork) {
    HANDLE heap = HeapCreate(0, 4096, 0);
    ASSERT_NE(heap, nullptr);
    auto* block = static_cast<unsigned char*>(HeapAlloc(heap, HEAP_ZERO_MEMORY, 100));
    ASSERT_NE(block, nullptr);
    for (int i = 0; i < 100; ++i) ASSERT_EQ(block[i], 0) << "byte " << i;
    std::memset(block, 0x5A, 100);
    auto* grown = static_cast<unsigned char*>(HeapReAlloc(heap, 0, block, 20000));
    ASSERT_NE(grown, nullptr);
    EXPECT_EQ(grown[99], 0x5A);
    EXPECT_EQ(HeapSize(heap, 0, grown), 20000u);
    EXPECT_TRUE(HeapFree(heap, 0, grown));
    EXPECT_TRUE(HeapDestroy(heap));
}
