// CComponentObject<T>: a component class T (which implements its interfaces' methods, a
// GetInterface lookup and FinalConstruct/FinalRelease) made a reference-counted object: the base
// slots of every interface, registration with the live-object tracker and the module lock.
#pragma once

#include "Components/DbgAliveObjectsTracker.h"
#include "Components/ModuleObject.h"
#include "ErrorHandling/ComMethodBoundary.h"

#include <atomic>
#include <memory>

namespace Components {

template <typename T>
class CComponentObject final : public T {
public:
    // `tag` names the creator for the live-object tracker (a static text).
    explicit CComponentObject(const char* tag) {
        DbgAliveObjectsTracker::Instance().Add(this, tag);
        CModuleObject::Instance().Lock();
    }

    ~CComponentObject() override {
        DbgAliveObjectsTracker::Instance().Remove(this);
        CModuleObject::Instance().Unlock();
    }

    // The component factory: construct, FinalConstruct, query the interface. The caller receives
    // the creation reference.
    static HRESULT Create(const char* tag, const GUID* iid, void** object) noexcept {
        return ComMethodBoundary([&] {
            auto component = std::make_unique<CComponentObject>(tag);
            const HRESULT constructed = component->FinalConstruct();
            if (FAILED(constructed)) {
                return constructed;
            }
            void* itf = nullptr;
            const HRESULT found = component->Lookup(iid, &itf);
            if (FAILED(found)) {
                // Releasing the creation reference runs FinalRelease and destroys the object.
                component.release()->Release();
                return found;
            }
            if (object == nullptr) {
                component.release()->Release();
                return E_INVALIDARG;
            }
            *object = itf;
            (void)component.release();
            return S_OK;
        });
    }

    uint32_t HALYARD_CALL AddRef() noexcept override { return ++m_references; }

    uint32_t HALYARD_CALL Release() noexcept override {
        const uint32_t remaining = --m_references;
        if (remaining == 0) {
            this->FinalRelease();
            std::unique_ptr<CComponentObject> destroyed(this);
        }
        return remaining;
    }

    HRESULT HALYARD_CALL QueryInterface(const GUID* iid, void** object) noexcept override {
        const HRESULT hr = Lookup(iid, object);
        if (SUCCEEDED(hr)) {
            AddRef();
        }
        return hr;
    }

    uint32_t ReferenceCount() const noexcept { return m_references.load(); }

private:
    HRESULT Lookup(const GUID* iid, void** object) noexcept {
        if (iid == nullptr || object == nullptr) {
            return E_INVALIDARG;
        }
        void* found = this->GetInterface(*iid);
        *object = found;
        return found != nullptr ? S_OK : E_NOINTERFACE;
    }

    std::atomic<uint32_t> m_references{1};
};

} // namespace Components
