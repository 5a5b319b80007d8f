// The parser of the XPath subset the query engine evaluates: child and attribute steps, System,
// EventData and UserData, predicates with and/or, the six comparisons with typed literals, band(),
// timediff() and position().
#pragma once

#include "PalEventLog/Query/Syntax.h"

#include <string_view>

namespace PalEventLog {

// Reads a filter selecting events ("*", "Event[...]", "*[System[Level=2]]") into `out`, which
// starts empty. False with the code and a text saying what and where in `error`.
bool ParseFilterXPath(std::wstring_view text, Syntax& out, QueryError& error);

// Reads a path selecting values of an event ("Event/System/Level",
// "Event/EventData/Data[@Name='x']") into `out`, which starts empty.
bool ParseValuePathXPath(std::wstring_view text, Syntax& out, QueryError& error);

// Whether a node of this kind holds a value rather than elements.
bool IsLeaf(NodeKind kind);

} // namespace PalEventLog
