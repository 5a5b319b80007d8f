#include "Base/Text.h"

#include <cstdint>
#include <cwctype>

namespace Base {

std::wstring_view Trim(std::wstring_view text) noexcept {
    const size_t first = text.find_first_not_of(kWhiteSpace);
    return first == std::wstring_view::npos ? std::wstring_view{} : TrimEnd(text.substr(first));
}

std::wstring_view TrimEnd(std::wstring_view text) noexcept {
    const size_t last = text.find_last_not_of(kWhiteSpace);
    return last == std::wstring_view::npos ? std::wstring_view{} : text.substr(0, last + 1);
}

namespace {

// ASCII other than the capitals is its own lower case in every locale: most of a text is compared
// without asking the locale.
bool IsOwnLowerCase(wchar_t c) noexcept {
    const auto point = static_cast<uint32_t>(c);
    return point < 0x80 && point - 'A' >= 26;
}

wchar_t LowerCased(wchar_t c) noexcept {
    return IsOwnLowerCase(c) ? c : static_cast<wchar_t>(std::towlower(static_cast<std::wint_t>(c)));
}

} // namespace

std::wstring LowerCase(std::wstring text) {
    for (wchar_t& c : text) {
        c = LowerCased(c);
    }
    return text;
}

bool ContainsLowerCased(std::wstring_view text, std::wstring_view needle) {
    if (needle.empty()) {
        return true;
    }
    if (text.size() < needle.size()) {
        return false;
    }
    // The characters that may lower-case to the needle's first: itself, anything beyond ASCII
    // and, for a small ASCII letter, its capital (an ASCII capital lower-cases to its small letter
    // or to a letter beyond ASCII); for a first character beyond ASCII, every capital too. The
    // scan for them asks no locale and runs over blocks without a branch per character.
    const wchar_t first = needle.front();
    const auto firstPoint = static_cast<uint32_t>(first);
    const bool firstIsAscii = firstPoint < 0x80;
    const auto capital =
        firstPoint - 'a' < 26 ? static_cast<uint32_t>(firstPoint - 'a' + 'A') : firstPoint;
    const auto mayStart = [&](wchar_t c) {
        const auto point = static_cast<uint32_t>(c);
        return point == firstPoint || point == capital || point >= 0x80 ||
               (!firstIsAscii && point - 'A' < 26);
    };
    const auto startsAt = [&](size_t at) {
        for (size_t k = 0; k < needle.size(); ++k) {
            if (LowerCased(text[at + k]) != needle[k]) {
                return false;
            }
        }
        return true;
    };
    const size_t starts = text.size() - needle.size() + 1;
    constexpr size_t Block = 8;
    size_t at = 0;
    for (; at + Block <= starts; at += Block) {
        bool any = false;
        for (size_t k = 0; k < Block; ++k) {
            any |= mayStart(text[at + k]);
        }
        if (any) {
            for (size_t k = 0; k < Block; ++k) {
                if (mayStart(text[at + k]) && startsAt(at + k)) {
                    return true;
                }
            }
        }
    }
    for (; at < starts; ++at) {
        if (mayStart(text[at]) && startsAt(at)) {
            return true;
        }
    }
    return false;
}

std::wstring_view DecimalDigits(uint64_t value, DecimalRoom& room) noexcept {
    wchar_t* const end = room.data() + room.size();
    wchar_t* first = end;
    do {
        *--first = static_cast<wchar_t>(L'0' + value % 10);
        value /= 10;
    } while (value != 0);
    return {first, static_cast<size_t>(end - first)};
}

} // namespace Base
