#include "Platform.h"

#include <gtest/gtest.h>

#include <thread>

TEST(ThreadTokens, AThreadImpersonatesTheTokenItIsGivenUntilItReverts) {
    HANDLE token = reinterpret_cast<HANDLE>(1);
    EXPECT_FALSE(OpenThreadToken(GetCurrentThread(), TOKEN_IMPERSONATE, TRUE, &token));
    EXPECT_EQ(GetLastError(), ERROR_NO_TOKEN);
    EXPECT_EQ(token, nullptr);

    const HANDLE made = PalCreateImpersonationToken();
    ASSERT_NE(made, nullptr);
    ASSERT_TRUE(SetThreadToken(nullptr, made));
    ASSERT_TRUE(OpenThreadToken(GetCurrentThread(), TOKEN_IMPERSONATE, TRUE, &token));
    EXPECT_NE(token, made);
    EXPECT_TRUE(CompareObjectHandles(token, made));
    EXPECT_FALSE(CompareObjectHandles(token, GetCurrentProcess()));
    // The token is the thread's own.
    std::thread([] {
        HANDLE other = nullptr;
        EXPECT_FALSE(OpenThreadToken(GetCurrentThread(), TOKEN_IMPERSONATE, TRUE, &other));
        EXPECT_EQ(GetLastError(), ERROR_NO_TOKEN);
    }).join();
    // Closing the handles leaves the thread impersonating.
    EXPECT_TRUE(CloseHandle(made));
    EXPECT_TRUE(CloseHandle(token));
    ASSERT_TRUE(OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &token));

    EXPECT_TRUE(SetThreadToken(nullptr, nullptr));
    HANDLE after = nullptr;
    EXPECT_FALSE(OpenThreadToken(GetCurrentThread(), TOKEN_IMPERSONATE, TRUE, &after));
    EXPECT_EQ(GetLastError(), ERROR_NO_TOKEN);
    EXPECT_TRUE(SetThreadToken(nullptr, token)); // restored from the handle kept
    EXPECT_TRUE(OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &after));
    EXPECT_TRUE(CompareObjectHandles(after, token));
    CloseHandle(after);
    CloseHandle(token);
    EXPECT_TRUE(SetThreadToken(nullptr, nullptr));
}

TEST(ThreadTokens, HandlesThatAreNoTokensAreRefused) {
    const HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    SetLastError(ERROR_SUCCESS);
    EXPECT_FALSE(SetThreadToken(nullptr, event));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(SetThreadToken(nullptr, reinterpret_cast<HANDLE>(0x1234)));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    HANDLE thread = GetCurrentThread();
    EXPECT_FALSE(SetThreadToken(&thread, nullptr));
    HANDLE token = nullptr;
    EXPECT_FALSE(OpenThreadToken(event, TOKEN_QUERY, TRUE, &token));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    CloseHandle(event);
}
