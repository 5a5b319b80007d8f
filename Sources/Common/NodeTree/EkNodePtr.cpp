#include "NodeTree/EkNodePtr.h"

#include "NodeTree/QuarryText.h"

#include <array>
#include <cstring>
#include <utility>

using NodeTree::AppendFromUtf16;
using NodeTree::AppendToUtf16;
using NodeTree::Utf16Arg;

namespace {

constexpr uint32_t StackChars = 128;

// The growing-buffer read of a text: a 128-unit stack buffer first, a heap buffer only when the
// library reports that the text is longer. `unitBytes` is 1 for calls that count characters and
// sizeof(EKNCHAR) for calls that count bytes. Returns the library's result; `out` holds the text
// read on success.
template <typename Call>
HRESULT ReadGrowing(std::wstring& out, uint32_t unitBytes, Call&& call) {
    out.clear();
    std::array<EKNCHAR, StackChars> stack;
    std::vector<EKNCHAR> heap;
    EKNCHAR* buffer = stack.data();
    uint32_t capacity = StackChars;
    uint32_t size = capacity * unitBytes;
    HRESULT hr = call(buffer, &size);
    while (hr == HR_INSUFFICIENT_BUFFER && size / unitBytes > capacity) {
        capacity = (size + unitBytes - 1) / unitBytes;
        heap.resize(capacity);
        buffer = heap.data();
        size = capacity * unitBytes;
        hr = call(buffer, &size);
    }
    if (hr >= 0) {
        const uint32_t units = std::min(size / unitBytes, capacity);
        if (units > 0) {
            AppendFromUtf16(out, buffer, units - 1);
        }
    }
    return hr;
}

} // namespace

EkNodePtr::EkNodePtr(void* handle, bool attach) {
    if (attach || handle == nullptr) {
        m_handle = handle;
    } else {
        ThrowIfFailed(EknDuplicateNodeHandle(handle, &m_handle));
    }
}

EkNodePtr::EkNodePtr(const EkNodePtr& other) : EkNodePtr(other.m_handle, false) {}

EkNodePtr::EkNodePtr(EkNodePtr&& other) noexcept
    : m_handle(std::exchange(other.m_handle, nullptr)) {}

EkNodePtr& EkNodePtr::operator=(const EkNodePtr& other) {
    if (other.m_handle != m_handle) {
        // The new handle is obtained before the old one is closed.
        EkNodePtr copy(other);
        std::swap(m_handle, copy.m_handle);
    }
    return *this;
}

EkNodePtr& EkNodePtr::operator=(EkNodePtr&& other) noexcept {
    if (this != &other) {
        Close();
        m_handle = std::exchange(other.m_handle, nullptr);
    }
    return *this;
}

EkNodePtr::~EkNodePtr() {
    Close();
}

void EkNodePtr::Close() noexcept {
    if (void* handle = std::exchange(m_handle, nullptr)) {
        EknCloseNodeHandle(handle);
    }
}

void* EkNodePtr::Detach() noexcept {
    return std::exchange(m_handle, nullptr);
}

void** EkNodePtr::AddressForOutput() noexcept {
    Close();
    return &m_handle;
}

EkNodePtr EkNodePtr::CreateNode(const wchar_t* name, const wchar_t* type) {
    const Utf16Arg name16(name);
    const Utf16Arg type16(type);
    EkNodePtr node;
    ThrowIfFailed(EknCreateNode(name16.Get(), type16.Get(), node.AddressForOutput()));
    return node;
}

EkNodePtr EkNodePtr::CreateNode(const NodeTree::NodeName& type) {
    EkNodePtr node;
    ThrowIfFailed(EknCreateNode(nullptr, type.Units(), node.AddressForOutput()));
    return node;
}

uint64_t EkNodePtr::GetChildCount() const {
    uint64_t count = 0;
    ThrowIfFailed(EknGetChildCount(m_handle, &count));
    return count;
}

