#include "Components/ModuleObject.h"

#include "Base/CFunctionBoundary.h"
#include "Base/Mutex.h"
#include "Components/DbgAliveObjectsTracker.h"
#include "ErrorHandling/ComMethodBoundary.h"

#include <cstring>

namespace Components {

CModuleObject& CModuleObject::Instance() {
    static CModuleObject instance;
    return instance;
}

bool CModuleObject::GuidLess::operator()(const GUID& a, const GUID& b) const noexcept {
    return std::memcmp(&a, &b, sizeof(GUID)) < 0;
}

void CModuleObject::RegisterComponentClass(const GUID& clsid, ComponentFactory factory) {
    Base::LockGuard lock(m_registryLock);
    m_registry[clsid] = factory;
}

HRESULT CModuleObject::QueryInterface(const GUID* iid, void** object) noexcept {
    if (iid == nullptr || object == nullptr) {
        return E_INVALIDARG;
    }
    if (*iid == Halyard::Interfaces::IID_Base || *iid == Halyard::Interfaces::IID_Module) {
        *object = static_cast<Halyard::Interfaces::IModule*>(this);
        return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
}

HRESULT CModuleObject::DumpAliveObjects() noexcept {
    return ComMethodBoundary([] { DbgAliveObjectsTracker::Instance().Dump(); });
}

HRESULT CModuleObject::IsLocked(uint32_t* locked) noexcept {
    if (locked == nullptr) {
        return E_POINTER;
    }
    *locked = m_lockCount.load() != 0 ? 1 : 0;
    return S_OK;
}

HRESULT CModuleObject::CreateInstance(const GUID* clsid, const GUID* iid, void** object) noexcept {
    return ComMethodBoundary([&] {
        if (clsid == nullptr) {
            return E_INVALIDARG;
        }
        ComponentFactory factory = nullptr;
        {
            Base::LockGuard lock(m_registryLock);
            const auto found = m_registry.find(*clsid);
            if (found != m_registry.end()) {
                factory = found->second;
            }
        }
        return factory != nullptr ? factory(iid, object) : REGDB_E_CLASSNOTREG;
    });
}

ClassRegistration::ClassRegistration(const GUID& clsid, ComponentFactory factory) noexcept {
    // Without memory at load the class stays unregistered: CreateInstance reports it.
    Base::CFunctionBoundary(
        [](Base::Thrown) noexcept {},
        [&] { CModuleObject::Instance().RegisterComponentClass(clsid, factory); });
}

} // namespace Components

MODULE_EXPORT HRESULT HALYARD_CALL
GetComponentsModuleObject(Halyard::Interfaces::IModule** module) noexcept {
    if (module == nullptr) {
        return E_INVALIDARG;
    }
    *module = &Components::CModuleObject::Instance();
    return S_OK;
}
