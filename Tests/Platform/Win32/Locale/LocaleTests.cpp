#include "Platform.h"

#include <gtest/gtest.h>

namespace {

std::wstring Format(const wchar_t* value, UINT digits = 3, UINT negativeOrder = 1) {
    wchar_t decimal[] = L".";
    wchar_t thousand[] = L" ";
    const NUMBERFMTW format{digits, 1, 3, decimal, thousand, negativeOrder};
    wchar_t out[64];
    const int length = GetNumberFormatW(LOCALE_INVARIANT, 0, value, &format, out, 64);
    return length == 0 ? L"<failed>" : std::wstring(out);
}

} // namespace

TEST(GetNumberFormatW, GroupsWithBlanksAndKeepsThreeDecimals) {
    EXPECT_EQ(Format(L"0.999"), L"0.999");
    EXPECT_EQ(Format(L"1234567.890"), L"1 234 567.890");
    EXPECT_EQ(Format(L"1234.5"), L"1 234.500");
    EXPECT_EQ(Format(L"123"), L"123.000");
    EXPECT_EQ(Format(L".5"), L"0.500");
}

TEST(GetNumberFormatW, RoundsHalfUpAndFormatsNegatives) {
    EXPECT_EQ(Format(L"999.9995"), L"1 000.000");
    EXPECT_EQ(Format(L"-1234.5", 1), L"-1 234.5");
    EXPECT_EQ(Format(L"-1234.5", 1, 0), L"(1 234.5)");
    EXPECT_EQ(Format(L"-0.0001"), L"0.000");
}

TEST(GetNumberFormatW, BadValuesAndSmallBuffers) {
    EXPECT_EQ(Format(L"12a"), L"<failed>");
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(Format(L""), L"<failed>");
    wchar_t small[4];
    EXPECT_EQ(GetNumberFormatW(LOCALE_INVARIANT, 0, L"1234", nullptr, small, 4), 0);
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(GetNumberFormatW(LOCALE_INVARIANT, 0, L"1234", nullptr, nullptr, 0), 9); // "1,234.00"
}

TEST(VerifyVersionInfoW, VistaOrLaterHoldsAndAFutureVersionDoesNot) {
    // 6.0 with service pack 0 (the fields not named are zero).
    OSVERSIONINFOEXW info{.dwOSVersionInfoSize = sizeof(OSVERSIONINFOEXW), .dwMajorVersion = 6};
    ULONGLONG mask = 0;
    DWORD types = 0;
    for (const DWORD type : {VER_MAJORVERSION, VER_MINORVERSION, VER_SERVICEPACKMAJOR}) {
        mask = VerSetConditionMask(mask, type, VER_GREATER_EQUAL);
        types |= type;
    }
    EXPECT_TRUE(VerifyVersionInfoW(&info, types, mask));
    // 10.5 is newer than this system's 10.0, even though the minor numbers alone compare the
    // other way for 6.0.
    info.dwMajorVersion = 10;
    info.dwMinorVersion = 5;
    EXPECT_FALSE(VerifyVersionInfoW(&info, types, mask));
    EXPECT_EQ(GetLastError(), ERROR_OLD_WIN_VERSION);
    info.dwMajorVersion = 6;
    info.dwMinorVersion = 5;
    EXPECT_TRUE(VerifyVersionInfoW(&info, types, mask));
}
