// The exported functions of the node library. Each is an exception boundary: allocation failure
// gives E_OUTOFMEMORY, anything else unexpected E_UNEXPECTED.
//
// Handles: every call that hands out a node (create, duplicate, clone, parent and child lookups)
// returns a new handle, also when the node already has one; each must be closed once with
// EknCloseNodeHandle and not used afterwards. Handles of one tree may be used from several
// threads; calls on one tree are serialized by that tree's lock. A handle itself, like a
// serialization context, is used by one thread at a time.
#include "Node.h"
#include "QuarryErrors.h"
#include "Serializer.h"

#include "Base/CFunctionBoundary.h"

#include <algorithm>
#include <cstring>
#include <limits>

using namespace Quarry;

namespace {

// The handle's record, or null for a null handle or one that is not a node handle.
NodeHandle* HandleOf(void* handle) noexcept {
    auto* record = static_cast<NodeHandle*>(handle);
    return record != nullptr && record->magic == NodeHandle::kMagic ? record : nullptr;
}

EKN_HRESULT CheckHandle(void* handle) noexcept {
    if (handle == nullptr) {
        return kInvalidArg;
    }
    return HandleOf(handle) != nullptr ? kOk : kHandle;
}

// kOk when every handle is a live node handle, else the failure of the first that is not.
template <typename... Handles>
EKN_HRESULT CheckHandles(Handles... handles) noexcept {
    EKN_HRESULT hr = kOk;
    ((hr = Failed(hr) ? hr : CheckHandle(handles)), ...);
    return hr;
}

// Runs `use` on the node of a checked handle with its tree locked, inside the C boundary (every
// exception becomes an EKN_HRESULT).
template <typename Use>
EKN_HRESULT WithLockedNode(void* node, Use&& use) {
    return Base::HresultBoundary<EKN_HRESULT>([&] {
        Node& self = *HandleOf(node)->node;
        TreeGuard guard(self);
        return use(self);
    });
}

SerializationContext* ContextOf(void* context) noexcept {
    auto* record = static_cast<SerializationContext*>(context);
    return record != nullptr && record->magic == SerializationContext::kMagic ? record : nullptr;
}

// A new handle to `node`, stored in *out.
void IssueHandle(const std::shared_ptr<Node>& node, void** out) {
    auto handle = std::make_unique<NodeHandle>();
    handle->node = node;
    *out = handle.release();
}

TextView TextOrEmpty(const EKNCHAR* text) noexcept {
    return text != nullptr ? TextView(text) : TextView();
}

// Copies `text` and a NUL into the caller's buffer (sizes in characters with the NUL).
EKN_HRESULT ReturnText(TextView text, EKNCHAR* buffer, uint32_t* size) noexcept {
    if (text.size() >= std::numeric_limits<uint32_t>::max()) {
        return kOverflow;
    }
    const auto needed = static_cast<uint32_t>(text.size() + 1);
    const uint32_t capacity = buffer != nullptr ? *size : 0;
    *size = needed;
    if (needed > capacity) {
        return kInsufficient;
    }
    std::memcpy(buffer, text.data(), text.size() * sizeof(EKNCHAR));
    buffer[text.size()] = 0;
    return kOk;
}

} // namespace

QUARRY_API EKN_HRESULT QUARRY_CALL EknCreateNode(const EKNCHAR* name, const EKNCHAR* type,
                                                 void** node) {
    if (node == nullptr) {
        return kPointer;
    }
    *node = nullptr;
    return Base::HresultBoundary<EKN_HRESULT>([&] {
        IssueHandle(Node::Make(TextOrEmpty(name), TextOrEmpty(type), NewTreeLock()), node);
        return kOk;
    });
}

QUARRY_API EKN_HRESULT QUARRY_CALL EknDuplicateNodeHandle(void* node, void** copy) {
    if (copy == nullptr) {
        return kPointer;
    }
    *copy = nullptr;
    if (const EKN_HRESULT hr = CheckHandle(node); Failed(hr)) {
        return hr;
    }
    return Base::HresultBoundary<EKN_HRESULT>([&] {
        IssueHandle(HandleOf(node)->node, copy);
        return kOk;
    });
}

