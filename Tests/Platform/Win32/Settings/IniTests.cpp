#include "Platform.h"
#include "Platform/Win32/TempDirectory.h"

#include <gtest/gtest.h>

namespace {

std::wstring Read(const std::wstring& file, const wchar_t* section, const wchar_t* key,
                  const wchar_t* fallback = L"dflt", DWORD size = 260) {
    std::wstring buffer(size, L'#');
    const DWORD length =
        GetPrivateProfileStringW(section, key, fallback, buffer.data(), size, file.c_str());
    return buffer.substr(0, length);
}

} // namespace

TEST(GetPrivateProfileStringW, WindowsLookupRules) {
    TempDirectory dir;
    dir.Write("a.ini", "; comment\r\n"
                       "ignored=before any section\r\n"
                       "[Logger]\r\n"
                       "  MaxSeverity  =  warn  \r\n"
                       ";Path=commented\r\n"
                       "Quoted=\"  spaced  \"\r\n"
                       "Empty=\r\n"
                       "maxseverity=second\r\n"
                       "[ other ]\r\n"
                       "Key=x ; not a comment\r\n");
    const auto file = dir.Windows("a.ini");
    EXPECT_EQ(Read(file, L"LOGGER", L"maxSEVERITY"), L"warn");
    EXPECT_EQ(Read(file, L"Logger", L"Path"), L"dflt");
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(Read(file, L"Logger", L"Quoted"), L"  spaced  ");
    EXPECT_EQ(Read(file, L"Logger", L"Empty"), L"");
    EXPECT_EQ(Read(file, L"Other", L"Key"), L"x ; not a comment");
    EXPECT_EQ(Read(file, L"Missing", L"Key"), L"dflt");
    EXPECT_EQ(Read(file, L"Logger", L"ignored"), L"dflt");
}

TEST(GetPrivateProfileStringW, MissingFileGivesTheDefaultWithoutTrailingBlanks) {
    TempDirectory dir;
    EXPECT_EQ(Read(dir.Windows("none.ini"), L"General", L"Key", L"value  "), L"value");
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(Read(dir.Windows("none.ini"), L"General", L"Key", nullptr), L"");
}

TEST(GetPrivateProfileStringW, LongValueIsCutToTheBuffer) {
    TempDirectory dir;
    dir.Write("a.ini", "[General]\nKey=0123456789\n");
    EXPECT_EQ(Read(dir.Windows("a.ini"), L"General", L"Key", L"", 5), L"0123");
}

TEST(GetPrivateProfileStringW, ReadsUtf16WithByteOrderMark) {
    TempDirectory dir;
    const std::string text = "[S]\r\nK=\xC3\xA9t\xC3\xA9\r\n";
    std::string utf16 = "\xFF\xFE";
    const std::wstring wide = L"[S]\r\nK=\u00e9t\u00e9\r\n";
    for (wchar_t c : wide) {
        utf16 += static_cast<char>(c & 0xFF);
        utf16 += static_cast<char>(c >> 8);
    }
    dir.Write("u16.ini", utf16);
    dir.Write("u8.ini", text);
    EXPECT_EQ(Read(dir.Windows("u16.ini"), L"S", L"K"), L"\u00e9t\u00e9");
    EXPECT_EQ(Read(dir.Windows("u8.ini"), L"S", L"K"), L"\u00e9t\u00e9");
}

TEST(GetPrivateProfileStringW, NullKeyListsKeysAndNullSectionListsSections) {
    TempDirectory dir;
    dir.Write("a.ini", "[A]\nx=1\ny=2\n[B]\n");
    const auto file = dir.Windows("a.ini");
    EXPECT_EQ(Read(file, L"A", nullptr), std::wstring(L"x\0y\0", 4));
    EXPECT_EQ(Read(file, nullptr, nullptr), std::wstring(L"A\0B\0", 4));
}
