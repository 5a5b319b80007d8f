// Fuzz target: the Event Log stand-in's reading of event files (Windows event XML: events one
// after another or under a root element, declarations, byte-order marks, incomplete events) and the
// rendering of what it read. Properties: loading reports problems instead of failing; every event
// it keeps renders as event XML that reads back into the same event, and renders into variants
// that lie inside the buffer asked for.
#include "FuzzSupport.h"

#include "EventChecks.h"

#include <memory>

using namespace PalEventLog;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const Fuzz::MemoryFile file(data, size);
    auto store = std::make_shared<Store>();
    Store::WriteLock lock(*store);
    LoadReport report;
    store->LoadEventFile(file.Path(), report);
    store->Finish();
    FUZZ_CHECK(report.files == 1);
    size_t events = 0;
    for (const auto& [name, channel] : store->Channels()) {
        for (const Event& event : channel->events) {
            Fuzz::CheckEvent(*store, *channel, event);
            ++events;
        }
    }
    FUZZ_CHECK(events == report.events);
    return 0;
}
