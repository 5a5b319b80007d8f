// The sessions of the component, by session id (the "SessionId" GUID of a request's
// "ContinuationMark"): the only way the request handlers reach sessions. It decides when a request
// needs a new session (none under that id, or other filters), prepares a client's filter set before
// a session or a check sees it, counts events by level, and removes the sessions nobody used for
// the configured number of minutes from a background sweep.
//
// Page reads and polls run on a session outside the holder's lock, on a shared reference: a
// session removed meanwhile (its page read then fails with 0x80047F03) lives until they return.
#pragma once

#include "Base/Mutex.h"
#include "Halyard/Corvane/InsertionalStringsResolver.h"
#include "Halyard/Corvane/Session.h"
#include "Helpers/AsyncAction.h"
#include "NodeTree/EkNodePtr.h"

#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <string>

namespace Halyard {

class SessionsHolder {
public:
    // The most sessions held at once unless configured: far more than the viewers of one machine
    // open, few enough that clients cannot exhaust the Event Log service's subscriptions.
    static constexpr uint32_t DefaultMaxSessions = 1000;

    // Reads the insertion-string resolver and the required keys "LogChannelName",
    // "SessionTimeLiveInMin", "SessionCheckIntervalInSec" (minutes, despite its name; 0 or less:
    // no sweep) and "TimeOutIntervalInSec" of the configuration node, and the optional
    // "MaxSessionsCount" (4; DefaultMaxSessions when absent), then starts the sweep. A missing
    // key throws ERROR_NOT_FOUND. `clock` tells the time of use and of the sweep.
    explicit SessionsHolder(const EkNodePtr& configuration, WallClock clock = &SystemWallClock);
    // Stops and joins the sweep first, then releases every session.
    ~SessionsHolder();
    SessionsHolder(const SessionsHolder&) = delete;
    SessionsHolder& operator=(const SessionsHolder&) = delete;

    // Creates a session from the request (replacing one of the same id) and adds its continuation
    // mark, the request's with "SessionId" set, to the response.
    void AddSession(const EkNodePtr& request, const EkNodePtr& response);
    // Stops and removes the request's session; ERROR_NOT_FOUND when there is none.
    void RemoveSession(const EkNodePtr& request);
    // Serves a page of the request's session into the response (a session is created first when
    // there is none under the id or its filters differ) and sets "NewEventsCount" on the response's
    // "Events".
    void GetSessionEvents(const EkNodePtr& request, const EkNodePtr& response);
    // The new-event count of the request's session, found or created as for a page.
    uint64_t GetNewEventsCount(const EkNodePtr& request);
    // Prepares the request's filter set and checks it against the channel; throws when invalid.
    void CheckFilters(const EkNodePtr& request);
    // Writes the channel's counts by level onto the response, within the request's "DateFilter"
    // child when it has one.
    void GetEventsCount(const EkNodePtr& request, const EkNodePtr& response);

    bool IsSessionExist(const GUID& id);
    // Creates a session from the request with the filter set already prepared (`prepared`; null
    // pointer: prepared here) and stores it under the request's id, stopping and replacing a
    // session of that id. `markOut` receives a full copy of the request's continuation mark with
    // "SessionId" set. A failure leaves the sessions as they were; a new id while the holder
    // holds its most sessions throws 0x80047F04 (logged once until a session is added again).
    std::shared_ptr<Session> IntAddSession(const EkNodePtr& request, EkNodePtr& markOut,
                                           const EkNodePtr* prepared);
    // Stops the session's paged query and drops the holder's reference; ERROR_NOT_FOUND when no
    // session has the id.
    void IntRemoveSession(const GUID& id);
    // The sweep: removes every session idle for more whole minutes than the configured time to
    // live, and every session last used a minute or more in the future. Runs on the sweep's
    // thread; tests call it directly.
    void CheckDeadSessions();

private:
    struct GuidLess {
        bool operator()(const GUID& a, const GUID& b) const noexcept {
            return std::memcmp(&a, &b, sizeof(GUID)) < 0;
        }
    };

    // Throws 0x80047F04 when a session under `id` would be one more than the holder may hold.
    void RefuseBeyondMaximum(const GUID& id) REQUIRES(m_sessionsLock);
    std::shared_ptr<Session> GetOrCreateSession(const EkNodePtr& request, EkNodePtr& pageRequest);
    EkNodePtr PrepareFilters(const EkNodePtr& request) const;
    // The sweep thread's action: CheckDeadSessions with its failures logged.
    void SweepDeadSessions() noexcept;

    uint64_t m_sessionTimeLiveInMin = 0;
    // A Windows critical section: entered again by the operations that the holder's own
    // operations call.
    Base::RecursiveMutex m_sessionsLock;
    std::map<GUID, std::shared_ptr<Session>, GuidLess> m_sessions GUARDED_BY(m_sessionsLock);
    uint32_t m_maxSessions = DefaultMaxSessions;
    // Set by a refusal, cleared when a session is added: one log line per burst of refusals.
    bool m_refusing GUARDED_BY(m_sessionsLock) = false;
    std::unique_ptr<CAsyncAction> m_sweepAction;
    DWORD m_timeOutMs = 0;
    std::wstring m_channelPath;
    std::unique_ptr<InsertionalStringsResolver> m_resolverConfig;
    WallClock m_clock;
};

// Whether a request's prepared filter set matches a session's: true for no prepared set;
// otherwise, below the two top nodes, the same attributes with equal types and values and the
// same number of children, pairwise equal by index. Names and types of nodes are not compared.
bool FiltersEqual(const EkNodePtr& prepared, const EkNodePtr& sessionFilters);

// A session id as log lines show it: 38 characters, upper case, in braces.
std::wstring GuidText(const GUID& id);

} // namespace Halyard
