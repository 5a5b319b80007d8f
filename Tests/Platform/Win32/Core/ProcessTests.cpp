#include "Platform.h"

#include <gtest/gtest.h>

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

#include <thread>

TEST(Process, IdsAreTheLinuxOnes) {
    EXPECT_EQ(GetCurrentProcessId(), static_cast<DWORD>(getpid()));
    // The id is kept once read; a forked child has its own.
    const pid_t child = fork();
    ASSERT_NE(child, -1);
    if (child == 0) {
        _exit(GetCurrentProcessId() == static_cast<DWORD>(getpid()) ? 0 : 1);
    }
    int status = -1;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
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

// Runs in a child process started by CommandLineQuotesLikeWindows, with the arguments below.
TEST(ProcessChild, SeesQuotedCommandLine) {
    if (std::getenv("WIN32TESTS_COMMAND_LINE_CHILD") == nullptr) {
        GTEST_SKIP() << "runs only as the child of Process.CommandLineQuotesLikeWindows";
    }
    const std::wstring line = GetCommandLineW();
    EXPECT_TRUE(line.ends_with(
        L" --gtest_filter=ProcessChild.* \"two words\" \"\" \"say \\\"hi\\\"\" back\\slash\\ "
        L"\"tail end\\\\\""))
        << std::string(line.begin(), line.end());
}

TEST(Process, CommandLineQuotesLikeWindows) {
    // Blanks, empty arguments and quotes are quoted as CommandLineToArgvW reads them back;
    // backslashes are doubled only before a quote.
    std::vector<std::string> arguments = {"/proc/self/exe", "--gtest_filter=ProcessChild.*",
                                          "two words",      "",
                                          "say \"hi\"",     "back\\slash\\",
                                          "tail end\\"};
    std::vector<char*> argv;
    for (auto& argument : arguments) {
        argv.push_back(argument.data());
    }
    argv.push_back(nullptr);
    setenv("WIN32TESTS_COMMAND_LINE_CHILD", "1", 1);
    pid_t child = 0;
    const int spawned =
        posix_spawn(&child, "/proc/self/exe", nullptr, nullptr, argv.data(), environ);
    unsetenv("WIN32TESTS_COMMAND_LINE_CHILD");
    ASSERT_EQ(spawned, 0);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
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
    // The pseudo handles of the process (INVALID_HANDLE_VALUE's value, as on Windows) and of the
    // thread need no closing and keep the last error.
    EXPECT_EQ(GetCurrentProcess(), INVALID_HANDLE_VALUE);
    SetLastError(ERROR_ACCESS_DENIED);
    EXPECT_TRUE(CloseHandle(GetCurrentProcess()));
    EXPECT_TRUE(CloseHandle(GetCurrentThread()));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
}
