#include "Halyard/Corvane/EvtVariantUtils.h"

#include "ErrorHandling/ErrorHandling.h"
#include "Logging/TraceScope.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <cwchar>

namespace Halyard {

namespace {

using Logging::LOG_DBG3;
using Logging::LOG_ERR;

// Appends `value` as printf's "%0<width>hd" writes a short: zero-padded to `width` characters,
// a minus sign counting towards them.
template <typename Text>
void AppendPadded(Text& out, int16_t value, int width) {
    std::array<wchar_t, 8> digits{};
    size_t count = 0;
    int magnitude = value < 0 ? -static_cast<int>(value) : value;
    do {
        digits[count++] = static_cast<wchar_t>(L'0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    if (value < 0) {
        out.push_back(L'-');
        --width;
    }
    for (int pad = width - static_cast<int>(count); pad > 0; --pad) {
        out.push_back(L'0');
    }
    while (count > 0) {
        out.push_back(digits[--count]);
    }
}

// "%04hd-%02hd-%02hdT%02hd:%02hd:%02hdZ" of the six fields.
template <typename Text>
Text FormatTimeText(int year, int month, int day, int hour, int minute, int second) {
    const auto fits = [](int value, int limit) { return value >= 0 && value < limit; };
    if (fits(year, 10000) && fits(month, 100) && fits(day, 100) && fits(hour, 100) &&
        fits(minute, 100) && fits(second, 100)) {
        // Every time Windows converts: each field's digits written as they stand, since every
        // event's time is formatted.
        Text text;
        const auto digit = [&text](int value) {
            text.push_back(static_cast<wchar_t>(L'0' + value));
        };
        const auto two = [&](int value, wchar_t after) {
            digit(value / 10);
            digit(value % 10);
            text.push_back(after);
        };
        digit(year / 1000);
        digit(year / 100 % 10);
        two(year % 100, L'-');
        two(month, L'-');
        two(day, L'T');
        two(hour, L':');
        two(minute, L':');
        two(second, L'Z');
        return text;
    }
    struct Field {
        int value;
        int width;
        wchar_t after;
    };
    const Field fields[] = {{year, 4, L'-'}, {month, 2, L'-'},  {day, 2, L'T'},
                            {hour, 2, L':'}, {minute, 2, L':'}, {second, 2, L'Z'}};
    Text text;
    for (const Field& field : fields) {
        AppendPadded(text, static_cast<int16_t>(field.value), field.width);
        text.push_back(field.after);
    }
    return text;
}

void TraceValueAtNull() {
    LOG_AT(LOG_DBG3, L"Value at null");
}

void LogUnknownType(DWORD type) {
    LOG_AT(LOG_ERR, L"Unknown event attribute type: " << type);
}

void TraceAttributeAtNull(const EVT_VARIANT& variant) {
    if (variant.Type == EvtVarTypeNull) {
        LOG_AT(LOG_DBG3, L"Attribute at null");
    }
}

} // namespace

std::wstring_view GetStringValue(const EVT_VARIANT& value) {
    switch (value.Type) {
    case EvtVarTypeString:
        return value.StringVal != nullptr ? std::wstring_view(value.StringVal)
                                          : std::wstring_view();
    case EvtVarTypeNull:
        TraceValueAtNull();
        return {};
    default:
        LogUnknownType(value.Type);
        return {};
    }
}

uint64_t GetIntegerValue(const EVT_VARIANT& value) {
    switch (value.Type) {
    case EvtVarTypeByte:
        return value.ByteVal;
    case EvtVarTypeUInt16:
        return value.UInt16Val;
    case EvtVarTypeUInt32:
        return value.UInt32Val;
    case EvtVarTypeUInt64:
    case EvtVarTypeFileTime:
    case EvtVarTypeHexInt64:
        return value.UInt64Val;
    case EvtVarTypeNull:
        TraceValueAtNull();
        return 0;
    default:
        LogUnknownType(value.Type);
        return 0;
    }
}

PSID GetSidValue(const EVT_VARIANT& value) {
    switch (value.Type) {
    case EvtVarTypeSid:
        return value.SidVal;
    case EvtVarTypeNull:
        TraceValueAtNull();
        return nullptr;
    default:
        return nullptr;
    }
}

template <>
uint64_t GetVariantValue<uint64_t>(const EVT_VARIANT& variant) {
    TraceAttributeAtNull(variant);
    const uint64_t value = GetIntegerValue(variant);
    LOG_AT(LOG_DBG3, L"Value: " << value << L" Type: " << variant.Type);
    return value;
}

template <>
std::wstring_view GetVariantValue<std::wstring_view>(const EVT_VARIANT& variant) {
    TraceAttributeAtNull(variant);
    const std::wstring_view value = GetStringValue(variant);
    LOG_AT(LOG_DBG3, L"Value: " << value << L" Type: " << variant.Type);
    return value;
}

template <>
PSID GetVariantValue<PSID>(const EVT_VARIANT& variant) {
    TraceAttributeAtNull(variant);
    const PSID value = GetSidValue(variant);
    LOG_AT(LOG_DBG3, L"Value: " << static_cast<const void*>(value) << L" Type: " << variant.Type);
    return value;
}

std::wstring GetAccountName(PSID sid, const std::wstring& systemName, SID_NAME_USE* use) {
    constexpr DWORD BufferSize = 512;
    std::array<wchar_t, BufferSize> name;
    std::array<wchar_t, BufferSize> domain;
    name[0] = L'\0';
    domain[0] = L'\0';
    DWORD nameSize = BufferSize;
    DWORD domainSize = BufferSize;
    SID_NAME_USE accountUse = SidTypeUnknown;
    if (!LookupAccountSidW(systemName.empty() ? nullptr : systemName.c_str(), sid, name.data(),
                           &nameSize, domain.data(), &domainSize, &accountUse)) {
        RaiseError(HresultFromWin32(GetLastError()));
    }
    if (use != nullptr) {
        *use = accountUse;
    }
    // The buffers end with a null whatever the sizes say.
    name.back() = L'\0';
    domain.back() = L'\0';
    std::wstring account(domain.data());
    if (name[0] != L'\0') {
        if (!account.empty()) {
            account.push_back(L'\\');
        }
        account.append(name.data());
    }
    return account;
}

std::wstring FormatSidText(PSID sid) {
    // The binary layout: revision, sub-authority count, a 6-byte big-endian identifier authority,
    // then the sub-authorities as 32-bit little-endian values.
    const auto* bytes = static_cast<const uint8_t*>(sid);
    if (bytes == nullptr) {
        return {};
    }
    std::wstring text = L"S-" + std::to_wstring(bytes[0]) + L"-";
    uint64_t authority = 0;
    for (size_t i = 2; i < 8; ++i) {
        authority = authority << 8 | bytes[i];
    }
    if (authority <= 0xFFFFFFFFu) {
        text += std::to_wstring(authority);
    } else {
        std::array<wchar_t, 16> hex{};
        std::swprintf(hex.data(), hex.size(), L"0x%012llX",
                      static_cast<unsigned long long>(authority));
        text += hex.data();
    }
    // A SID has at most 15 sub-authorities; a larger count is not read past them.
    constexpr uint8_t MaxSubAuthorities = 15;
    const uint8_t count = std::min(bytes[1], MaxSubAuthorities);
    for (uint8_t i = 0; i < count; ++i) {
        uint32_t subAuthority = 0;
        std::memcpy(&subAuthority, bytes + 8 + 4 * i, sizeof(subAuthority));
        text += L"-" + std::to_wstring(subAuthority);
    }
    return text;
}

TimeText GetTimestampText(uint64_t fileTime) {
    TRACE_SCOPE(LOG_DBG3, L"Halyard::EventMaker::GetTimestamp");
    FILETIME time{static_cast<DWORD>(fileTime), static_cast<DWORD>(fileTime >> 32)};
    SYSTEMTIME parts{};
    if (!FileTimeToSystemTime(&time, &parts)) {
        RaiseError(HresultFromWin32(GetLastError()));
    }
    return FormatTimeText<TimeText>(parts.wYear, parts.wMonth, parts.wDay, parts.wHour,
                                    parts.wMinute, parts.wSecond);
}

std::wstring FormatUtcTime(std::chrono::system_clock::time_point time) {
    using namespace std::chrono;
    const auto seconds = floor<std::chrono::seconds>(time);
    const auto day = floor<days>(seconds);
    const year_month_day date{day};
    const hh_mm_ss clock{seconds - day};
    return FormatTimeText<std::wstring>(
        static_cast<int>(date.year()), static_cast<int>(unsigned{date.month()}),
        static_cast<int>(unsigned{date.day()}), static_cast<int>(clock.hours().count()),
        static_cast<int>(clock.minutes().count()), static_cast<int>(clock.seconds().count()));
}

UtcSeconds ParseUtcTime(std::wstring_view text) {
    using namespace std::chrono;
    int fields[6] = {0, 0, 0, 0, 0, 0};
    const std::wstring terminated(text);
    std::swscanf(terminated.c_str(), L"%04d-%02d-%02dT%02d:%02d:%02dZ", &fields[0], &fields[1],
                 &fields[2], &fields[3], &fields[4], &fields[5]);
    // As the inverse of gmtime: months beyond the year carry into years, days beyond the month
    // into months, and so on.
    const int monthIndex = fields[1] - 1;
    const int yearCarry = monthIndex >= 0 ? monthIndex / 12 : -((11 - monthIndex) / 12);
    const int month = monthIndex - yearCarry * 12 + 1;
    const sys_days firstOfMonth =
        year{fields[0] + yearCarry} / std::chrono::month{static_cast<unsigned>(month)} / 1;
    return firstOfMonth + days{fields[2] - 1} + hours{fields[3]} + minutes{fields[4]} +
           std::chrono::seconds{fields[5]};
}

} // namespace Halyard
