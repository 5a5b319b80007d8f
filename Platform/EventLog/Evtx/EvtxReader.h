// .evtx logs as the store reads them: through PalEventLogEvtxReader (EvtxReaderMain.cpp), a
// process of its own beside this library, because libevtx can fault on a damaged log. A fault
// ends that process only; the store reports the record it stopped at and reads on after it.
#pragma once

#include "PalSupport/PosixHandles.h"

#include <sys/types.h>

#include <filesystem>
#include <string>

namespace PalEventLog {

class EvtxReader {
public:
    enum class Result {
        Record,     // a record's event XML
        Unreadable, // a record libevtx cannot read
        End,        // every record was read
        Stopped,    // the reading process ended early, while it read record `index`
    };

    EvtxReader() = default;
    // Ends the reading process if it still runs.
    ~EvtxReader();
    EvtxReader(const EvtxReader&) = delete;
    EvtxReader& operator=(const EvtxReader&) = delete;

    // Starts reading a log from record `first` on; false with the reason in `error` when the log
    // cannot be opened or counted (or the reader cannot be started).
    bool Open(const std::filesystem::path& log, int first, std::wstring& error);
    // The log's number of records, once open.
    int RecordCount() const noexcept { return m_count; }
    // The next record: Record with its index and XML, Unreadable with its index and why, End after
    // the last, or Stopped with the index of the record being read and why in `error`.
    Result Next(int& index, std::string& xml, std::wstring& error);

private:
    enum class Read { Done, Ended, Silent };
    // Reads exactly `size` bytes of the process's output; Ended when the output ends first,
    // Silent when the process says nothing for too long.
    Read ReadExactly(void* data, size_t size);
    // Waits for the process to end (ending it first when `stop`) and says how it ended.
    std::wstring Finish(bool stop);
    // Finish after a read that was not Done: the reason the reading stopped.
    std::wstring Stopped(Read read);

    pid_t m_process = -1;
    Pal::UniqueFd m_output;
    int m_count = -1;
    int m_next = 0; // the record the process reads now
};

// The number of records of a log, read by the reader process; -1 when it cannot be opened or
// counted.
int EvtxRecordCount(const std::filesystem::path& path);

} // namespace PalEventLog
