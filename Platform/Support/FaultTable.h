// Scripted failures for the stand-ins' fault injection: a test names a function and the failure
// it should report, and the stand-in asks the table on each call of that function. Safe from any
// thread; a table without faults costs one atomic load per call.
#pragma once

#include "Base/Mutex.h"

#include <atomic>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>

namespace Pal {

class FaultTable {
public:
    struct Fault {
        uint32_t error = 0; // 0: no fault this time
        uint32_t partial = 0;
    };

    // After `skip` further calls of `function` that do not fail, the next `count` calls fail
    // with `error` (and `partial`, whose meaning is the function's). A fault injected again for
    // the same function replaces the earlier one; an error or count of 0 injects nothing.
    void Inject(std::string_view function, uint32_t error, uint32_t skip, uint32_t count,
                uint32_t partial) EXCLUDES(m_mutex);
    // Consumes one call of `function`: the fault to report for it, if one is due. Inline, as
    // every call of a library with faults asks, and mostly none is scripted.
    Fault Take(std::string_view function) EXCLUDES(m_mutex) {
        return m_any.load(std::memory_order_acquire) ? TakeScripted(function) : Fault{};
    }
    // Removes every fault.
    void Clear() EXCLUDES(m_mutex);

private:
    Fault TakeScripted(std::string_view function) EXCLUDES(m_mutex);

    struct Scripted {
        Fault fault;
        uint32_t skip = 0;
        uint32_t count = 0;
    };
    Base::Mutex m_mutex;
    std::map<std::string, Scripted, std::less<>> m_faults GUARDED_BY(m_mutex);
    std::atomic<bool> m_any{false}; // keeps calls free of the lock while nothing is scripted
};

} // namespace Pal
