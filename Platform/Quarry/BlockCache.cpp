#include "BlockCache.h"

#include "Base/ThreadObject.h"

#include <array>
#include <utility>

namespace Quarry::BlockCache {

namespace {

// Sizes are rounded up to a multiple of kGranule; blocks up to kClasses x kGranule are kept.
constexpr size_t kGranule = 64;
constexpr size_t kClasses = 32;
// What one thread keeps at most: a page's hundred event nodes with their attributes and a little
// more (a host with 64 request threads keeps 16 MB at the most).
constexpr size_t kMaxCachedBytes = 256 * 1024;
// Off in builds with the address sanitizer, which must see every block freed.
constexpr bool kRecycle = QUARRY_RECYCLE_BLOCKS != 0;

struct FreeBlock {
    FreeBlock* next;
};

// The blocks a thread keeps (the thread's ThreadObject), given back when the thread ends.
struct ThreadCache {
    std::array<FreeBlock*, kClasses> free{};
    size_t cachedBytes = 0;

    ThreadCache() noexcept = default;
    ~ThreadCache() {
        for (FreeBlock* block : free) {
            while (block != nullptr) {
                ::operator delete(std::exchange(block, block->next));
            }
        }
    }
    ThreadCache(const ThreadCache&) = delete;
    ThreadCache& operator=(const ThreadCache&) = delete;
};

} // namespace

void* Allocate(size_t bytes) {
    const size_t index = bytes == 0 ? 0 : (bytes - 1) / kGranule;
    if (!kRecycle || index >= kClasses) {
        return ::operator new(bytes);
    }
    if (ThreadCache* const cache = Base::ThreadObject<ThreadCache>()) {
        if (FreeBlock* const block = cache->free[index]) {
            cache->free[index] = block->next;
            cache->cachedBytes -= (index + 1) * kGranule;
            return block;
        }
    }
    return ::operator new((index + 1) * kGranule);
}

void Free(void* block, size_t bytes) noexcept {
    const size_t index = bytes == 0 ? 0 : (bytes - 1) / kGranule;
    if (!kRecycle || index >= kClasses) {
        ::operator delete(block);
        return;
    }
    const size_t size = (index + 1) * kGranule;
    ThreadCache* const cache = Base::ThreadObject<ThreadCache>();
    if (cache == nullptr || cache->cachedBytes + size > kMaxCachedBytes) {
        ::operator delete(block);
        return;
    }
    cache->free[index] = ::new (block) FreeBlock{cache->free[index]};
    cache->cachedBytes += size;
}

} // namespace Quarry::BlockCache
