#include "NodeJson.h"

#include "Base/Utf.h"
#include "Quarry/QuarryValues.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string_view>

namespace HalyardHost {

namespace {

using namespace std::string_view_literals;
using Json = nlohmann::ordered_json;

// Where in the JSON a value lies: a chain of members and indexes on the stack, written out as
// "children[1].attributes[0].value" only when the value is refused.
class Place {
public:
    Place() = default;
    Place Member(std::string_view name) const { return Place(this, name, 0); }
    Place Index(size_t index) const { return Place(this, {}, index); }

    std::string Text() const {
        std::string path = m_parent != nullptr ? m_parent->Text() : std::string();
        if (m_parent == nullptr) {
            return path;
        }
        if (!m_isIndex) {
            path.append(path.empty() ? "" : ".").append(m_member);
        } else {
            path.append("[").append(std::to_string(m_index)).append("]");
        }
        return path;
    }

private:
    Place(const Place* parent, std::string_view member, size_t index)
        : m_parent(parent), m_member(member), m_index(index), m_isIndex(member.data() == nullptr) {}

    const Place* m_parent = nullptr;
    std::string_view m_member;
    size_t m_index = 0;
    bool m_isIndex = false;
};

[[noreturn]] void Fail(const Place& where, const std::string& why) {
    throw NodeJsonError(where.Text() + ": " + why);
}

template <typename T>
T ReadLittleEndian(const uint8_t* at) {
    T value;
    std::memcpy(&value, at, sizeof(T));
    return value;
}

std::string GuidText(const uint8_t* image) {
    GUID guid;
    std::memcpy(&guid, image, sizeof(guid));
    char text[40];
    std::snprintf(text, sizeof(text), "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                  static_cast<unsigned>(guid.Data1), guid.Data2, guid.Data3, guid.Data4[0],
                  guid.Data4[1], guid.Data4[2], guid.Data4[3], guid.Data4[4], guid.Data4[5],
                  guid.Data4[6], guid.Data4[7]);
    return text;
}

bool ParseHex(std::string_view digits, uint64_t& value) {
    const auto [end, error] =
        std::from_chars(digits.data(), digits.data() + digits.size(), value, 16);
    return error == std::errc() && end == digits.data() + digits.size();
}

bool ParseGuid(const std::string& text, GUID& guid) {
    // {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}
    if (text.size() != 38 || text.front() != '{' || text.back() != '}' || text[9] != '-' ||
        text[14] != '-' || text[19] != '-' || text[24] != '-') {
        return false;
    }
    const std::string_view t(text);
    uint64_t part = 0;
    if (!ParseHex(t.substr(1, 8), part)) {
        return false;
    }
    guid.Data1 = static_cast<uint32_t>(part);
    if (!ParseHex(t.substr(10, 4), part)) {
        return false;
    }
    guid.Data2 = static_cast<uint16_t>(part);
    if (!ParseHex(t.substr(15, 4), part)) {
        return false;
    }
    guid.Data3 = static_cast<uint16_t>(part);
    const size_t byteAt[8] = {20, 22, 25, 27, 29, 31, 33, 35};
    for (size_t i = 0; i < 8; ++i) {
        if (!ParseHex(t.substr(byteAt[i], 2), part)) {
            return false;
        }
        guid.Data4[i] = static_cast<uint8_t>(part);
    }
    return true;
}

using Units = std::basic_string_view<EKNCHAR>;

void AppendHex(std::string& out, const uint8_t* data, size_t size) {
    static constexpr char digits[] = "0123456789abcdef";
    for (size_t i = 0; i < size; ++i) {
        out += digits[data[i] >> 4];
        out += digits[data[i] & 0xF];
    }
}

// Reads a tree through the node library's C interface into scratch buffers that are kept for the
// next node: texts stay UTF-16 and each attribute costs one call.
class NodeReader {
public:
    // The node's name and type (empty when the library fails); each valid until the next read.
    Units Name(void* node) {
        return ReadText([&](EKNCHAR* buffer, uint32_t* size) {
            return EknGetNodeName(node, EKN_NAME_PLAIN, buffer, size);
        });
    }
    Units Type(void* node) {
        return ReadText(
            [&](EKNCHAR* buffer, uint32_t* size) { return EknGetNodeType(node, buffer, size); });
    }

