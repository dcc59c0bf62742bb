// The platform every other test relies on: a process of the build's own
// architecture under the ANSI code page 1251.
#include <windows.h>
#include <gtest/gtest.h>

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
