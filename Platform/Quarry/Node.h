// Nodes of the library and the per-tree locks that guard them.
//
// Ownership: a parent holds its children by shared references; a handle (NodeHandle) holds one
// shared reference to its node. A node therefore lives while its parent, and so its tree, or any
// handle holds it. When the last reference to a node goes, its children that handles still hold
// become roots of their own.
//
// Locking: every node points to the lock of its tree; all nodes of a connected tree share one.
// Everything a node holds except its lock pointer (parent, name, type, attributes, children) is
// guarded by that lock. Adding a child moves the child's subtree to the parent's lock, removing
// one gives the detached subtree a new lock, so distinct trees never contend. The pointer itself
// only changes while the old lock is held, and readers re-check it after locking.
#pragma once

#include "Values.h"

#include "Base/Mutex.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

namespace Quarry {

// A tree's lock. Which tree a node belongs to is known only at run time, so the nodes' fields
// cannot name it for the thread-safety analysis; TreeGuard and TwoTreeGuard are the only places
// that take it.
//
// Locks are recycled, never freed: TreeGuard locks the lock it reads from a node without holding
// a reference to it, and when the node has moved to another tree meanwhile (and its old lock has
// gone back to the pool, or on to a new tree), what it locked is still a lock, which it then lets
// go of.
//
// Each lock has a cache line of its own: the locks of trees that different threads work on
// would otherwise share lines, which then pass between cores on every call (two threads paging
// at once each paid a fifth more per event).
struct alignas(64) TreeLock {
    std::mutex mutex;
    // The next free lock while this one is in the pool.
    TreeLock* nextFree = nullptr;

    // A lock for a new tree, from the pool; it goes back to the pool with its last reference.
    static std::shared_ptr<TreeLock> New();
};

// The tree lock a node belongs to, read and replaced under a spin lock of its own (held only to
// copy or swap the pointer, so a waiter never spins long). (The standard library's atomic
// shared_ptr keeps its lock in the pointer's bits, which the race detector cannot see, so it
// would report every move of a subtree.) An atomic copy of the raw pointer lets a thread that
// holds a tree lock check cheaply that the node still belongs to it: the slot changes only while
// its current lock is held.
class TreeLockSlot {
public:
    explicit TreeLockSlot(std::shared_ptr<TreeLock> lock) noexcept
        : m_lock(std::move(lock)), m_raw(m_lock.get()) {}
    TreeLockSlot(const TreeLockSlot&) = delete;
    TreeLockSlot& operator=(const TreeLockSlot&) = delete;

    std::shared_ptr<TreeLock> load() const noexcept EXCLUDES(m_busy) {
        const Base::LockGuard guard(m_busy);
        return m_lock;
    }

    // True when the slot holds `lock`; stable while the caller holds that lock.
    bool Holds(const TreeLock* lock) const noexcept {
        return m_raw.load(std::memory_order_acquire) == lock;
    }

    // The lock the slot holds now, without a reference (see TreeLock).
    TreeLock* Raw() const noexcept { return m_raw.load(std::memory_order_acquire); }

    void store(std::shared_ptr<TreeLock> lock) noexcept EXCLUDES(m_busy) {
        {
            const Base::LockGuard guard(m_busy);
            m_raw.store(lock.get(), std::memory_order_release);
            m_lock.swap(lock);
        }
        // the old lock is released here, after the guard
    }

private:
    mutable Base::SpinLock m_busy;
    std::shared_ptr<TreeLock> m_lock GUARDED_BY(m_busy);
    std::atomic<TreeLock*> m_raw;
};

using TextView = std::basic_string_view<EKNCHAR>;

// One attribute as a node holds it; the views are valid until the node's attributes change.
struct AttributeRef {
    TextView name;
    uint16_t type = EKN_TYPE_NONE;
    std::span<const uint8_t> image;
};

// The attributes of a node in the order of first setting. Names and images share one buffer of
// UTF-16 units beside an index of fixed-size entries, so that a node costs a few allocations
// rather than two per attribute. A value replaced by a shorter one is overwritten in place; a
// longer one is appended and the old bytes are reclaimed when they make up half the buffer.
class AttributeStore {
public:
    class Iterator {
    public:
        Iterator(const AttributeStore& store, size_t index) noexcept
            : m_store(&store), m_index(index) {}
        AttributeRef operator*() const noexcept { return m_store->At(m_index); }
        Iterator& operator++() noexcept {
            ++m_index;
            return *this;
        }
        bool operator!=(const Iterator& other) const noexcept { return m_index != other.m_index; }

