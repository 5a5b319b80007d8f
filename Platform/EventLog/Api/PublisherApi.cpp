// The publisher and channel functions of wevtapi: publisher metadata, event messages with their
// inserts, level, task, opcode and keyword names, and channel configuration.
#include "PalEventLog/Api/ApiSupport.h"
#include "Win32/PalEventLogFaults.h"
#include "PalEventLog/Api/Faults.h"
#include "PalEventLog/Api/Render.h"
#include "PalEventLog/Store/Store.h"

#include "Base/XmlEscape.h"
#include "Win32/WinBase.h"
#include "Win32/WinError.h"
#include "Win32/WinEvt.h"

#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <shared_mutex>
#include <string>
#include <utility>
#include <vector>

using namespace PalEventLog;

namespace {

struct PublisherMetadata : HandleObject {
    std::shared_ptr<Store> store;
    const Publisher* publisher = nullptr;
};

struct ChannelConfig : HandleObject {
    std::shared_ptr<Store> store;
    Channel* channel = nullptr;
};

} // namespace

EVT_HANDLE WINAPI EvtOpenPublisherMetadata(EVT_HANDLE session, LPCWSTR publisherId,
                                           LPCWSTR /*logFilePath*/, LCID /*locale*/, DWORD flags) {
    return Base::CFunctionBoundary(FailWithLastError<EVT_HANDLE>(nullptr), [&]() -> EVT_HANDLE {
        if (Injected("EvtOpenPublisherMetadata")) {
            return nullptr;
        }
        if (session != nullptr) {
            Fail(ERROR_INVALID_HANDLE);
            return nullptr;
        }
        if (publisherId == nullptr || flags != 0) {
            Fail(ERROR_INVALID_PARAMETER);
            return nullptr;
        }
        auto metadata = std::make_shared<PublisherMetadata>();
        metadata->store = GlobalStore();
        {
            Store::ReadLock lock(*metadata->store);
            metadata->publisher = metadata->store->Catalog().FindPublisher(publisherId);
        }
        if (metadata->publisher == nullptr) {
            Fail(ERROR_FILE_NOT_FOUND, L"no metadata for publisher " + std::wstring(publisherId));
            return nullptr;
        }
        return EventLogHandles().Add(HandleKind::PublisherMetadata, metadata);
    });
}

namespace {

std::wstring_view StandardLevelName(uint32_t level) {
    switch (level) {
    case 1:
        return L"Critical";
    case 2:
        return L"Error";
    case 3:
        return L"Warning";
    case 0:
    case 4:
        return L"Information";
    case 5:
        return L"Verbose";
    default:
        return {};
    }
}

// A message of the Keyword kind: every matching keyword name, each with its NUL, then a NUL.
std::optional<std::wstring> KeywordNames(const Publisher* publisher, uint64_t keywords) {
    static const std::pair<uint64_t, std::wstring_view> kStandard[] = {
        {0x80000000000000ull, L"Classic"},
        {0x20000000000000ull, L"Audit Success"},
        {0x10000000000000ull, L"Audit Failure"},
    };
    std::wstring names;
    for (const auto& [mask, name] : kStandard) {
        if (keywords & mask) {
            names += name;
            names.push_back(L'\0');
        }
    }
    if (publisher != nullptr) {
        for (const auto& [mask, name] : publisher->keywords) {
            if ((keywords & mask) == mask && mask != 0) {
                names += name;
                names.push_back(L'\0');
            }
        }
    }
    if (names.empty()) {
        return std::nullopt;
    }
    return names;
}

} // namespace