    // Calls `action(name, type, image, bytes)` with every attribute in order; the image is kept in
    // UTF-16 units, so that texts are read in place.
    template <typename Action>
    void ForEachAttribute(void* node, Action&& action) {
        // Attribute names, each ending in a NUL.
        m_names.resize(std::max<size_t>(m_names.size(), 256));
        auto size = static_cast<uint32_t>(m_names.size());
        HRESULT hr = EknGetAttributeNames(node, m_names.data(), &size);
        if (hr == HR_INSUFFICIENT_BUFFER && size > m_names.size()) {
            m_names.resize(size);
            hr = EknGetAttributeNames(node, m_names.data(), &size);
        }
        ThrowIfFailed(hr);
        for (size_t at = 0; at + 1 < size;) {
            const EKNCHAR* name = m_names.data() + at;
            const size_t length = std::char_traits<EKNCHAR>::length(name);
            at += length + 1;
            uint16_t type = 0;
            uint32_t bytes = 0;
            if (length != 0 && ReadImage(node, name, type, bytes)) {
                action(Units(name, length), type, static_cast<const EKNCHAR*>(m_image.data()),
                       bytes);
            }
        }
    }

    // Calls `action(child)` with every child in order.
    template <typename Action>
    static void ForEachChild(void* node, Action&& action) {
        uint64_t count = 0;
        ThrowIfFailed(EknGetChildCount(node, &count));
        for (uint64_t i = 0; i < count; ++i) {
            EkNodePtr child;
            ThrowIfFailed(EknGetChildByIndex(node, i, child.AddressForOutput()));
            action(child.Get());
        }
    }

private:
    template <typename Call>
    Units ReadText(Call&& call) {
        m_text.resize(std::max<size_t>(m_text.size(), 128));
        auto size = static_cast<uint32_t>(m_text.size());
        HRESULT hr = call(m_text.data(), &size);
        if (hr == HR_INSUFFICIENT_BUFFER && size > m_text.size()) {
            m_text.resize(size);
            hr = call(m_text.data(), &size);
        }
        if (hr < 0 || size == 0 || size > m_text.size()) {
            return {};
        }
        return {m_text.data(), size - 1};
    }

    // False when the attribute is absent.
    bool ReadImage(void* node, const EKNCHAR* name, uint16_t& type, uint32_t& bytes) {
        m_image.resize(std::max<size_t>(m_image.size(), 512));
        bytes = static_cast<uint32_t>(m_image.size() * sizeof(EKNCHAR));
        HRESULT hr = EknGetAttribute(node, name, nullptr, m_image.data(), &bytes, &type);
        if (hr == HR_INSUFFICIENT_BUFFER && bytes > m_image.size() * sizeof(EKNCHAR)) {
            m_image.resize((bytes + sizeof(EKNCHAR) - 1) / sizeof(EKNCHAR));
            hr = EknGetAttribute(node, name, nullptr, m_image.data(), &bytes, &type);
        }
        if (hr == HR_NOT_FOUND) {
            return false;
        }
        ThrowIfFailed(hr);
        return true;
    }

