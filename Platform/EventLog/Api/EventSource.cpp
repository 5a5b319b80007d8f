// Writing events by source name: RegisterEventSourceW, ReportEventW and DeregisterEventSource.
// An event shows through both the classic view and wevtapi as Windows maps a classic report.
#include "PalEventLog/Api/ApiSupport.h"
#include "PalEventLog/Api/Render.h"
#include "PalEventLog/Store/Store.h"

#include "Base/FileTime.h"
#include "Base/XmlEscape.h"
#include "Win32/WinEventLog.h"

#include <unistd.h>

#include <cstring>
#include <memory>
#include <optional>
#include <shared_mutex>
#include <string>

using namespace PalEventLog;

namespace {

struct ClassicSource : HandleObject {
    std::shared_ptr<Store> store;
    std::wstring source;
    std::wstring channel;
};

} // namespace

HANDLE WINAPI RegisterEventSourceW(LPCWSTR serverName, LPCWSTR sourceName) {
    return Base::CFunctionBoundary(FailWithLastError<HANDLE>(nullptr), [&]() -> HANDLE {
        if (sourceName == nullptr || *sourceName == L'\0') {
            Fail(ERROR_INVALID_PARAMETER);
            return nullptr;
        }
        if (!IsLocal(serverName)) {
            Fail(RPC_S_SERVER_UNAVAILABLE, L"remote computers are not supported");
            return nullptr;
        }
        auto source = std::make_shared<ClassicSource>();
        source->store = GlobalStore();
        source->source = sourceName;
        source->channel = L"Application";
        {
            Store::ReadLock lock(*source->store);
            const Publisher* publisher = source->store->Catalog().FindPublisher(sourceName);
            if (publisher != nullptr && !publisher->channels.empty()) {
                source->channel = publisher->channels.front();
            }
        }
        return EventLogHandles().Add(HandleKind::ClassicSource, source);
    });
}

namespace {

std::wstring ComputerName() {
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') {
        return L"localhost";
    }
    return Base::WideFromUtf8(name);
}

std::string Hex(const uint8_t* data, size_t size) {
    static const char digits[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(size * 2);
    for (size_t i = 0; i < size; ++i) {
        text.push_back(digits[data[i] >> 4]);
        text.push_back(digits[data[i] & 0xF]);
    }
    return text;
}

std::string Escaped(std::wstring_view text) {
    return Base::XmlEscaped(Base::Utf8FromWide(text), Base::kEscapeMarkupAndApostrophe);
}

} // namespace

BOOL WINAPI ReportEventW(HANDLE eventLog, WORD type, WORD category, DWORD eventId, PSID userSid,
                         WORD numStrings, DWORD dataSize, LPCWSTR* strings, LPVOID rawData) {
    return Base::CFunctionBoundary(FailWithLastError<BOOL>(FALSE), [&]() -> BOOL {
        if (Injected("ReportEventW")) {
            return FALSE;
        }
        auto source = Lookup<ClassicSource>(eventLog, HandleKind::ClassicSource);
        if (!source) {
            Fail(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        uint8_t level = 0;
        uint64_t keywords = kKeywordClassic;
        switch (type) {
        case EVENTLOG_SUCCESS:
            break;
        case EVENTLOG_ERROR_TYPE:
            level = 2;
            break;
        case EVENTLOG_WARNING_TYPE:
            level = 3;
            break;
        case EVENTLOG_INFORMATION_TYPE:
            level = 4;
            break;
        case EVENTLOG_AUDIT_SUCCESS:
            keywords |= kKeywordAuditSuccess;
            break;
        case EVENTLOG_AUDIT_FAILURE:
            keywords |= kKeywordAuditFailure;
            break;
        default:
            Fail(ERROR_INVALID_PARAMETER, L"unknown event type");
            return FALSE;
        }
        if ((numStrings > 0 && strings == nullptr) || (dataSize > 0 && rawData == nullptr)) {
            Fail(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        for (WORD i = 0; i < numStrings; ++i) {
            if (strings[i] == nullptr) {
                Fail(ERROR_INVALID_PARAMETER);
                return FALSE;
            }
        }
        std::optional<std::wstring> sid;
        if (userSid != nullptr && !(sid = SidText(userSid))) {
            Fail(ERROR_INVALID_SID);
            return FALSE;
        }
        if (EqualsNoCase(source->channel, L"Security")) {
            Fail(ERROR_ACCESS_DENIED, L"the Security log cannot be written");
            return FALSE;
        }
        const uint64_t now = Base::FileTimeNow();
        static const std::string computer = Escaped(ComputerName());
        std::string tail = "<Channel>" + Escaped(source->channel) + "</Channel><Computer>" +
                           computer + "</Computer>";
        tail += sid ? "<Security UserID='" + Base::Utf8FromWide(*sid) + "'/>" : "<Security/>";
        tail += "</System>";
        if (numStrings > 0 || dataSize > 0) {
            tail += "<EventData>";
            for (WORD i = 0; i < numStrings; ++i) {
                tail += "<Data>" + Escaped(strings[i]) + "</Data>";
            }
            if (dataSize > 0) {
                tail +=
                    "<Binary>" + Hex(static_cast<const uint8_t*>(rawData), dataSize) + "</Binary>";
            }
            tail += "</EventData>";
        } else {
            tail += "<EventData></EventData>";
        }
        tail += "</Event>";
        char keywordText[32];
        std::snprintf(keywordText, sizeof keywordText, "0x%llx",
                      static_cast<unsigned long long>(keywords));
        const std::string head =
            "<Event xmlns='http://schemas.microsoft.com/win/2004/08/events/event'><System>"
            "<Provider Name='" +
            Escaped(source->source) + "'/><EventID Qualifiers='" + std::to_string(eventId >> 16) +
            "'>" + std::to_string(eventId & 0xFFFF) + "</EventID><Version>0</Version><Level>" +
            std::to_string(level) + "</Level><Task>" + std::to_string(category) +
            "</Task><Opcode>0</Opcode><Keywords>" + keywordText +
            "</Keywords><TimeCreated SystemTime='" + Base::Utf8FromWide(FormatSystemTime(now)) +
            "'/><EventRecordID>";
        const std::string execution = "</EventRecordID><Correlation/><Execution ProcessID='" +
                                      std::to_string(::getpid()) + "' ThreadID='" +
                                      std::to_string(GetCurrentThreadId()) + "'/>";
        DWORD error = ERROR_SUCCESS;
        if (!source->store->Write(
                source->channel,
                [&](uint64_t recordId) {
                    return head + std::to_string(recordId) + execution + tail;
                },
                error)) {
            Fail(error, L"the event could not be written");
            return FALSE;
        }
        return TRUE;
    });
}

BOOL WINAPI DeregisterEventSource(HANDLE eventLog) {
    return Base::CFunctionBoundary(FailWithLastError<BOOL>(FALSE), [&]() -> BOOL {
        if (!Lookup<ClassicSource>(eventLog, HandleKind::ClassicSource) ||
            !EventLogHandles().Close(eventLog)) {
            Fail(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        return TRUE;
    });
}
