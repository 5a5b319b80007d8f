#include "ErrorHandling/ErrorMessageModules.h"

#include "ErrorHandling/ErrorHandling.h"
#include "ErrorHandling/LazyInstance.h"
#include "Helpers/UniqueHandle.h"
#include "Logging/LogManager.h"
#include "Settings/ModulePaths.h"
#include "Settings/SettingsManager.h"

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
    // The loader logs its failures, and the text of a failure searches the lists again: while
    // this thread builds them, such lookups see empty lists instead of building them again.
    thread_local bool t_building = false;
    if (t_building) {
        static ErrorMessageModules s_empty;
        return s_empty;
    }
    return g_modules.Get([] {
        t_building = true;
        struct EndBuilding {
            ~EndBuilding() { t_building = false; }
        } endBuilding;
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

namespace {

// Loads every name of a list value (separated by ",", "|" or ";"; empty items skipped, blanks
// kept) as a resource-only module into the list's next slot. With the directory rule, a bare
// file name is taken from this module's directory.
template <typename Add>
void LoadModuleList(const std::wstring& value, bool directoryRule, Add&& add) {
    const std::wstring directory =
        directoryRule ? Settings::DirectoryOf(Settings::ThisModulePath()) : std::wstring();
    size_t start = 0;
    while (start < value.size()) {
        size_t end = value.find_first_of(L",|;", start);
        if (end == std::wstring::npos) {
            end = value.size();
        }
        std::wstring name = value.substr(start, end - start);
        start = end + 1;
        if (name.empty()) {
            continue;
        }
        if (directoryRule && name.find_first_of(L"\\/") == std::wstring::npos) {
            name = directory + name;
        }
        UniqueModule module(LoadLibraryExW(
            name.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE));
        if (!module) {
            const HRES failure(ApiResult{FALSE}); // taken before logging can change the last error
            LOG_FAILURE(L"Loading errormsg module '" << name << L"'", failure);
            continue;
        }
        if (!add(module.Get())) {
            LOG_FAILURE(L"Loading errormsg module '" << name << L"'", L"No more slots");
            continue; // the module is freed
        }
        static_cast<void>(module.Release()); // the list owns it now
    }
}

} // namespace

void LoadErrorMessageModules(ErrorMessageModules& modules) {
    std::wstring primary = L"Ravelin.dll";
    Settings::ReadSetting(L"ErrorHandling", L"MessageFile", primary);
    LoadModuleList(primary, true, [&](HMODULE module) { return modules.AddPrimary(module); });
    std::wstring fallback;
    Settings::ReadSetting(L"ErrorHandling", L"FallbackMessageFile", fallback);
    LoadModuleList(fallback, false, [&](HMODULE module) { return modules.AddFallback(module); });
}
