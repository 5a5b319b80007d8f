#include "Values.h"

#include "QuarryErrors.h"

#include "Quarry/QuarryValues.h"

#include <bit>
#include <cstring>
#include <limits>

namespace Quarry {

static_assert(std::endian::native == std::endian::little,
              "byte images are little-endian and copied as they are");

namespace {

constexpr size_t kCharSize = sizeof(EKNCHAR);

bool IsArrayOfIntegers(uint16_t type) noexcept {
    return type == EKN_TYPE_INT32_ARRAY || type == EKN_TYPE_UINT32_ARRAY ||
           type == EKN_TYPE_INT64_ARRAY;
}

// The element type of an integer array type, or the type itself.
uint16_t ElementType(uint16_t type) noexcept {
    return static_cast<uint16_t>(type & ~EKN_TYPE_ARRAY);
}

size_t IntegerSize(uint16_t elementType) noexcept {
    return elementType == EKN_TYPE_INT64 ? 8 : 4;
}

int64_t ReadInteger(uint16_t elementType, const uint8_t* at) noexcept {
    switch (elementType) {
    case EKN_TYPE_INT32: {
        int32_t v;
        std::memcpy(&v, at, sizeof v);
        return v;
    }
    case EKN_TYPE_UINT32: {
        uint32_t v;
        std::memcpy(&v, at, sizeof v);
        return v;
    }
    default: {
        int64_t v;
        std::memcpy(&v, at, sizeof v);
        return v;
    }
    }
}

// Appends the integer in the image of `elementType`; kOverflow when it does not fit.
EKN_HRESULT AppendInteger(uint16_t elementType, int64_t value, Bytes& out) {
    uint8_t bytes[8];
    size_t size = 0;
    switch (elementType) {
    case EKN_TYPE_INT32: {
        if (value < std::numeric_limits<int32_t>::min() ||
            value > std::numeric_limits<int32_t>::max()) {
            return kOverflow;
        }
        const auto v = static_cast<int32_t>(value);
        std::memcpy(bytes, &v, sizeof v);
        size = sizeof v;
        break;
    }
    case EKN_TYPE_UINT32: {
        if (value < 0 || value > std::numeric_limits<uint32_t>::max()) {
            return kOverflow;
        }
        const auto v = static_cast<uint32_t>(value);
        std::memcpy(bytes, &v, sizeof v);
        size = sizeof v;
        break;
    }
    case EKN_TYPE_INT64:
        std::memcpy(bytes, &value, sizeof value);
        size = sizeof value;
        break;
    case EKN_TYPE_BOOL:
        bytes[0] = value != 0 ? 1 : 0;
        size = 1;
        break;
    default:
        return kTypeMismatch;
    }
    out.insert(out.end(), bytes, bytes + size);
    return kOk;
}

Text DecodeText(const uint8_t* data, size_t size) {
    Text text(size / kCharSize, EKNCHAR{});
    if (!text.empty()) {
        std::memcpy(text.data(), data, text.size() * kCharSize);
    }
    return text;
}

void AppendText(const Text& text, Bytes& out) {
    const auto* begin = reinterpret_cast<const uint8_t*>(text.data());
    out.insert(out.end(), begin, begin + text.size() * kCharSize);
    const EKNCHAR nul = 0;
    const auto* nulBytes = reinterpret_cast<const uint8_t*>(&nul);
    out.insert(out.end(), nulBytes, nulBytes + kCharSize);
}

Text Widen(const std::string& ascii) {
    return Text(ascii.begin(), ascii.end());
}

EKNCHAR AsciiLower(EKNCHAR c) noexcept {
    return c >= 'A' && c <= 'Z' ? static_cast<EKNCHAR>(c - 'A' + 'a') : c;
}

bool EqualsIgnoringCase(const Text& text, const char* ascii) noexcept {
    size_t i = 0;
    for (; ascii[i] != 0; ++i) {
        if (i >= text.size() || AsciiLower(text[i]) != static_cast<EKNCHAR>(ascii[i])) {
            return false;
        }
    }
    return i == text.size();
}

// An optionally signed decimal number making up the whole text.
EKN_HRESULT ParseInteger(const Text& text, int64_t& value) noexcept {
    size_t i = 0;
    bool negative = false;
    if (i < text.size() && (text[i] == '-' || text[i] == '+')) {
        negative = text[i] == '-';
        ++i;
    }
    if (i == text.size()) {
        return kTypeMismatch;
    }
    const uint64_t limit = negative ? uint64_t{1} << 63 : (uint64_t{1} << 63) - 1;
    uint64_t magnitude = 0;
    bool overflow = false;
    for (; i < text.size(); ++i) {
        if (text[i] < '0' || text[i] > '9') {
            return kTypeMismatch;
        }
        const auto digit = static_cast<uint64_t>(text[i] - '0');
        if (magnitude > (limit - digit) / 10) {
            overflow = true; // keep scanning: a stray character is a mismatch, not an overflow
        } else {
            magnitude = magnitude * 10 + digit;
        }
    }
    if (overflow) {
        return kOverflow;
    }
    value = negative ? static_cast<int64_t>(0 - magnitude) : static_cast<int64_t>(magnitude);
    return kOk;
}

EKN_HRESULT ParseBoolean(const Text& text, int64_t& value) noexcept {
    if (EqualsIgnoringCase(text, "true")) {
        value = 1;
        return kOk;
    }
    if (EqualsIgnoringCase(text, "false")) {
        value = 0;
        return kOk;
    }
    return ParseInteger(text, value);
}

int HexDigit(EKNCHAR c) noexcept {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    c = AsciiLower(c);
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    return -1;
}

// The braced GUID form into its 16-byte image.
EKN_HRESULT ParseGuid(const Text& text, Bytes& out) {
    static constexpr char kPattern[] = "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}";
    if (text.size() != sizeof kPattern - 1) {
        return kTypeMismatch;
    }
    uint8_t digits[16]{};
    size_t nibble = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        if (kPattern[i] != 'X') {
            if (text[i] != static_cast<EKNCHAR>(kPattern[i])) {
                return kTypeMismatch;
            }
            continue;
        }
        const int digit = HexDigit(text[i]);
        if (digit < 0) {
            return kTypeMismatch;
        }
        digits[nibble / 2] = static_cast<uint8_t>(digits[nibble / 2] << 4 | digit);
        ++nibble;
    }
    // digits holds the text order; the first three fields are little-endian in the image.
    const uint8_t image[16] = {digits[3],  digits[2],  digits[1],  digits[0],
                               digits[5],  digits[4],  digits[7],  digits[6],
                               digits[8],  digits[9],  digits[10], digits[11],
                               digits[12], digits[13], digits[14], digits[15]};
    out.assign(image, image + 16);
    return kOk;
}

std::string DecimalList(const std::vector<int64_t>& values) {
    std::string text;
    for (size_t i = 0; i < values.size(); ++i) {
        if (i != 0) {
            text += ',';
        }
        text += std::to_string(values[i]);
    }
    return text;
}

// The single integer (or boolean) that the value stands for.
EKN_HRESULT SingleInteger(const DecodedValue& value, uint16_t requestedType, int64_t& result) {
    switch (value.kind) {
    case DecodedValue::Kind::Integer:
    case DecodedValue::Kind::Boolean:
        result = value.integers.front();
        return kOk;
    case DecodedValue::Kind::Text:
        return requestedType == EKN_TYPE_BOOL ? ParseBoolean(value.texts.front(), result)
                                              : ParseInteger(value.texts.front(), result);
    default:
        return kTypeMismatch;
    }
}

EKN_HRESULT ToText(const DecodedValue& value, Text& text) {
    switch (value.kind) {
    case DecodedValue::Kind::Integer:
    case DecodedValue::Kind::IntegerArray:
        text = Widen(DecimalList(value.integers));
        return kOk;
    case DecodedValue::Kind::Boolean:
        text = Widen(value.integers.front() != 0 ? "true" : "false");
        return kOk;
    case DecodedValue::Kind::Text:
        text = value.texts.front();
        return kOk;
    case DecodedValue::Kind::Guid:
        text = Widen(FormatGuid(value.raw));
        return kOk;
    default:
        return kTypeMismatch;
    }
}

EKN_HRESULT ToTextList(const DecodedValue& value, Bytes& out) {
    switch (value.kind) {
    case DecodedValue::Kind::Integer:
    case DecodedValue::Kind::IntegerArray:
        for (const int64_t v : value.integers) {
            AppendText(Widen(std::to_string(v)), out);
        }
        return kOk;
    case DecodedValue::Kind::Boolean:
    case DecodedValue::Kind::Text:
    case DecodedValue::Kind::Guid: {
        Text text;
        const EKN_HRESULT hr = ToText(value, text);
        if (!Failed(hr)) {
            AppendText(text, out);
        }
        return hr;
    }
    case DecodedValue::Kind::TextList:
        for (const Text& text : value.texts) {
            AppendText(text, out);
        }
        return kOk;
    default:
        return kTypeMismatch;
    }
}

EKN_HRESULT ToIntegerArray(const DecodedValue& value, uint16_t elementType, Bytes& out) {
    std::vector<int64_t> parsed;
    const std::vector<int64_t>* elements = &value.integers;
    switch (value.kind) {
    case DecodedValue::Kind::Integer:
    case DecodedValue::Kind::IntegerArray:
    case DecodedValue::Kind::Boolean:
        break;
    case DecodedValue::Kind::Text:
    case DecodedValue::Kind::TextList:
        parsed.reserve(value.texts.size());
        for (const Text& text : value.texts) {
            int64_t v = 0;
            const EKN_HRESULT hr = ParseInteger(text, v);
            if (Failed(hr)) {
                return hr;
            }
            parsed.push_back(v);
        }
        elements = &parsed;
        break;
    default:
        return kTypeMismatch;
    }
    out.reserve(elements->size() * IntegerSize(elementType));
    for (const int64_t v : *elements) {
        const EKN_HRESULT hr = AppendInteger(elementType, v, out);
        if (Failed(hr)) {
            return hr;
        }
    }
    return kOk;
}

} // namespace

