#include "NamedInstances.h"

namespace Trellis {

using Halyard::Interfaces::IBase;

NamedInstances& NamedInstances::Instance() {
    static NamedInstances instances;
    return instances;
}

void NamedInstances::Register(const Name& name, const GUID& iid, IBase* object) {
    Entry entry{iid, Ref<IBase>::AddRefTo(object)};
    {
        std::lock_guard lock(mutex_);
        // After the swap `entry` holds the replaced object, released outside the lock.
        std::swap(entries_[name], entry);
    }
}

bool NamedInstances::Revoke(const Name& name) {
    Ref<IBase> revoked;
    {
        std::lock_guard lock(mutex_);
        const auto it = entries_.find(name);
        if (it == entries_.end()) {
            return false;
        }
        revoked = std::move(it->second.object);
        entries_.erase(it);
    }
    return true;
}

Ref<IBase> NamedInstances::Find(const Name& name) const {
    std::lock_guard lock(mutex_);
    const auto it = entries_.find(name);
    return it == entries_.end() ? Ref<IBase>() : it->second.object;
}

} // namespace Trellis
