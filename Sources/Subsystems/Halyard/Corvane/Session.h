// One client's view of the channel: its filtered, paged query and a live subscription that notices
// when new matching events arrive. Sessions are created, found and removed by the sessions holder
// only. The unit also checks filter sets against the Event Log API and counts a channel's events by
// level, which need no session.
#pragma once

#include "Halyard/Corvane/EventLogApiUtils.h"
#include "Halyard/Corvane/EventQueryContext.h"
#include "NodeTree/EkNodePtr.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace Halyard {

class InsertionalStringsResolver;

// Wall-clock time as 100-nanosecond ticks since 1970 (UTC): when a session was last used, and the
// sweep's present. Tests put a clock of their own in its place.
using WallClock = int64_t (*)();
int64_t SystemWallClock();

class Session {
public:
    // Checks the filter set (null: every event) against the channel, opens the paged query from
    // the continuation mark (with the filter set's "ManualItems" when it has them) and subscribes
    // to the new events that the query matches, with `subscriptionFlags`. The new-event count
    // starts at the number of events newer than the mark's first event time. Any failure throws
    // and leaves nothing behind.
    Session(const std::wstring& channelPath, const EkNodePtr& filters,
            const EkNodePtr& continuationMark, int32_t subscriptionFlags, DWORD timeoutMs,
            WallClock clock = &SystemWallClock);
    // Closes the subscription first (no callback runs after that), then the signal event, then
    // the paged query.
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // Marks the session used and serves one page of its query into the response.
    void GetData(const EkNodePtr& request, const EkNodePtr& response,
                 const InsertionalStringsResolver* resolver);
    // Marks the session used and returns the new-event count, raised by one first when events
    // arrived since the previous poll (one for the poll, however many events came).
    uint64_t GetNewEventsCount();
    // Makes the page read in progress, and every later one, fail with 0x80047F03.
    void Stop() noexcept;

    // A full copy of the filter set the session was made with; null when there was none.
    const EkNodePtr& Filters() const noexcept { return m_filters; }
    // When the session was made or last used, in the clock's ticks.
    int64_t LastAccess() const noexcept { return m_lastAccess.load(); }

    // The subscription's callback; its context is the signal event, which a delivery sets. An
    // error the service reports is logged. Returns 0 always.
    static DWORD WINAPI EvtSubscribeCallback(EVT_SUBSCRIBE_NOTIFY_ACTION action, PVOID context,
                                             EVT_HANDLE event) noexcept;

    // The serialized filter node of the filter set ("QueryString", "SearchString", "IsSimple"),
    // after its query has been opened once on the channel. An invalid query or a time-out throws
    // 0x80042002 around the failure; any other failure throws as it is. Logged either way.
    static EkNodePtr SerializeAndCheckFilters(const std::wstring& channelPath,
                                              const EkNodePtr& filters);
    // Writes "CriticalEventsCount", "ErrorEventsCount", "WarningEventsCount",
    // "InformationalEventsCount" (levels 4, 5 and 0) and their sum "TotalEventsCount" onto the
    // response, each a 64-bit integer. `dateFilter` (a "DateFilter" node) may be null.
    static void CountEventsByLevel(const std::wstring& channelPath, const EkNodePtr& dateFilter,
                                   DWORD timeoutMs, const EkNodePtr& response);
    // The number of the channel's events of these levels (within the date filter when given).
    static uint64_t CountEventsOfLevels(const std::wstring& channelPath,
                                        const EkNodePtr& dateFilter,
                                        const std::vector<int32_t>& levels, DWORD timeoutMs);
    // The number of events a result set still holds, read in batches of 1000 without rendering.
    // A cancelled request throws RPC_S_CALL_CANCELLED; any failure other than the end of the
    // result set or a time-out throws rather than giving a short count.
    static uint64_t CountQueryEvents(EVT_HANDLE query, DWORD timeoutMs);

private:
    std::unique_ptr<EventQueryContext> m_queryContext;
    EventsApiUtils::SmartHandle m_newEventSignal;
    EventsApiUtils::SmartHandle m_subscription;
    std::atomic<uint64_t> m_newEventsCount{0};
    WallClock m_clock;
    std::atomic<int64_t> m_lastAccess;
    EkNodePtr m_filters;
};

} // namespace Halyard
