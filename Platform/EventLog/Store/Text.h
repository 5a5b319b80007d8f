// Text helpers of the Event Log stand-in: event time stamps, numbers, GUIDs and SIDs in their
// textual forms. Pure functions, testable with literal inputs. (Conversions between UTF-8 and wide
// text are Base/Utf.h's.)
#pragma once

#include "Base/Text.h"
#include "Base/Utf.h"
#include "Win32/WinTypes.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace PalEventLog {

// Case-insensitive comparison for ASCII names (channels, publishers).
bool EqualsNoCase(std::wstring_view a, std::wstring_view b) noexcept;
struct NoCaseLess {
    using is_transparent = void;
    bool operator()(std::wstring_view a, std::wstring_view b) const noexcept;
};

// "2021-08-10T19:10:29.6315023Z" <-> FILETIME ticks (100 ns since 1601-01-01 UTC). The parser
// accepts 0..7 fraction digits and requires the trailing Z.
std::optional<uint64_t> ParseSystemTime(std::wstring_view text) noexcept;
std::wstring FormatSystemTime(uint64_t fileTime);
// The same in ASCII into `buffer`; returns its length.
size_t FormatSystemTime(uint64_t fileTime, char (&buffer)[40]) noexcept;

// Unsigned decimal or 0x-hexadecimal number filling the whole text (surrounding blanks allowed).
std::optional<uint64_t> ParseUnsigned(std::wstring_view text) noexcept;
// XPath number(): decimal with optional sign and fraction; NaN when the text is not a number.
double ParseNumber(std::wstring_view text) noexcept;

// "{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}" with or without braces.
std::optional<GUID> ParseGuid(std::wstring_view text) noexcept;
std::wstring FormatGuid(const GUID& guid); // upper case, with braces

// "S-1-5-21-..." to its binary form (revision, count, 6-byte authority, sub-authorities).
std::optional<std::vector<uint8_t>> ParseSid(std::wstring_view text);

using Base::Trim;

} // namespace PalEventLog
