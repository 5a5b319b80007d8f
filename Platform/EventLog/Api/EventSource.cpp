// Writing events by source name: RegisterEventSourceW, ReportEventW and DeregisterEventSource.
// An event shows through both the classic view and wevtapi as Windows maps a classic report.
#include "PalEventLog/Api/ApiSupport.h"
#include "PalEventLog/Api/Render.h"
#include "PalEventLog/Store/EventXml.h"
#include "PalEventLog/Store/Store.h"

#include "Base/FileTime.h"
#include "Base/XmlEscape.h"
#include "Win32/WinEventLog.h"

#include <unistd.h>

#include <charconv>
#include <cstring>
#include <iterator>
#include <memory>
#include <optional>
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
        const Publisher* publisher = source->store->Catalog().FindPublisher(sourceName);
        if (publisher != nullptr && !publisher->channels.empty()) {
            source->channel = publisher->channels.front();
        }
        return EventLogHandles().Add(HandleKind::ClassicSource, source);
    });
}

namespace {

// Builds the events of ReportEventW: their XML as Windows writes it, and beside it the values that
// reading that XML gives, so that the store takes the event without reading its XML again. Each
// thread keeps one, whose buffers serve its next events: a writer takes no memory from the
// allocator per event, and so never waits for the allocator's locks that readers hold.
class EventBuilder {
public:
    WrittenEvent& Build(const ClassicSource& source, const Event& values, WORD numStrings,
                        LPCWSTR* strings, const std::optional<std::wstring>& sid,
                        const uint8_t* rawData, DWORD dataSize) {
        ParsedEvent& parsed = m_event.parsed;
        parsed.values = values;
        parsed.eventSourceName.clear();
        parsed.providerGuid.reset();
        parsed.activityId.reset();
        parsed.relatedActivityId.reset();
        parsed.userDataElement.clear();
        parsed.userDataXml.clear();
        parsed.data.resize(numStrings + (dataSize > 0 ? 1 : 0));

        std::string& head = m_event.xmlHead;
        head.assign("<Event xmlns='http://schemas.microsoft.com/win/2004/08/events/event'><System>"
                    "<Provider Name='");
        Attribute(head, parsed.provider, source.source);
        head += "'/><EventID Qualifiers='";
        Number(head, values.qualifiers);
        head += "'>";
        Number(head, values.eventId);
        head += "</EventID><Version>0</Version><Level>";
        Number(head, values.level);
        head += "</Level><Task>";
        Number(head, values.task);
        head += "</Task><Opcode>0</Opcode><Keywords>0x";
        Number(head, values.keywords, 16);
        head += "</Keywords><TimeCreated SystemTime='";
        char time[40];
        head.append(time, FormatSystemTime(values.timeCreated, time));
        head += "'/><EventRecordID>";

        std::string& tail = m_event.xmlTail;
        tail.assign("</EventRecordID><Correlation/><Execution ProcessID='");
        Number(tail, values.processId);
        tail += "' ThreadID='";
        Number(tail, values.threadId);
        tail += "'/><Channel>";
        ElementText(tail, parsed.channel, source.channel);
        tail += "</Channel><Computer>";
        ElementText(tail, parsed.computer, ComputerName());
        tail += "</Computer>";
        if (sid) {
            tail += "<Security UserID='";
            Attribute(tail, parsed.userSid, *sid);
            tail += "'/>";
        } else {
            parsed.userSid.clear();
            tail += "<Security/>";
        }
        tail += "</System><EventData>";
        for (WORD i = 0; i < numStrings; ++i) {
            tail += "<Data>";
            Item(parsed.data[i], L"Data");
            ElementText(tail, parsed.data[i].text, strings[i]);
            tail += "</Data>";
        }
        if (dataSize > 0) {
            tail += "<Binary>";
            ParsedEvent::Value& binary = parsed.data.back();
            Item(binary, L"Binary");
            binary.text.clear();
            static constexpr char kDigits[] = "0123456789ABCDEF";
            for (DWORD i = 0; i < dataSize; ++i) {
                for (const char digit : {kDigits[rawData[i] >> 4], kDigits[rawData[i] & 0xF]}) {
                    tail += digit;
                    binary.text += static_cast<wchar_t>(digit);
                }
            }
            tail += "</Binary>";
        }
        tail += "</EventData></Event>";
        return m_event;
    }

private:
    static const std::wstring& ComputerName() {
        static const std::wstring name = [] {
            char text[256] = {};
            if (::gethostname(text, sizeof text - 1) != 0 || text[0] == '\0') {
                return std::wstring(L"localhost");
            }
            return Base::WideFromUtf8(text);
        }();
        return name;
    }

    // `text` escaped into `xml`, and what reading it back gives into `read`.
    void Escaped(std::string& xml, std::wstring_view text) {
        m_utf8.clear();
        Base::AppendConverted(m_utf8, text);
        Base::AppendXmlEscaped(xml, m_utf8, Base::kEscapeMarkupAndApostrophe);
    }
    void ElementText(std::string& xml, std::wstring& read, std::wstring_view text) {
        Escaped(xml, text);
        AssignElementTextAsRead(read, text);
    }
    void Attribute(std::string& xml, std::wstring& read, std::wstring_view text) {
        Escaped(xml, text);
        AssignAttributeAsRead(read, text);
    }
    static void Item(ParsedEvent::Value& value, std::wstring_view element) {
        value.element.assign(element);
        value.name.clear();
    }
    static void Number(std::string& xml, uint64_t value, int base = 10) {
        char digits[24];
        xml.append(digits, std::to_chars(std::begin(digits), std::end(digits), value, base).ptr);
    }

    WrittenEvent m_event;
    std::string m_utf8;
};

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
        Event values;
        values.keywords = kKeywordClassic;
        switch (type) {
        case EVENTLOG_SUCCESS:
            break;
        case EVENTLOG_ERROR_TYPE:
            values.level = 2;
            break;
        case EVENTLOG_WARNING_TYPE:
            values.level = 3;
            break;
        case EVENTLOG_INFORMATION_TYPE:
            values.level = 4;
            break;
        case EVENTLOG_AUDIT_SUCCESS:
            values.keywords |= kKeywordAuditSuccess;
            break;
        case EVENTLOG_AUDIT_FAILURE:
            values.keywords |= kKeywordAuditFailure;
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
        values.eventId = static_cast<uint16_t>(eventId & 0xFFFF);
        values.qualifiers = static_cast<uint16_t>(eventId >> 16);
        values.task = category;
        values.timeCreated = Base::FileTimeNow();
        values.processId = static_cast<uint32_t>(::getpid());
        values.threadId = GetCurrentThreadId();
        values.payload = Payload::EventData;
        // What the XML holds; the record id is the store's.
        values.present = kHasProvider | kHasEventId | kHasQualifiers | kHasVersion | kHasLevel |
                         kHasTask | kHasOpcode | kHasKeywords | kHasTimeCreated | kHasCorrelation |
                         kHasExecution | kHasProcessId | kHasThreadId | kHasSecurity;
        std::optional<EventBuilder> spare;
        WrittenEvent& event =
            Base::ThreadRoom(spare).Build(*source, values, numStrings, strings, sid,
                                          static_cast<const uint8_t*>(rawData), dataSize);
        DWORD error = ERROR_SUCCESS;
        if (!source->store->Write(source->channel, event, error)) {
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
