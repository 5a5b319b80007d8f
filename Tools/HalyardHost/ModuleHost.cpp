#include "ModuleHost.h"

#include <cstdio>

namespace HalyardHost {

using namespace Halyard::Interfaces;

ModuleHost::ModuleHost(std::unique_ptr<SharedLibrary> library) noexcept
    : m_library(std::move(library)) {}

std::unique_ptr<ModuleHost> ModuleHost::Load(const std::string& modulePath, std::string& error) {
    auto library = std::make_unique<SharedLibrary>(modulePath, error);
    if (!*library) {
        return nullptr;
    }
    const auto getModule = reinterpret_cast<PFN_GetComponentsModuleObject>(
        library->Symbol("GetComponentsModuleObject"));
    if (getModule == nullptr) {
        error = modulePath + " does not export GetComponentsModuleObject";
        return nullptr;
    }
    auto host = std::make_unique<ModuleHost>(std::move(library));
    HRESULT hr = getModule(&host->m_module);
    if (hr == S_OK) {
        hr = host->m_module->CreateInstance(&CLSID_Corvane, &IID_Configure,
                                            host->m_configure.ReleaseAndGetVoidAddressOf());
    }
    if (hr == S_OK) {
        hr = host->m_configure->QueryInterface(&IID_ProcessRequest,
                                               host->m_process.ReleaseAndGetVoidAddressOf());
    }
    if (hr == S_OK) {
        hr = host->m_configure->QueryInterface(&IID_Shutdown,
                                               host->m_shutdown.ReleaseAndGetVoidAddressOf());
    }
    if (hr != S_OK) {
        char code[16];
        std::snprintf(code, sizeof(code), "0x%08X", static_cast<unsigned>(hr));
        error = "cannot create the component: " + std::string(code);
        return nullptr;
    }
    return host;
}

ModuleHost::~ModuleHost() {
    Shutdown();
    m_shutdown.Reset();
    m_process.Reset();
    m_configure.Reset();
}

HRESULT ModuleHost::Configure(const EkNodePtr& config) const noexcept {
    return m_configure->Configure(config.Get());
}

HRESULT ModuleHost::ProcessRequest(const EkNodePtr& request, EkNodePtr& response) const noexcept {
    void* raw = nullptr;
    const HRESULT hr = m_process->ProcessRequest(request.Get(), &raw);
    if (hr == S_OK) {
        response = EkNodePtr(raw, true);
    }
    return hr;
}

HRESULT ModuleHost::Shutdown() noexcept {
    if (m_shutDown || !m_shutdown) {
        return S_OK;
    }
    m_shutDown = true;
    return m_shutdown->Shutdown();
}

bool ModuleHost::IsLocked() const noexcept {
    uint32_t locked = 0;
    return m_module != nullptr && m_module->IsLocked(&locked) == S_OK && locked != 0;
}

} // namespace HalyardHost
