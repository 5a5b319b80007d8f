#include "PalEventLog/Store/Text.h"

#include "Base/FileTime.h"

#include <cmath>
#include <cstdio>
#include <cwctype>
#include <limits>

namespace PalEventLog {

namespace {
wchar_t Lower(wchar_t c) noexcept {
    return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c - L'A' + L'a') : c;
}

} // namespace

bool EqualsNoCase(std::wstring_view a, std::wstring_view b) noexcept {
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        if (Lower(a[i]) != Lower(b[i])) {
            return false;
        }
    }
    return true;
}

bool NoCaseLess::operator()(std::wstring_view a, std::wstring_view b) const noexcept {
    const size_t n = std::min(a.size(), b.size());
    for (size_t i = 0; i < n; ++i) {
        const wchar_t x = Lower(a[i]);
        const wchar_t y = Lower(b[i]);
        if (x != y) {
            return x < y;
        }
    }
    return a.size() < b.size();
}

std::optional<uint64_t> ParseSystemTime(std::wstring_view text) noexcept {
    text = Trim(text);
    auto digits = [&](size_t pos, size_t count, unsigned& value) {
        if (pos + count > text.size()) {
            return false;
        }
        value = 0;
        for (size_t i = pos; i < pos + count; ++i) {
            if (text[i] < L'0' || text[i] > L'9') {
                return false;
            }
            value = value * 10 + static_cast<unsigned>(text[i] - L'0');
        }
        return true;
    };
    unsigned year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
    if (!digits(0, 4, year) || text.size() < 20 || text[4] != L'-' || !digits(5, 2, month) ||
        text[7] != L'-' || !digits(8, 2, day) || text[10] != L'T' || !digits(11, 2, hour) ||
        text[13] != L':' || !digits(14, 2, minute) || text[16] != L':' || !digits(17, 2, second)) {
        return std::nullopt;
    }
    if (year < 1601 || month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 ||
        second > 60) {
        return std::nullopt;
    }
    size_t pos = 19;
    uint64_t fraction = 0;
    if (text[pos] == L'.') {
        ++pos;
        size_t count = 0;
        while (pos < text.size() && text[pos] >= L'0' && text[pos] <= L'9') {
            if (count < 7) {
                fraction = fraction * 10 + static_cast<uint64_t>(text[pos] - L'0');
            }
            ++count;
            ++pos;
        }
        if (count == 0) {
            return std::nullopt;
        }
        for (; count < 7; ++count) {
            fraction *= 10;
        }
    }
    if (pos + 1 != text.size() || text[pos] != L'Z') {
        return std::nullopt;
    }
    return Base::FileTimeFromCivil({year, month, day}, hour, minute, second,
                                   static_cast<uint32_t>(fraction));
}

size_t FormatSystemTime(uint64_t fileTime, char (&buffer)[40]) noexcept {
    const Base::CivilTime t = Base::CivilFromFileTime(fileTime);
    const int length = std::snprintf(buffer, sizeof buffer, "%04lld-%02u-%02uT%02u:%02u:%02u.%07uZ",
                                     static_cast<long long>(t.date.year), t.date.month, t.date.day,
                                     t.hour, t.minute, t.second, t.ticks);
    return length > 0 ? static_cast<size_t>(length) : 0;
}

std::wstring FormatSystemTime(uint64_t fileTime) {
    char buffer[40];
    const size_t length = FormatSystemTime(fileTime, buffer);
    return std::wstring(buffer, buffer + length);
}

std::optional<uint64_t> ParseUnsigned(std::wstring_view text) noexcept {
    text = Trim(text);
    if (text.empty()) {
        return std::nullopt;
    }
    uint64_t value = 0;
    if (text.size() > 2 && text[0] == L'0' && (text[1] == L'x' || text[1] == L'X')) {
        for (size_t i = 2; i < text.size(); ++i) {
            const wchar_t c = Lower(text[i]);
            unsigned digit = 0;
            if (c >= L'0' && c <= L'9') {
                digit = static_cast<unsigned>(c - L'0');
            } else if (c >= L'a' && c <= L'f') {
                digit = static_cast<unsigned>(c - L'a' + 10);
            } else {
                return std::nullopt;
            }
            if (value >> 60) {
                return std::nullopt;
            }
            value = value * 16 + digit;
        }
        return value;
    }
    for (wchar_t c : text) {
        if (c < L'0' || c > L'9') {
            return std::nullopt;
        }
        const auto digit = static_cast<uint64_t>(c - L'0');
        if (value > (std::numeric_limits<uint64_t>::max() - digit) / 10) {
            return std::nullopt;
        }
        value = value * 10 + digit;
    }
    return value;
}

