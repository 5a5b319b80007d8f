// UTF-8 at the host's edges (JSON, the command line) and the UTF-16 and wide texts inside.
#pragma once

#include <string>
#include <string_view>

namespace HalyardHost {

// Strict decoding: false for malformed UTF-8 (overlong forms, surrogates, past U+10FFFF).
bool Utf16FromUtf8(std::string_view text, std::u16string& out);
bool WideFromUtf8(std::string_view text, std::wstring& out);
// Encoding; a lone surrogate becomes U+FFFD.
std::string Utf8FromUtf16(std::u16string_view text);
std::string Utf8FromWide(std::wstring_view text);
// Lenient decoding for texts that are only shown: malformed sequences become U+FFFD.
std::wstring WideFromUtf8Lenient(std::string_view text);

} // namespace HalyardHost
