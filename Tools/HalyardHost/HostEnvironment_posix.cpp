#include "HostEnvironment.h"

#include <malloc.h>

#include <cstdlib>
#include <cstring>

namespace HalyardHost {

void SetEnvironment(const char* name, const std::string& value) {
    setenv(name, value.c_str(), 1);
}

void HideArgument(char* argument) {
    std::memset(argument, '*', std::strlen(argument));
}

void KeepFreedMemoryForReuse() {
    mallopt(M_MMAP_THRESHOLD, 4 * 1024 * 1024);
    mallopt(M_TRIM_THRESHOLD, 8 * 1024 * 1024);
}

} // namespace HalyardHost
