// The one exception boundary of functions with a C interface: the exported functions of the
// stand-in libraries and every callback handed to C code. No exception crosses it.
//
//   BOOL WINAPI DeleteFileW(LPCWSTR name) {
//       return Base::CFunctionBoundary(Pal::FailWithLastError(FALSE), [&]() -> BOOL {
//           ...                                       // the function's work
//       });
//   }
//
// Contract: `body` runs once and its result is returned. If it throws, the exception stops here
// and `onThrow` runs instead (inside the handler, with the kind of exception; it must not throw)
// and gives the function's result for a failure: it sets the last error, returns a failure
// status, or whatever the function's convention is. Each library states its convention once as
// such a callable (HresultBoundary below is the one of HRESULT functions); the catching is here.
#pragma once

#include <cstdint>
#include <new>
#include <utility>

namespace Base {

// What a C function's body threw.
enum class Thrown {
    OutOfMemory, // std::bad_alloc
    Other,       // anything else
};

template <typename OnThrow, typename Body>
auto CFunctionBoundary(OnThrow&& onThrow, Body&& body) noexcept -> decltype(body()) {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return onThrow(Thrown::OutOfMemory);
    } catch (...) {
        return onThrow(Thrown::Other);
    }
}

// The convention of functions that return an HRESULT: E_OUTOFMEMORY for an allocation failure,
// E_UNEXPECTED for anything else. Status is the function's 32-bit result type.
template <typename Status, typename Body>
Status HresultBoundary(Body&& body) noexcept {
    const auto onThrow = [](Thrown thrown) noexcept {
        return static_cast<Status>(thrown == Thrown::OutOfMemory ? 0x8007000Eu   // E_OUTOFMEMORY
                                                                 : 0x8000FFFFu); // E_UNEXPECTED
    };
    return CFunctionBoundary(onThrow, std::forward<Body>(body));
}

} // namespace Base
