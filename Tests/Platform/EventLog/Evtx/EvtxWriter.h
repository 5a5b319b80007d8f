// Writes small .evtx logs for tests: one chunk of records whose binary XML holds plain elements
// (no templates), or, for damaged logs, a record whose template instance claims more values than
// the chunk can hold. Made here from the format's description, so that tests and the fuzz inputs
// kept in the repository need no log written by Windows.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace PalEventLog::Testing {

// An element of a record's event XML.
struct EvtxElement {
    std::u16string name;
    std::vector<std::pair<std::u16string, std::u16string>> attributes;
    std::u16string text;
    std::vector<EvtxElement> children;
};

// One record: its event XML, or (when `valueCount` is set) a template instance of an empty Event
// template that claims `valueCount` values and holds none.
struct EvtxRecordContent {
    EvtxElement event;
    uint32_t valueCount = 0;
};

// A log of one chunk holding the records, with record ids from 1; checksums are right.
std::vector<uint8_t> EvtxLog(const std::vector<EvtxRecordContent>& records);

// An Event element as wevtutil prints a classic event: provider, id, level, time, record id,
// channel, computer and the insertion strings as Data elements.
EvtxElement EvtxEvent(const std::u16string& provider, int eventId, int level, uint64_t recordId,
                      const std::u16string& channel, const std::vector<std::u16string>& data);

} // namespace PalEventLog::Testing
