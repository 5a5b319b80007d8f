// The wevtapi functions that query and read: result sets (EvtQuery, EvtNext, EvtSeek), bookmarks,
// rendering, the extended status and EvtClose, over the store, the query engine and the handle
// table. Every function catches everything: no exception leaves a C function.
#include "PalEventLog/Api/ApiSupport.h"
#include "PalEventLog/Api/Faults.h"
#include "PalEventLog/Api/Handles.h"
#include "PalEventLog/Api/Render.h"
#include "PalEventLog/Query/Query.h"
#include "PalEventLog/Store/Store.h"
#include "Win32/PalEventLogFaults.h"

#include "Base/FileTime.h"
#include "Base/Mutex.h"
#include "Base/XmlEscape.h"
#include "Win32/WinBase.h"
#include "Win32/WinError.h"
#include "Win32/WinEvt.h"

#include <pugixml.hpp>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <new>
#include <optional>
#include <string_view>
#include <thread>

using namespace PalEventLog;

namespace PalEventLog {

namespace {
// The extended status of the thread's last failing call.
struct ExtendedStatus {
    std::wstring text;
};
} // namespace

void Fail(DWORD code, std::wstring status) noexcept {
    // At the very end of a thread there is no room to keep it, and the status is empty.
    if (ExtendedStatus* const kept = Base::ThreadObject<ExtendedStatus>()) {
        kept->text = std::move(status);
    }
    SetLastError(code);
}

bool Injected(std::string_view function) {
    const InjectedFault fault = TakeFault(function);
    if (fault.error == 0) {
        return false;
    }
    Fail(fault.error, L"injected fault");
    return true;
}

std::wstring Bookmark::Xml() {
    Base::LockGuard lock(mutex);
    std::wstring xml = L"<BookmarkList>\r\n";
    for (const auto& [channel, record] : entries) {
        xml += L"  <Bookmark Channel='";
        Base::AppendXmlEscaped(xml, channel, Base::kEscapeMarkupAndApostrophe);
        xml += L"' RecordId='" + std::to_wstring(record) + L"'";
        if (channel == current) {
            xml += L" IsCurrent='true'";
        }
        xml += L"/>\r\n";
    }
    xml += L"</BookmarkList>";
    return xml;
}

} // namespace PalEventLog

namespace {

// A position in a result set: the source (channel) and the index in its result order.
struct Position {
    size_t source = 0;
    size_t index = 0;

    bool operator==(const Position&) const = default;
    auto operator<=>(const Position&) const = default;
};

struct ResultSet : EventHandleOwner {
    struct Source {
        Channel* channel = nullptr;
        PathMatcher matcher;
        size_t top = 0;      // reverse order: the event count when the query was opened
        size_t bottom = 0;   // the channel's first event still in the log then
        uint32_t clears = 0; // the channel's clears and rollovers then
    };
    CompiledQuery query;
    std::vector<Source> sources;
    bool reverse = false;
    bool usesTime = false; // some selection calls timediff()

    Base::Mutex mutex;
    Position cursor GUARDED_BY(mutex);
    std::optional<Position> lastReturned GUARDED_BY(mutex);
    // The anchor of the last seek relative to a bookmark, and how far the cursor stands from it:
    // the next match EvtNext returns is `cursorOffset` matches past `seekAnchor`. A later seek from
    // the same anchor walks from the cursor when that is nearer, so that paging deep into a large
    // result set does not walk from the bookmark every time. Unset after any other seek.
    std::optional<Position> seekAnchor GUARDED_BY(mutex);
    int64_t cursorOffset GUARDED_BY(mutex) = 0;
    // How long the calls of EvtNext have waited for the next batch (PalNextLatency).
    DWORD waitedMs GUARDED_BY(mutex) = 0;

