// The process environment that the module and the Event Log read on first use.
#pragma once

#include <string>

namespace HalyardHost {

// Sets an environment variable of this process.
void SetEnvironment(const char* name, const std::string& value);

} // namespace HalyardHost