EkNodePtr EkNodePtr::GetChildByIndex(uint64_t index, bool mustExist) const {
    EkNodePtr child;
    const HRESULT hr = EknGetChildByIndex(m_handle, index, child.AddressForOutput());
    if (hr == HR_NOT_FOUND && !mustExist) {
        return EkNodePtr();
    }
    ThrowIfFailed(hr);
    return child;
}

EkNodePtr EkNodePtr::GetChildByName(const wchar_t* name, bool mustExist) const {
    const Utf16Arg name16(name);
    EkNodePtr child;
    const HRESULT hr = EknGetChildByName(m_handle, name16.Get(), child.AddressForOutput());
    if (hr == HR_NOT_FOUND && !mustExist) {
        return EkNodePtr();
    }
    ThrowIfFailed(hr);
    return child;
}

EkNodePtr EkNodePtr::GetParent() const {
    EkNodePtr parent;
    ThrowIfFailed(EknGetParent(m_handle, parent.AddressForOutput()));
    return parent;
}

void EkNodePtr::AddChild(const EkNodePtr& child) const {
    ThrowIfFailed(EknAddChild(m_handle, child.m_handle));
}

void EkNodePtr::RemoveChild(const EkNodePtr& child) const {
    ThrowIfFailed(EknRemoveChild(m_handle, child.m_handle));
}

EkNodePtr EkNodePtr::CloneNode(int32_t depth, uint32_t flags) const {
    EkNodePtr clone;
    ThrowIfFailed(EknCloneNode(m_handle, depth, flags, clone.AddressForOutput()));
    return clone;
}

void EkNodePtr::GetNodeName(std::wstring& name, uint32_t flags) const {
    ReadGrowing(name, 1, [&](EKNCHAR* buffer, uint32_t* size) {
        return EknGetNodeName(m_handle, flags, buffer, size);
    });
}

std::wstring EkNodePtr::GetNodeName(uint32_t flags) const {
    std::wstring name;
    GetNodeName(name, flags);
    return name;
}

void EkNodePtr::GetNodeType(std::wstring& type) const {
    ReadGrowing(type, 1, [&](EKNCHAR* buffer, uint32_t* size) {
        return EknGetNodeType(m_handle, buffer, size);
    });
}

std::wstring EkNodePtr::GetNodeType() const {
    std::wstring type;
    GetNodeType(type);
    return type;
}

std::vector<std::wstring> EkNodePtr::GetAttributeNames() const {
    std::wstring joined;
    const HRESULT hr = ReadGrowing(joined, 1, [&](EKNCHAR* buffer, uint32_t* size) {
        return EknGetAttributeNames(m_handle, buffer, size);
    });
    ThrowIfFailed(hr);
    std::vector<std::wstring> names;
    size_t start = 0;
    while (start <= joined.size()) {
        size_t end = joined.find(L'\0', start);
        if (end == std::wstring::npos) {
            end = joined.size();
        }
        if (end > start) {
            names.emplace_back(joined, start, end - start);
        }
        start = end + 1;
    }
    return names;
}

void EkNodePtr::SetRawAttribute(const wchar_t* name, uint16_t type, const void* data,
                                uint32_t size) const {
    const Utf16Arg name16(name);
    ThrowIfFailed(EknSetAttribute(m_handle, name16.Get(), type, data, size));
}

void EkNodePtr::SetRawAttribute(const NodeTree::NodeName& name, uint16_t type, const void* data,
                                uint32_t size) const {
    ThrowIfFailed(EknSetAttribute(m_handle, name.Units(), type, data, size));
}

