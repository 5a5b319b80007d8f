#include "NodeTreeFromBytes.h"

#include "FuzzSupport.h"

#include <algorithm>
#include <cstdint>
#include <limits>

namespace Fuzz {

namespace {

constexpr uint16_t kKnownTypes[] = {
    EKN_TYPE_STRING,       EKN_TYPE_INT32,      EKN_TYPE_UINT32,      EKN_TYPE_INT64,
    EKN_TYPE_BOOL,         EKN_TYPE_GUID,       EKN_TYPE_STRING_LIST, EKN_TYPE_INT32_ARRAY,
    EKN_TYPE_UINT32_ARRAY, EKN_TYPE_INT64_ARRAY};

// Integers near the edges of their types come up more often than the bytes alone would give.
template <typename T>
T IntegerFromBytes(FuzzedDataProvider& input) {
    switch (input.ConsumeIntegralInRange<int>(0, 7)) {
    case 0:
        return std::numeric_limits<T>::max();
    case 1:
        return std::numeric_limits<T>::min();
    case 2:
        return static_cast<T>(-1);
    case 3:
        return T{0};
    case 4:
        return input.ConsumeIntegralInRange<T>(0, 20);
    default:
        return input.ConsumeIntegral<T>();
    }
}

template <typename T>
std::vector<T> IntegersFromBytes(FuzzedDataProvider& input) {
    std::vector<T> values(input.ConsumeIntegralInRange<size_t>(0, 6));
    for (T& value : values) {
        value = IntegerFromBytes<T>(input);
    }
    return values;
}

} // namespace

std::wstring TextFromBytes(FuzzedDataProvider& input, const std::vector<std::wstring>& vocabulary) {
    if (!vocabulary.empty() && input.ConsumeBool()) {
        return vocabulary[input.ConsumeIntegralInRange<size_t>(0, vocabulary.size() - 1)];
    }
    // NUL ends a text at the node library's interface: none inside.
    std::wstring text = WideText(input.ConsumeRandomLengthString(64));
    std::erase(text, L'\0');
    return text;
}

void SetAttributeFromBytes(FuzzedDataProvider& input, const NodeVocabulary& vocabulary,
                           const EkNodePtr& node, const std::wstring& name) {
    const wchar_t* attribute = name.c_str();
    const uint16_t type = input.ConsumeIntegralInRange<int>(0, 15) == 0
                              ? input.ConsumeIntegral<uint16_t>()
                              : input.PickValueInArray(kKnownTypes);
    try {
        switch (type) {
        case EKN_TYPE_STRING:
            node.SetAttribute(attribute, TextFromBytes(input, vocabulary.texts));
            break;
        case EKN_TYPE_INT32:
            node.SetAttribute(attribute, IntegerFromBytes<int32_t>(input));
            break;
        case EKN_TYPE_UINT32: {
            const uint32_t value = IntegerFromBytes<uint32_t>(input);
            node.SetRawAttribute(attribute, type, &value, sizeof value);
            break;
        }
        case EKN_TYPE_INT64:
            node.SetAttribute(attribute, IntegerFromBytes<int64_t>(input));
            break;
        case EKN_TYPE_BOOL:
            node.SetAttribute(attribute, input.ConsumeBool());
            break;
        case EKN_TYPE_STRING_LIST: {
            std::vector<std::wstring> list(input.ConsumeIntegralInRange<size_t>(0, 6));
            for (std::wstring& member : list) {
                member = TextFromBytes(input, vocabulary.texts);
            }
            node.SetAttribute(attribute, list);
            break;
        }
        case EKN_TYPE_INT32_ARRAY:
            node.SetAttribute(attribute, IntegersFromBytes<int32_t>(input));
            break;
        case EKN_TYPE_UINT32_ARRAY: {
            const std::vector<uint32_t> values = IntegersFromBytes<uint32_t>(input);
            node.SetRawAttribute(attribute, type, values.data(),
                                 static_cast<uint32_t>(values.size() * sizeof(uint32_t)));
            break;
        }
        case EKN_TYPE_INT64_ARRAY:
            node.SetAttribute(attribute, IntegersFromBytes<int64_t>(input));
            break;
        case EKN_TYPE_GUID: {
            GUID guid{};
            const std::vector<uint8_t> bytes = input.ConsumeBytes<uint8_t>(sizeof guid);
            std::copy(bytes.begin(), bytes.end(), reinterpret_cast<uint8_t*>(&guid));
            node.SetAttribute(attribute, guid);
            break;
        }
        default: {
            // Any type code, with bytes that may not fit it.
            const std::vector<uint8_t> bytes =
                input.ConsumeBytes<uint8_t>(input.ConsumeIntegralInRange<size_t>(0, 24));
            node.SetRawAttribute(attribute, type, bytes.data(),
                                 static_cast<uint32_t>(bytes.size()));
            break;
        }
        }
    } catch (const HRX&) {
        // The node library refused the image: the attribute is not there, as for a client whose
        // library would not have sent it.
    }
}

void SetAttributesFromBytes(FuzzedDataProvider& input, const NodeVocabulary& vocabulary,
                            const EkNodePtr& node, size_t most) {
    const size_t attributes = input.ConsumeIntegralInRange<size_t>(0, most);
    for (size_t i = 0; i < attributes && input.remaining_bytes() > 0; ++i) {
        SetAttributeFromBytes(input, vocabulary, node, TextFromBytes(input, vocabulary.attributes));
    }
}

EkNodePtr NodeTreeFromBytes(FuzzedDataProvider& input, const NodeVocabulary& vocabulary, int depth,
                            int& budget) {
    --budget;
    const std::wstring name = TextFromBytes(input, vocabulary.names);
    const std::wstring type = TextFromBytes(input, vocabulary.names);
    EkNodePtr node = EkNodePtr::CreateNode(name.c_str(), type.c_str());
    SetAttributesFromBytes(input, vocabulary, node, 6);
    if (depth > 0) {
        const size_t children = input.ConsumeIntegralInRange<size_t>(0, 4);
        for (size_t i = 0; i < children && budget > 0 && input.remaining_bytes() > 0; ++i) {
            node.AddChild(NodeTreeFromBytes(input, vocabulary, depth - 1, budget));
        }
    }
    return node;
}

} // namespace Fuzz
