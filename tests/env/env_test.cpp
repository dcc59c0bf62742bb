// The platform every other test relies on: a process of the build's own
// architecture under the ANSI code page 1251, with Windows' dialog font and
// title-bar glyphs (scripts/wine-run.sh).
#include <windows.h>
#include <gtest/gtest.h>

TEST(Environment, AnsiCodePageIs1251AndThePrefixMatchesTheBuild) {
    EXPECT_EQ(GetACP(), 1251u) << "set LC_ALL=ru_RU.UTF-8 for the Wine process";
    // A 64-bit build runs in a 64-bit prefix alone; a 32-bit one must not run as WoW64.
    BOOL wow64 = FALSE;
    ASSERT_TRUE(IsWow64Process(GetCurrentProcess(), &wow64));
    EXPECT_FALSE(wow64) << "expected a prefix of the build's own architecture, not WoW64";
}

struct PickedFont {
    char face[LF_FACESIZE];
    TEXTMETRICA metrics;
};

PickedFont pick(HFONT font) {
    PickedFont picked{};
    HDC screen = GetDC(nullptr);
    HGDIOBJ previous = SelectObject(screen, font);
    GetTextFaceA(screen, sizeof picked.face, picked.face);
    GetTextMetricsA(screen, &picked.metrics);
    SelectObject(screen, previous);
    ReleaseDC(nullptr, screen);
    return picked;
}

TEST(Environment, GuiFontHasWindowsDialogMetricsAndMarlettDrawsTheTitleBarButtons) {
    // DEFAULT_GUI_FONT, the controls' font, is "MS Shell Dlg" 8 pt: on Windows
    // MS Sans Serif, 13 pixels high and 5 wide on average, for which the
    // program's layout is made; under code page 1251 its Cyrillic variant.
    PickedFont gui = pick(static_cast<HFONT>(GetStockObject(DEFAULT_GUI_FONT)));
    EXPECT_EQ(gui.metrics.tmHeight, 13) << "face " << gui.face;
    EXPECT_EQ(gui.metrics.tmAveCharWidth, 5) << "face " << gui.face;
    EXPECT_EQ(gui.metrics.tmCharSet, RUSSIAN_CHARSET) << "face " << gui.face;

    // The caption's minimise, maximise and close buttons are Marlett's glyphs
    // "0", "1" and "r"; without Marlett those letters are what shows.
    HFONT marlett = CreateFontA(-11, 0, 0, 0, FW_NORMAL, 0, 0, 0, SYMBOL_CHARSET, 0, 0, 0, 0, "Marlett");
    PickedFont picked = pick(marlett);
    DeleteObject(marlett);
    EXPECT_STREQ(picked.face, "Marlett");
}
