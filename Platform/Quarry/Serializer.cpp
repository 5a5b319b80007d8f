#include "Serializer.h"

#include "QuarryErrors.h"

#include <algorithm>

namespace Quarry {

namespace {

constexpr uint32_t kFlagIndent = 0x1;

void AppendUtf8(std::string& out, uint32_t codePoint) {
    if (codePoint < 0x80) {
        out += static_cast<char>(codePoint);
    } else if (codePoint < 0x800) {
        out += static_cast<char>(0xC0 | (codePoint >> 6));
        out += static_cast<char>(0x80 | (codePoint & 0x3F));
    } else if (codePoint < 0x10000) {
        out += static_cast<char>(0xE0 | (codePoint >> 12));
        out += static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (codePoint & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (codePoint >> 18));
        out += static_cast<char>(0x80 | ((codePoint >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (codePoint & 0x3F));
    }
}

void AppendCharacterReference(std::string& out, uint32_t codePoint) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    out += "&#x";
    if (codePoint >= 0x10) {
        out += kHex[codePoint >> 4];
    }
    out += kHex[codePoint & 0xF];
    out += ';';
}

// UTF-16 text as escaped UTF-8. `inAttribute` also escapes TAB, LF and CR, which attribute-value
// normalisation would otherwise turn into blanks.
void AppendEscaped(std::string& out, TextView text, bool inAttribute) {
    // Printable ASCII that needs no escaping, and outside attributes TAB, LF and CR, is copied a
    // run at a time; everything else one character at a time below.
    const auto plain = [inAttribute](uint16_t c) {
        return (c >= 0x20 && c < 0x80 && c != '&' && c != '<' && c != '>' && c != '"') ||
               (!inAttribute && (c == '\t' || c == '\n' || c == '\r'));
    };
    for (size_t i = 0; i < text.size(); ++i) {
        size_t end = i;
        while (end < text.size() && plain(static_cast<uint16_t>(text[end]))) {
            ++end;
        }
        if (end > i) {
            const size_t at = out.size();
            out.resize(at + (end - i));
            for (size_t k = i; k < end; ++k) {
                out[at + (k - i)] = static_cast<char>(text[k]);
            }
            i = end;
            if (i == text.size()) {
                break;
            }
        }
        uint32_t c = static_cast<uint16_t>(text[i]);
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() &&
            static_cast<uint16_t>(text[i + 1]) >= 0xDC00 &&
            static_cast<uint16_t>(text[i + 1]) <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (static_cast<uint16_t>(text[i + 1]) - 0xDC00);
            ++i;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = 0xFFFD;
        }
        switch (c) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '"':
            out += "&quot;";
            break;
        default:
            if (c < 0x20 && (inAttribute || (c != '\t' && c != '\n' && c != '\r'))) {
                AppendCharacterReference(out, c);
            } else {
                AppendUtf8(out, c);
            }
            break;
        }
    }
}

void AppendValue(std::string& out, const AttributeRef& attribute) {
    const DecodedValue value = Decode(attribute.type, attribute.image);
    switch (value.kind) {
    case DecodedValue::Kind::Integer:
        out += std::to_string(value.integers.front());
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
        for (const int64_t v : value.integers) {
            out += "<item>";
            out += std::to_string(v);
            out += "</item>";
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
    AppendEscaped(out, node.name, true);
    out += "\" type=\"";
    AppendEscaped(out, node.type, true);
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
        out += std::to_string(attribute.type);
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
    : flags_(flags), sink_(sink), sinkContext_(sinkContext) {
    pending_ = "<nr>";
    EndLine(pending_, flags_);
}

EKN_HRESULT SerializationContext::Serialize(const Node* const* nodes, size_t count, int32_t depth) {
    if (Failed(failure_)) {
        return failure_;
    }
    if (finalized_) {
        return kUnexpected;
    }
    for (size_t i = 0; i < count; ++i) {
        {
            TreeGuard guard(*nodes[i]);
            AppendNodeXml(pending_, *nodes[i], depth, flags_);
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
    if (Failed(failure_)) {
        return failure_;
    }
    if (finalized_) {
        return kUnexpected;
    }
    pending_ += "</nr>";
    finalized_ = true;
    return Deliver(true);
}

EKN_HRESULT SerializationContext::Deliver(bool all) {
    size_t offset = 0;
    while (pending_.size() - offset >= kChunkSize || (all && offset < pending_.size())) {
        const size_t size = std::min(kChunkSize, pending_.size() - offset);
        const EKN_HRESULT hr =
            sink_(pending_.data() + offset, static_cast<uint32_t>(size), sinkContext_);
        offset += size;
        if (Failed(hr)) {
            failure_ = hr;
            pending_.clear();
            return hr;
        }
    }
    pending_.erase(0, offset);
    return kOk;
}

} // namespace Quarry