namespace {

// Sets a string attribute through `setRaw` (the name's own SetRawAttribute).
template <typename SetRaw>
void SetText(const wchar_t* text, uint32_t length, SetRaw&& setRaw) {
    const std::wstring_view view = length == 0xFFFFFFFF
                                       ? std::wstring_view(text != nullptr ? text : L"")
                                       : std::wstring_view(text, length);
    const Utf16Arg text16(view);
    setRaw(EKN_TYPE_STRING, text16.Get(),
           static_cast<uint32_t>((text16.Length() + 1) * sizeof(EKNCHAR)));
}

} // namespace

void EkNodePtr::SetAttribute(const wchar_t* name, const wchar_t* text, uint32_t length) const {
    SetText(text, length, [&](uint16_t type, const void* data, uint32_t size) {
        SetRawAttribute(name, type, data, size);
    });
}

void EkNodePtr::SetAttribute(const NodeTree::NodeName& name, const wchar_t* text,
                             uint32_t length) const {
    SetText(text, length, [&](uint16_t type, const void* data, uint32_t size) {
        SetRawAttribute(name, type, data, size);
    });
}

void EkNodePtr::SetAttribute(const NodeTree::NodeName& name, const std::wstring& text) const {
    SetAttribute(name, text.c_str(), static_cast<uint32_t>(text.size()));
}

void EkNodePtr::SetAttribute(const NodeTree::NodeName& name, int64_t value) const {
    SetRawAttribute(name, EKN_TYPE_INT64, &value, sizeof(value));
}

void EkNodePtr::SetAttribute(const wchar_t* name, const std::wstring& text) const {
    SetAttribute(name, text.c_str(), static_cast<uint32_t>(text.size()));
}

void EkNodePtr::SetAttribute(const wchar_t* name, bool value) const {
    const uint8_t byte = value ? 1 : 0;
    SetRawAttribute(name, EKN_TYPE_BOOL, &byte, 1);
}

void EkNodePtr::SetAttribute(const wchar_t* name, int32_t value) const {
    SetRawAttribute(name, EKN_TYPE_INT32, &value, sizeof(value));
}

void EkNodePtr::SetAttribute(const wchar_t* name, int64_t value) const {
    SetRawAttribute(name, EKN_TYPE_INT64, &value, sizeof(value));
}

void EkNodePtr::SetAttribute(const wchar_t* name, const GUID& value) const {
    SetRawAttribute(name, EKN_TYPE_GUID, &value, sizeof(value));
}

void EkNodePtr::SetAttribute(const wchar_t* name, const std::vector<std::wstring>& list) const {
    std::vector<EKNCHAR> joined;
    for (const std::wstring& item : list) {
        AppendToUtf16(joined, item);
        joined.push_back(0);
    }
    SetRawAttribute(name, EKN_TYPE_STRING_LIST, joined.empty() ? nullptr : joined.data(),
                    static_cast<uint32_t>(joined.size() * sizeof(EKNCHAR)));
}

void EkNodePtr::SetAttribute(const wchar_t* name, const std::vector<int32_t>& values) const {
    SetRawAttribute(name, EKN_TYPE_INT32_ARRAY, values.empty() ? nullptr : values.data(),
                    static_cast<uint32_t>(values.size() * sizeof(int32_t)));
}

void EkNodePtr::SetAttribute(const wchar_t* name, const std::vector<int64_t>& values) const {
    SetRawAttribute(name, EKN_TYPE_INT64_ARRAY, values.empty() ? nullptr : values.data(),
                    static_cast<uint32_t>(values.size() * sizeof(int64_t)));
}

bool EkNodePtr::HasAttribute(const wchar_t* name, uint16_t* storedType) const {
    const Utf16Arg name16(name);
    const HRESULT hr =
        EknGetAttribute(m_handle, name16.Get(), nullptr, nullptr, nullptr, storedType);
    if (hr == HR_NOT_FOUND) {
        return false;
    }
    ThrowIfFailed(hr);
    return true;
}

void EkNodePtr::ThrowUnlessAbsent(HRESULT hr, const wchar_t* name) const {
    if (hr == HR_NOT_FOUND) {
        return;
    }
    uint16_t stored = 0xFFFF;
    if (HasAttribute(name, &stored) && stored == EKN_TYPE_NONE) {
        return;
    }
    ThrowIfFailed(hr);
}

