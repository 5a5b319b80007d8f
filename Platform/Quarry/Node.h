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

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

namespace Quarry {

struct TreeLock {
    std::mutex mutex;
};

// The tree lock a node belongs to, read and replaced under a small mutex of its own. (The
// standard library's atomic shared_ptr keeps its lock in the pointer's bits, which the race
// detector cannot see, so it would report every move of a subtree.)
class TreeLockSlot {
public:
    explicit TreeLockSlot(std::shared_ptr<TreeLock> lock) noexcept : m_lock(std::move(lock)) {}
    TreeLockSlot(const TreeLockSlot&) = delete;
    TreeLockSlot& operator=(const TreeLockSlot&) = delete;

    std::shared_ptr<TreeLock> load() const {
        std::lock_guard guard(m_mutex);
        return m_lock;
    }

    void store(std::shared_ptr<TreeLock> lock) {
        std::lock_guard guard(m_mutex);
        m_lock.swap(lock); // the old lock is released after the guard
    }

private:
    mutable std::mutex m_mutex;
    std::shared_ptr<TreeLock> m_lock;
};

struct Attribute {
    Text name;
    uint16_t type = EKN_TYPE_NONE;
    Bytes image;
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
    std::vector<Attribute> attributes; // in the order of first setting
    std::vector<std::shared_ptr<Node>> children;

    Attribute* FindAttribute(const EKNCHAR* attributeName) noexcept;
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

// Holds the lock of one node's tree.
class TreeGuard {
public:
    explicit TreeGuard(const Node& node);
    ~TreeGuard();
    TreeGuard(const TreeGuard&) = delete;
    TreeGuard& operator=(const TreeGuard&) = delete;

private:
    std::shared_ptr<TreeLock> lock_;
};

// Holds the locks of two nodes' trees (one lock when they share it), without lock-order
// deadlocks.
class TwoTreeGuard {
public:
    TwoTreeGuard(const Node& first, const Node& second);
    ~TwoTreeGuard();
    TwoTreeGuard(const TwoTreeGuard&) = delete;
    TwoTreeGuard& operator=(const TwoTreeGuard&) = delete;

    const std::shared_ptr<TreeLock>& FirstLock() const noexcept { return first_; }
    const std::shared_ptr<TreeLock>& SecondLock() const noexcept { return second_; }

private:
    std::shared_ptr<TreeLock> first_;
    std::shared_ptr<TreeLock> second_;
};

} // namespace Quarry
