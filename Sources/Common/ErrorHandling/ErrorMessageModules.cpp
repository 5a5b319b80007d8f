#include "ErrorHandling/ErrorMessageModules.h"

#include "ErrorHandling/LazyInstance.h"

namespace {

LazyInstance<ErrorMessageModules> g_modules;

} // namespace

ErrorMessageModules::ErrorMessageModules() noexcept = default;

ErrorMessageModules::~ErrorMessageModules() {
    for (List* list : {&m_primary, &m_fallback}) {
        for (HMODULE& module : *list) {
            if (module != nullptr) {
                FreeLibrary(module);
                module = nullptr;
            }
        }
    }
}

ErrorMessageModules& ErrorMessageModules::Instance() {
    return g_modules.Get([] {
        auto modules = std::make_unique<ErrorMessageModules>();
        LoadErrorMessageModules(*modules);
        return modules;
    });
}

bool ErrorMessageModules::Add(List& list, HMODULE module) noexcept {
    for (HMODULE& slot : list) {
        if (slot == nullptr) {
            slot = module;
            return true;
        }
    }
    return false;
}

// Until the settings name modules, the lists stay empty: the texts of the host family's codes then
// come from the fallback search and read "<no description>" when none has them.
void LoadErrorMessageModules(ErrorMessageModules&) {}