    std::vector<EKNCHAR> m_text;
    std::vector<EKNCHAR> m_names;
    std::vector<EKNCHAR> m_image;
};

// The JSON document of a tree, for the host's own reading of responses.
class JsonBuilder {
public:
    Json Node(void* node) {
        Json json = Json::object();
        json["name"] = Utf8(m_reader.Name(node));
        if (const Units type = m_reader.Type(node); !type.empty()) {
            json["type"] = Utf8(type);
        }
        Json attributes = Json::array();
        m_reader.ForEachAttribute(
            node, [&](Units name, uint16_t type, const EKNCHAR* image, uint32_t bytes) {
                Json attribute = Json::object();
                attribute["name"] = Utf8(name);
                attribute["type"] = type;
                const auto* data = reinterpret_cast<const uint8_t*>(image);
                if (EknIsWellFormedImage(type, bytes != 0 ? data : nullptr, bytes)) {
                    attribute["value"] = Value(type, image, bytes);
                } else {
                    attribute["hex"] = HexText(data, bytes);
                }
                attributes.push_back(std::move(attribute));
            });
        if (!attributes.empty()) {
            json["attributes"] = std::move(attributes);
        }
        Json children = Json::array();
        NodeReader::ForEachChild(node, [&](void* child) { children.push_back(Node(child)); });
        if (!children.empty()) {
            json["children"] = std::move(children);
        }
        return json;
    }

private:
    static std::string Utf8(Units text) {
        std::string utf8;
        Base::AppendConverted(utf8, text);
        return utf8;
    }

    // The value of a well-formed image of a known type code.
    static Json Value(uint16_t type, const EKNCHAR* units, uint32_t bytes) {
        const auto* data = reinterpret_cast<const uint8_t*>(units);
        switch (type) {
        case EKN_TYPE_STRING:
            return Utf8({units, bytes / sizeof(EKNCHAR) - 1});
        case EKN_TYPE_INT32:
            return ReadLittleEndian<int32_t>(data);
        case EKN_TYPE_UINT32:
            return ReadLittleEndian<uint32_t>(data);
        case EKN_TYPE_INT64:
            return std::to_string(ReadLittleEndian<int64_t>(data));
        case EKN_TYPE_BOOL:
            return data[0] != 0;
        case EKN_TYPE_GUID:
            return GuidText(data);
        case EKN_TYPE_STRING_LIST: {
            Json list = Json::array();
            size_t start = 0;
            for (size_t unit = 0; unit < bytes / sizeof(EKNCHAR); ++unit) {
                if (units[unit] == 0) {
                    list.push_back(Utf8({units + start, unit - start}));
                    start = unit + 1;
                }
            }
            return list;
        }
        default: {
            Json list = Json::array();
            const size_t element = type == EKN_TYPE_INT64_ARRAY ? 8 : 4;
            for (size_t at = 0; at + element <= bytes; at += element) {
                if (type == EKN_TYPE_INT32_ARRAY) {
                    list.push_back(ReadLittleEndian<int32_t>(data + at));
                } else if (type == EKN_TYPE_UINT32_ARRAY) {
                    list.push_back(ReadLittleEndian<uint32_t>(data + at));
                } else {
                    list.push_back(std::to_string(ReadLittleEndian<int64_t>(data + at)));
                }
            }
            return list;
        }
        }
    }

    static std::string HexText(const uint8_t* data, size_t size) {
        std::string text;
        AppendHex(text, data, size);
        return text;
    }

    NodeReader m_reader;
};

// Writes the JSON form of a tree as text straight from the tree, no JSON document in between,
// texts converted from UTF-16 once, into the output. The text is what nlohmann's dump (compact, no
// ASCII escapes) makes of the same form: the same members in the same order, the same escapes.
class JsonWriter {
public:
    explicit JsonWriter(std::string& out) : m_out(out) {}

