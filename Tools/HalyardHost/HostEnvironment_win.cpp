#include "HostEnvironment.h"

#include <cstdlib>

namespace HalyardHost {

void SetEnvironment(const char* name, const std::string& value) {
    _putenv_s(name, value.c_str());
}

} // namespace HalyardHost
