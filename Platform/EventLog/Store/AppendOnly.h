// A sequence that one writer at a time appends to while any number of readers read it without a
// lock. Its elements live in chunks that never move (chunk k holds kFirst << k elements, so an
// index finds its chunk from its bit width), after the vector an empty sequence may adopt as its
// first elements (a file's events, loaded at once), and the count that readers see is published
// after the elements below it are complete: a reader that reads below a count it loaded reads whole
// elements, however the writer goes on. Published elements are not changed again, except while
// the writer alone holds the sequence (loading a store before it is shared).
#pragma once

#include <sys/mman.h>

#if defined(__SANITIZE_ADDRESS__)
#define PAL_APPEND_ONLY_LEAK_CHECKED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define PAL_APPEND_ONLY_LEAK_CHECKED 1
#endif
#endif
#ifdef PAL_APPEND_ONLY_LEAK_CHECKED
#include <sanitizer/lsan_interface.h>
#endif

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <memory>
#include <new>
#include <type_traits>
#include <utility>
#include <vector>

namespace PalEventLog {

template <class T, unsigned FirstBits = 6>
class AppendOnlyVector {
    static constexpr size_t kFirst = size_t{1} << FirstBits;
    static constexpr size_t kChunks = 64 - FirstBits;

public:
    template <bool Const>
    class Iterator {
    public:
        using iterator_category = std::random_access_iterator_tag;
        using value_type = T;
        using difference_type = std::ptrdiff_t;
        using reference = std::conditional_t<Const, const T&, T&>;
        using pointer = std::conditional_t<Const, const T*, T*>;
        using Owner = std::conditional_t<Const, const AppendOnlyVector, AppendOnlyVector>;

        Iterator() noexcept = default;
        Iterator(Owner* owner, size_t index) noexcept : m_owner(owner), m_index(index) {}
        operator Iterator<true>() const noexcept { return {m_owner, m_index}; }

        reference operator*() const noexcept { return (*m_owner)[m_index]; }
        pointer operator->() const noexcept { return &(*m_owner)[m_index]; }
        reference operator[](difference_type n) const noexcept {
            return (*m_owner)[m_index + static_cast<size_t>(n)];
        }
        Iterator& operator++() noexcept {
            ++m_index;
            return *this;
        }
        Iterator operator++(int) noexcept { return {m_owner, m_index++}; }
        Iterator& operator--() noexcept {
            --m_index;
            return *this;
        }
        Iterator operator--(int) noexcept { return {m_owner, m_index--}; }
        Iterator& operator+=(difference_type n) noexcept {
            m_index += static_cast<size_t>(n);
            return *this;
        }
        Iterator& operator-=(difference_type n) noexcept {
            m_index -= static_cast<size_t>(n);
            return *this;
        }
        friend Iterator operator+(Iterator it, difference_type n) noexcept { return it += n; }
        friend Iterator operator+(difference_type n, Iterator it) noexcept { return it += n; }
        friend Iterator operator-(Iterator it, difference_type n) noexcept { return it -= n; }
        friend difference_type operator-(const Iterator& a, const Iterator& b) noexcept {
            return static_cast<difference_type>(a.m_index) -
                   static_cast<difference_type>(b.m_index);
        }
        friend bool operator==(const Iterator& a, const Iterator& b) noexcept {
            return a.m_index == b.m_index;
        }
        friend auto operator<=>(const Iterator& a, const Iterator& b) noexcept {
            return a.m_index <=> b.m_index;
        }

    private:
        Owner* m_owner = nullptr;
        size_t m_index = 0;
    };
    using iterator = Iterator<false>;
    using const_iterator = Iterator<true>;
    using value_type = T;

    AppendOnlyVector() = default;
    AppendOnlyVector(const AppendOnlyVector&) = delete;
    AppendOnlyVector& operator=(const AppendOnlyVector&) = delete;
    ~AppendOnlyVector() {
        const size_t count = m_size.load(std::memory_order_relaxed);
        if constexpr (!std::is_trivially_destructible_v<T>) {
            for (size_t i = m_base.size(); i < count; ++i) {
                (*this)[i].~T();
            }
        }
        for (size_t k = 0; k < kChunks; ++k) {
            if (T* chunk = m_chunks[k].load(std::memory_order_relaxed)) {
                UnmapChunk(chunk, Capacity(k) * sizeof(T));
            }
        }
    }

    // The published count; a reader reads below it.
    size_t size() const noexcept { return m_size.load(std::memory_order_acquire); }
    bool empty() const noexcept { return size() == 0; }
    const T& operator[](size_t index) const noexcept {
        return const_cast<AppendOnlyVector&>(*this)[index];
    }
    T& operator[](size_t index) noexcept {
        if (index < m_baseSize) {
            return m_baseData[index];
        }
        const auto [chunk, offset] = Locate(index);
        return m_chunks[chunk].load(std::memory_order_relaxed)[offset];
    }
    // The elements from `index` up to `end` that lie next to it in memory: the first and their
    // count (at least one when index < end), for loops over many elements.
    std::pair<const T*, size_t> Run(size_t index, size_t end) const noexcept {
        if (index < m_baseSize) {
            return {m_baseData + index, std::min(end, m_baseSize) - index};
        }
        const auto [chunk, offset] = Locate(index);
        return {m_chunks[chunk].load(std::memory_order_relaxed) + offset,
                std::min(end - index, Capacity(chunk) - offset)};
    }
    // The same downwards: the elements from `index` down to `lowest` that lie next to it, the
    // last of them at the pointer's place and the others before it.
    std::pair<const T*, size_t> RunDown(size_t index, size_t lowest) const noexcept {
        if (index < m_baseSize) {
            return {m_baseData + index, index - lowest + 1};
        }
        const auto [chunk, offset] = Locate(index);
        return {m_chunks[chunk].load(std::memory_order_relaxed) + offset,
                std::min(index - lowest, offset) + 1};
    }
    const T& front() const noexcept { return (*this)[0]; }
    const T& back() const noexcept { return (*this)[size() - 1]; }
    const_iterator begin() const noexcept { return {this, 0}; }
    const_iterator end() const noexcept { return {this, size()}; }
    iterator begin() noexcept { return {this, 0}; }
    iterator end() noexcept { return {this, size()}; }

