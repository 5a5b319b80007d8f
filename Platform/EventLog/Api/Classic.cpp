// The classic view of the store: a channel with a classic view opened and read as EVENTLOGRECORDs,
// sequentially or by record number, forwards or backwards.
#include "PalEventLog/Api/ApiSupport.h"
#include "PalEventLog/Api/Faults.h"
#include "PalEventLog/Api/Render.h"
#include "PalEventLog/Store/Store.h"
#include "Win32/PalEventLogFaults.h"

#include "Base/FileTime.h"
#include "Base/Mutex.h"
#include "Base/Utf.h"
#include "Win32/WinEventLog.h"

#include <algorithm>
#include <cstring>

using namespace PalEventLog;

namespace {

constexpr DWORD kRecordSignature = 0x654C664C; // "LfLe"

struct ClassicLog : HandleObject {
    std::shared_ptr<Store> store;
    Channel* channel = nullptr;
    uint32_t clears = 0; // the channel's clears when the log was opened
    Base::Mutex mutex;
    std::optional<uint64_t> lastRead GUARDED_BY(mutex); // record id of the last record read
    // The record built last and its id: a read that asks for the size first (too small a buffer)
    // and then reads the record builds it once.
    std::optional<uint64_t> builtId GUARDED_BY(mutex);
    std::vector<uint8_t> built GUARDED_BY(mutex);
};

// UTF-16LE with its terminating NUL.
void AppendWide(std::vector<uint8_t>& out, std::wstring_view text) {
    Base::AppendUtf16Le(out, text);
    out.insert(out.end(), {0, 0});
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
std::vector<uint8_t> ClassicRecord(const Store& store, const Channel& channel, const Event& e)
    REQUIRES_SHARED(store.Mutex()) {
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
    // Seconds since 1970; an earlier event is at 1970.
    const auto seconds = static_cast<uint32_t>(e.timeCreated > Base::kUnixEpochFileTime
                                                   ? Base::UnixSecondsFromFileTime(e.timeCreated)
                                                   : 0);
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
    return Base::CFunctionBoundary(FailWithLastError<HANDLE>(nullptr), [&]() -> HANDLE {
        if (Injected("OpenEventLogW")) {
            return nullptr;
        }
        if (sourceName == nullptr) {
            Fail(ERROR_INVALID_PARAMETER);
            return nullptr;
        }
        if (!IsLocal(serverName)) {
            Fail(RPC_S_SERVER_UNAVAILABLE, L"remote computers are not supported");
            return nullptr;
        }
        auto log = std::make_shared<ClassicLog>();
        log->store = GlobalStore();
        {
            Store::ReadLock lock(*log->store);
            log->channel = log->store->FindChannel(sourceName);
            // Windows opens Application for a name without a classic log.
            if ((log->channel == nullptr || !log->channel->classic) &&
                Behaviour(PalOpenFallsBackToApplication) != 0) {
                log->channel = log->store->FindChannel(L"Application");
            }
            if (log->channel != nullptr) {
                log->clears = log->channel->clears;
            }
        }
        if (log->channel == nullptr || !log->channel->classic) {
            Fail(ERROR_FILE_NOT_FOUND, L"no classic log named " + std::wstring(sourceName));
            return nullptr;
        }
        return EventLogHandles().Add(HandleKind::ClassicLog, log);
    });
}

BOOL WINAPI ReadEventLogW(HANDLE eventLog, DWORD readFlags, DWORD recordOffset, LPVOID buffer,
                          DWORD numberOfBytesToRead, DWORD* bytesRead,
                          DWORD* minNumberOfBytesNeeded) {
    return Base::CFunctionBoundary(FailWithLastError<BOOL>(FALSE), [&]() -> BOOL {
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
        Base::LockGuard cursorLock(log->mutex);
        Store::ReadLock storeLock(*log->store);
        const Channel& channel = *log->channel;
        if (channel.clears != log->clears) {
            Fail(ERROR_EVENTLOG_FILE_CHANGED, L"the log was cleared since it was opened");
            return FALSE;
        }
        const auto& events = channel.events;
        // The events of the channel now (writers append meanwhile). The index of the first record
        // to read; `count` or beyond: none.
        const size_t count = events.size();
        size_t index = count;
        if (how == EVENTLOG_SEEK_READ) {
            const size_t at = channel.LowerBound(recordOffset);
            if (at < channel.firstKept || at >= count || events[at].recordId != recordOffset) {
                Fail(ERROR_INVALID_PARAMETER, L"no record " + std::to_wstring(recordOffset));
                return FALSE;
            }
            index = at;
        } else if (forwards) {
            index =
                log->lastRead ? channel.LowerBound(*log->lastRead + 1) : channel.firstKept.load();
        } else {
            const size_t below =
                log->lastRead ? std::min(channel.LowerBound(*log->lastRead), count) : count;
            index = below > channel.firstKept ? below - 1 : count;
        }
        auto* out = static_cast<uint8_t*>(buffer);
        size_t written = 0;
        while (index < count) {
            if (log->builtId != events[index].recordId) {
                log->built = ClassicRecord(*log->store, channel, events[index]);
                log->builtId = events[index].recordId;
            }
            std::vector<uint8_t> record = log->built;
            if (written + record.size() > numberOfBytesToRead) {
                if (written == 0) {
                    *minNumberOfBytesNeeded = static_cast<DWORD>(record.size());
                    Fail(ERROR_INSUFFICIENT_BUFFER);
                    return FALSE;
                }
                break;
            }
            DamageRecord(record);
            std::memcpy(out + written, record.data(), record.size());
            written += record.size();
            log->lastRead = events[index].recordId;
            if (forwards) {
                ++index;
            } else if (index-- == channel.firstKept) {
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
    return Base::CFunctionBoundary(FailWithLastError<BOOL>(FALSE), [&]() -> BOOL {
        auto log = Lookup<ClassicLog>(eventLog, HandleKind::ClassicLog);
        if (!log) {
            Fail(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        if (numberOfRecords == nullptr) {
            Fail(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        if (Injected("GetNumberOfEventLogRecords")) {
            return FALSE;
        }
        Store::ReadLock lock(*log->store);
        *numberOfRecords =
            static_cast<DWORD>(log->channel->events.size() - log->channel->firstKept);
        return TRUE;
    });
}

BOOL WINAPI CloseEventLog(HANDLE eventLog) {
    return Base::CFunctionBoundary(FailWithLastError<BOOL>(FALSE), [&]() -> BOOL {
        if (!Lookup<ClassicLog>(eventLog, HandleKind::ClassicLog) ||
            !EventLogHandles().Close(eventLog)) {
            Fail(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        return TRUE;
    });
}