    void Node(void* node) {
        m_out += "{\"name\":"sv;
        String(m_reader.Name(node));
        if (const Units type = m_reader.Type(node); !type.empty()) {
            m_out += ",\"type\":"sv;
            String(type);
        }
        bool first = true;
        m_reader.ForEachAttribute(
            node, [&](Units name, uint16_t type, const EKNCHAR* image, uint32_t bytes) {
                m_out += first ? ",\"attributes\":[{\"name\":"sv : ",{\"name\":"sv;
                first = false;
                String(name);
                m_out += ",\"type\":"sv;
                Number(type);
                const auto* data = reinterpret_cast<const uint8_t*>(image);
                if (EknIsWellFormedImage(type, bytes != 0 ? data : nullptr, bytes)) {
                    m_out += ",\"value\":"sv;
                    Value(type, image, bytes);
                } else {
                    m_out += ",\"hex\":\""sv;
                    AppendHex(m_out, data, bytes);
                    m_out += '"';
                }
                m_out += '}';
            });
        if (!first) {
            m_out += ']';
        }
        bool none = true;
        NodeReader::ForEachChild(node, [&](void* child) {
            m_out += none ? ",\"children\":["sv : ","sv;
            none = false;
            Node(child);
        });
        m_out += none ? "}"sv : "]}"sv;
    }

private:
    // The value of a well-formed image of a known type code.
    void Value(uint16_t type, const EKNCHAR* units, uint32_t bytes) {
        const auto* data = reinterpret_cast<const uint8_t*>(units);
        switch (type) {
        case EKN_TYPE_STRING:
            String({units, bytes / sizeof(EKNCHAR) - 1});
            break;
        case EKN_TYPE_INT32:
            Number(ReadLittleEndian<int32_t>(data));
            break;
        case EKN_TYPE_UINT32:
            Number(ReadLittleEndian<uint32_t>(data));
            break;
        case EKN_TYPE_INT64:
            QuotedNumber(ReadLittleEndian<int64_t>(data));
            break;
        case EKN_TYPE_BOOL:
            m_out += data[0] != 0 ? "true"sv : "false"sv;
            break;
        case EKN_TYPE_GUID:
            m_out += '"';
            m_out += GuidText(data);
            m_out += '"';
            break;
        case EKN_TYPE_STRING_LIST: {
            m_out += '[';
            const size_t count = bytes / sizeof(EKNCHAR);
            size_t start = 0;
            for (size_t unit = 0; unit < count; ++unit) {
                if (units[unit] == 0) {
                    m_out += start == 0 ? ""sv : ","sv;
                    String({units + start, unit - start});
                    start = unit + 1;
                }
            }
            m_out += ']';
            break;
        }
        default: {
            m_out += '[';
            const size_t element = type == EKN_TYPE_INT64_ARRAY ? 8 : 4;
            for (size_t at = 0; at + element <= bytes; at += element) {
                m_out += at == 0 ? ""sv : ","sv;
                if (type == EKN_TYPE_INT32_ARRAY) {
                    Number(ReadLittleEndian<int32_t>(data + at));
                } else if (type == EKN_TYPE_UINT32_ARRAY) {
                    Number(ReadLittleEndian<uint32_t>(data + at));
                } else {
                    QuotedNumber(ReadLittleEndian<int64_t>(data + at));
                }
            }
            m_out += ']';
            break;
        }
        }
    }

    template <typename T>
    void Number(T value) {
        char digits[24];
        const auto [end, error] = std::to_chars(digits, digits + sizeof(digits), value);
        m_out.append(digits, end);
    }

    // 64-bit integers go as decimal text.
    void QuotedNumber(int64_t value) {
        m_out += '"';
        Number(value);
        m_out += '"';
    }

