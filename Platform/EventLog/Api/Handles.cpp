#include "PalEventLog/Api/Handles.h"

#include "Base/ThreadObject.h"

namespace PalEventLog {

// A handle's bits: the tag (4 bits), the kind (4), the slot's generation (24), the shard (4) and
// the slot's index in its shard (28).
namespace {
constexpr uint64_t kTag = 0xEull << 60;
constexpr uint64_t kTagMask = 0xFull << 60;
constexpr int kKindShift = 56;
constexpr uint32_t kGenerationMask = 0xFFFFFF;
constexpr int kIndexBits = 28;
constexpr uint32_t kIndexMask = (1u << kIndexBits) - 1;
static_assert(static_cast<unsigned>(HandleKind::ObjectArray) < 16);
} // namespace

HandleKind EventLogHandleTable::KindOf(EVT_HANDLE handle) noexcept {
    const auto value = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(handle));
    if ((value & kTagMask) != kTag) {
        return HandleKind::Free;
    }
    return static_cast<HandleKind>((value >> kKindShift) & 0xF);
}

uint32_t EventLogHandleTable::ShardOf(EVT_HANDLE handle) noexcept {
    const auto value = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(handle));
    if ((value & kTagMask) != kTag) {
        return kShards;
    }
    return static_cast<uint32_t>(value) >> kIndexBits;
}

uint32_t EventLogHandleTable::ThreadShard() noexcept {
    static std::atomic<uint32_t> next{0};
    thread_local const uint32_t shard =
        kFirstThreadShard +
        next.fetch_add(1, std::memory_order_relaxed) % (kShards - kFirstThreadShard);
    return shard;
}

EVT_HANDLE EventLogHandleTable::Shard::Encode(uint32_t shard, uint32_t index) const {
    const uint64_t value =
        kTag | static_cast<uint64_t>(slots[index].kind) << kKindShift |
        (static_cast<uint64_t>(slots[index].generation & kGenerationMask) << 32) |
        static_cast<uint64_t>(shard) << kIndexBits | index;
    return reinterpret_cast<EVT_HANDLE>(static_cast<uintptr_t>(value));
}

bool EventLogHandleTable::Shard::Decode(EVT_HANDLE handle, uint32_t& index) const {
    const auto value = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(handle));
    index = static_cast<uint32_t>(value) & kIndexMask;
    const auto generation = static_cast<uint32_t>(value >> 32) & kGenerationMask;
    return index < slots.size() && slots[index].kind != HandleKind::Free &&
           slots[index].kind == KindOf(handle) &&
           (slots[index].generation & kGenerationMask) == generation;
}

uint32_t EventLogHandleTable::Shard::Allocate() {
    if (!free.empty()) {
        const uint32_t index = free.back();
        free.pop_back();
        return index;
    }
    slots.emplace_back();
    return static_cast<uint32_t>(slots.size() - 1);
}

EVT_HANDLE EventLogHandleTable::Add(HandleKind kind, std::shared_ptr<HandleObject> object) {
    const uint32_t shardIndex = kind == HandleKind::ClassicSource ? kSourceShard : ThreadShard();
    Shard& shard = m_shards[shardIndex];
    const Base::LockGuard lock(shard.lock);
    shard.free.reserve(shard.slots.size() + 1); // so that Close never allocates
    const uint32_t index = shard.Allocate();
    shard.slots[index].kind = kind;
    shard.slots[index].object = std::move(object);
    ++shard.open;
    return shard.Encode(shardIndex, index);
}

EVT_HANDLE EventLogHandleTable::AddEvent(EVT_HANDLE owner, Channel* channel, uint32_t index) {
    const std::pair<Channel*, uint32_t> event(channel, index);
    EVT_HANDLE handle = nullptr;
    return AddEvents(owner, &event, 1, &handle) == 1 ? handle : nullptr;
}

size_t EventLogHandleTable::AddEvents(EVT_HANDLE owner, const std::pair<Channel*, uint32_t>* events,
                                      size_t count, EVT_HANDLE* out) {
    const uint32_t shardIndex = ShardOf(owner);
    if (shardIndex >= kShards) {
        return 0;
    }
    Shard& shard = m_shards[shardIndex];
    const Base::LockGuard lock(shard.lock);
    uint32_t ownerIndex = 0;
    if (!shard.Decode(owner, ownerIndex)) {
        return 0;
    }
    shard.free.reserve(shard.slots.size() + count);
    const uint32_t ownerGeneration = shard.slots[ownerIndex].generation;
    for (size_t i = 0; i < count; ++i) {
        const uint32_t index = shard.Allocate();
        Slot& s = shard.slots[index];
        s.kind = HandleKind::Event;
        s.event = EventRef{events[i].first, events[i].second, ownerIndex, ownerGeneration};
        ++shard.open;
        out[i] = shard.Encode(shardIndex, index);
    }
    return count;
}

std::shared_ptr<HandleObject> EventLogHandleTable::Get(EVT_HANDLE handle, HandleKind kind) const {
    const uint32_t shardIndex = ShardOf(handle);
    if (shardIndex >= kShards) {
        return nullptr;
    }
    const Shard& shard = m_shards[shardIndex];
    const Base::LockGuard lock(shard.lock);
    uint32_t index = 0;
    if (!shard.Decode(handle, index) || shard.slots[index].kind != kind) {
        return nullptr;
    }
    return shard.slots[index].object;
}

