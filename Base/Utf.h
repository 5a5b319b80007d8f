// The one text codec of the project: UTF-8, UTF-16 and UTF-32 into one another, with one rule for
// invalid input. The encoding of a string type follows from the size of its code unit: char is
// UTF-8, a 16-bit unit (char16_t, and wchar_t on Windows) UTF-16, a 32-bit unit (wchar_t
// elsewhere, char32_t) UTF-32.
//
// Invalid input: every ill-formed piece becomes one U+FFFD and the conversion goes on after it.
// In UTF-8 that is each maximal subpart of an ill-formed sequence (a byte that starts no sequence,
// a sequence cut short, an overlong form, an encoded surrogate or a value above U+10FFFF); in
// UTF-16 a lone surrogate; in UTF-32 a value that is no Unicode scalar value. Between two strings
// of the same encoding the text is copied as it is.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <cwchar>
#include <string>
#include <string_view>
#include <type_traits>

// Eight characters at a time where they are 32-bit lanes and the machine has SSE2.
#if defined(__SSE2__) && WCHAR_MAX > 0xFFFF
#define BASE_UTF_EIGHT_AT_A_TIME 1
#include <emmintrin.h>
#endif

namespace Base {

inline constexpr char32_t kReplacementCharacter = 0xFFFD;

// A code point that is not a surrogate and not above U+10FFFF.
constexpr bool IsScalarValue(char32_t c) noexcept {
    return c < 0xD800 || (c > 0xDFFF && c <= 0x10FFFF);
}

// Reads the code point that starts at text[i] and moves i past it; an ill-formed piece gives
// U+FFFD (see above). i < text.size() on entry.
template <typename Unit>
constexpr char32_t DecodeNext(std::basic_string_view<Unit> text, size_t& i) noexcept {
    if constexpr (sizeof(Unit) == 1) {
        const auto byte = [&](size_t at) { return static_cast<unsigned char>(text[at]); };
        const unsigned lead = byte(i++);
        if (lead < 0x80) {
            return lead;
        }
        size_t length = 0;
        char32_t c = 0;
        // The range of the second byte keeps out overlong forms, surrogates and values above
        // U+10FFFF at the first byte that shows them.
        unsigned low = 0x80;
        unsigned high = 0xBF;
        if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
            c = lead & 0x1F;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            c = lead & 0x0F;
            low = lead == 0xE0 ? 0xA0 : 0x80;
            high = lead == 0xED ? 0x9F : 0xBF;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            c = lead & 0x07;
            low = lead == 0xF0 ? 0x90 : 0x80;
            high = lead == 0xF4 ? 0x8F : 0xBF;
        } else {
            return kReplacementCharacter;
        }
        for (size_t k = 1; k < length; ++k) {
            if (i >= text.size() || byte(i) < low || byte(i) > high) {
                return kReplacementCharacter; // the byte that does not fit is read again
            }
            c = (c << 6) | (byte(i++) & 0x3F);
            low = 0x80;
            high = 0xBF;
        }
        return c;
    } else if constexpr (sizeof(Unit) == 2) {
        const auto unit = static_cast<char32_t>(static_cast<uint16_t>(text[i++]));
        if (unit < 0xD800 || unit > 0xDFFF) {
            return unit;
        }
        if (unit <= 0xDBFF && i < text.size()) {
            const auto low = static_cast<char32_t>(static_cast<uint16_t>(text[i]));
            if (low >= 0xDC00 && low <= 0xDFFF) {
                ++i;
                return 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
            }
        }
        return kReplacementCharacter;
    } else {
        static_assert(sizeof(Unit) == 4);
        const auto c = static_cast<char32_t>(text[i++]);
        return IsScalarValue(c) ? c : kReplacementCharacter;
    }
}

