#include "ErrorHandling/ErrorMessageModules.h"
#include "Logging/LogManager.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace {

class CollectingLogger final : public Logging::ILogger {
public:
    void Write(const wchar_t* text, size_t length) noexcept override {
        std::wstring line(text, length);
        const auto at = line.find(L"| Loading");
        messages.push_back(at == std::wstring::npos ? line : line.substr(at + 2));
    }
    std::vector<std::wstring> messages;
};

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
        ASSERT_TRUE(Logging::LogManager::Instance().AddLogger(&m_logger));
    }
    void TearDown() override {
        Logging::LogManager::Instance().RemoveLogger(&m_logger);
        ::unsetenv("GS_ErrorHandling_MessageFile");
        ::unsetenv("GS_ErrorHandling_FallbackMessageFile");
    }
    CollectingLogger m_logger;
};

} // namespace

TEST_F(ErrorMessageModulesLoading, DefaultRavelinBesideTheModule) {
    ErrorMessageModules modules;
    LoadErrorMessageModules(modules);
    EXPECT_EQ(Filled(modules.Primary()), 1u);
    EXPECT_EQ(Filled(modules.Fallback()), 0u);
    EXPECT_TRUE(m_logger.messages.empty());
}

TEST_F(ErrorMessageModulesLoading, SeparatorsAndEmptyItems) {
    ::setenv("GS_ErrorHandling_MessageFile", ";Ravelin.dll;;Ravelin.dll|", 1);
    ErrorMessageModules modules;
    LoadErrorMessageModules(modules);
    EXPECT_EQ(Filled(modules.Primary()), 2u);
    EXPECT_TRUE(m_logger.messages.empty());
}

TEST_F(ErrorMessageModulesLoading, SevenNamesFillFiveSlots) {
    ::setenv("GS_ErrorHandling_MessageFile",
             "Ravelin.dll,Ravelin.dll,Ravelin.dll,Ravelin.dll,Ravelin.dll,Ravelin.dll,Ravelin.dll",
             1);
    ErrorMessageModules modules;
    LoadErrorMessageModules(modules);
    EXPECT_EQ(Filled(modules.Primary()), 5u);
    ASSERT_EQ(m_logger.messages.size(), 2u);
    for (const auto& message : m_logger.messages) {
        EXPECT_TRUE(message.starts_with(L"Loading errormsg module '/")) << message;
        EXPECT_TRUE(message.ends_with(L"Ravelin.dll' failed: No more slots\r\n")) << message;
    }
}

TEST_F(ErrorMessageModulesLoading, MissingModuleIsLoggedWithItsPrefixedName) {
    ::setenv("GS_ErrorHandling_MessageFile", "Missing.dll", 1);
    ::setenv("GS_ErrorHandling_FallbackMessageFile", "Absent.dll", 1);
    ErrorMessageModules modules;
    LoadErrorMessageModules(modules);
    EXPECT_EQ(Filled(modules.Primary()), 0u);
    ASSERT_EQ(m_logger.messages.size(), 2u);
    // The primary name gets this module's directory; the fallback name is loaded as given.
    EXPECT_TRUE(m_logger.messages[0].starts_with(L"Loading errormsg module '/"));
    EXPECT_NE(m_logger.messages[0].find(L"/Missing.dll' failed: 0x8007007E "), std::wstring::npos)
        << m_logger.messages[0];
    EXPECT_TRUE(
        m_logger.messages[1].starts_with(L"Loading errormsg module 'Absent.dll' failed: 0x"))
        << m_logger.messages[1];
}

TEST_F(ErrorMessageModulesLoading, NameWithADirectoryIsLoadedAsGiven) {
    ::setenv("GS_ErrorHandling_MessageFile", "./nowhere/Ravelin.dll", 1);
    ErrorMessageModules modules;
    LoadErrorMessageModules(modules);
    ASSERT_EQ(m_logger.messages.size(), 1u);
    EXPECT_TRUE(m_logger.messages[0].starts_with(
        L"Loading errormsg module './nowhere/Ravelin.dll' failed: 0x"));
}