    // A quoted JSON string of UTF-16 text: '"', '\' and control characters escaped as nlohmann
    // escapes them (short forms where JSON has them, else \u00xx in lower case), everything else
    // as UTF-8; a lone surrogate becomes U+FFFD.
    void String(std::basic_string_view<EKNCHAR> text) {
        static constexpr char hex[] = "0123456789abcdef";
        m_out += '"';
        for (size_t i = 0; i < text.size();) {
            // A run of characters written as they are, in one piece.
            size_t end = i;
            while (end < text.size() && text[end] >= 0x20 && text[end] < 0x80 && text[end] != '"' &&
                   text[end] != '\\') {
                ++end;
            }
            if (end != i) {
                const size_t at = m_out.size();
                m_out.resize(at + (end - i));
                std::transform(text.begin() + static_cast<ptrdiff_t>(i),
                               text.begin() + static_cast<ptrdiff_t>(end),
                               m_out.begin() + static_cast<ptrdiff_t>(at),
                               [](EKNCHAR unit) { return static_cast<char>(unit); });
                i = end;
                continue;
            }
            const auto unit = static_cast<char16_t>(text[i]);
            if (unit >= 0x80) {
                Base::AppendEncoded(m_out, Base::DecodeNext(text, i));
                continue;
            }
            ++i;
            m_out += '\\';
            switch (unit) {
            case '"':
            case '\\':
                m_out += static_cast<char>(unit);
                break;
            case '\b':
                m_out += 'b';
                break;
            case '\f':
                m_out += 'f';
                break;
            case '\n':
                m_out += 'n';
                break;
            case '\r':
                m_out += 'r';
                break;
            case '\t':
                m_out += 't';
                break;
            default:
                m_out += "u00"sv;
                m_out += hex[unit >> 4];
                m_out += hex[unit & 0xF];
                break;
            }
        }
        m_out += '"';
    }

    std::string& m_out;
    NodeReader m_reader;
};

// Builds a tree from its JSON form through the node library's C interface: texts converted from
// UTF-8 once, into scratch buffers kept for the next attribute, and the place of a value written
// out only when it is refused.
class TreeBuilder {
public:
    EkNodePtr Node(const Json& json, const Place& where, int depth) {
        if (depth > MaxNodeJsonDepth) {
            Fail(where, "nested deeper than " + std::to_string(MaxNodeJsonDepth) + " levels");
        }
        if (!json.is_object()) {
            throw NodeJsonError((depth == 0 ? std::string("node") : where.Text()) +
                                ": a node is an object");
        }
        CheckMembers(json, {"name", "type", "attributes", "children"}, where);
        Name(json, "name", where, m_name);
        Name(json, "type", where, m_type);
        EkNodePtr node;
        ThrowIfFailed(EknCreateNode(m_name.c_str(), m_type.c_str(), node.AddressForOutput()));
        const Place attributesAt = where.Member("attributes");
        if (const Json* attributes =
                ArrayOf(json, "attributes", MaxNodeJsonAttributes, attributesAt)) {
            for (size_t i = 0; i < attributes->size(); ++i) {
                Attribute(node, (*attributes)[i], attributesAt.Index(i));
            }
        }
        const Place childrenAt = where.Member("children");
        if (const Json* children = ArrayOf(json, "children", MaxNodeJsonChildren, childrenAt)) {
            for (size_t i = 0; i < children->size(); ++i) {
                node.AddChild(Node((*children)[i], childrenAt.Index(i), depth + 1));
            }
        }
        return node;
    }

private:
    using Text = std::basic_string<EKNCHAR>;

    // The object's array `member` (at `where`) of at most `most` elements; null when absent.
    static const Json* ArrayOf(const Json& object, const char* member, size_t most,
                               const Place& where) {
        const auto found = object.find(member);
        if (found == object.end()) {
            return nullptr;
        }
        if (!found->is_array()) {
            Fail(where, "an array is needed");
        }
        if (found->size() > most) {
            Fail(where, "more than " + std::to_string(most) + " " + member);
        }
        return &*found;
    }

    static void CheckMembers(const Json& object, std::initializer_list<const char*> allowed,
                             const Place& where) {
        for (const auto& member : object.items()) {
            bool known = false;
            for (const char* name : allowed) {
                known = known || member.key() == name;
            }
            if (!known) {
                Fail(where.Member(member.key()), "unknown member");
            }
        }
    }

