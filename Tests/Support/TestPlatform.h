// The platform the tests run on, for the few tests that only make sense on one of them: they skip
// elsewhere with a reason.
#pragma once

namespace TestPlatform {

// True in the Windows build.
bool IsWindows() noexcept;
// True when the Windows build runs under Wine (ntdll.dll exports wine_get_version).
bool IsWine() noexcept;

} // namespace TestPlatform
