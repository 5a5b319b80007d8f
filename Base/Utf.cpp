#include "Base/Utf.h"

#include <bit>
#include <cstdint>
#include <cstring>

namespace Base {

std::wstring WideFromUtf16Le(std::string_view bytes) {
    std::wstring wide;
    AssignWideFromUtf16Le(bytes, wide);
    return wide;
}

void AssignWideFromUtf16Le(std::string_view bytes, std::wstring& wide) {
    const size_t count = bytes.size() / 2;
    const auto unitAt = [bytes](size_t i) {
        if constexpr (std::endian::native == std::endian::little) {
            uint16_t unit = 0; // one load where the bytes stand as the machine keeps a unit
            std::memcpy(&unit, bytes.data() + 2 * i, sizeof(unit));
            return static_cast<char16_t>(unit);
        } else {
            return static_cast<char16_t>(static_cast<unsigned char>(bytes[2 * i]) |
                                         static_cast<unsigned char>(bytes[2 * i + 1]) << 8);
        }
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
