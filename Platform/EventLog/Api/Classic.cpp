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
#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

using namespace PalEventLog;

namespace {

constexpr DWORD kRecordSignature = 0x654C664C; // "LfLe"

struct ClassicLog : HandleObject {
    std::shared_ptr<Store> store;
    Channel* channel = nullptr;
    uint32_t clears = 0; // the channel's clears when the log was opened
    Base::Mutex mutex;
    std::optional<uint64_t> lastRead GUARDED_BY(mutex); // record id of the last record read
};

constexpr size_t Align4(size_t size) {
    return (size + 3) & ~size_t{3};
}

// The bytes of a text as UTF-16LE with its terminating NUL.
size_t WideBytes(std::wstring_view text) {
    return (Base::Utf16Length(text) + 1) * 2;
}

// Writes a text as UTF-16LE with its terminating NUL (WideBytes(text) bytes) at `out`; returns
// the end of what it wrote.
uint8_t* PutWide(uint8_t* out, std::wstring_view text) {
    static_assert(std::endian::native == std::endian::little, "a unit is stored as it stands");
    const wchar_t* p = text.data();
    const wchar_t* const end = p + text.size();
    const auto direct = [](wchar_t c) { return static_cast<uint32_t>(c) < 0xD800; };
    while (p != end) {
        // Characters below the surrogates (nearly all text) are one unit each, written in bulk:
        // eight at a time, then one at a time.
#if defined(BASE_UTF_EIGHT_AT_A_TIME)
        for (; end - p >= 8 && Base::UtfDetail::PutEightBelowSurrogates(p, out);
             p += 8, out += 16) {
        }
#endif
        for (; p != end && direct(*p); ++p, out += 2) {
            const auto unit = static_cast<uint16_t>(*p);
            std::memcpy(out, &unit, sizeof(unit));
        }
        // The others through the codec, which also replaces what is no character.
        const wchar_t* const others = p;
        while (p != end && !direct(*p)) {
            ++p;
        }
        if (p != others) {
            std::string units;
            Base::AppendUtf16Le(units, std::wstring_view(others, static_cast<size_t>(p - others)));
            std::memcpy(out, units.data(), units.size());
            out += units.size();
        }
    }
    out[0] = 0;
    out[1] = 0;
    return out + 2;
}

// The bytes of hexadecimal text (blanks around it ignored) up to the first pair that is no byte,
// written to `out` unless it is null. Returns how many there are.
size_t HexBytes(std::wstring_view hex, uint8_t* out) {
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
    size_t count = 0;
    for (size_t i = 0; i + 1 < hex.size(); i += 2, ++count) {
        const int high = digit(hex[i]);
        const int low = digit(hex[i + 1]);
        if (high < 0 || low < 0) {
            break;
        }
        if (out != nullptr) {
            out[count] = static_cast<uint8_t>(high << 4 | low);
        }
    }
    return count;
}

// Calls `visit` with the text of each Binary value of the event's EventData: its raw data.
template <class Visit>
void ForEachBinary(const Store& store, const Channel& channel, const Event& e, Visit&& visit) {
    if (e.payload != Payload::EventData) {
        return;
    }
    ElementTest isBinary{L"Binary"};
    for (uint32_t i = 0; i < e.itemCount; ++i) {
        const Item& item = channel.items[e.firstItem + i];
        if (IsElement(store, isBinary, item.element)) {
            visit(channel.ItemText(item));
        }
    }
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

void Put32(uint8_t* out, size_t at, uint32_t value) {
    std::memcpy(out + at, &value, 4);
}
void Put16(uint8_t* out, size_t at, uint16_t value) {
    std::memcpy(out + at, &value, 2);
}

// The most bytes a text may take as UTF-16LE with its terminating NUL: two units a character.
size_t WideBytesAtMost(std::wstring_view text) {
    return (2 * text.size() + 1) * 2;
}

// A room that is not checked: the record's length is known to fit.
constexpr size_t kKnownToFit = SIZE_MAX;

// The names that one read has written, where they stand in its records: a record whose source or
// computer an earlier record of the read holds (nearly every one) copies the bytes written there
// instead of converting the text again. The names are the store's own texts, so that the same
// name is the same view.
class WrittenNames {
public:
    // Writes `name` at `out` (PutWide); returns the end of what it wrote.
    uint8_t* Put(uint8_t* out, std::wstring_view name) {
        for (const Written& written : m_written) {
            if (written.bytes != nullptr && written.name.data() == name.data() &&
                written.name.size() == name.size()) {
                // The same place when a record that did not fit is written again once measured.
                std::memmove(out, written.bytes, written.size);
                return out + written.size;
            }
        }
        uint8_t* const end = PutWide(out, name);
        m_written[m_next] = {name, out, static_cast<size_t>(end - out)};
        m_next = (m_next + 1) % m_written.size();
        return end;
    }

private:
    struct Written {
        std::wstring_view name;
        const uint8_t* bytes = nullptr;
        size_t size = 0;
    };
    // A few sources and the computer, which a log mostly has one of.
    std::array<Written, 6> m_written{};
    size_t m_next = 0;
};

// Writes one event as a classic record at `out`, its layout found as it is written, and returns
// its length. Each piece is first bounded at two units a character; as soon as one might not fit
// in `room` bytes, 0 comes back, and what was written up to there is left in the room. `names`
// writes the source and the computer.
size_t WriteClassicRecord(const Store& store, const Channel& channel, const Event& e,
                          std::wstring_view source, std::wstring_view computer,
                          const std::vector<uint8_t>& sid, uint8_t* out, size_t room,
                          WrittenNames& names) {
    uint8_t* at = out;
    // Whether `most` more bytes fit; `at` never passes the room, as each piece is checked first.
    const auto fits = [&](size_t most) { return most <= room - static_cast<size_t>(at - out); };
    // The header, the names, the SID and the alignments before the SID and the strings.
    if (!fits(sizeof(EVENTLOGRECORD) + WideBytesAtMost(source) + WideBytesAtMost(computer) + 3 +
              sid.size() + 3)) {
        return 0;
    }
    at = names.Put(names.Put(out + sizeof(EVENTLOGRECORD), source), computer);
    const size_t sidOffset = Align4(static_cast<size_t>(at - out));
    std::memset(at, 0, static_cast<size_t>(out + sidOffset - at));
    if (!sid.empty()) {
        std::memcpy(out + sidOffset, sid.data(), sid.size());
    }
    at = out + sidOffset + sid.size();
    const size_t stringOffset = Align4(static_cast<size_t>(at - out));
    std::memset(at, 0, static_cast<size_t>(out + stringOffset - at));
    at = out + stringOffset;
    size_t strings = 0;
    bool fitted = true;
    ForEachInsertionString(store, channel, e, [&](std::wstring_view s) {
        fitted = fitted && fits(WideBytesAtMost(s));
        if (fitted) {
            at = PutWide(at, s);
            ++strings;
        }
    });
    const size_t dataOffset = static_cast<size_t>(at - out);
    ForEachBinary(store, channel, e, [&](std::wstring_view hex) {
        fitted = fitted && fits(hex.size() / 2);
        if (fitted) {
            at += HexBytes(hex, at);
        }
    });
    const size_t dataLength = static_cast<size_t>(at - out) - dataOffset;
    const size_t length = Align4(dataOffset + dataLength) + 4;
    if (!fitted || length > room) {
        return 0;
    }
    std::memset(at, 0, static_cast<size_t>(out + length - at));
    // Seconds since 1970; an earlier event is at 1970.
    const auto seconds = static_cast<uint32_t>(e.timeCreated > Base::kUnixEpochFileTime
                                                   ? Base::UnixSecondsFromFileTime(e.timeCreated)
                                                   : 0);
    std::memset(out, 0, sizeof(EVENTLOGRECORD));
    Put32(out, 0, static_cast<uint32_t>(length));
    Put32(out, 4, kRecordSignature);
    Put32(out, 8, static_cast<uint32_t>(e.recordId));
    Put32(out, 12, seconds);
    Put32(out, 16, seconds);
    Put32(out, 20, static_cast<uint32_t>(e.qualifiers) << 16 | e.eventId);
    Put16(out, 24, EventTypeOf(e));
    Put16(out, 26, static_cast<uint16_t>(strings));
    Put16(out, 28, e.task);
    Put32(out, 36, static_cast<uint32_t>(stringOffset));
    Put32(out, 40, static_cast<uint32_t>(sid.size()));
    Put32(out, 44, static_cast<uint32_t>(sid.empty() ? stringOffset : sidOffset));
    Put32(out, 48, static_cast<uint32_t>(dataLength));
    Put32(out, 52, static_cast<uint32_t>(dataOffset));
    Put32(out, length - 4, static_cast<uint32_t>(length));
    return length;
}

// One event as a classic record, written to `out` when it takes at most `room` bytes; returns its
// length. A record that fits even at two units a character (a read's room is mostly far larger
// than a record) is written at once; another is measured, and written when it fits. Unless
// `exact`, a record seen not to fit from its head alone is not measured further, and a length
// over `room` comes back. `names` are WriteClassicRecord's.
size_t ClassicRecord(const Store& store, const Channel& channel, const Event& e, uint8_t* out,
                     size_t room, bool exact, WrittenNames& names) {
    const std::wstring_view source =
        store.String(e.eventSourceName != 0 ? e.eventSourceName : e.provider);
    const std::wstring_view computer = store.String(e.computer);
    const std::vector<uint8_t>& sid = store.SidBytes(e.userSid);
    if (out != nullptr) {
        if (const size_t length =
                WriteClassicRecord(store, channel, e, source, computer, sid, out, room, names);
            length != 0) {
            return length;
        }
    }
    const size_t sidOffset =
        Align4(sizeof(EVENTLOGRECORD) + WideBytes(source) + WideBytes(computer));
    const size_t stringOffset = Align4(sidOffset + sid.size());
    if (!exact && stringOffset + 4 > room) {
        return stringOffset + 4;
    }
    size_t dataOffset = stringOffset;
    ForEachInsertionString(store, channel, e,
                           [&](std::wstring_view s) { dataOffset += WideBytes(s); });
    size_t dataLength = 0;
    ForEachBinary(store, channel, e,
                  [&](std::wstring_view hex) { dataLength += HexBytes(hex, nullptr); });
    const size_t length = Align4(dataOffset + dataLength) + 4;
    if (out == nullptr || length > room) {
        return length;
    }
    return WriteClassicRecord(store, channel, e, source, computer, sid, out, kKnownToFit, names);
}

} // namespace

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
        WrittenNames names;
        while (index < count) {
            const size_t room = numberOfBytesToRead - written;
            uint8_t* const at = out != nullptr ? out + written : nullptr;
            // After the first record only whether the next one fits matters.
            const size_t length =
                ClassicRecord(*log->store, channel, events[index], at, room, written == 0, names);
            if (length > room) {
                if (written == 0) {
                    *minNumberOfBytesNeeded = static_cast<DWORD>(length);
                    Fail(ERROR_INSUFFICIENT_BUFFER);
                    return FALSE;
                }
                break;
            }
            DamageRecord(std::span<uint8_t>(at, length));
            written += length;
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
