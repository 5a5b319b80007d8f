#include "Settings/ModulePaths.h"

namespace Settings {

namespace {

std::wstring ModuleFileName(HMODULE module) {
    std::wstring buffer(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length =
            GetModuleFileNameW(module, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (length == 0) {
            return {};
        }
        if (length < buffer.size() - 1) {
            buffer.resize(length);
            return buffer;
        }
        buffer.resize(buffer.size() * 2);
    }
}

} // namespace

HMODULE ThisModule() noexcept {
    HMODULE module = nullptr;
    static const int anchor = 0;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                                GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            reinterpret_cast<LPCWSTR>(&anchor), &module)) {
        return nullptr;
    }
    return module;
}

std::wstring ThisModulePath() {
    const HMODULE module = ThisModule();
    return module == nullptr ? std::wstring() : ModuleFileName(module);
}

std::wstring ExecutablePath() {
    return ModuleFileName(nullptr);
}

std::wstring DirectoryOf(const std::wstring& path) {
    const auto slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash + 1);
}

std::wstring FileStem(const std::wstring& path) {
    const auto slash = path.find_last_of(L"\\/");
    std::wstring name = slash == std::wstring::npos ? path : path.substr(slash + 1);
    const auto dot = name.find_last_of(L'.');
    if (dot != std::wstring::npos && dot != 0) {
        name.resize(dot);
    }
    return name;
}

} // namespace Settings