// Appends a scalar value in the encoding of the container's unit (a string or a vector).
template <typename Out>
void AppendEncoded(Out& out, char32_t c) {
    using Unit = typename Out::value_type;
    if constexpr (sizeof(Unit) == 1) {
        if (c < 0x80) {
            out.push_back(static_cast<Unit>(c));
        } else if (c < 0x800) {
            out.push_back(static_cast<Unit>(0xC0 | (c >> 6)));
            out.push_back(static_cast<Unit>(0x80 | (c & 0x3F)));
        } else if (c < 0x10000) {
            out.push_back(static_cast<Unit>(0xE0 | (c >> 12)));
            out.push_back(static_cast<Unit>(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(static_cast<Unit>(0x80 | (c & 0x3F)));
        } else {
            out.push_back(static_cast<Unit>(0xF0 | (c >> 18)));
            out.push_back(static_cast<Unit>(0x80 | ((c >> 12) & 0x3F)));
            out.push_back(static_cast<Unit>(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(static_cast<Unit>(0x80 | (c & 0x3F)));
        }
    } else if constexpr (sizeof(Unit) == 2) {
        if (c < 0x10000) {
            out.push_back(static_cast<Unit>(c));
        } else {
            out.push_back(static_cast<Unit>(0xD800 + ((c - 0x10000) >> 10)));
            out.push_back(static_cast<Unit>(0xDC00 + ((c - 0x10000) & 0x3FF)));
        }
    } else {
        out.push_back(static_cast<Unit>(c));
    }
}

namespace UtfDetail {

// True for a unit that is the same code point, as one unit, in both encodings: ASCII where either
// side is UTF-8, else anything below the surrogates. Runs of such units are copied as they are.
template <typename To, typename From>
constexpr bool IsDirect(From unit) noexcept {
    const auto value = static_cast<std::make_unsigned_t<From>>(unit);
    if constexpr (sizeof(To) == 1 || sizeof(From) == 1) {
        return value < 0x80;
    } else {
        return value < 0xD800;
    }
}

// Appends units that need no conversion, each cast to the container's unit, into room made at
// once (an insert of another unit type would build a temporary copy first).
template <typename Out, typename From>
void AppendDirect(Out& out, const From* first, const From* last) {
    using To = typename Out::value_type;
    if constexpr (std::is_same_v<To, From>) {
        out.insert(out.end(), first, last);
    } else {
        const size_t at = out.size();
        out.resize(at + static_cast<size_t>(last - first));
        To* to = out.data() + at;
        for (; first != last; ++first, ++to) {
            *to = static_cast<To>(*first);
        }
    }
}

// A container of UTF-16 code units to the converter, each unit stored as two bytes, low first.
template <typename Bytes>
struct Utf16LeWriter {
    using value_type = char16_t;
    Bytes& bytes;
    size_t size() const noexcept { return bytes.size() / 2; }
    void reserve(size_t units) { bytes.reserve(units * 2); }
    void push_back(char16_t unit) {
        bytes.push_back(static_cast<typename Bytes::value_type>(unit & 0xFF));
        bytes.push_back(static_cast<typename Bytes::value_type>(unit >> 8));
    }
};

// Units that need no conversion, written two bytes each into room made once.
template <typename Bytes, typename From>
void AppendDirect(Utf16LeWriter<Bytes>& out, const From* first, const From* last) {
    const size_t at = out.bytes.size();
    out.bytes.resize(at + 2 * static_cast<size_t>(last - first));
    auto* bytes = out.bytes.data() + at;
    for (; first != last; ++first, bytes += 2) {
        const auto unit = static_cast<uint16_t>(*first);
        bytes[0] = static_cast<typename Bytes::value_type>(unit & 0xFF);
        bytes[1] = static_cast<typename Bytes::value_type>(unit >> 8);
    }
}

#if defined(BASE_UTF_EIGHT_AT_A_TIME)
// Writes the eight characters at `p` as eight units at `out` when all of them are below the
// surrogates; false, with nothing written, when one is not.
inline bool PutEightBelowSurrogates(const wchar_t* p, void* out) noexcept {
    static_assert(sizeof(wchar_t) == 4, "a character is read as a 32-bit lane");
    // Compared unsigned (by flipping the sign bit). Narrowed by a signed saturating pack: less
    // 0x8000, every value below the surrogates fits in 16 signed bits, and 0x8000 is added back.
    const __m128i sign = _mm_set1_epi32(INT32_MIN);
    const __m128i below = _mm_set1_epi32(static_cast<int32_t>(0xD800u ^ 0x80000000u));
    const __m128i low = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i high = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 4));
    const __m128i direct = _mm_and_si128(_mm_cmplt_epi32(_mm_xor_si128(low, sign), below),
                                         _mm_cmplt_epi32(_mm_xor_si128(high, sign), below));
    if (_mm_movemask_epi8(direct) != 0xFFFF) {
        return false;
    }
    const __m128i bias = _mm_set1_epi32(0x8000);
    const __m128i units =
        _mm_add_epi16(_mm_packs_epi32(_mm_sub_epi32(low, bias), _mm_sub_epi32(high, bias)),
                      _mm_set1_epi16(static_cast<int16_t>(-0x8000)));
    _mm_storeu_si128(static_cast<__m128i*>(out), units);
    return true;
}
#endif
} // namespace UtfDetail

// Appends `text` converted to the encoding of the container's unit (a string or a vector). Runs
// of units that mean the same in both encodings (ASCII, most text) are copied in bulk; the codec
// decodes the rest one code point at a time.
template <typename Out, typename From>
void AppendConverted(Out& out, std::basic_string_view<From> text) {
    using To = typename Out::value_type;
    const From* const data = text.data();
    if constexpr (sizeof(To) == sizeof(From)) {
        UtfDetail::AppendDirect(out, data, data + text.size());
    } else {
        out.reserve(out.size() + text.size());
        for (size_t i = 0; i < text.size();) {
            size_t run = i;
            while (run < text.size() && UtfDetail::IsDirect<To>(data[run])) {
                ++run;
            }
            if (run > i) {
                UtfDetail::AppendDirect(out, data + i, data + run);
                i = run;
            }
            if (i < text.size()) {
                AppendEncoded(out, DecodeNext(text, i));
            }
        }
    }
}

template <typename To, typename From>
std::basic_string<To> Converted(std::basic_string_view<From> text) {
    std::basic_string<To> out;
    AppendConverted(out, text);
    return out;
}

inline std::string Utf8FromWide(std::wstring_view text) {
    return Converted<char>(text);
}
inline std::wstring WideFromUtf8(std::string_view text) {
    return Converted<wchar_t>(text);
}

// The number of UTF-16 code units of a text once converted.
template <typename Unit>
size_t Utf16Length(std::basic_string_view<Unit> text) noexcept {
    if constexpr (sizeof(Unit) != 4) {
        static_assert(sizeof(Unit) == 2, "UTF-8 text: count what Converted gives");
        return text.size();
    } else {
        // A scalar value beyond the basic plane takes two units. One comparison without a branch
        // per character, which the compiler turns into vector code.
        size_t length = text.size();
        for (const Unit c : text) {
            length += static_cast<char32_t>(c) - 0x10000 < 0x100000 ? 1 : 0;
        }
        return length;
    }
}
inline size_t Utf16Length(std::wstring_view text) noexcept {
    return Utf16Length<wchar_t>(text);
}

// Writes the characters at the start of `text` that lie below the surrogates (nearly all text) as
// UTF-16 units in the machine's byte order at `out`, up to the first that does not; returns how
// many it wrote. Where wide text is UTF-32 this is the bulk of every conversion to UTF-16 (texts
// handed to the node library, records and log lines written), so it goes eight at a time on
// machines with SSE2.
inline size_t PutUnitsBelowSurrogates(std::wstring_view text, void* out) noexcept {
    const wchar_t* p = text.data();
    const wchar_t* const end = p + text.size();
    auto* to = static_cast<unsigned char*>(out);
#if defined(BASE_UTF_EIGHT_AT_A_TIME)
    for (; end - p >= 8 && UtfDetail::PutEightBelowSurrogates(p, to); p += 8, to += 16) {
    }
#endif
    for (; p != end && static_cast<std::make_unsigned_t<wchar_t>>(*p) < 0xD800; ++p, to += 2) {
        const auto unit = static_cast<char16_t>(*p);
        std::memcpy(to, &unit, sizeof(unit));
    }
    return static_cast<size_t>(p - text.data());
}

// UTF-16LE byte images (files, resources, records) read and written on either byte order of the
// machine. A last odd byte is not read.
std::wstring WideFromUtf16Le(std::string_view bytes);
// The same into `wide`, whose room is reused.
void AssignWideFromUtf16Le(std::string_view bytes, std::wstring& wide);

// Appends `text` to `bytes` (a string or a vector of bytes) as UTF-16LE, without a terminator.
template <typename Bytes>
void AppendUtf16Le(Bytes& bytes, std::wstring_view text) {
    if constexpr (std::endian::native == std::endian::little) {
        const size_t at = bytes.size();
        bytes.resize(at + 2 * text.size());
        const size_t direct = PutUnitsBelowSurrogates(text, bytes.data() + at);
        bytes.resize(at + 2 * direct);
        text.remove_prefix(direct);
    }
    UtfDetail::Utf16LeWriter<Bytes> writer{bytes};
    AppendConverted(writer, text);
}

} // namespace Base
