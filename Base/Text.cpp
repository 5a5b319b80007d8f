#include "Base/Text.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
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

namespace {

// The characters that may lower-case to one character of a lower-cased needle: itself, anything
// beyond ASCII and, for a small ASCII letter, its capital (an ASCII capital lower-cases to its
// small letter or to a letter beyond ASCII); for a character beyond ASCII, every capital too.
// Telling them asks no locale and no branch, so that a block of tests compiles to vector compares;
// a few more characters pass (the test folds 0x20 into every character), which the full
// comparison then turns away.
class MayLowerTo {
public:
    explicit MayLowerTo(wchar_t lower) noexcept
        : m_folded(static_cast<uint32_t>(lower) | 0x20),
          m_capitalsToo(static_cast<uint32_t>(lower) < 0x80 ? 0 : 26) {}

    unsigned operator()(wchar_t c) const noexcept {
        const auto point = static_cast<uint32_t>(c);
        return static_cast<unsigned>((point | 0x20) == m_folded) |
               static_cast<unsigned>(point > 0x7F) |
               static_cast<unsigned>(point - 'A' < m_capitalsToo);
    }

private:
    uint32_t m_folded;
    uint32_t m_capitalsToo;
};

// Whether LowerCase(text) holds `needle` at `at` (the text has room for it there).
bool LowerCasedHoldsAt(std::wstring_view text, size_t at, std::wstring_view needle) noexcept {
    for (size_t k = 0; k < needle.size(); ++k) {
        if (LowerCased(text[at + k]) != needle[k]) {
            return false;
        }
    }
    return true;
}

} // namespace

bool ContainsLowerCased(std::wstring_view text, std::wstring_view needle) {
    if (needle.empty()) {
        return true;
    }
    if (text.size() < needle.size()) {
        return false;
    }
    // A match can start only where the needle's first and last characters may both stand; the
    // text is scanned for such places a block at a time, and only they are compared in full.
    const MayLowerTo first(needle.front());
    const MayLowerTo last(needle.back());
    const size_t lastOffset = needle.size() - 1;
    const auto mayStart = [&](size_t at) { return first(text[at]) & last(text[at + lastOffset]); };
    const auto startsAt = [&](size_t at) { return LowerCasedHoldsAt(text, at, needle); };
    const size_t starts = text.size() - lastOffset;
    // Long enough for a compiler to keep the block's loop and vectorise it. The block's places
    // are marked one byte each, and the marked ones found eight at a time.
    constexpr size_t Block = 32;
    static_assert(std::endian::native == std::endian::little,
                  "a mark's byte is found from its bit");
    std::array<uint8_t, Block> marks{};
    size_t at = 0;
    for (; at + Block <= starts; at += Block) {
        for (size_t k = 0; k < Block; ++k) {
            marks[k] = static_cast<uint8_t>(mayStart(at + k));
        }
        for (size_t group = 0; group < Block; group += sizeof(uint64_t)) {
            uint64_t marked = 0;
            std::memcpy(&marked, marks.data() + group, sizeof(marked));
            for (; marked != 0; marked &= marked - 1) {
                if (startsAt(at + group + static_cast<size_t>(std::countr_zero(marked)) / 8)) {
                    return true;
                }
            }
        }
    }
    for (; at < starts; ++at) {
        if (mayStart(at) != 0 && startsAt(at)) {
            return true;
        }
    }
    return false;
}

CaseBlindNeedle::CaseBlindNeedle(std::wstring lowerCased) : m_needle(std::move(lowerCased)) {
    const size_t n = m_needle.size();
    if (n < kShortest) {
        return;
    }
    // Over a character that the needle's first n-1 do not hold, the needle moves on whole; over
    // one they hold, as far as puts their last one under it. An ASCII capital may also lower-case
    // to a character beyond ASCII.
    const auto shift = [](size_t places) {
        return static_cast<uint8_t>(std::min<size_t>(places, 255));
    };
    m_asciiShift.fill(shift(n));
    uint8_t beyondAscii = shift(n);
    for (size_t j = 0; j + 1 < n; ++j) {
        const auto point = static_cast<uint32_t>(m_needle[j]);
        if (point < 0x80) {
            m_asciiShift[point] = shift(n - 1 - j);
        } else {
            beyondAscii = shift(n - 1 - j);
        }
    }
    for (uint32_t capital = 'A'; capital <= 'Z'; ++capital) {
        m_asciiShift[capital] =
            std::min({m_asciiShift[capital], m_asciiShift[capital | 0x20], beyondAscii});
    }
}

bool CaseBlindNeedle::FoundIn(std::wstring_view text) const {
    const size_t n = m_needle.size();
    if (n < kShortest) {
        return ContainsLowerCased(text, m_needle);
    }
    const MayLowerTo last(m_needle.back());
    for (size_t end = n - 1; end < text.size();) {
        const wchar_t c = text[end];
        if (last(c) != 0 && LowerCasedHoldsAt(text, end - (n - 1), m_needle)) {
            return true;
        }
        const auto point = static_cast<uint32_t>(c);
        end += point < 0x80 ? m_asciiShift[point] : 1;
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
