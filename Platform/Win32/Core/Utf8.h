// Text conversions of the core functions: wide strings (UTF-32 here) to and from the UTF-8 that
// Linux file names, the environment and debug output use. Internal to libPalWin32.
#pragma once

#include <string>
#include <string_view>

namespace Pal {

// UTF-32 to UTF-8; values that are not Unicode scalar values become U+FFFD.
std::string Utf8FromWide(std::wstring_view text);
// UTF-8 to UTF-32; every malformed or overlong sequence becomes one U+FFFD.
std::wstring WideFromUtf8(std::string_view text);

} // namespace Pal
