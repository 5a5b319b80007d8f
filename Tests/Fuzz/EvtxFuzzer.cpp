// Fuzz target: the Event Log stand-in's import of .evtx logs (libevtx reads the records in the
// reader process, the store parses their event XML). Properties: a damaged log is reported and
// what can be read of it is kept, never a fault, also when libevtx faults on it; the first events
// kept pass the checks of EventChecks.h (the XML target checks every event; here the import is
// what is fuzzed, and checking thousands of events of a real log would leave little time for it).
#include "FuzzSupport.h"

#include "EventChecks.h"

#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Fuzz::LoadAndCheck(data, size, Fuzz::EventFile::Evtx, 4);
    return 0;
}
