// Windows Event Log API (wevtapi) declarations for builds without the SDK.
// Implemented by Platform/EventLog (libPalEventLog.so). Names, values and layouts are the
// Windows ones; strings are wchar_t (UTF-32 on Linux).
#pragma once

#include "WinTypes.h"

using EVT_HANDLE = HANDLE;
using PEVT_HANDLE = HANDLE*;

enum EVT_VARIANT_TYPE {
    EvtVarTypeNull = 0,
    EvtVarTypeString = 1,
    EvtVarTypeAnsiString = 2,
    EvtVarTypeSByte = 3,
    EvtVarTypeByte = 4,
    EvtVarTypeInt16 = 5,
    EvtVarTypeUInt16 = 6,
    EvtVarTypeInt32 = 7,
    EvtVarTypeUInt32 = 8,
    EvtVarTypeInt64 = 9,
    EvtVarTypeUInt64 = 10,
    EvtVarTypeSingle = 11,
    EvtVarTypeDouble = 12,
    EvtVarTypeBoolean = 13,
    EvtVarTypeBinary = 14,
    EvtVarTypeGuid = 15,
    EvtVarTypeSizeT = 16,
    EvtVarTypeFileTime = 17,
    EvtVarTypeSysTime = 18,
    EvtVarTypeSid = 19,
    EvtVarTypeHexInt32 = 20,
    EvtVarTypeHexInt64 = 21,
    EvtVarTypeEvtHandle = 32,
    EvtVarTypeEvtXml = 35
};

constexpr DWORD EVT_VARIANT_TYPE_MASK = 0x7f;
constexpr DWORD EVT_VARIANT_TYPE_ARRAY = 128;

// One typed value: an 8-byte union, the element count of an array value, and the type (with
// EVT_VARIANT_TYPE_ARRAY for arrays). Pointers point into the buffer the value was rendered into.
struct EVT_VARIANT {
    union {
        BOOL BooleanVal;
        int8_t SByteVal;
        int16_t Int16Val;
        int32_t Int32Val;
        int64_t Int64Val;
        uint8_t ByteVal;
        uint16_t UInt16Val;
        uint32_t UInt32Val;
        uint64_t UInt64Val;
        float SingleVal;
        double DoubleVal;
        ULONGLONG FileTimeVal;
        SYSTEMTIME* SysTimeVal;
        GUID* GuidVal;
        LPCWSTR StringVal;
        LPCSTR AnsiStringVal;
        PBYTE BinaryVal;
        PSID SidVal;
        size_t SizeTVal;

        BOOL* BooleanArr;
        int8_t* SByteArr;
        int16_t* Int16Arr;
        int32_t* Int32Arr;
        int64_t* Int64Arr;
        uint8_t* ByteArr;
        uint16_t* UInt16Arr;
        uint32_t* UInt32Arr;
        uint64_t* UInt64Arr;
        float* SingleArr;
        double* DoubleArr;
        FILETIME* FileTimeArr;
        SYSTEMTIME* SysTimeArr;
        GUID* GuidArr;
        LPWSTR* StringArr;
        LPSTR* AnsiStringArr;
        PSID* SidArr;
        size_t* SizeTArr;

        EVT_HANDLE EvtHandleVal;
        LPCWSTR XmlVal;
        LPCWSTR* XmlValArr;
    };
    DWORD Count;
    DWORD Type;
};
using PEVT_VARIANT = EVT_VARIANT*;
static_assert(sizeof(EVT_VARIANT) == 16 && alignof(EVT_VARIANT) == 8);
static_assert(offsetof(EVT_VARIANT, Count) == 8 && offsetof(EVT_VARIANT, Type) == 12);

enum EVT_QUERY_FLAGS {
    EvtQueryChannelPath = 0x1,
    EvtQueryFilePath = 0x2,
    EvtQueryForwardDirection = 0x100,
    EvtQueryReverseDirection = 0x200,
    EvtQueryTolerateQueryErrors = 0x1000
};

enum EVT_SEEK_FLAGS {
    EvtSeekRelativeToFirst = 1,
    EvtSeekRelativeToLast = 2,
    EvtSeekRelativeToCurrent = 3,
    EvtSeekRelativeToBookmark = 4,
    EvtSeekOriginMask = 7,
    EvtSeekStrict = 0x10000
};

enum EVT_RENDER_CONTEXT_FLAGS {
    EvtRenderContextValues = 0,
    EvtRenderContextSystem = 1,
    EvtRenderContextUser = 2
};