DecodedValue Decode(uint16_t type, std::span<const uint8_t> image) {
    DecodedValue value;
    switch (type) {
    case EKN_TYPE_STRING:
        value.kind = DecodedValue::Kind::Text;
        value.texts.push_back(DecodeText(image.data(), image.size() - kCharSize));
        break;
    case EKN_TYPE_INT32:
    case EKN_TYPE_UINT32:
    case EKN_TYPE_INT64:
        value.kind = DecodedValue::Kind::Integer;
        value.integers.push_back(ReadInteger(type, image.data()));
        break;
    case EKN_TYPE_BOOL:
        value.kind = DecodedValue::Kind::Boolean;
        value.integers.push_back(image[0] != 0 ? 1 : 0);
        break;
    case EKN_TYPE_GUID:
        value.kind = DecodedValue::Kind::Guid;
        value.raw = image;
        break;
    case EKN_TYPE_STRING_LIST: {
        value.kind = DecodedValue::Kind::TextList;
        const Text all = DecodeText(image.data(), image.size());
        size_t start = 0;
        for (size_t i = 0; i < all.size(); ++i) {
            if (all[i] == 0) {
                value.texts.push_back(all.substr(start, i - start));
                start = i + 1;
            }
        }
        break;
    }
    default:
        if (IsArrayOfIntegers(type)) {
            value.kind = DecodedValue::Kind::IntegerArray;
            const uint16_t element = ElementType(type);
            const size_t step = IntegerSize(element);
            value.integers.reserve(image.size() / step);
            for (size_t at = 0; at + step <= image.size(); at += step) {
                value.integers.push_back(ReadInteger(element, image.data() + at));
            }
        } else {
            value.kind = DecodedValue::Kind::Opaque;
            value.raw = image;
        }
        break;
    }
    return value;
}

