// Reference counting for the framework's objects: an atomic count and the base slots, and the
// owning pointer that releases on every path.
#pragma once

#include "Base/ComPtr.h"
#include "Trellis/Trellis.h"

#include <atomic>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <utility>

namespace Trellis {

// Implements the three base slots of `Interface` for the concrete class `Derived`, which answers
// IID_Base and the interfaces listed by its static member function Interfaces(). Objects start
// with one reference, owned by whoever created them; the last Release destroys the object.
template <typename Derived, typename Interface>
class RefCounted : public Interface {
public:
    uint32_t HALYARD_CALL AddRef() noexcept override {
        return m_refs.fetch_add(1, std::memory_order_relaxed) + 1;
    }

    uint32_t HALYARD_CALL Release() noexcept override {
        const uint32_t left = m_refs.fetch_sub(1, std::memory_order_acq_rel) - 1;
        if (left == 0) {
            std::unique_ptr<Derived> last(static_cast<Derived*>(this));
        }
        return left;
    }

    HRESULT HALYARD_CALL QueryInterface(const GUID* iid, void** object) noexcept override {
        if (iid == nullptr || object == nullptr) {
            return E_INVALIDARG;
        }
        *object = nullptr;
        bool known = IsEqualGUID(*iid, Halyard::Interfaces::IID_Base);
        for (const GUID& candidate : Derived::Interfaces()) {
            known = known || IsEqualGUID(*iid, candidate);
        }
        if (!known) {
            return E_NOINTERFACE;
        }
        AddRef();
        *object = static_cast<Interface*>(this);
        return S_OK;
    }

protected:
    RefCounted() = default;
    ~RefCounted() = default;

private:
    std::atomic<uint32_t> m_refs{1};
};

// Owns one reference to a framework object.
template <typename T>
using Ref = Base::ComPtr<T>;

} // namespace Trellis
