#include "Support/TestPlatform.h"

#include "Platform.h"

namespace TestPlatform {

bool IsWindows() noexcept {
    return true;
}

bool IsWine() noexcept {
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

} // namespace TestPlatform
