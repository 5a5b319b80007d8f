#include "Base/Utf.h"

#include <cstring>
#include <cwchar>

// Eight characters at a time where they are 32-bit lanes and the machine has SSE2.
#if defined(__SSE2__) && WCHAR_MAX > 0xFFFF
#define BASE_UTF_EIGHT_AT_A_TIME 1
#include <emmintrin.h>
#endif

namespace Base {

namespace {

#if defined(BASE_UTF_EIGHT_AT_A_TIME)
// Writes the eight characters at `p` as eight units at `out` when all of them are below the
// surrogates; false, with nothing written, when one is not.
bool PutEightBelowSurrogates(const wchar_t* p, void* out) noexcept {
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

} // namespace

size_t PutUnitsBelowSurrogates(std::wstring_view text, void* out) noexcept {
    const wchar_t* p = text.data();
    const wchar_t* const end = p + text.size();
    auto* to = static_cast<unsigned char*>(out);
#if defined(BASE_UTF_EIGHT_AT_A_TIME)
    for (; end - p >= 8 && PutEightBelowSurrogates(p, to); p += 8, to += 16) {
    }
#endif
    for (; p != end && static_cast<std::make_unsigned_t<wchar_t>>(*p) < 0xD800; ++p, to += 2) {
        const auto unit = static_cast<char16_t>(*p);
        std::memcpy(to, &unit, sizeof(unit));
    }
    return static_cast<size_t>(p - text.data());
}

std::wstring WideFromUtf16Le(std::string_view bytes) {
    std::wstring wide;
    AssignWideFromUtf16Le(bytes, wide);
    return wide;
}

void AssignWideFromUtf16Le(std::string_view bytes, std::wstring& wide) {
    const size_t count = bytes.size() / 2;
    const auto unitAt = [bytes](size_t i) {
        return static_cast<char16_t>(static_cast<unsigned char>(bytes[2 * i]) |
                                     static_cast<unsigned char>(bytes[2 * i + 1]) << 8);
    };
    // Text without surrogates (nearly all) is a character a unit: checked, then widened, each in
    // one pass without a branch per unit, which the compiler turns into vector code.
    uint32_t surrogates = 0;
    for (size_t i = 0; i < count; ++i) {
        surrogates |= static_cast<uint32_t>(static_cast<uint32_t>(unitAt(i)) - 0xD800 < 0x800);
    }
    if (surrogates == 0) {
        wide.resize(count);
        for (size_t i = 0; i < count; ++i) {
            wide[i] = static_cast<wchar_t>(unitAt(i));
        }
        return;
    }
    std::u16string units(count, u'\0');
    for (size_t i = 0; i < count; ++i) {
        units[i] = unitAt(i);
    }
    wide = Converted<wchar_t>(std::u16string_view(units));
}

} // namespace Base
