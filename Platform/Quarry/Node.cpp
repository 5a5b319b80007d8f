#include "Node.h"

#include "Base/Mutex.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstring>
#include <limits>
#include <memory>
#include <mutex>
#include <new>
#include <utility>
#include <vector>

namespace Quarry {

namespace {

constexpr size_t kUnitBytes = sizeof(EKNCHAR);
// First sizes that hold a node of a dozen or so attributes, a message among them, without growing.
constexpr size_t kFirstEntries = 16;
constexpr size_t kFirstUnits = 512;
// Replaced values are reclaimed once they make up half of a buffer at least this large.
constexpr size_t kCompactUnits = 512;

size_t UnitsFor(size_t bytes) noexcept {
    return (bytes + kUnitBytes - 1) / kUnitBytes;
}

// The length and the first two and the last unit of a name: names of one node seldom agree on
// all of them, so that the scan compares the text of the one name that matches.
uint64_t KeyOf(TextView name) noexcept {
    if (name.empty()) {
        return 0;
    }
    const auto unit = [&](size_t i) {
        return static_cast<uint64_t>(static_cast<uint16_t>(name[i]));
    };
    return static_cast<uint64_t>(name.size()) << 48 | unit(0) << 32 |
           (name.size() > 1 ? unit(1) : 0) << 16 | unit(name.size() - 1);
}

// The locks of trees that are gone, for new trees. Sharded by thread, so that threads that make
// trees at once seldom meet; every lock ever made stays owned here.
class LockPool {
public:
    TreeLock* New() {
        TreeLock* lock = std::exchange(t_spare, nullptr);
        if (lock == nullptr) {
            const size_t index = ShardIndex();
            Shard& shard = m_shards[index];
            const Base::LockGuard guard(shard.mutex);
            if (shard.free != nullptr) {
                lock = std::exchange(shard.free, shard.free->nextFree);
            } else {
                shard.all.push_back(std::make_unique<TreeLock>());
                lock = shard.all.back().get();
                lock->shard = static_cast<uint32_t>(index);
            }
        }
        lock->references.store(1, std::memory_order_relaxed);
        return lock;
    }

    void Return(TreeLock* lock) noexcept {
        // The thread's spare first: a node made as a root and then added to a tree (an event
        // added to its page) gives its lock back just before the thread makes the next one.
        if (t_spare == nullptr) {
            t_spare = lock;
            return;
        }
        Shard& shard = m_shards[lock->shard];
        const Base::LockGuard guard(shard.mutex);
        lock->nextFree = std::exchange(shard.free, lock);
    }

private:
    static constexpr size_t kShards = 16;

    struct Shard {
        Base::Mutex mutex;
        TreeLock* free GUARDED_BY(mutex) = nullptr;
        std::vector<std::unique_ptr<TreeLock>> all GUARDED_BY(mutex);
    };

    static size_t ShardIndex() noexcept {
        static std::atomic<size_t> next{0};
        thread_local const size_t index = next.fetch_add(1, std::memory_order_relaxed) % kShards;
        return index;
    }

    // One free lock kept by the thread, outside the shards (a thread that ends leaves its spare
    // unused, still owned by its shard).
    static inline thread_local TreeLock* t_spare = nullptr;

