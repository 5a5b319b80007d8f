// PalEventLogEvtxReader LOG FIRST: reads a .evtx log with libevtx and writes its records, from
// record FIRST on, to standard output for the Event Log stand-in (EvtxReader.h), which runs it as
// a process of its own: libevtx can fault on a damaged log, and only this process ends then.
//
// Output, frames of a kind byte, a 32-bit index and a 32-bit payload length (host byte order),
// then the payload:
//   'C' the number of records (index; no payload), or 'E' with the text of why the log cannot be
//       opened or counted;
//   'R' a record's index and its event XML (UTF-8), or 'U' its index and why it cannot be read;
//   'Z' the end: every record was read.
#include "PalEventLog/Evtx/EvtxFile.h"
#include "PalEventLog/Evtx/EvtxReaderProtocol.h"

#include "Base/Utf.h"

#include <cstdio>
#include <cstdlib>
#include <string>

// A process that ends after one log: what libevtx leaks on a damaged one ends with it.
extern "C" const char* __asan_default_options() {
    return "detect_leaks=0";
}

namespace {

bool Write(char kind, int32_t index, std::string_view payload) {
    const PalEventLog::EvtxFrameHeader header{kind, index, static_cast<uint32_t>(payload.size())};
    return std::fwrite(&header, sizeof header, 1, stdout) == 1 &&
           (payload.empty() || std::fwrite(payload.data(), payload.size(), 1, stdout) == 1);
}

int Read(const char* path, int first) {
    PalEventLog::EvtxFile file;
    std::wstring error;
    if (!file.Open(path, error)) {
        return Write('E', 0, Base::Utf8FromWide(error)) && Write('Z', 0, {}) ? 0 : 1;
    }
    const int count = file.RecordCount(error);
    if (count < 0) {
        return Write('E', 0, Base::Utf8FromWide(error)) && Write('Z', 0, {}) ? 0 : 1;
    }
    if (!Write('C', count, {})) {
        return 1;
    }
    std::string xml;
    for (int i = first; i < count; ++i) {
        // Each record goes out before the next is read: what was read is kept if libevtx faults.
        PalEventLog::EvtxRecord record;
        const bool read = file.Record(i, record, error) && record.Xml(xml, error);
        if (!(read ? Write('R', i, xml) : Write('U', i, Base::Utf8FromWide(error))) ||
            std::fflush(stdout) != 0) {
            return 1;
        }
    }
    return Write('Z', 0, {}) && std::fflush(stdout) == 0 ? 0 : 1;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: PalEventLogEvtxReader LOG FIRST\n");
        return 2;
    }
    try {
        return Read(argv[1], std::atoi(argv[2]));
    } catch (...) {
        return 1; // allocation failure: the reader sees the output end early
    }
}
