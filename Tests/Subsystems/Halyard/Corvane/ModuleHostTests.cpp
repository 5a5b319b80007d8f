// The built module loaded as a host loads it: dlopen, the one export, the C interfaces.
#include "TestHost.h"

#include "Common/Logging/LogTestSupport.h"

#include <gtest/gtest.h>

#include <regex>

using namespace Halyard::Interfaces;

namespace {

// The module loaded with a data directory of the test's own, so that its log stays out of the
// build tree.
class LoadedModule : public testing::Test {
protected:
    void SetUp() override {
        ::setenv("GS_General_DataDirectoryPath", m_data.Path().c_str(), 1);
        Load();
    }

    void Load() {
        m_library = TestHost::LoadModule(m_module);
        ASSERT_NE(m_library, nullptr);
        ASSERT_NE(m_module, nullptr);
    }

    void TearDown() override {
        Unload();
        ::unsetenv("GS_General_DataDirectoryPath");
    }

    void Unload() {
        if (m_library != nullptr) {
            dlclose(m_library);
            m_library = nullptr;
        }
    }

    TempDirectory m_data;
    void* m_library = nullptr;
    IModule* m_module = nullptr;
};

} // namespace

TEST_F(LoadedModule, ExportsOnlyTheModuleObject) {
    EXPECT_EQ(dlsym(m_library, "CreateErrorInfo"), dlsym(RTLD_DEFAULT, "CreateErrorInfo"))
        << "the platform comes from its own library, not from the module";
    EXPECT_EQ(dlsym(m_library, "_ZN7Halyard8CCorvane9ConfigureEPv"), nullptr);
}

TEST_F(LoadedModule, ServesRequestsThroughTheCInterfaces) {
    {
        TestHost::Component component;
        component.Create(m_module);
        ASSERT_EQ(component.configure->Configure(TestHost::Config(L"Application").Get()), S_OK);

        const EkNodePtr unknown = EkNodePtr::CreateNode(L"NoSuchRequest", nullptr);
        const EkNodePtr response = component.Send(unknown);
        EXPECT_EQ(static_cast<HRESULT>(response.GetInt64(L"ResultCode")),
                  static_cast<HRESULT>(0x80040513));
        EXPECT_FALSE(response.GetString(L"ErrorSerialized").empty());

        uint32_t locked = 0;
        EXPECT_EQ(m_module->IsLocked(&locked), S_OK);
        EXPECT_EQ(locked, 1u);
        EXPECT_EQ(component.shutdown->Shutdown(), S_OK);
    }
    uint32_t locked = 1;
    EXPECT_EQ(m_module->IsLocked(&locked), S_OK);
    EXPECT_EQ(locked, 0u);
}

// The module's own log, as an operator finds it: "Logs/Corvane.log" under the data directory,
// UTF-16LE without a byte-order mark, the banner first, then lines of the fixed format.
TEST_F(LoadedModule, WritesItsLogFileWithTheBannerAndLinesOfTheFixedFormat) {
    Unload();
    ::setenv("GS_Logger_MaxSeverity", "DBG3", 1);
    Load();
    {
        TestHost::Component component;
        component.Create(m_module);
        ASSERT_EQ(component.configure->Configure(TestHost::Config(L"Application").Get()), S_OK);
        component.Send(EkNodePtr::CreateNode(L"NoSuchRequest", nullptr));
        EXPECT_EQ(component.shutdown->Shutdown(), S_OK);
    }
    Unload();
    ::unsetenv("GS_Logger_MaxSeverity");

    const std::string bytes = m_data.Read("Logs/Corvane.log");
    ASSERT_GE(bytes.size(), 2u) << "no log file";
    const std::vector<std::wstring> lines = SplitLines(ReadUtf16Le(bytes));
    ASSERT_GT(lines.size(), 7u);
    const std::wstring stars(100, L'*');
    EXPECT_EQ(lines[0], stars);
    EXPECT_TRUE(lines[1].starts_with(L"*** Module: ")) << lines[1];
    EXPECT_TRUE(lines[1].find(L"Corvane.so (Base: 0x") != std::wstring::npos) << lines[1];
    EXPECT_TRUE(lines[2].starts_with(L"*** Version: ")) << lines[2];
    EXPECT_EQ(lines[3], L"*** Module description: Corvane64");
    EXPECT_TRUE(lines[4].starts_with(L"*** Process: ")) << lines[4];
    EXPECT_TRUE(lines[5].starts_with(L"*** Command line: ")) << lines[5];
    EXPECT_EQ(lines[6], stars);

    const std::wregex format(LR"(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{7} \| )"
                             LR"((CRIT|ERR |WARN|INFO|DBG |DBG2|DBG3) \|[ \d]{5} [ \d]{5} \| )"
                             LR"([^|:]{1,26}:\d+ *\| [\s\S]*)");
    // Every line is a log line, or a line of a node dump that the log line before it began.
    EXPECT_TRUE(std::regex_match(lines[7], format)) << lines[7];
    size_t logLines = 0;
    bool unknownRequestLogged = false;
    for (size_t i = 7; i < lines.size(); ++i) {
        if (std::regex_match(lines[i], format)) {
            ++logLines;
            // At ERR, one call level deep, with the request's dump.
            unknownRequestLogged |=
                lines[i].find(L" | ERR  |") != std::wstring::npos &&
                lines[i].find(L"|   Unknown request: EkNode[0x") != std::wstring::npos;
        } else {
            EXPECT_TRUE(lines[i].starts_with(L"<") || lines[i].starts_with(L" ")) << lines[i];
        }
    }
    EXPECT_GT(logLines, 3u);
    EXPECT_TRUE(unknownRequestLogged);
}
