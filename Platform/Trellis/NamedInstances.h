// The table of objects that the host publishes under names.
#pragma once

#include "Base/Mutex.h"
#include "RefCounted.h"

#include <map>
#include <string>

namespace Trellis {

using Name = std::basic_string<EKNCHAR>;

class NamedInstances {
public:
    // The process's table.
    static NamedInstances& Instance();

    // Publishes `object` (a reference is taken) for `iid`, replacing an earlier object of that
    // name. Throws std::bad_alloc.
    void Register(const Name& name, const GUID& iid, Halyard::Interfaces::IBase* object);
    // False when nothing is published under the name.
    bool Revoke(const Name& name);
    // The object published under the name with a reference of the caller's, or null.
    Ref<Halyard::Interfaces::IBase> Find(const Name& name) const;

private:
    struct Entry {
        GUID iid{};
        Ref<Halyard::Interfaces::IBase> object;
    };

    mutable Base::Mutex m_mutex;
    std::map<Name, Entry> m_entries GUARDED_BY(m_mutex);
};

} // namespace Trellis
