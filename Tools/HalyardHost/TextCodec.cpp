#include "TextCodec.h"

#include <cstdint>

namespace HalyardHost {

namespace {

constexpr char32_t Replacement = 0xFFFD;

// Decodes one code point at `at`; false for a malformed sequence (then `at` moves one byte on).
bool NextCodePoint(std::string_view text, size_t& at, char32_t& codePoint) {
    const auto lead = static_cast<uint8_t>(text[at++]);
    if (lead < 0x80) {
        codePoint = lead;
        return true;
    }
    size_t extra = 0;
    char32_t minimum = 0;
    if ((lead & 0xE0) == 0xC0) {
        extra = 1;
        minimum = 0x80;
        codePoint = lead & 0x1F;
    } else if ((lead & 0xF0) == 0xE0) {
        extra = 2;
        minimum = 0x800;
        codePoint = lead & 0x0F;
    } else if ((lead & 0xF8) == 0xF0) {
        extra = 3;
        minimum = 0x10000;
        codePoint = lead & 0x07;
    } else {
        return false;
    }
    if (text.size() - at < extra) {
        return false;
    }
    for (size_t i = 0; i < extra; ++i) {
        const auto next = static_cast<uint8_t>(text[at + i]);
        if ((next & 0xC0) != 0x80) {
            return false;
        }
        codePoint = (codePoint << 6) | (next & 0x3F);
    }
    if (codePoint < minimum || codePoint > 0x10FFFF ||
        (codePoint >= 0xD800 && codePoint <= 0xDFFF)) {
        return false;
    }
    at += extra;
    return true;
}

template <typename Append>
bool Decode(std::string_view text, bool lenient, Append&& append) {
    size_t at = 0;
    while (at < text.size()) {
        char32_t codePoint = 0;
        if (!NextCodePoint(text, at, codePoint)) {
            if (!lenient) {
                return false;
            }
            codePoint = Replacement;
        }
        append(codePoint);
    }
    return true;
}

void AppendUtf16(std::u16string& out, char32_t codePoint) {
    if (codePoint >= 0x10000) {
        codePoint -= 0x10000;
        out.push_back(static_cast<char16_t>(0xD800 + (codePoint >> 10)));
        out.push_back(static_cast<char16_t>(0xDC00 + (codePoint & 0x3FF)));
    } else {
        out.push_back(static_cast<char16_t>(codePoint));
    }
}

void AppendWide(std::wstring& out, char32_t codePoint) {
    if constexpr (sizeof(wchar_t) == 2) {
        std::u16string units;
        AppendUtf16(units, codePoint);
        out.append(units.begin(), units.end());
    } else {
        out.push_back(static_cast<wchar_t>(codePoint));
    }
}

void AppendUtf8(std::string& out, char32_t codePoint) {
    if (codePoint < 0x80) {
        out.push_back(static_cast<char>(codePoint));
    } else if (codePoint < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (codePoint >> 6)));
        out.push_back(static_cast<char>(0x80 | (codePoint & 0x3F)));
    } else if (codePoint < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (codePoint >> 12)));
        out.push_back(static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (codePoint & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (codePoint >> 18)));
        out.push_back(static_cast<char>(0x80 | ((codePoint >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (codePoint & 0x3F)));
    }
}

// UTF-16 code units (or UTF-32 wide characters) to UTF-8; lone surrogates become U+FFFD.
template <typename Unit>
std::string EncodeUnits(std::basic_string_view<Unit> text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        auto codePoint = static_cast<char32_t>(text[i]);
        if (codePoint >= 0xD800 && codePoint <= 0xDBFF && i + 1 < text.size() &&
            static_cast<char32_t>(text[i + 1]) >= 0xDC00 &&
            static_cast<char32_t>(text[i + 1]) <= 0xDFFF) {
            codePoint = 0x10000 + ((codePoint - 0xD800) << 10) +
                        (static_cast<char32_t>(text[++i]) - 0xDC00);
        } else if ((codePoint >= 0xD800 && codePoint <= 0xDFFF) || codePoint > 0x10FFFF) {
            codePoint = Replacement;
        }
        AppendUtf8(out, codePoint);
    }
    return out;
}

} // namespace

bool Utf16FromUtf8(std::string_view text, std::u16string& out) {
    out.clear();
    return Decode(text, false, [&](char32_t c) { AppendUtf16(out, c); });
}

bool WideFromUtf8(std::string_view text, std::wstring& out) {
    out.clear();
    return Decode(text, false, [&](char32_t c) { AppendWide(out, c); });
}

std::wstring WideFromUtf8Lenient(std::string_view text) {
    std::wstring out;
    Decode(text, true, [&](char32_t c) { AppendWide(out, c); });
    return out;
}

std::string Utf8FromUtf16(std::u16string_view text) {
    return EncodeUnits(text);
}

std::string Utf8FromWide(std::wstring_view text) {
    return EncodeUnits(text);
}

} // namespace HalyardHost
