#include "Handles.h"
#include "Base/Mutex.h"

namespace PalEventLog {

// A handle's bits: the tag (4 bits), the kind (4), the slot's generation (24) and the slot (32).
namespace {
constexpr uint64_t kTag = 0xEull << 60;
constexpr uint64_t kTagMask = 0xFull << 60;
constexpr int kKindShift = 56;
constexpr uint32_t kGenerationMask = 0xFFFFFF;
static_assert(static_cast<unsigned>(HandleKind::ClassicSource) < 16);
} // namespace

HandleKind EventLogHandleTable::KindOf(EVT_HANDLE handle) noexcept {
    const auto value = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(handle));
    if ((value & kTagMask) != kTag) {
        return HandleKind::Free;
    }
    return static_cast<HandleKind>((value >> kKindShift) & 0xF);
}

EVT_HANDLE EventLogHandleTable::Encode(uint32_t slot) const {
    const uint64_t value =
        kTag | static_cast<uint64_t>(m_slots[slot].kind) << kKindShift |
        (static_cast<uint64_t>(m_slots[slot].generation & kGenerationMask) << 32) | slot;
    return reinterpret_cast<EVT_HANDLE>(static_cast<uintptr_t>(value));
}

bool EventLogHandleTable::Decode(EVT_HANDLE handle, uint32_t& slot) const {
    const auto value = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(handle));
    if ((value & kTagMask) != kTag) {
        return false;
    }
    slot = static_cast<uint32_t>(value);
    const auto generation = static_cast<uint32_t>(value >> 32) & kGenerationMask;
    return slot < m_slots.size() && m_slots[slot].kind != HandleKind::Free &&
           m_slots[slot].kind == KindOf(handle) &&
           (m_slots[slot].generation & kGenerationMask) == generation;
}

uint32_t EventLogHandleTable::Allocate() {
    if (!m_free.empty()) {
        const uint32_t slot = m_free.back();
        m_free.pop_back();
        return slot;
    }
    m_slots.emplace_back();
    return static_cast<uint32_t>(m_slots.size() - 1);
}

EVT_HANDLE EventLogHandleTable::Add(HandleKind kind, std::shared_ptr<HandleObject> object) {
    Base::LockGuard lock(m_mutex);
    m_free.reserve(m_slots.size() + 1); // so that Close never allocates
    const uint32_t slot = Allocate();
    m_slots[slot].kind = kind;
    m_slots[slot].object = std::move(object);
    ++m_open;
    return Encode(slot);
}

EVT_HANDLE EventLogHandleTable::AddEvent(EVT_HANDLE owner, Channel* channel, uint32_t index) {
    Base::LockGuard lock(m_mutex);
    uint32_t ownerSlot = 0;
    if (!Decode(owner, ownerSlot)) {
        return nullptr;
    }
    m_free.reserve(m_slots.size() + 1);
    const uint32_t slot = Allocate();
    Slot& s = m_slots[slot];
    s.kind = HandleKind::Event;
    s.event = EventRef{channel, index, ownerSlot, m_slots[ownerSlot].generation};
    ++m_open;
    return Encode(slot);
}

std::shared_ptr<HandleObject> EventLogHandleTable::Get(EVT_HANDLE handle, HandleKind kind) const {
    Base::LockGuard lock(m_mutex);
    uint32_t slot = 0;
    if (!Decode(handle, slot) || m_slots[slot].kind != kind) {
        return nullptr;
    }
    return m_slots[slot].object;
}

bool EventLogHandleTable::GetEvent(EVT_HANDLE handle, EventRef& event,
                                   std::shared_ptr<EventHandleOwner>& owner) const {
    Base::LockGuard lock(m_mutex);
    uint32_t slot = 0;
    if (!Decode(handle, slot) || m_slots[slot].kind != HandleKind::Event) {
        return false;
    }
    const EventRef& ref = m_slots[slot].event;
    const Slot& ownerSlot = m_slots[ref.ownerSlot];
    if (ownerSlot.kind == HandleKind::Free || ownerSlot.generation != ref.ownerGeneration) {
        return false; // the result set that handed it out is closed
    }
    event = ref;
    owner = std::static_pointer_cast<EventHandleOwner>(ownerSlot.object);
    return owner != nullptr;
}

bool EventLogHandleTable::Close(EVT_HANDLE handle) {
    std::shared_ptr<HandleObject> released;
    {
        Base::LockGuard lock(m_mutex);
        uint32_t slot = 0;
        if (!Decode(handle, slot)) {
            return false;
        }
        Slot& s = m_slots[slot];
        released = std::move(s.object);
        s.kind = HandleKind::Free;
        ++s.generation;
        m_free.push_back(slot);
        --m_open;
    }
    return true; // `released` is destroyed outside the lock
}

size_t EventLogHandleTable::OpenCount() const {
    Base::LockGuard lock(m_mutex);
    return m_open;
}

EventLogHandleTable& EventLogHandles() {
    static EventLogHandleTable table;
    return table;
}

} // namespace PalEventLog