enum EVT_RENDER_FLAGS { EvtRenderEventValues = 0, EvtRenderEventXml = 1, EvtRenderBookmark = 2 };

// Indexes of the System render context's variants.
enum EVT_SYSTEM_PROPERTY_ID {
    EvtSystemProviderName = 0,
    EvtSystemProviderGuid,
    EvtSystemEventID,
    EvtSystemQualifiers,
    EvtSystemLevel,
    EvtSystemTask,
    EvtSystemOpcode,
    EvtSystemKeywords,
    EvtSystemTimeCreated,
    EvtSystemEventRecordId,
    EvtSystemActivityID,
    EvtSystemRelatedActivityID,
    EvtSystemProcessID,
    EvtSystemThreadID,
    EvtSystemChannel,
    EvtSystemComputer,
    EvtSystemUserID,
    EvtSystemVersion,
    EvtSystemPropertyIdEND
};
static_assert(EvtSystemPropertyIdEND == 18);

enum EVT_FORMAT_MESSAGE_FLAGS {
    EvtFormatMessageEvent = 1,
    EvtFormatMessageLevel = 2,
    EvtFormatMessageTask = 3,
    EvtFormatMessageOpcode = 4,
    EvtFormatMessageKeyword = 5,
    EvtFormatMessageChannel = 6,
    EvtFormatMessageProvider = 7,
    EvtFormatMessageId = 8,
    EvtFormatMessageXml = 9
};

enum EVT_CHANNEL_CONFIG_PROPERTY_ID {
    EvtChannelConfigEnabled = 0,
    EvtChannelConfigIsolation,
    EvtChannelConfigType,
    EvtChannelConfigOwningPublisher,
    EvtChannelConfigClassicEventlog,
    EvtChannelConfigAccess,
    EvtChannelLoggingConfigRetention,
    EvtChannelLoggingConfigAutoBackup,
    EvtChannelLoggingConfigMaxSize,
    EvtChannelLoggingConfigLogFilePath,
    EvtChannelPublishingConfigLevel,
    EvtChannelPublishingConfigKeywords,
    EvtChannelPublishingConfigControlGuid,
    EvtChannelPublishingConfigBufferSize,
    EvtChannelPublishingConfigMinBuffers,
    EvtChannelPublishingConfigMaxBuffers,
    EvtChannelPublishingConfigLatency,
    EvtChannelPublishingConfigClockType,
    EvtChannelPublishingConfigSidType,
    EvtChannelPublisherList,
    EvtChannelPublishingConfigFileMax,
    EvtChannelConfigPropertyIdEND
};
static_assert(EvtChannelPublisherList == 19);

enum EVT_PUBLISHER_METADATA_PROPERTY_ID {
    EvtPublisherMetadataPublisherGuid = 0,
    EvtPublisherMetadataResourceFilePath,
    EvtPublisherMetadataParameterFilePath,
    EvtPublisherMetadataMessageFilePath,
    EvtPublisherMetadataHelpLink,
    EvtPublisherMetadataPublisherMessageID,
    EvtPublisherMetadataChannelReferences,
    EvtPublisherMetadataChannelReferencePath,
    EvtPublisherMetadataChannelReferenceIndex,
    EvtPublisherMetadataChannelReferenceID,
    EvtPublisherMetadataChannelReferenceFlags,
    EvtPublisherMetadataChannelReferenceMessageID,
    EvtPublisherMetadataLevels,
    EvtPublisherMetadataLevelName,
    EvtPublisherMetadataLevelValue,
    EvtPublisherMetadataLevelMessageID,
    EvtPublisherMetadataTasks,
    EvtPublisherMetadataTaskName,
    EvtPublisherMetadataTaskEventGuid,
    EvtPublisherMetadataTaskValue,
    EvtPublisherMetadataTaskMessageID,
    EvtPublisherMetadataOpcodes,
    EvtPublisherMetadataOpcodeName,
    EvtPublisherMetadataOpcodeValue,
    EvtPublisherMetadataOpcodeMessageID,
    EvtPublisherMetadataKeywords,
    EvtPublisherMetadataKeywordName,
    EvtPublisherMetadataKeywordValue,
    EvtPublisherMetadataKeywordMessageID,
    EvtPublisherMetadataPropertyIdEND
};
static_assert(EvtPublisherMetadataKeywordMessageID == 28);

