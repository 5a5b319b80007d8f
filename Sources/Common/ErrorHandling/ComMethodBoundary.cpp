#include "ErrorHandling/ComMethodBoundary.h"

#include "ErrorHandling/ErrorDescription.h"

#include <new>

HRESULT HresultFromCaughtException(const FailureLine* line) noexcept {
    try {
        throw;
    } catch (const HRES& failure) {
        if (line != nullptr && Logging::LogManager::Instance().IsEnabled(Logging::LOG_ERR)) {
            Logging::WriteLogSite(Logging::LOG_ERR, line->sourceFile, line->sourceLine,
                                  [&](std::wostringstream& message) {
                                      if (line->name != nullptr) {
                                          message << line->name << L" failed: ";
                                      }
                                      message << line->context << failure;
                                  });
        }
        return SetErrorInfoFromHres(failure);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (...) {
        return E_FAIL;
    }
}
