// Request plumbing shared by the host family's components: session identifiers, the two forms of
// the paging position, and dispatch of a request by its node name.
#pragma once

#include "ErrorHandling/ErrorHandling.h"
#include "Logging/LogManager.h"
#include "NodeTree/EkNodePtr.h"

#include <string>
#include <unordered_map>

namespace RequestProcessing {

// A new GUID from UuidCreate; the local-only and no-address statuses count as success unless the
// GUID is null; any other status raises its HRESULT form.
GUID NewGuid();

// Makes the two forms of the paging position agree on a request or response node. With a
// "ContinuationMark" child, its "SessionId", "Position" and "Count" are copied to the flat
// "SessionId", "ContinuationMark" and "EventsCount" that the node lacks, and "Position" onto the
// "Events" child as "ContinuationMark". Without one, the child is made from the flat attributes
// (defaults: a new GUID, 0, 1000).
void NormalizePagingPosition(const EkNodePtr& node);

// Writes the "Unknown request: " log line with a dump of the request and raises 0x80040513.
[[noreturn]] void RaiseUnknownRequest(const EkNodePtr& request);

// A table from request node name (compared exactly) to a member handler of the component.
template <typename Component>
using RequestTable =
    std::unordered_map<std::wstring, void (Component::*)(const EkNodePtr&, const EkNodePtr&)>;

// Calls the handler that the request's node name selects.
template <typename Component>
void DispatchRequest(Component& component, const RequestTable<Component>& table,
                     const EkNodePtr& request, const EkNodePtr& response) {
    const auto found = table.find(request.GetNodeName());
    if (found == table.end()) {
        RaiseUnknownRequest(request);
    }
    (component.*(found->second))(request, response);
}

} // namespace RequestProcessing