    size_t Length(size_t s) const {
        return reverse ? sources[s].top - sources[s].bottom : sources[s].channel->events.size();
    }
    // The index at which a forward walk of a source starts.
    size_t First(size_t s) const noexcept { return reverse ? 0 : sources[s].bottom; }
    // A channel cleared or rolled over since the query was opened: the result set no longer
    // stands anywhere.
    bool Stale() const {
        return std::any_of(sources.begin(), sources.end(), [](const Source& s) {
            return s.channel->clears + s.channel->rollovers != s.clears;
        });
    }
    uint32_t EventIndex(Position p) const {
        return static_cast<uint32_t>(reverse ? sources[p.source].top - 1 - p.index : p.index);
    }
    bool Matches(Position p, uint64_t now) const {
        const Source& s = sources[p.source];
        return s.matcher.Matches(*store, *s.channel, s.channel->events[EventIndex(p)], now);
    }
    // After the last event; events appended later come after it in forward order.
    Position End() const {
        return sources.empty() ? Position{}
                               : Position{sources.size() - 1, Length(sources.size() - 1)};
    }
    // The first matching position at or after p.
    std::optional<Position> FindNext(Position p, uint64_t now) const {
        for (; p.source < sources.size(); ++p.source, p.index = 0) {
            p.index = std::max(p.index, First(p.source));
            const size_t length = Length(p.source);
            if (const Expression* fast = sources[p.source].matcher.Fast()) {
                const Source& s = sources[p.source];
                p.index = fast->ScanFast(s.channel->events, p.index, length, s.top, reverse);
                if (p.index < length) {
                    return p;
                }
                continue;
            }
            for (; p.index < length; ++p.index) {
                if (Matches(p, now)) {
                    return p;
                }
            }
        }
        return std::nullopt;
    }
    // The last matching position before p.
    std::optional<Position> FindPrev(Position p, uint64_t now) const {
        if (p.source >= sources.size()) {
            if (sources.empty()) {
                return std::nullopt;
            }
            p = Position{sources.size() - 1, Length(sources.size() - 1)};
        }
        while (true) {
            while (p.index > First(p.source)) {
                --p.index;
                if (Matches(p, now)) {
                    return p;
                }
            }
            if (p.source == 0) {
                return std::nullopt;
            }
            --p.source;
            p.index = Length(p.source);
        }
    }
};

struct RenderContext : HandleObject {
    DWORD flags = 0;
    std::vector<Expression> paths;
};

// Moves `steps` matching events from an anchor. `anchor` set: start on that matching event;
// otherwise start from the gap before `point` (offsets 0 and 1 both land on the first match at or
// after it). Returns nullopt when the walk leaves the result set, with `pastEnd` telling which way.
std::optional<Position> Walk(const ResultSet& rs, std::optional<Position> anchor, Position point,
                             int64_t steps, uint64_t now, bool& pastEnd) {
    std::optional<Position> p = anchor;
    if (!p) {
        pastEnd = steps >= 0;
        if (steps >= 0) {
            p = rs.FindNext(point, now);
            steps = steps > 0 ? steps - 1 : 0;
        } else {
            p = rs.FindPrev(point, now);
            ++steps;
        }
        if (!p) {
            return std::nullopt;
        }
    }
    while (steps > 0 && p) {
        p = rs.FindNext(Position{p->source, p->index + 1}, now);
        --steps;
        pastEnd = true;
    }
    while (steps < 0 && p) {
        p = rs.FindPrev(*p, now);
        ++steps;
        pastEnd = false;
    }
    return p;
}

// Whether the events of one batch (more than one) are larger together, as event XML, than the
// byte limit of PalNextByteLimit.
bool TooLargeTogether(const Store& store, const std::vector<std::pair<Channel*, uint32_t>>& refs) {
    const DWORD limit = Behaviour(PalNextByteLimit);
    if (limit == 0 || refs.size() < 2) {
        return false;
    }
    size_t bytes = 0;
    for (const auto& [channel, index] : refs) {
        bytes += EventXml(store, *channel, channel->events[index]).size() * sizeof(wchar_t);
        if (bytes > limit) {
            return true;
        }
    }
    return false;
}

} // namespace

