// A read-only registry loaded from the ".reg" export file named by PAL_REGISTRY_FILE.

#include "PalWin32/ApiBoundary.h"

#include "Base/Text.h"
#include "PalWin32/Files/NativeText.h"

#include "Base/Utf.h"
#include "PalWin32/NoDestructor.h"
#include "PalWin32/Settings/TextFile.h"

#include "Base/Mutex.h"
#include "Win32/ProcessEnv.h"
#include "Win32/WinBase.h"
#include "Win32/WinReg.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <unordered_map>
#include <vector>

namespace {

struct RegistryValue {
    std::wstring name; // empty for the key's default value ("@")
    DWORD type;
    std::vector<BYTE> data;
};

struct RegistryKey {
    std::vector<RegistryValue> values; // in the order of the file
};

// Keys by their full path in lower case ("hkey_local_machine\software\x").
struct Registry {
    std::map<std::wstring, RegistryKey> keys;
};

std::vector<BYTE> WideBytes(const std::wstring& text) {
    std::vector<BYTE> bytes((text.size() + 1) * sizeof(WCHAR));
    std::memcpy(bytes.data(), text.c_str(), bytes.size());
    return bytes;
}

// The canonical root name of a key path's first component, or nothing.
std::optional<std::wstring> RootName(const std::wstring& name) {
    static const std::pair<const wchar_t*, const wchar_t*> kRoots[] = {
        {L"hkey_local_machine", L"hkey_local_machine"},
        {L"hklm", L"hkey_local_machine"},
        {L"hkey_current_user", L"hkey_current_user"},
        {L"hkcu", L"hkey_current_user"},
        {L"hkey_classes_root", L"hkey_classes_root"},
        {L"hkcr", L"hkey_classes_root"},
        {L"hkey_users", L"hkey_users"},
        {L"hku", L"hkey_users"}};
    const std::wstring lower = Base::LowerCase(name);
    for (const auto& [alias, root] : kRoots) {
        if (lower == alias) {
            return std::wstring(root);
        }
    }
    return std::nullopt;
}

// Normalises a key path from the file: root name canonical, lower case, no empty components.
std::optional<std::wstring> KeyPath(const std::wstring& path) {
    std::wstring result;
    size_t start = 0;
    bool first = true;
    while (start <= path.size()) {
        auto end = path.find(L'\\', start);
        if (end == std::wstring::npos) {
            end = path.size();
        }
        const std::wstring component = path.substr(start, end - start);
        start = end + 1;
        if (component.empty()) {
            continue;
        }
        if (first) {
            const auto root = RootName(component);
            if (!root) {
                return std::nullopt;
            }
            result = *root;
            first = false;
        } else {
            result += L'\\';
            result += Base::LowerCase(component);
        }
    }
    if (first) {
        return std::nullopt;
    }
    return result;
}

// Reads a quoted string with the \\ and \" escapes, from text[i] == '"'; i ends after it.
std::optional<std::wstring> QuotedString(const std::wstring& text, size_t& i) {
    std::wstring result;
    for (++i; i < text.size(); ++i) {
        if (text[i] == L'\\' && i + 1 < text.size()) {
            result += text[++i];
        } else if (text[i] == L'"') {
            ++i;
            return result;
        } else {
            result += text[i];
        }
    }
    return std::nullopt;
}

std::optional<std::vector<BYTE>> HexBytes(const std::wstring& text) {
    std::vector<BYTE> bytes;
    size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && (text[i] == L' ' || text[i] == L'\t' || text[i] == L',')) {
            ++i;
        }
        if (i == text.size()) {
            break;
        }
        size_t used = 0;
        const std::wstring digits = text.substr(i, 2);
        unsigned long byte = 0;
        try {
            byte = std::stoul(digits, &used, 16);
        } catch (...) {
            return std::nullopt;
        }
        if (used == 0 || byte > 0xFF) {
            return std::nullopt;
        }
        bytes.push_back(static_cast<BYTE>(byte));
        i += used;
    }
    return bytes;
}

