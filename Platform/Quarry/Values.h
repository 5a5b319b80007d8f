// Attribute values of the node library: validation of byte images, decoding, and conversion
// between value type codes.
//
// Byte images by type code (little-endian, as on Windows):
//   2      UTF-16 text with its terminating NUL; (characters + 1) x 2 bytes
//   3, 4   32-bit signed / unsigned integer; 4 bytes
//   6      64-bit signed integer; 8 bytes
//   7      boolean; 1 byte, 0 or 1
//   13     GUID in the Windows layout; 16 bytes
//   0x102  list of texts, each followed by one NUL; empty list = no bytes
//   0x103, 0x104, 0x106  arrays of the element types above; n x element size
//   any other code: the bytes as given
#pragma once

#include "Quarry/Quarry.h"
#include "Quarry/QuarryValues.h"

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace Quarry {

using Text = std::basic_string<EKNCHAR>;
using Bytes = std::vector<uint8_t>;

// True when the image is a well-formed value of the type (see the table above). `data` may be
// null only when `size` is 0. Inline: every attribute set asks.
inline bool IsValidImage(uint16_t type, const void* data, uint32_t size) noexcept {
    return EknIsKnownType(type) ? EknIsWellFormedImage(type, data, size)
                                : data != nullptr || size == 0;
}

// A stored value in a form that conversion and serialization can work on.
struct DecodedValue {
    enum class Kind { Integer, IntegerArray, Boolean, Text, TextList, Guid, Opaque };
    Kind kind = Kind::Opaque;
    std::vector<int64_t> integers; // Integer and Boolean: one element (0 or 1 for Boolean)
    std::vector<Text> texts;       // Text: one element
    std::span<const uint8_t> raw;  // Guid and Opaque: the image itself
};

// Decodes a valid image (IsValidImage holds). Throws std::bad_alloc.
DecodedValue Decode(uint16_t type, std::span<const uint8_t> image);

// Converts a valid stored image into the image of the requested type. The same type gives the
// bytes unchanged. Otherwise:
//   integer types (3, 4, 6) and boolean among themselves, range-checked (kOverflow); any
//     non-zero integer is true, a boolean is 1 or 0;
//   integers, booleans and integer arrays as text (2): decimal, array elements separated by ",",
//     booleans "true"/"false"; a GUID as text in the braced upper-case form;
//   the same as a list of texts (0x102): one decimal text per element;
//   text as an integer type when it parses completely as an optionally signed decimal number
//     (else kTypeMismatch), as a boolean from "true"/"false" (any case) or a number, as a GUID
//     from the braced form; text as a list of one text;
//   a single integer, boolean or text as a one-element array; a list of texts as an array when
//     every text parses; arrays among themselves element by element.
// Anything else gives kTypeMismatch. Throws std::bad_alloc.
EKN_HRESULT ConvertImage(uint16_t storedType, std::span<const uint8_t> stored,
                         uint16_t requestedType, Bytes& converted);

// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" for a 16-byte GUID image.
std::string FormatGuid(std::span<const uint8_t> image);

} // namespace Quarry
