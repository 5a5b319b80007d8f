// .evtx logs read through libevtx: the one unit that calls the library. Every libevtx object is
// owned by a Base::UniqueAny alias, so that each path frees it.
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

// The number of records of a log; -1 when it cannot be opened or counted.
int EvtxRecordCount(const std::filesystem::path& path);

} // namespace PalEventLog
