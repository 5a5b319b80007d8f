// The classic event-log functions over the store: a channel with a classic view read as
// EVENTLOGRECORDs, events written by source name, and the account names of SIDs.
#include "ApiSupport.h"
#include "Faults.h"
#include "Render.h"
#include "Store.h"

#include "Win32/WinEventLog.h"
#include "Win32/WinSecurity.h"

#include <unistd.h>

#include <cstring>

using namespace PalEventLog;

namespace {

constexpr DWORD kRecordSignature = 0x654C664C; // "LfLe"
constexpr DWORD kServerUnavailable = 1722;     // RPC_S_SERVER_UNAVAILABLE
constexpr uint64_t kUnixEpochTicks = 116444736000000000ull;
constexpr uint64_t kKeywordClassic = 0x80000000000000ull;
constexpr uint64_t kKeywordAuditSuccess = 0x20000000000000ull;
constexpr uint64_t kKeywordAuditFailure = 0x10000000000000ull;

struct ClassicLog : HandleObject {
    std::shared_ptr<Store> store;
    Channel* channel = nullptr;
    std::mutex mutex;
    std::optional<uint64_t> lastRead; // record id of the last record read
};

struct ClassicSource : HandleObject {
    std::shared_ptr<Store> store;
    std::wstring source;
    std::wstring channel;
};

bool IsLocal(LPCWSTR server) {
    return server == nullptr || *server == L'\0';
}

void AppendWide(std::vector<uint8_t>& out, std::wstring_view text) {
    for (const wchar_t c : text) {
        // UTF-16LE; characters beyond the BMP as surrogate pairs.
        auto unit = [&out](uint32_t u) {
            out.push_back(static_cast<uint8_t>(u));
            out.push_back(static_cast<uint8_t>(u >> 8));
        };
        const auto code = static_cast<uint32_t>(c);
        if (code >= 0x10000) {
            unit(0xD800 + ((code - 0x10000) >> 10));
            unit(0xDC00 + ((code - 0x10000) & 0x3FF));
        } else {
            unit(code);
        }
    }
    out.push_back(0);
    out.push_back(0);
}

void Align4(std::vector<uint8_t>& out) {
    while (out.size() % 4 != 0) {
        out.push_back(0);
    }
}

std::vector<uint8_t> HexBytes(std::wstring_view hex) {
    std::vector<uint8_t> bytes;
    auto digit = [](wchar_t c) -> int {
        if (c >= L'0' && c <= L'9') {
            return c - L'0';
        }
        if (c >= L'a' && c <= L'f') {
            return c - L'a' + 10;
        }
        if (c >= L'A' && c <= L'F') {
            return c - L'A' + 10;
        }
        return -1;
    };
    hex = Trim(hex);
    for (size_t i = 0; i + 1 < hex.size(); i += 2) {
        const int high = digit(hex[i]);
        const int low = digit(hex[i + 1]);
        if (high < 0 || low < 0) {
            break;
        }
        bytes.push_back(static_cast<uint8_t>(high << 4 | low));
    }
    return bytes;
}

WORD EventTypeOf(const Event& e) {
    if (e.keywords & kKeywordAuditFailure) {
        return EVENTLOG_AUDIT_FAILURE;
    }
    if (e.keywords & kKeywordAuditSuccess) {
        return EVENTLOG_AUDIT_SUCCESS;
    }
    switch (e.level) {
    case 0:
        return EVENTLOG_SUCCESS;
    case 1:
    case 2:
        return EVENTLOG_ERROR_TYPE;
    case 3:
        return EVENTLOG_WARNING_TYPE;
    default:
        return EVENTLOG_INFORMATION_TYPE;
    }
}

void Put32(std::vector<uint8_t>& out, size_t at, uint32_t value) {
    std::memcpy(out.data() + at, &value, 4);
}
void Put16(std::vector<uint8_t>& out, size_t at, uint16_t value) {
    std::memcpy(out.data() + at, &value, 2);
}

} // namespace

