#include "ErrorHandling/ComMethodBoundary.h"

#include "Base/Utf.h"
#include "ErrorHandling/ErrorDescription.h"

#include <exception>
#include <new>

namespace {

// Writes the boundary's failure line with `describe` composing the failure's text.
template <typename Describe>
void LogFailure(const FailureLine* line, Describe&& describe) noexcept {
    if (line == nullptr || !Logging::LogManager::Instance().IsEnabled(Logging::LOG_ERR)) {
        return;
    }
    Logging::WriteLogSite(Logging::LOG_ERR, line->sourceFile, line->sourceLine,
                          [&](std::wostream& message) {
                              if (line->name != nullptr) {
                                  message << line->name << Logging::kFailedSeparator;
                              }
                              message << line->context;
                              describe(message);
                          });
}

// The text of a code alone ("0x8007000E" and its message), for failures that carry no HRES.
std::wstring CodeText(HRESULT code) {
    return FormatErrorDescription(BuildErrorDescription(code, nullptr, nullptr, 0), 0);
}

} // namespace

HRESULT HresultFromCaughtException(const FailureLine* line) noexcept {
    try {
        throw;
    } catch (const HRES& failure) {
        LogFailure(line, [&](std::wostream& message) { message << failure; });
        return SetErrorInfoFromHres(failure);
    } catch (const std::bad_alloc&) {
        LogFailure(line, [](std::wostream& message) { message << CodeText(E_OUTOFMEMORY); });
        return E_OUTOFMEMORY;
    } catch (const std::exception& failure) {
        LogFailure(line, [&](std::wostream& message) {
            message << CodeText(E_FAIL) << L" (" << Base::WideFromUtf8(failure.what()) << L")";
        });
        return E_FAIL;
    } catch (...) {
        LogFailure(line, [](std::wostream& message) { message << CodeText(E_FAIL); });
        return E_FAIL;
    }
}