const EventLogHandleTable::Slot* EventLogHandleTable::Shard::OwnerOfEvent(EVT_HANDLE handle,
                                                                          EventRef& event) const {
    uint32_t index = 0;
    if (!Decode(handle, index) || slots[index].kind != HandleKind::Event) {
        return nullptr;
    }
    const EventRef& ref = slots[index].event;
    const Slot& owner = slots[ref.ownerSlot];
    if (owner.kind == HandleKind::Free || owner.generation != ref.ownerGeneration ||
        owner.object == nullptr) {
        return nullptr; // the result set that handed it out is closed
    }
    event = ref;
    return &owner;
}

bool EventLogHandleTable::GetEvent(EVT_HANDLE handle, EventRef& event,
                                   std::shared_ptr<EventHandleOwner>& owner) const {
    const uint32_t shardIndex = ShardOf(handle);
    if (shardIndex >= kShards) {
        return false;
    }
    const Shard& shard = m_shards[shardIndex];
    const Base::LockGuard lock(shard.lock);
    const Slot* ownerSlot = shard.OwnerOfEvent(handle, event);
    if (ownerSlot == nullptr) {
        return false;
    }
    owner = std::static_pointer_cast<EventHandleOwner>(ownerSlot->object);
    return true;
}

EventLogHandleTable::Kept* EventLogHandleTable::ThreadKept() noexcept {
    return Base::ThreadObject<Kept>();
}

void EventLogHandleTable::UseEventOf(const Shard& shard, EVT_HANDLE handle, Kept* kept,
                                     EventInUse& use, std::shared_ptr<Store>& released) {
    const Slot* owner = shard.OwnerOfEvent(handle, use.event);
    if (owner == nullptr) {
        return;
    }
    // Every event handle's owner is a result set or a subscription.
    const std::shared_ptr<Store>& store = static_cast<EventHandleOwner&>(*owner->object).store;
    std::shared_ptr<Store>& holder = kept != nullptr ? kept->store : use.heldStore;
    if (holder != store) {
        released = std::exchange(holder, store);
    }
    use.store = holder.get();
}

void EventLogHandleTable::UseObjectOf(const Shard& shard, EVT_HANDLE handle, HandleKind kind,
                                      Kept* kept, EventInUse& use,
                                      std::shared_ptr<HandleObject>& released) {
    uint32_t index = 0;
    if (!shard.Decode(handle, index) || shard.slots[index].kind != kind) {
        return;
    }
    std::shared_ptr<HandleObject>& holder =
        kept != nullptr ? kept->objects[index % kKeptObjects] : use.heldObject;
    if (holder != shard.slots[index].object) {
        released = std::exchange(holder, shard.slots[index].object);
    }
    use.object = holder.get();
}

void EventLogHandleTable::UseEvent(EVT_HANDLE event, EVT_HANDLE object, HandleKind kind,
                                   EventInUse& use) const {
    use = {};
    Kept* const kept = ThreadKept();
    // What the thread kept before: a store may go with its last reference, so not under a lock.
    std::shared_ptr<Store> releasedStore;
    std::shared_ptr<HandleObject> releasedObject;
    const uint32_t eventShard = ShardOf(event);
    const uint32_t objectShard = object != nullptr ? ShardOf(object) : kShards;
    if (eventShard < kShards) {
        const Shard& shard = m_shards[eventShard];
        const Base::LockGuard lock(shard.lock);
        UseEventOf(shard, event, kept, use, releasedStore);
        if (objectShard == eventShard) {
            UseObjectOf(shard, object, kind, kept, use, releasedObject);
        }
    }
    if (objectShard < kShards && objectShard != eventShard) {
        const Shard& shard = m_shards[objectShard];
        const Base::LockGuard lock(shard.lock);
        UseObjectOf(shard, object, kind, kept, use, releasedObject);
    }
}

bool EventLogHandleTable::Close(EVT_HANDLE handle) {
    const uint32_t shardIndex = ShardOf(handle);
    if (shardIndex >= kShards) {
        return false;
    }
    Shard& shard = m_shards[shardIndex];
    std::shared_ptr<HandleObject> released;
    uint32_t index = 0;
    bool owner = false;
    {
        const Base::LockGuard lock(shard.lock);
        if (!shard.Decode(handle, index)) {
            return false;
        }
        Slot& s = shard.slots[index];
        released = std::move(s.object);
        owner = s.kind == HandleKind::ResultSet || s.kind == HandleKind::Subscription;
        s.kind = HandleKind::Free;
        ++s.generation;
        shard.free.push_back(index);
        --shard.open;
    }
    // What the closing thread keeps of the object for UseEvent goes with it (`released` holds a
    // reference, so none is the last here): the object, or an event owner's store.
    Kept* const kept = released != nullptr ? ThreadKept() : nullptr;
    if (kept != nullptr) {
        if (kept->objects[index % kKeptObjects] == released) {
            kept->objects[index % kKeptObjects].reset();
        }
        if (owner && kept->store == static_cast<EventHandleOwner&>(*released).store) {
            kept->store.reset();
        }
    }
    return true; // `released` is destroyed here, outside the lock
}

size_t EventLogHandleTable::OpenCount() const {
    size_t open = 0;
    for (const Shard& shard : m_shards) {
        const Base::LockGuard lock(shard.lock);
        open += shard.open;
    }
    return open;
}

EventLogHandleTable& EventLogHandles() {
    static EventLogHandleTable table;
    return table;
}

} // namespace PalEventLog
