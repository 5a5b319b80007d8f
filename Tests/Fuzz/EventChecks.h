// Checks of the events a store holds, shared by the targets that load event files.
#pragma once

#include "PalEventLog/Store/Store.h"

#include <cstddef>
#include <cstdint>

namespace Fuzz {

// The event renders as event XML that reads back into the same event (System values, payload
// items), and its System and user values render into a buffer of the size asked for with every
// string inside it.
void CheckEvent(const PalEventLog::Store& store, const PalEventLog::Channel& channel,
                const PalEventLog::Event& event);

enum class EventFile { Xml, Evtx };

// Loads the bytes as a file of that kind into a new store and checks the first `checked` events
// of each channel with CheckEvent; the count of events kept must be the one the load reported.
void LoadAndCheck(const uint8_t* data, size_t size, EventFile kind, size_t checked);

} // namespace Fuzz
