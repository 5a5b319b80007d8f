// BSTRs with the Windows layout: a 32-bit length in bytes before the characters, a NUL after
// them; the BSTR points at the first character.
#include "Win32/OleAuto.h"

#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <limits>

namespace {

constexpr size_t kPrefix = sizeof(uint32_t);

BSTR Allocate(const OLECHAR* text, size_t length) noexcept {
    const size_t bytes = length * sizeof(OLECHAR);
    if (length > (std::numeric_limits<uint32_t>::max() - sizeof(OLECHAR)) / sizeof(OLECHAR)) {
        return nullptr;
    }
    auto* block = static_cast<unsigned char*>(std::malloc(kPrefix + bytes + sizeof(OLECHAR)));
    if (block == nullptr) {
        return nullptr;
    }
    const auto prefix = static_cast<uint32_t>(bytes);
    std::memcpy(block, &prefix, kPrefix);
    auto* characters = reinterpret_cast<OLECHAR*>(block + kPrefix);
    if (text != nullptr) {
        std::memcpy(characters, text, bytes);
    } else {
        std::memset(characters, 0, bytes);
    }
    characters[length] = L'\0';
    return characters;
}

uint32_t ByteLength(BSTR text) noexcept {
    uint32_t bytes = 0;
    std::memcpy(&bytes, reinterpret_cast<const unsigned char*>(text) - kPrefix, kPrefix);
    return bytes;
}

} // namespace

BSTR WINAPI SysAllocString(const OLECHAR* text) {
    if (text == nullptr) {
        return nullptr;
    }
    return Allocate(text, std::wcslen(text));
}

BSTR WINAPI SysAllocStringLen(const OLECHAR* text, UINT length) {
    return Allocate(text, length);
}

void WINAPI SysFreeString(BSTR text) {
    if (text != nullptr) {
        std::free(reinterpret_cast<unsigned char*>(text) - kPrefix);
    }
}

UINT WINAPI SysStringLen(BSTR text) {
    return text == nullptr ? 0 : ByteLength(text) / sizeof(OLECHAR);
}

UINT WINAPI SysStringByteLen(BSTR text) {
    return text == nullptr ? 0 : ByteLength(text);
}