EVT_HANDLE WINAPI EvtQuery(EVT_HANDLE session, LPCWSTR path, LPCWSTR query, DWORD flags) {
    return Base::CFunctionBoundary(FailWithLastError<EVT_HANDLE>(nullptr), [&]() -> EVT_HANDLE {
        if (Injected("EvtQuery")) {
            return nullptr;
        }
        if (session != nullptr) {
            Fail(ERROR_INVALID_HANDLE, L"remote sessions are not supported");
            return nullptr;
        }
        constexpr DWORD known = EvtQueryChannelPath | EvtQueryFilePath | EvtQueryForwardDirection |
                                EvtQueryReverseDirection | EvtQueryTolerateQueryErrors;
        if ((flags & ~known) != 0 ||
            ((flags & EvtQueryForwardDirection) && (flags & EvtQueryReverseDirection)) ||
            ((flags & EvtQueryChannelPath) && (flags & EvtQueryFilePath))) {
            Fail(ERROR_INVALID_PARAMETER);
            return nullptr;
        }
        auto rs = std::make_shared<ResultSet>();
        QueryError error;
        if (!CompiledQuery::Compile(query, path ? path : L"", (flags & EvtQueryFilePath) != 0,
                                    rs->query, error)) {
            Fail(error.code, error.message);
            return nullptr;
        }
        rs->reverse = (flags & EvtQueryReverseDirection) != 0;
        const auto paths = rs->query.Paths();
        std::shared_ptr<Store> global = GlobalStore();
        for (const auto& [name, file] : paths) {
            std::shared_ptr<Store> store = global;
            if (file) {
                LoadReport report;
                std::error_code ec;
                if (!std::filesystem::is_regular_file(std::filesystem::path(name), ec)) {
                    Fail(ERROR_FILE_NOT_FOUND, L"log file not found: " + name);
                    return nullptr;
                }
                store = Store::OpenLogFile(name, &report);
            }
            if (rs->store && rs->store != store) {
                Fail(ERROR_INVALID_PARAMETER, L"a query reads either channels or one log file");
                return nullptr;
            }
            rs->store = store;
            Store::ReadLock lock(*store);
            Channel* channel = nullptr;
            if (!FindQueryChannel(*store, name, (flags & EvtQueryTolerateQueryErrors) != 0,
                                  channel)) {
                return nullptr;
            }
            if (channel == nullptr) {
                continue;
            }
            ResultSet::Source source;
            source.channel = channel;
            source.matcher = PathMatcher(rs->query, name);
            source.top = channel->events.size();
            source.bottom = channel->firstKept;
            source.clears = channel->clears + channel->rollovers;
            rs->usesTime = rs->usesTime || source.matcher.UsesTime();
            rs->sources.push_back(std::move(source));
        }
        if (!rs->store) {
            rs->store = global;
        }
        if (rs->sources.empty() && !(flags & EvtQueryTolerateQueryErrors)) {
            Fail(ERROR_EVT_CHANNEL_NOT_FOUND, L"the query names no channel");
            return nullptr;
        }
        return EventLogHandles().Add(HandleKind::ResultSet, rs);
    });
}

namespace {

// The wait of one EvtNext call for its batch (PalNextLatency): false when the call's time-out
// ends first. Sleeps without holding the result set's lock.
bool AwaitBatch(ResultSet& rs, DWORD timeout) {
    const DWORD latency = Behaviour(PalNextLatency);
    if (latency == 0) {
        return true;
    }
    DWORD left = 0;
    {
        Base::LockGuard lock(rs.mutex);
        left = latency > rs.waitedMs ? latency - rs.waitedMs : 0;
    }
    const bool arrives = timeout == INFINITE || left <= timeout;
    const DWORD wait = arrives ? left : timeout;
    std::this_thread::sleep_for(std::chrono::milliseconds(wait));
    Base::LockGuard lock(rs.mutex);
    rs.waitedMs = arrives ? 0 : rs.waitedMs + wait;
    return arrives;
}

// The room of EvtNext's matches, which each thread keeps from call to call.
struct NextRoom {
    std::vector<Position> found;
    std::vector<std::pair<Channel*, uint32_t>> refs;
};

} // namespace

