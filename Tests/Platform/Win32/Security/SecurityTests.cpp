#include "Platform.h"

#include <gtest/gtest.h>

TEST(ThreadTokens, NoThreadImpersonates) {
    HANDLE token = reinterpret_cast<HANDLE>(1);
    EXPECT_FALSE(OpenThreadToken(GetCurrentThread(), TOKEN_IMPERSONATE, TRUE, &token));
    EXPECT_EQ(GetLastError(), ERROR_NO_TOKEN);
    EXPECT_EQ(token, nullptr);
    EXPECT_TRUE(SetThreadToken(nullptr, nullptr));
    EXPECT_FALSE(SetThreadToken(nullptr, reinterpret_cast<HANDLE>(0x1234)));
}
