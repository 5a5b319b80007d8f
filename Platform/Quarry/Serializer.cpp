#include "Serializer.h"

#include "QuarryErrors.h"

#include "Base/Utf.h"
#include "Base/XmlEscape.h"

#include <algorithm>
#include <charconv>
#include <iterator>

namespace Quarry {

namespace {

constexpr uint32_t kFlagIndent = 0x1;

// UTF-16 text as escaped UTF-8. `inAttribute` also escapes TAB, LF and CR, which attribute-value
// normalisation would otherwise turn into blanks.
void AppendEscaped(std::string& out, TextView text, bool inAttribute) {
    const Base::XmlEscapes escapes{.quote = true, .controls = true, .lineControls = inAttribute};
    // Printable ASCII that the escapes leave alone (and outside attributes TAB, LF and CR) is
    // copied a run at a time; the pieces between take the shared codec and escaper.
    const auto plain = [inAttribute](uint32_t c) {
        return (c >= 0x20 && c < 0x80 && c != '&' && c != '<' && c != '>' && c != '"') ||
               (!inAttribute && (c == '\t' || c == '\n' || c == '\r'));
    };
    std::string piece;
    size_t i = 0;
    while (i < text.size()) {
        size_t end = i;
        while (end < text.size() && plain(static_cast<uint16_t>(text[end]))) {
            ++end;
        }
        const size_t at = out.size();
        out.resize(at + (end - i));
        for (size_t k = i; k < end; ++k) {
            out[at + (k - i)] = static_cast<char>(text[k]);
        }
        i = end;
        while (end < text.size() && !plain(static_cast<uint16_t>(text[end]))) {
            ++end;
        }
        if (end > i) {
            piece.clear();
            Base::AppendConverted(piece, text.substr(i, end - i));
            Base::AppendXmlEscaped(out, std::string_view(piece), escapes);
            i = end;
        }
    }
}

// The decimal digits of a number, without a string of their own.
void AppendNumber(std::string& out, int64_t value) {
    char digits[24];
    const auto end = std::to_chars(std::begin(digits), std::end(digits), value).ptr;
    out.append(digits, end);
}

void AppendValue(std::string& out, const AttributeRef& attribute) {
    const DecodedValue value = Decode(attribute.type, attribute.image);
    switch (value.kind) {
    case DecodedValue::Kind::Integer:
        AppendNumber(out, value.integers.front());
        break;
    case DecodedValue::Kind::Boolean:
        out += value.integers.front() != 0 ? "true" : "false";
        break;
    case DecodedValue::Kind::Text:
        AppendEscaped(out, value.texts.front(), false);
        break;
    case DecodedValue::Kind::Guid:
        out += FormatGuid(value.raw);
        break;
    case DecodedValue::Kind::IntegerArray:
        // Each item written whole on the stack: a deep session's page list has thousands.
        for (const int64_t v : value.integers) {
            char item[48] = "<item>";
            char* end = std::to_chars(item + 6, item + 26, v).ptr;
            end = std::copy_n("</item>", 7, end);
            out.append(item, end);
        }
        break;
    case DecodedValue::Kind::TextList:
        for (const Text& text : value.texts) {
            out += "<item>";
            AppendEscaped(out, text, false);
            out += "</item>";
        }
        break;
    case DecodedValue::Kind::Opaque: {
        static constexpr char kHex[] = "0123456789abcdef";
        for (const uint8_t byte : value.raw) {
            out += kHex[byte >> 4];
            out += kHex[byte & 0xF];
        }
        break;
    }
    }
}

void StartLine(std::string& out, uint32_t flags, int level) {
    if ((flags & kFlagIndent) != 0) {
        out.append(static_cast<size_t>(level) * 2, ' ');
    }
}

void EndLine(std::string& out, uint32_t flags) {
    if ((flags & kFlagIndent) != 0) {
        out += "\r\n";
    }
}

void AppendNode(std::string& out, const Node& node, int32_t depth, uint32_t flags, int level) {
    StartLine(out, flags, level);
    out += "<node name=\"";
    AppendEscaped(out, node.texts.Name(), true);
    out += "\" type=\"";
    AppendEscaped(out, node.texts.Type(), true);
    out += '"';
    const bool withChildren = depth > 0 && !node.children.empty();
    if (node.attributes.empty() && !withChildren) {
        out += "/>";
        EndLine(out, flags);
        return;
    }
    out += '>';
    EndLine(out, flags);
    for (const AttributeRef attribute : node.attributes) {
        StartLine(out, flags, level + 1);
        out += "<attr name=\"";
        AppendEscaped(out, attribute.name, true);
        out += "\" type=\"";
        AppendNumber(out, attribute.type);
        out += "\">";
        AppendValue(out, attribute);
        out += "</attr>";
        EndLine(out, flags);
    }
    if (withChildren) {
        const int32_t childDepth = depth == EKN_DEPTH_ALL ? EKN_DEPTH_ALL : depth - 1;
        for (const auto& child : node.children) {
            AppendNode(out, *child, childDepth, flags, level + 1);
        }
    }
    StartLine(out, flags, level);
    out += "</node>";
    EndLine(out, flags);
}

} // namespace

void AppendNodeXml(std::string& out, const Node& node, int32_t depth, uint32_t flags) {
    AppendNode(out, node, depth, flags, 0);
}

SerializationContext::SerializationContext(uint32_t flags, EKN_SINK sink, void* sinkContext)
    : m_flags(flags), m_sink(sink), m_sinkContext(sinkContext) {
    m_pending = "<nr>";
    EndLine(m_pending, m_flags);
}

EKN_HRESULT SerializationContext::Serialize(const Node* const* nodes, size_t count, int32_t depth) {
    if (Failed(m_failure)) {
        return m_failure;
    }
    if (m_finalized) {
        return kUnexpected;
    }
    for (size_t i = 0; i < count; ++i) {
        {
            TreeGuard guard(*nodes[i]);
            AppendNodeXml(m_pending, *nodes[i], depth, m_flags);
        }
        // The sink runs outside the tree lock, so it may use the library itself.
        const EKN_HRESULT hr = Deliver(false);
        if (Failed(hr)) {
            return hr;
        }
    }
    return kOk;
}

EKN_HRESULT SerializationContext::Finalize() {
    if (Failed(m_failure)) {
        return m_failure;
    }
    if (m_finalized) {
        return kUnexpected;
    }
    m_pending += "</nr>";
    m_finalized = true;
    return Deliver(true);
}

EKN_HRESULT SerializationContext::Deliver(bool all) {
    size_t offset = 0;
    while (m_pending.size() - offset >= kChunkSize || (all && offset < m_pending.size())) {
        const size_t size = std::min(kChunkSize, m_pending.size() - offset);
        const EKN_HRESULT hr =
            m_sink(m_pending.data() + offset, static_cast<uint32_t>(size), m_sinkContext);
        offset += size;
        if (Failed(hr)) {
            m_failure = hr;
            m_pending.clear();
            return hr;
        }
    }
    m_pending.erase(0, offset);
    return kOk;
}

} // namespace Quarry
