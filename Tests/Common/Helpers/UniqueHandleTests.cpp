#include "Helpers/UniqueHandle.h"

#include <gtest/gtest.h>

TEST(UniqueHandle, ClosingKeepsTheThreadsLastErrorAndClosesOnce) {
    // The test program's own file: one that exists on every platform.
    wchar_t self[4096];
    ASSERT_NE(GetModuleFileNameW(nullptr, self, 4096), 0u);
    HANDLE raw = CreateFileW(self, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                             OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    UniqueKernelHandle file = FromCreateFile(raw);
    ASSERT_TRUE(file);
    SetLastError(ERROR_FILE_NOT_FOUND);
    file.Reset();
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND) << "a close that succeeds keeps it";
    EXPECT_EQ(GetFileSize(raw, nullptr), INVALID_FILE_SIZE) << "the handle is closed";

    // A close that fails (the handle is gone already) keeps it too.
    UniqueKernelHandle stale(raw);
    SetLastError(ERROR_PATH_NOT_FOUND);
    stale.Reset();
    EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);

    EXPECT_FALSE(FromCreateFile(INVALID_HANDLE_VALUE));
}