bool EkNodePtr::ReadFixed(const wchar_t* name, uint16_t type, void* data, uint32_t size) const {
    const Utf16Arg name16(name);
    uint16_t stored = 0xFFFF;
    const HRESULT hr = EknGetAttribute(m_handle, name16.Get(), &type, data, &size, &stored);
    if (hr < 0) {
        ThrowUnlessAbsent(hr, name);
        return false;
    }
    return stored != EKN_TYPE_NONE;
}

template <typename T>
bool EkNodePtr::ReadVariable(const wchar_t* name, uint16_t type, std::vector<T>& values) const {
    const Utf16Arg name16(name);
    values.resize(values.capacity());
    uint32_t size = static_cast<uint32_t>(values.size() * sizeof(T));
    uint16_t stored = 0xFFFF;
    auto call = [&] {
        return EknGetAttribute(m_handle, name16.Get(), &type,
                               values.empty() ? nullptr : values.data(), &size, &stored);
    };
    HRESULT hr = call();
    const bool sizeOnly = hr >= 0 && values.empty() && size > 0;
    if ((hr == HR_INSUFFICIENT_BUFFER || sizeOnly) && size > values.size() * sizeof(T)) {
        values.resize((size + sizeof(T) - 1) / sizeof(T));
        size = static_cast<uint32_t>(values.size() * sizeof(T));
        hr = call();
    }
    if (hr < 0) {
        values.clear();
        ThrowUnlessAbsent(hr, name);
        return false;
    }
    if (stored == EKN_TYPE_NONE) {
        values.clear();
        return false;
    }
    values.resize((size + sizeof(T) - 1) / sizeof(T));
    return true;
}

bool EkNodePtr::GetAttribute(const wchar_t* name, std::wstring& text) const {
    const Utf16Arg name16(name);
    const uint16_t type = EKN_TYPE_STRING;
    uint16_t stored = 0xFFFF;
    const HRESULT hr = ReadGrowing(text, sizeof(EKNCHAR), [&](EKNCHAR* buffer, uint32_t* size) {
        return EknGetAttribute(m_handle, name16.Get(), &type, buffer, size, &stored);
    });
    if (hr < 0) {
        text.clear();
        ThrowUnlessAbsent(hr, name);
        return false;
    }
    if (stored == EKN_TYPE_NONE) {
        text.clear();
        return false;
    }
    return true;
}

bool EkNodePtr::GetAttribute(const wchar_t* name, std::vector<std::wstring>& list,
                             bool mustExist) const {
    std::vector<EKNCHAR> units;
    const bool present = ReadVariable(name, EKN_TYPE_STRING_LIST, units);
    list.clear();
    if (!present) {
        if (mustExist) {
            RaiseError(HR_NOT_FOUND);
        }
        return false;
    }
    if (units.empty()) {
        return true;
    }
    // The final NUL ends the last item; every other NUL separates two items, empty ones included.
    units.pop_back();
    size_t start = 0;
    for (size_t i = 0; i <= units.size(); ++i) {
        if (i == units.size() || units[i] == 0) {
            std::wstring item;
            AppendFromUtf16(item, units.data() + start, i - start);
            list.push_back(std::move(item));
            start = i + 1;
        }
    }
    return true;
}

bool EkNodePtr::GetAttribute(const wchar_t* name, uint32_t& value) const {
    return ReadFixed(name, EKN_TYPE_UINT32, &value, sizeof(value));
}

bool EkNodePtr::GetAttribute(const wchar_t* name, int64_t& value) const {
    return ReadFixed(name, EKN_TYPE_INT64, &value, sizeof(value));
}

