#include <gtest/gtest.h>

#include "util/text.h"

TEST(Text, FormatCutsAtTheLimitAndHandlesLongOutput) {
    std::wstring big(5000, L'x');
    EXPECT_EQ(text::Format(L"[%ls] %d", L"tag", -5), L"[tag] -5");
    EXPECT_EQ(text::Format(L"%ls", big.c_str()).size(), 5000u);
}

TEST(Text, Utf16LeRoundTripIncludingSupplementaryCharacters) {
    const std::wstring s = L"A\u00e9\u4e2d\U0001F600";
    const std::string bytes = text::ToUtf16Le(s);
    ASSERT_EQ(bytes.size(), 10u);  // 4 code points, the last one a surrogate pair
    EXPECT_EQ(static_cast<unsigned char>(bytes[0]), 0x41);
    EXPECT_EQ(static_cast<unsigned char>(bytes[1]), 0x00);
    EXPECT_EQ(static_cast<unsigned char>(bytes[6]), 0x3D);  // D83D
    EXPECT_EQ(static_cast<unsigned char>(bytes[7]), 0xD8);
    EXPECT_EQ(text::FromUtf16Le(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()), s);
    EXPECT_EQ(text::Widen(text::Narrow(s)), s);
}

TEST(Text, CaseFoldingTouchesOnlyAToZ) {
    EXPECT_TRUE(text::EqualsNoCase(L"QVManagerVESK.exe", L"qvmanagervesk.EXE"));
    EXPECT_FALSE(text::EqualsNoCase(L"\u00e9", L"\u00c9"));
    EXPECT_FALSE(text::EqualsNoCase(L"explorer", L"explorer.exe"));
}

TEST(Text, ReplaceAllReplacesEveryOccurrence) {
    std::wstring s = L"a.exe.exe.EXE";
    EXPECT_EQ(text::ReplaceAll(s, L".exe", L""), 2u);
    EXPECT_EQ(s, L"a.EXE");
}
