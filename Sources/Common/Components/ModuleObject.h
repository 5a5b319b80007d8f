// The module object: one per process, never destroyed by reference counting. It keeps the count
// of live components and explicit locks, and the registry of component classes by class GUID.
#pragma once

#include "Base/Mutex.h"
#include "Components/ComponentInterfaces.h"

#include <atomic>
#include <map>

namespace Components {

// Creates a component and queries it for an interface (interface GUID, output).
using ComponentFactory = HRESULT (*)(const GUID* iid, void** object) noexcept;

class CModuleObject final : public Halyard::Interfaces::IModule {
public:
    // The process's module object, created on first use.
    static CModuleObject& Instance();

    // Enters a component class; an earlier entry for the same GUID is replaced.
    void RegisterComponentClass(const GUID& clsid, ComponentFactory factory);

    uint32_t HALYARD_CALL AddRef() noexcept override { return 0xFFFFFFFF; }
    uint32_t HALYARD_CALL Release() noexcept override { return 0xFFFFFFFF; }
    HRESULT HALYARD_CALL QueryInterface(const GUID* iid, void** object) noexcept override;

    HRESULT HALYARD_CALL Initialize() noexcept override { return S_OK; }
    HRESULT HALYARD_CALL DumpAliveObjects() noexcept override;
    uint32_t HALYARD_CALL Lock() noexcept override { return ++m_lockCount; }
    uint32_t HALYARD_CALL Unlock() noexcept override { return --m_lockCount; }
    HRESULT HALYARD_CALL IsLocked(uint32_t* locked) noexcept override;
    HRESULT HALYARD_CALL CreateInstance(const GUID* clsid, const GUID* iid,
                                        void** object) noexcept override;

    uint32_t LockCount() const noexcept { return m_lockCount.load(); }

private:
    CModuleObject() = default;

    struct GuidLess {
        bool operator()(const GUID& a, const GUID& b) const noexcept;
    };

    std::atomic<uint32_t> m_lockCount{0};
    Base::RecursiveMutex m_registryLock;
    std::map<GUID, ComponentFactory, GuidLess> m_registry GUARDED_BY(m_registryLock);
};

// Registers a component class while the module is loaded (a static object per class).
class ClassRegistration {
public:
    ClassRegistration(const GUID& clsid, ComponentFactory factory) noexcept;
};

} // namespace Components