bool EkNodePtr::GetAttribute(const wchar_t* name, bool& value) const {
    uint8_t byte = 0;
    if (!ReadFixed(name, EKN_TYPE_BOOL, &byte, 1)) {
        return false;
    }
    value = byte != 0;
    return true;
}

bool EkNodePtr::GetAttribute(const wchar_t* name, GUID& value) const {
    return ReadFixed(name, EKN_TYPE_GUID, &value, sizeof(value));
}

bool EkNodePtr::GetAttribute(const wchar_t* name, std::vector<uint32_t>& values) const {
    return ReadVariable(name, EKN_TYPE_UINT32_ARRAY, values);
}

bool EkNodePtr::GetAttribute(const wchar_t* name, std::vector<int64_t>& values) const {
    return ReadVariable(name, EKN_TYPE_INT64_ARRAY, values);
}

bool EkNodePtr::GetUInt32List(const wchar_t* name, std::vector<uint32_t>& values) const {
    uint16_t stored = EKN_TYPE_NONE;
    values.clear();
    if (!HasAttribute(name, &stored) || stored == EKN_TYPE_NONE) {
        return false;
    }
    if ((stored & EKN_TYPE_ARRAY) != 0) {
        return ReadVariable(name, EKN_TYPE_UINT32_ARRAY, values);
    }
    uint32_t value = 0;
    if (!GetAttribute(name, value)) {
        return false;
    }
    values.assign(1, value);
    return true;
}

bool EkNodePtr::GetRawAttribute(const wchar_t* name, std::vector<uint8_t>& buffer,
                                uint16_t& type) const {
    const Utf16Arg name16(name);
    buffer.resize(std::max<size_t>(128, buffer.size()));
    uint32_t size = static_cast<uint32_t>(buffer.size());
    HRESULT hr = EknGetAttribute(m_handle, name16.Get(), nullptr, buffer.data(), &size, &type);
    while (hr == HR_INSUFFICIENT_BUFFER && size > buffer.size()) {
        buffer.resize(size);
        hr = EknGetAttribute(m_handle, name16.Get(), nullptr, buffer.data(), &size, &type);
    }
    if (hr == HR_NOT_FOUND) {
        buffer.clear();
        return false;
    }
    ThrowIfFailed(hr);
    buffer.resize(size);
    return true;
}

std::wstring EkNodePtr::GetString(const wchar_t* name) const {
    std::wstring text;
    if (!GetAttribute(name, text)) {
        RaiseError(HR_NOT_FOUND);
    }
    return text;
}

uint32_t EkNodePtr::GetUInt32(const wchar_t* name) const {
    uint32_t value = 0;
    if (!GetAttribute(name, value)) {
        RaiseError(HR_NOT_FOUND);
    }
    return value;
}

int64_t EkNodePtr::GetInt64(const wchar_t* name) const {
    int64_t value = 0;
    if (!GetAttribute(name, value)) {
        RaiseError(HR_NOT_FOUND);
    }
    return value;
}

bool EkNodePtr::GetBool(const wchar_t* name) const {
    bool value = false;
    if (!GetAttribute(name, value)) {
        RaiseError(HR_NOT_FOUND);
    }
    return value;
}

GUID EkNodePtr::GetGuid(const wchar_t* name) const {
    GUID value{};
    if (!GetAttribute(name, value)) {
        RaiseError(HR_NOT_FOUND);
    }
    return value;
}

std::wstring EkNodePtr::GetString(const wchar_t* name, const std::wstring& defaultValue) const {
    std::wstring text;
    return GetAttribute(name, text) ? text : defaultValue;
}

uint32_t EkNodePtr::GetUInt32(const wchar_t* name, uint32_t defaultValue) const {
    uint32_t value = 0;
    return GetAttribute(name, value) ? value : defaultValue;
}

GUID EkNodePtr::GetGuid(const wchar_t* name, const GUID& defaultValue) const {
    GUID value{};
    return GetAttribute(name, value) ? value : defaultValue;
}
