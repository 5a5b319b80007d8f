// A scripted viewing session for people to watch: the channel's publishers, its counts by level,
// a new session, its first page and the next, a step back, a poll for new events after one was
// written, and the release; each request and the gist of each response printed.
#pragma once

#include "ModuleHost.h"

#include <ostream>

namespace HalyardHost {

// Runs the walk; 0 when every request succeeded.
int RunWalk(const ModuleHost& host, std::ostream& out);

} // namespace HalyardHost