double ParseNumber(std::wstring_view text) noexcept {
    text = Trim(text);
    const double nan = std::numeric_limits<double>::quiet_NaN();
    if (text.empty()) {
        return nan;
    }
    bool negative = false;
    size_t i = 0;
    if (text[0] == L'-') {
        negative = true;
        ++i;
    }
    double value = 0;
    bool any = false;
    for (; i < text.size() && text[i] >= L'0' && text[i] <= L'9'; ++i) {
        value = value * 10 + (text[i] - L'0');
        any = true;
    }
    if (i < text.size() && text[i] == L'.') {
        double scale = 0.1;
        for (++i; i < text.size() && text[i] >= L'0' && text[i] <= L'9'; ++i) {
            value += (text[i] - L'0') * scale;
            scale /= 10;
            any = true;
        }
    }
    if (!any || i != text.size()) {
        return nan;
    }
    return negative ? -value : value;
}

std::optional<GUID> ParseGuid(std::wstring_view text) noexcept {
    text = Trim(text);
    if (text.size() == 38 && text.front() == L'{' && text.back() == L'}') {
        text = text.substr(1, 36);
    }
    if (text.size() != 36 || text[8] != L'-' || text[13] != L'-' || text[18] != L'-' ||
        text[23] != L'-') {
        return std::nullopt;
    }
    auto hex = [&](size_t pos, size_t count, uint64_t& value) {
        value = 0;
        for (size_t i = pos; i < pos + count; ++i) {
            const wchar_t c = Lower(text[i]);
            if (c >= L'0' && c <= L'9') {
                value = value * 16 + static_cast<uint64_t>(c - L'0');
            } else if (c >= L'a' && c <= L'f') {
                value = value * 16 + static_cast<uint64_t>(c - L'a' + 10);
            } else {
                return false;
            }
        }
        return true;
    };
    GUID guid{};
    uint64_t a = 0, b = 0, c = 0, d = 0, e = 0;
    if (!hex(0, 8, a) || !hex(9, 4, b) || !hex(14, 4, c) || !hex(19, 4, d) || !hex(24, 12, e)) {
        return std::nullopt;
    }
    guid.Data1 = static_cast<uint32_t>(a);
    guid.Data2 = static_cast<uint16_t>(b);
    guid.Data3 = static_cast<uint16_t>(c);
    guid.Data4[0] = static_cast<uint8_t>(d >> 8);
    guid.Data4[1] = static_cast<uint8_t>(d);
    for (int i = 0; i < 6; ++i) {
        guid.Data4[2 + i] = static_cast<uint8_t>(e >> (8 * (5 - i)));
    }
    return guid;
}

std::wstring FormatGuid(const GUID& g) {
    wchar_t buffer[40];
    std::swprintf(buffer, 40, L"{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", g.Data1,
                  g.Data2, g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4],
                  g.Data4[5], g.Data4[6], g.Data4[7]);
    return buffer;
}

std::optional<std::vector<uint8_t>> ParseSid(std::wstring_view text) {
    text = Trim(text);
    if (text.size() < 5 || Lower(text[0]) != L's' || text[1] != L'-') {
        return std::nullopt;
    }
    std::vector<uint64_t> parts;
    size_t pos = 2;
    while (pos <= text.size()) {
        size_t end = text.find(L'-', pos);
        if (end == std::wstring_view::npos) {
            end = text.size();
        }
        auto value = ParseUnsigned(text.substr(pos, end - pos));
        if (!value) {
            return std::nullopt;
        }
        parts.push_back(*value);
        pos = end + 1;
    }
    // Revision, authority, then at most 15 sub-authorities of 32 bits.
    if (parts.size() < 2 || parts.size() > 17 || parts[0] != 1 || parts[1] >= (1ull << 48)) {
        return std::nullopt;
    }
    std::vector<uint8_t> sid;
    sid.push_back(1);
    sid.push_back(static_cast<uint8_t>(parts.size() - 2));
    for (int i = 5; i >= 0; --i) {
        sid.push_back(static_cast<uint8_t>(parts[1] >> (8 * i)));
    }
    for (size_t i = 2; i < parts.size(); ++i) {
        if (parts[i] > 0xFFFFFFFFu) {
            return std::nullopt;
        }
        for (int b = 0; b < 4; ++b) {
            sid.push_back(static_cast<uint8_t>(parts[i] >> (8 * b)));
        }
    }
    return sid;
}

} // namespace PalEventLog
