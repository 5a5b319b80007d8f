// Kernel handles of this library: every object that CloseHandle closes (files, and whatever
// other folders add) lives in one checked table. A handle value is never reused, so a closed or
// made-up handle is found missing (ERROR_INVALID_HANDLE) instead of reaching another object.
// Internal to libPalWin32.
#pragma once

#include "PalWin32/NoDestructor.h"

#include "Base/CFunctionBoundary.h"
#include "Base/Mutex.h"
#include "Win32/WinTypes.h"

#include <cstdint>
#include <memory>
#include <unordered_map>

namespace Pal {

// An object that a kernel handle refers to. Duplicated handles share the object; it is
// destroyed when its last handle is closed.
class KernelObject {
public:
    virtual ~KernelObject() = default;
};

class KernelHandleTable {
public:
    // Enters the object under a new handle value; null when the table cannot grow.
    HANDLE Insert(std::shared_ptr<KernelObject> object) noexcept {
        const auto noHandle = [](Base::Thrown) noexcept -> HANDLE { return nullptr; };
        return Base::CFunctionBoundary(noHandle, [&] {
            Base::LockGuard lock(m_mutex);
            // Multiples of 4 from 0x1000 up, as Windows hands out; never -1 or a pseudo handle.
            const auto value = m_next;
            m_objects.emplace(value, std::move(object));
            m_next += 4;
            return reinterpret_cast<HANDLE>(value);
        });
    }

    // The object of a handle, or null for an unknown handle.
    std::shared_ptr<KernelObject> Find(HANDLE handle) const noexcept {
        Base::LockGuard lock(m_mutex);
        const auto it = m_objects.find(reinterpret_cast<uintptr_t>(handle));
        return it == m_objects.end() ? nullptr : it->second;
    }

    // The object of a handle when it is of type T, else null.
    template <typename T>
    std::shared_ptr<T> FindAs(HANDLE handle) const noexcept {
        return std::dynamic_pointer_cast<T>(Find(handle));
    }

    // Removes a handle; false for an unknown one. The object is released outside the lock.
    bool Remove(HANDLE handle) noexcept {
        std::shared_ptr<KernelObject> object;
        {
            Base::LockGuard lock(m_mutex);
            const auto it = m_objects.find(reinterpret_cast<uintptr_t>(handle));
            if (it == m_objects.end()) {
                return false;
            }
            object = std::move(it->second);
            m_objects.erase(it);
        }
        return true;
    }

private:
    mutable Base::Mutex m_mutex;
    uintptr_t m_next GUARDED_BY(m_mutex) = 0x1000;
    std::unordered_map<uintptr_t, std::shared_ptr<KernelObject>> m_objects GUARDED_BY(m_mutex);
};

// The one table of the library: the kernel objects by handle.
inline KernelHandleTable& KernelHandles() noexcept {
    static NoDestructor<KernelHandleTable> table;
    return table.Get();
}

} // namespace Pal