EKN_HRESULT ConvertImage(uint16_t storedType, std::span<const uint8_t> stored,
                         uint16_t requestedType, Bytes& converted) {
    converted.clear();
    if (requestedType == storedType) {
        converted.assign(stored.begin(), stored.end());
        return kOk;
    }
    // Between integer scalars (a boolean among them) nothing needs decoding.
    const bool scalarStored = storedType == EKN_TYPE_INT32 || storedType == EKN_TYPE_UINT32 ||
                              storedType == EKN_TYPE_INT64 || storedType == EKN_TYPE_BOOL;
    const bool scalarRequested = requestedType == EKN_TYPE_INT32 ||
                                 requestedType == EKN_TYPE_UINT32 ||
                                 requestedType == EKN_TYPE_INT64 || requestedType == EKN_TYPE_BOOL;
    if (scalarStored && scalarRequested) {
        const int64_t single = storedType == EKN_TYPE_BOOL ? (stored[0] != 0 ? 1 : 0)
                                                           : ReadInteger(storedType, stored.data());
        return AppendInteger(requestedType, single, converted);
    }
    const DecodedValue value = Decode(storedType, stored);
    switch (requestedType) {
    case EKN_TYPE_INT32:
    case EKN_TYPE_UINT32:
    case EKN_TYPE_INT64:
    case EKN_TYPE_BOOL: {
        int64_t single = 0;
        const EKN_HRESULT hr = SingleInteger(value, requestedType, single);
        return Failed(hr) ? hr : AppendInteger(requestedType, single, converted);
    }
    case EKN_TYPE_STRING: {
        Text text;
        const EKN_HRESULT hr = ToText(value, text);
        if (!Failed(hr)) {
            AppendText(text, converted);
        }
        return hr;
    }
    case EKN_TYPE_GUID:
        return value.kind == DecodedValue::Kind::Text ? ParseGuid(value.texts.front(), converted)
                                                      : kTypeMismatch;
    case EKN_TYPE_STRING_LIST:
        return ToTextList(value, converted);
    default:
        if (IsArrayOfIntegers(requestedType)) {
            return ToIntegerArray(value, ElementType(requestedType), converted);
        }
        return kTypeMismatch;
    }
}

std::string FormatGuid(std::span<const uint8_t> image) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    // Text order of the image's bytes: the first three fields are little-endian.
    static constexpr int kOrder[16] = {3, 2, 1, 0, 5, 4, 7, 6, 8, 9, 10, 11, 12, 13, 14, 15};
    std::string text = "{";
    for (int i = 0; i < 16; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) {
            text += '-';
        }
        const uint8_t byte = image[static_cast<size_t>(kOrder[i])];
        text += kHex[byte >> 4];
        text += kHex[byte & 0xF];
    }
    text += '}';
    return text;
}

} // namespace Quarry