QUARRY_API EKN_HRESULT QUARRY_CALL EknCloseNodeHandle(void* node) {
    if (const EKN_HRESULT hr = CheckHandle(node); Failed(hr)) {
        return hr;
    }
    return Base::HresultBoundary<EKN_HRESULT>([&] {
        std::unique_ptr<NodeHandle> handle(HandleOf(node));
        handle->magic = 0;
        // The last reference may go here: the node and its unreferenced descendants are then
        // destroyed under the tree lock, which keeps surviving descendants' parent links
        // consistent.
        std::shared_ptr<Node> released = std::move(handle->node);
        TreeGuard guard(*released);
        released.reset();
        return kOk;
    });
}

QUARRY_API EKN_HRESULT QUARRY_CALL EknCloneNode(void* node, int32_t depth, uint32_t /*flags*/,
                                                void** clone) {
    if (clone == nullptr) {
        return kPointer;
    }
    *clone = nullptr;
    if (const EKN_HRESULT hr = CheckHandle(node); Failed(hr)) {
        return hr;
    }
    if (depth < 0) {
        return kInvalidArg;
    }
    return Base::HresultBoundary<EKN_HRESULT>([&] {
        const Node& source = *HandleOf(node)->node;
        const TreeLockRef newLock = NewTreeLock();
        std::shared_ptr<Node> copy;
        {
            TreeGuard guard(source);
            copy = source.Clone(depth, newLock.get());
        }
        IssueHandle(copy, clone);
        return kOk;
    });
}

QUARRY_API EKN_HRESULT QUARRY_CALL EknGetParent(void* node, void** parent) {
    if (parent == nullptr) {
        return kPointer;
    }
    *parent = nullptr;
    if (const EKN_HRESULT hr = CheckHandle(node); Failed(hr)) {
        return hr;
    }
    return WithLockedNode(node, [&](const Node& self) {
        if (self.parent != nullptr) {
            IssueHandle(self.parent->shared_from_this(), parent);
        }
        return kOk;
    });
}

QUARRY_API EKN_HRESULT QUARRY_CALL EknGetChildCount(void* node, uint64_t* count) {
    if (count == nullptr) {
        return kPointer;
    }
    if (const EKN_HRESULT hr = CheckHandle(node); Failed(hr)) {
        return hr;
    }
    return WithLockedNode(node, [&](const Node& self) {
        *count = self.children.size();
        return kOk;
    });
}

QUARRY_API EKN_HRESULT QUARRY_CALL EknGetChildByIndex(void* node, uint64_t index, void** child) {
    if (child == nullptr) {
        return kPointer;
    }
    *child = nullptr;
    if (const EKN_HRESULT hr = CheckHandle(node); Failed(hr)) {
        return hr;
    }
    return WithLockedNode(node, [&](const Node& self) {
        if (index >= self.children.size()) {
            return kNotFound;
        }
        IssueHandle(self.children[static_cast<size_t>(index)], child);
        return kOk;
    });
}

QUARRY_API EKN_HRESULT QUARRY_CALL EknGetChildByName(void* node, const EKNCHAR* name,
                                                     void** child) {
    if (child == nullptr) {
        return kPointer;
    }
    *child = nullptr;
    if (const EKN_HRESULT hr = CheckHandle(node); Failed(hr)) {
        return hr;
    }
    if (name == nullptr) {
        return kInvalidArg;
    }
    return WithLockedNode(node, [&](const Node& self) {
        for (const auto& candidate : self.children) {
            if (candidate->texts.Name() == name) {
                IssueHandle(candidate, child);
                return kOk;
            }
        }
        return kNotFound;
    });
}

QUARRY_API EKN_HRESULT QUARRY_CALL EknAddChild(void* parent, void* child) {
    if (const EKN_HRESULT hr = CheckHandles(parent, child); Failed(hr)) {
        return hr;
    }
    return Base::HresultBoundary<EKN_HRESULT>([&] {
        Node& p = *HandleOf(parent)->node;
        const std::shared_ptr<Node>& c = HandleOf(child)->node;
        TwoTreeGuard guard(p, *c);
        if (c->parent != nullptr) {
            return kInvalidArg; // already someone's child
        }
        for (const Node* ancestor = &p; ancestor != nullptr; ancestor = ancestor->parent) {
            if (ancestor == c.get()) {
                return kInvalidArg; // would make a cycle
            }
        }
        p.children.push_back(c);
        c->parent = &p;
        if (guard.FirstLock() != guard.SecondLock()) {
            c->AssignLock(guard.FirstLock());
        }
        return kOk;
    });
}

