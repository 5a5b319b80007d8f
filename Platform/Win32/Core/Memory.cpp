// Local memory: the buffers FormatMessageW and similar functions hand out. Blocks are tracked so
// that LocalFree of a pointer this library did not hand out fails instead of corrupting the heap.
#include "PalSupport/PosixHandles.h"
#include "PalWin32/NoDestructor.h"

#include "Base/CFunctionBoundary.h"
#include "Base/Mutex.h"
#include "Win32/WinBase.h"

#include <cstdlib>
#include <unordered_set>

namespace {

class LocalHeap {
public:
    void* Allocate(UINT flags, SIZE_T bytes) noexcept {
        // Zero-byte requests get a real block, as on Windows.
        const SIZE_T size = bytes == 0 ? 1 : bytes;
        Pal::UniqueMallocBlock block((flags & LMEM_ZEROINIT) != 0 ? std::calloc(1, size)
                                                                  : std::malloc(size));
        if (!block) {
            return nullptr;
        }
        const auto noEntry = [](Base::Thrown) noexcept { return false; };
        const bool entered = Base::CFunctionBoundary(noEntry, [&] {
            Base::LockGuard lock(m_mutex);
            return m_blocks.insert(block.Get()).second;
        });
        return entered ? block.Release() : nullptr;
    }

    bool Free(void* block) noexcept {
        {
            Base::LockGuard lock(m_mutex);
            if (m_blocks.erase(block) == 0) {
                return false;
            }
        }
        std::free(block);
        return true;
    }

private:
    Base::Mutex m_mutex;
    std::unordered_set<void*> m_blocks GUARDED_BY(m_mutex);
};

LocalHeap& Heap() noexcept {
    static Pal::NoDestructor<LocalHeap> heap;
    return heap.Get();
}

} // namespace

HLOCAL WINAPI LocalAlloc(UINT flags, SIZE_T bytes) {
    if ((flags & ~(LMEM_FIXED | LMEM_ZEROINIT)) != 0) {
        // Moveable blocks are not provided on this platform.
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    void* block = Heap().Allocate(flags, bytes);
    if (block == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    }
    return block;
}

HLOCAL WINAPI LocalFree(HLOCAL memory) {
    if (memory == nullptr) {
        return nullptr;
    }
    if (!Heap().Free(memory)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return memory;
    }
    return nullptr;
}
