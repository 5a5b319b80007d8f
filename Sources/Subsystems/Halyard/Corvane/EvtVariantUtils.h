// Event values as event nodes carry them: the typed values of EvtRender (EVT_VARIANT) as unsigned
// integers and wide strings, security identifiers as account names or SID texts, and Windows times
// as the one UTC text form "YYYY-MM-DDTHH:MM:SSZ". No getter throws for an unexpected value type:
// it logs and yields an empty or zero value.
#pragma once

#include "Platform.h"

#include <array>
#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

namespace Halyard {

// Value getters. A String value as a view of the rendered text (valid while the render buffer
// lives); Null traces "Value at null" and gives an empty text; any other type logs "Unknown event
// attribute type: " at ERR and gives an empty text.
std::wstring_view GetStringValue(const EVT_VARIANT& value);
// Byte, UInt16 and UInt32 widened; UInt64, FileTime and HexInt64 as they stand; Null and other
// types as for strings, giving 0.
uint64_t GetIntegerValue(const EVT_VARIANT& value);
// A Sid value's pointer into the render buffer; Null traces "Value at null"; null for any other
// type, nothing logged.
PSID GetSidValue(const EVT_VARIANT& value);

// The getters above with their traces: "Attribute at null" for a Null variant, then "Value: " and
// "Type: " of what was read. T is uint64_t, std::wstring_view or PSID.
template <typename T>
T GetVariantValue(const EVT_VARIANT& variant);
template <>
uint64_t GetVariantValue<uint64_t>(const EVT_VARIANT& variant);
template <>
std::wstring_view GetVariantValue<std::wstring_view>(const EVT_VARIANT& variant);
template <>
PSID GetVariantValue<PSID>(const EVT_VARIANT& variant);

// The account of a SID as LookupAccountSidW on `systemName` (empty: the local computer) gives it:
// "DOMAIN\name", or the bare name or domain when the other is empty. A failed lookup throws the
// last error. `use`, when given, receives the account type.
std::wstring GetAccountName(PSID sid, const std::wstring& systemName, SID_NAME_USE* use = nullptr);
// The standard text form of a SID, "S-1-5-21-...": revision, identifier authority (decimal, or
// 0x and 12 hexadecimal digits when it does not fit 32 bits) and each sub-authority.
std::wstring FormatSidText(PSID sid);

// Whole seconds of UTC.
using UtcSeconds = std::chrono::sys_seconds;

// UTC text of whole seconds, "2021-08-10T19:10:29Z", held in place: a page writes one for every
// event. Each field is written as printf's "%0<width>hd" writes a short (at most six characters).
class TimeText {
public:
    void push_back(wchar_t c) noexcept { m_chars[m_size++] = c; }
    std::wstring_view View() const noexcept { return {m_chars.data(), m_size}; }

private:
    std::array<wchar_t, 6 * 7> m_chars{};
    size_t m_size = 0;
};

// A FILETIME (100-ns intervals since 1601) as UTC text, fractions of a second dropped. A time
// FileTimeToSystemTime refuses throws its error.
TimeText GetTimestampText(uint64_t fileTime);
// A time point, cut to whole seconds, as UTC text.
std::wstring FormatUtcTime(std::chrono::system_clock::time_point time);
// The UTC text read back (fields it does not supply count as zero, out-of-range fields carry
// over as the inverse of gmtime does).
UtcSeconds ParseUtcTime(std::wstring_view text);

} // namespace Halyard
