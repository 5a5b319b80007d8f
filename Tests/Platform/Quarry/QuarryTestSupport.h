// Helpers for tests of the node library through its C interface.
#pragma once

#include "Platform/Utf16Names.h"
#include "Quarry/Quarry.h"

#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace QuarryTest {

constexpr EKN_HRESULT kOk = 0;
constexpr EKN_HRESULT kPointer = static_cast<EKN_HRESULT>(0x80004003);
constexpr EKN_HRESULT kHandle = static_cast<EKN_HRESULT>(0x80070006);
constexpr EKN_HRESULT kInvalidArg = static_cast<EKN_HRESULT>(0x80070057);
constexpr EKN_HRESULT kFail = static_cast<EKN_HRESULT>(0x80004005);
constexpr EKN_HRESULT kTypeMismatch = static_cast<EKN_HRESULT>(0x80020005);
constexpr EKN_HRESULT kOverflow = static_cast<EKN_HRESULT>(0x8002000A);
constexpr EKN_HRESULT kInsufficient = static_cast<EKN_HRESULT>(0x8007007A);
constexpr EKN_HRESULT kNotFound = static_cast<EKN_HRESULT>(0x80070490);
constexpr EKN_HRESULT kUnexpected = static_cast<EKN_HRESULT>(0x8000FFFF);

// Owns one node handle.
class Node {
public:
    Node() = default;
    explicit Node(void* handle) : m_handle(handle) {}
    Node(Node&& other) noexcept : m_handle(std::exchange(other.m_handle, nullptr)) {}
    Node& operator=(Node&& other) noexcept {
        std::swap(m_handle, other.m_handle);
        return *this;
    }
    ~Node() { Close(); }

    void Close() {
        if (m_handle != nullptr) {
            EknCloseNodeHandle(std::exchange(m_handle, nullptr));
        }
    }
    void* get() const { return m_handle; }
    void** out() {
        Close();
        return &m_handle;
    }

private:
    void* m_handle = nullptr;
};

inline Node Create(const char16_t* name, const char16_t* type = u"") {
    Node node;
    EknCreateNode(name, type, node.out());
    return node;
}

inline Node AddNew(void* parent, const char16_t* name, const char16_t* type = u"") {
    Node child = Create(name, type);
    EknAddChild(parent, child.get());
    return child;
}

inline std::u16string NameOf(void* node, uint32_t flags = EKN_NAME_PLAIN) {
    char16_t buffer[256];
    uint32_t size = 256;
    return EknGetNodeName(node, flags, buffer, &size) == kOk ? std::u16string(buffer, size - 1)
                                                             : u"<error>";
}

inline uint64_t ChildCount(void* node) {
    uint64_t count = ~uint64_t{0};
    EknGetChildCount(node, &count);
    return count;
}

inline EKN_HRESULT SetString(void* node, const char16_t* name, const std::u16string& value) {
    return EknSetAttribute(node, name, EKN_TYPE_STRING, value.c_str(),
                           static_cast<uint32_t>((value.size() + 1) * sizeof(char16_t)));
}

template <typename T>
EKN_HRESULT SetValue(void* node, const char16_t* name, uint16_t type, const T& value) {
    return EknSetAttribute(node, name, type, &value, sizeof value);
}

template <typename T>
EKN_HRESULT SetArray(void* node, const char16_t* name, uint16_t type, const std::vector<T>& v) {
    return EknSetAttribute(node, name, type, v.empty() ? nullptr : v.data(),
                           static_cast<uint32_t>(v.size() * sizeof(T)));
}

// Reads an attribute as `type` with the growing protocol; the bytes, or the failure code.
inline EKN_HRESULT Read(void* node, const char16_t* name, uint16_t type,
                        std::vector<uint8_t>& bytes) {
    uint32_t size = 0;
    EKN_HRESULT hr = EknGetAttribute(node, name, &type, nullptr, &size, nullptr);
    if (hr == kInsufficient) {
        bytes.assign(size, 0);
        hr = EknGetAttribute(node, name, &type, bytes.data(), &size, nullptr);
    } else {
        bytes.clear();
    }
    return hr;
}

inline std::u16string ReadString(void* node, const char16_t* name) {
    std::vector<uint8_t> bytes;
    if (Read(node, name, EKN_TYPE_STRING, bytes) != kOk || bytes.size() < 2) {
        return u"<error>";
    }
    return std::u16string(reinterpret_cast<const char16_t*>(bytes.data()), bytes.size() / 2 - 1);
}

inline std::vector<std::u16string> ReadList(void* node, const char16_t* name) {
    std::vector<uint8_t> bytes;
    std::vector<std::u16string> list;
    if (Read(node, name, EKN_TYPE_STRING_LIST, bytes) != kOk) {
        return {u"<error>"};
    }
    std::u16string all(reinterpret_cast<const char16_t*>(bytes.data()), bytes.size() / 2);
    size_t start = 0;
    for (size_t i = 0; i < all.size(); ++i) {
        if (all[i] == 0) {
            list.push_back(all.substr(start, i - start));
            start = i + 1;
        }
    }
    return list;
}

template <typename T>
EKN_HRESULT ReadValue(void* node, const char16_t* name, uint16_t type, T& value) {
    uint32_t size = sizeof value;
    return EknGetAttribute(node, name, &type, &value, &size, nullptr);
}

} // namespace QuarryTest
