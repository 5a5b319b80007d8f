#include "PalWin32/Faults.h"

#include "PalWin32/ApiBoundary.h"

#include "PalSupport/FaultTable.h"
#include "Win32/PalWin32Faults.h"

namespace Pal {

namespace {

Pal::FaultTable& Table() {
    static Pal::FaultTable table;
    return table;
}

} // namespace

bool Injected(std::string_view function) {
    const Pal::FaultTable::Fault fault = Table().Take(function);
    if (fault.error == 0) {
        return false;
    }
    SetLastError(fault.error);
    return true;
}

} // namespace Pal

void WINAPI PalWin32InjectFault(const char* function, DWORD error, DWORD skip, DWORD count) {
    // A test hook that cannot allocate injects nothing.
    Base::CFunctionBoundary([](Base::Thrown) noexcept {},
                            [&] {
                                if (function != nullptr) {
                                    Pal::Table().Inject(function, error, skip, count, 0);
                                }
                            });
}

void WINAPI PalWin32ClearFaults() {
    Pal::Table().Clear();
}