namespace PalEventLog {

// One event as a classic record; the caller holds the store's lock.
std::vector<uint8_t> ClassicRecord(const Store& store, const Channel& channel, const Event& e) {
    std::vector<uint8_t> out(sizeof(EVENTLOGRECORD), 0);
    out.reserve(512);
    AppendWide(out, store.String(e.eventSourceName != 0 ? e.eventSourceName : e.provider));
    AppendWide(out, store.String(e.computer));
    Align4(out);
    const size_t sidOffset = out.size();
    const std::vector<uint8_t>& sid = store.SidBytes(e.userSid);
    out.insert(out.end(), sid.begin(), sid.end());
    Align4(out);
    const size_t stringOffset = out.size();
    const auto strings = InsertionStrings(store, channel, e);
    for (const auto& s : strings) {
        AppendWide(out, s);
    }
    const size_t dataOffset = out.size();
    if (e.payload == Payload::EventData) {
        for (uint32_t i = 0; i < e.itemCount; ++i) {
            const Item& item = channel.items[e.firstItem + i];
            if (store.String(item.element) == L"Binary") {
                const auto bytes = HexBytes(channel.ItemText(item));
                out.insert(out.end(), bytes.begin(), bytes.end());
            }
        }
    }
    const size_t dataLength = out.size() - dataOffset;
    Align4(out);
    out.resize(out.size() + 4);
    const auto length = static_cast<uint32_t>(out.size());
    const uint64_t ticks = e.timeCreated > kUnixEpochTicks ? e.timeCreated - kUnixEpochTicks : 0;
    const auto seconds = static_cast<uint32_t>(ticks / 10'000'000);
    Put32(out, 0, length);
    Put32(out, 4, kRecordSignature);
    Put32(out, 8, static_cast<uint32_t>(e.recordId));
    Put32(out, 12, seconds);
    Put32(out, 16, seconds);
    Put32(out, 20, static_cast<uint32_t>(e.qualifiers) << 16 | e.eventId);
    Put16(out, 24, EventTypeOf(e));
    Put16(out, 26, static_cast<uint16_t>(strings.size()));
    Put16(out, 28, e.task);
    Put32(out, 36, static_cast<uint32_t>(stringOffset));
    Put32(out, 40, static_cast<uint32_t>(sid.size()));
    Put32(out, 44, static_cast<uint32_t>(sid.empty() ? stringOffset : sidOffset));
    Put32(out, 48, static_cast<uint32_t>(dataLength));
    Put32(out, 52, static_cast<uint32_t>(dataOffset));
    Put32(out, length - 4, length);
    return out;
}

} // namespace PalEventLog

HANDLE WINAPI OpenEventLogW(LPCWSTR serverName, LPCWSTR sourceName) {
    return Guard<HANDLE>(nullptr, [&]() -> HANDLE {
        if (Injected("OpenEventLogW")) {
            return nullptr;
        }
        if (sourceName == nullptr) {
            Fail(ERROR_INVALID_PARAMETER);
            return nullptr;
        }
        if (!IsLocal(serverName)) {
            Fail(kServerUnavailable, L"remote computers are not supported");
            return nullptr;
        }
        auto log = std::make_shared<ClassicLog>();
        log->store = GlobalStore();
        {
            std::shared_lock lock(log->store->mutex);
            log->channel = log->store->FindChannel(sourceName);
        }
        if (log->channel == nullptr || !log->channel->classic) {
            Fail(ERROR_FILE_NOT_FOUND, L"no classic log named " + std::wstring(sourceName));
            return nullptr;
        }
        return Handles().Add(HandleKind::ClassicLog, log);
    });
}

