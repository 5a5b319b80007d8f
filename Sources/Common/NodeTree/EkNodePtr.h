// EkNodePtr: the owning handle to one node of the node library, with typed attribute access,
// children, cloning and lookup. Copies are second handles to the same node, never copies of it.
// Absence of an attribute or child is HRESULT_FROM_WIN32(ERROR_NOT_FOUND); any other library
// failure is raised as an HRX.
#pragma once

#include "ErrorHandling/ErrorHandling.h"
#include "NodeTree/NodeName.h"
#include "Quarry/Quarry.h"

#include <cstdint>
#include <string>
#include <vector>

class EkNodePtr {
public:
    EkNodePtr() noexcept = default;
    // Attaching takes over the handle; not attaching duplicates a non-null handle.
    EkNodePtr(void* handle, bool attach);
    EkNodePtr(const EkNodePtr& other);
    EkNodePtr(EkNodePtr&& other) noexcept;
    EkNodePtr& operator=(const EkNodePtr& other);
    EkNodePtr& operator=(EkNodePtr&& other) noexcept;
    ~EkNodePtr();

    // Hands the raw handle to the caller (a response to the host) and leaves this null.
    [[nodiscard]] void* Detach() noexcept;
    // Closes the current handle and yields the handle field for a call that returns a new one.
    void** AddressForOutput() noexcept;
    void* Get() const noexcept { return m_handle; }
    explicit operator bool() const noexcept { return m_handle != nullptr; }

    // A new root node; name and type may be null.
    static EkNodePtr CreateNode(const wchar_t* name, const wchar_t* type);
    // A new root node without a name, of a type encoded once.
    static EkNodePtr CreateNode(const NodeTree::NodeName& type);

    // Tree operations.
    uint64_t GetChildCount() const;
    // A child that need not exist gives null when absent; one that must exist raises.
    EkNodePtr GetChildByIndex(uint64_t index, bool mustExist = true) const;
    EkNodePtr GetChildByName(const wchar_t* name, bool mustExist = true) const;
    // Null for a root.
    EkNodePtr GetParent() const;
    void AddChild(const EkNodePtr& child) const;
    void RemoveChild(const EkNodePtr& child) const;
    // A new root holding a copy; EKN_DEPTH_ALL copies the subtree, 0 the node and its attributes.
    EkNodePtr CloneNode(int32_t depth = EKN_DEPTH_ALL, uint32_t flags = 0) const;
    // The name (flags 0) or full path (flags 2); empty when the library fails. Never raises but
    // for allocation failure. Names up to 127 characters cost one library call and no allocation
    // besides the result's.
    void GetNodeName(std::wstring& name, uint32_t flags = EKN_NAME_PLAIN) const;
    std::wstring GetNodeName(uint32_t flags = EKN_NAME_PLAIN) const;
    void GetNodeType(std::wstring& type) const;
    std::wstring GetNodeType() const;
    std::vector<std::wstring> GetAttributeNames() const;

    // Writers: set the named attribute, replacing an earlier value of that name.
    // A string from a pointer and a length; 0xFFFFFFFF means up to the terminating NUL.
    void SetAttribute(const wchar_t* name, const wchar_t* text, uint32_t length = 0xFFFFFFFF) const;
    void SetAttribute(const wchar_t* name, const std::wstring& text) const;
    void SetAttribute(const wchar_t* name, bool value) const;
    void SetAttribute(const wchar_t* name, int32_t value) const;
    void SetAttribute(const wchar_t* name, int64_t value) const;
    void SetAttribute(const wchar_t* name, const GUID& value) const;
    void SetAttribute(const wchar_t* name, const std::vector<std::wstring>& list) const;
    void SetAttribute(const wchar_t* name, const std::vector<int32_t>& values) const;
    void SetAttribute(const wchar_t* name, const std::vector<int64_t>& values) const;
    // Other value types need an explicit conversion to one of the above.
    template <typename T>
    void SetAttribute(const wchar_t* name, T value) const = delete;
    // A value of any type code from its byte image.
    void SetRawAttribute(const wchar_t* name, uint16_t type, const void* data, uint32_t size) const;
    // The same writers for a name encoded once (NodeTree::NodeName), for attributes that many
    // nodes carry.
    void SetAttribute(const NodeTree::NodeName& name, const wchar_t* text, uint32_t length) const;
    void SetAttribute(const NodeTree::NodeName& name, const std::wstring& text) const;
    void SetAttribute(const NodeTree::NodeName& name, int64_t value) const;
    void SetRawAttribute(const NodeTree::NodeName& name, uint16_t type, const void* data,
                         uint32_t size) const;

