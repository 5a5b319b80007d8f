// One event read straight from the Event Log for the viewer's detail pane, beside the module (whose
// event nodes carry no event data): its System values with their names, its message where the
// publisher's metadata gives one, its own data (EventData and UserData values, named or not,
// binary as hexadecimal) and its XML.
//
//   {"channel", "recordId", "provider", "eventId", "qualifiers", "version", "level", "task",
//    "opcode", "keywords": "0x...", "levelName", "taskName", "opcodeName", "keywordNames": [...],
//    "message": text or null, "messageError": "0x..." when there is none,
//    "data": [{"section": "EventData"|"UserData", "element", "name", "value"}...], "xml"}
//
// "name" is the Name attribute of an EventData value (absent when it has none) or the element
// name of a UserData value; "element" is Data, Binary or the UserData element's name. Names that
// cannot be had are null.
#pragma once

#include "Platform.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace HalyardHost {

// The answer for one event handle.
nlohmann::ordered_json EventDetails(EVT_HANDLE event);

// The event of a channel with that EventRecordID; nullopt when the channel has none. Raises
// std::runtime_error (with the Event Log's code) when the channel cannot be read.
std::optional<nlohmann::ordered_json> ReadEvent(const std::wstring& channel, uint64_t recordId);

// Every event of an .evtx log, oldest first, handed to `each` (for checks over whole logs).
void ReadLogFile(const std::wstring& path,
                 const std::function<void(const nlohmann::ordered_json&)>& each);

} // namespace HalyardHost
