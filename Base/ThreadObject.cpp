#include "Base/ThreadObject.h"

#include <cxxabi.h>

#if defined(__ELF__)
// This shared object's (or program's) handle, made by the C runtime: a registration that names it
// keeps the object loaded until the cleanup has run.
extern "C" void* __dso_handle __attribute__((visibility("hidden")));
#endif

namespace Base::ThreadObjectDetail {

bool AtThreadExit(void (*cleanup)(void*), void* object) noexcept {
#if defined(__ELF__)
    void* const module = &__dso_handle;
#else
    void* const module = nullptr; // the runtime finds the module from the cleanup's address
#endif
    return abi::__cxa_thread_atexit(cleanup, object, module) == 0;
}

} // namespace Base::ThreadObjectDetail
