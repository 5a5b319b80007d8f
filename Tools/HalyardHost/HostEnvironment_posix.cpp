#include "HostEnvironment.h"

#include <cstdlib>
#include <cstring>

namespace HalyardHost {

void SetEnvironment(const char* name, const std::string& value) {
    setenv(name, value.c_str(), 1);
}

void HideArgument(char* argument) {
    std::memset(argument, '*', std::strlen(argument));
}

} // namespace HalyardHost
