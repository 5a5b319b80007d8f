#include "Platform.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace {

std::wstring Expand(const wchar_t* text) {
    const DWORD needed = ExpandEnvironmentStringsW(text, nullptr, 0);
    std::wstring buffer(needed, L'\0');
    EXPECT_EQ(ExpandEnvironmentStringsW(text, buffer.data(), needed), needed);
    buffer.resize(needed - 1);
    return buffer;
}

} // namespace

TEST(GetEnvironmentVariableW, ValueEmptyAndMissing) {
    ::setenv("W32S_VALUE", "abc", 1);
    ::setenv("W32S_EMPTY", "", 1);
    ::unsetenv("W32S_MISSING");
    wchar_t buffer[8];
    EXPECT_EQ(GetEnvironmentVariableW(L"W32S_VALUE", buffer, 8), 3u);
    EXPECT_STREQ(buffer, L"abc");
    EXPECT_EQ(GetEnvironmentVariableW(L"W32S_VALUE", buffer, 3), 4u); // size needed
    SetLastError(ERROR_INVALID_DATA);
    EXPECT_EQ(GetEnvironmentVariableW(L"W32S_EMPTY", buffer, 8), 0u);
    EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
    EXPECT_EQ(GetEnvironmentVariableW(L"W32S_MISSING", buffer, 8), 0u);
    EXPECT_EQ(GetLastError(), ERROR_ENVVAR_NOT_FOUND);
}

TEST(ExpandEnvironmentStringsW, DefinedVariablesOnly) {
    ::setenv("W32S_DIR", "/data", 1);
    ::unsetenv("W32S_NONE");
    EXPECT_EQ(Expand(L"%W32S_DIR%\\Logs"), L"/data\\Logs");
    EXPECT_EQ(Expand(L"%W32S_NONE%\\x"), L"%W32S_NONE%\\x");
    EXPECT_EQ(Expand(L"%W32S_NONE%W32S_DIR%"), L"%W32S_NONE/data");
    EXPECT_EQ(Expand(L"100% sure"), L"100% sure");
    EXPECT_EQ(Expand(L"%%"), L"%%");
    wchar_t small[4];
    EXPECT_EQ(ExpandEnvironmentStringsW(L"%W32S_DIR%", small, 4), 6u);
}