// The value data of a line after "=": a string, dword:, hex: or hex(N):; nothing when malformed.
std::optional<RegistryValue> ParseData(const std::wstring& data) {
    RegistryValue value{};
    if (!data.empty() && data[0] == L'"') {
        size_t i = 0;
        const auto text = QuotedString(data, i);
        if (!text) {
            return std::nullopt;
        }
        value.type = REG_SZ;
        value.data = WideBytes(*text);
        return value;
    }
    const std::wstring lower = Base::LowerCase(data);
    if (lower.starts_with(L"dword:")) {
        size_t used = 0;
        unsigned long number = 0;
        try {
            number = std::stoul(data.substr(6), &used, 16);
        } catch (...) {
            return std::nullopt;
        }
        if (used != data.size() - 6 || number > 0xFFFFFFFFul) {
            return std::nullopt;
        }
        value.type = REG_DWORD;
        const auto dword = static_cast<DWORD>(number);
        value.data.resize(sizeof(DWORD));
        std::memcpy(value.data.data(), &dword, sizeof(DWORD));
        return value;
    }
    size_t colon = 0;
    if (lower.starts_with(L"hex:")) {
        value.type = REG_BINARY;
        colon = 3;
    } else if (lower.starts_with(L"hex(")) {
        const auto close = lower.find(L"):");
        if (close == std::wstring::npos) {
            return std::nullopt;
        }
        try {
            value.type = static_cast<DWORD>(std::stoul(lower.substr(4, close - 4), nullptr, 16));
        } catch (...) {
            return std::nullopt;
        }
        colon = close + 1;
    } else {
        return std::nullopt;
    }
    auto bytes = HexBytes(data.substr(colon + 1));
    if (!bytes) {
        return std::nullopt;
    }
    if (value.type == REG_SZ || value.type == REG_EXPAND_SZ || value.type == REG_MULTI_SZ) {
        // Strings are stored as UTF-16LE in the file and as WCHARs here.
        std::wstring text = Base::WideFromUtf16Le(
            std::string_view(reinterpret_cast<const char*>(bytes->data()), bytes->size()));
        value.data.resize(text.size() * sizeof(WCHAR));
        std::memcpy(value.data.data(), text.data(), value.data.size());
    } else {
        value.data = std::move(*bytes);
    }
    return value;
}

// Parses the export format; a file without its header line gives an empty registry.
Registry ParseRegistry(const std::wstring& text) {
    Registry registry;
    std::vector<std::wstring> lines;
    size_t start = 0;
    std::wstring pending;
    while (start <= text.size()) {
        auto end = text.find_first_of(L"\r\n", start);
        if (end == std::wstring::npos) {
            end = text.size();
        }
        std::wstring line = text.substr(start, end - start);
        start =
            end + (end + 1 < text.size() && text[end] == L'\r' && text[end + 1] == L'\n' ? 2 : 1);
        line = pending.empty() ? Base::Trimmed(line) : pending + Base::Trimmed(line);
        pending.clear();
        // Long hex data continues on the next line after a final "\".
        if (!line.empty() && line.back() == L'\\' && line[0] != L'[') {
            line.pop_back();
            pending = line;
            continue;
        }
        lines.push_back(std::move(line));
    }
    size_t i = 0;
    while (i < lines.size() && lines[i].empty()) {
        ++i;
    }
    if (i == lines.size() ||
        (lines[i] != L"Windows Registry Editor Version 5.00" && lines[i] != L"REGEDIT4")) {
        return registry;
    }
    RegistryKey* current = nullptr;
    for (++i; i < lines.size(); ++i) {
        const std::wstring& line = lines[i];
        if (line.empty() || line[0] == L';') {
            continue;
        }
        if (line[0] == L'[') {
            current = nullptr;
            const auto close = line.rfind(L']');
            if (close == std::wstring::npos) {
                continue;
            }
            const bool remove = line.size() > 1 && line[1] == L'-';
            const auto path = KeyPath(line.substr(remove ? 2 : 1, close - (remove ? 2 : 1)));
            if (!path) {
                continue;
            }
            if (remove) {
                std::erase_if(registry.keys, [&](const auto& entry) {
                    return entry.first == *path || entry.first.starts_with(*path + L"\\");
                });
            } else {
                current = &registry.keys[*path];
            }
            continue;
        }
        if (current == nullptr) {
            continue;
        }
        std::wstring name;
        size_t pos = 0;
        if (line[0] == L'@') {
            pos = 1;
        } else if (line[0] == L'"') {
            const auto quoted = QuotedString(line, pos);
            if (!quoted) {
                continue;
            }
            name = *quoted;
        } else {
            continue;
        }
        while (pos < line.size() && line[pos] == L' ') {
            ++pos;
        }
        if (pos >= line.size() || line[pos] != L'=') {
            continue;
        }
        const std::wstring data = Base::Trimmed(line.substr(pos + 1));
        auto& values = current->values;
        const auto existing = std::find_if(values.begin(), values.end(), [&](const auto& v) {
            return Pal::EqualsNoCase(v.name, name);
        });
        if (data == L"-") {
            if (existing != values.end()) {
                values.erase(existing);
            }
            continue;
        }
        auto value = ParseData(data);
        if (!value) {
            continue;
        }
        value->name = name;
        if (existing != values.end()) {
            *existing = std::move(*value);
        } else {
            values.push_back(std::move(*value));
        }
    }
    return registry;
}

