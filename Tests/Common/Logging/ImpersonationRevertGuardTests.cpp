#include "LogTestSupport.h"

#include "Logging/ImpersonationRevertGuard.h"
#include "Support/TestTokens.h"

#include <gtest/gtest.h>

using Logging::ImpersonationRevertGuard;

namespace {

// The token the calling thread impersonates, or null.
HANDLE ThreadToken() {
    HANDLE token = nullptr;
    if (!OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &token)) {
        EXPECT_EQ(GetLastError(), ERROR_NO_TOKEN);
        return nullptr;
    }
    return token;
}

// Whether the calling thread impersonates the token of `expected`.
bool Impersonates(HANDLE expected) {
    const HANDLE current = ThreadToken();
    const bool same = current != nullptr && TestTokens::SameToken(current, expected);
    CloseHandle(current);
    return same;
}

// A test thread that serves a client: it impersonates a token of its own while the test runs.
class ImpersonatingThread : public ::testing::Test {
protected:
    void SetUp() override {
        m_client = TestTokens::CreateImpersonationToken();
        ASSERT_NE(m_client, nullptr);
        ASSERT_TRUE(SetThreadToken(nullptr, m_client));
    }
    void TearDown() override {
        SetThreadToken(nullptr, nullptr);
        CloseHandle(m_client);
    }
    HANDLE m_client = nullptr;
};

} // namespace

TEST_F(ImpersonatingThread, GuardRunsItsScopeAsTheProcessAndRestoresTheClient) {
    DebugOutputCapture debug;
    {
        const ImpersonationRevertGuard guard(true);
        EXPECT_TRUE(guard.Reverted());
        EXPECT_EQ(ThreadToken(), nullptr);
    }
    EXPECT_TRUE(Impersonates(m_client));
    {
        const ImpersonationRevertGuard inactive(false);
        EXPECT_FALSE(inactive.Reverted());
        EXPECT_TRUE(Impersonates(m_client));
    }
    EXPECT_TRUE(Impersonates(m_client));
    EXPECT_EQ(debug.Text(), "");
}

TEST(ImpersonationRevertGuard, ThreadWithoutTokenIsLeftAloneSilently) {
    DebugOutputCapture debug;
    {
        const ImpersonationRevertGuard guard(true);
        EXPECT_FALSE(guard.Reverted());
    }
    EXPECT_EQ(ThreadToken(), nullptr);
    EXPECT_EQ(debug.Text(), "");
}
