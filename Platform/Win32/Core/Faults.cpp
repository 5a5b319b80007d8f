#include "../Faults.h"

#include "../ApiBoundary.h"

#include "Base/FaultTable.h"
#include "Win32/PalWin32Faults.h"

namespace Pal {

namespace {

Base::FaultTable& Table() {
    static Base::FaultTable table;
    return table;
}

} // namespace

bool Injected(std::string_view function) {
    const Base::FaultTable::Fault fault = Table().Take(function);
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
