#include "Halyard/Corvane/SessionsHolder.h"

#include "ErrorHandling/ComMethodBoundary.h"

#include "ErrorHandling/ErrorDescription.h"
#include "Helpers/RequestProcessingUtils.h"
#include "Logging/TraceScope.h"

#include <algorithm>
#include <chrono>
#include <cwchar>
#include <set>
#include <vector>

namespace Halyard {

namespace {

using Logging::LOG_DBG;
using Logging::LOG_DBG3;
using Logging::LOG_ERR;
using Logging::LOG_WARN;

constexpr int64_t TicksPerMinute = 60LL * 10'000'000;

// The id of the request's session: its continuation mark's "SessionId", or a new one when the
// mark has none.
GUID GetSessionId(const EkNodePtr& request) {
    const EkNodePtr mark = request.GetChildByName(L"ContinuationMark");
    GUID id{};
    return mark.GetAttribute(L"SessionId", id) ? id : RequestProcessing::NewGuid();
}

// The same attributes with the same types and values, and pairwise equal children.
bool NodesEqual(const EkNodePtr& first, const EkNodePtr& second, std::vector<uint8_t>& scratch1,
                std::vector<uint8_t>& scratch2) {
    const std::vector<std::wstring> names = first.GetAttributeNames();
    if (names.size() != second.GetAttributeNames().size()) {
        return false;
    }
    for (const std::wstring& name : names) {
        uint16_t type1 = 0;
        uint16_t type2 = 0;
        const bool present1 = first.GetRawAttribute(name.c_str(), scratch1, type1);
        const bool present2 = second.GetRawAttribute(name.c_str(), scratch2, type2);
        if (present1 != present2 || type1 != type2 || scratch1 != scratch2) {
            return false;
        }
    }
    const uint64_t count = first.GetChildCount();
    if (count != second.GetChildCount()) {
        return false;
    }
    for (uint64_t i = 0; i < count; ++i) {
        if (!NodesEqual(first.GetChildByIndex(i), second.GetChildByIndex(i), scratch1, scratch2)) {
            return false;
        }
    }
    return true;
}

} // namespace

bool FiltersEqual(const EkNodePtr& prepared, const EkNodePtr& sessionFilters) {
    if (!prepared) {
        return true;
    }
    if (!sessionFilters) {
        return false;
    }
    std::vector<uint8_t> scratch1;
    std::vector<uint8_t> scratch2;
    return NodesEqual(prepared, sessionFilters, scratch1, scratch2);
}

std::wstring GuidText(const GUID& id) {
    wchar_t text[39];
    std::swprintf(text, std::size(text), L"{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                  static_cast<unsigned>(id.Data1), static_cast<unsigned>(id.Data2),
                  static_cast<unsigned>(id.Data3), id.Data4[0], id.Data4[1], id.Data4[2],
                  id.Data4[3], id.Data4[4], id.Data4[5], id.Data4[6], id.Data4[7]);
    return text;
}

SessionsHolder::SessionsHolder(const EkNodePtr& configuration, WallClock clock) : m_clock(clock) {
    TRACE_SCOPE(LOG_DBG3, L"Halyard::SessionsHolder::SessionsHolder");
    m_resolverConfig = std::make_unique<InsertionalStringsResolver>(configuration);
    m_channelPath = configuration.GetString(L"LogChannelName");
    m_sessionTimeLiveInMin = static_cast<uint64_t>(configuration.GetInt64(L"SessionTimeLiveInMin"));
    // Minutes, whatever the name says: stored configurations rely on it.
    const std::chrono::minutes interval(
        static_cast<int32_t>(configuration.GetInt64(L"SessionCheckIntervalInSec")));
    m_timeOutMs = configuration.GetUInt32(L"TimeOutIntervalInSec") * 1000u;
    m_maxSessions = configuration.GetUInt32(L"MaxSessionsCount", DefaultMaxSessions);
    m_sweepAction =
        std::make_unique<CAsyncAction>(interval, interval, [this] { SweepDeadSessions(); });
}

SessionsHolder::~SessionsHolder() {
    TRACE_SCOPE(LOG_DBG3, L"Halyard::SessionsHolder::~SessionsHolder");
    m_sweepAction.reset();
}

void SessionsHolder::AddSession(const EkNodePtr& request, const EkNodePtr& response) {
    TRACE_SCOPE(LOG_DBG3, L"Halyard::SessionsHolder::AddSession");
    EkNodePtr mark;
    IntAddSession(request, mark, nullptr);
    response.AddChild(mark);
}

void SessionsHolder::RemoveSession(const EkNodePtr& request) {
    TRACE_SCOPE(LOG_DBG3, L"Halyard::SessionsHolder::RemoveSession");
    IntRemoveSession(GetSessionId(request));
}

void SessionsHolder::GetSessionEvents(const EkNodePtr& request, const EkNodePtr& response) {
    TRACE_SCOPE(LOG_DBG, L"Halyard::SessionsHolder::GetSessionEvents");
    EkNodePtr pageRequest;
    const std::shared_ptr<Session> session = GetOrCreateSession(request, pageRequest);
    session->GetData(pageRequest, response, m_resolverConfig.get());
    response.GetChildByName(L"Events").SetAttribute(
        L"NewEventsCount", static_cast<int64_t>(session->GetNewEventsCount()));
}

uint64_t SessionsHolder::GetNewEventsCount(const EkNodePtr& request) {
    TRACE_SCOPE(LOG_DBG3, L"Halyard::SessionsHolder::GetNewEventsCount");
    EkNodePtr pageRequest;
    return GetOrCreateSession(request, pageRequest)->GetNewEventsCount();
}

void SessionsHolder::CheckFilters(const EkNodePtr& request) {
    TRACE_SCOPE(LOG_DBG3, L"Halyard::SessionsHolder::CheckFilters");
    Session::SerializeAndCheckFilters(m_channelPath, PrepareFilters(request));
}

void SessionsHolder::GetEventsCount(const EkNodePtr& request, const EkNodePtr& response) {
    TRACE_SCOPE(LOG_DBG3, L"Halyard::SessionsHolder::GetEventsCount");
    Session::CountEventsByLevel(m_channelPath, request.GetChildByName(L"DateFilter", false),
                                m_timeOutMs, response);
}

bool SessionsHolder::IsSessionExist(const GUID& id) {
    TRACE_SCOPE(LOG_DBG3, L"Halyard::SessionsHolder::IsSessionExist");
    const Base::LockGuard lock(m_sessionsLock);
    return m_sessions.contains(id);
}

std::shared_ptr<Session> SessionsHolder::IntAddSession(const EkNodePtr& request, EkNodePtr& markOut,
                                                       const EkNodePtr* prepared) {
    TRACE_SCOPE(LOG_DBG, L"Halyard::SessionsHolder::IntAddSession");
    // A request's filters are prepared once: preparing changes them.
    const EkNodePtr filters = prepared != nullptr ? *prepared : PrepareFilters(request);
    const EkNodePtr mark = request.GetChildByName(L"ContinuationMark");
    const GUID id = GetSessionId(request);
    {
        // Refused before its query and subscription are made; checked again below, as other
        // sessions may be added meanwhile.
        const Base::LockGuard lock(m_sessionsLock);
        RefuseBeyondMaximum(id);
    }
    auto session = std::make_shared<Session>(m_channelPath, filters, mark,
                                             EvtSubscribeToFutureEvents, m_timeOutMs, m_clock);
    {
        const Base::LockGuard lock(m_sessionsLock);
        RefuseBeyondMaximum(id);
        if (IsSessionExist(id)) {
            IntRemoveSession(id);
        }
        m_sessions.emplace(id, session);
        m_refusing = false;
    }
    markOut = mark.CloneNode(EKN_DEPTH_ALL);
    markOut.SetAttribute(L"SessionId", id);
    return session;
}

void SessionsHolder::RefuseBeyondMaximum(const GUID& id) {
    if (m_sessions.size() < m_maxSessions || m_sessions.contains(id)) {
        return;
    }
    if (!m_refusing) {
        const size_t held = m_sessions.size(); // read here, under the lock the caller holds
        LOG_AT(LOG_WARN, L"The component holds " << held
                                                 << L" sessions, its most: new sessions are "
                                                    L"refused until one is removed");
        m_refusing = true;
    }
    RaiseError(HR_TOO_MANY_SESSIONS);
}

void SessionsHolder::IntRemoveSession(const GUID& id) {
    TRACE_SCOPE(LOG_DBG, L"Halyard::SessionsHolder::IntRemoveSession");
    // Declared before the lock: a session that nobody else holds is released after it.
    std::shared_ptr<Session> removed;
    const Base::LockGuard lock(m_sessionsLock);
    const auto found = m_sessions.find(id);
    if (found == m_sessions.end()) {
        RaiseError(HR_NOT_FOUND);
    }
    found->second->Stop();
    removed = std::move(found->second);
    m_sessions.erase(found);
}

void SessionsHolder::CheckDeadSessions() {
    TRACE_SCOPE(LOG_DBG, L"Check dead sessions");
    const Base::LockGuard lock(m_sessionsLock);
    const int64_t now = m_clock();
    std::vector<GUID> dead;
    for (const auto& [id, session] : m_sessions) {
        // Whole minutes, truncated toward zero; a time of use a minute or more ahead (the clock
        // was set back) reads as a huge idle time.
        const auto idle = static_cast<int32_t>((now - session->LastAccess()) / TicksPerMinute);
        if (static_cast<uint64_t>(static_cast<int64_t>(idle)) > m_sessionTimeLiveInMin) {
            dead.push_back(id);
        }
    }
    for (const GUID& id : dead) {
        LOG_AT(LOG_DBG, L"Delete session with id: " << GuidText(id));
        IntRemoveSession(id);
    }
}

void SessionsHolder::SweepDeadSessions() noexcept {
    // A failed sweep is logged and the next one comes on time.
    ComMethodBoundary(FAILURE_LINE(nullptr, L"Remove dead sessions thread has error: "),
                      [this] { CheckDeadSessions(); });
}

std::shared_ptr<Session> SessionsHolder::GetOrCreateSession(const EkNodePtr& request,
                                                            EkNodePtr& pageRequest) {
    const Base::LockGuard lock(m_sessionsLock);
    const GUID id = GetSessionId(request);
    EkNodePtr prepared;
    bool isPrepared = false;
    const auto found = m_sessions.find(id);
    if (found != m_sessions.end()) {
        prepared = PrepareFilters(request);
        isPrepared = true;
        if (FiltersEqual(prepared, found->second->Filters())) {
            pageRequest = request;
            return found->second;
        }
        LOG_AT(LOG_DBG, L"Filters was changed. Need to create.");
    } else {
        LOG_AT(LOG_DBG, L"Session not found. Need to create." << GuidText(id));
    }
    EkNodePtr mark;
    std::shared_ptr<Session> session =
        IntAddSession(request, mark, isPrepared ? &prepared : nullptr);
    // The page is read from the request's attributes and the new session's mark.
    pageRequest = request.CloneNode(0);
    pageRequest.AddChild(mark);
    return session;
}

EkNodePtr SessionsHolder::PrepareFilters(const EkNodePtr& request) const {
    const EkNodePtr filters = request.GetChildByName(L"Filters", false);
    if (!filters) {
        return filters;
    }
    EkNodePtr plan;
    EkNodePtr item;
    std::wstring type;
    ForEachChild(filters, [&](const EkNodePtr& child) {
        child.GetNodeType(type);
        if (type == L"MonitoringPlanFilter") {
            plan = child;
        } else if (type == L"ItemFilter") {
            item = child;
        }
    });
    bool moveItems = static_cast<bool>(item);
    if (plan) {
        // Events of the providers to skip carry no plan names: they never match a plan filter.
        // With no provider to skip there is nothing to suppress (an empty provider list would
        // make the query invalid).
        const std::vector<std::wstring> skipped = m_resolverConfig->GetProvidersToSkip();
        if (!skipped.empty()) {
            const EkNodePtr suppress = EkNodePtr::CreateNode(nullptr, L"SuppressProviderFilter");
            suppress.SetAttribute(L"Providers", skipped);
            filters.AddChild(suppress);
        }
        if (item) {
            // Item names that are also plan names cannot stay in the query: the items move to the
            // page's manual filter.
            std::vector<std::wstring> plans;
            std::vector<std::wstring> items;
            plan.GetAttribute(L"MonitoringPlans", plans);
            item.GetAttribute(L"Items", items);
            const std::set<std::wstring> planSet(plans.begin(), plans.end());
            moveItems = std::any_of(items.begin(), items.end(), [&](const std::wstring& name) {
                return planSet.contains(name);
            });
        }
    }
    if (moveItems) {
        std::vector<uint8_t> scratch;
        CopyAttribute(L"Items", item, L"ManualItems", filters, scratch, nullptr, true);
        filters.RemoveChild(item);
    }
    return filters;
}

} // namespace Halyard
