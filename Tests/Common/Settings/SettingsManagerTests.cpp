#include "Platform/Win32/TempDirectory.h"
#include "Settings/SettingsManager.h"

#include "ErrorHandling/ErrorHandling.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <map>

using namespace Settings;

namespace {

// A provider with fixed answers, counting its reads.
class FixedProvider final : public ISettingsProvider {
public:
    explicit FixedProvider(std::map<std::wstring, HRESULT> answers, int* reads = nullptr)
        : m_answers(std::move(answers)), m_reads(reads) {}
    HRESULT ReadString(const wchar_t*, const wchar_t* key, std::wstring& value) override {
        if (m_reads != nullptr) {
            ++*m_reads;
        }
        const auto it = m_answers.find(key);
        if (it == m_answers.end()) {
            return HR_NOT_FOUND;
        }
        value = L"from " + std::to_wstring(m_answers.size());
        return it->second;
    }

private:
    std::map<std::wstring, HRESULT> m_answers;
    int* m_reads;
};

} // namespace

TEST(SettingsManager, LastRegisteredProviderIsAskedFirst) {
    SettingsManager manager;
    manager.AddProvider(std::make_unique<FixedProvider>(
        std::map<std::wstring, HRESULT>{{L"Both", S_OK}, {L"First", S_OK}}));
    manager.AddProvider(std::make_unique<FixedProvider>(
        std::map<std::wstring, HRESULT>{{L"Both", S_OK}, {L"Abort", E_ABORT}, {L"Self", S_OK}}));
    std::wstring value;
    EXPECT_EQ(manager.GetSetting(nullptr, L"Both", value), S_OK);
    EXPECT_EQ(value, L"from 3");
    EXPECT_EQ(manager.GetSetting(nullptr, L"First", value), S_OK);
    EXPECT_EQ(value, L"from 2");
    value = L"unchanged";
    EXPECT_EQ(manager.GetSetting(nullptr, L"Abort", value), E_ABORT);
    EXPECT_EQ(manager.GetSetting(nullptr, L"None", value), HR_NOT_FOUND);
    EXPECT_EQ(value, L"unchanged");
}

TEST(SettingsManager, EnvironmentWinsOverIniAlsoWhenEmpty) {
    TempDirectory dir;
    dir.Write("GlobalSettings.ini", "[General]\nDataDirectoryPath=FromIni\n");
    SettingsManager manager;
    manager.AddProvider(std::make_unique<IniSettingsProvider>(
        std::vector<std::wstring>{dir.Windows("GlobalSettings.ini")}));
    manager.AddProvider(std::make_unique<EnvironmentSettingsProvider>());
    std::wstring value;
    ::unsetenv("GS_General_DataDirectoryPath");
    EXPECT_EQ(manager.GetSetting(nullptr, L"DataDirectoryPath", value), S_OK);
    EXPECT_EQ(value, L"FromIni");
    ::setenv("GS_General_DataDirectoryPath", "", 1);
    EXPECT_EQ(manager.GetSetting(L"General", L"DataDirectoryPath", value), S_OK);
    EXPECT_EQ(value, L"");
    ::unsetenv("GS_General_DataDirectoryPath");
}

TEST(SettingsManager, MalformedIntegerInTheEnvironmentFallsToTheIniFile) {
    TempDirectory dir;
    dir.Write("a.ini", "[Logger]\nKeepOpenInterval=010\nBad=7x\n");
    SettingsManager manager;
    manager.AddProvider(
        std::make_unique<IniSettingsProvider>(std::vector<std::wstring>{dir.Windows("a.ini")}));
    manager.AddProvider(std::make_unique<EnvironmentSettingsProvider>());
    ::setenv("GS_Logger_KeepOpenInterval", "soon", 1);
    uint32_t value = 99;
    EXPECT_EQ(manager.GetSettingInt(L"Logger", L"KeepOpenInterval", value), S_OK);
    EXPECT_EQ(value, 8u);
    value = 99;
    EXPECT_EQ(manager.GetSettingInt(L"Logger", L"Bad", value), HR_NOT_FOUND);
    EXPECT_EQ(value, 99u);
    ::unsetenv("GS_Logger_KeepOpenInterval");
}

TEST(SettingsSection, CachesValuesAndAbsenceUntilRefreshed) {
    int reads = 0;
    SettingsManager manager;
    manager.AddProvider(std::make_unique<FixedProvider>(
        std::map<std::wstring, HRESULT>{{L"Present", S_OK}}, &reads));
    SettingsSection section(L"Logger", 0, &manager);
    std::wstring value;
    EXPECT_TRUE(section.ReadString(L"Present", value));
    EXPECT_FALSE(section.ReadString(L"Absent", value));
    EXPECT_TRUE(section.ReadString(L"Present", value));
    EXPECT_FALSE(section.ReadString(L"Absent", value));
    EXPECT_EQ(reads, 2);
    // A text that is not a number is absent as an integer, still present as a text.
    EXPECT_EQ(section.ReadInt(L"Present", 5), 5u);
    EXPECT_TRUE(section.ReadString(L"Present", value));
    EXPECT_EQ(reads, 3);
    // Interval 0: never stale, only an unconditional refresh clears the caches.
    EXPECT_FALSE(section.Refresh(false));
    const uint32_t generation = section.Generation();
    EXPECT_TRUE(section.Refresh(true));
    EXPECT_EQ(section.Generation(), generation + 1);
    EXPECT_TRUE(section.ReadString(L"Present", value));
    EXPECT_EQ(reads, 4);
}

TEST(SettingsSection, WithAnIntervalTheFirstReadRefreshes) {
    SettingsManager manager;
    manager.AddProvider(std::make_unique<FixedProvider>(std::map<std::wstring, HRESULT>{}));
    SettingsSection section(L"Logger", 60000, &manager);
    EXPECT_EQ(section.Generation(), 0u);
    EXPECT_EQ(section.ReadInt(L"Anything", 42), 42u);
    EXPECT_EQ(section.Generation(), 1u);
    EXPECT_FALSE(section.Refresh(false)); // fresh for a minute
}
