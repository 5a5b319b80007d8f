#include "ModuleHost.h"

namespace HalyardHost {

int CloseSharedLibrary(void* handle) noexcept {
    return FreeLibrary(static_cast<HMODULE>(handle));
}

SharedLibrary::SharedLibrary(const std::string& path, std::string& error)
    : m_handle(LoadLibraryA(path.c_str())) {
    if (!m_handle) {
        error = "cannot load " + path + ": error " + std::to_string(GetLastError());
    }
}

void* SharedLibrary::Symbol(const char* name) const noexcept {
    return m_handle
               ? reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(m_handle.Get()), name))
               : nullptr;
}

std::string ModuleBesideProgram() {
    char path[MAX_PATH] = {};
    const DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
    const std::string self(path, length);
    return self.substr(0, self.find_last_of("\\/") + 1) + "Corvane.dll";
}

} // namespace HalyardHost
