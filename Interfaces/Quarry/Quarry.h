// C interface of the Quarry node library. Handles are opaque; strings are NUL-terminated UTF-16
// (EKNCHAR is wchar_t on Windows and char16_t elsewhere). Name, type and attribute-name sizes
// count characters including the NUL; attribute sizes count bytes.
#pragma once

#include <cstdint>

#if defined(_WIN32)
using EKNCHAR = wchar_t;
using EKN_HRESULT = long;
#define QUARRY_CALL __stdcall
#if defined(QUARRY_BUILD)
#define QUARRY_API extern "C" __declspec(dllexport)
#else
#define QUARRY_API extern "C" __declspec(dllimport)
#endif
#else
using EKNCHAR = char16_t;
using EKN_HRESULT = int32_t;
#define QUARRY_CALL
#define QUARRY_API extern "C" __attribute__((visibility("default")))
#endif
static_assert(sizeof(EKNCHAR) == 2);
static_assert(sizeof(EKN_HRESULT) == 4);

// Value type codes of attributes.
enum EknValueType : uint16_t {
    EKN_TYPE_NONE = 0,
    EKN_TYPE_STRING = 2,
    EKN_TYPE_INT32 = 3,
    EKN_TYPE_UINT32 = 4,
    EKN_TYPE_INT64 = 6,
    EKN_TYPE_BOOL = 7,
    EKN_TYPE_GUID = 13,
    EKN_TYPE_ARRAY = 0x100,
    EKN_TYPE_STRING_LIST = 0x102,
    EKN_TYPE_INT32_ARRAY = 0x103,
    EKN_TYPE_UINT32_ARRAY = 0x104,
    EKN_TYPE_INT64_ARRAY = 0x106,
};

// Flags of EknGetNodeName.
constexpr uint32_t EKN_NAME_PLAIN = 0;
constexpr uint32_t EKN_NAME_FULL_PATH = 2;

// Depth of EknCloneNode and EknSerializeNodes that covers the whole subtree.
constexpr int32_t EKN_DEPTH_ALL = 0x7FFFFFFF;

enum _EnumEKNSerializationType : int32_t {
    EKN_SERIALIZATION_XML_TEXT = 1,
};

typedef EKN_HRESULT(QUARRY_CALL* EKN_SINK)(const void* data, uint32_t size, void* sinkContext);

QUARRY_API EKN_HRESULT QUARRY_CALL EknCreateNode(const EKNCHAR* name, const EKNCHAR* type,
                                                 void** node);
QUARRY_API EKN_HRESULT QUARRY_CALL EknDuplicateNodeHandle(void* node, void** copy);
QUARRY_API EKN_HRESULT QUARRY_CALL EknCloseNodeHandle(void* node);
QUARRY_API EKN_HRESULT QUARRY_CALL EknCloneNode(void* node, int32_t depth, uint32_t flags,
                                                void** clone);
QUARRY_API EKN_HRESULT QUARRY_CALL EknGetParent(void* node, void** parent);
QUARRY_API EKN_HRESULT QUARRY_CALL EknGetChildCount(void* node, uint64_t* count);
QUARRY_API EKN_HRESULT QUARRY_CALL EknGetChildByIndex(void* node, uint64_t index, void** child);
QUARRY_API EKN_HRESULT QUARRY_CALL EknGetChildByName(void* node, const EKNCHAR* name, void** child);
QUARRY_API EKN_HRESULT QUARRY_CALL EknAddChild(void* parent, void* child);
QUARRY_API EKN_HRESULT QUARRY_CALL EknRemoveChild(void* parent, void* child);
QUARRY_API EKN_HRESULT QUARRY_CALL EknGetNodeName(void* node, uint32_t flags, EKNCHAR* buffer,
                                                  uint32_t* size);
QUARRY_API EKN_HRESULT QUARRY_CALL EknGetNodeType(void* node, EKNCHAR* buffer, uint32_t* size);
QUARRY_API EKN_HRESULT QUARRY_CALL EknGetAttributeNames(void* node, EKNCHAR* buffer,
                                                        uint32_t* size);
QUARRY_API EKN_HRESULT QUARRY_CALL EknGetAttribute(void* node, const EKNCHAR* name,
                                                   const uint16_t* requestedType, void* buffer,
                                                   uint32_t* size, uint16_t* storedType);
QUARRY_API EKN_HRESULT QUARRY_CALL EknSetAttribute(void* node, const EKNCHAR* name, uint16_t type,
                                                   const void* data, uint32_t size);
QUARRY_API EKN_HRESULT QUARRY_CALL EknStartSerialization(int32_t type, uint32_t flags,
                                                         EKN_SINK sink, void* sinkContext,
                                                         void** context);
QUARRY_API EKN_HRESULT QUARRY_CALL EknSerializeNodes(void* context, void* const* nodes,
                                                     uint64_t count, int32_t depth);
QUARRY_API EKN_HRESULT QUARRY_CALL EknFinalizeSerialization(void* context);
QUARRY_API EKN_HRESULT QUARRY_CALL EknCloseSerializationContext(void* context);
