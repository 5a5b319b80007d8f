// Memory for the library's nodes, handles and attribute blocks, recycled per thread. A page of a
// hundred events makes a hundred nodes and frees them together, more than the C library's own
// per-thread cache keeps, so that without this most of them took its slow path.
//
// Each thread keeps the blocks it frees, by size class, up to a bound, and hands them out again;
// a block may be freed by another thread than the one that took it. Blocks above the largest
// class, and every block once the thread's cache has been released at its exit, go straight to
// the C++ allocator.
#pragma once

#include <cstddef>
#include <new>
#include <utility>

namespace Quarry::BlockCache {

// A block of at least `bytes` bytes, aligned as operator new aligns. Throws std::bad_alloc.
void* Allocate(size_t bytes);
// Gives back a block that Allocate returned for the same `bytes`.
void Free(void* block, size_t bytes) noexcept;

// An allocator over the cache, for the shared pointers that own nodes.
template <typename T>
struct Allocator {
    using value_type = T;
    Allocator() noexcept = default;
    template <typename U>
    Allocator(const Allocator<U>&) noexcept {}
    T* allocate(size_t n) { return static_cast<T*>(Allocate(n * sizeof(T))); }
    void deallocate(T* block, size_t n) noexcept { Free(block, n * sizeof(T)); }
    template <typename U>
    bool operator==(const Allocator<U>&) const noexcept {
        return true;
    }
};

// An owned block of bytes from the cache.
class Bytes {
public:
    Bytes() noexcept = default;
    explicit Bytes(size_t size) : m_data(static_cast<std::byte*>(Allocate(size))), m_size(size) {}
    Bytes(Bytes&& other) noexcept
        : m_data(std::exchange(other.m_data, nullptr)), m_size(std::exchange(other.m_size, 0)) {}
    Bytes& operator=(Bytes&& other) noexcept {
        Bytes moved(std::move(other));
        std::swap(m_data, moved.m_data);
        std::swap(m_size, moved.m_size);
        return *this;
    }
    Bytes(const Bytes&) = delete;
    Bytes& operator=(const Bytes&) = delete;
    ~Bytes() {
        if (m_data != nullptr) {
            Free(m_data, m_size);
        }
    }

    std::byte* get() const noexcept { return m_data; }

private:
    std::byte* m_data = nullptr;
    size_t m_size = 0;
};

} // namespace Quarry::BlockCache
