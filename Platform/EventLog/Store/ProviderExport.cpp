#include "PalEventLog/Store/ProviderExport.h"

#include <pugixml.hpp>

#include <cstring>
#include <optional>
#include <sstream>

namespace PalEventLog {

namespace {

// The file's text as UTF-8: UTF-16LE (with its byte-order mark, or recognised by the zero byte
// of its first character) is converted; byte-order marks anywhere (concatenated files) go.
std::string Utf8Text(std::string_view bytes) {
    std::string text;
    const bool utf16 = (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
                        static_cast<unsigned char>(bytes[1]) == 0xFE) ||
                       (bytes.size() >= 2 && bytes[0] != '\0' && bytes[1] == '\0');
    if (utf16) {
        text =
            Base::Utf8FromWide(Base::WideFromUtf16Le(bytes.substr(0, bytes.size() & ~size_t{1})));
    } else {
        text.assign(bytes);
    }
    static constexpr std::string_view kBom = "\xEF\xBB\xBF";
    for (size_t at = text.find(kBom); at != std::string::npos; at = text.find(kBom, at)) {
        text.erase(at, kBom.size());
    }
    return text;
}

std::string_view LocalName(const pugi::xml_node& node) {
    std::string_view name = node.name();
    const size_t colon = name.find(':');
    return colon == std::string_view::npos ? name : name.substr(colon + 1);
}

std::wstring Attribute(const pugi::xml_node& node, const char* name) {
    return Base::WideFromUtf8(node.attribute(name).value());
}

// A number as the export writes it: decimal, or hexadecimal with 0x.
std::optional<uint64_t> Number(const pugi::xml_node& node, const char* name) {
    return ParseUnsigned(Attribute(node, name));
}

// Masks and keywords are hexadecimal, with or without 0x.
std::optional<uint64_t> Hex(const pugi::xml_node& node, const char* name) {
    std::wstring text(Trim(Attribute(node, name)));
    if (text.size() > 2 && text[0] == L'0' && (text[1] == L'x' || text[1] == L'X')) {
        text.erase(0, 2);
    }
    return text.empty() ? std::nullopt : ParseUnsigned(L"0x" + text);
}

// A name's text: the message, else the symbolic name.
std::wstring DisplayText(const pugi::xml_node& node) {
    std::wstring text = Attribute(node, "message");
    return text.empty() ? Attribute(node, "name") : text;
}

// The children named `element` of the child list named `list` (channels/channel, ...).
template <typename Fn>
void ForEachListed(const pugi::xml_node& provider, std::string_view list, std::string_view element,
                   Fn&& fn) {
    for (pugi::xml_node group : provider.children()) {
        if (LocalName(group) != list) {
            continue;
        }
        for (pugi::xml_node item : group.children()) {
            if (LocalName(item) == element) {
                fn(item);
            }
        }
    }
}

// The template of an event: a <template> child, or its XML text in a template attribute.
void ReadTemplate(const pugi::xml_node& event, EventDefinition& definition) {
    pugi::xml_document parsed;
    pugi::xml_node node;
    for (pugi::xml_node child : event.children()) {
        if (LocalName(child) == "template") {
            node = child;
            break;
        }
    }
    if (!node) {
        const char* text = event.attribute("template").value();
        if (*text == '\0' || !parsed.load_string(text)) {
            return;
        }
        node = parsed.document_element();
    }
    for (pugi::xml_node data : node.children()) {
        if (LocalName(data) == "data" || LocalName(data) == "struct") {
            definition.fields.push_back(Attribute(data, "name"));
        }
    }
    std::ostringstream xml;
    node.print(xml, "  ", pugi::format_indent | pugi::format_no_declaration);
    definition.templateXml = Base::WideFromUtf8(xml.str());
    while (!definition.templateXml.empty() && definition.templateXml.back() == L'\n') {
        definition.templateXml.pop_back();
    }
}

EventDefinition ReadEvent(const pugi::xml_node& event) {
    EventDefinition d;
    d.id = static_cast<uint32_t>(Number(event, "value").value_or(0));
    d.version = static_cast<uint8_t>(Number(event, "version").value_or(0));
    d.level = static_cast<uint8_t>(Number(event, "level").value_or(0));
    d.opcode = static_cast<uint8_t>(Number(event, "opcode").value_or(0));
    d.task = static_cast<uint16_t>(Number(event, "task").value_or(0));
    d.channel = static_cast<uint32_t>(Number(event, "channel").value_or(0));
    d.keywords = Hex(event, "keywords").value_or(0);
    d.message = Attribute(event, "message");
    ReadTemplate(event, d);
    return d;
}

std::optional<Publisher> ReadProvider(const pugi::xml_node& node, const std::wstring& place,
                                      std::vector<std::wstring>& problems) {
    Publisher p;
    p.name = Attribute(node, "name");
    if (p.name.empty()) {
        problems.push_back(place + L": provider without a name");
        return std::nullopt;
    }
    if (auto guid = ParseGuid(Attribute(node, "guid"))) {
        p.guid = *guid;
    }
    p.displayName = Attribute(node, "message");
    p.messageFile = Attribute(node, "messageFileName");
    p.resourceFile = Attribute(node, "resourceFileName");
    p.parameterFile = Attribute(node, "parameterFileName");
    p.helpLink = Attribute(node, "helpLink");
    ForEachListed(node, "channels", "channel", [&](const pugi::xml_node& c) {
        const std::wstring name = Attribute(c, "name");
        auto value = Number(c, "id");
        if (!value) {
            value = Number(c, "value");
        }
        p.channels.push_back(name);
        if (value) {
            const auto key = static_cast<uint32_t>(*value);
            p.channelValues[key] = name;
            p.channelMessages[key] = DisplayText(c);
        }
    });
    auto names = [&](const char* list, const char* element, std::map<uint32_t, std::wstring>& to) {
        ForEachListed(node, list, element, [&](const pugi::xml_node& n) {
            if (auto value = Number(n, "value")) {
                to[static_cast<uint32_t>(*value)] = DisplayText(n);
            }
        });
    };
    names("levels", "level", p.levels);
    names("tasks", "task", p.tasks);
    names("opcodes", "opcode", p.opcodes);
    ForEachListed(node, "keywords", "keyword", [&](const pugi::xml_node& k) {
        if (auto mask = Hex(k, "mask")) {
            p.keywords[*mask] = DisplayText(k);
        }
    });
    ForEachListed(node, "events", "event", [&](const pugi::xml_node& e) {
        if (e.attribute("value")) {
            p.AddEvent(ReadEvent(e));
        }
    });
    return p;
}

// Every <provider> of a parsed document, in document order (providers do not nest).
void CollectProviders(const pugi::xml_node& node, std::vector<pugi::xml_node>& out) {
    for (pugi::xml_node child : node.children()) {
        if (child.type() != pugi::node_element) {
            continue;
        }
        if (LocalName(child) == "provider") {
            out.push_back(child);
        } else {
            CollectProviders(child, out);
        }
    }
}

// Where each provider element starts in the text: "<provider" followed by a blank, '>' or '/'.
std::vector<size_t> ProviderStarts(std::string_view text) {
    std::vector<size_t> starts;
    static constexpr std::string_view kOpen = "<provider";
    for (size_t at = text.find(kOpen); at != std::string_view::npos;
         at = text.find(kOpen, at + 1)) {
        const size_t after = at + kOpen.size();
        if (after < text.size() && std::strchr(" \t\r\n>/", text[after]) != nullptr) {
            starts.push_back(at);
        }
    }
    return starts;
}

std::wstring ParseProblem(const pugi::xml_parse_result& result) {
    return Base::WideFromUtf8(result.description()) + L" at offset " +
           std::to_wstring(result.offset);
}

} // namespace

bool IsProviderExport(std::string_view head) {
    const std::string text = Utf8Text(head);
    std::string_view rest = text;
    std::string_view names[2];
    for (std::string_view& name : names) {
        while (true) {
            const size_t open = rest.find('<');
            if (open == std::string_view::npos) {
                return false;
            }
            rest.remove_prefix(open);
            if (rest.substr(0, 4) == "<!--") {
                const size_t close = rest.find("-->");
                rest.remove_prefix(close == std::string_view::npos ? rest.size() : close + 3);
            } else if (rest.substr(0, 2) == "<?" || rest.substr(0, 2) == "<!") {
                const size_t close = rest.find('>');
                rest.remove_prefix(close == std::string_view::npos ? rest.size() : close + 1);
            } else {
                break;
            }
        }
        rest.remove_prefix(1);
        const size_t end = rest.find_first_of(" \t\r\n/>");
        name = rest.substr(0, end);
        if (const size_t colon = name.find(':'); colon != std::string_view::npos) {
            name.remove_prefix(colon + 1);
        }
        if (name == "provider") {
            return true;
        }
        if (name == "Event" || name == "Events") {
            return false;
        }
    }
    return false;
}

std::vector<Publisher> ReadProviderExport(std::string_view bytes, std::wstring_view fileName,
                                          std::vector<std::wstring>& problems) {
    std::vector<Publisher> publishers;
    const std::string text = Utf8Text(bytes);
    const std::wstring file(fileName);
    pugi::xml_document document;
    const pugi::xml_parse_result parsed = document.load_buffer(text.data(), text.size());
    if (parsed) {
        std::vector<pugi::xml_node> nodes;
        CollectProviders(document, nodes);
        if (nodes.empty()) {
            problems.push_back(file + L": no provider");
        }
        for (size_t i = 0; i < nodes.size(); ++i) {
            if (auto p = ReadProvider(nodes[i], file + L": provider " + std::to_wstring(i + 1),
                                      problems)) {
                publishers.push_back(std::move(*p));
            }
        }
        return publishers;
    }
    // A damaged file: each provider on its own, so that one damaged provider costs only itself.
    const std::vector<size_t> starts = ProviderStarts(text);
    if (starts.empty()) {
        problems.push_back(file + L": " + ParseProblem(parsed));
        return publishers;
    }
    static constexpr std::string_view kClose = "</provider>";
    for (size_t i = 0; i < starts.size(); ++i) {
        const std::wstring place = file + L": provider " + std::to_wstring(i + 1);
        const size_t limit = i + 1 < starts.size() ? starts[i + 1] : text.size();
        std::string_view piece = std::string_view(text).substr(starts[i], limit - starts[i]);
        const size_t close = piece.rfind(kClose);
        if (close != std::string_view::npos) {
            piece = piece.substr(0, close + kClose.size());
        }
        pugi::xml_document one;
        const pugi::xml_parse_result result = one.load_buffer(piece.data(), piece.size());
        if (!result) {
            problems.push_back(place + L": " + ParseProblem(result));
            continue;
        }
        if (auto p = ReadProvider(one.document_element(), place, problems)) {
            publishers.push_back(std::move(*p));
        }
    }
    return publishers;
}

} // namespace PalEventLog
