// An owning reference to a reference-counted interface (COM error objects, component interfaces,
// the framework's objects): AddRef on copy, Release on destruction. Works with any type that has
// AddRef and Release.
#pragma once

#include <cstddef>
#include <utility>

namespace Base {

template <typename T>
class ComPtr {
public:
    ComPtr() noexcept = default;
    ComPtr(std::nullptr_t) noexcept {}
    // Takes over a reference the caller already owns.
    static ComPtr Attach(T* raw) noexcept {
        ComPtr p;
        p.m_ptr = raw;
        return p;
    }
    // Adds a reference of its own.
    static ComPtr AddRefTo(T* raw) noexcept {
        if (raw != nullptr) {
            raw->AddRef();
        }
        return Attach(raw);
    }
    ComPtr(const ComPtr& other) noexcept : m_ptr(other.m_ptr) {
        if (m_ptr != nullptr) {
            m_ptr->AddRef();
        }
    }
    ComPtr(ComPtr&& other) noexcept : m_ptr(std::exchange(other.m_ptr, nullptr)) {}
    ComPtr& operator=(ComPtr other) noexcept {
        std::swap(m_ptr, other.m_ptr);
        return *this;
    }
    ~ComPtr() { Reset(); }

    void Reset() noexcept {
        if (T* old = std::exchange(m_ptr, nullptr)) {
            old->Release();
        }
    }
    // Releases the current reference and yields the field for a call that returns a new one.
    T** ReleaseAndGetAddressOf() noexcept {
        Reset();
        return &m_ptr;
    }
    // The same as the void** that QueryInterface-style calls take.
    void** ReleaseAndGetVoidAddressOf() noexcept {
        return reinterpret_cast<void**>(ReleaseAndGetAddressOf());
    }
    [[nodiscard]] T* Detach() noexcept { return std::exchange(m_ptr, nullptr); }
    T* Get() const noexcept { return m_ptr; }
    T* operator->() const noexcept { return m_ptr; }
    explicit operator bool() const noexcept { return m_ptr != nullptr; }

private:
    T* m_ptr = nullptr;
};

} // namespace Base
