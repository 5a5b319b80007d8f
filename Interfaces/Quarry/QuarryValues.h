// The value images of the node library's type codes: which codes it knows, and how many bytes (and
// what else) a well-formed value of each holds. The library stores only well-formed images of the
// codes it knows and any bytes for other codes; readers of images rely on the same rule.
#pragma once

#include "Quarry/Quarry.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

// True for the type codes of EknValueType other than EKN_TYPE_NONE and EKN_TYPE_ARRAY.
constexpr bool EknIsKnownType(uint16_t type) noexcept {
    switch (type) {
    case EKN_TYPE_STRING:
    case EKN_TYPE_INT32:
    case EKN_TYPE_UINT32:
    case EKN_TYPE_INT64:
    case EKN_TYPE_BOOL:
    case EKN_TYPE_GUID:
    case EKN_TYPE_STRING_LIST:
    case EKN_TYPE_INT32_ARRAY:
    case EKN_TYPE_UINT32_ARRAY:
    case EKN_TYPE_INT64_ARRAY:
        return true;
    default:
        return false;
    }
}

// True when `size` bytes at `data` are a well-formed value of a known `type`: a string is
// NUL-terminated characters, a string list is empty or NUL-terminated characters (its texts each
// end in a NUL, the list in one more), integers and GUIDs have their sizes, integer arrays whole
// elements, a BOOL one byte of 0 or 1. False for codes that are not known.
inline bool EknIsWellFormedImage(uint16_t type, const void* data, size_t size) noexcept {
    constexpr size_t kChar = sizeof(EKNCHAR);
    if (data == nullptr && size != 0) {
        return false;
    }
    const auto endsWithNul = [&] {
        EKNCHAR last{};
        std::memcpy(&last, static_cast<const uint8_t*>(data) + size - kChar, kChar);
        return last == 0;
    };
    switch (type) {
    case EKN_TYPE_STRING:
        return size >= kChar && size % kChar == 0 && endsWithNul();
    case EKN_TYPE_INT32:
    case EKN_TYPE_UINT32:
        return size == 4;
    case EKN_TYPE_INT64:
        return size == 8;
    case EKN_TYPE_BOOL:
        return size == 1 && *static_cast<const uint8_t*>(data) <= 1;
    case EKN_TYPE_GUID:
        return size == 16;
    case EKN_TYPE_STRING_LIST:
        return size == 0 || (size % kChar == 0 && endsWithNul());
    case EKN_TYPE_INT32_ARRAY:
    case EKN_TYPE_UINT32_ARRAY:
        return size % 4 == 0;
    case EKN_TYPE_INT64_ARRAY:
        return size % 8 == 0;
    default:
        return false;
    }
}
