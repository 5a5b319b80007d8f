#include "Halyard/Corvane/EventQueryContext.h"

#include "Base/Text.h"
#include "ErrorHandling/ErrorDescription.h"
#include "Logging/TraceScope.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cwctype>
#include <iterator>
#include <string_view>
#include <utility>

namespace Halyard {

namespace {

using EventsApiUtils::HR_NO_MORE_ITEMS;
using EventsApiUtils::HR_TIMEOUT;
using EventsApiUtils::SmartEvtVector;
using EventsApiUtils::SmartHandle;
using Logging::LOG_DBG;
using Logging::LOG_DBG3;
using Logging::LOG_ERR;

// Events are fetched in batches of this many.
constexpr int64_t ChunkSize = 10;

// Whether a result set stands nowhere any more: the log was cleared or rolled over under it.
bool IsStale(HRESULT code) noexcept {
    return code == HresultFromWin32(ERROR_EVT_QUERY_RESULT_STALE) ||
           code == HresultFromWin32(ERROR_EVT_QUERY_RESULT_INVALID_POSITION);
}

// The number of pages of `count` events that `records` events fill.
int64_t PageCount(uint64_t records, int64_t count) noexcept {
    const auto size = static_cast<uint64_t>(count);
    return static_cast<int64_t>(records / size + (records % size != 0 ? 1 : 0));
}

} // namespace

EventQueryContext::EventQueryContext(std::wstring channelPath, DWORD timeoutMs,
                                     const EkNodePtr& filter, const EkNodePtr& continuationMark)
    : EventQueryContext(std::move(channelPath), timeoutMs, filter, continuationMark, {}) {}

EventQueryContext::EventQueryContext(std::wstring channelPath, DWORD timeoutMs,
                                     const EkNodePtr& filter, const EkNodePtr& continuationMark,
                                     std::vector<std::wstring> manualItems)
    : m_bookmark(EventsApiUtils::CreateBookMark()), m_timeoutMs(timeoutMs),
      m_channelPath(std::move(channelPath)),
      m_firstEventTime(std::chrono::floor<std::chrono::seconds>(std::chrono::system_clock::now())),
      m_manualItems(std::move(manualItems)) {
    TRACE_SCOPE(LOG_DBG, L"Halyard::EventQueryContext::EventQueryContext");
    m_queryString = filter.GetString(L"QueryString");
    m_resultSet = EventsApiUtils::MakeQuery(m_channelPath, m_queryString, EvtQueryReverseDirection);
    m_searchText = filter.GetString(L"SearchString", std::wstring());
    m_searchText = Base::LowerCase(std::move(m_searchText));
    m_isSimple = filter.GetBool(L"IsSimple");

    InitBookMarks(continuationMark);
    if (continuationMark && continuationMark.HasAttribute(L"Pages")) {
        LOG_AT(LOG_DBG, L"Restore pages from continuation mark");
        std::vector<int64_t> pages;
        continuationMark.GetAttribute(L"Pages", pages);
        m_pages = std::move(pages);
        m_position = continuationMark.GetInt64(L"Position");
        Seek(m_position);
    }
    m_totalRecords = GetEventsCount(m_channelPath);
}

void EventQueryContext::Stop() noexcept {
    m_stopRequested.store(true);
}

void EventQueryContext::InitBookMarks(const EkNodePtr& continuationMark) {
    TRACE_SCOPE(LOG_DBG3, L"Halyard::EventQueryContext::InitBookMarks");
    std::wstring firstEventTime;
    if (continuationMark && continuationMark.GetAttribute(L"FirstEventTime", firstEventTime)) {
        m_firstEventTime = ParseUtcTime(firstEventTime);
    }
    try {
        while (!m_bookmarkSet) {
            // Throws at the end of the result set: an empty view has no bookmark yet.
            const SmartHandle event = EventsApiUtils::GetNextData(*m_resultSet, m_timeoutMs);
            // Only the time counts here: the event is not made into a node.
            if (m_firstEventTime < m_maker.TimeCreated(*event)) {
                ++m_skippedNewer;
                continue;
            }
            ThrowIfFailed(EventsApiUtils::UpdateBookMark(*m_bookmark, *event));
            m_bookmarkSet = true;
            Seek(0);
        }
    } catch (const HRX& failure) {
        LOG_AT(LOG_DBG, L"Initialize bookmark failed due to: " << failure);
    }
}

void EventQueryContext::QueryAgain() {
    TRACE_SCOPE(LOG_DBG, L"Halyard::EventQueryContext::QueryAgain");
    m_resultSet = EventsApiUtils::MakeQuery(m_channelPath, m_queryString, EvtQueryReverseDirection);
    m_bookmark = EventsApiUtils::CreateBookMark();
    m_bookmarkSet = false;
    m_pages.clear();
    m_position = 0;
    m_firstEventTime = std::chrono::floor<std::chrono::seconds>(std::chrono::system_clock::now());
    InitBookMarks(EkNodePtr());
    m_totalRecords = GetEventsCount(m_channelPath);
}

void EventQueryContext::Seek(int64_t offset) {
    TRACE_SCOPE(LOG_DBG3, L"Halyard::EventQueryContext::Seek");
    if (!m_bookmarkSet) {
        InitBookMarks(EkNodePtr());
    }
    if (m_bookmarkSet) {
        ThrowIfFailed(EventsApiUtils::Seek(*m_resultSet, *m_bookmark, offset));
        m_position = offset;
    }
}

void EventQueryContext::RestorePosition(int64_t position) noexcept {
    // Also when the position did not move: a failed EvtNext may have passed over events it did
    // not hand out.
    try {
        Seek(position);
    } catch (const HRX& failure) {
        // The next page starts where the result set stands.
        LOG_FAILURE(L"Halyard::EventQueryContext::RestorePosition",
                    L"Seek back failed due to: " << failure);
    } catch (...) {
        LOG_AT(LOG_ERR, L"Halyard::EventQueryContext::RestorePosition failed");
    }
}

void EventQueryContext::GetData(const EkNodePtr& request, const EkNodePtr& response,
                                const InsertionalStringsResolver* resolver) {
    TRACE_SCOPE(LOG_DBG, L"Halyard::EventQueryContext::GetData");
    const Base::LockGuard lock(m_lock);
    // A page asks again for what failed on the page before it.
    m_maker.ForgetFailures();
    const EkNodePtr events = EkNodePtr::CreateNode(L"Events", nullptr);
    const EkNodePtr mark = request.GetChildByName(L"ContinuationMark");
    uint32_t direction = request.GetUInt32(L"Direction");
    const int64_t count = request.GetInt64(L"EventsCount");
    if (count <= 0) {
        // A negative count would become a batch size of billions.
        const wchar_t* text =
            count == 0 ? L" Count of events can't be 0" : L" Count of events can't be negative";
        LOG_FAILURE(L"Halyard::EventQueryContext::GetData", text);
        RaiseError(SetErrorWithMessage(HresultFromWin32(ERROR_INVALID_DATA), text));
    }

    const int64_t markPosition = mark.GetInt64(L"Position");
    // A page that fails part of the way leaves the paging as it was, so that the same request
    // asked again serves the same page: the events read before the failure would otherwise have
    // moved the position on, and the request would then read as one for the page before.
    int64_t position = m_position;
    std::vector<int64_t> pages = m_pages;
    std::vector<EkNodePtr> nodes;
    bool isBack = false;
    for (bool queriedAgain = false;; queriedAgain = true) {
        try {
            if (mark.GetInt64(L"Count") != count) {
                LOG_AT(LOG_DBG, L"Count was changed. Reset pages.");
                m_pages.clear();
                Seek(0);
                direction = 0;
            }
            nodes = direction == 1 || markPosition < m_position ? GetPrevData(count, resolver)
                                                                : GetNextData(count, resolver);
            isBack = IsBackPage(resolver);
            break;
        } catch (const HRX& failure) {
            if (!queriedAgain && IsStale(failure.Code())) {
                // The events of the view are gone: the view starts again from the newest event,
                // once per request.
                LOG_AT(LOG_ERR, L"Halyard::EventQueryContext::GetData"
                                    << L" failed: " << L"Query again due to: " << failure);
                QueryAgain();
                pages.clear();
                position = 0;
                direction = 0;
                continue;
            }
            m_pages = std::move(pages);
            RestorePosition(position);
            throw;
        }
    }
    for (const EkNodePtr& node : nodes) {
        events.AddChild(node);
    }
    events.SetAttribute(L"CurrentPage", static_cast<int64_t>(m_pages.size()));
    events.SetAttribute(L"IsFront", m_pages.size() < 2);
    events.SetAttribute(L"IsBack", isBack);
    events.SetAttribute(L"TotalPagesCount", m_isSimple ? PageCount(m_totalRecords, count) : 0);
    events.SetAttribute(L"TotalEventsCount", static_cast<int64_t>(m_totalRecords));

    const EkNodePtr markOut = mark.CloneNode(EKN_DEPTH_ALL);
    markOut.SetAttribute(L"Position", m_position);
    markOut.SetAttribute(L"Count", count);
    markOut.SetAttribute(L"Pages", m_pages);
    markOut.SetAttribute(L"FirstEventTime", FormatUtcTime(m_firstEventTime));
    response.AddChild(markOut);
    response.AddChild(events);
}

std::vector<EkNodePtr> EventQueryContext::GetNextData(int64_t count,
                                                      const InsertionalStringsResolver* resolver) {
    TRACE_SCOPE(LOG_DBG3, L"Halyard::EventQueryContext::GetNextData");
    // The same page served again keeps its one entry.
    if (m_pages.empty() || m_pages.back() != m_position) {
        m_pages.push_back(m_position);
    }
    return FetchEvents(count, resolver);
}

std::vector<EkNodePtr> EventQueryContext::GetPrevData(int64_t count,
                                                      const InsertionalStringsResolver* resolver) {
    TRACE_SCOPE(LOG_DBG3, L"Halyard::EventQueryContext::GetPrevData");
    if (m_pages.empty()) {
        return {};
    }
    int64_t start = 0;
    if (m_pages.size() > 1) {
        m_pages.pop_back(); // the page just served
        start = m_pages.back();
        m_pages.pop_back(); // the page before it, pushed again below
    }
    Seek(start);
    return GetNextData(count, resolver);
}

std::vector<EkNodePtr> EventQueryContext::FetchEvents(int64_t count,
                                                      const InsertionalStringsResolver* resolver,
                                                      bool render) {
    std::vector<EkNodePtr> nodes;
    nodes.reserve(static_cast<size_t>(std::min<int64_t>(count, 1000)));
    Fetch fetch;
    try {
        for (int64_t chunk = 0; chunk < count / ChunkSize; ++chunk) {
            FetchBatch(static_cast<DWORD>(ChunkSize), render, nodes, fetch, resolver);
        }
        if (count % ChunkSize != 0) {
            FetchBatch(static_cast<DWORD>(count % ChunkSize), render, nodes, fetch, resolver);
        }
    } catch (const HRX& failure) {
        // The end of the result set ends the page.
        if (failure.Code() != HR_NO_MORE_ITEMS) {
            throw;
        }
    }
    return nodes;
}

void EventQueryContext::FetchBatch(DWORD wanted, bool render, std::vector<EkNodePtr>& nodes,
                                   Fetch& fetch, const InsertionalStringsResolver* resolver) {
    DWORD found = 0;
    while (found < wanted) {
        if (m_stopRequested.load()) {
            RaiseError(HR_QUERY_CONTEXT_STOPPED);
        }
        SmartEvtVector events;
        const HRES result = EventsApiUtils::GetNextData(*m_resultSet, wanted - found, m_timeoutMs,
                                                        events, fetch.cancellation);
        // A time-out hands out what it got, maybe nothing; the loop then asks again.
        if (result.Failed() && result.Code() != HR_TIMEOUT) {
            ThrowIfFailed(result);
        }
        if (events.empty()) {
            continue;
        }
        m_position += static_cast<int64_t>(events.size());
        if (!render) {
            nodes.resize(nodes.size() + events.size());
            found += static_cast<DWORD>(events.size());
            continue;
        }
        // Opened once for the fetch (again while it cannot be opened, which is logged).
        if (!fetch.classicLog) {
            fetch.classicLog = GetEventLog(m_channelPath);
        }
        std::vector<EkNodePtr> made =
            m_manualItems.empty()
                ? m_maker.MakeEvents(events, fetch.classicLog, resolver, m_searchText)
                : m_maker.MakeEvents(events, fetch.classicLog, resolver, m_manualItems, 1,
                                     m_searchText);
        found += static_cast<DWORD>(made.size());
        std::move(made.begin(), made.end(), std::back_inserter(nodes));
    }
}

bool EventQueryContext::IsBackPage(const InsertionalStringsResolver* resolver) {
    const int64_t saved = m_position;
    // Without a search or manual items every event is served: whether one follows needs no
    // rendering.
    const bool render = !m_searchText.empty() || !m_manualItems.empty();
    const bool nothingFollows = FetchEvents(1, resolver, render).empty();
    Seek(saved);
    return nothingFollows;
}

} // namespace Halyard
