#include "Node.h"

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

// The locks of trees that are gone, for new trees. Sharded by thread, so that threads that make
// trees at once seldom meet; every lock ever made stays owned here.
class LockPool {
public:
    std::shared_ptr<TreeLock> New() {
        Shard& shard = m_shards[ShardIndex()];
        TreeLock* lock = nullptr;
        {
            const Base::LockGuard guard(shard.mutex);
            if (shard.free != nullptr) {
                lock = std::exchange(shard.free, shard.free->nextFree);
            } else {
                shard.all.push_back(std::make_unique<TreeLock>());
                lock = shard.all.back().get();
            }
        }
        // Should the reference fail to be made, the lock goes back at once.
        return std::shared_ptr<TreeLock>(lock, [&shard](TreeLock* last) noexcept {
            const Base::LockGuard guard(shard.mutex);
            last->nextFree = std::exchange(shard.free, last);
        });
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

    std::array<Shard, kShards> m_shards;
};

// Never destroyed: nodes may be released from other libraries' static destructors.
LockPool& Pool() {
    alignas(LockPool) static unsigned char storage[sizeof(LockPool)];
    static LockPool* const pool = std::construct_at(reinterpret_cast<LockPool*>(storage));
    return *pool;
}

} // namespace

std::shared_ptr<TreeLock> TreeLock::New() {
    return Pool().New();
}

AttributeRef AttributeStore::At(size_t index) const noexcept {
    const Entry& entry = m_entries[index];
    const EKNCHAR* units = m_units.data();
    return AttributeRef{
        TextView(units + entry.name, entry.nameUnits), entry.type,
        std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(units + entry.image),
                                 entry.imageBytes)};
}

size_t AttributeStore::IndexOf(TextView name) const noexcept {
    for (size_t i = 0; i < m_entries.size(); ++i) {
        const Entry& entry = m_entries[i];
        // The first unit first: most names of a node differ there.
        if (entry.nameUnits == name.size() &&
            (name.empty() || m_units[entry.name] == name.front()) &&
            std::char_traits<EKNCHAR>::compare(m_units.data() + entry.name, name.data(),
                                               name.size()) == 0) {
            return i;
        }
    }
    return m_entries.size();
}

std::optional<AttributeRef> AttributeStore::Find(TextView name) const noexcept {
    const size_t index = IndexOf(name);
    if (index == m_entries.size()) {
        return std::nullopt;
    }
    return At(index);
}

void AttributeStore::Reserve(size_t units) {
    if (m_garbageUnits >= kCompactUnits / 2 && m_garbageUnits * 2 >= m_units.size()) {
        std::vector<EKNCHAR> compact;
        compact.reserve(m_units.size() - m_garbageUnits + units);
        std::vector<Entry> entries = m_entries;
        for (Entry& entry : entries) {
            const size_t name = compact.size();
            compact.insert(compact.end(), m_units.begin() + entry.name,
                           m_units.begin() + entry.name + entry.nameUnits);
            const size_t image = compact.size();
            compact.insert(compact.end(), m_units.begin() + entry.image,
                           m_units.begin() + entry.image + UnitsFor(entry.imageBytes));
            entry.name = static_cast<uint32_t>(name);
            entry.image = static_cast<uint32_t>(image);
        }
        m_units.swap(compact);
        m_entries.swap(entries);
        m_garbageUnits = 0;
    }
    if (m_units.size() + units > std::numeric_limits<uint32_t>::max()) {
        throw std::bad_alloc();
    }
    if (m_units.capacity() == 0) {
        m_units.reserve(std::max(kFirstUnits, units));
    } else if (m_units.size() + units > m_units.capacity()) {
        m_units.reserve(std::max(m_units.capacity() * 2, m_units.size() + units));
    }
}

uint32_t AttributeStore::AppendImage(std::span<const uint8_t> image) {
    const auto offset = static_cast<uint32_t>(m_units.size());
    m_units.resize(m_units.size() + UnitsFor(image.size()), EKNCHAR{});
    if (!image.empty()) {
        std::memcpy(m_units.data() + offset, image.data(), image.size());
    }
    return offset;
}

void AttributeStore::Set(TextView name, uint16_t type, std::span<const uint8_t> image) {
    const size_t index = IndexOf(name);
    if (index < m_entries.size()) {
        Entry& entry = m_entries[index];
        const size_t oldUnits = UnitsFor(entry.imageBytes);
        const size_t newUnits = UnitsFor(image.size());
        if (newUnits <= oldUnits) {
            if (!image.empty()) {
                std::memcpy(m_units.data() + entry.image, image.data(), image.size());
            }
            m_garbageUnits += oldUnits - newUnits;
        } else {
            Reserve(newUnits); // may move every value, but keeps the entries' order
            Entry& moved = m_entries[index];
            moved.image = AppendImage(image);
            m_garbageUnits += oldUnits;
        }
        Entry& updated = m_entries[index];
        updated.imageBytes = static_cast<uint32_t>(image.size());
        updated.type = type;
        return;
    }
    if (m_entries.size() == m_entries.capacity()) {
        m_entries.reserve(std::max(kFirstEntries, m_entries.size() * 2));
    }
    const size_t imageUnits = UnitsFor(image.size());
    Reserve(name.size() + imageUnits);
    // Nothing below allocates: the attribute is added whole or not at all. The name and the
    // image go in with one resize (which zeroes the padding of an odd-sized image).
    const auto nameOffset = static_cast<uint32_t>(m_units.size());
    m_units.resize(m_units.size() + name.size() + imageUnits);
    EKNCHAR* const at = m_units.data() + nameOffset;
    std::copy(name.begin(), name.end(), at);
    if (!image.empty()) {
        std::memcpy(at + name.size(), image.data(), image.size());
    }
    m_entries.push_back(Entry{nameOffset, static_cast<uint32_t>(name.size()),
                              static_cast<uint32_t>(nameOffset + name.size()),
                              static_cast<uint32_t>(image.size()), type});
}

Node::Node(Text nodeName, Text nodeType, std::shared_ptr<TreeLock> treeLock)
    : lock(std::move(treeLock)), name(std::move(nodeName)), type(std::move(nodeType)) {}

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
        path += (*it)->name;
    }
    return path;
}

void Node::AssignLock(const std::shared_ptr<TreeLock>& newLock) noexcept {
    lock.store(newLock);
    for (const auto& child : children) {
        child->AssignLock(newLock);
    }
}

std::shared_ptr<Node> Node::Clone(int32_t depth, const std::shared_ptr<TreeLock>& newLock) const {
    auto copy = std::make_shared<Node>(name, type, newLock);
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

TreeGuard::TreeGuard(const Node& node) {
    for (;;) {
        TreeLock* candidate = node.lock.Raw();
        candidate->mutex.lock();
        if (node.lock.Holds(candidate)) {
            m_lock = candidate;
            return;
        }
        // The node moved to another tree while we waited.
        candidate->mutex.unlock();
    }
}

TreeGuard::~TreeGuard() {
    m_lock->mutex.unlock();
}

TwoTreeGuard::TwoTreeGuard(const Node& first, const Node& second) {
    for (;;) {
        auto a = first.lock.load();
        auto b = second.lock.load();
        if (a == b) {
            a->mutex.lock();
        } else {
            std::lock(a->mutex, b->mutex);
        }
        if (first.lock.Holds(a.get()) && second.lock.Holds(b.get())) {
            m_first = std::move(a);
            m_second = std::move(b);
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