    static const std::string& StringOf(const Json& value, const Place& where) {
        if (!value.is_string()) {
            Fail(where, "a string is needed");
        }
        return value.get_ref<const std::string&>();
    }

    static void Convert(const Json& value, const Place& where, Text& text) {
        text.clear();
        Base::AppendConverted(text, std::string_view(StringOf(value, where)));
    }

    // The object's member `member` (a name or a node type) as UTF-16; empty when absent.
    static void Name(const Json& object, const char* member, const Place& where, Text& name) {
        name.clear();
        if (const auto value = object.find(member); value != object.end()) {
            const Place at = where.Member(member);
            Convert(*value, at, name);
            if (name.find(EKNCHAR{0}) != Text::npos) {
                Fail(at, "a name cannot hold a NUL character");
            }
        }
    }

    void Attribute(const EkNodePtr& node, const Json& attribute, const Place& where) {
        if (!attribute.is_object()) {
            Fail(where, "an attribute is an object {\"name\", \"type\", \"value\" or \"hex\"}");
        }
        CheckMembers(attribute, {"name", "type", "value", "hex"}, where);
        const auto typeValue = attribute.find("type");
        if (!attribute.contains("name") || typeValue == attribute.end()) {
            Fail(where, "an attribute needs \"name\" and \"type\"");
        }
        Name(attribute, "name", where, m_attributeName);
        if (m_attributeName.empty()) {
            Fail(where.Member("name"), "an attribute name cannot be empty");
        }
        if (!typeValue->is_number_integer() || typeValue->get<int64_t>() < 0 ||
            typeValue->get<int64_t>() > 0xFFFF) {
            Fail(where.Member("type"), "a type code is an integer from 0 to 65535");
        }
        const auto type = static_cast<uint16_t>(typeValue->get<int64_t>());
        const auto value = attribute.find("value");
        const auto hex = attribute.find("hex");
        m_image.clear();
        if (EknIsKnownType(type)) {
            if (value == attribute.end() || hex != attribute.end()) {
                Fail(where, "type " + std::to_string(type) + " carries \"value\", not \"hex\"");
            }
            Image(type, *value, where.Member("value"));
        } else {
            if (hex == attribute.end() || value != attribute.end()) {
                Fail(where, "type " + std::to_string(type) + " carries its bytes in \"hex\"");
            }
            HexImage(*hex, where.Member("hex"));
        }
        ThrowIfFailed(EknSetAttribute(node.Get(), m_attributeName.c_str(), type,
                                      m_image.empty() ? nullptr : m_image.data(),
                                      static_cast<uint32_t>(m_image.size())));
    }

    // Appends a text and its NUL to the image.
    void AppendText(const Text& text) {
        const size_t at = m_image.size();
        m_image.resize(at + (text.size() + 1) * sizeof(EKNCHAR));
        std::memcpy(m_image.data() + at, text.c_str(), (text.size() + 1) * sizeof(EKNCHAR));
    }

    // The byte image of a JSON value for a known type code, into m_image.
    void Image(uint16_t type, const Json& value, const Place& where) {
        switch (type) {
        case EKN_TYPE_STRING:
            Convert(value, where, m_text);
            AppendText(m_text);
            break;
        case EKN_TYPE_INT32:
        case EKN_TYPE_UINT32:
        case EKN_TYPE_INT64:
            AppendInteger(type, value, where);
            break;
        case EKN_TYPE_BOOL:
            if (!value.is_boolean()) {
                Fail(where, "type 7 needs true or false");
            }
            m_image.push_back(value.get<bool>() ? 1 : 0);
            break;
        case EKN_TYPE_GUID: {
            GUID guid{};
            if (!value.is_string() || !ParseGuid(value.get_ref<const std::string&>(), guid)) {
                Fail(where, "type 13 needs a GUID as {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}");
            }
            m_image.resize(sizeof(guid));
            std::memcpy(m_image.data(), &guid, sizeof(guid));
            break;
        }
        default: {
            if (!value.is_array()) {
                Fail(where, "type " + std::to_string(type) + " needs an array");
            }
            size_t index = 0;
            for (const Json& element : value) {
                const Place at = where.Index(index++);
                if (type == EKN_TYPE_STRING_LIST) {
                    Convert(element, at, m_text);
                    if (m_text.find(EKNCHAR{0}) != Text::npos) {
                        Fail(at, "a member of a string list cannot hold a NUL character");
                    }
                    AppendText(m_text);
                } else {
                    AppendInteger(static_cast<uint16_t>(type & ~EKN_TYPE_ARRAY), element, at);
                }
            }
            break;
        }
        }
    }

