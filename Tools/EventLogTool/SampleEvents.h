// Deterministic sample events for the sample store and the benchmarks: realistic providers,
// levels, event ids, data values and users, written as Windows event XML, one event per line.
#pragma once

#include <cstdint>
#include <ostream>
#include <string_view>

namespace EventLogTool {

// Writes `count` events of a channel (Application, System, Security or Corvane/Operational; any
// other name gets the Application mix) with record ids from `firstRecord` and times one to a few
// seconds apart from 2024-01-01. The same arguments always write the same events.
void WriteSampleEvents(std::ostream& out, std::string_view channel, uint64_t count,
                       uint64_t firstRecord = 1, uint32_t variant = 1);

} // namespace EventLogTool