    std::array<Shard, kShards> m_shards;
};

// Never destroyed: nodes may be released from other libraries' static destructors.
LockPool& Pool() {
    alignas(LockPool) static unsigned char storage[sizeof(LockPool)];
    static LockPool* const pool = std::construct_at(reinterpret_cast<LockPool*>(storage));
    return *pool;
}

// Points the slots of `node` and its descendants at `lock`, children before their parent, each
// with a reference of its own taken before the slot is pointed (a moved node may be moved on at
// once); returns how many there are, whose references to the old lock the caller releases.
size_t PointSlotsAt(Node& node, TreeLock* lock) noexcept {
    size_t nodes = 1;
    for (const auto& child : node.children) {
        nodes += PointSlotsAt(*child, lock);
    }
    TreeLock::AddReferences(lock, 1);
    node.lock.Exchange(lock);
    return nodes;
}

} // namespace

#if !defined(_WIN32)
void TreeMutex::LockContended() noexcept {
    // A waiter marks the mutex as waited for whenever it takes it, since it cannot know whether
    // others still wait; the cost is one needless wake-up at most.
    uint32_t state = m_state.exchange(HeldWithWaiters, std::memory_order_acquire);
    while (state != Free) {
        m_state.wait(HeldWithWaiters, std::memory_order_relaxed);
        state = m_state.exchange(HeldWithWaiters, std::memory_order_acquire);
    }
}
#endif

void TreeLock::AddReferences(TreeLock* lock, size_t count) noexcept {
    lock->references.fetch_add(count, std::memory_order_relaxed);
}

void TreeLock::Release(TreeLock* lock, size_t count) noexcept {
    if (lock->references.fetch_sub(count, std::memory_order_acq_rel) == count) {
        Pool().Return(lock);
    }
}

TreeLockRef NewTreeLock() {
    return TreeLockRef(Pool().New());
}

TreeLockRef ShareTreeLock(TreeLock* lock) noexcept {
    TreeLock::AddReferences(lock, 1);
    return TreeLockRef(lock);
}

AttributeStore::AttributeStore(const AttributeStore& other, size_t entryCapacity,
                               size_t unitCapacity, bool compact)
    : m_count(other.m_count), m_entryCapacity(static_cast<uint32_t>(entryCapacity)),
      m_unitCapacity(static_cast<uint32_t>(unitCapacity)), m_keyBits(other.m_keyBits) {
    if (entryCapacity == 0 && unitCapacity == 0) {
        return;
    }
    m_block = BlockCache::Bytes(entryCapacity * sizeof(Entry) + unitCapacity * kUnitBytes);
    Entry* const entries = Entries();
    EKNCHAR* const units = Units();
    if (other.m_count != 0) {
        std::memcpy(entries, other.Entries(), other.m_count * sizeof(Entry));
    }
    if (!compact) {
        if (other.m_units != 0) {
            std::memcpy(units, other.Units(), other.m_units * kUnitBytes);
        }
        m_units = other.m_units;
        m_garbageUnits = other.m_garbageUnits;
        return;
    }
    const EKNCHAR* const from = other.Units();
    uint32_t at = 0;
    for (Entry& entry : std::span(entries, m_count)) {
        std::copy_n(from + entry.name, entry.nameUnits, units + at);
        entry.name = at;
        at += entry.nameUnits;
        const auto imageUnits = static_cast<uint32_t>(UnitsFor(entry.imageBytes));
        std::copy_n(from + entry.image, imageUnits, units + at);
        entry.image = at;
        at += imageUnits;
    }
    m_units = at;
}

AttributeStore::AttributeStore(const AttributeStore& other)
    : AttributeStore(other, other.m_count, other.m_units - other.m_garbageUnits, true) {}

AttributeStore& AttributeStore::operator=(const AttributeStore& other) {
    AttributeStore copy(other);
    Swap(copy);
    return *this;
}

void AttributeStore::Swap(AttributeStore& other) noexcept {
    std::swap(m_block, other.m_block);
    std::swap(m_count, other.m_count);
    std::swap(m_entryCapacity, other.m_entryCapacity);
    std::swap(m_units, other.m_units);
    std::swap(m_unitCapacity, other.m_unitCapacity);
    std::swap(m_garbageUnits, other.m_garbageUnits);
    std::swap(m_keyBits, other.m_keyBits);
}

AttributeRef AttributeStore::At(size_t index) const noexcept {
    const Entry& entry = Entries()[index];
    const EKNCHAR* units = Units();
    return AttributeRef{
        TextView(units + entry.name, entry.nameUnits), entry.type,
        std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(units + entry.image),
                                 entry.imageBytes)};
}

size_t AttributeStore::IndexOf(TextView name, uint64_t key) const noexcept {
    if ((m_keyBits & KeyBit(key)) == 0) {
        return m_count;
    }
    const Entry* const entries = Entries();
    for (size_t i = 0; i < m_count; ++i) {
        const Entry& entry = entries[i];
        if (entry.key == key && entry.nameUnits == name.size() &&
            std::char_traits<EKNCHAR>::compare(Units() + entry.name, name.data(), name.size()) ==
                0) {
            return i;
        }
    }
    return m_count;
}

std::optional<AttributeRef> AttributeStore::Find(TextView name) const noexcept {
    const size_t index = IndexOf(name, KeyOf(name));
    if (index == m_count) {
        return std::nullopt;
    }
    return At(index);
}

void AttributeStore::Reserve(size_t units, size_t entries) {
    const bool compact =
        m_garbageUnits >= kCompactUnits / 2 && size_t{m_garbageUnits} * 2 >= m_units;
    const size_t liveUnits = compact ? m_units - m_garbageUnits : m_units;
    if (liveUnits + units > std::numeric_limits<uint32_t>::max() ||
        m_count + entries > std::numeric_limits<uint32_t>::max()) {
        throw std::bad_alloc();
    }
    const bool unitsFit = liveUnits + units <= m_unitCapacity;
    const bool entriesFit = m_count + entries <= m_entryCapacity;
    if (unitsFit && entriesFit && !compact) {
        return;
    }
    const size_t unitCapacity =
        unitsFit ? m_unitCapacity
                 : std::min<size_t>(
                       std::max({kFirstUnits, size_t{m_unitCapacity} * 2, liveUnits + units}),
                       std::numeric_limits<uint32_t>::max());
    const size_t entryCapacity =
        entriesFit ? m_entryCapacity
                   : std::max({kFirstEntries, size_t{m_entryCapacity} * 2, m_count + entries});
    AttributeStore moved(*this, entryCapacity, unitCapacity, compact);
    Swap(moved);
}