enum EVT_EVENT_METADATA_PROPERTY_ID {
    EventMetadataEventID = 0,
    EventMetadataEventVersion,
    EventMetadataEventChannel,
    EventMetadataEventLevel,
    EventMetadataEventOpcode,
    EventMetadataEventTask,
    EventMetadataEventKeyword,
    EventMetadataEventMessageID,
    EventMetadataEventTemplate,
    EvtEventMetadataPropertyIdEND
};

enum EVT_SUBSCRIBE_FLAGS {
    EvtSubscribeToFutureEvents = 1,
    EvtSubscribeStartAtOldestRecord = 2,
    EvtSubscribeStartAfterBookmark = 3,
    EvtSubscribeOriginMask = 3,
    EvtSubscribeTolerateQueryErrors = 0x1000,
    EvtSubscribeStrict = 0x10000
};

enum EVT_SUBSCRIBE_NOTIFY_ACTION { EvtSubscribeActionError = 0, EvtSubscribeActionDeliver };

// Called on a thread of the service, one call at a time per subscription. With
// EvtSubscribeActionDeliver, Event is valid only during the call; with EvtSubscribeActionError it
// carries a Win32 error code.
using EVT_SUBSCRIBE_CALLBACK = DWORD(WINAPI*)(EVT_SUBSCRIBE_NOTIFY_ACTION Action, PVOID UserContext,
                                              EVT_HANDLE Event);

// Opens a result set over a channel or log file (Flags: EVT_QUERY_FLAGS). Query is a bare XPath
// or a structured QueryList; NULL or "*" selects every event. NULL on failure (GetLastError).
PAL_API EVT_HANDLE WINAPI EvtQuery(EVT_HANDLE Session, LPCWSTR Path, LPCWSTR Query, DWORD Flags);

// Hands out the next 1..EventsSize events of a result set. FALSE with ERROR_NO_MORE_ITEMS when
// nothing is left; *Returned is 0 on every failure.
PAL_API BOOL WINAPI EvtNext(EVT_HANDLE ResultSet, DWORD EventsSize, PEVT_HANDLE Events,
                            DWORD Timeout, DWORD Flags, PDWORD Returned);

// Moves a result set so that the next EvtNext returns the targeted event (Flags: EVT_SEEK_FLAGS).
PAL_API BOOL WINAPI EvtSeek(EVT_HANDLE ResultSet, LONGLONG Position, EVT_HANDLE Bookmark,
                            DWORD Timeout, DWORD Flags);

// An empty bookmark (NULL) or one parsed from bookmark XML.
PAL_API EVT_HANDLE WINAPI EvtCreateBookmark(LPCWSTR BookmarkXml);

// Moves a bookmark onto an event.
PAL_API BOOL WINAPI EvtUpdateBookmark(EVT_HANDLE Bookmark, EVT_HANDLE Event);

// A render context (Flags: EVT_RENDER_CONTEXT_FLAGS); the paths are used by Values contexts only.
PAL_API EVT_HANDLE WINAPI EvtCreateRenderContext(DWORD ValuePathsCount, LPCWSTR* ValuePaths,
                                                 DWORD Flags);

// Renders an event's values, its XML or a bookmark's XML into Buffer; sizes in bytes. A buffer
// that is too small gives ERROR_INSUFFICIENT_BUFFER and the size needed in *BufferUsed.
PAL_API BOOL WINAPI EvtRender(EVT_HANDLE Context, EVT_HANDLE Fragment, DWORD Flags,
                              DWORD BufferSize, PVOID Buffer, PDWORD BufferUsed,
                              PDWORD PropertyCount);

// Formats an event's message or one of its names (Flags: EVT_FORMAT_MESSAGE_FLAGS); sizes in
// characters including the terminating NUL.
PAL_API BOOL WINAPI EvtFormatMessage(EVT_HANDLE PublisherMetadata, EVT_HANDLE Event,
                                     DWORD MessageId, DWORD ValueCount, PEVT_VARIANT Values,
                                     DWORD Flags, DWORD BufferSize, LPWSTR Buffer,
                                     PDWORD BufferUsed);

// Opens a publisher's metadata; an unknown publisher fails with ERROR_FILE_NOT_FOUND.
PAL_API EVT_HANDLE WINAPI EvtOpenPublisherMetadata(EVT_HANDLE Session, LPCWSTR PublisherId,
                                                   LPCWSTR LogFilePath, LCID Locale, DWORD Flags);

