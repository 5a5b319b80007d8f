#include "Halyard/Corvane/Session.h"

#include "ErrorHandling/ComMethodBoundary.h"

#include "ErrorHandling/ErrorDescription.h"
#include "Halyard/Corvane/EventLogFilterSerialiser.h"
#include "Logging/NodeDump.h"
#include "Logging/TraceScope.h"

#include <chrono>

namespace Halyard {

namespace {

using EventsApiUtils::HR_NO_MORE_ITEMS;
using EventsApiUtils::HR_TIMEOUT;
using EventsApiUtils::RawHandle;
using EventsApiUtils::SmartHandle;
using Logging::LOG_DBG;
using Logging::LOG_DBG2;
using Logging::LOG_DBG3;
using Logging::LOG_ERR;

constexpr HRESULT HR_INVALID_QUERY = HresultFromWin32(ERROR_EVT_INVALID_QUERY);

// Events are counted in batches of this many.
constexpr DWORD CountBatchSize = 1000;

} // namespace

int64_t SystemWallClock() {
    using namespace std::chrono;
    return duration_cast<duration<int64_t, std::ratio<1, 10'000'000>>>(
               system_clock::now().time_since_epoch())
        .count();
}

Session::Session(const std::wstring& channelPath, const EkNodePtr& filters,
                 const EkNodePtr& continuationMark, int32_t subscriptionFlags, DWORD timeoutMs,
                 WallClock clock)
    : m_newEventSignal(EventsApiUtils::MakeSignalEvent()), m_clock(clock), m_lastAccess(clock()) {
    TRACE_SCOPE(LOG_DBG, L"Create new session");
    if (filters) {
        m_filters = filters.CloneNode(EKN_DEPTH_ALL);
    }
    const EkNodePtr serialized = SerializeAndCheckFilters(channelPath, filters);
    LOG_AT(LOG_DBG2, L"Filters: " << Logging::NodeDump{serialized});
    if (filters && filters.HasAttribute(L"ManualItems")) {
        std::vector<std::wstring> manualItems;
        filters.GetAttribute(L"ManualItems", manualItems, true);
        m_queryContext = std::make_unique<EventQueryContext>(
            channelPath, timeoutMs, serialized, continuationMark, std::move(manualItems));
    } else {
        m_queryContext = std::make_unique<EventQueryContext>(channelPath, timeoutMs, serialized,
                                                             continuationMark);
    }
    m_newEventsCount.store(m_queryContext->GetSkippedCount());
    m_subscription = EventsApiUtils::Subscribe(&EvtSubscribeCallback, RawHandle(m_newEventSignal),
                                               channelPath, serialized.GetString(L"QueryString"),
                                               static_cast<DWORD>(subscriptionFlags));
}

// The members' reverse order is the order of release.
Session::~Session() = default;

void Session::GetData(const EkNodePtr& request, const EkNodePtr& response,
                      const InsertionalStringsResolver* resolver) {
    TRACE_SCOPE(LOG_DBG, L"Halyard::Session::GetData");
    m_lastAccess.store(m_clock());
    m_queryContext->GetData(request, response, resolver);
}

uint64_t Session::GetNewEventsCount() {
    m_lastAccess.store(m_clock());
    if (WaitForSingleObject(RawHandle(m_newEventSignal), 0) != WAIT_OBJECT_0) {
        return m_newEventsCount.load();
    }
    ++m_newEventsCount;
    if (!ResetEvent(RawHandle(m_newEventSignal))) {
        const HRES failure = ApiResult{FALSE};
        LOG_FAILURE(L"Halyard::Session::GetNewEventsCount",
                    L" Can't reset event due to: " << failure);
    }
    return m_newEventsCount.load();
}

void Session::Stop() noexcept {
    m_queryContext->Stop();
}

DWORD WINAPI Session::EvtSubscribeCallback(EVT_SUBSCRIBE_NOTIFY_ACTION action, PVOID context,
                                           EVT_HANDLE event) noexcept {
    // Called by the Event Log service: nothing may leave it, and it always answers 0.
    ComMethodBoundary([&] {
        if (action == EvtSubscribeActionDeliver) {
            if (context != nullptr && !SetEvent(static_cast<HANDLE>(context))) {
                const HRES failure = ApiResult{FALSE};
                LOG_FAILURE(L"Halyard::Session::EvtSubscribeCallback",
                            L"Can't set new event signal due to: " << failure);
            }
        } else {
            // The event argument carries the Win32 error.
            HRES failure;
            failure = Win32Error{static_cast<DWORD>(reinterpret_cast<uintptr_t>(event))};
            LOG_FAILURE(L"Halyard::Session::EvtSubscribeCallback", failure);
        }
    });
    return 0;
}

EkNodePtr Session::SerializeAndCheckFilters(const std::wstring& channelPath,
                                            const EkNodePtr& filters) {
    TRACE_SCOPE(LOG_DBG3, L"Halyard::Session::SerializeAndCheckFilters");
    try {
        EventLogFilterSerialiser::Serrializer serializer(channelPath, filters);
        EkNodePtr serialized = serializer.Serialize();
        EventsApiUtils::MakeQuery(channelPath, serialized.GetString(L"QueryString"),
                                  EvtQueryReverseDirection);
        return serialized;
    } catch (const HRX& failure) {
        LOG_FAILURE(L"Halyard::Session::SerializeAndCheckFilters",
                    L"Create filter failed due to: " << failure);
        if (failure.Code() == HR_INVALID_QUERY || failure.Code() == HR_TIMEOUT) {
            RaiseError(WrapError(HR_INVALID_FILTER_SET, failure, ERRDESC_NO_LOCATION));
        }
        throw;
    }
}

void Session::CountEventsByLevel(const std::wstring& channelPath, const EkNodePtr& dateFilter,
                                 DWORD timeoutMs, const EkNodePtr& response) {
    const uint64_t critical = CountEventsOfLevels(channelPath, dateFilter, {1}, timeoutMs);
    const uint64_t error = CountEventsOfLevels(channelPath, dateFilter, {2}, timeoutMs);
    const uint64_t warning = CountEventsOfLevels(channelPath, dateFilter, {3}, timeoutMs);
    const uint64_t informational =
        CountEventsOfLevels(channelPath, dateFilter, {4, 5, 0}, timeoutMs);
    response.SetAttribute(L"CriticalEventsCount", static_cast<int64_t>(critical));
    response.SetAttribute(L"ErrorEventsCount", static_cast<int64_t>(error));
    response.SetAttribute(L"WarningEventsCount", static_cast<int64_t>(warning));
    response.SetAttribute(L"InformationalEventsCount", static_cast<int64_t>(informational));
    response.SetAttribute(L"TotalEventsCount",
                          static_cast<int64_t>(critical + error + warning + informational));
}

uint64_t Session::CountEventsOfLevels(const std::wstring& channelPath, const EkNodePtr& dateFilter,
                                      const std::vector<int32_t>& levels, DWORD timeoutMs) {
    // The query builder reads "Levels" as texts: the node library writes the integers as such.
    const EkNodePtr levelFilter = EkNodePtr::CreateNode(nullptr, L"LevelFilter");
    levelFilter.SetAttribute(L"Levels", levels);
    const EkNodePtr filters = EkNodePtr::CreateNode(L"Filters", nullptr);
    filters.AddChild(levelFilter);
    if (dateFilter) {
        filters.AddChild(dateFilter.CloneNode(EKN_DEPTH_ALL));
    }
    EventLogFilterSerialiser::Serrializer serializer(channelPath, filters);
    const std::wstring query = serializer.Serialize().GetString(L"QueryString");
    const SmartHandle resultSet =
        EventsApiUtils::MakeQuery(channelPath, query, EvtQueryForwardDirection);
    return CountQueryEvents(RawHandle(resultSet), timeoutMs);
}

uint64_t Session::CountQueryEvents(EVT_HANDLE query, DWORD timeoutMs) {
    uint64_t count = 0;
    DWORD batch = CountBatchSize;
    EventsApiUtils::RequestCancellation cancellation;
    for (;;) {
        if (cancellation.IsCancelled()) {
            HRES cancelled;
            cancelled = Win32Error{RPC_S_CALL_CANCELLED};
            ThrowIfFailed(cancelled);
        }
        // Counted without being handed out: each handle is closed at once.
        DWORD returned = 0;
        const HRES result =
            EventsApiUtils::CountNextData(query, batch, timeoutMs, returned, cancellation);
        count += returned;
        if (result.Succeeded() || result.Code() == HR_TIMEOUT) {
            continue;
        }
        if (result.Code() == HresultFromWin32(RPC_S_INVALID_BOUND) && batch > 1) {
            // The events of the batch are too large together for one call: half as many, from
            // the first event not counted (where the failed call left the result set is not
            // said).
            batch /= 2;
            ThrowIfFailed(EventsApiUtils::SeekFromFirst(query, static_cast<int64_t>(count)));
            continue;
        }
        if (result.Code() == HR_NO_MORE_ITEMS) {
            return count;
        }
        // A count cut short is no count: a cancellation that the batch itself noticed, or a
        // failing read, is the request's failure.
        ThrowIfFailed(result);
    }
}

} // namespace Halyard
