#include "ModuleHost.h"

#include <dlfcn.h>
#include <unistd.h>

namespace HalyardHost {

int CloseSharedLibrary(void* handle) noexcept {
    return dlclose(handle);
}

SharedLibrary::SharedLibrary(const std::string& path, std::string& error)
    : m_handle(dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL)) {
    if (!m_handle) {
        const char* reason = dlerror();
        error = reason != nullptr ? reason : "cannot load " + path;
    }
}

void* SharedLibrary::Symbol(const char* name) const noexcept {
    return m_handle ? dlsym(m_handle.Get(), name) : nullptr;
}

std::string ModuleBesideProgram() {
    char path[4096] = {};
    const ssize_t length = readlink("/proc/self/exe", path, sizeof(path) - 1);
    const std::string self(path, length > 0 ? static_cast<size_t>(length) : 0);
    return self.substr(0, self.rfind('/') + 1) + "Corvane.so";
}

} // namespace HalyardHost