QUARRY_API EKN_HRESULT QUARRY_CALL EknRemoveChild(void* parent, void* child) {
    if (const EKN_HRESULT hr = CheckHandles(parent, child); Failed(hr)) {
        return hr;
    }
    return Base::HresultBoundary<EKN_HRESULT>([&] {
        Node& p = *HandleOf(parent)->node;
        const std::shared_ptr<Node>& c = HandleOf(child)->node;
        const TreeLockRef newLock = NewTreeLock();
        TreeGuard guard(p);
        // Only p's own list is consulted: c's fields may be read only once c is known to be in
        // this tree.
        const auto it = std::find(p.children.begin(), p.children.end(), c);
        if (it == p.children.end()) {
            return kNotFound;
        }
        // The detached subtree gets a lock of its own, which is not taken: nothing refers to it
        // before the move, and a lock taken while holding another would order locks that the
        // pool hands on to other trees.
        p.children.erase(it);
        c->parent = nullptr;
        c->AssignLock(newLock.get());
        return kOk;
    });
}

QUARRY_API EKN_HRESULT QUARRY_CALL EknGetNodeName(void* node, uint32_t flags, EKNCHAR* buffer,
                                                  uint32_t* size) {
    if (size == nullptr) {
        return kPointer;
    }
    if (const EKN_HRESULT hr = CheckHandle(node); Failed(hr)) {
        return hr;
    }
    if (flags != EKN_NAME_PLAIN && flags != EKN_NAME_FULL_PATH) {
        return kInvalidArg;
    }
    return WithLockedNode(node, [&](const Node& self) {
        // Two returns: the full path is made for the call, the name is the node's own.
        if (flags == EKN_NAME_FULL_PATH) {
            return ReturnText(self.FullPath(), buffer, size);
        }
        return ReturnText(self.texts.Name(), buffer, size);
    });
}

QUARRY_API EKN_HRESULT QUARRY_CALL EknGetNodeType(void* node, EKNCHAR* buffer, uint32_t* size) {
    if (size == nullptr) {
        return kPointer;
    }
    if (const EKN_HRESULT hr = CheckHandle(node); Failed(hr)) {
        return hr;
    }
    return WithLockedNode(
        node, [&](const Node& self) { return ReturnText(self.texts.Type(), buffer, size); });
}

// The names, each followed by a NUL, and one more NUL at the end ("a\0b\0\0"; "\0" for none).
QUARRY_API EKN_HRESULT QUARRY_CALL EknGetAttributeNames(void* node, EKNCHAR* buffer,
                                                        uint32_t* size) {
    if (size == nullptr) {
        return kPointer;
    }
    if (const EKN_HRESULT hr = CheckHandle(node); Failed(hr)) {
        return hr;
    }
    return WithLockedNode(node, [&](const Node& self) {
        Text names;
        for (const AttributeRef attribute : self.attributes) {
            names += attribute.name;
            names += EKNCHAR{0};
        }
        return ReturnText(names, buffer, size);
    });
}

