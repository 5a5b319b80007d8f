#include "Node.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>

namespace Quarry {

namespace {

constexpr size_t kUnitBytes = sizeof(EKNCHAR);
// First sizes that hold a node of a dozen or so attributes without growing.
constexpr size_t kFirstEntries = 16;
constexpr size_t kFirstUnits = 256;
// Replaced values are reclaimed once they make up half of a buffer at least this large.
constexpr size_t kCompactUnits = 512;

size_t UnitsFor(size_t bytes) noexcept {
    return (bytes + kUnitBytes - 1) / kUnitBytes;
}

} // namespace

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
        if (entry.nameUnits == name.size() &&
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
    Reserve(name.size() + UnitsFor(image.size()));
    // Nothing below allocates: the attribute is added whole or not at all.
    const auto nameOffset = static_cast<uint32_t>(m_units.size());
    m_units.insert(m_units.end(), name.begin(), name.end());
    const uint32_t imageOffset = AppendImage(image);
    m_entries.push_back(Entry{nameOffset, static_cast<uint32_t>(name.size()), imageOffset,
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
        auto candidate = node.lock.load();
        candidate->mutex.lock();
        if (node.lock.Holds(candidate.get())) {
            m_lock = std::move(candidate);
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