BOOL WINAPI ReadEventLogW(HANDLE eventLog, DWORD readFlags, DWORD recordOffset, LPVOID buffer,
                          DWORD numberOfBytesToRead, DWORD* bytesRead,
                          DWORD* minNumberOfBytesNeeded) {
    return Guard<BOOL>(FALSE, [&]() -> BOOL {
        if (Injected("ReadEventLogW")) {
            return FALSE;
        }
        auto log = Lookup<ClassicLog>(eventLog, HandleKind::ClassicLog);
        if (!log) {
            Fail(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        const DWORD how = readFlags & (EVENTLOG_SEQUENTIAL_READ | EVENTLOG_SEEK_READ);
        const DWORD way = readFlags & (EVENTLOG_FORWARDS_READ | EVENTLOG_BACKWARDS_READ);
        constexpr DWORD known = EVENTLOG_SEQUENTIAL_READ | EVENTLOG_SEEK_READ |
                                EVENTLOG_FORWARDS_READ | EVENTLOG_BACKWARDS_READ;
        if ((readFlags & ~known) != 0 || how == 0 ||
            how == (EVENTLOG_SEQUENTIAL_READ | EVENTLOG_SEEK_READ) || way == 0 ||
            way == (EVENTLOG_FORWARDS_READ | EVENTLOG_BACKWARDS_READ) || bytesRead == nullptr ||
            minNumberOfBytesNeeded == nullptr || (buffer == nullptr && numberOfBytesToRead != 0)) {
            Fail(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        *bytesRead = 0;
        *minNumberOfBytesNeeded = 0;
        const bool forwards = way == EVENTLOG_FORWARDS_READ;
        std::lock_guard cursorLock(log->mutex);
        std::shared_lock storeLock(log->store->mutex);
        const Channel& channel = *log->channel;
        const auto& events = channel.events;
        // The index of the first record to read; `events.size()` or beyond: none.
        size_t index = events.size();
        if (how == EVENTLOG_SEEK_READ) {
            const size_t at = channel.LowerBound(recordOffset);
            if (at >= events.size() || events[at].recordId != recordOffset) {
                Fail(ERROR_INVALID_PARAMETER, L"no record " + std::to_wstring(recordOffset));
                return FALSE;
            }
            index = at;
        } else if (forwards) {
            index = log->lastRead ? channel.LowerBound(*log->lastRead + 1) : 0;
        } else {
            const size_t below = log->lastRead ? channel.LowerBound(*log->lastRead) : events.size();
            index = below > 0 ? below - 1 : events.size();
        }
        auto* out = static_cast<uint8_t*>(buffer);
        size_t written = 0;
        while (index < events.size()) {
            const std::vector<uint8_t> record = ClassicRecord(*log->store, channel, events[index]);
            if (written + record.size() > numberOfBytesToRead) {
                if (written == 0) {
                    *minNumberOfBytesNeeded = static_cast<DWORD>(record.size());
                    Fail(ERROR_INSUFFICIENT_BUFFER);
                    return FALSE;
                }
                break;
            }
            std::memcpy(out + written, record.data(), record.size());
            written += record.size();
            log->lastRead = events[index].recordId;
            if (forwards) {
                ++index;
            } else if (index-- == 0) {
                break;
            }
        }
        if (written == 0) {
            Fail(ERROR_HANDLE_EOF);
            return FALSE;
        }
        *bytesRead = static_cast<DWORD>(written);
        return TRUE;
    });
}

BOOL WINAPI GetNumberOfEventLogRecords(HANDLE eventLog, PDWORD numberOfRecords) {
    return Guard<BOOL>(FALSE, [&]() -> BOOL {
        auto log = Lookup<ClassicLog>(eventLog, HandleKind::ClassicLog);
        if (!log) {
            Fail(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        if (numberOfRecords == nullptr) {
            Fail(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        std::shared_lock lock(log->store->mutex);
        *numberOfRecords = static_cast<DWORD>(log->channel->events.size());
        return TRUE;
    });
}

BOOL WINAPI CloseEventLog(HANDLE eventLog) {
    return Guard<BOOL>(FALSE, [&]() -> BOOL {
        if (!Lookup<ClassicLog>(eventLog, HandleKind::ClassicLog) || !Handles().Close(eventLog)) {
            Fail(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        return TRUE;
    });
}

HANDLE WINAPI RegisterEventSourceW(LPCWSTR serverName, LPCWSTR sourceName) {
    return Guard<HANDLE>(nullptr, [&]() -> HANDLE {
        if (sourceName == nullptr || *sourceName == L'\0') {
            Fail(ERROR_INVALID_PARAMETER);
            return nullptr;
        }
        if (!IsLocal(serverName)) {
            Fail(kServerUnavailable, L"remote computers are not supported");
            return nullptr;
        }
        auto source = std::make_shared<ClassicSource>();
        source->store = GlobalStore();
        source->source = sourceName;
        source->channel = L"Application";
        {
            std::shared_lock lock(source->store->mutex);
            const Publisher* publisher = source->store->FindPublisher(sourceName);
            if (publisher != nullptr && !publisher->channels.empty()) {
                source->channel = publisher->channels.front();
            }
        }
        return Handles().Add(HandleKind::ClassicSource, source);
    });
}

namespace {

std::optional<std::wstring> SidText(PSID sid) {
    const auto* bytes = static_cast<const uint8_t*>(sid);
    if (bytes == nullptr || bytes[0] != 1 || bytes[1] > 15) {
        return std::nullopt;
    }
    uint64_t authority = 0;
    for (int i = 2; i < 8; ++i) {
        authority = authority << 8 | bytes[i];
    }
    std::wstring text = L"S-1-" + std::to_wstring(authority);
    for (int i = 0; i < bytes[1]; ++i) {
        uint32_t sub = 0;
        std::memcpy(&sub, bytes + 8 + 4 * i, 4);
        text += L"-" + std::to_wstring(sub);
    }
    return text;
}

std::wstring ComputerName() {
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') {
        return L"localhost";
    }
    return Widen(name);
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
    std::wstring escaped;
    AppendXmlEscaped(escaped, text);
    return Narrow(escaped);
}

} // namespace

BOOL WINAPI ReportEventW(HANDLE eventLog, WORD type, WORD category, DWORD eventId, PSID userSid,
                         WORD numStrings, DWORD dataSize, LPCWSTR* strings, LPVOID rawData) {
    return Guard<BOOL>(FALSE, [&]() -> BOOL {
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
        const uint64_t now = NowFileTime();
        static const std::string computer = Escaped(ComputerName());
        std::string tail = "<Channel>" + Escaped(source->channel) + "</Channel><Computer>" +
                           computer + "</Computer>";
        tail += sid ? "<Security UserID='" + Narrow(*sid) + "'/>" : "<Security/>";
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
            "</Keywords><TimeCreated SystemTime='" + Narrow(FormatSystemTime(now)) +
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
    return Guard<BOOL>(FALSE, [&]() -> BOOL {
        if (!Lookup<ClassicSource>(eventLog, HandleKind::ClassicSource) ||
            !Handles().Close(eventLog)) {
            Fail(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        return TRUE;
    });
}

namespace {

struct WellKnown {
    std::wstring_view sid;
    std::wstring_view domain;
    std::wstring_view name;
    SID_NAME_USE use;
};

constexpr WellKnown kWellKnown[] = {
    {L"S-1-1-0", L"", L"Everyone", SidTypeWellKnownGroup},
    {L"S-1-5-7", L"NT AUTHORITY", L"ANONYMOUS LOGON", SidTypeWellKnownGroup},
    {L"S-1-5-11", L"NT AUTHORITY", L"Authenticated Users", SidTypeWellKnownGroup},
    {L"S-1-5-18", L"NT AUTHORITY", L"SYSTEM", SidTypeWellKnownGroup},
    {L"S-1-5-19", L"NT AUTHORITY", L"LOCAL SERVICE", SidTypeWellKnownGroup},
    {L"S-1-5-20", L"NT AUTHORITY", L"NETWORK SERVICE", SidTypeWellKnownGroup},
    {L"S-1-5-32-544", L"BUILTIN", L"Administrators", SidTypeAlias},
    {L"S-1-5-32-545", L"BUILTIN", L"Users", SidTypeAlias},
};

} // namespace

BOOL WINAPI LookupAccountSidW(LPCWSTR /*systemName*/, PSID sid, LPWSTR name, LPDWORD nameSize,
                              LPWSTR referencedDomainName, LPDWORD domainSize, PSID_NAME_USE use) {
    return Guard<BOOL>(FALSE, [&]() -> BOOL {
        if (nameSize == nullptr || domainSize == nullptr || (name == nullptr && *nameSize != 0) ||
            (referencedDomainName == nullptr && *domainSize != 0)) {
            Fail(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        const std::optional<std::wstring> text = SidText(sid);
        if (!text) {
            Fail(ERROR_INVALID_SID);
            return FALSE;
        }
        std::wstring account;
        std::wstring domain;
        SID_NAME_USE kind = SidTypeUser;
        bool found = false;
        for (const WellKnown& known : kWellKnown) {
            if (known.sid == *text) {
                account = known.name;
                domain = known.domain;
                kind = known.use;
                found = true;
            }
        }
        if (!found) {
            auto store = GlobalStore();
            std::shared_lock lock(store->mutex);
            if (const Account* a = store->FindAccount(*text)) {
                account = a->name;
                domain = a->domain;
                found = true;
            }
        }
        if (!found) {
            Fail(ERROR_NONE_MAPPED);
            return FALSE;
        }
        if (*nameSize < account.size() + 1 || *domainSize < domain.size() + 1) {
            *nameSize = static_cast<DWORD>(account.size() + 1);
            *domainSize = static_cast<DWORD>(domain.size() + 1);
            Fail(ERROR_INSUFFICIENT_BUFFER);
            return FALSE;
        }
        std::memcpy(name, account.c_str(), (account.size() + 1) * sizeof(wchar_t));
        std::memcpy(referencedDomainName, domain.c_str(), (domain.size() + 1) * sizeof(wchar_t));
        *nameSize = static_cast<DWORD>(account.size());
        *domainSize = static_cast<DWORD>(domain.size());
        if (use != nullptr) {
            *use = kind;
        }
        return TRUE;
    });
}