// The registry of the file named now, read again when the file changes.
class RegistrySource {
public:
    std::shared_ptr<const Registry> Current() {
        const char* name = std::getenv("PAL_REGISTRY_FILE");
        const std::string path = name == nullptr ? std::string() : std::string(name);
        struct stat status {};
        const bool exists = !path.empty() && ::stat(path.c_str(), &status) == 0;
        const int64_t size = exists ? status.st_size : -1;
        const int64_t modified =
            exists ? status.st_mtim.tv_sec * 1000000000LL + status.st_mtim.tv_nsec : -1;
        Base::LockGuard lock(m_mutex);
        if (m_registry == nullptr || path != m_path || size != m_size || modified != m_modified) {
            auto registry = std::make_shared<Registry>();
            std::wstring text;
            DWORD error = ERROR_SUCCESS;
            if (exists && Pal::ReadTextFile(path, text, error)) {
                *registry = ParseRegistry(text);
            }
            m_registry = std::move(registry);
            m_path = path;
            m_size = size;
            m_modified = modified;
        }
        return m_registry;
    }

private:
    Base::Mutex m_mutex;
    std::shared_ptr<const Registry> m_registry GUARDED_BY(m_mutex);
    std::string m_path GUARDED_BY(m_mutex);
    int64_t m_size GUARDED_BY(m_mutex) = -1;
    int64_t m_modified GUARDED_BY(m_mutex) = -1;
};

RegistrySource& Source() {
    static Pal::NoDestructor<RegistrySource> source;
    return source.Get();
}

struct OpenKey {
    std::shared_ptr<const Registry> registry;
    std::wstring path;
};

// Opened keys; handle values are never reused.
class KeyTable {
public:
    HKEY Insert(OpenKey key) {
        Base::LockGuard lock(m_mutex);
        const auto value = m_next;
        m_next += 4;
        m_keys.emplace(value, std::move(key));
        return reinterpret_cast<HKEY>(value);
    }
    std::optional<OpenKey> Find(HKEY key) {
        if (const auto root = RootPath(key)) {
            return OpenKey{Source().Current(), *root};
        }
        Base::LockGuard lock(m_mutex);
        const auto it = m_keys.find(reinterpret_cast<uintptr_t>(key));
        if (it == m_keys.end()) {
            return std::nullopt;
        }
        return it->second;
    }
    bool Remove(HKEY key) {
        Base::LockGuard lock(m_mutex);
        return m_keys.erase(reinterpret_cast<uintptr_t>(key)) != 0;
    }
    static std::optional<std::wstring> RootPath(HKEY key) {
        if (key == HKEY_LOCAL_MACHINE) {
            return L"hkey_local_machine";
        }
        if (key == HKEY_CURRENT_USER) {
            return L"hkey_current_user";
        }
        if (key == HKEY_CLASSES_ROOT) {
            return L"hkey_classes_root";
        }
        if (key == HKEY_USERS) {
            return L"hkey_users";
        }
        return std::nullopt;
    }

private:
    Base::Mutex m_mutex;
    uintptr_t m_next GUARDED_BY(m_mutex) = 0x10000000;
    std::unordered_map<uintptr_t, OpenKey> m_keys GUARDED_BY(m_mutex);
};

