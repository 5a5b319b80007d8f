// The process environment that the module and the Event Log read on first use, and the command
// line that others see.
#pragma once

#include <string>

namespace HalyardHost {

// Sets an environment variable of this process.
void SetEnvironment(const char* name, const std::string& value);
// Blanks a secret argument where others could read the command line: the process's own argument
// memory, which Linux shows in ps and /proc/PID/cmdline (and which the module's log banner
// reads). Called before the module loads.
void HideArgument(char* argument);
// Lets the allocator keep up to a few megabytes freed at the top of a thread's heap, and serve
// blocks of that size from the heap: each reply of the HTTP server (a page is some 100 KB) would
// otherwise hand its pages back to the system when freed, and take them again for the next (a
// madvise call and page faults a reply, the TLB flushed on every core).
void KeepFreedMemoryForReuse();

} // namespace HalyardHost
