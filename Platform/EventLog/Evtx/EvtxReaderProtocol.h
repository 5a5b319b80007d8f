// The frames PalEventLogEvtxReader writes (see EvtxReaderMain.cpp) and EvtxReader reads.
#pragma once

#include <cstdint>

namespace PalEventLog {

#pragma pack(push, 1)
struct EvtxFrameHeader {
    char kind;
    int32_t index;
    uint32_t length;
};
#pragma pack(pop)

} // namespace PalEventLog
