#include "HostEnvironment.h"

#include <cstdlib>
#include <cstring>

namespace HalyardHost {

void SetEnvironment(const char* name, const std::string& value) {
    _putenv_s(name, value.c_str());
}

// Windows keeps a copy of the command line in the process block, which this does not reach; the
// Windows build serves no HTTP and sends no request with a token, so it is never given one.
void HideArgument(char* argument) {
    std::memset(argument, '*', std::strlen(argument));
}

void KeepFreedMemoryForReuse() {}

} // namespace HalyardHost
