// Texts trimmed and lower-cased, with one meaning each wherever the code does it.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace Base {

// The white space a text is trimmed of: space, tab, line feed, vertical tab, form feed and
// carriage return (the C locale's, whatever locale the process has).
inline constexpr std::wstring_view kWhiteSpace = L" \t\n\v\f\r";

// `text` without white space at either end, or at its end only.
std::wstring_view Trim(std::wstring_view text) noexcept;
std::wstring_view TrimEnd(std::wstring_view text) noexcept;
// A copy of Trim's answer.
inline std::wstring Trimmed(std::wstring_view text) {
    return std::wstring(Trim(text));
}

// Lower case as the process's global locale has it, character by character.
std::wstring LowerCase(std::wstring text);
// Whether `needle`, in lower case, occurs in LowerCase(text), without making that copy.
bool ContainsLowerCased(std::wstring_view text, std::wstring_view needle);

// A lower-cased needle prepared to be looked for in many texts, with ContainsLowerCased's answer.
// A needle of 8 characters or more is looked for Horspool's way: the text's character under the
// needle's last one tells how far the needle can move on (a character beyond ASCII, which may
// lower-case to any, one place).
class CaseBlindNeedle {
public:
    explicit CaseBlindNeedle(std::wstring lowerCased);

    const std::wstring& Text() const noexcept { return m_needle; }
    bool FoundIn(std::wstring_view text) const;

private:
    static constexpr size_t kShortest = 8;

    std::wstring m_needle;
    // How far the needle moves on over an ASCII character (at most 255).
    std::array<uint8_t, 128> m_asciiShift{};
};

// The decimal digits of `value`, written at the end of `room`; the view covers them. For texts
// made by the million (log lines, the search's event ids), where printf and a string each cost.
using DecimalRoom = std::array<wchar_t, 20>;
std::wstring_view DecimalDigits(uint64_t value, DecimalRoom& room) noexcept;

// Hashes wide text whoever owns it, so that an unordered container keyed by std::wstring (with
// std::equal_to<>) can be asked with a std::wstring_view, without a copy.
struct WideTextHash {
    using is_transparent = void;
    size_t operator()(std::wstring_view text) const noexcept {
        return std::hash<std::wstring_view>{}(text);
    }
};

} // namespace Base