BOOL WINAPI EvtFormatMessage(EVT_HANDLE publisherMetadata, EVT_HANDLE event, DWORD messageId,
                             DWORD valueCount, PEVT_VARIANT values, DWORD flags, DWORD bufferSize,
                             LPWSTR buffer, PDWORD bufferUsed) {
    return Base::CFunctionBoundary(FailWithLastError<BOOL>(FALSE), [&]() -> BOOL {
        if (Injected("EvtFormatMessage")) {
            return FALSE;
        }
        if (bufferUsed == nullptr || (buffer == nullptr && bufferSize != 0) ||
            (valueCount > 0 && values == nullptr) || flags < EvtFormatMessageEvent ||
            flags > EvtFormatMessageXml) {
            Fail(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        *bufferUsed = 0;
        std::shared_ptr<PublisherMetadata> metadata;
        if (publisherMetadata != nullptr) {
            metadata = Lookup<PublisherMetadata>(publisherMetadata, HandleKind::PublisherMetadata);
            if (!metadata) {
                Fail(ERROR_INVALID_HANDLE);
                return FALSE;
            }
        }
        EventAccess access;
        const bool needsEvent = flags != EvtFormatMessageId;
        if (needsEvent && !LookupEvent(event, access)) {
            Fail(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        std::wstring text;
        DWORD result = ERROR_SUCCESS;
        std::vector<std::wstring_view> inserts;
        std::vector<std::wstring> ownedInserts;
        for (DWORD i = 0; i < valueCount; ++i) {
            ownedInserts.emplace_back(values[i].Type == EvtVarTypeString && values[i].StringVal
                                          ? values[i].StringVal
                                          : L"");
        }
        const Publisher* publisher = metadata ? metadata->publisher : nullptr;
        if (!needsEvent) {
            if (publisher == nullptr) {
                Fail(ERROR_INVALID_HANDLE);
                return FALSE;
            }
            auto found = publisher->messages.find(messageId);
            if (found == publisher->messages.end()) {
                Fail(ERROR_EVT_MESSAGE_ID_NOT_FOUND);
                return FALSE;
            }
            for (const auto& s : ownedInserts) {
                inserts.push_back(s);
            }
            result = ExpandMessage(found->second, inserts, &publisher->parameters, text);
        } else {
            const Store& store = *access.owner->store;
            Store::ReadLock lock(store);
            const Event& e = access.Get();
            const Channel& channel = *access.ref.channel;
            if (publisher == nullptr) {
                publisher = GlobalStore()->Catalog().FindPublisher(store.String(e.provider));
            }
            if (valueCount > 0) {
                for (const auto& s : ownedInserts) {
                    inserts.push_back(s);
                }
            } else {
                inserts = InsertionStrings(store, channel, e);
            }
            auto messageOf = [&](std::wstring& out) -> DWORD {
                if (publisher == nullptr) {
                    return ERROR_EVT_MESSAGE_NOT_FOUND;
                }
                const uint32_t full = (static_cast<uint32_t>(e.qualifiers) << 16) | e.eventId;
                auto found = publisher->messages.find(full);
                if (found == publisher->messages.end()) {
                    found = publisher->messages.find(e.eventId);
                }
                if (found == publisher->messages.end()) {
                    return ERROR_EVT_MESSAGE_NOT_FOUND;
                }
                return ExpandMessage(found->second, inserts, &publisher->parameters, out);
            };
            auto named = [&](const std::map<uint32_t, std::wstring>* names, uint32_t value,
                             std::wstring_view fallback) -> DWORD {
                if (names != nullptr) {
                    auto found = names->find(value);
                    if (found != names->end()) {
                        text = found->second;
                        return ERROR_SUCCESS;
                    }
                }
                if (fallback.empty()) {
                    return ERROR_EVT_MESSAGE_NOT_FOUND;
                }
                text = fallback;
                return ERROR_SUCCESS;
            };
            switch (flags) {
            case EvtFormatMessageEvent:
                result = messageOf(text);
                break;
            case EvtFormatMessageLevel:
                result = named(publisher ? &publisher->levels : nullptr, e.level,
                               StandardLevelName(e.level));
                break;
            case EvtFormatMessageTask:
                result = named(publisher ? &publisher->tasks : nullptr, e.task,
                               e.task == 0 ? L"None" : L"");
                break;
            case EvtFormatMessageOpcode:
                result = named(publisher ? &publisher->opcodes : nullptr, e.opcode,
                               e.opcode == 0 ? L"Info" : L"");
                break;
            case EvtFormatMessageKeyword: {
                auto names = KeywordNames(publisher, e.keywords);
                result = names ? ERROR_SUCCESS : ERROR_EVT_MESSAGE_NOT_FOUND;
                if (names) {
                    text = std::move(*names);
                }
                break;
            }
            case EvtFormatMessageChannel:
                text = store.String(e.channel);
                break;
            case EvtFormatMessageProvider:
                if (publisher == nullptr) {
                    result = ERROR_EVT_MESSAGE_NOT_FOUND;
                } else {
                    text = publisher->name;
                }
                break;
            default: { // EvtFormatMessageXml: the event with its RenderingInfo
                std::wstring info = L"<RenderingInfo Culture='en-US'>";
                std::wstring message;
                if (messageOf(message) != ERROR_EVT_MESSAGE_NOT_FOUND) {
                    info += L"<Message>";
                    Base::AppendXmlEscaped(info, message, Base::kEscapeMarkupAndApostrophe);
                    info += L"</Message>";
                }
                info += L"<Level>";
                Base::AppendXmlEscaped(info, StandardLevelName(e.level),
                                       Base::kEscapeMarkupAndApostrophe);
                info += L"</Level><Channel>";
                Base::AppendXmlEscaped(info, store.String(e.channel),
                                       Base::kEscapeMarkupAndApostrophe);
                info += L"</Channel><Provider>";
                Base::AppendXmlEscaped(info, store.String(e.provider),
                                       Base::kEscapeMarkupAndApostrophe);
                info += L"</Provider></RenderingInfo>";
                text = EventXml(store, channel, e, info);
                break;
            }
            }
        }
        if (result == ERROR_EVT_MESSAGE_NOT_FOUND || result == ERROR_EVT_MESSAGE_ID_NOT_FOUND) {
            Fail(result);
            return FALSE;
        }
        // Sizes in characters with the NUL; a keyword list already ends in NULs of its own.
        const size_t needed = text.size() + 1;
        *bufferUsed = static_cast<DWORD>(needed);
        if (buffer == nullptr || bufferSize < needed) {
            // Some Windows builds report the insert error in place of the size, and some hand
            // out a truncated copy as a success.
            if (result != ERROR_SUCCESS && Behaviour(PalFormatSizingInsertError) != 0) {
                Fail(result);
                return FALSE;
            }
            if (buffer != nullptr && bufferSize > 0 && Behaviour(PalFormatTruncates) != 0) {
                std::memcpy(buffer, text.c_str(), (bufferSize - 1) * sizeof(wchar_t));
                buffer[bufferSize - 1] = L'\0';
                return TRUE;
            }
            Fail(ERROR_INSUFFICIENT_BUFFER);
            return FALSE;
        }
        std::memcpy(buffer, text.c_str(), needed * sizeof(wchar_t));
        if (result != ERROR_SUCCESS) {
            Fail(result); // the text is there, with its unresolved inserts left literal
            return FALSE;
        }
        return TRUE;
    });
}

EVT_HANDLE WINAPI EvtOpenChannelConfig(EVT_HANDLE session, LPCWSTR channelPath, DWORD flags) {
    return Base::CFunctionBoundary(FailWithLastError<EVT_HANDLE>(nullptr), [&]() -> EVT_HANDLE {
        if (Injected("EvtOpenChannelConfig")) {
            return nullptr;
        }
        if (session != nullptr) {
            Fail(ERROR_INVALID_HANDLE);
            return nullptr;
        }
        if (channelPath == nullptr || flags != 0) {
            Fail(ERROR_INVALID_PARAMETER);
            return nullptr;
        }
        auto config = std::make_shared<ChannelConfig>();
        config->store = GlobalStore();
        {
            Store::ReadLock lock(*config->store);
            config->channel = config->store->FindChannel(channelPath);
        }
        if (config->channel == nullptr) {
            Fail(ERROR_EVT_CHANNEL_NOT_FOUND, L"channel not found: " + std::wstring(channelPath));
            return nullptr;
        }
        return EventLogHandles().Add(HandleKind::ChannelConfig, config);
    });
}

BOOL WINAPI EvtGetChannelConfigProperty(EVT_HANDLE channelConfig,
                                        EVT_CHANNEL_CONFIG_PROPERTY_ID propertyId, DWORD flags,
                                        DWORD bufferSize, PEVT_VARIANT buffer, PDWORD bufferUsed) {
    return Base::CFunctionBoundary(FailWithLastError<BOOL>(FALSE), [&]() -> BOOL {
        if (Injected("EvtGetChannelConfigProperty")) {
            return FALSE;
        }
        auto config = Lookup<ChannelConfig>(channelConfig, HandleKind::ChannelConfig);
        if (!config) {
            Fail(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        if (bufferUsed == nullptr || flags != 0 || (buffer == nullptr && bufferSize != 0)) {
            Fail(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        Store::ReadLock lock(*config->store);
        const Channel& channel = *config->channel;
        std::vector<std::wstring> strings;
        EVT_VARIANT value{};
        switch (propertyId) {
        case EvtChannelConfigEnabled:
            value.BooleanVal = TRUE;
            value.Type = EvtVarTypeBoolean;
            break;
        case EvtChannelConfigClassicEventlog:
            value.BooleanVal = channel.classic ? TRUE : FALSE;
            value.Type = EvtVarTypeBoolean;
            break;
        case EvtChannelPublisherList:
            strings = config->store->ChannelPublishers(channel);
            break;
        default:
            Fail(ERROR_NOT_SUPPORTED);
            return FALSE;
        }
        size_t needed = sizeof(EVT_VARIANT);
        if (propertyId == EvtChannelPublisherList) {
            needed += strings.size() * sizeof(LPWSTR);
            for (const auto& s : strings) {
                needed += ((s.size() + 1) * sizeof(wchar_t) + 7) & ~size_t{7};
            }
        }
        *bufferUsed = static_cast<DWORD>(needed);
        if (buffer == nullptr || bufferSize < needed) {
            Fail(ERROR_INSUFFICIENT_BUFFER);
            return FALSE;
        }
        if (propertyId != EvtChannelPublisherList) {
            *buffer = value;
            return TRUE;
        }
        auto* base = reinterpret_cast<uint8_t*>(buffer);
        auto** array = reinterpret_cast<LPWSTR*>(base + sizeof(EVT_VARIANT));
        size_t offset = sizeof(EVT_VARIANT) + strings.size() * sizeof(LPWSTR);
        for (size_t i = 0; i < strings.size(); ++i) {
            auto* s = reinterpret_cast<wchar_t*>(base + offset);
            std::memcpy(s, strings[i].c_str(), (strings[i].size() + 1) * sizeof(wchar_t));
            array[i] = s;
            offset += ((strings[i].size() + 1) * sizeof(wchar_t) + 7) & ~size_t{7};
        }
        buffer->StringArr = array;
        buffer->Count = static_cast<DWORD>(strings.size());
        buffer->Type = EvtVarTypeString | EVT_VARIANT_TYPE_ARRAY;
        return TRUE;
    });
}