KeyTable& Keys() {
    static Pal::NoDestructor<KeyTable> table;
    return table.Get();
}

// A key exists when the file names it or any key below it.
bool KeyExists(const Registry& registry, const std::wstring& path) {
    if (path.find(L'\\') == std::wstring::npos) {
        return true; // a root
    }
    const auto it = registry.keys.lower_bound(path);
    return it != registry.keys.end() && (it->first == path || it->first.starts_with(path + L"\\"));
}

const RegistryValue* FindValue(const OpenKey& key, LPCWSTR valueName) {
    const auto it = key.registry->keys.find(key.path);
    if (it == key.registry->keys.end()) {
        return nullptr;
    }
    const std::wstring name = valueName == nullptr ? std::wstring() : std::wstring(valueName);
    for (const auto& value : it->second.values) {
        if (Pal::EqualsNoCase(value.name, name)) {
            return &value;
        }
    }
    return nullptr;
}

LSTATUS CopyData(const std::vector<BYTE>& bytes, LPBYTE data, LPDWORD dataSize) {
    if (data != nullptr && dataSize == nullptr) {
        return static_cast<LSTATUS>(ERROR_INVALID_PARAMETER);
    }
    if (dataSize == nullptr) {
        return ERROR_SUCCESS;
    }
    const auto needed = static_cast<DWORD>(bytes.size());
    if (data != nullptr) {
        if (*dataSize < needed) {
            *dataSize = needed;
            return static_cast<LSTATUS>(ERROR_MORE_DATA);
        }
        std::memcpy(data, bytes.data(), bytes.size());
    }
    *dataSize = needed;
    return ERROR_SUCCESS;
}

DWORD TypeFlag(DWORD type) noexcept {
    switch (type) {
    case REG_NONE:
        return RRF_RT_REG_NONE;
    case REG_SZ:
        return RRF_RT_REG_SZ;
    case REG_EXPAND_SZ:
        return RRF_RT_REG_EXPAND_SZ;
    case REG_BINARY:
        return RRF_RT_REG_BINARY;
    case REG_DWORD:
        return RRF_RT_REG_DWORD;
    case REG_MULTI_SZ:
        return RRF_RT_REG_MULTI_SZ;
    case REG_QWORD:
        return RRF_RT_REG_QWORD;
    default:
        return 0;
    }
}

} // namespace

LSTATUS WINAPI RegOpenKeyExW(HKEY key, LPCWSTR subKey, DWORD, REGSAM, PHKEY result) {
    return Base::CFunctionBoundary(Pal::FailWithStatus(), [&]() -> LSTATUS {
        if (result == nullptr) {
            return static_cast<LSTATUS>(ERROR_INVALID_PARAMETER);
        }
        *result = nullptr;
        auto parent = Keys().Find(key);
        if (!parent) {
            return static_cast<LSTATUS>(ERROR_INVALID_HANDLE);
        }
        std::wstring path = parent->path;
        const std::wstring sub = subKey == nullptr ? std::wstring() : std::wstring(subKey);
        size_t start = 0;
        while (start < sub.size()) {
            auto end = sub.find(L'\\', start);
            if (end == std::wstring::npos) {
                end = sub.size();
            }
            if (end > start) {
                path += L'\\';
                path += Base::LowerCase(sub.substr(start, end - start));
            }
            start = end + 1;
        }
        if (!KeyExists(*parent->registry, path)) {
            return static_cast<LSTATUS>(ERROR_FILE_NOT_FOUND);
        }
        *result = Keys().Insert(OpenKey{parent->registry, path});
        return ERROR_SUCCESS;
    });
}

LSTATUS WINAPI RegCloseKey(HKEY key) {
    if (KeyTable::RootPath(key)) {
        return ERROR_SUCCESS;
    }
    return Keys().Remove(key) ? ERROR_SUCCESS : static_cast<LSTATUS>(ERROR_INVALID_HANDLE);
}

