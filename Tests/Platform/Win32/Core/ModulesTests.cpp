#include "Platform.h"

#include <gtest/gtest.h>

#include <dlfcn.h>

#include <string>

namespace {

std::wstring FileNameOf(HMODULE module) {
    wchar_t path[4096];
    const DWORD length = GetModuleFileNameW(module, path, 4096);
    return std::wstring(path, length);
}

std::wstring ExecutablePath() {
    return FileNameOf(nullptr);
}

// The module holding `address`, its reference count unchanged; null when there is none.
HMODULE ModuleAt(const void* address) {
    HMODULE module = nullptr;
    EXPECT_TRUE(GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                                       GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                                   reinterpret_cast<LPCWSTR>(address), &module));
    return module;
}

// Captures from a frame of its own. The result goes through a volatile so that the call is not a
// tail call (an optimising compiler would otherwise leave this frame before the capture).
NOINLINE WORD CaptureHere(DWORD skip, PVOID* frames, DWORD count) {
    const volatile WORD captured = RtlCaptureStackBackTrace(skip, count, frames, nullptr);
    return captured;
}

} // namespace

TEST(GetModuleFileNameW, NullIsTheExecutable) {
    const std::wstring path = ExecutablePath();
    EXPECT_TRUE(path.starts_with(L"/"));
    EXPECT_TRUE(path.ends_with(L"/Win32Tests"));
}

TEST(GetModuleFileNameW, TruncatesWithInsufficientBuffer) {
    const std::wstring full = ExecutablePath();
    const auto size = static_cast<DWORD>(full.size());
    std::wstring buffer(full.size() + 1, L'#');

    SetLastError(ERROR_SUCCESS);
    EXPECT_EQ(GetModuleFileNameW(nullptr, buffer.data(), size + 1), size);
    EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
    EXPECT_EQ(buffer.substr(0, full.size()), full);

    // One character short: cut to size - 1 characters plus NUL, size returned.
    std::fill(buffer.begin(), buffer.end(), L'#');
    EXPECT_EQ(GetModuleFileNameW(nullptr, buffer.data(), size), size);
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(buffer.substr(0, full.size() - 1), full.substr(0, full.size() - 1));
    EXPECT_EQ(buffer[full.size() - 1], L'\0');
    EXPECT_EQ(buffer[full.size()], L'#');

    wchar_t one = L'#';
    EXPECT_EQ(GetModuleFileNameW(nullptr, &one, 1), 1u);
    EXPECT_EQ(one, L'\0');
    SetLastError(ERROR_SUCCESS);
    EXPECT_EQ(GetModuleFileNameW(nullptr, &one, 0), 0u);
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
}

TEST(GetModuleHandleExW, FromAddressNamesTheSharedObject) {
    const HMODULE module = ModuleAt(reinterpret_cast<const void*>(&GetLastError));
    EXPECT_TRUE(FileNameOf(module).ends_with(L"/libPalWin32.so"));
    Dl_info info{};
    ASSERT_NE(dladdr(reinterpret_cast<void*>(&GetLastError), &info), 0);
    EXPECT_EQ(static_cast<void*>(module), info.dli_fbase);
    // An address in the executable names the executable.
    EXPECT_EQ(FileNameOf(ModuleAt(reinterpret_cast<const void*>(&ExecutablePath))),
              ExecutablePath());
}

TEST(GetModuleHandleExW, ByNameFindsLoadedObjectsAndNullTheExecutable) {
    HMODULE byName = nullptr;
    ASSERT_TRUE(GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT, L"libPalWin32.so",
                                   &byName));
    EXPECT_EQ(byName, ModuleAt(reinterpret_cast<const void*>(&GetLastError)));

    HMODULE executable = nullptr;
    ASSERT_TRUE(
        GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT, nullptr, &executable));
    ASSERT_NE(executable, nullptr);
    EXPECT_EQ(FileNameOf(executable), ExecutablePath());
}

TEST(GetModuleHandleExW, CountedReferenceIsDroppedByFreeLibrary) {
    HMODULE module = nullptr;
    ASSERT_TRUE(GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                                   reinterpret_cast<LPCWSTR>(&GetLastError), &module));
    EXPECT_TRUE(FreeLibrary(module));
    // The one reference is gone; a second release finds none.
    EXPECT_FALSE(FreeLibrary(module));
}

TEST(GetModuleHandleExW, FailsForUnknownAddressesAndBadArguments) {
    HMODULE module = reinterpret_cast<HMODULE>(1);
    int onStack = 0;
    SetLastError(ERROR_SUCCESS);
    EXPECT_FALSE(GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                                        GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                                    reinterpret_cast<LPCWSTR>(&onStack), &module));
    EXPECT_EQ(GetLastError(), ERROR_MOD_NOT_FOUND);
    EXPECT_EQ(module, nullptr);
    EXPECT_FALSE(GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_FALSE(GetModuleHandleExW(0, L"libNoSuchLibrary.so", &module));
    EXPECT_EQ(GetLastError(), ERROR_MOD_NOT_FOUND);
}

TEST(GetModuleFileNameW, UnknownModuleFails) {
    wchar_t path[64];
    int onStack = 0;
    SetLastError(ERROR_SUCCESS);
    EXPECT_EQ(GetModuleFileNameW(reinterpret_cast<HMODULE>(&onStack), path, 64), 0u);
    EXPECT_EQ(GetLastError(), ERROR_MOD_NOT_FOUND);
}

TEST(RtlCaptureStackBackTrace, StartsAtTheCaller) {
    PVOID frames[8] = {};
    const WORD count = CaptureHere(0, frames, 8);
    ASSERT_GE(count, 2);
    // Frame 0 is a return address inside CaptureHere, just after its call.
    const auto start = reinterpret_cast<uintptr_t>(&CaptureHere);
    const auto returnAddress = reinterpret_cast<uintptr_t>(frames[0]);
    EXPECT_GT(returnAddress, start);
    EXPECT_LT(returnAddress, start + 512);

    PVOID skipped[8] = {};
    const WORD skippedCount = CaptureHere(1, skipped, 7);
    ASSERT_GE(skippedCount, 1);
    EXPECT_EQ(skipped[1], frames[2]);
}

TEST(RtlCaptureStackBackTrace, HashIsTheSumAndBadRequestsGiveNothing) {
    PVOID frames[4] = {};
    DWORD hash = 0;
    const WORD count = RtlCaptureStackBackTrace(0, 4, frames, &hash);
    ASSERT_GT(count, 0);
    DWORD sum = 0;
    for (WORD i = 0; i < count; ++i) {
        sum += static_cast<DWORD>(reinterpret_cast<uintptr_t>(frames[i]));
    }
    EXPECT_EQ(hash, sum);
    EXPECT_EQ(RtlCaptureStackBackTrace(0, 4, nullptr, nullptr), 0);
    EXPECT_EQ(RtlCaptureStackBackTrace(1000, 4, frames, nullptr), 0);
    // More frames to skip than the stack has: nothing captured.
    EXPECT_EQ(RtlCaptureStackBackTrace(200, 4, frames, nullptr), 0);
}
