// The message-table modules that hold the texts of the host family's own failure codes: a primary
// and a fallback list of five slots each, filled once per process from the settings.
#pragma once

#include "Platform.h"

#include <array>
#include <cstddef>

class ErrorMessageModules {
public:
    static constexpr size_t SlotCount = 5;
    using List = std::array<HMODULE, SlotCount>;

    ErrorMessageModules() noexcept;
    ~ErrorMessageModules();
    ErrorMessageModules(const ErrorMessageModules&) = delete;
    ErrorMessageModules& operator=(const ErrorMessageModules&) = delete;

    // The process's instance, built and filled on first use.
    static ErrorMessageModules& Instance();

    // Slots are filled from the first on; a null slot ends a list.
    const List& Primary() const noexcept { return m_primary; }
    const List& Fallback() const noexcept { return m_fallback; }

    // Puts a loaded module into the next free slot; false when all five are taken (the caller
    // still owns the handle then).
    bool AddPrimary(HMODULE module) noexcept { return Add(m_primary, module); }
    bool AddFallback(HMODULE module) noexcept { return Add(m_fallback, module); }

private:
    static bool Add(List& list, HMODULE module) noexcept;

    List m_primary{};
    List m_fallback{};
};

// Loads the modules that the settings name into both lists.
void LoadErrorMessageModules(ErrorMessageModules& modules);
