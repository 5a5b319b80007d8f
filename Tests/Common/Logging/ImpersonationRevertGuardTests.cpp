#include "LogTestSupport.h"

#include "Logging/ImpersonationRevertGuard.h"

#include <gtest/gtest.h>

using Logging::ImpersonationRevertGuard;

TEST(ImpersonationRevertGuard, ThreadWithoutTokenIsLeftAloneSilently) {
    DebugOutputCapture debug;
    SetLastError(ERROR_SUCCESS);
    {
        const ImpersonationRevertGuard guard(true);
        EXPECT_FALSE(guard.Reverted()); // no thread impersonates here: ERROR_NO_TOKEN
    }
    EXPECT_EQ(debug.Text(), "");
}

TEST(ImpersonationRevertGuard, InactiveGuardDoesNotAskForTheToken) {
    SetLastError(ERROR_ACCESS_DENIED);
    {
        const ImpersonationRevertGuard guard(false);
        EXPECT_FALSE(guard.Reverted());
    }
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
}
