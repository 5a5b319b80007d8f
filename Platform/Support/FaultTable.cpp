#include "PalSupport/FaultTable.h"

namespace Pal {

void FaultTable::Inject(std::string_view function, uint32_t error, uint32_t skip, uint32_t count,
                        uint32_t partial) {
    if (error == 0 || count == 0) {
        return;
    }
    Base::LockGuard lock(m_mutex);
    m_faults.insert_or_assign(std::string(function), Scripted{{error, partial}, skip, count});
    m_any.store(true, std::memory_order_release);
}

FaultTable::Fault FaultTable::TakeScripted(std::string_view function) {
    Base::LockGuard lock(m_mutex);
    const auto found = m_faults.find(function);
    if (found == m_faults.end()) {
        return {};
    }
    Scripted& scripted = found->second;
    if (scripted.skip > 0) {
        --scripted.skip;
        return {};
    }
    const Fault fault = scripted.fault;
    if (--scripted.count == 0) {
        m_faults.erase(found);
        m_any.store(!m_faults.empty(), std::memory_order_release);
    }
    return fault;
}

void FaultTable::Clear() {
    Base::LockGuard lock(m_mutex);
    m_faults.clear();
    m_any.store(false, std::memory_order_release);
}

} // namespace Pal
