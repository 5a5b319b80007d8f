#include "Handles.h"

namespace PalEventLog {

// A handle's bits: the tag (4 bits), the kind (4), the slot's generation (24) and the slot (32).
namespace {
constexpr uint64_t kTag = 0xEull << 60;
constexpr uint64_t kTagMask = 0xFull << 60;
constexpr int kKindShift = 56;
constexpr uint32_t kGenerationMask = 0xFFFFFF;
static_assert(static_cast<unsigned>(HandleKind::ClassicSource) < 16);
} // namespace

HandleKind HandleTable::KindOf(EVT_HANDLE handle) noexcept {
    const auto value = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(handle));
    if ((value & kTagMask) != kTag) {
        return HandleKind::Free;
    }
    return static_cast<HandleKind>((value >> kKindShift) & 0xF);
}

EVT_HANDLE HandleTable::Encode(uint32_t slot) const {
    const uint64_t value =
        kTag | static_cast<uint64_t>(slots_[slot].kind) << kKindShift |
        (static_cast<uint64_t>(slots_[slot].generation & kGenerationMask) << 32) | slot;
    return reinterpret_cast<EVT_HANDLE>(static_cast<uintptr_t>(value));
}

bool HandleTable::Decode(EVT_HANDLE handle, uint32_t& slot) const {
    const auto value = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(handle));
    if ((value & kTagMask) != kTag) {
        return false;
    }
    slot = static_cast<uint32_t>(value);
    const auto generation = static_cast<uint32_t>(value >> 32) & kGenerationMask;
    return slot < slots_.size() && slots_[slot].kind != HandleKind::Free &&
           slots_[slot].kind == KindOf(handle) &&
           (slots_[slot].generation & kGenerationMask) == generation;
}

uint32_t HandleTable::Allocate() {
    if (!free_.empty()) {
        const uint32_t slot = free_.back();
        free_.pop_back();
        return slot;
    }
    slots_.emplace_back();
    return static_cast<uint32_t>(slots_.size() - 1);
}

EVT_HANDLE HandleTable::Add(HandleKind kind, std::shared_ptr<HandleObject> object) {
    std::lock_guard lock(mutex_);
    free_.reserve(slots_.size() + 1); // so that Close never allocates
    const uint32_t slot = Allocate();
    slots_[slot].kind = kind;
    slots_[slot].object = std::move(object);
    ++open_;
    return Encode(slot);
}

EVT_HANDLE HandleTable::AddEvent(EVT_HANDLE owner, Channel* channel, uint32_t index) {
    std::lock_guard lock(mutex_);
    uint32_t ownerSlot = 0;
    if (!Decode(owner, ownerSlot)) {
        return nullptr;
    }
    free_.reserve(slots_.size() + 1);
    const uint32_t slot = Allocate();
    Slot& s = slots_[slot];
    s.kind = HandleKind::Event;
    s.event = EventRef{channel, index, ownerSlot, slots_[ownerSlot].generation};
    ++open_;
    return Encode(slot);
}

size_t HandleTable::AddEvents(EVT_HANDLE owner, const std::pair<Channel*, uint32_t>* events,
                              size_t count, EVT_HANDLE* out) {
    std::lock_guard lock(mutex_);
    uint32_t ownerSlot = 0;
    if (!Decode(owner, ownerSlot)) {
        return 0;
    }
    free_.reserve(slots_.size() + count);
    const uint32_t ownerGeneration = slots_[ownerSlot].generation;
    for (size_t i = 0; i < count; ++i) {
        const uint32_t slot = Allocate();
        Slot& s = slots_[slot];
        s.kind = HandleKind::Event;
        s.event = EventRef{events[i].first, events[i].second, ownerSlot, ownerGeneration};
        ++open_;
        out[i] = Encode(slot);
    }
    return count;
}

std::shared_ptr<HandleObject> HandleTable::Get(EVT_HANDLE handle, HandleKind kind) const {
    std::lock_guard lock(mutex_);
    uint32_t slot = 0;
    if (!Decode(handle, slot) || slots_[slot].kind != kind) {
        return nullptr;
    }
    return slots_[slot].object;
}

bool HandleTable::GetEvent(EVT_HANDLE handle, EventRef& event,
                           std::shared_ptr<EventSource>& owner) const {
    std::lock_guard lock(mutex_);
    uint32_t slot = 0;
    if (!Decode(handle, slot) || slots_[slot].kind != HandleKind::Event) {
        return false;
    }
    const EventRef& ref = slots_[slot].event;
    const Slot& ownerSlot = slots_[ref.ownerSlot];
    if (ownerSlot.kind == HandleKind::Free || ownerSlot.generation != ref.ownerGeneration) {
        return false; // the result set that handed it out is closed
    }
    event = ref;
    owner = std::static_pointer_cast<EventSource>(ownerSlot.object);
    return owner != nullptr;
}

bool HandleTable::Close(EVT_HANDLE handle) {
    std::shared_ptr<HandleObject> released;
    {
        std::lock_guard lock(mutex_);
        uint32_t slot = 0;
        if (!Decode(handle, slot)) {
            return false;
        }
        Slot& s = slots_[slot];
        released = std::move(s.object);
        s.kind = HandleKind::Free;
        ++s.generation;
        free_.push_back(slot);
        --open_;
    }
    return true; // `released` is destroyed outside the lock
}

size_t HandleTable::OpenCount() const {
    std::lock_guard lock(mutex_);
    return open_;
}

HandleTable& Handles() {
    static HandleTable table;
    return table;
}

} // namespace PalEventLog
