// Fuzz target: the node library and the module's node layer over it: attributes of every type
// code read back through every reader (the library's conversions), attributes copied, subtrees
// cloned, moved and found by path, trees dumped with hidden attributes, and serialized. The bytes
// build a tree and then choose the operations. Properties: readers either convert or fail with a
// type mismatch or overflow; integers, booleans and GUIDs read as text give their decimal,
// "true"/"false" and braced forms, and the different integer readers agree; copies are exact;
// a clone serializes as its original; the parents of a node always lead to a root; a dump never
// changes the tree; and the serialized text is well-formed XML that gives back every name, type and
// text.
#include "FuzzSupport.h"
#include "NodeTreeFromBytes.h"

#include "Logging/NodeDump.h"
#include "NodeTree/NodeSerializer.h"

#include "Base/Utf.h"

#include <pugixml.hpp>

#include <cwctype>

namespace {

using Fuzz::TextFromBytes;

const Fuzz::NodeVocabulary kVocabulary{
    .names = {L"Root", L"Child", L"a", L"", L"\\", L"a\\b", L"<x>", L"\"&'", L"\t\r\n"},
    .attributes = {L"A", L"B", L"Count", L"Text", L"", L"<&>", L"\x1"},
    .texts = {L"0", L"-1", L"+5", L"42", L"4294967295", L"4294967296", L"-2147483649",
              L"9223372036854775808", L"true", L"FALSE", L"{00112233-4455-6677-8899-AABBCCDDEEFF}",
              L"", L" 1", L"1,2", L"\x1\x7f\xFFFE", L"\U0001F600", L"]]>"},
};

// Runs a reader; a conversion the library refuses counts as no value.
template <typename Read>
bool Reads(Read read) {
    try {
        return read();
    } catch (const HRX& failure) {
        FUZZ_CHECK(Fuzz::IsConversionFailure(failure.Code()));
        return false;
    }
}

std::wstring GuidText(const std::vector<uint8_t>& image) {
    GUID guid{};
    std::memcpy(&guid, image.data(), sizeof guid);
    wchar_t text[40];
    std::swprintf(text, 40, L"{%08X-%04hX-%04hX-%02hhX%02hhX-%02hhX%02hhX%02hhX%02hhX%02hhX%02hhX}",
                  guid.Data1, guid.Data2, guid.Data3, guid.Data4[0], guid.Data4[1], guid.Data4[2],
                  guid.Data4[3], guid.Data4[4], guid.Data4[5], guid.Data4[6], guid.Data4[7]);
    return text;
}

// Reads one attribute through every reader and checks that they agree.
void CheckReaders(const EkNodePtr& node, const std::wstring& name) {
    const wchar_t* attribute = name.c_str();
    uint16_t type = 0;
    if (!node.HasAttribute(attribute, &type)) {
        return;
    }
    std::vector<uint8_t> image;
    uint16_t rawType = 0;
    FUZZ_CHECK(node.GetRawAttribute(attribute, image, rawType) && rawType == type);
    std::wstring text;
    const bool hasText = Reads([&] { return node.GetAttribute(attribute, text); });
    int64_t wide = 0;
    const bool hasWide = Reads([&] { return node.GetAttribute(attribute, wide); });
    uint32_t narrow = 0;
    const bool hasNarrow = Reads([&] { return node.GetAttribute(attribute, narrow); });
    bool flag = false;
    const bool hasFlag = Reads([&] { return node.GetAttribute(attribute, flag); });
    std::vector<std::wstring> list;
    Reads([&] { return node.GetAttribute(attribute, list); });
    std::vector<int64_t> wides;
    const bool hasWides = Reads([&] { return node.GetAttribute(attribute, wides); });
    std::vector<uint32_t> narrows;
    Reads([&] { return node.GetUInt32List(attribute, narrows); });
    GUID guid{};
    Reads([&] { return node.GetAttribute(attribute, guid); });

    if (hasWide && hasNarrow) {
        FUZZ_CHECK(wide == static_cast<int64_t>(narrow));
    }
    switch (type) {
    case EKN_TYPE_INT32:
    case EKN_TYPE_UINT32:
    case EKN_TYPE_INT64:
        FUZZ_CHECK(hasWide && hasText && text == std::to_wstring(wide));
        FUZZ_CHECK(hasFlag && flag == (wide != 0));
        break;
    case EKN_TYPE_BOOL:
        FUZZ_CHECK(hasFlag && hasText && text == (flag ? L"true" : L"false"));
        FUZZ_CHECK(hasWide && wide == (flag ? 1 : 0));
        break;
    case EKN_TYPE_GUID:
        FUZZ_CHECK(hasText && text == GuidText(image));
        break;
    case EKN_TYPE_STRING:
        FUZZ_CHECK(hasText && list.size() == 1 && list.front() == text);
        if (hasWide) {
            // Text reads as an integer only when it is one whole decimal number.
            FUZZ_CHECK(!text.empty() && (std::iswdigit(text.front()) || text.front() == L'-' ||
                                         text.front() == L'+'));
        }
        break;
    case EKN_TYPE_INT32_ARRAY:
    case EKN_TYPE_UINT32_ARRAY:
    case EKN_TYPE_INT64_ARRAY: {
        FUZZ_CHECK(hasWides && hasText);
        std::wstring joined;
        for (const int64_t value : wides) {
            joined += (joined.empty() ? L"" : L",") + std::to_wstring(value);
        }
        FUZZ_CHECK(text == joined && list.size() == wides.size());
        break;
    }
    default:
        break;
    }
}

std::vector<EkNodePtr> Nodes(const EkNodePtr& root) {
    std::vector<EkNodePtr> nodes{root};
    for (size_t i = 0; i < nodes.size(); ++i) {
        const EkNodePtr node = nodes[i]; // the vector grows below
        ForEachChild(node, [&](const EkNodePtr& child) { nodes.push_back(child); });
    }
    return nodes;
}

std::string Text(const EkNodePtr& node, uint32_t flags = 0, int32_t depth = EKN_DEPTH_ALL) {
    return SerializeNodesToText(&node, 1, flags, depth);
}

// The serialized element of a node gives back the node's name, type, attributes and children.
void CheckSerialized(const pugi::xml_node& element, const EkNodePtr& node) {
    FUZZ_CHECK(std::string_view(element.name()) == "node");
    FUZZ_CHECK(Base::WideFromUtf8(element.attribute("name").value()) == node.GetNodeName());
    FUZZ_CHECK(Base::WideFromUtf8(element.attribute("type").value()) == node.GetNodeType());
    pugi::xml_node item = element.first_child();
    for (const std::wstring& name : node.GetAttributeNames()) {
        FUZZ_CHECK(std::string_view(item.name()) == "attr");
        FUZZ_CHECK(Base::WideFromUtf8(item.attribute("name").value()) == name);
        uint16_t type = 0;
        FUZZ_CHECK(node.HasAttribute(name.c_str(), &type));
        FUZZ_CHECK(item.attribute("type").as_uint() == type);
        std::wstring text;
        if (type == EKN_TYPE_STRING && node.GetAttribute(name.c_str(), text)) {
            FUZZ_CHECK(Base::WideFromUtf8(item.child_value()) == text);
        }
        item = item.next_sibling();
    }
    ForEachChild(node, [&](const EkNodePtr& child) {
        CheckSerialized(item, child);
        item = item.next_sibling();
    });
    FUZZ_CHECK(item.empty());
}

void CheckSerialization(const EkNodePtr& root, uint32_t flags) {
    const std::string text = Text(root, flags);
    pugi::xml_document document;
    // Line ends are the text's own (no normalisation), and a text of blanks is a text.
    FUZZ_CHECK(document.load_buffer(text.data(), text.size(),
                                    (pugi::parse_default | pugi::parse_ws_pcdata_single) &
                                        ~pugi::parse_eol,
                                    pugi::encoding_utf8));
    const pugi::xml_node wrapper = document.document_element();
    FUZZ_CHECK(std::string_view(wrapper.name()) == "nr");
    CheckSerialized(flags == 0 ? wrapper.first_child() : wrapper.first_element_by_path("node"),
                    root);
}

void Operate(FuzzedDataProvider& input, const EkNodePtr& root) {
    const std::vector<EkNodePtr> nodes = Nodes(root);
    const EkNodePtr& node = nodes[input.ConsumeIntegralInRange<size_t>(0, nodes.size() - 1)];
    const EkNodePtr& other = nodes[input.ConsumeIntegralInRange<size_t>(0, nodes.size() - 1)];
    const std::wstring name = TextFromBytes(input, kVocabulary.attributes);
    switch (input.ConsumeIntegralInRange<int>(0, 6)) {
    case 0:
        Fuzz::SetAttributeFromBytes(input, kVocabulary, node, name);
        break;
    case 1:
        CheckReaders(node, name);
        break;
    case 2: {
        std::vector<uint8_t> scratch;
        bool changed = false;
        CopyAttribute(name.c_str(), node, name.c_str(), other, scratch, &changed);
        std::vector<uint8_t> source;
        std::vector<uint8_t> target;
        uint16_t sourceType = 0;
        uint16_t targetType = 0;
        if (node.GetRawAttribute(name.c_str(), source, sourceType)) {
            FUZZ_CHECK(other.GetRawAttribute(name.c_str(), target, targetType));
            FUZZ_CHECK(source == target && sourceType == targetType);
        }
        break;
    }
    case 3: {
        const int32_t depth = input.ConsumeBool() ? EKN_DEPTH_ALL : 0;
        const EkNodePtr clone = node.CloneNode(depth);
        FUZZ_CHECK(!clone.GetParent());
        FUZZ_CHECK(Text(clone) == Text(node, 0, depth));
        break;
    }
    case 4: {
        // Moving `other` under `node`: refused when `other` is `node` or one of its ancestors,
        // so the parents of every node still lead to a root.
        if (const EkNodePtr parent = other.GetParent()) {
            parent.RemoveChild(other);
            FUZZ_CHECK(!other.GetParent());
        }
        try {
            node.AddChild(other);
        } catch (const HRX& failure) {
            FUZZ_CHECK(failure.Code() == E_INVALIDARG);
        }
        size_t steps = 0;
        for (EkNodePtr up = node; up; up = up.GetParent()) {
            FUZZ_CHECK(++steps <= nodes.size() + 1);
        }
        break;
    }
    case 5: {
        const std::wstring path = TextFromBytes(input, kVocabulary.names);
        const uint32_t flags = input.ConsumeIntegralInRange<uint32_t>(0, 3);
        try {
            const EkNodePtr found = FindNodeByPath(node, path, flags);
            FUZZ_CHECK(found || (flags & FIND_MUST_EXIST) == 0);
        } catch (const HRX& failure) {
            FUZZ_CHECK(failure.Code() == HR_NOT_FOUND && (flags & FIND_MUST_EXIST) != 0);
        }
        break;
    }
    default: {
        const std::string before = Text(root);
        try {
            const Logging::HiddenAttributeTable table =
                Logging::ParseHiddenNodeTypeAttrs(TextFromBytes(input, {L"*:A,B", L"Root:Text"}));
            FUZZ_CHECK(!Logging::DumpNode(node, table).empty());
        } catch (const HRX& failure) {
            FUZZ_CHECK(failure.Code() == E_INVALIDARG);
        }
        FUZZ_CHECK(Text(root) == before);
        break;
    }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider input(data, size);
    int budget = 16;
    const EkNodePtr root = Fuzz::NodeTreeFromBytes(input, kVocabulary, 3, budget);
    for (int i = 0; i < 24 && input.remaining_bytes() > 0; ++i) {
        Operate(input, root);
    }
    CheckSerialization(root, input.ConsumeBool() ? 1 : 0);
    return 0;
}
