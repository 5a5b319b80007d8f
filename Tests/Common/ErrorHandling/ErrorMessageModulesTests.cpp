#include "ErrorHandling/ErrorMessageModules.h"

#include "Common/Logging/LogTestSupport.h"
#include "Logging/LogManager.h"
#include "Settings/ModulePaths.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace {

size_t Filled(const ErrorMessageModules::List& list) {
    size_t count = 0;
    while (count < list.size() && list[count] != nullptr) {
        ++count;
    }
    return count;
}

class ErrorMessageModulesLoading : public ::testing::Test {
protected:
    void SetUp() override {
        // The process's lists, built now with the default settings: the failure texts of the
        // loads below search them.
        ErrorMessageModules::Instance();
        ASSERT_TRUE(m_log.Registered());
    }
    void TearDown() override {
        ::unsetenv("GS_ErrorHandling_MessageFile");
        ::unsetenv("GS_ErrorHandling_FallbackMessageFile");
    }
    LogCapture m_log;
};

} // namespace

TEST_F(ErrorMessageModulesLoading, DefaultRavelinBesideTheModule) {
    ErrorMessageModules modules;
    LoadErrorMessageModules(modules);
    EXPECT_EQ(Filled(modules.Primary()), 1u);
    EXPECT_EQ(Filled(modules.Fallback()), 0u);
    EXPECT_TRUE(m_log.Messages().empty());
}

TEST_F(ErrorMessageModulesLoading, SeparatorsAndEmptyItems) {
    ::setenv("GS_ErrorHandling_MessageFile", ";Ravelin.dll;;Ravelin.dll|", 1);
    ErrorMessageModules modules;
    LoadErrorMessageModules(modules);
    EXPECT_EQ(Filled(modules.Primary()), 2u);
    EXPECT_TRUE(m_log.Messages().empty());
}

TEST_F(ErrorMessageModulesLoading, SevenNamesFillFiveSlots) {
    ::setenv("GS_ErrorHandling_MessageFile",
             "Ravelin.dll,Ravelin.dll,Ravelin.dll,Ravelin.dll,Ravelin.dll,Ravelin.dll,Ravelin.dll",
             1);
    ErrorMessageModules modules;
    LoadErrorMessageModules(modules);
    EXPECT_EQ(Filled(modules.Primary()), 5u);
    ASSERT_EQ(m_log.Messages().size(), 2u);
    const std::wstring directory = Settings::DirectoryOf(Settings::ThisModulePath());
    ASSERT_FALSE(directory.empty());
    for (const auto& message : m_log.Messages()) {
        EXPECT_EQ(message,
                  L"Loading errormsg module '" + directory + L"Ravelin.dll' failed: No more slots");
    }
}

TEST_F(ErrorMessageModulesLoading, MissingModuleIsLoggedWithItsPrefixedName) {
    ::setenv("GS_ErrorHandling_MessageFile", "Missing.dll", 1);
    ::setenv("GS_ErrorHandling_FallbackMessageFile", "Absent.dll", 1);
    ErrorMessageModules modules;
    LoadErrorMessageModules(modules);
    EXPECT_EQ(Filled(modules.Primary()), 0u);
    ASSERT_EQ(m_log.Messages().size(), 2u);
    // The primary name gets this module's directory; the fallback name is loaded as given. Both
    // fail with the system's file-not-found failure (0x80070002), followed by its text.
    const std::wstring directory = Settings::DirectoryOf(Settings::ThisModulePath());
    EXPECT_TRUE(m_log.Messages()[0].starts_with(L"Loading errormsg module '" + directory +
                                                L"Missing.dll' failed: 0x80070002 "))
        << m_log.Messages()[0];
    EXPECT_TRUE(m_log.Messages()[1].starts_with(
        L"Loading errormsg module 'Absent.dll' failed: 0x80070002 "))
        << m_log.Messages()[1];
}

TEST_F(ErrorMessageModulesLoading, NameWithADirectoryIsLoadedAsGiven) {
    ::setenv("GS_ErrorHandling_MessageFile", "./nowhere/Ravelin.dll", 1);
    ErrorMessageModules modules;
    LoadErrorMessageModules(modules);
    ASSERT_EQ(m_log.Messages().size(), 1u);
    EXPECT_TRUE(m_log.Messages()[0].starts_with(
        L"Loading errormsg module './nowhere/Ravelin.dll' failed: 0x80070002 "))
        << m_log.Messages()[0];
}
