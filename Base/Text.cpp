#include "Base/Text.h"

#include <algorithm>
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

std::wstring LowerCase(std::wstring text) {
    for (wchar_t& c : text) {
        c = static_cast<wchar_t>(std::towlower(static_cast<std::wint_t>(c)));
    }
    return text;
}

bool ContainsLowerCased(std::wstring_view text, std::wstring_view needle) {
    // ASCII other than the capitals is its own lower case in every locale: most of a text is
    // compared without asking the locale.
    const auto equal = [](wchar_t c, wchar_t lower) {
        const auto point = static_cast<uint32_t>(c);
        if (point < 0x80 && (point < 'A' || point > 'Z')) {
            return c == lower;
        }
        return static_cast<wchar_t>(std::towlower(static_cast<std::wint_t>(c))) == lower;
    };
    return std::search(text.begin(), text.end(), needle.begin(), needle.end(), equal) != text.end();
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
