// Fuzz target: the Event Log stand-in's reading of event files (Windows event XML: events one
// after another or under a root element, declarations, byte-order marks, incomplete events) and the
// rendering of what it read. Properties: loading reports problems instead of failing; every event
// it keeps renders as event XML that reads back into the same event, and renders into variants
// that lie inside the buffer asked for.
#include "FuzzSupport.h"

#include "EventChecks.h"

#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Fuzz::LoadAndCheck(data, size, Fuzz::EventFile::Xml, SIZE_MAX);
    return 0;
}