QUARRY_API EKN_HRESULT QUARRY_CALL EknGetAttribute(void* node, const EKNCHAR* name,
                                                   const uint16_t* requestedType, void* buffer,
                                                   uint32_t* size, uint16_t* storedType) {
    if (const EKN_HRESULT hr = CheckHandle(node); Failed(hr)) {
        return hr;
    }
    if (name == nullptr) {
        return kInvalidArg;
    }
    if (buffer != nullptr && size == nullptr) {
        return kPointer;
    }
    return WithLockedNode(node, [&](const Node& self) {
        const TextView attributeName(name);
        const std::optional<AttributeRef> attribute = self.attributes.Find(attributeName);
        if (storedType != nullptr) {
            *storedType = attribute ? attribute->type : uint16_t{EKN_TYPE_NONE};
        }
        if (!attribute) {
            return kNotFound;
        }
        if (size == nullptr) {
            return kOk; // presence query
        }
        std::span<const uint8_t> image = attribute->image;
        Bytes converted;
        if (requestedType != nullptr && *requestedType != attribute->type) {
            const EKN_HRESULT hr =
                ConvertImage(attribute->type, attribute->image, *requestedType, converted);
            if (Failed(hr)) {
                return hr;
            }
            image = converted;
        }
        if (image.size() > std::numeric_limits<uint32_t>::max()) {
            return kOverflow;
        }
        const auto needed = static_cast<uint32_t>(image.size());
        const uint32_t capacity = buffer != nullptr ? *size : 0;
        *size = needed;
        if (needed > capacity) {
            return kInsufficient;
        }
        if (needed != 0) {
            std::memcpy(buffer, image.data(), needed);
        }
        return kOk;
    });
}

QUARRY_API EKN_HRESULT QUARRY_CALL EknSetAttribute(void* node, const EKNCHAR* name, uint16_t type,
                                                   const void* data, uint32_t size) {
    if (const EKN_HRESULT hr = CheckHandle(node); Failed(hr)) {
        return hr;
    }
    // An empty name could not be told apart from the end of EknGetAttributeNames' list.
    if (name == nullptr || name[0] == 0 || !IsValidImage(type, data, size)) {
        return kInvalidArg;
    }
    return WithLockedNode(node, [&](Node& self) {
        const TextView attributeName(name);
        const std::span<const uint8_t> image(static_cast<const uint8_t*>(data), size);
        self.attributes.Set(attributeName, type, image);
        return kOk;
    });
}

QUARRY_API EKN_HRESULT QUARRY_CALL EknStartSerialization(int32_t type, uint32_t flags,
                                                         EKN_SINK sink, void* sinkContext,
                                                         void** context) {
    if (context == nullptr) {
        return kPointer;
    }
    *context = nullptr;
    if (type != EKN_SERIALIZATION_XML_TEXT || sink == nullptr) {
        return kInvalidArg;
    }
    return Base::HresultBoundary<EKN_HRESULT>([&] {
        *context = std::make_unique<SerializationContext>(flags, sink, sinkContext).release();
        return kOk;
    });
}

// The handles must stay open for the duration of the call, also while the sink runs.
QUARRY_API EKN_HRESULT QUARRY_CALL EknSerializeNodes(void* context, void* const* nodes,
                                                     uint64_t count, int32_t depth) {
    SerializationContext* serializer = ContextOf(context);
    if (serializer == nullptr) {
        return context == nullptr ? kInvalidArg : kHandle;
    }
    if ((count != 0 && nodes == nullptr) || depth < 0) {
        return kInvalidArg;
    }
    return Base::HresultBoundary<EKN_HRESULT>([&] {
        std::vector<const Node*> resolved;
        resolved.reserve(static_cast<size_t>(count));
        for (uint64_t i = 0; i < count; ++i) {
            if (const EKN_HRESULT hr = CheckHandle(nodes[i]); Failed(hr)) {
                return hr;
            }
            resolved.push_back(HandleOf(nodes[i])->node.get());
        }
        return serializer->Serialize(resolved.data(), resolved.size(), depth);
    });
}

QUARRY_API EKN_HRESULT QUARRY_CALL EknFinalizeSerialization(void* context) {
    SerializationContext* serializer = ContextOf(context);
    if (serializer == nullptr) {
        return context == nullptr ? kInvalidArg : kHandle;
    }
    return Base::HresultBoundary<EKN_HRESULT>([&] { return serializer->Finalize(); });
}

QUARRY_API EKN_HRESULT QUARRY_CALL EknCloseSerializationContext(void* context) {
    SerializationContext* serializer = ContextOf(context);
    if (serializer == nullptr) {
        return context == nullptr ? kInvalidArg : kHandle;
    }
    std::unique_ptr<SerializationContext> owned(serializer);
    owned->magic = 0;
    return kOk;
}