    private:
        const AttributeStore* m_store;
        size_t m_index;
    };

    bool empty() const noexcept { return m_entries.empty(); }
    size_t size() const noexcept { return m_entries.size(); }
    AttributeRef At(size_t index) const noexcept;
    Iterator begin() const noexcept { return Iterator(*this, 0); }
    Iterator end() const noexcept { return Iterator(*this, m_entries.size()); }

    // The attribute of that name (exact match), or null.
    std::optional<AttributeRef> Find(TextView name) const noexcept;
    // Sets the attribute, replacing an earlier value of that name. Throws std::bad_alloc and then
    // leaves the attributes as they were.
    void Set(TextView name, uint16_t type, std::span<const uint8_t> image);

private:
    struct Entry {
        uint32_t name;      // offset in m_units
        uint32_t nameUnits; // without a NUL
        uint32_t image;     // offset in m_units
        uint32_t imageBytes;
        uint16_t type;
    };

    size_t IndexOf(TextView name) const noexcept;
    // Appends the image at the end of the buffer (padded to whole units); returns its offset.
    uint32_t AppendImage(std::span<const uint8_t> image);
    // Makes room for `units` more units, first dropping the bytes of replaced values when they
    // make up half the buffer.
    void Reserve(size_t units);

    std::vector<Entry> m_entries;
    std::vector<EKNCHAR> m_units;
    size_t m_garbageUnits = 0;
};

class Node : public std::enable_shared_from_this<Node> {
public:
    Node(Text name, Text type, std::shared_ptr<TreeLock> lock);
    Node(const Node&) = delete;
    Node& operator=(const Node&) = delete;
    // Children that survive (held by handles) become roots. Runs under the tree lock.
    ~Node();

    TreeLockSlot lock;

    // Guarded by *lock.
    Node* parent = nullptr;
    Text name;
    Text type;
    AttributeStore attributes;
    std::vector<std::shared_ptr<Node>> children;

    // "\" + the names from the root down, separated by "\".
    Text FullPath() const;
    // Points this node and its descendants at `newLock`; the caller holds the old and new locks.
    void AssignLock(const std::shared_ptr<TreeLock>& newLock) noexcept;
    // A copy of this node and `depth` levels of descendants (EKN_DEPTH_ALL: all) as the root of a
    // new tree with the lock `newLock`. The caller holds this node's tree lock.
    std::shared_ptr<Node> Clone(int32_t depth, const std::shared_ptr<TreeLock>& newLock) const;
};

// What a node handle points to.
struct NodeHandle {
    static constexpr uint32_t kMagic = 0x4E6F6465; // "Node"
    uint32_t magic = kMagic;
    std::shared_ptr<Node> node;
};

// Holds the lock of one node's tree: the one lock taken by a call on a single node.
class TreeGuard {
public:
    explicit TreeGuard(const Node& node);
    ~TreeGuard();
    TreeGuard(const TreeGuard&) = delete;
    TreeGuard& operator=(const TreeGuard&) = delete;

private:
    TreeLock* m_lock = nullptr;
};

// Holds the locks of two nodes' trees (one lock when they share it), without lock-order
// deadlocks.
class TwoTreeGuard {
public:
    TwoTreeGuard(const Node& first, const Node& second);
    ~TwoTreeGuard();
    TwoTreeGuard(const TwoTreeGuard&) = delete;
    TwoTreeGuard& operator=(const TwoTreeGuard&) = delete;

    const std::shared_ptr<TreeLock>& FirstLock() const noexcept { return m_first; }
    const std::shared_ptr<TreeLock>& SecondLock() const noexcept { return m_second; }

private:
    std::shared_ptr<TreeLock> m_first;
    std::shared_ptr<TreeLock> m_second;
};

} // namespace Quarry
