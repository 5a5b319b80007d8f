#include "PalEventLog/Store/EventXml.h"

#include <pugixml.hpp>

#include <algorithm>
#include <sstream>
#include <type_traits>

namespace PalEventLog {

namespace {

pugi::xml_attribute Attribute(const pugi::xml_node& node, std::string_view name) {
    for (pugi::xml_attribute a = node.first_attribute(); a; a = a.next_attribute()) {
        if (LocalName(a.name()) == name) {
            return a;
        }
    }
    return {};
}

std::wstring AttributeText(const pugi::xml_node& node, std::string_view name) {
    return Base::WideFromUtf8(Attribute(node, name).value());
}

// Text content of an element (all text and CDATA children, not nested elements).
std::string TextOf(const pugi::xml_node& node) {
    std::string out;
    for (pugi::xml_node child = node.first_child(); child; child = child.next_sibling()) {
        if (child.type() == pugi::node_pcdata || child.type() == pugi::node_cdata) {
            out += child.value();
        }
    }
    return out;
}

std::optional<uint64_t> NumberOf(std::string_view text) {
    return ParseUnsigned(Base::WideFromUtf8(text));
}

ParsedEvent::Value ValueOf(const pugi::xml_node& element) {
    return {Base::WideFromUtf8(LocalName(element.name())), AttributeText(element, "Name"),
            Base::WideFromUtf8(TextOf(element))};
}

void ReadChildValues(const pugi::xml_node& parent, std::vector<ParsedEvent::Value>& data) {
    for (pugi::xml_node c = parent.first_child(); c; c = c.next_sibling()) {
        if (c.type() == pugi::node_element) {
            data.push_back(ValueOf(c));
        }
    }
}

} // namespace

std::string_view LocalName(const char* name) noexcept {
    const std::string_view view(name);
    const size_t colon = view.find(':');
    return colon == std::string_view::npos ? view : view.substr(colon + 1);
}

pugi::xml_node ChildElement(const pugi::xml_node& node, std::string_view name) {
    for (pugi::xml_node child = node.first_child(); child; child = child.next_sibling()) {
        if (child.type() == pugi::node_element && LocalName(child.name()) == name) {
            return child;
        }
    }
    return {};
}

namespace {

// XML's blanks: space, tab, carriage return and line feed.
bool IsXmlBlank(char32_t c) noexcept {
    return c == U' ' || c == U'\t' || c == U'\r' || c == U'\n';
}

// `text` decoded as the UTF-8 round trip does, carriage returns (alone or before a line feed) as
// `lineEnd`, and line feeds and tabs as `lineEnd` and `tab`.
void AssignAsRead(std::wstring& out, std::wstring_view text, wchar_t lineEnd, wchar_t tab) {
    out.clear();
    for (size_t i = 0; i < text.size();) {
        char32_t c = Base::DecodeNext(text, i);
        if (c == U'\r') {
            if (i < text.size() && text[i] == L'\n') {
                ++i;
            }
            c = static_cast<char32_t>(lineEnd);
        } else if (c == U'\n') {
            c = static_cast<char32_t>(lineEnd);
        } else if (c == U'\t') {
            c = static_cast<char32_t>(tab);
        }
        Base::AppendEncoded(out, c);
    }
}

} // namespace

void AssignElementTextAsRead(std::wstring& out, std::wstring_view text) {
    // The parser keeps no text that is blanks alone.
    if (std::all_of(text.begin(), text.end(),
                    [](wchar_t c) { return IsXmlBlank(static_cast<char32_t>(c)); })) {
        out.clear();
        return;
    }
    AssignAsRead(out, text, L'\n', L'\t');
}

void AssignAttributeAsRead(std::wstring& out, std::wstring_view text) {
    AssignAsRead(out, text, L' ', L' ');
}

bool ParseEventXml(const pugi::xml_node& element, ParsedEvent& event, std::wstring& problem) {
    event = ParsedEvent{};
    const pugi::xml_node system = ChildElement(element, "System");
    if (!system) {
        problem = L"event without System element";
        return false;
    }
    Event& values = event.values;
    event.channel = Base::WideFromUtf8(TextOf(ChildElement(system, "Channel")));
    if (pugi::xml_node provider = ChildElement(system, "Provider")) {
        values.present |= kHasProvider;
        event.provider = AttributeText(provider, "Name");
        event.eventSourceName = AttributeText(provider, "EventSourceName");
        event.providerGuid = ParseGuid(AttributeText(provider, "Guid"));
    }
    if (pugi::xml_node id = ChildElement(system, "EventID")) {
        const auto value = NumberOf(TextOf(id)).value_or(0);
        values.present |= kHasEventId;
        values.eventId = static_cast<uint16_t>(value);
        if (auto qualifiers = NumberOf(Attribute(id, "Qualifiers").value())) {
            values.present |= kHasQualifiers;
            values.qualifiers = static_cast<uint16_t>(*qualifiers);
        } else if (value > 0xFFFF) {
            values.present |= kHasQualifiers;
            values.qualifiers = static_cast<uint16_t>(value >> 16);
        }
    }
    auto number = [&](const char* name, uint32_t bit, auto& field) {
        if (auto v = NumberOf(TextOf(ChildElement(system, name)))) {
            values.present |= bit;
            field = static_cast<std::remove_reference_t<decltype(field)>>(*v);
        }
    };
    number("Version", kHasVersion, values.version);
    number("Level", kHasLevel, values.level);
    number("Task", kHasTask, values.task);
    number("Opcode", kHasOpcode, values.opcode);
    number("Keywords", kHasKeywords, values.keywords);
    number("EventRecordID", kHasRecordId, values.recordId);
    if (pugi::xml_node time = ChildElement(system, "TimeCreated")) {
        if (auto t = ParseSystemTime(AttributeText(time, "SystemTime"))) {
            values.present |= kHasTimeCreated;
            values.timeCreated = *t;
        }
    }
    if (pugi::xml_node correlation = ChildElement(system, "Correlation")) {
        values.present |= kHasCorrelation;
        event.activityId = ParseGuid(AttributeText(correlation, "ActivityID"));
        event.relatedActivityId = ParseGuid(AttributeText(correlation, "RelatedActivityID"));
    }
    if (pugi::xml_node execution = ChildElement(system, "Execution")) {
        values.present |= kHasExecution;
        if (auto v = NumberOf(Attribute(execution, "ProcessID").value())) {
            values.present |= kHasProcessId;
            values.processId = static_cast<uint32_t>(*v);
        }
        if (auto v = NumberOf(Attribute(execution, "ThreadID").value())) {
            values.present |= kHasThreadId;
            values.threadId = static_cast<uint32_t>(*v);
        }
    }
    event.computer = Base::WideFromUtf8(TextOf(ChildElement(system, "Computer")));
    if (pugi::xml_node security = ChildElement(system, "Security")) {
        values.present |= kHasSecurity;
        event.userSid = AttributeText(security, "UserID");
    }
    if (pugi::xml_node data = ChildElement(element, "EventData")) {
        values.payload = Payload::EventData;
        ReadChildValues(data, event.data);
    } else if (pugi::xml_node user = ChildElement(element, "UserData")) {
        values.payload = Payload::UserData;
        pugi::xml_node root = user.first_child();
        while (root && root.type() != pugi::node_element) {
            root = root.next_sibling();
        }
        if (root) {
            event.userDataElement = Base::WideFromUtf8(LocalName(root.name()));
            ReadChildValues(root, event.data);
            std::ostringstream xml;
            root.print(xml, "", pugi::format_raw | pugi::format_attribute_single_quote);
            event.userDataXml = Base::WideFromUtf8(xml.str());
        }
    }
    return true;
}

} // namespace PalEventLog