LSTATUS WINAPI RegQueryValueExW(HKEY key, LPCWSTR valueName, LPDWORD, LPDWORD type, LPBYTE data,
                                LPDWORD dataSize) {
    return Base::CFunctionBoundary(Pal::FailWithStatus(), [&]() -> LSTATUS {
        const auto open = Keys().Find(key);
        if (!open) {
            return static_cast<LSTATUS>(ERROR_INVALID_HANDLE);
        }
        const RegistryValue* value = FindValue(*open, valueName);
        if (value == nullptr) {
            return static_cast<LSTATUS>(ERROR_FILE_NOT_FOUND);
        }
        if (type != nullptr) {
            *type = value->type;
        }
        return CopyData(value->data, data, dataSize);
    });
}

LSTATUS WINAPI RegEnumValueW(HKEY key, DWORD index, LPWSTR valueName, LPDWORD nameSize, LPDWORD,
                             LPDWORD type, LPBYTE data, LPDWORD dataSize) {
    return Base::CFunctionBoundary(Pal::FailWithStatus(), [&]() -> LSTATUS {
        if (valueName == nullptr || nameSize == nullptr) {
            return static_cast<LSTATUS>(ERROR_INVALID_PARAMETER);
        }
        const auto open = Keys().Find(key);
        if (!open) {
            return static_cast<LSTATUS>(ERROR_INVALID_HANDLE);
        }
        const auto it = open->registry->keys.find(open->path);
        if (it == open->registry->keys.end() || index >= it->second.values.size()) {
            return static_cast<LSTATUS>(ERROR_NO_MORE_ITEMS);
        }
        const RegistryValue& value = it->second.values[index];
        if (*nameSize <= value.name.size()) {
            *nameSize = static_cast<DWORD>(value.name.size() + 1);
            return static_cast<LSTATUS>(ERROR_MORE_DATA);
        }
        std::memcpy(valueName, value.name.c_str(), (value.name.size() + 1) * sizeof(WCHAR));
        *nameSize = static_cast<DWORD>(value.name.size());
        if (type != nullptr) {
            *type = value.type;
        }
        return CopyData(value.data, data, dataSize);
    });
}

LSTATUS WINAPI RegGetValueW(HKEY key, LPCWSTR subKey, LPCWSTR valueName, DWORD flags, LPDWORD type,
                            PVOID data, LPDWORD dataSize) {
    return Base::CFunctionBoundary(Pal::FailWithStatus(), [&]() -> LSTATUS {
        HKEY opened = nullptr;
        if (subKey != nullptr && *subKey != L'\0') {
            const LSTATUS status = RegOpenKeyExW(key, subKey, 0, KEY_READ, &opened);
            if (status != ERROR_SUCCESS) {
                return status;
            }
        }
        const auto open = Keys().Find(opened != nullptr ? opened : key);
        if (opened != nullptr) {
            RegCloseKey(opened);
        }
        if (!open) {
            return static_cast<LSTATUS>(ERROR_INVALID_HANDLE);
        }
        const RegistryValue* value = FindValue(*open, valueName);
        if (value == nullptr) {
            return static_cast<LSTATUS>(ERROR_FILE_NOT_FOUND);
        }
        DWORD resultType = value->type;
        std::vector<BYTE> bytes = value->data;
        if (value->type == REG_EXPAND_SZ && (flags & RRF_NOEXPAND) == 0) {
            std::wstring text(reinterpret_cast<const WCHAR*>(bytes.data()),
                              bytes.size() / sizeof(WCHAR));
            text = text.c_str(); // up to the null
            const DWORD needed = ExpandEnvironmentStringsW(text.c_str(), nullptr, 0);
            std::wstring expanded(needed, L'\0');
            ExpandEnvironmentStringsW(text.c_str(), expanded.data(), needed);
            expanded.resize(needed == 0 ? 0 : needed - 1);
            bytes = WideBytes(expanded);
            resultType = REG_SZ;
            if ((flags & RRF_RT_REG_EXPAND_SZ) == 0 && (flags & RRF_RT_REG_SZ) == 0) {
                return static_cast<LSTATUS>(ERROR_UNSUPPORTED_TYPE);
            }
        } else if ((TypeFlag(value->type) & flags) == 0) {
            return static_cast<LSTATUS>(ERROR_UNSUPPORTED_TYPE);
        }
        if (type != nullptr) {
            *type = resultType;
        }
        return CopyData(bytes, static_cast<LPBYTE>(data), dataSize);
    });
}
