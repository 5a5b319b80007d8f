// The host side of a component module, as the service host has it: the module loaded through its
// one export, one component created through the module interface, configured, serving requests,
// shut down and released. Only the C interfaces of the module are used.
#pragma once

#include "Base/ComPtr.h"
#include "Base/UniqueAny.h"
#include "Components/ComponentInterfaces.h"
#include "NodeTree/EkNodePtr.h"

#include <memory>
#include <string>

namespace HalyardHost {

// Unloads a shared library (dlclose, FreeLibrary).
int CloseSharedLibrary(void* handle) noexcept;

// A loaded shared library; unloaded when destroyed.
class SharedLibrary {
public:
    // Loads the library; on failure the object is empty and `error` says why.
    SharedLibrary(const std::string& path, std::string& error);

    explicit operator bool() const noexcept { return static_cast<bool>(m_handle); }
    // The exported symbol, or null.
    void* Symbol(const char* name) const noexcept;

private:
    Base::UniqueAny<void*, &CloseSharedLibrary> m_handle;
};

// The module's file beside the running program ("Corvane.so", "Corvane.dll").
std::string ModuleBesideProgram();

class ModuleHost {
public:
    // Loads the module and creates the component; null with `error` set on failure.
    static std::unique_ptr<ModuleHost> Load(const std::string& modulePath, std::string& error);
    // Shuts the component down (if not done yet) and releases it before the module is unloaded.
    ~ModuleHost();
    ModuleHost(const ModuleHost&) = delete;
    ModuleHost& operator=(const ModuleHost&) = delete;

    HRESULT Configure(const EkNodePtr& config) const noexcept;
    // Serves one request; on S_OK `response` owns the response tree.
    HRESULT ProcessRequest(const EkNodePtr& request, EkNodePtr& response) const noexcept;
    HRESULT Shutdown() noexcept;
    // 1 while components of the module are alive (the module interface's lock query).
    bool IsLocked() const noexcept;

    // Takes the loaded library; Load does the rest.
    explicit ModuleHost(std::unique_ptr<SharedLibrary> library) noexcept;

private:
    // Declared first, destroyed last: the interfaces below point into the module.
    std::unique_ptr<SharedLibrary> m_library;
    Halyard::Interfaces::IModule* m_module = nullptr; // the module object is not counted
    Base::ComPtr<Halyard::Interfaces::IConfigure> m_configure;
    Base::ComPtr<Halyard::Interfaces::IProcessRequest> m_process;
    Base::ComPtr<Halyard::Interfaces::IShutdown> m_shutdown;
    bool m_shutDown = false;
};

} // namespace HalyardHost
