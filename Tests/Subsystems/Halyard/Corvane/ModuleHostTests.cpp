// The built module loaded as a host loads it: dlopen, the one export, the C interfaces.
#include "TestHost.h"

#include "Common/Logging/LogTestSupport.h"

#include <gtest/gtest.h>

#include <memory>
#include <regex>

using namespace Halyard::Interfaces;

namespace {

// The module loaded once for the whole program, as a host loads it, with a data directory of the
// program's own (its log stays out of the build tree) and the most detailed log severity. Loaded
// before any test, whatever the order the tests run in, and never unloaded: a module loaded again
// in the same process keeps the log it opened first.
class LoadedModule : public testing::Test {
protected:
    static void SetUpTestSuite() {
        if (s_library != nullptr) {
            return;
        }
        s_data = std::make_unique<TempDirectory>();
        ::setenv("GS_General_DataDirectoryPath", s_data->Path().c_str(), 1);
        ::setenv("GS_Logger_MaxSeverity", "DBG3", 1);
        s_library = TestHost::LoadModule(s_module);
    }

    void SetUp() override {
        ASSERT_NE(s_library, nullptr);
        ASSERT_NE(s_module, nullptr);
    }

    static inline std::unique_ptr<TempDirectory> s_data;
    static inline void* s_library = nullptr;
    static inline IModule* s_module = nullptr;
};

} // namespace

TEST_F(LoadedModule, ExportsOnlyTheModuleObject) {
    EXPECT_EQ(dlsym(s_library, "CreateErrorInfo"), dlsym(RTLD_DEFAULT, "CreateErrorInfo"))
        << "the platform comes from its own library, not from the module";
    EXPECT_EQ(dlsym(s_library, "_ZN7Halyard8CCorvane9ConfigureEPv"), nullptr);
}

// The module's own log, as an operator finds it: "Logs/Corvane.log" under the data directory,
// UTF-16LE without a byte-order mark, the banner of the loaded module first (its other lines are
// checked by FileLoggerModule.BannerDescribesTheModuleAndTheProcess), then lines of the fixed
// format. (The lock count as components come and go is checked by
// ModuleObject.LockCountFollowsComponentsAndExplicitLocks.)
TEST_F(LoadedModule, WritesItsLogFileWithTheBannerAndLinesOfTheFixedFormat) {
    {
        TestHost::Component component;
        component.Create(s_module);
        ASSERT_EQ(component.configure->Configure(TestHost::Config(L"Application").Get()), S_OK);
        component.Send(EkNodePtr::CreateNode(L"NoSuchRequest", nullptr));
        EXPECT_EQ(component.shutdown->Shutdown(), S_OK);
    }

    const std::string bytes = s_data->Read("Logs/Corvane.log");
    ASSERT_GE(bytes.size(), 2u) << "no log file";
    const std::vector<std::wstring> lines = SplitLines(ReadUtf16Le(bytes));
    ASSERT_GT(lines.size(), 7u);
    EXPECT_TRUE(lines[1].starts_with(L"*** Module: ")) << lines[1];
    EXPECT_TRUE(lines[1].find(L"Corvane.so (Base: 0x") != std::wstring::npos) << lines[1];

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
