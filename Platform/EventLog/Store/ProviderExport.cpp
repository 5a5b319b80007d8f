#include "PalEventLog/Store/ProviderExport.h"

#include <pugixml.hpp>

#include <cstring>
#include <initializer_list>
#include <map>
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

// The names and formats of a template's values, and its XML as Windows hands it out.
void ReadTemplateNode(const pugi::xml_node& node, EventDefinition& definition) {
    for (pugi::xml_node data : node.children()) {
        if (LocalName(data) == "data" || LocalName(data) == "struct") {
            definition.fields.push_back(Attribute(data, "name"));
            const std::string_view in = data.attribute("inType").value();
            const std::string_view out = data.attribute("outType").value();
            auto hex = [](std::string_view type) {
                return type == "win:HexInt32" || type == "win:HexInt64";
            };
            definition.formats.push_back({in == "win:SID"       ? ShownAs::Account
                                          : hex(in) || hex(out) ? ShownAs::Hex
                                                                : ShownAs::Itself,
                                          Attribute(data, "map")});
        }
    }
    std::ostringstream xml;
    node.print(xml, "  ", pugi::format_indent | pugi::format_no_declaration);
    definition.templateXml = Base::WideFromUtf8(xml.str());
    while (!definition.templateXml.empty() && definition.templateXml.back() == L'\n') {
        definition.templateXml.pop_back();
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
    ReadTemplateNode(node, definition);
}

// A provider element's GUID and file names, as exports and manifests write them.
void ReadIdentity(const pugi::xml_node& node, Publisher& p) {
    if (auto guid = ParseGuid(Attribute(node, "guid"))) {
        p.guid = *guid;
    }
    p.messageFile = Attribute(node, "messageFileName");
    p.resourceFile = Attribute(node, "resourceFileName");
    p.parameterFile = Attribute(node, "parameterFileName");
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
    ReadIdentity(node, p);
    p.displayName = Attribute(node, "message");
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
    auto names = [&](const char* list, const char* element, NameKind kind,
                     std::map<uint32_t, std::wstring>& to) {
        ForEachListed(node, list, element, [&](const pugi::xml_node& n) {
            if (auto value = Number(n, "value")) {
                to[static_cast<uint32_t>(*value)] = DisplayText(n);
                p.symbols[{kind, *value}] = Attribute(n, "name");
            }
        });
    };
    names("levels", "level", NameKind::Level, p.levels);
    names("tasks", "task", NameKind::Task, p.tasks);
    names("opcodes", "opcode", NameKind::Opcode, p.opcodes);
    ForEachListed(node, "keywords", "keyword", [&](const pugi::xml_node& k) {
        if (auto mask = Hex(k, "mask")) {
            p.keywords[*mask] = DisplayText(k);
            p.symbols[{NameKind::Keyword, *mask}] = Attribute(k, "name");
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

// An instrumentation manifest (.man): providers whose texts are references into the string table
// of the manifest's localization ("$(string.Id)") and whose events name their level, task,
// opcode, keywords, channel and template. Read into the same model as an export, with the values
// the message compiler gives: the standard names of the win: namespace, channel values from 16 in
// the order declared unless given, the imported standard channels at their fixed values.
class ManifestReader {
public:
    ManifestReader(const pugi::xml_node& root, std::wstring place,
                   std::vector<std::wstring>& problems)
        : m_place(std::move(place)), m_problems(problems) {
        ReadStrings(root);
    }

    Publisher Read(const pugi::xml_node& node) {
        Publisher p;
        p.name = Attribute(node, "name");
        ReadIdentity(node, p);
        p.displayName = Text(node, "message");
        ReadChannels(node, p);
        // Levels and opcodes: by name for the events' references, with their texts and symbols.
        auto named = [&](const char* list, const char* element, NameKind kind,
                         std::map<std::wstring, uint64_t>& byName,
                         std::map<uint32_t, std::wstring>& texts) {
            ForEachListed(node, list, element, [&](const pugi::xml_node& n) {
                if (auto value = Number(n, "value")) {
                    byName[Attribute(n, "name")] = *value;
                    texts[static_cast<uint32_t>(*value)] = Display(n);
                    p.symbols[{kind, *value}] = Attribute(n, "name");
                }
            });
        };
        named("levels", "level", NameKind::Level, m_levels, p.levels);
        ForEachListed(node, "tasks", "task", [&](const pugi::xml_node& n) {
            const auto task = static_cast<uint32_t>(Number(n, "value").value_or(0));
            m_tasks[Attribute(n, "name")] = task;
            p.tasks[task] = Display(n);
            p.symbols[{NameKind::Task, task}] = Attribute(n, "name");
            ForEachListed(n, "opcodes", "opcode", [&](const pugi::xml_node& o) {
                if (auto value = Number(o, "value")) {
                    m_opcodes[Attribute(n, "name") + L"/" + Attribute(o, "name")] = *value;
                    const uint32_t key = task << 16 | static_cast<uint32_t>(*value);
                    p.opcodes[key] = Display(o);
                    p.symbols[{NameKind::Opcode, key}] = Attribute(o, "name");
                }
            });
        });
        named("opcodes", "opcode", NameKind::Opcode, m_opcodes, p.opcodes);
        ForEachListed(node, "keywords", "keyword", [&](const pugi::xml_node& n) {
            if (auto mask = Hex(n, "mask")) {
                m_keywords[Attribute(n, "name")] = *mask;
                p.keywords[*mask] = Display(n);
                p.symbols[{NameKind::Keyword, *mask}] = Attribute(n, "name");
            }
        });
        for (const char* kind : {"valueMap", "bitMap"}) {
            ForEachListed(node, "maps", kind, [&](const pugi::xml_node& n) {
                ValueMap& map = p.maps[Attribute(n, "name")];
                map.bits = std::string_view(kind) == "bitMap";
                for (pugi::xml_node item : n.children()) {
                    if (auto value = Number(item, "value"); value && LocalName(item) == "map") {
                        map.texts[static_cast<uint32_t>(*value)] = Text(item, "message");
                    }
                }
            });
        }
        ForEachListed(node, "templates", "template",
                      [&](const pugi::xml_node& n) { m_templates[Attribute(n, "tid")] = n; });
        ForEachListed(node, "events", "event", [&](const pugi::xml_node& e) {
            if (auto value = Number(e, "value")) {
                p.AddEvent(ReadEvent(e, static_cast<uint32_t>(*value)));
            }
        });
        return p;
    }

private:
    void ReadStrings(const pugi::xml_node& root) {
        pugi::xml_node chosen; // the en-US resources, else the first
        for (pugi::xml_node localization : root.children()) {
            if (LocalName(localization) != "localization") {
                continue;
            }
            for (pugi::xml_node resources : localization.children()) {
                if (LocalName(resources) == "resources" &&
                    (!chosen ||
                     std::string_view(resources.attribute("culture").value()) == "en-US")) {
                    chosen = resources;
                }
            }
        }
        ForEachListed(chosen, "stringTable", "string", [&](const pugi::xml_node& s) {
            m_strings[Attribute(s, "id")] = Attribute(s, "value");
        });
    }

    // An attribute's text, a string-table reference resolved; an unknown one is reported.
    std::wstring Text(const pugi::xml_node& node, const char* name) {
        std::wstring text = Attribute(node, name);
        static constexpr std::wstring_view kOpen = L"$(string.";
        if (text.rfind(kOpen, 0) != 0 || text.back() != L')') {
            return text;
        }
        const std::wstring id = text.substr(kOpen.size(), text.size() - kOpen.size() - 1);
        const auto found = m_strings.find(id);
        if (found == m_strings.end()) {
            m_problems.push_back(m_place + L": no string '" + id + L"' in the string table");
            return {};
        }
        return found->second;
    }

    // A name's text: the message, else the symbolic name.
    std::wstring Display(const pugi::xml_node& node) {
        std::wstring text = Text(node, "message");
        return text.empty() ? Attribute(node, "name") : text;
    }

    void ReadChannels(const pugi::xml_node& node, Publisher& p) {
        static const std::map<std::wstring, uint32_t, NoCaseLess> kImported = {
            {L"System", 8}, {L"Application", 9}, {L"Security", 10}};
        uint32_t next = 16;
        for (pugi::xml_node group : node.children()) {
            if (LocalName(group) != "channels") {
                continue;
            }
            for (pugi::xml_node c : group.children()) {
                const std::string_view kind = LocalName(c);
                if (kind != "channel" && kind != "importChannel") {
                    continue;
                }
                const std::wstring name = Attribute(c, "name");
                const auto imported = kImported.find(name);
                uint32_t value = 0;
                if (auto given = Number(c, "value")) {
                    value = static_cast<uint32_t>(*given);
                } else if (kind == "importChannel" && imported != kImported.end()) {
                    value = imported->second;
                } else {
                    value = next++;
                }
                p.channels.push_back(name);
                p.channelValues[value] = name;
                p.channelMessages[value] = Display(c);
                m_channels[name] = value;
                if (std::wstring chid = Attribute(c, "chid"); !chid.empty()) {
                    m_channels[chid] = value;
                }
            }
        }
    }

    // A reference by name: the provider's own, a standard one, or a number.
    std::optional<uint64_t>
    Lookup(const std::map<std::wstring, uint64_t>& own,
           std::initializer_list<std::pair<std::wstring_view, uint64_t>> standard,
           const std::wstring& name) const {
        if (name.empty()) {
            return std::nullopt;
        }
        if (auto found = own.find(name); found != own.end()) {
            return found->second;
        }
        for (const auto& [known, value] : standard) {
            if (known == name) {
                return value;
            }
        }
        return ParseUnsigned(name);
    }

    EventDefinition ReadEvent(const pugi::xml_node& e, uint32_t id) {
        EventDefinition d;
        d.id = id;
        d.version = static_cast<uint8_t>(Number(e, "version").value_or(0));
        d.level = static_cast<uint8_t>(Lookup(m_levels,
                                              {{L"win:LogAlways", 0},
                                               {L"win:Critical", 1},
                                               {L"win:Error", 2},
                                               {L"win:Warning", 3},
                                               {L"win:Informational", 4},
                                               {L"win:Verbose", 5}},
                                              Attribute(e, "level"))
                                           .value_or(0));
        const std::wstring task = Attribute(e, "task");
        d.task = static_cast<uint16_t>(Lookup(m_tasks, {{L"win:None", 0}}, task).value_or(0));
        const std::wstring opcode = Attribute(e, "opcode");
        auto ownOpcode = m_opcodes.find(task + L"/" + opcode);
        d.opcode =
            static_cast<uint8_t>(ownOpcode != m_opcodes.end() ? ownOpcode->second
                                                              : Lookup(m_opcodes,
                                                                       {{L"win:Info", 0},
                                                                        {L"win:Start", 1},
                                                                        {L"win:Stop", 2},
                                                                        {L"win:DC_Start", 3},
                                                                        {L"win:DC_Stop", 4},
                                                                        {L"win:Extension", 5},
                                                                        {L"win:Reply", 6},
                                                                        {L"win:Resume", 7},
                                                                        {L"win:Suspend", 8},
                                                                        {L"win:Send", 9},
                                                                        {L"win:Receive", 240}},
                                                                       opcode)
                                                                    .value_or(0));
        if (auto channel = m_channels.find(Attribute(e, "channel")); channel != m_channels.end()) {
            d.channel = channel->second;
        }
        std::wistringstream keywords(Attribute(e, "keywords"));
        for (std::wstring name; keywords >> name;) {
            d.keywords |= Lookup(m_keywords,
                                 {{L"win:ResponseTime", 0x1000000000000},
                                  {L"win:AuditFailure", 0x10000000000000},
                                  {L"win:AuditSuccess", 0x20000000000000},
                                  {L"win:CorrelationHint", 0x40000000000000},
                                  {L"win:EventlogClassic", 0x80000000000000}},
                                 name)
                              .value_or(0);
        }
        d.message = Text(e, "message");
        if (auto found = m_templates.find(Attribute(e, "template")); found != m_templates.end()) {
            // As Windows hands a template out: in the events namespace, without its tid.
            pugi::xml_document copy;
            pugi::xml_node node = copy.append_child("template");
            node.append_attribute("xmlns") = "http://schemas.microsoft.com/win/2004/08/events";
            for (pugi::xml_node child : found->second.children()) {
                node.append_copy(child);
            }
            ReadTemplateNode(node, d);
        }
        return d;
    }

    std::wstring m_place;
    std::vector<std::wstring>& m_problems;
    std::map<std::wstring, std::wstring> m_strings;
    std::map<std::wstring, uint64_t> m_levels, m_tasks, m_opcodes, m_keywords, m_channels;
    std::map<std::wstring, pugi::xml_node> m_templates;
};

// The providers of a parsed manifest: instrumentation/events/provider.
std::vector<Publisher> ReadManifest(const pugi::xml_node& root, const std::wstring& file,
                                    std::vector<std::wstring>& problems) {
    std::vector<Publisher> publishers;
    std::vector<pugi::xml_node> nodes;
    CollectProviders(root, nodes);
    if (nodes.empty()) {
        problems.push_back(file + L": no provider");
    }
    for (size_t i = 0; i < nodes.size(); ++i) {
        const std::wstring place = file + L": provider " + std::to_wstring(i + 1);
        if (Attribute(nodes[i], "name").empty()) {
            problems.push_back(place + L": provider without a name");
            continue;
        }
        publishers.push_back(ManifestReader(root, place, problems).Read(nodes[i]));
    }
    return publishers;
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
        if (name == "provider" || name == "instrumentationManifest") {
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
    if (parsed && LocalName(document.document_element()) == "instrumentationManifest") {
        return ReadManifest(document.document_element(), file, problems);
    }
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
    if (text.find("<instrumentationManifest") != std::string::npos) {
        // A manifest's texts lie in its string table after the providers: read whole or not.
        problems.push_back(file + L": damaged manifest: " + ParseProblem(parsed));
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
