#include "Settings/DataDirectory.h"

#include "ErrorHandling/ErrorHandling.h"
#include "ErrorHandling/LazyInstance.h"
#include "Helpers/UniqueHandle.h"
#include "Settings/ModulePaths.h"
#include "Settings/SettingsManager.h"

namespace Settings {

namespace {

LazyInstance<DataDirectory> g_dataDirectory;

void ThrowIfError(LSTATUS status) {
    if (status != ERROR_SUCCESS) {
        RaiseError(HresultFromWin32(static_cast<DWORD>(status)));
    }
}

std::wstring ReadStringValue(HKEY key, const std::wstring& name) {
    DWORD size = 0;
    DWORD type = 0;
    ThrowIfError(RegQueryValueExW(key, name.c_str(), nullptr, &type, nullptr, &size));
    std::wstring data(size / sizeof(WCHAR) + 1, L'\0');
    size = static_cast<DWORD>(data.size() * sizeof(WCHAR));
    ThrowIfError(RegQueryValueExW(key, name.c_str(), nullptr, &type,
                                  reinterpret_cast<BYTE*>(data.data()), &size));
    data.resize(size / sizeof(WCHAR));
    return data.c_str(); // up to the first null
}

} // namespace

std::wstring ExpandEnvironment(const std::wstring& text) {
    std::wstring buffer(260, L'\0');
    for (;;) {
        const DWORD needed = ExpandEnvironmentStringsW(text.c_str(), buffer.data(),
                                                       static_cast<DWORD>(buffer.size()));
        if (needed == 0) {
            return text;
        }
        if (needed <= buffer.size()) {
            buffer.resize(needed - 1);
            return buffer;
        }
        buffer.resize(needed);
    }
}

bool IsRelativePath(const std::wstring& path) noexcept {
    if (path.empty()) {
        return true;
    }
    return !(path[0] == L'\\' || path[0] == L'/' || (path.size() > 1 && path[1] == L':'));
}

std::vector<std::wstring> SplitPath(const std::wstring& path) {
    std::vector<std::wstring> components;
    size_t start = 0;
    while (start <= path.size()) {
        auto end = path.find_first_of(L"\\/", start);
        if (end == std::wstring::npos) {
            end = path.size();
        }
        if (end > start) {
            components.push_back(path.substr(start, end - start));
        }
        start = end + 1;
    }
    return components;
}

std::wstring WithFinalSeparator(std::wstring path) {
    if (!path.empty() && path.back() != L'\\' && path.back() != L'/') {
        path += L'\\';
    }
    return path;
}

std::wstring JoinPath(const std::wstring& first, const std::wstring& second) {
    if (second.empty()) {
        return first;
    }
    std::wstring buffer(first.size() + second.size() + 2, L'\0');
    if (PathCombineW(buffer.data(), first.c_str(), second.c_str()) == nullptr) {
        RaiseError(HresultFromWin32(GetLastError()));
    }
    buffer.resize(std::char_traits<wchar_t>::length(buffer.c_str()));
    return buffer;
}

DataDirectory::DataDirectory(const std::wstring& moduleDirectory,
                             const std::optional<std::wstring>& rootSetting,
                             const OverrideValues& overrides) {
    m_root = ExpandEnvironment(rootSetting.value_or(std::wstring()));
    if (IsRelativePath(m_root)) {
        m_root = moduleDirectory + m_root;
    }
    std::optional<std::wstring> rootOverride;
    for (const auto& [name, directory] : overrides) {
        Components components = SplitPath(ExpandEnvironment(name));
        std::wstring target = WithFinalSeparator(ExpandEnvironment(directory));
        if (components.empty()) {
            rootOverride = target;
        }
        m_overrides.insert_or_assign(std::move(components), std::move(target));
    }
    if (rootOverride) {
        m_root = WithFinalSeparator(m_root);
        m_root = ResolveDataPath(*rootOverride);
    }
    m_root = WithFinalSeparator(m_root);
}

DataDirectory::OverrideValues DataDirectory::ReadOverrideValues(const std::wstring& keySetting) {
    OverrideValues values;
    if (keySetting.empty()) {
        return values;
    }
    HKEY root = HKEY_LOCAL_MACHINE;
    std::wstring subKey = keySetting;
    const auto separator = keySetting.find_first_of(L"\\/");
    if (separator != std::wstring::npos) {
        const std::wstring rootName = keySetting.substr(0, separator);
        if (rootName == L"HKLM" || rootName == L"HKEY_LOCAL_MACHINE") {
            subKey = keySetting.substr(separator + 1);
        } else if (rootName == L"HKCU" || rootName == L"HKEY_CURRENT_USER") {
            root = HKEY_CURRENT_USER;
            subKey = keySetting.substr(separator + 1);
        }
    }
    UniqueRegistryKey key;
    if (RegOpenKeyExW(root, subKey.c_str(), 0, KEY_READ, key.Put()) != ERROR_SUCCESS) {
        return values;
    }
    std::wstring name(256, L'\0');
    for (DWORD index = 0;; ++index) {
        DWORD length = static_cast<DWORD>(name.size());
        DWORD type = 0;
        LSTATUS status =
            RegEnumValueW(key.Get(), index, name.data(), &length, nullptr, &type, nullptr, nullptr);
        if (status == static_cast<LSTATUS>(ERROR_NO_MORE_ITEMS)) {
            break;
        }
        if (status == static_cast<LSTATUS>(ERROR_MORE_DATA)) {
            name.resize(length + 1);
            length = static_cast<DWORD>(name.size());
            status = RegEnumValueW(key.Get(), index, name.data(), &length, nullptr, &type, nullptr,
                                   nullptr);
        }
        ThrowIfError(status);
        if (type != REG_SZ && type != REG_EXPAND_SZ) {
            continue;
        }
        const std::wstring valueName = name.substr(0, length);
        values.emplace_back(valueName, ExpandEnvironment(ReadStringValue(key.Get(), valueName)));
    }
    return values;
}

DataDirectory& DataDirectory::Instance() {
    return g_dataDirectory.Get([] {
        std::optional<std::wstring> rootSetting;
        std::wstring value;
        if (ReadSetting(nullptr, L"DataDirectoryPath", value)) {
            rootSetting = value;
        }
        std::wstring keySetting;
        ReadSetting(nullptr, L"DataDirectoryPathOverrideRegKey", keySetting);
        return std::make_unique<DataDirectory>(DirectoryOf(ThisModulePath()), rootSetting,
                                               ReadOverrideValues(keySetting));
    });
}

std::wstring DataDirectory::ResolveDataPath(const std::wstring& path) const {
    std::wstring resolved = ExpandEnvironment(path);
    if (IsRelativePath(resolved) && !m_overrides.empty()) {
        const Components components = SplitPath(resolved);
        for (size_t run = components.size(); run > 0; --run) {
            const Components prefix(components.begin(), components.begin() + run);
            const auto it = m_overrides.find(prefix);
            if (it == m_overrides.end()) {
                continue;
            }
            resolved = it->second;
            for (size_t i = run; i < components.size(); ++i) {
                resolved = JoinPath(resolved, components[i]);
            }
            break;
        }
    }
    if (IsRelativePath(resolved)) {
        resolved = m_root + resolved;
    }
    return resolved;
}

std::wstring GetDataDirectory() {
    return DataDirectory::Instance().Root();
}

std::wstring ResolveDataPath(const std::wstring& path) {
    return DataDirectory::Instance().ResolveDataPath(path);
}

void CreateDirectories(const std::wstring& path, SECURITY_ATTRIBUTES* securityAttributes,
                       bool ignoreErrors) {
    auto create = [&](const std::wstring& prefix) {
        if (GetFileAttributesW(prefix.c_str()) != INVALID_FILE_ATTRIBUTES) {
            return;
        }
        const DWORD error = GetLastError();
        if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND) {
            return;
        }
        if (!CreateDirectoryW(prefix.c_str(), securityAttributes) && !ignoreErrors) {
            RaiseError(HresultFromWin32(GetLastError()));
        }
    };
    for (size_t at = path.find_first_of(L"\\/", 1); at != std::wstring::npos;
         at = path.find_first_of(L"\\/", at + 1)) {
        create(path.substr(0, at));
    }
    create(path);
}

} // namespace Settings
