#include "Platform/Win32/TempDirectory.h"
#include "Settings/SettingsManager.h"
#include "Settings/SettingsProviders.h"

#include "ErrorHandling/ErrorHandling.h"

#include <gtest/gtest.h>

#include <cstdlib>

using namespace Settings;

TEST(ParseUInt32, DetectsTheBaseAndRejectsTrailingText) {
    uint32_t value = 0;
    EXPECT_TRUE(ParseUInt32(L"0x10", value));
    EXPECT_EQ(value, 16u);
    EXPECT_TRUE(ParseUInt32(L"010", value));
    EXPECT_EQ(value, 8u);
    EXPECT_TRUE(ParseUInt32(L"4294967295", value));
    EXPECT_EQ(value, 0xFFFFFFFFu);
    value = 77;
    for (const wchar_t* bad : {L"", L"12abc", L"4294967296", L"-1", L"0x", L"08", L"1 2"}) {
        EXPECT_FALSE(ParseUInt32(bad, value)) << bad;
    }
    EXPECT_EQ(value, 77u);
}

TEST(EnvironmentSettingsProvider, NamesVariablesAfterSectionAndKeyAndTrims) {
    EnvironmentSettingsProvider provider;
    ::setenv("GS_Logger_MaxSeverity", "  warn \t", 1);
    ::setenv("GS_General_SetEmpty", "", 1);
    ::unsetenv("GS_General_Unset");
    std::wstring value = L"unchanged";
    EXPECT_EQ(provider.ReadString(L"Logger", L"MaxSeverity", value), S_OK);
    EXPECT_EQ(value, L"warn");
    EXPECT_EQ(provider.ReadString(nullptr, L"SetEmpty", value), S_OK);
    EXPECT_EQ(value, L"");
    value = L"unchanged";
    EXPECT_EQ(provider.ReadString(nullptr, L"Unset", value), HR_NOT_FOUND);
    EXPECT_EQ(value, L"unchanged");
    ::unsetenv("GS_Logger_MaxSeverity");
    ::unsetenv("GS_General_SetEmpty");
}

TEST(IniSettingsProvider, CandidateFilesOfAModuleInAnotherDirectory) {
    const auto files =
        IniSettingsProvider::CandidateFiles(L"/opt/host/bin/Host.exe", L"/opt/mods/Corvane.so");
    EXPECT_EQ(files, (std::vector<std::wstring>{
                         L"/opt/host/bin/Host.ini", L"/opt/host/bin/Corvane.ini",
                         L"/opt/host/bin/GlobalSettings.ini", L"/opt/mods/Corvane.ini",
                         L"/opt/mods/GlobalSettings.ini"}));
    EXPECT_EQ(IniSettingsProvider::CandidateFiles(L"C:\\h\\Host.exe", L"C:\\h\\Corvane.dll").size(),
              3u);
    EXPECT_EQ(IniSettingsProvider::CandidateFiles(L"/t/Tests", L"/t/Tests"),
              (std::vector<std::wstring>{L"/t/Tests.ini", L"/t/GlobalSettings.ini"}));
}

TEST(IniSettingsProvider, EmptyValueInTheFirstFileFallsThroughKeyByKey) {
    TempDirectory dir;
    dir.Write("Host.ini", "[Logger]\nPath=\nMaxSeverity=ERR\n");
    dir.Write("GlobalSettings.ini", "[Logger]\nPath=  D:\\Logs  \nMaxSeverity=DBG3\n");
    ::unsetenv("GLOBAL_SETTINGS_INI");
    IniSettingsProvider provider(
        {dir.Windows("Host.ini"), dir.Windows("Missing.ini"), dir.Windows("GlobalSettings.ini")});
    std::wstring value;
    EXPECT_EQ(provider.ReadString(L"Logger", L"Path", value), S_OK);
    EXPECT_EQ(value, L"D:\\Logs");
    EXPECT_EQ(provider.ReadString(L"logger", L"maxseverity", value), S_OK);
    EXPECT_EQ(value, L"ERR");
    EXPECT_EQ(provider.ReadString(L"Logger", L"Other", value), HR_NOT_FOUND);
}

TEST(IniSettingsProvider, FileNamedByTheEnvironmentIsReadFirst) {
    TempDirectory dir;
    dir.Write("named.ini", "[General]\nKey=named\n");
    dir.Write("candidate.ini", "[General]\nKey=candidate\nOnly=here\n");
    ::setenv("GLOBAL_SETTINGS_INI", (dir.Path() / "named.ini").c_str(), 1);
    IniSettingsProvider provider({dir.Windows("candidate.ini")});
    std::wstring value;
    EXPECT_EQ(provider.ReadString(nullptr, L"Key", value), S_OK);
    EXPECT_EQ(value, L"named");
    EXPECT_EQ(provider.ReadString(nullptr, L"Only", value), S_OK);
    EXPECT_EQ(value, L"here");
    ::unsetenv("GLOBAL_SETTINGS_INI");
}

TEST(IniSettingsProvider, ValuesLongerThanTheFirstBuffer) {
    TempDirectory dir;
    const std::string longValue(1000, 'v');
    dir.Write("a.ini", "[General]\nLong=" + longValue + "\n");
    IniSettingsProvider provider({dir.Windows("a.ini")});
    std::wstring value;
    EXPECT_EQ(provider.ReadString(nullptr, L"Long", value), S_OK);
    EXPECT_EQ(value, std::wstring(1000, L'v'));
}