BOOL WINAPI EvtNext(EVT_HANDLE resultSet, DWORD eventsSize, PEVT_HANDLE events, DWORD timeout,
                    DWORD flags, PDWORD returned) {
    if (returned != nullptr) {
        *returned = 0;
    }
    return Base::CFunctionBoundary(FailWithLastError<BOOL>(FALSE), [&]() -> BOOL {
        auto rs = Lookup<ResultSet>(resultSet, HandleKind::ResultSet);
        if (!rs) {
            if (EventLogHandles().Get(resultSet, HandleKind::Subscription) != nullptr &&
                flags == 0) {
                return SubscriptionNext(resultSet, eventsSize, events, returned);
            }
            Fail(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        if (events == nullptr || returned == nullptr || eventsSize == 0 || flags != 0) {
            Fail(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        if (!AwaitBatch(*rs, timeout)) {
            Fail(ERROR_TIMEOUT, L"the batch did not arrive within the time-out");
            return FALSE;
        }
        // An injected fault may still hand out some events, as a time-out can on Windows.
        const InjectedFault fault = TakeFault("EvtNext");
        const DWORD wanted = fault.error ? std::min(fault.partial, eventsSize) : eventsSize;
        Base::LockGuard cursorLock(rs->mutex);
        if (rs->Stale()) {
            Fail(ERROR_EVT_QUERY_RESULT_STALE, L"the log was cleared since the query");
            return FALSE;
        }
        const uint64_t now = rs->usesTime ? Base::FileTimeNow() : 0;
        // Where the result set ends now: writers append meanwhile, and a walk that finds nothing
        // more stops there, not after events appended since it passed by.
        const Position end = rs->End();
        // The matches first, then their handles under one lock of the handle table.
        const Position start = rs->cursor;
        std::optional<NextRoom> spare;
        NextRoom& room = Base::ThreadRoom(spare);
        std::vector<Position>& found = room.found;
        std::vector<std::pair<Channel*, uint32_t>>& refs = room.refs;
        found.clear();
        refs.clear();
        while (found.size() < wanted) {
            auto p = rs->FindNext(rs->cursor, now);
            if (!p) {
                rs->cursor = std::max(rs->cursor, end);
                break;
            }
            found.push_back(*p);
            refs.emplace_back(rs->sources[p->source].channel, rs->EventIndex(*p));
            rs->cursor = Position{p->source, p->index + 1};
        }
        if (TooLargeTogether(*rs->store, refs)) {
            // The events are passed over, as Windows leaves the result set after them.
            Fail(RPC_S_INVALID_BOUND, L"the events of the batch are too large together");
            return FALSE;
        }
        const auto count = static_cast<DWORD>(
            EventLogHandles().AddEvents(resultSet, refs.data(), refs.size(), events));
        if (count > 0) {
            rs->lastReturned = found[count - 1];
        } else if (!found.empty()) {
            rs->cursor = start; // the result set was closed meanwhile
        }
        rs->cursorOffset += count;
        if (fault.error != 0) {
            *returned = count;
            Fail(fault.error, L"injected fault");
            return FALSE;
        }
        if (count == 0) {
            Fail(ERROR_NO_MORE_ITEMS);
            return FALSE;
        }
        *returned = count;
        return TRUE;
    });
}

BOOL WINAPI EvtSeek(EVT_HANDLE resultSet, LONGLONG position, EVT_HANDLE bookmark, DWORD /*timeout*/,
                    DWORD flags) {
    return Base::CFunctionBoundary(FailWithLastError<BOOL>(FALSE), [&]() -> BOOL {
        if (Injected("EvtSeek")) {
            return FALSE;
        }
        auto rs = Lookup<ResultSet>(resultSet, HandleKind::ResultSet);
        if (!rs) {
            Fail(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        const DWORD origin = flags & EvtSeekOriginMask;
        const bool strict = (flags & EvtSeekStrict) != 0;
        if ((flags & ~(EvtSeekOriginMask | EvtSeekStrict)) != 0 || origin == 0 || origin > 4 ||
            (origin == EvtSeekRelativeToFirst && position < 0) ||
            (origin == EvtSeekRelativeToLast && position > 0)) {
            Fail(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        std::shared_ptr<Bookmark> mark;
        if (origin == EvtSeekRelativeToBookmark) {
            mark = Lookup<Bookmark>(bookmark, HandleKind::Bookmark);
            if (!mark) {
                Fail(ERROR_INVALID_HANDLE);
                return FALSE;
            }
        } else if (bookmark != nullptr) {
            Fail(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        Base::LockGuard cursorLock(rs->mutex);
        if (rs->Stale()) {
            Fail(ERROR_EVT_QUERY_RESULT_INVALID_POSITION, L"the log was cleared since the query");
            return FALSE;
        }
        const uint64_t now = rs->usesTime ? Base::FileTimeNow() : 0;
        std::optional<Position> anchor;
        Position point;
        switch (origin) {
        case EvtSeekRelativeToFirst:
            anchor = rs->FindNext(Position{}, now);
            break;
        case EvtSeekRelativeToLast: {
            const Position end = rs->End(); // one end, however writers go on
            anchor = rs->FindPrev(end, now);
            if (!anchor) {
                point = end;
            }
            break;
        }
        case EvtSeekRelativeToCurrent:
            anchor = rs->lastReturned;
            point = rs->cursor;
            break;
        default: {
            std::vector<std::pair<std::wstring, uint64_t>> entries;
            std::wstring current;
            {
                Base::LockGuard lock(mark->mutex);
                entries = mark->entries;
                current = mark->current;
            }
            bool located = false;
            for (size_t s = 0; s < rs->sources.size() && !located; ++s) {
                const Channel& channel = *rs->sources[s].channel;
                for (const auto& [name, record] : entries) {
                    const bool sameChannel =
                        EqualsNoCase(name, channel.name) ||
                        (!channel.events.empty() &&
                         EqualsNoCase(name, rs->store->String(channel.events.front().channel)));
                    if (!sameChannel) {
                        continue;
                    }
                    const size_t lb = channel.LowerBound(record);
                    const bool found =
                        lb < channel.events.size() && channel.events[lb].recordId == record;
                    if (!rs->reverse) {
                        Position p{s, lb};
                        if (found && lb < rs->Length(s) && rs->Matches(p, now)) {
                            anchor = p;
                        } else {
                            point = Position{s, found ? lb + 1 : lb};
                        }
                    } else {
                        const size_t top = rs->sources[s].top;
                        if (found && lb < top) {
                            Position p{s, top - 1 - lb};
                            if (rs->Matches(p, now)) {
                                anchor = p;
                            } else {
                                point = Position{s, top - lb};
                            }
                        } else {
                            point = Position{s, lb >= top ? 0 : top - lb};
                        }
                    }
                    if (strict && !anchor) {
                        Fail(ERROR_NOT_FOUND, L"the bookmarked event is not in the result set");
                        return FALSE;
                    }
                    located = true;
                    break;
                }
            }
            if (!located) {
                Fail(ERROR_NOT_FOUND, L"the bookmark names no channel of the result set");
                return FALSE;
            }
            break;
        }
        }
        // From the same bookmarked event as the last seek (and no time-dependent selection), the
        // walk may start at the cursor, whose distance from that event is known.
        const bool fromCursor = origin == EvtSeekRelativeToBookmark && anchor && !rs->usesTime &&
                                rs->seekAnchor == anchor && position >= 0;
        bool pastEnd = true;
        std::optional<Position> target;
        const Position end = rs->End(); // before the walk: events appended later come after it
        if (fromCursor && position >= rs->cursorOffset) {
            target = Walk(*rs, rs->FindNext(rs->cursor, now), rs->cursor,
                          position - rs->cursorOffset, now, pastEnd);
        } else if (fromCursor && rs->cursorOffset - 1 - position < position) {
            target = Walk(*rs, rs->FindPrev(rs->cursor, now), rs->cursor,
                          position - (rs->cursorOffset - 1), now, pastEnd);
        } else {
            target = Walk(*rs, anchor, point, position, now, pastEnd);
        }
        rs->seekAnchor.reset();
        if (!target) {
            if (strict) {
                Fail(ERROR_NOT_FOUND, L"the position is outside the result set");
                return FALSE;
            }
            // Past either end: clamp to that end.
            rs->cursor = pastEnd ? end : Position{};
            rs->lastReturned.reset();
            return TRUE;
        }
        rs->cursor = *target;
        rs->lastReturned = rs->FindPrev(*target, now);
        if (origin == EvtSeekRelativeToBookmark && anchor && !rs->usesTime) {
            rs->seekAnchor = anchor;
            rs->cursorOffset = position;
        }
        return TRUE;
    });
}

EVT_HANDLE WINAPI EvtCreateBookmark(LPCWSTR bookmarkXml) {
    return Base::CFunctionBoundary(FailWithLastError<EVT_HANDLE>(nullptr), [&]() -> EVT_HANDLE {
        if (Injected("EvtCreateBookmark")) {
            return nullptr;
        }
        auto mark = std::make_shared<Bookmark>();
        if (bookmarkXml != nullptr) {
            const std::string utf8 = Base::Utf8FromWide(bookmarkXml);
            pugi::xml_document document;
            const auto parsed = document.load_buffer(utf8.data(), utf8.size());
            if (!parsed) {
                Fail(ERROR_EVT_MALFORMED_XML_TEXT,
                     L"malformed bookmark XML: " + Base::WideFromUtf8(parsed.description()));
                return nullptr;
            }
            const pugi::xml_node root = document.document_element();
            if (std::string_view(root.name()) != "BookmarkList") {
                Fail(ERROR_INVALID_PARAMETER, L"the bookmark's root element is not BookmarkList");
                return nullptr;
            }
            Base::LockGuard markLock(mark->mutex); // not shared yet
            for (pugi::xml_node b : root.children("Bookmark")) {
                const std::wstring channel = Base::WideFromUtf8(b.attribute("Channel").value());
                auto record = ParseUnsigned(Base::WideFromUtf8(b.attribute("RecordId").value()));
                if (channel.empty() || !record) {
                    Fail(ERROR_INVALID_PARAMETER, L"a Bookmark needs Channel and RecordId");
                    return nullptr;
                }
                mark->entries.emplace_back(channel, *record);
                if (b.attribute("IsCurrent").as_bool()) {
                    mark->current = channel;
                }
            }
        }
        return EventLogHandles().Add(HandleKind::Bookmark, mark);
    });
}

BOOL WINAPI EvtUpdateBookmark(EVT_HANDLE bookmark, EVT_HANDLE event) {
    return Base::CFunctionBoundary(FailWithLastError<BOOL>(FALSE), [&]() -> BOOL {
        if (Injected("EvtUpdateBookmark")) {
            return FALSE;
        }
        auto mark = Lookup<Bookmark>(bookmark, HandleKind::Bookmark);
        EventAccess access;
        if (!mark || !LookupEvent(event, access)) {
            Fail(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        const Event& e = access.Get();
        const std::wstring_view channel = access.owner->store->String(e.channel);
        const uint64_t record = e.recordId;
        Base::LockGuard lock(mark->mutex);
        bool updated = false;
        for (auto& [name, id] : mark->entries) {
            if (EqualsNoCase(name, channel)) {
                id = record;
                updated = true;
            }
        }
        if (!updated) {
            mark->entries.emplace_back(channel, record);
        }
        mark->current = channel;
        return TRUE;
    });
}

EVT_HANDLE WINAPI EvtCreateRenderContext(DWORD valuePathsCount, LPCWSTR* valuePaths, DWORD flags) {
    return Base::CFunctionBoundary(FailWithLastError<EVT_HANDLE>(nullptr), [&]() -> EVT_HANDLE {
        if (Injected("EvtCreateRenderContext")) {
            return nullptr;
        }
        if (flags > EvtRenderContextUser ||
            (flags == EvtRenderContextValues && valuePathsCount > 0 && valuePaths == nullptr)) {
            Fail(ERROR_INVALID_PARAMETER);
            return nullptr;
        }
        auto context = std::make_shared<RenderContext>();
        context->flags = flags;
        if (flags == EvtRenderContextValues) {
            for (DWORD i = 0; i < valuePathsCount; ++i) {
                if (valuePaths[i] == nullptr) {
                    Fail(ERROR_INVALID_PARAMETER);
                    return nullptr;
                }
                Expression path;
                QueryError error;
                if (!Expression::CompileValuePath(valuePaths[i], path, error)) {
                    Fail(error.code, error.message);
                    return nullptr;
                }
                context->paths.push_back(std::move(path));
            }
        }
        return EventLogHandles().Add(HandleKind::RenderContext, context);
    });
}

namespace {

// Copies text with its NUL into a byte-sized caller buffer.
BOOL RenderText(const std::wstring& text, DWORD bufferSize, PVOID buffer, PDWORD bufferUsed) {
    const size_t bytes = (text.size() + 1) * sizeof(wchar_t);
    *bufferUsed = static_cast<DWORD>(bytes);
    if (buffer == nullptr || bufferSize < bytes) {
        Fail(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    std::memcpy(buffer, text.c_str(), bytes);
    return TRUE;
}

} // namespace

BOOL WINAPI EvtRender(EVT_HANDLE context, EVT_HANDLE fragment, DWORD flags, DWORD bufferSize,
                      PVOID buffer, PDWORD bufferUsed, PDWORD propertyCount) {
    return Base::CFunctionBoundary(FailWithLastError<BOOL>(FALSE), [&]() -> BOOL {
        if (Injected("EvtRender")) {
            return FALSE;
        }
        if (bufferUsed == nullptr || propertyCount == nullptr ||
            (buffer == nullptr && bufferSize != 0)) {
            Fail(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        *bufferUsed = 0;
        *propertyCount = 0;
        if (flags == EvtRenderBookmark) {
            auto mark = Lookup<Bookmark>(fragment, HandleKind::Bookmark);
            if (!mark || context != nullptr) {
                Fail(mark ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE);
                return FALSE;
            }
            return RenderText(mark->Xml(), bufferSize, buffer, bufferUsed);
        }
        EventLogHandleTable::EventInUse use;
        EventLogHandles().UseEvent(fragment, flags == EvtRenderEventValues ? context : nullptr,
                                   HandleKind::RenderContext, use);
        if (use.store == nullptr) {
            Fail(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        const Store& store = *use.store;
        const Event& event = use.Get();
        const Channel& channel = *use.event.channel;
        if (flags == EvtRenderEventXml) {
            if (context != nullptr) {
                Fail(ERROR_INVALID_PARAMETER);
                return FALSE;
            }
            return RenderText(EventXml(store, channel, event), bufferSize, buffer, bufferUsed);
        }
        if (flags != EvtRenderEventValues) {
            Fail(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        const auto* rc = static_cast<const RenderContext*>(use.object);
        if (rc == nullptr) {
            Fail(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        DWORD count = 0;
        size_t needed = 0;
        switch (rc->flags) {
        case EvtRenderContextSystem:
            needed = RenderSystem(store, event, buffer, bufferSize, count);
            break;
        case EvtRenderContextUser:
            needed = RenderUser(store, channel, event, buffer, bufferSize, count);
            break;
        default:
            needed = RenderValues(store, channel, event, rc->paths, buffer, bufferSize, count);
            break;
        }
        *bufferUsed = static_cast<DWORD>(needed);
        *propertyCount = count;
        if (needed > bufferSize) {
            Fail(ERROR_INSUFFICIENT_BUFFER);
            return FALSE;
        }
        return TRUE;
    });
}

DWORD WINAPI EvtGetExtendedStatus(DWORD bufferSize, LPWSTR buffer, PDWORD bufferUsed) {
    return Base::CFunctionBoundary(FailWithLastError<DWORD>(ERROR_INTERNAL_ERROR), [&]() -> DWORD {
        if (bufferUsed == nullptr || (buffer == nullptr && bufferSize != 0)) {
            return ERROR_INVALID_PARAMETER;
        }
        const ExtendedStatus* const kept = Base::ThreadObject<ExtendedStatus>();
        const std::wstring_view text = kept != nullptr ? std::wstring_view(kept->text) : L"";
        const size_t needed = text.size() + 1;
        *bufferUsed = static_cast<DWORD>(needed);
        if (bufferSize < needed) {
            return ERROR_INSUFFICIENT_BUFFER;
        }
        std::memcpy(buffer, text.data(), text.size() * sizeof(wchar_t));
        buffer[text.size()] = L'\0';
        return ERROR_SUCCESS;
    });
}

BOOL WINAPI EvtClose(EVT_HANDLE object) {
    return Base::CFunctionBoundary(FailWithLastError<BOOL>(FALSE), [&]() -> BOOL {
        // A subscription stops delivering (and waits for a running callback) before it closes.
        if (EventLogHandleTable::KindOf(object) == HandleKind::Subscription) {
            StopSubscription(object);
        }
        if (!EventLogHandles().Close(object)) {
            Fail(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        return TRUE; // the last error stays as it was
    });
}
