#include "NamedInstances.h"
#include "Base/Mutex.h"

namespace Trellis {

using Halyard::Interfaces::IBase;

NamedInstances& NamedInstances::Instance() {
    static NamedInstances instances;
    return instances;
}

void NamedInstances::Register(const Name& name, const GUID& iid, IBase* object) {
    Entry entry{iid, Ref<IBase>::AddRefTo(object)};
    {
        Base::LockGuard lock(m_mutex);
        // After the swap `entry` holds the replaced object, released outside the lock.
        std::swap(m_entries[name], entry);
    }
}

bool NamedInstances::Revoke(const Name& name) {
    Ref<IBase> revoked;
    {
        Base::LockGuard lock(m_mutex);
        const auto it = m_entries.find(name);
        if (it == m_entries.end()) {
            return false;
        }
        revoked = std::move(it->second.object);
        m_entries.erase(it);
    }
    return true;
}

Ref<IBase> NamedInstances::Find(const Name& name) const {
    Base::LockGuard lock(m_mutex);
    const auto it = m_entries.find(name);
    return it == m_entries.end() ? Ref<IBase>() : it->second.object;
}

} // namespace Trellis