void AttributeStore::Set(TextView name, uint16_t type, std::span<const uint8_t> image) {
    const uint64_t key = KeyOf(name);
    const size_t index = IndexOf(name, key);
    const auto imageUnits = static_cast<uint32_t>(UnitsFor(image.size()));
    if (index < m_count) {
        const size_t oldUnits = UnitsFor(Entries()[index].imageBytes);
        if (imageUnits > oldUnits) {
            Reserve(imageUnits, 0); // may move every value, but keeps the entries' order
            Entries()[index].image = m_units;
            m_units += imageUnits;
        }
        Entry& entry = Entries()[index];
        if (!image.empty()) {
            EKNCHAR* const at = Units() + entry.image;
            at[imageUnits - 1] = 0; // the padding of an odd-sized image
            std::memcpy(at, image.data(), image.size());
        }
        m_garbageUnits +=
            static_cast<uint32_t>(imageUnits > oldUnits ? oldUnits : oldUnits - imageUnits);
        entry.imageBytes = static_cast<uint32_t>(image.size());
        entry.type = type;
        return;
    }
    if (m_count == m_entryCapacity || name.size() + imageUnits > m_unitCapacity - m_units ||
        m_garbageUnits != 0) {
        Reserve(name.size() + imageUnits, 1);
    }
    // Nothing below allocates: the attribute is added whole or not at all.
    const uint32_t nameOffset = m_units;
    EKNCHAR* const at = Units() + nameOffset;
    std::copy(name.begin(), name.end(), at);
    if (!image.empty()) {
        at[name.size() + imageUnits - 1] = 0; // the padding of an odd-sized image
        std::memcpy(at + name.size(), image.data(), image.size());
    }
    m_units += static_cast<uint32_t>(name.size() + imageUnits);
    Entries()[m_count] = Entry{key,
                               nameOffset,
                               static_cast<uint32_t>(name.size()),
                               static_cast<uint32_t>(nameOffset + name.size()),
                               static_cast<uint32_t>(image.size()),
                               type};
    ++m_count;
    m_keyBits |= KeyBit(key);
}

Node::Node(TextView nodeName, TextView nodeType, TreeLockRef treeLock)
    : lock(std::move(treeLock)), texts(nodeName, nodeType) {}

NodeTexts::NodeTexts(TextView name, TextView type) {
    const size_t units = name.size() + type.size();
    if (units > std::numeric_limits<uint32_t>::max()) {
        throw std::bad_alloc();
    }
    EKNCHAR* at = m_inline;
    if (units > kInlineUnits) {
        m_block = BlockCache::Bytes(units * kUnitBytes);
        at = reinterpret_cast<EKNCHAR*>(m_block.get());
    }
    std::copy(name.begin(), name.end(), at);
    std::copy(type.begin(), type.end(), at + name.size());
    m_nameUnits = static_cast<uint32_t>(name.size());
    m_typeUnits = static_cast<uint32_t>(type.size());
}

std::shared_ptr<Node> Node::Make(TextView nodeName, TextView nodeType, TreeLockRef treeLock) {
    return std::allocate_shared<Node>(BlockCache::Allocator<Node>(), nodeName, nodeType,
                                      std::move(treeLock));
}

Node::~Node() {
    for (const auto& child : children) {
        child->parent = nullptr;
    }
}

Text Node::FullPath() const {
    std::vector<const Node*> chain;
    for (const Node* n = this; n != nullptr; n = n->parent) {
        chain.push_back(n);
    }
    Text path;
    for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
        path += EKNCHAR{'\\'};
        path += (*it)->texts.Name();
    }
    return path;
}

void Node::AssignLock(TreeLock* newLock) noexcept {
    // Every node of a subtree belongs to one tree: each slot gives up a reference to the same old
    // lock and takes one to the new. The old lock stays referenced meanwhile (by the caller or
    // by the nodes that stay behind).
    TreeLock* const oldLock = lock.Raw();
    TreeLock::Release(oldLock, PointSlotsAt(*this, newLock));
}

std::shared_ptr<Node> Node::Clone(int32_t depth, TreeLock* newLock) const {
    auto copy = Make(texts.Name(), texts.Type(), ShareTreeLock(newLock));
    copy->attributes = attributes;
    if (depth > 0) {
        const int32_t childDepth = depth == EKN_DEPTH_ALL ? EKN_DEPTH_ALL : depth - 1;
        copy->children.reserve(children.size());
        for (const auto& child : children) {
            auto childCopy = child->Clone(childDepth, newLock);
            childCopy->parent = copy.get();
            copy->children.push_back(std::move(childCopy));
        }
    }
    return copy;
}

TwoTreeGuard::TwoTreeGuard(const Node& first, const Node& second) {
    for (;;) {
        TreeLock* a = first.lock.Raw();
        TreeLock* b = second.lock.Raw();
        if (a == b) {
            a->mutex.lock();
        } else {
            std::lock(a->mutex, b->mutex);
        }
        if (first.lock.Holds(a) && second.lock.Holds(b)) {
            // Held, each is referenced by its node's slot; these references outlast the hold.
            m_first = ShareTreeLock(a);
            m_second = ShareTreeLock(b);
            return;
        }
        a->mutex.unlock();
        if (a != b) {
            b->mutex.unlock();
        }
    }
}

TwoTreeGuard::~TwoTreeGuard() {
    m_first->mutex.unlock();
    if (m_first != m_second) {
        m_second->mutex.unlock();
    }
}

} // namespace Quarry
