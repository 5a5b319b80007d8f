// The store's data model: channels of compact events, their strings interned in one pool and
// their EventData and UserData values kept as items over a text arena of the channel. Events,
// items, texts and strings are appended by one writer at a time while readers read them (see
// AppendOnly.h): what a reader found stays where it is and as it was.
#pragma once

#include "PalEventLog/Store/AppendOnly.h"

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace PalEventLog {

using StrId = uint32_t; // index into the store's string pool; 0 is "absent"

// Interned strings; ids and views stay valid for the life of the pool. Interning is the writer's
// (one thread at a time); Get reads any id handed out, from any thread.
class StringPool {
public:
    StringPool();
    StrId Intern(std::wstring_view text);
    std::wstring_view Get(StrId id) const noexcept { return m_strings[id]; }
    size_t Count() const noexcept { return m_strings.size(); }

private:
    AppendOnlyVector<std::wstring> m_strings;
    std::unordered_map<std::wstring_view, StrId> m_index;
};

// Which optional System values an event carries.
enum Present : uint32_t {
    kHasQualifiers = 1u << 0,
    kHasVersion = 1u << 1,
    kHasLevel = 1u << 2,
    kHasTask = 1u << 3,
    kHasOpcode = 1u << 4,
    kHasKeywords = 1u << 5,
    kHasTimeCreated = 1u << 6,
    kHasRecordId = 1u << 7,
    kHasProcessId = 1u << 8,
    kHasThreadId = 1u << 9,
    kHasCorrelation = 1u << 10,
    kHasExecution = 1u << 11,
    kHasSecurity = 1u << 12,
    kHasEventId = 1u << 13,
    kHasProvider = 1u << 14,
};

enum class Payload : uint8_t { None, EventData, UserData };

// One child of EventData (Data, Binary, ...) or of the UserData element: element name, Name
// attribute and text, the text kept in the channel's text arena.
struct Item {
    StrId element = 0;
    StrId name = 0;
    uint32_t textOffset = 0;
    uint32_t textLength = 0;
};

// A parsed event: typed System values, strings interned, EventData/UserData values as items.
struct Event {
    uint64_t recordId = 0;
    uint64_t timeCreated = 0; // FILETIME ticks
    uint64_t keywords = 0;
    uint32_t processId = 0;
    uint32_t threadId = 0;
    StrId provider = 0;
    StrId eventSourceName = 0;
    StrId channel = 0;
    StrId computer = 0;
    StrId userSid = 0;
    uint32_t providerGuid = 0; // index into the store's GUID table; 0 is "absent"
    uint32_t activityId = 0;
    uint32_t relatedActivityId = 0;
    uint32_t firstItem = 0;
    uint32_t itemCount = 0;
    uint32_t userDataXmlOffset = 0; // the UserData element's XML in the text arena
    uint32_t userDataXmlLength = 0;
    StrId userDataElement = 0; // the name of the single child of UserData
    uint32_t present = 0;
    uint16_t eventId = 0;
    uint16_t qualifiers = 0;
    uint16_t task = 0;
    uint8_t level = 0;
    uint8_t opcode = 0;
    uint8_t version = 0;
    Payload payload = Payload::None;
};

using EventList = AppendOnlyVector<Event>;

// The events of one channel (or one log file), ordered by EventRecordID.
struct Channel {
    std::wstring name;
    bool classic = false;
    bool declared = false; // named by publishers.xml rather than only by events
    // An event's items and texts are appended before the event, so a reader that sees the event
    // sees them; each text lies in one piece of the arena.
    EventList events;
    AppendOnlyVector<Item, 8> items;
    AppendOnlyVector<wchar_t, 12> text;
    // A clear or a rollover keeps the events in memory (open handles still read them) but out of
    // the log: the index of the first event still in it, and how many clears and rollovers there
    // were.
    std::atomic<size_t> firstKept{0};
    std::atomic<uint32_t> clears{0};
    std::atomic<uint32_t> rollovers{0};

    std::wstring_view Text(uint32_t offset, uint32_t length) const noexcept {
        return length == 0 ? std::wstring_view() : std::wstring_view(&text[offset], length);
    }
    std::wstring_view ItemText(const Item& item) const noexcept {
        return Text(item.textOffset, item.textLength);
    }
    // Index of the first event whose record id is not less than recordId.
    size_t LowerBound(uint64_t recordId) const noexcept;
};

// What loading found: counts and the problems met, one text per problem.
struct LoadReport {
    size_t files = 0;
    size_t events = 0;
    std::vector<std::wstring> problems;
};

} // namespace PalEventLog
