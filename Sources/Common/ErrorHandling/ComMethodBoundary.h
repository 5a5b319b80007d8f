// The one exception boundary of the host family's COM-style code: every method the host calls,
// every callback a closed library calls that returns an HRESULT, every thread body. No exception
// crosses it; a failure leaves as an HRESULT with the thread's COM error object, as the caller on
// the other side expects.
//
//   HRESULT CCorvane::Configure(void* configNode) noexcept {
//       TRACE_SCOPE(LOG_DBG, L"Halyard::CCorvane::Configure");
//       return ComMethodBoundary(
//           FAILURE_LINE(L"Halyard::CCorvane::Configure", L"Configure failed due to: "), [&] {
//               ...                  // raises HRX on failure
//               return S_OK;
//           });
//   }
//
// Contract: `body` runs once; its HRESULT is returned (a body that returns nothing gives S_OK).
// If it throws:
// - an HRX is logged at ERR (when a FailureLine is given and ERR lines are wanted) as the name,
//   " failed: ", the context and the failure's text, written from the FailureLine's source
//   position; it becomes the thread's COM error object (SetErrorInfoFromHres) and its code is
//   returned;
// - std::bad_alloc returns E_OUTOFMEMORY, anything else E_FAIL, with no error object; the failure
//   line is written all the same, with the text of that code (and a standard exception's what()).
// A trace scope opened before the call sees the method return normally.
#pragma once

#include "ErrorHandling/ErrorHandling.h"
#include "Logging/LogManager.h"

#include <cstdint>
#include <type_traits>

// The failure line of a boundary: "<name> failed: <context><failure text>". Without a name the
// line is the context and the failure text.
struct FailureLine {
    const wchar_t* name;
    const wchar_t* context;
    const wchar_t* sourceFile;
    uint32_t sourceLine;
};

// A FailureLine at the source position where it is written.
#define FAILURE_LINE(name, context)                                                                \
    (::FailureLine{(name), (context), CORVANE_WIDEN(__FILE__), __LINE__})

// Turns the exception being handled into the HRESULT of a boundary, as the contract above says;
// `line` may be null. Call only inside a catch handler (ComMethodBoundary does).
HRESULT HresultFromCaughtException(const FailureLine* line = nullptr) noexcept;

namespace ComMethodBoundaryDetail {
template <typename Body>
HRESULT Run(const FailureLine* line, Body& body) noexcept {
    try {
        if constexpr (std::is_void_v<decltype(body())>) {
            body();
            return S_OK;
        } else {
            return body();
        }
    } catch (...) {
        return HresultFromCaughtException(line);
    }
}
} // namespace ComMethodBoundaryDetail

template <typename Body>
HRESULT ComMethodBoundary(const FailureLine& line, Body&& body) noexcept {
    return ComMethodBoundaryDetail::Run(&line, body);
}

// The same without a failure line: for callbacks whose caller reports the failure.
template <typename Body>
HRESULT ComMethodBoundary(Body&& body) noexcept {
    return ComMethodBoundaryDetail::Run(nullptr, body);
}
