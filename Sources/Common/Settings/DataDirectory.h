// The data directory: the root under which relative data paths (the log directory among them)
// live, and the registry key whose values redirect parts of it.
#pragma once

#include "Platform.h"

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace Settings {

class DataDirectory {
public:
    using Components = std::vector<std::wstring>;
    // Value name of the override key -> directory, as read from the registry.
    using OverrideValues = std::vector<std::pair<std::wstring, std::wstring>>;

    // Builds the root from the DataDirectoryPath text (nothing = none) relative to the module's
    // directory, then applies the overrides.
    DataDirectory(const std::wstring& moduleDirectory,
                  const std::optional<std::wstring>& rootSetting, const OverrideValues& overrides);

    // The process's data directory, built on first use from the settings "General" /
    // "DataDirectoryPath" and "DataDirectoryPathOverrideRegKey". Registry failures other than a
    // missing key throw an HRX to the first caller.
    static DataDirectory& Instance();

    // The root, ending with a separator.
    const std::wstring& Root() const noexcept { return m_root; }
    // Expands environment variables; a relative path is looked up in the overrides by its
    // longest leading run of components, else taken under the root.
    std::wstring ResolveDataPath(const std::wstring& path) const;

    // The string values (REG_SZ, REG_EXPAND_SZ, both expanded) of the key that the setting names:
    // "HKLM\", "HKEY_LOCAL_MACHINE\", "HKCU\" or "HKEY_CURRENT_USER\" before a subkey, else a
    // subkey of HKEY_LOCAL_MACHINE. A key that cannot be opened has none.
    static OverrideValues ReadOverrideValues(const std::wstring& keySetting);

private:
    std::map<Components, std::wstring> m_overrides;
    std::wstring m_root;
};

// The root of the process's data directory.
std::wstring GetDataDirectory();
// DataDirectory::ResolveDataPath of the process's data directory.
std::wstring ResolveDataPath(const std::wstring& path);
// Creates every missing directory along the path; a failure throws an HRX unless errors are
// ignored.
void CreateDirectories(const std::wstring& path, SECURITY_ATTRIBUTES* securityAttributes,
                       bool ignoreErrors);

// Path text helpers.
// Environment variables expanded; the text unchanged when expansion fails.
std::wstring ExpandEnvironment(const std::wstring& text);
// Relative unless it begins with "\" or "/" or has ":" as its second character; "" is relative.
bool IsRelativePath(const std::wstring& path) noexcept;
// The components between "\" and "/", empty ones dropped.
std::vector<std::wstring> SplitPath(const std::wstring& path);
// A final "\" unless the text ends with "\" or "/"; empty stays empty.
std::wstring WithFinalSeparator(std::wstring path);
// PathCombineW of two parts; an empty second part gives the first. Failure throws an HRX.
std::wstring JoinPath(const std::wstring& first, const std::wstring& second);

} // namespace Settings