    // Presence, with the stored type code when wanted.
    bool HasAttribute(const wchar_t* name, uint16_t* storedType = nullptr) const;

    // Optional readers: false when absent (or stored with type code 0), the value converted by
    // the library otherwise.
    bool GetAttribute(const wchar_t* name, std::wstring& text) const;
    bool GetAttribute(const wchar_t* name, std::vector<std::wstring>& list,
                      bool mustExist = false) const;
    bool GetAttribute(const wchar_t* name, uint32_t& value) const;
    bool GetAttribute(const wchar_t* name, int64_t& value) const;
    bool GetAttribute(const wchar_t* name, bool& value) const;
    bool GetAttribute(const wchar_t* name, GUID& value) const;
    bool GetAttribute(const wchar_t* name, std::vector<uint32_t>& values) const;
    bool GetAttribute(const wchar_t* name, std::vector<int64_t>& values) const;
    // A list of unsigned 32-bit values from either an array or a single value.
    bool GetUInt32List(const wchar_t* name, std::vector<uint32_t>& values) const;
    // The byte image and stored type code; `buffer` is reused scratch space.
    bool GetRawAttribute(const wchar_t* name, std::vector<uint8_t>& buffer, uint16_t& type) const;

    // Required readers: raise HRESULT_FROM_WIN32(ERROR_NOT_FOUND) when absent.
    std::wstring GetString(const wchar_t* name) const;
    uint32_t GetUInt32(const wchar_t* name) const;
    int64_t GetInt64(const wchar_t* name) const;
    bool GetBool(const wchar_t* name) const;
    GUID GetGuid(const wchar_t* name) const;

    // Readers with a default for an absent attribute (or one stored with type code 0).
    std::wstring GetString(const wchar_t* name, const std::wstring& defaultValue) const;
    uint32_t GetUInt32(const wchar_t* name, uint32_t defaultValue) const;
    GUID GetGuid(const wchar_t* name, const GUID& defaultValue) const;

private:
    void Close() noexcept;
    bool ReadFixed(const wchar_t* name, uint16_t type, void* data, uint32_t size) const;
    template <typename T>
    bool ReadVariable(const wchar_t* name, uint16_t type, std::vector<T>& values) const;
    // Returns for a failure that means absence (ERROR_NOT_FOUND, or an attribute stored with type
    // code 0); raises any other failure.
    void ThrowUnlessAbsent(HRESULT hr, const wchar_t* name) const;

    void* m_handle = nullptr;
};

// Copies one attribute between nodes with its type code. With `changed` wanted, an identical
// target is left alone and reported unchanged. Raises ERROR_NOT_FOUND for an absent source that
// must exist; `scratch` is reused buffer space.
void CopyAttribute(const wchar_t* sourceName, const EkNodePtr& source, const wchar_t* targetName,
                   const EkNodePtr& target, std::vector<uint8_t>& scratch, bool* changed = nullptr,
                   bool mustExist = false);

// Calls `action` with every child in index order.
template <typename Action>
void ForEachChild(const EkNodePtr& node, Action&& action) {
    const uint64_t count = node.GetChildCount();
    for (uint64_t i = 0; i < count; ++i) {
        const EkNodePtr child = node.GetChildByIndex(i, true);
        action(child);
    }
}

// Flags of FindNodeByPath.
constexpr uint32_t FIND_NO_CLIMB = 1;
constexpr uint32_t FIND_MUST_EXIST = 2;

// Finds a node by a relative path (walked down from `start`) or an absolute path ("\" first,
// compared with the full path of `start`, climbing to the common prefix). Null when not found;
// FIND_MUST_EXIST raises ERROR_NOT_FOUND instead.
EkNodePtr FindNodeByPath(const EkNodePtr& start, const std::wstring& path, uint32_t flags = 0);
