// One client's query over the channel, served page by page. The query runs newest first; a
// bookmark pins the newest event of the view, so events that arrive later never shift the pages;
// a stack of page starts lets the client step back; and a continuation mark (a node that travels
// to the client and back) lets a new context resume the same view at the same place. The free-text
// search and the manual items, which the query text cannot express, are applied while a page is
// filled.
#pragma once

#include "Base/Mutex.h"
#include "Halyard/Corvane/EventLogApiUtils.h"
#include "Halyard/Corvane/EventMaker.h"
#include "Halyard/Corvane/EvtVariantUtils.h"
#include "NodeTree/EkNodePtr.h"

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

namespace Halyard {

class InsertionalStringsResolver;

class EventQueryContext {
public:
    // Opens the query of `filter` ("QueryString" and "IsSimple" required, "SearchString"
    // optional) on the channel newest first, places the bookmark on the newest event that is not
    // newer than the view's first event time (now, or the mark's "FirstEventTime"), and restores
    // the page stack and position from the mark's "Pages" and "Position" when it has "Pages".
    // `continuationMark` may be null. An event's second insertion string must equal one of
    // `manualItems` for the event to be served, unless the list is empty. Query, bookmark, seek
    // and node failures throw; a channel without events is no failure (its pages are empty).
    EventQueryContext(std::wstring channelPath, DWORD timeoutMs, const EkNodePtr& filter,
                      const EkNodePtr& continuationMark, std::vector<std::wstring> manualItems);
    EventQueryContext(std::wstring channelPath, DWORD timeoutMs, const EkNodePtr& filter,
                      const EkNodePtr& continuationMark);
    EventQueryContext(const EventQueryContext&) = delete;
    EventQueryContext& operator=(const EventQueryContext&) = delete;

    // Serves one page into `response`: the next page, or the previous one when the request's
    // "Direction" is 1 or its mark's "Position" lies before the context's position; a changed page
    // size starts over at the first page. Adds the continuation mark (the request's, with
    // "Position", "Count", "Pages" and "FirstEventTime" set) and then "Events" (the event nodes,
    // "CurrentPage", "IsFront", "IsBack", "TotalPagesCount", "TotalEventsCount"). An
    // "EventsCount" of 0 or less throws ERROR_INVALID_DATA; a stopped context 0x80047F03; a
    // cancelled request RPC_S_CALL_CANCELLED. A page that fails leaves the position and the page
    // stack as they were. Serves one request at a time (the others wait).
    void GetData(const EkNodePtr& request, const EkNodePtr& response,
                 const InsertionalStringsResolver* resolver) EXCLUDES(m_lock);

    // Makes the running fetch, and every later one, fail with 0x80047F03. Any thread, no lock.
    void Stop() noexcept;

    // The number of events newer than the view's first event time that the bookmark placement
    // passed over.
    uint64_t GetSkippedCount() const noexcept { return m_skippedNewer; }

private:
    // The constructor calls the first two before the context is shared; GetData holds the lock.
    void InitBookMarks(const EkNodePtr& continuationMark) REQUIRES(m_lock);
    // Replaces a result set that went stale (the log cleared or rolled over under it) with the
    // same query run again, its bookmark placed anew and the paging back at its first page.
    void QueryAgain() REQUIRES(m_lock);
    void Seek(int64_t offset) REQUIRES(m_lock);
    // Seeks back to `position` after a failed page; a seek that fails too is logged.
    void RestorePosition(int64_t position) noexcept REQUIRES(m_lock);
    std::vector<EkNodePtr> GetNextData(int64_t count, const InsertionalStringsResolver* resolver)
        REQUIRES(m_lock);
    std::vector<EkNodePtr> GetPrevData(int64_t count, const InsertionalStringsResolver* resolver)
        REQUIRES(m_lock);
    // Reads `count` events into nodes in chunks, fewer at the end of the result set. Without
    // `render` the events are only counted: each gives a null node.
    std::vector<EkNodePtr> FetchEvents(int64_t count, const InsertionalStringsResolver* resolver,
                                       bool render = true) REQUIRES(m_lock);
    // What a fetch keeps for all its batches: the classic log, opened when the first events come
    // back, and the request's cancellation.
    struct Fetch {
        EventsApiUtils::SmartHandle classicLog;
        EventsApiUtils::RequestCancellation cancellation;
    };
    void FetchBatch(DWORD wanted, bool render, std::vector<EkNodePtr>& nodes, Fetch& fetch,
                    const InsertionalStringsResolver* resolver) REQUIRES(m_lock);
    bool IsBackPage(const InsertionalStringsResolver* resolver) REQUIRES(m_lock);

    // Held by GetData throughout: the result set, the maker and the paging state are one
    // request's at a time.
    Base::Mutex m_lock;
    EventsApiUtils::SmartHandle m_resultSet GUARDED_BY(m_lock);
    EventsApiUtils::SmartHandle m_bookmark GUARDED_BY(m_lock);
    // Events of the result set read past the bookmarked one (which is 0), every event the result
    // set handed out counted, also those the search or the manual items dropped.
    int64_t m_position GUARDED_BY(m_lock) = 0;
    EventMaker m_maker GUARDED_BY(m_lock);
    bool m_bookmarkSet GUARDED_BY(m_lock) = false;
    // Page totals are given only for a query without filters.
    bool m_isSimple = false;
    DWORD m_timeoutMs;
    std::wstring m_channelPath;
    std::wstring m_queryString;
    // Lower case; empty for no search.
    std::wstring m_searchText;
    // Page starts (positions), oldest page first; the last is the page served last.
    std::vector<int64_t> m_pages GUARDED_BY(m_lock);
    std::atomic<bool> m_stopRequested{false};
    uint64_t m_totalRecords GUARDED_BY(m_lock) = 0;
    UtcSeconds m_firstEventTime GUARDED_BY(m_lock);
    uint64_t m_skippedNewer = 0;
    std::vector<std::wstring> m_manualItems;
};

} // namespace Halyard
