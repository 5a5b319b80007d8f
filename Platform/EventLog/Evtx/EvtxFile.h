// .evtx logs read through libevtx: the one unit that calls the library. Every libevtx object is
// owned by a Base::UniqueAny alias, so that each path frees it. The store does not call it: it
// reads logs through EvtxReader (a process of its own), whose program this unit is part of; tests
// and benchmarks of trusted logs may call it directly.
#pragma once

#include "Base/UniqueAny.h"
// libevtx.h wants libbfio's header unless WINAPI is defined, as the stand-in's Win32 types do:
// they come first.
#include "Win32/WinTypes.h"

#include <libevtx.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

namespace PalEventLog {

namespace EvtxDetail {
void CloseFile(libevtx_file_t* file) noexcept;
void FreeRecord(libevtx_record_t* record) noexcept;
} // namespace EvtxDetail

// One record of a log.
class EvtxRecord {
public:
    // The record's event XML (UTF-8) into `xml`, whose buffer is reused from call to call; false
    // with libevtx's text of the failure in `error`.
    bool Xml(std::string& xml, std::wstring& error) const;
    // Values as libevtx reads them from the record itself, not from its XML.
    std::optional<uint8_t> Level() const;
    std::optional<uint32_t> EventIdentifier() const;
    std::optional<std::string> SourceName() const;

private:
    friend class EvtxFile;
    Base::UniqueAny<libevtx_record_t*, &EvtxDetail::FreeRecord> m_record;
};

class EvtxFile {
public:
    // Opens a log for reading; false with libevtx's text of the failure in `error`.
    bool Open(const std::filesystem::path& path, std::wstring& error);
    // The number of records; -1 with `error` set when it cannot be read.
    int RecordCount(std::wstring& error) const;
    // Record `index` (0 to RecordCount() - 1); false with `error` set.
    bool Record(int index, EvtxRecord& record, std::wstring& error) const;

private:
    Base::UniqueAny<libevtx_file_t*, &EvtxDetail::CloseFile> m_file;
};

} // namespace PalEventLog