    // The writer's side: one thread at a time.
    // Takes `values` as the elements of an empty sequence, without copying them.
    void Adopt(std::vector<T>&& values) {
        m_base = std::move(values);
        m_baseData = m_base.data();
        m_baseSize = m_base.size();
        m_size.store(m_baseSize, std::memory_order_release);
    }
    template <class... Args>
    T& emplace_back(Args&&... args) {
        const size_t index = m_size.load(std::memory_order_relaxed);
        T* slot = new (Slot(index)) T(std::forward<Args>(args)...);
        m_size.store(index + 1, std::memory_order_release);
        return *slot;
    }
    void push_back(const T& value) { emplace_back(value); }
    // Appends `count` elements, published together.
    void Append(const T* data, size_t count) {
        const size_t first = m_size.load(std::memory_order_relaxed);
        for (size_t done = 0; done < count;) {
            const auto [chunk, offset] = Locate(first + done);
            const size_t piece = std::min(count - done, Capacity(chunk) - offset);
            std::uninitialized_copy_n(data + done, piece, Slot(first + done));
            done += piece;
        }
        m_size.store(first + count, std::memory_order_release);
    }
    // Appends `count` elements so that they lie next to one another in one chunk (a text read as
    // one view): when the current chunk has less room left, that room is filled with `filler`
    // and they go to the next chunk that holds them. Returns the index of the first.
    size_t AppendContiguous(const T* data, size_t count, const T& filler) {
        size_t first = m_size.load(std::memory_order_relaxed);
        if (count == 0) {
            return first;
        }
        for (auto [chunk, offset] = Locate(first); Capacity(chunk) - offset < count;
             ++chunk, offset = 0) {
            std::uninitialized_fill_n(Slot(first), Capacity(chunk) - offset, filler);
            first += Capacity(chunk) - offset;
        }
        std::uninitialized_copy_n(data, count, Slot(first));
        m_size.store(first + count, std::memory_order_release);
        return first;
    }
    // Copies the elements [from, size()) to the end of `out`.
    void CopyTo(size_t from, std::vector<T>& out) const {
        const size_t count = size();
        out.reserve(out.size() + (count - std::min(from, count)));
        if (from < m_baseSize) {
            out.insert(out.end(), m_baseData + from, m_baseData + m_baseSize);
            from = m_baseSize;
        }
        while (from < count) {
            const auto [chunk, offset] = Locate(from);
            const size_t piece = std::min(count - from, Capacity(chunk) - offset);
            const T* data = m_chunks[chunk].load(std::memory_order_relaxed) + offset;
            out.insert(out.end(), data, data + piece);
            from += piece;
        }
    }

private:
    static constexpr size_t Capacity(size_t chunk) noexcept { return kFirst << chunk; }
    // The chunk of an element past the adopted ones, and its place there.
    std::pair<size_t, size_t> Locate(size_t index) const noexcept {
        const size_t shifted = index - m_baseSize + kFirst;
        // At most the last chunk: the index is past the adopted elements, so `shifted` is at
        // least kFirst, which an optimising compiler cannot see (it warns of a chunk before the
        // first).
        const size_t chunk =
            std::min(static_cast<size_t>(std::bit_width(shifted)) - 1 - FirstBits, kChunks - 1);
        return {chunk, shifted - Capacity(chunk)};
    }
    // The storage of element `index` (not yet published), its chunk allocated when new.
    T* Slot(size_t index) {
        const auto [chunk, offset] = Locate(index);
        T* storage = m_chunks[chunk].load(std::memory_order_relaxed);
        if (storage == nullptr) {
            // From the system rather than the allocator, whose locks readers hold: a writer that
            // needs a new chunk does not wait for a reader pre-empted inside malloc.
            storage = static_cast<T*>(MapChunk(Capacity(chunk) * sizeof(T)));
            // Published to readers by the count stored after it.
            m_chunks[chunk].store(storage, std::memory_order_relaxed);
        }
        return storage + offset;
    }

    // A chunk's memory from the system. The leak checker scans the heap, globals and stacks but
    // not mapped memory, so a chunk is shown to it: the heap memory its elements own (a SID's
    // bytes) would otherwise look leaked while the sequence holds it.
    static void* MapChunk(size_t bytes) {
        void* memory =
            ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (memory == MAP_FAILED) {
            throw std::bad_alloc();
        }
#ifdef PAL_APPEND_ONLY_LEAK_CHECKED
        __lsan_register_root_region(memory, bytes);
#endif
        return memory;
    }
    static void UnmapChunk(void* memory, size_t bytes) noexcept {
#ifdef PAL_APPEND_ONLY_LEAK_CHECKED
        __lsan_unregister_root_region(memory, bytes);
#endif
        ::munmap(memory, bytes);
    }

    std::array<std::atomic<T*>, kChunks> m_chunks{};
    std::atomic<size_t> m_size{0};
    // The adopted elements; set before they are published, constant afterwards.
    std::vector<T> m_base;
    T* m_baseData = nullptr;
    size_t m_baseSize = 0;
};

} // namespace PalEventLog
