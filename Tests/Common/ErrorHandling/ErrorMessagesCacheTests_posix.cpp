// The error-message cache, counted at FormatMessageW: this program's own FormatMessageW stands in
// front of the platform's (found with dlsym(RTLD_NEXT), so Linux only).
#include "ErrorHandling/ErrorDescription.h"
#include "ErrorHandling/ErrorMessages.h"

#include <gtest/gtest.h>

#include <dlfcn.h>

#include <atomic>

namespace {
std::atomic<int> g_formatMessageCalls{0};
} // namespace

extern "C" DWORD WINAPI FormatMessageW(DWORD flags, LPCVOID source, DWORD messageId,
                                       DWORD languageId, LPWSTR buffer, DWORD size,
                                       void* arguments) {
    using Function = DWORD(WINAPI*)(DWORD, LPCVOID, DWORD, DWORD, LPWSTR, DWORD, void*);
    static const auto platform = reinterpret_cast<Function>(dlsym(RTLD_NEXT, "FormatMessageW"));
    ++g_formatMessageCalls;
    return platform(flags, source, messageId, languageId, buffer, size, arguments);
}

// Each code's text is looked up once per process (codes no other test of the program asks for).
TEST(ErrorMessages, EachTextIsLookedUpOnce) {
    const HRESULT diskFull = HresultFromWin32(ERROR_DISK_FULL);
    const HRESULT unknown = static_cast<HRESULT>(0x8004FFF2);
    const int before = g_formatMessageCalls;
    EXPECT_EQ(GetErrorMessage(diskFull), L"There is not enough space on the disk");
    EXPECT_EQ(GetErrorMessage(unknown), L"<no description>");
    const int lookups = g_formatMessageCalls - before;
    EXPECT_GE(lookups, 2);
    EXPECT_EQ(GetErrorMessage(diskFull), L"There is not enough space on the disk");
    EXPECT_EQ(GetErrorMessage(unknown), L"<no description>");
    EXPECT_EQ(g_formatMessageCalls - before, lookups) << "looked up again";
}
