// Process-wide state of the stand-in that is never destroyed. Other libraries still call in while
// the process exits (the module's logger closes its file, its message modules are freed from
// static destructors), possibly after this library's own static destructors have run; state kept
// in a NoDestructor stays valid until the process is gone.
#pragma once

#include <new>
#include <utility>

namespace Pal {

template <typename T>
class NoDestructor {
public:
    template <typename... Args>
    explicit NoDestructor(Args&&... args) {
        ::new (static_cast<void*>(m_storage)) T(std::forward<Args>(args)...);
    }
    NoDestructor(const NoDestructor&) = delete;
    NoDestructor& operator=(const NoDestructor&) = delete;
    ~NoDestructor() = default;

    T& Get() noexcept { return *std::launder(reinterpret_cast<T*>(m_storage)); }

private:
    alignas(T) unsigned char m_storage[sizeof(T)];
};

} // namespace Pal
