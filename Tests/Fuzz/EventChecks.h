// Checks of the events a store holds, shared by the targets that load event files.
#pragma once

#include "Store.h"

namespace Fuzz {

// The event renders as event XML that reads back into the same event (System values, payload
// items), and its System and user values render into a buffer of the size asked for with every
// string inside it.
void CheckEvent(const PalEventLog::Store& store, const PalEventLog::Channel& channel,
                const PalEventLog::Event& event) REQUIRES_SHARED(store.Mutex());

} // namespace Fuzz
