#include "Node.h"

#include <algorithm>
#include <cstring>

namespace Quarry {

namespace {

bool SameText(const Text& text, const EKNCHAR* other) noexcept {
    const size_t length = std::char_traits<EKNCHAR>::length(other);
    return text.size() == length &&
           std::char_traits<EKNCHAR>::compare(text.data(), other, length) == 0;
}

} // namespace

Node::Node(Text name_, Text type_, std::shared_ptr<TreeLock> lock_)
    : lock(std::move(lock_)), name(std::move(name_)), type(std::move(type_)) {}

Node::~Node() {
    for (const auto& child : children) {
        child->parent = nullptr;
    }
}

Attribute* Node::FindAttribute(const EKNCHAR* attributeName) noexcept {
    const auto it = std::find_if(attributes.begin(), attributes.end(), [&](const Attribute& a) {
        return SameText(a.name, attributeName);
    });
    return it == attributes.end() ? nullptr : &*it;
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
        if (node.lock.load() == candidate) {
            lock_ = std::move(candidate);
            return;
        }
        // The node moved to another tree while we waited.
        candidate->mutex.unlock();
    }
}

TreeGuard::~TreeGuard() {
    lock_->mutex.unlock();
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
        if (first.lock.load() == a && second.lock.load() == b) {
            first_ = std::move(a);
            second_ = std::move(b);
            return;
        }
        a->mutex.unlock();
        if (a != b) {
            b->mutex.unlock();
        }
    }
}

TwoTreeGuard::~TwoTreeGuard() {
    first_->mutex.unlock();
    if (first_ != second_) {
        second_->mutex.unlock();
    }
}

} // namespace Quarry
