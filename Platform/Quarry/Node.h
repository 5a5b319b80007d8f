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

#include "BlockCache.h"
#include "Values.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

namespace Quarry {

#if defined(_WIN32)
// The mutex of a tree's lock. The Windows build runs the library under Wine, for the tests alone;
// its standard library (GCC 12) waits on an atomic without a futex there and can miss a wake-up,
// so it takes the standard mutex.
using TreeMutex = std::mutex;
#else
// The mutex of a tree's lock. Uncontended, as nearly always (distinct trees never contend), it
// takes one atomic operation each way, inline; a waiter sleeps until the holder lets go. Every call
// on a node takes it, and a standard mutex costs a library call and several times the work each
// way.
class TreeMutex {
public:
    void lock() noexcept {
        uint32_t expected = Free;
        if (!m_state.compare_exchange_strong(expected, Held, std::memory_order_acquire,
                                             std::memory_order_relaxed)) {
            LockContended();
        }
    }
    bool try_lock() noexcept {
        uint32_t expected = Free;
        return m_state.compare_exchange_strong(expected, Held, std::memory_order_acquire,
                                               std::memory_order_relaxed);
    }
    void unlock() noexcept {
        if (m_state.exchange(Free, std::memory_order_release) == HeldWithWaiters) {
            m_state.notify_one();
        }
    }

private:
    static constexpr uint32_t Free = 0;
    static constexpr uint32_t Held = 1;
    // Held, and a thread may be waiting: the holder wakes one as it lets go.
    static constexpr uint32_t HeldWithWaiters = 2;

    void LockContended() noexcept;

    std::atomic<uint32_t> m_state{Free};
};
#endif

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
    TreeMutex mutex;
    // One per node of the tree and per TreeLockRef; the last one returns the lock to the pool.
    std::atomic<size_t> references{0};
    // The pool's shard the lock belongs to.
    uint32_t shard = 0;
    // The next free lock while this one is in the pool.
    TreeLock* nextFree = nullptr;

    // Adds `count` references to a lock that the caller knows to be referenced (it holds a
    // reference or the lock itself).
    static void AddReferences(TreeLock* lock, size_t count) noexcept;
    // Drops `count` references; the lock goes back to the pool with the last.
    static void Release(TreeLock* lock, size_t count) noexcept;
};

struct TreeLockRelease {
    void operator()(TreeLock* lock) const noexcept { TreeLock::Release(lock, 1); }
};

// One reference to a tree lock.
using TreeLockRef = std::unique_ptr<TreeLock, TreeLockRelease>;

// A lock for a new tree, from the pool, with one reference.
TreeLockRef NewTreeLock();
// Another reference to a lock the caller holds a reference to, or holds.
TreeLockRef ShareTreeLock(TreeLock* lock) noexcept;

// The tree lock a node belongs to; the slot holds one reference to it. It changes only while the
// current lock is held, so a thread that holds a tree lock can check cheaply that the node still
// belongs to it, and one that holds none reads it to know which lock to take.
class TreeLockSlot {
public:
    explicit TreeLockSlot(TreeLockRef lock) noexcept : m_lock(lock.release()) {}
    TreeLockSlot(const TreeLockSlot&) = delete;
    TreeLockSlot& operator=(const TreeLockSlot&) = delete;
    ~TreeLockSlot() { TreeLock::Release(m_lock.load(std::memory_order_relaxed), 1); }

    // True when the slot holds `lock`; stable while the caller holds that lock.
    bool Holds(const TreeLock* lock) const noexcept {
        return m_lock.load(std::memory_order_acquire) == lock;
    }

    // The lock the slot holds now, without a reference (see TreeLock).
    TreeLock* Raw() const noexcept { return m_lock.load(std::memory_order_acquire); }

    // Points the slot at `lock`, taking over a reference the caller has added; returns the old
    // lock, whose reference the caller releases. The caller holds both locks.
    TreeLock* Exchange(TreeLock* lock) noexcept {
        return m_lock.exchange(lock, std::memory_order_acq_rel);
    }

private:
    std::atomic<TreeLock*> m_lock;
};

using TextView = std::basic_string_view<EKNCHAR>;

// One attribute as a node holds it; the views are valid until the node's attributes change.
struct AttributeRef {
    TextView name;
    uint16_t type = EKN_TYPE_NONE;
    std::span<const uint8_t> image;
};

// The attributes of a node in the order of first setting. Names and images share one buffer of
// UTF-16 units, and that buffer and an index of fixed-size entries share one allocation, so that
// a node's attributes cost one allocation. A value replaced by a shorter one is overwritten in
// place; a longer one is appended and the old bytes are reclaimed when they make up half the
// buffer.
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

    AttributeStore() noexcept = default;
    // A copy holds the values alone, without room to spare or replaced bytes.
    AttributeStore(const AttributeStore& other);
    AttributeStore& operator=(const AttributeStore& other);

    bool empty() const noexcept { return m_count == 0; }
    size_t size() const noexcept { return m_count; }
    AttributeRef At(size_t index) const noexcept;
    Iterator begin() const noexcept { return Iterator(*this, 0); }
    Iterator end() const noexcept { return Iterator(*this, m_count); }

    // The attribute of that name (exact match), or null.
    std::optional<AttributeRef> Find(TextView name) const noexcept;
    // Sets the attribute, replacing an earlier value of that name. Throws std::bad_alloc and then
    // leaves the attributes as they were.
    void Set(TextView name, uint16_t type, std::span<const uint8_t> image);