    // An integer of the JSON value for an element of the type code, within its range; 64-bit
    // values may come as decimal text.
    void AppendInteger(uint16_t elementType, const Json& value, const Place& where) {
        int64_t low = INT64_MIN;
        int64_t high = INT64_MAX;
        const char* what = "a 64-bit integer (decimal text or a number)";
        if (elementType == EKN_TYPE_INT32) {
            low = INT32_MIN;
            high = INT32_MAX;
            what = "a 32-bit signed integer";
        } else if (elementType == EKN_TYPE_UINT32) {
            low = 0;
            high = UINT32_MAX;
            what = "a 32-bit unsigned integer";
        }
        const auto refuse = [&] {
            Fail(where, "type " + std::to_string(elementType) + " needs " + what);
        };
        int64_t result = 0;
        if (value.is_number_unsigned()) {
            if (value.get<uint64_t>() > static_cast<uint64_t>(INT64_MAX)) {
                refuse();
            }
            result = static_cast<int64_t>(value.get<uint64_t>());
        } else if (value.is_number_integer()) {
            result = value.get<int64_t>();
        } else if (elementType == EKN_TYPE_INT64 && value.is_string()) {
            const std::string& text = value.get_ref<const std::string&>();
            const auto [end, error] =
                std::from_chars(text.data(), text.data() + text.size(), result);
            if (text.empty() || error != std::errc() || end != text.data() + text.size()) {
                refuse();
            }
        } else {
            refuse();
        }
        if (result < low || result > high) {
            refuse();
        }
        uint8_t bytes[8];
        const size_t size = elementType == EKN_TYPE_INT64 ? 8 : 4;
        if (size == 8) {
            std::memcpy(bytes, &result, 8);
        } else if (elementType == EKN_TYPE_INT32) {
            const auto narrow = static_cast<int32_t>(result);
            std::memcpy(bytes, &narrow, 4);
        } else {
            const auto narrow = static_cast<uint32_t>(result);
            std::memcpy(bytes, &narrow, 4);
        }
        m_image.insert(m_image.end(), bytes, bytes + size);
    }

    void HexImage(const Json& value, const Place& where) {
        const std::string& digits = StringOf(value, where);
        if (digits.size() % 2 != 0) {
            Fail(where, "hexadecimal digits come in pairs");
        }
        m_image.resize(digits.size() / 2);
        for (size_t i = 0; i < m_image.size(); ++i) {
            uint64_t byte = 0;
            if (!ParseHex(std::string_view(digits).substr(2 * i, 2), byte)) {
                Fail(where, "not hexadecimal digits");
            }
            m_image[i] = static_cast<uint8_t>(byte);
        }
    }

    Text m_name;
    Text m_type;
    Text m_attributeName;
    Text m_text;
    std::vector<uint8_t> m_image;
};

} // namespace

std::string NodeToJsonText(const EkNodePtr& node) {
    std::string text;
    JsonWriter(text).Node(node.Get());
    return text;
}

Json NodeToJson(const EkNodePtr& node) {
    return JsonBuilder().Node(node.Get());
}

EkNodePtr NodeFromJson(const Json& json) {
    return TreeBuilder().Node(json, Place(), 0);
}

} // namespace HalyardHost
