// The node library's and the framework's functions with char16_t names and buffers, for their
// tests, which write names as u"" literals. EKNCHAR is char16_t on Linux (these are then never
// chosen) and the 16-bit wchar_t on Windows; both are UTF-16, so the text passes unchanged.
#pragma once

#include "Quarry/Quarry.h"
#include "Trellis/Trellis.h"

#include <type_traits>

template <typename C>
concept OtherUtf16Char = std::is_same_v<C, char16_t> && !std::is_same_v<C, EKNCHAR>;

template <OtherUtf16Char C>
const EKNCHAR* AsEknChars(const C* text) {
    return reinterpret_cast<const EKNCHAR*>(text);
}
template <OtherUtf16Char C>
EKNCHAR* AsEknChars(C* text) {
    return reinterpret_cast<EKNCHAR*>(text);
}

template <OtherUtf16Char C>
EKN_HRESULT EknCreateNode(const C* name, const std::type_identity_t<C>* type, void** node) {
    return EknCreateNode(AsEknChars(name), AsEknChars(type), node);
}
template <OtherUtf16Char C>
EKN_HRESULT EknGetChildByName(void* node, const C* name, void** child) {
    return EknGetChildByName(node, AsEknChars(name), child);
}
template <OtherUtf16Char C>
EKN_HRESULT EknGetNodeName(void* node, uint32_t flags, C* buffer, uint32_t* size) {
    return EknGetNodeName(node, flags, AsEknChars(buffer), size);
}
template <OtherUtf16Char C>
EKN_HRESULT EknGetNodeType(void* node, C* buffer, uint32_t* size) {
    return EknGetNodeType(node, AsEknChars(buffer), size);
}
template <OtherUtf16Char C>
EKN_HRESULT EknGetAttributeNames(void* node, C* buffer, uint32_t* size) {
    return EknGetAttributeNames(node, AsEknChars(buffer), size);
}
template <OtherUtf16Char C>
EKN_HRESULT EknGetAttribute(void* node, const C* name, const uint16_t* requestedType, void* buffer,
                            uint32_t* size, uint16_t* storedType) {
    return EknGetAttribute(node, AsEknChars(name), requestedType, buffer, size, storedType);
}
template <OtherUtf16Char C>
EKN_HRESULT EknSetAttribute(void* node, const C* name, uint16_t type, const void* data,
                            uint32_t size) {
    return EknSetAttribute(node, AsEknChars(name), type, data, size);
}

template <OtherUtf16Char C>
HRESULT TrGetNamedInstance(const C* name, uint32_t flags, const GUID* iid, void** object) {
    return TrGetNamedInstance(AsEknChars(name), flags, iid, object);
}
template <OtherUtf16Char C>
HRESULT TrRegisterNamedInstance(const C* name, const GUID* iid, void* object) {
    return TrRegisterNamedInstance(AsEknChars(name), iid, object);
}
template <OtherUtf16Char C>
HRESULT TrRevokeNamedInstance(const C* name) {
    return TrRevokeNamedInstance(AsEknChars(name));
}
