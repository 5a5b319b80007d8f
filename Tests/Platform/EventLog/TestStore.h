// Builds small stores from event XML for the tests of Platform/EventLog.
#pragma once

#include "PalEventLog/Store/Store.h"
#include "Support/SharedData.h"

#include "Win32/WinBase.h"
#include "Win32/WinError.h"
#include "Win32/WinEventLog.h"
#include "Win32/WinEvt.h"

#include <gtest/gtest.h>

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

// Record numbers of the records a classic read filled the first `bytes` of a buffer with; a piece
// too short for a record header, or a record running past `bytes`, shows as record number 0.
inline std::vector<DWORD> RecordNumbers(const std::vector<uint8_t>& buffer, DWORD bytes) {
    std::vector<DWORD> numbers;
    for (DWORD at = 0; at < bytes;) {
        EVENTLOGRECORD header{};
        if (at + sizeof header <= bytes) {
            std::memcpy(&header, buffer.data() + at, sizeof header);
        }
        if (header.Length < sizeof header || at + header.Length > bytes) {
            numbers.push_back(0);
            break;
        }
        numbers.push_back(header.RecordNumber);
        at += header.Length;
    }
    return numbers;
}

// The values of an event handle through a System render context, indexed by
// EVT_SYSTEM_PROPERTY_ID; all Null (and 0) when it does not render.
inline std::vector<EVT_VARIANT> SystemValues(EVT_HANDLE event) {
    const EVT_HANDLE context = EvtCreateRenderContext(0, nullptr, EvtRenderContextSystem);
    std::vector<EVT_VARIANT> buffer(64);
    DWORD used = 0;
    DWORD count = 0;
    if (!EvtRender(context, event, EvtRenderEventValues,
                   static_cast<DWORD>(buffer.size() * sizeof(EVT_VARIANT)), buffer.data(), &used,
                   &count)) {
        // All bytes: `EVT_VARIANT{}` sets only the union's first (4-byte) member.
        std::memset(buffer.data(), 0, buffer.size() * sizeof(EVT_VARIANT));
    }
    EvtClose(context);
    return buffer;
}

// The record id of an event handle; 0 when it does not render.
inline uint64_t RecordIdOf(EVT_HANDLE event) {
    return SystemValues(event)[EvtSystemEventRecordId].UInt64Val;
}

// Closes the event log handles handed to it when it goes out of scope, the last one first (the
// events of a result set before the result set).
class Closing {
public:
    Closing() = default;
    Closing(const Closing&) = delete;
    Closing& operator=(const Closing&) = delete;
    ~Closing() {
        for (auto handle = m_handles.rbegin(); handle != m_handles.rend(); ++handle) {
            EvtClose(*handle);
        }
    }
    EVT_HANDLE operator()(EVT_HANDLE handle) {
        m_handles.push_back(handle);
        return handle;
    }
    const std::vector<EVT_HANDLE>& operator()(const std::vector<EVT_HANDLE>& handles) {
        m_handles.insert(m_handles.end(), handles.begin(), handles.end());
        return handles;
    }

private:
    std::vector<EVT_HANDLE> m_handles;
};

// The text EvtRender gives for `flags` (event or bookmark XML), through the sizing protocol: the
// first call fails with the size in bytes, closing NUL included, the second fills that much.
inline std::wstring RenderedText(EVT_HANDLE handle, DWORD flags) {
    DWORD used = 0, count = 0;
    EXPECT_FALSE(EvtRender(nullptr, handle, flags, 0, nullptr, &used, &count));
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    std::wstring text(used / sizeof(wchar_t), L'\0');
    if (text.empty() || !EvtRender(nullptr, handle, flags, used, text.data(), &used, &count)) {
        ADD_FAILURE() << "does not render in the size it asked for: " << used;
        return {};
    }
    EXPECT_EQ(text.back(), L'\0');
    text.pop_back();
    return text;
}

// The record numbers one ReadEventLogW call fills `room` bytes with; empty when the call fails,
// its error left as the last error.
inline std::vector<DWORD> ClassicRead(HANDLE log, DWORD flags, DWORD record = 0,
                                      DWORD room = 4096) {
    std::vector<uint8_t> buffer(room);
    DWORD read = 0, needed = 0;
    if (!ReadEventLogW(log, flags, record, buffer.data(), room, &read, &needed)) {
        return {};
    }
    return RecordNumbers(buffer, read);
}

// The real logs written by Windows, kept outside the project.
inline std::filesystem::path SharedEvtxFolder() {
    return SharedData::EvtxFolder();
}
inline std::vector<std::filesystem::path> SharedEvtxFiles() {
    return SharedData::EvtxFiles();
}

} // namespace PalEventLog::Testing