private:
    struct Entry {
        uint64_t key;       // KeyOf(name): the scan compares names only where keys agree
        uint32_t name;      // offset in the units
        uint32_t nameUnits; // without a NUL
        uint32_t image;     // offset in the units
        uint32_t imageBytes;
        uint16_t type;
    };

    Entry* Entries() const noexcept { return reinterpret_cast<Entry*>(m_block.get()); }
    EKNCHAR* Units() const noexcept {
        return reinterpret_cast<EKNCHAR*>(m_block.get() + m_entryCapacity * sizeof(Entry));
    }
    // The bit of `m_keyBits` that a key sets (the top six bits of a Fibonacci hash).
    static uint64_t KeyBit(uint64_t key) noexcept {
        return uint64_t{1} << (key * 0x9E3779B97F4A7C15u >> 58);
    }
    size_t IndexOf(TextView name, uint64_t key) const noexcept;
    // Makes room for `units` more units and `entries` more entries, first dropping the bytes of
    // replaced values when they make up half the buffer. Keeps the entries' order.
    void Reserve(size_t units, size_t entries);
    // A copy of `other` in an allocation of these capacities (which hold its values); `compact`
    // drops replaced bytes, else every offset stays.
    AttributeStore(const AttributeStore& other, size_t entryCapacity, size_t unitCapacity,
                   bool compact);
    void Swap(AttributeStore& other) noexcept;

    BlockCache::Bytes m_block;
    uint32_t m_count = 0;
    uint32_t m_entryCapacity = 0;
    uint32_t m_units = 0;
    uint32_t m_unitCapacity = 0;
    uint32_t m_garbageUnits = 0;
    // The bits of every name's key: a name whose bit is clear is not there, without a scan.
    uint64_t m_keyBits = 0;
};

// A node's name and type, stored together: inline when short (an event's type), else in a block
// from the cache.
class NodeTexts {
public:
    // Throws std::bad_alloc.
    NodeTexts(TextView name, TextView type);
    NodeTexts(const NodeTexts&) = delete;
    NodeTexts& operator=(const NodeTexts&) = delete;

    TextView Name() const noexcept { return TextView(Data(), m_nameUnits); }
    TextView Type() const noexcept { return TextView(Data() + m_nameUnits, m_typeUnits); }

private:
    static constexpr size_t kInlineUnits = 24;

    const EKNCHAR* Data() const noexcept {
        return m_block.get() != nullptr ? reinterpret_cast<const EKNCHAR*>(m_block.get())
                                        : m_inline;
    }

    BlockCache::Bytes m_block;
    uint32_t m_nameUnits = 0;
    uint32_t m_typeUnits = 0;
    EKNCHAR m_inline[kInlineUnits];
};

class Node : public std::enable_shared_from_this<Node> {
public:
    Node(TextView name, TextView type, TreeLockRef lock);
    // A new node, in memory from the block cache.
    static std::shared_ptr<Node> Make(TextView name, TextView type, TreeLockRef lock);
    Node(const Node&) = delete;
    Node& operator=(const Node&) = delete;
    // Children that survive (held by handles) become roots. Runs under the tree lock.
    ~Node();

    TreeLockSlot lock;

    // Guarded by *lock.
    Node* parent = nullptr;
    const NodeTexts texts;
    AttributeStore attributes;
    std::vector<std::shared_ptr<Node>> children;

    // "\" + the names from the root down, separated by "\".
    Text FullPath() const;
    // Points this node and its descendants at `newLock`. The caller holds the old lock; it need
    // not hold the new one when no other node refers to it yet (a detached subtree's fresh lock):
    // the slots are pointed leaves first, so a thread that reaches a node through the new lock
    // finds the node's whole subtree already moved and its ancestors still under the old lock.
    void AssignLock(TreeLock* newLock) noexcept;
    // A copy of this node and `depth` levels of descendants (EKN_DEPTH_ALL: all) as the root of a
    // new tree with the lock `newLock`. The caller holds this node's tree lock.
    std::shared_ptr<Node> Clone(int32_t depth, TreeLock* newLock) const;
};

// What a node handle points to; its memory comes from the block cache.
struct NodeHandle {
    static void* operator new(size_t size) { return BlockCache::Allocate(size); }
    static void operator delete(void* block, size_t size) noexcept {
        BlockCache::Free(block, size);
    }

    static constexpr uint32_t kMagic = 0x4E6F6465; // "Node"
    uint32_t magic = kMagic;
    std::shared_ptr<Node> node;
};

// Holds the lock of one node's tree: the one lock taken by a call on a single node. Inline, as
// every call on a node takes one.
class TreeGuard {
public:
    explicit TreeGuard(const Node& node) {
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
    ~TreeGuard() { m_lock->mutex.unlock(); }
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

    TreeLock* FirstLock() const noexcept { return m_first.get(); }
    TreeLock* SecondLock() const noexcept { return m_second.get(); }

private:
    // References held while locked: the second lock may lose its nodes' references meanwhile.
    TreeLockRef m_first;
    TreeLockRef m_second;
};

} // namespace Quarry
