#include "BlockCache.h"

#include <array>

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

// Trivially destructible, so that it stays usable after its owner below is gone.
struct ThreadCache {
    std::array<FreeBlock*, kClasses> free;
    size_t cachedBytes;
    bool registered;
    bool released;
};

thread_local ThreadCache t_cache{};

// Gives the thread's blocks back when the thread ends; made on the first block kept.
struct ThreadCacheOwner {
    bool live = true;
    ~ThreadCacheOwner() {
        for (size_t i = 0; i < kClasses; ++i) {
            while (FreeBlock* block = t_cache.free[i]) {
                t_cache.free[i] = block->next;
                ::operator delete(block);
            }
        }
        t_cache.cachedBytes = 0;
        t_cache.released = true;
    }
};

thread_local ThreadCacheOwner t_owner;

} // namespace

void* Allocate(size_t bytes) {
    const size_t index = bytes == 0 ? 0 : (bytes - 1) / kGranule;
    if (!kRecycle || index >= kClasses) {
        return ::operator new(bytes);
    }
    ThreadCache& cache = t_cache;
    if (FreeBlock* block = cache.free[index]) {
        cache.free[index] = block->next;
        cache.cachedBytes -= (index + 1) * kGranule;
        return block;
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
    ThreadCache& cache = t_cache;
    if (cache.released || cache.cachedBytes + size > kMaxCachedBytes) {
        ::operator delete(block);
        return;
    }
    if (!cache.registered) {
        cache.registered = t_owner.live; // makes the owner, whose end releases the cache
    }
    cache.free[index] = ::new (block) FreeBlock{cache.free[index]};
    cache.cachedBytes += size;
}

} // namespace Quarry::BlockCache
