#include "Settings/DataDirectory.h"

#include "Platform/Win32/TempDirectory.h"
#include "Support/TestRegistry.h"

#include "ErrorHandling/ErrorHandling.h"

#include <gtest/gtest.h>

#include <cstdlib>

using namespace Settings;

TEST(DataDirectory, RootFromTheSetting) {
    EXPECT_EQ(DataDirectory(L"/mod/", std::nullopt, {}).Root(), L"/mod/");
    EXPECT_EQ(DataDirectory(L"/mod/", L"", {}).Root(), L"/mod/");
    EXPECT_EQ(DataDirectory(L"/mod/", L"Data", {}).Root(), L"/mod/Data\\");
    EXPECT_EQ(DataDirectory(L"/mod/", L"/srv/data/", {}).Root(), L"/srv/data/");
    EXPECT_EQ(DataDirectory(L"C:\\mod\\", L"D:\\x", {}).Root(), L"D:\\x\\");
    ::setenv("DD_TEST_BASE", "/base", 1);
    EXPECT_EQ(DataDirectory(L"/mod/", L"%DD_TEST_BASE%\\d", {}).Root(), L"/base\\d\\");
}

TEST(DataDirectory, OverridesRedirectTheLongestLeadingRun) {
    const DataDirectory data(L"/mod/", std::nullopt,
                             {{L"Logs", L"/var/log/halyard"}, {L"Logs\\Deep", L"/deep"}});
    EXPECT_EQ(data.ResolveDataPath(L"Logs\\x"), L"/var/log/halyard\\x");
    EXPECT_EQ(data.ResolveDataPath(L"Logs/Deep/a\\b"), L"/deep\\a\\b");
    EXPECT_EQ(data.ResolveDataPath(L"Logs\\"), L"/var/log/halyard\\");
    EXPECT_EQ(data.ResolveDataPath(L"Other\\x"), L"/mod/Other\\x");
    EXPECT_EQ(data.ResolveDataPath(L"/abs/x"), L"/abs/x");
}

TEST(DataDirectory, DefaultValueOverrideMovesTheRoot) {
    EXPECT_EQ(DataDirectory(L"/mod/", std::nullopt, {{L"", L"/newroot"}}).Root(), L"/newroot\\");
    // A relative default is resolved against the root found so far.
    EXPECT_EQ(DataDirectory(L"/mod/", L"base", {{L"\\", L"sub"}}).Root(), L"/mod/base\\sub\\");
}

TEST(DataDirectory, OverrideValuesFromTheRegistry) {
    const TestRegistry registry("Windows Registry Editor Version 5.00\r\n\r\n"
                                "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Halyard\\Dirs]\r\n"
                                "\"Logs\"=\"/var/log/h\"\r\n"
                                "\"Count\"=dword:00000001\r\n"
                                "[HKEY_LOCAL_MACHINE\\hklm\\SOFTWARE\\Halyard\\Dirs]\r\n"
                                "\"Odd\"=\"/odd\"\r\n"
                                "[HKEY_CURRENT_USER\\SOFTWARE\\Halyard\\Dirs]\r\n"
                                "\"User\"=\"/user\"\r\n");
    ASSERT_TRUE(registry.Ready());
    using Values = DataDirectory::OverrideValues;
    const Values machine{{L"Logs", L"/var/log/h"}};
    EXPECT_EQ(DataDirectory::ReadOverrideValues(L"SOFTWARE\\Halyard\\Dirs"), machine);
    EXPECT_EQ(DataDirectory::ReadOverrideValues(L"HKLM\\SOFTWARE\\Halyard\\Dirs"), machine);
    EXPECT_EQ(DataDirectory::ReadOverrideValues(L"HKEY_LOCAL_MACHINE/SOFTWARE\\Halyard\\Dirs"),
              machine);
    EXPECT_EQ(DataDirectory::ReadOverrideValues(L"HKCU\\SOFTWARE\\Halyard\\Dirs"),
              (Values{{L"User", L"/user"}}));
    // A root name in lower case is no root name: the whole text is a subkey of HKLM.
    EXPECT_EQ(DataDirectory::ReadOverrideValues(L"hklm\\SOFTWARE\\Halyard\\Dirs"),
              (Values{{L"Odd", L"/odd"}}));
    EXPECT_TRUE(DataDirectory::ReadOverrideValues(L"SOFTWARE\\Missing").empty());
    EXPECT_TRUE(DataDirectory::ReadOverrideValues(L"").empty());
}

TEST(CreateDirectories, CreatesEveryMissingLevel) {
    TempDirectory dir;
    const std::wstring path = dir.Windows("a\\b\\c");
    CreateDirectories(path, nullptr, false);
    EXPECT_EQ(GetFileAttributesW(path.c_str()), FILE_ATTRIBUTE_DIRECTORY);
    CreateDirectories(path + L"\\", nullptr, false); // existing: nothing to do
}

TEST(CreateDirectories, FailureThrowsUnlessIgnored) {
    TempDirectory dir;
    dir.Write("file", "x");
    // "file" is a file, so nothing can be created below it.
    const std::wstring below = dir.Windows("file\\sub\\x");
    EXPECT_THROW(CreateDirectories(below, nullptr, false), HRX);
    EXPECT_NO_THROW(CreateDirectories(below, nullptr, true));
}

TEST(JoinPath, EmptySecondPartAndCanonicalJoin) {
    EXPECT_EQ(JoinPath(L"/a/", L""), L"/a/");
    EXPECT_EQ(JoinPath(L"C:\\a", L"b"), L"C:\\a\\b");
    EXPECT_THROW(JoinPath(L"C:\\a", std::wstring(400, L'x')), HRX);
}
