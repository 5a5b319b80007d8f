// The calling thread's call depth: trace scopes add a level while they are open, and the log
// formatter indents by it.
#pragma once

#include <cstdint>

namespace Logging {

inline int32_t& ThreadCallDepth() noexcept {
    thread_local int32_t depth = 0;
    return depth;
}

} // namespace Logging
