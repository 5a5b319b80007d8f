#include "LogTestSupport.h"

#include "Logging/CallDepth.h"
#include "Logging/TraceScope.h"

#include <gtest/gtest.h>

#include <mutex>
#include <stdexcept>

using Logging::ElapsedTimeText;

namespace {

class CollectingLogger final : public Logging::ILogger {
public:
    void Write(const wchar_t* text, size_t length) noexcept override {
        std::lock_guard lock(m_mutex);
        m_lines.emplace_back(text, length);
    }
    std::vector<std::wstring> Lines() {
        std::lock_guard lock(m_mutex);
        return m_lines;
    }

private:
    std::mutex m_mutex;
    std::vector<std::wstring> m_lines;
};

// The message column of a line: after the file/line column and the indentation.
std::wstring Message(const std::wstring& line) {
    const auto bar = line.find(L"| ", line.find(L".cpp:"));
    std::wstring message = line.substr(bar + 2);
    return message.substr(0, message.size() - 2); // without CR LF
}

class TraceScopeTest : public ::testing::Test {
protected:
    void SetUp() override {
        SetLoggerSetting("MaxSeverity", "DBG");
        ASSERT_TRUE(Logging::LogManager::Instance().AddLogger(&m_logger));
    }
    void TearDown() override {
        Logging::LogManager::Instance().RemoveLogger(&m_logger);
        SetLoggerSetting("MaxSeverity", nullptr);
    }
    CollectingLogger m_logger;
};

void Traced(bool fail) {
    TRACE_SCOPE(Logging::LOG_DBG, L"Halyard::Test::Traced");
    LOG_AT(Logging::LOG_INFO, L"inside");
    if (fail) {
        throw std::runtime_error("failed");
    }
}

// Runs a traced call while an exception is unwinding.
struct TracesInDestructor {
    ~TracesInDestructor() { Traced(false); }
};

} // namespace

TEST(ElapsedTimeText, GroupsThousandsWithBlanks) {
    EXPECT_EQ(ElapsedTimeText(999), L" [0.999 ms]");
    EXPECT_EQ(ElapsedTimeText(1234), L" [1.234 ms]");
    EXPECT_EQ(ElapsedTimeText(1234567), L" [1 234.567 ms]");
    EXPECT_EQ(ElapsedTimeText(1234567890), L" [1 234 567.890 ms]");
    EXPECT_EQ(ElapsedTimeText(0), L" [0.000 ms]");
}

TEST_F(TraceScopeTest, EnteringAndExitingIndentTheLinesBetween) {
    Traced(false);
    const auto lines = m_logger.Lines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(Message(lines[0]), L"Entering: Halyard::Test::Traced");
    EXPECT_EQ(Message(lines[1]), L"  inside");
    EXPECT_TRUE(Message(lines[2]).starts_with(L"Exiting: Halyard::Test::Traced ["));
    EXPECT_TRUE(Message(lines[2]).ends_with(L" ms]"));
    EXPECT_EQ(lines[0].find(L"| DBG  |"), lines[2].find(L"| DBG  |"));
    EXPECT_EQ(Logging::ThreadCallDepth(), 0);
}

TEST_F(TraceScopeTest, ExceptionIsWrittenAtTheEnteringDepthAndPassesUnchanged) {
    EXPECT_THROW(Traced(true), std::runtime_error);
    const auto lines = m_logger.Lines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_TRUE(Message(lines[2]).starts_with(L"EXCEPTION at: Halyard::Test::Traced ["));
    EXPECT_EQ(Logging::ThreadCallDepth(), 0);
}

TEST_F(TraceScopeTest, CallDuringUnwindingThatReturnsNormallyExits) {
    try {
        TracesInDestructor tracer;
        throw std::runtime_error("unwinding");
    } catch (const std::runtime_error&) {
    }
    const auto lines = m_logger.Lines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_TRUE(Message(lines[2]).starts_with(L"Exiting: Halyard::Test::Traced ["));
}

TEST_F(TraceScopeTest, DisabledSeverityWritesNothingAndKeepsTheDepth) {
    {
        TRACE_SCOPE(Logging::LOG_DBG3, L"Halyard::Test::Quiet");
        EXPECT_EQ(Logging::ThreadCallDepth(), 0);
        LOG_AT(Logging::LOG_INFO, L"inside");
    }
    const auto lines = m_logger.Lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(Message(lines[0]), L"inside");
}

TEST_F(TraceScopeTest, NestedScopesRestoreTheDepthWhenTheClosingLineIsNotWritten) {
    {
        TRACE_SCOPE(Logging::LOG_DBG, L"Outer");
        {
            TRACE_SCOPE(Logging::LOG_DBG, L"Inner");
            EXPECT_EQ(Logging::ThreadCallDepth(), 2);
            SetLoggerSetting("MaxSeverity", "ERR"); // closing lines disabled
        }
        EXPECT_EQ(Logging::ThreadCallDepth(), 1);
    }
    EXPECT_EQ(Logging::ThreadCallDepth(), 0);
    EXPECT_EQ(m_logger.Lines().size(), 2u);
}