// Reads one property of a publisher's metadata as a variant followed by its payload; sizes in
// bytes. The list properties (channels, levels, tasks, opcodes, keywords) are a handle
// (EvtVarTypeEvtHandle) to an array of objects, read with EvtGetObjectArraySize and
// EvtGetObjectArrayProperty and closed with EvtClose.
PAL_API BOOL WINAPI EvtGetPublisherMetadataProperty(EVT_HANDLE PublisherMetadata,
                                                    EVT_PUBLISHER_METADATA_PROPERTY_ID PropertyId,
                                                    DWORD Flags,
                                                    DWORD PublisherMetadataPropertyBufferSize,
                                                    PEVT_VARIANT PublisherMetadataPropertyBuffer,
                                                    PDWORD PublisherMetadataPropertyBufferUsed);

using EVT_OBJECT_ARRAY_PROPERTY_HANDLE = HANDLE;
PAL_API BOOL WINAPI EvtGetObjectArraySize(EVT_OBJECT_ARRAY_PROPERTY_HANDLE ObjectArray,
                                          PDWORD ObjectArraySize);
// One property of one object of the array (the property identifiers of its kind, such as
// EvtPublisherMetadataLevelName for levels), as EvtGetPublisherMetadataProperty gives them.
PAL_API BOOL WINAPI EvtGetObjectArrayProperty(EVT_OBJECT_ARRAY_PROPERTY_HANDLE ObjectArray,
                                              DWORD PropertyId, DWORD ArrayIndex, DWORD Flags,
                                              DWORD PropertyValueBufferSize,
                                              PEVT_VARIANT PropertyValueBuffer,
                                              PDWORD PropertyValueBufferUsed);

// Enumerates the events a publisher's metadata defines: EvtNextEventMetadata hands out one
// event's metadata at a time (ERROR_NO_MORE_ITEMS at the end), read with
// EvtGetEventMetadataProperty.
PAL_API EVT_HANDLE WINAPI EvtOpenEventMetadataEnum(EVT_HANDLE PublisherMetadata, DWORD Flags);
PAL_API EVT_HANDLE WINAPI EvtNextEventMetadata(EVT_HANDLE EventMetadataEnum, DWORD Flags);
PAL_API BOOL WINAPI EvtGetEventMetadataProperty(EVT_HANDLE EventMetadata,
                                                EVT_EVENT_METADATA_PROPERTY_ID PropertyId,
                                                DWORD Flags, DWORD EventMetadataPropertyBufferSize,
                                                PEVT_VARIANT EventMetadataPropertyBuffer,
                                                PDWORD EventMetadataPropertyBufferUsed);

// Opens a channel's configuration; an unknown channel fails with ERROR_EVT_CHANNEL_NOT_FOUND.
PAL_API EVT_HANDLE WINAPI EvtOpenChannelConfig(EVT_HANDLE Session, LPCWSTR ChannelPath,
                                               DWORD Flags);

// Reads one channel property as a variant followed by its payload; sizes in bytes.
PAL_API BOOL WINAPI EvtGetChannelConfigProperty(EVT_HANDLE ChannelConfig,
                                                EVT_CHANNEL_CONFIG_PROPERTY_ID PropertyId,
                                                DWORD Flags, DWORD PropertyValueBufferSize,
                                                PEVT_VARIANT PropertyValueBuffer,
                                                PDWORD PropertyValueBufferUsed);

// Subscribes to the events of a channel that match a query (Flags: EVT_SUBSCRIBE_FLAGS), from the
// origin the flags name. Exactly one of Callback and SignalEvent: a callback receives each event
// on a thread of the stand-in; a signal event (an event object of CreateEventW) is set when
// matching events wait, and EvtNext on the subscription handle takes them. A strict subscription
// whose bookmarked record is gone first reports ERROR_EVT_QUERY_RESULT_STALE (to the callback, or
// from the first EvtNext). EvtClose waits for a running callback; none follows it.
PAL_API EVT_HANDLE WINAPI EvtSubscribe(EVT_HANDLE Session, HANDLE SignalEvent, LPCWSTR ChannelPath,
                                       LPCWSTR Query, EVT_HANDLE Bookmark, PVOID Context,
                                       EVT_SUBSCRIBE_CALLBACK Callback, DWORD Flags);

// The calling thread's extended status text of its last failing Evt call; returns a Win32 code.
PAL_API DWORD WINAPI EvtGetExtendedStatus(DWORD BufferSize, LPWSTR Buffer, PDWORD BufferUsed);

// Closes any Evt handle. Closing a result set or subscription invalidates the event handles it
// handed out.
PAL_API BOOL WINAPI EvtClose(EVT_HANDLE Object);
