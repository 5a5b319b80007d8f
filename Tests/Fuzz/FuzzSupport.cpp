#include "FuzzSupport.h"

#include "Base/Utf.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace Fuzz {

void CheckFailed(const char* expression, const char* file, int line) {
    std::fprintf(stderr, "%s:%d: property does not hold: %s\n", file, line, expression);
    std::abort();
}

bool IsConversionFailure(int32_t code) {
    return code == static_cast<int32_t>(0x80020005) || code == static_cast<int32_t>(0x8002000A);
}

std::wstring WideText(std::string_view bytes) {
    return Base::WideFromUtf8(bytes);
}

MemoryFile::MemoryFile(const uint8_t* data, size_t size)
    : m_descriptor(::memfd_create("fuzz-input", MFD_CLOEXEC)) {
    FUZZ_CHECK(m_descriptor >= 0);
    for (size_t written = 0; written < size;) {
        const ssize_t n = ::write(m_descriptor, data + written, size - written);
        FUZZ_CHECK(n > 0);
        written += static_cast<size_t>(n);
    }
    m_path = "/proc/" + std::to_string(::getpid()) + "/fd/" + std::to_string(m_descriptor);
}

MemoryFile::~MemoryFile() {
    ::close(m_descriptor);
}

} // namespace Fuzz
