// Builds small stores from event XML for the tests of Platform/EventLog.
#pragma once

#include "PalEventLog/Store/Store.h"
#include "Support/SharedData.h"

#include "Win32/WinEventLog.h"
#include "Win32/WinEvt.h"

#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace PalEventLog::Testing {

// One event in Windows event XML. `data` is the inner XML of EventData (empty: no EventData).
inline std::string EventXml(const std::string& channel, uint64_t record, int eventId, int level,
                            const std::string& provider, const std::string& time,
                            const std::string& data, const std::string& extraSystem = "") {
    return "<Event xmlns='http://schemas.microsoft.com/win/2004/08/events/event'><System>"
           "<Provider Name='" +
           provider + "'/><EventID Qualifiers='0'>" + std::to_string(eventId) +
           "</EventID><Level>" + std::to_string(level) +
           "</Level><Task>0</Task><Keywords>0x80000000000000</Keywords><TimeCreated SystemTime='" +
           time + "'/><EventRecordID>" + std::to_string(record) + "</EventRecordID><Channel>" +
           channel + "</Channel><Computer>host1</Computer>" + extraSystem + "</System>" +
           (data.empty() ? std::string() : "<EventData>" + data + "</EventData>") + "</Event>\n";
}

inline std::shared_ptr<Store> StoreOf(const std::string& xml) {
    auto store = std::make_shared<Store>();
    Store::WriteLock lock(*store);
    LoadReport report;
    store->LoadEventXmlText(xml, report);
    store->Finish();
    return store;
}

// The UTF-16LE string at `offset` of a classic record buffer, up to its NUL.
inline std::wstring WideAt(const std::vector<uint8_t>& buffer, size_t offset) {
    std::wstring text;
    for (size_t i = offset; i + 1 < buffer.size(); i += 2) {
        const auto c = static_cast<wchar_t>(buffer[i] | buffer[i + 1] << 8);
        if (c == 0) {
            break;
        }
        text.push_back(c);
    }
    return text;
}

// Record numbers of the records a classic read filled the first `bytes` of a buffer with; a
// piece too short for a record header shows as record number 0.
inline std::vector<DWORD> RecordNumbers(const std::vector<uint8_t>& buffer, DWORD bytes) {
    std::vector<DWORD> numbers;
    for (DWORD at = 0; at < bytes;) {
        if (at + sizeof(EVENTLOGRECORD) > bytes) {
            numbers.push_back(0);
            break;
        }
        EVENTLOGRECORD header;
        std::memcpy(&header, buffer.data() + at, sizeof header);
        numbers.push_back(header.RecordNumber);
        at += header.Length;
    }
    return numbers;
}

// The record id of an event handle through a System render context; 0 when it does not render.
inline uint64_t RecordIdOf(EVT_HANDLE event) {
    const EVT_HANDLE context = EvtCreateRenderContext(0, nullptr, EvtRenderContextSystem);
    std::vector<EVT_VARIANT> buffer(64);
    DWORD used = 0;
    DWORD count = 0;
    const BOOL rendered = EvtRender(context, event, EvtRenderEventValues,
                                    static_cast<DWORD>(buffer.size() * sizeof(EVT_VARIANT)),
                                    buffer.data(), &used, &count);
    EvtClose(context);
    return rendered ? buffer[EvtSystemEventRecordId].UInt64Val : 0;
}

// The real logs written by Windows, kept outside the project.
inline std::filesystem::path SharedEvtxFolder() {
    return SharedData::EvtxFolder();
}
inline std::vector<std::filesystem::path> SharedEvtxFiles() {
    return SharedData::EvtxFiles();
}

} // namespace PalEventLog::Testing
