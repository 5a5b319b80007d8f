#include "HostEnvironment.h"

#include <cstdlib>

namespace HalyardHost {

void SetEnvironment(const char* name, const std::string& value) {
    setenv(name, value.c_str(), 1);
}

} // namespace HalyardHost
