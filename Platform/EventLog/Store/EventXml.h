// Event XML as Windows writes it (`wevtutil qe /f:xml`): one <Event> element read into its values.
// Pure functions over parsed XML, testable with literal inputs; the store interns what they give.
#pragma once

#include "PalEventLog/Store/Model.h"
#include "PalEventLog/Store/Text.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pugi {
class xml_node;
}

namespace PalEventLog {

// The element of one event, and the tags that bound it in a file of events.
inline constexpr std::string_view kEventElement = "Event";
inline constexpr std::string_view kEventStartTag = "<Event";
inline constexpr std::string_view kEventsRootTag = "<Events"; // a root element holding events
inline constexpr std::string_view kEventEndTag = "</Event>";

// One event element's values: the typed System values, and its texts before they are interned.
struct ParsedEvent {
    struct Value {
        std::wstring element; // Data, Binary, or a child of the UserData element
        std::wstring name;    // its Name attribute
        std::wstring text;
    };

    // The System values that are numbers, the `present` bits and the payload kind; the string,
    // GUID and item fields are left 0 (the store fills them when it interns the texts below).
    Event values;
    std::wstring channel;
    std::wstring provider;
    std::wstring eventSourceName;
    std::wstring computer;
    std::wstring userSid;
    std::optional<GUID> providerGuid;
    std::optional<GUID> activityId;
    std::optional<GUID> relatedActivityId;
    // EventData's children, or the children of UserData's one element.
    std::vector<Value> data;
    std::wstring userDataElement; // the name of UserData's one element
    std::wstring userDataXml;     // that element as XML
};

// An event that a writer made itself (ReportEventW), ready for Store::Write: its values as reading
// its XML gives them (the record id left to the store), and its XML around the record id. A writer
// keeps one and fills it again for each event, so that its strings keep their buffers.
struct WrittenEvent {
    ParsedEvent parsed;
    std::string xmlHead; // up to the EventRecordID element's text
    std::string xmlTail; // after it
};

// What reading event XML gives back for a text written into it escaped (Base::XmlEscaped), for
// writers that keep an event's values beside its XML: code points that are none (lone
// surrogates, values above U+10FFFF) read as U+FFFD; in an element's text each line end reads as
// "\n" and blanks alone as no text; in an attribute value each line end, line feed or tab reads
// as one blank.
void AssignElementTextAsRead(std::wstring& out, std::wstring_view text);
void AssignAttributeAsRead(std::wstring& out, std::wstring_view text);

// Reads an <Event> element (namespace prefixes ignored, System values that do not parse left
// absent). False, with `problem` set, for an element without a System element.
bool ParseEventXml(const pugi::xml_node& element, ParsedEvent& event, std::wstring& problem);

// An element or attribute name without its namespace prefix.
std::string_view LocalName(const char* name) noexcept;
// The first child element of that local name, or a null node.
pugi::xml_node ChildElement(const pugi::xml_node& node, std::string_view name);

} // namespace PalEventLog
