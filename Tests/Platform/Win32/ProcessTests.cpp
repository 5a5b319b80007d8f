#include "Platform.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <thread>

TEST(Process, IdsAreTheLinuxOnes) {
    EXPECT_EQ(GetCurrentProcessId(), static_cast<DWORD>(getpid()));
    // The main thread's id is the process id on Linux; other threads have their own.
    DWORD other = 0;
    std::thread([&] { other = GetCurrentThreadId(); }).join();
    EXPECT_NE(other, 0u);
    EXPECT_NE(other, GetCurrentThreadId());
    EXPECT_EQ(GetCurrentProcess(), reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1)));
}

TEST(Process, CommandLineStartsWithTheProgram) {
    const std::wstring line = GetCommandLineW();
    // The test runner calls the program by a path ending in its name; the same buffer each time.
    EXPECT_NE(line.find(L"Win32Tests"), std::wstring::npos);
    EXPECT_EQ(GetCommandLineW(), GetCommandLineW());
}

TEST(LocalMemory, AllocatesZeroedAndRefusesForeignPointers) {
    auto* block = static_cast<unsigned char*>(LocalAlloc(LMEM_ZEROINIT, 64));
    ASSERT_NE(block, nullptr);
    for (int i = 0; i < 64; ++i) {
        EXPECT_EQ(block[i], 0);
    }
    EXPECT_EQ(LocalFree(block), nullptr);
    int foreign = 0;
    SetLastError(ERROR_SUCCESS);
    EXPECT_EQ(LocalFree(&foreign), &foreign);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_EQ(LocalFree(nullptr), nullptr);
    EXPECT_EQ(LocalAlloc(0x0002 /* LMEM_MOVEABLE */, 8), nullptr);
}

TEST(CloseHandle, UnknownHandlesFailWithoutHarm) {
    SetLastError(ERROR_SUCCESS);
    EXPECT_FALSE(CloseHandle(reinterpret_cast<HANDLE>(0x7FFF1234)));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(CloseHandle(nullptr));
    EXPECT_FALSE(
        CloseHandle(INVALID_HANDLE_VALUE == GetCurrentProcess() ? nullptr : INVALID_HANDLE_VALUE));
    // The pseudo handle of the process needs no closing and keeps the last error.
    SetLastError(ERROR_ACCESS_DENIED);
    EXPECT_TRUE(CloseHandle(GetCurrentProcess()));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
}
