// The publisher and channel functions of wevtapi: publisher metadata, event messages with their
// inserts, level, task, opcode and keyword names, and channel configuration.
#include "PalEventLog/Api/ApiSupport.h"
#include "PalEventLog/Api/Faults.h"
#include "PalEventLog/Api/Render.h"
#include "PalEventLog/Store/Store.h"
#include "Win32/PalEventLogFaults.h"

#include "Win32/WinBase.h"
#include "Win32/WinError.h"
#include "Win32/WinEvt.h"

#include <algorithm>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

using namespace PalEventLog;

namespace {

// A Null variant with every byte zero, so that what a caller is handed is defined throughout: an
// empty-braced one sets only the union's first, 4-byte member.
EVT_VARIANT NullVariant() noexcept {
    EVT_VARIANT value;
    std::memset(&value, 0, sizeof(value));
    return value;
}

struct PublisherMetadata : HandleObject {
    std::shared_ptr<Store> store;
    const Publisher* publisher = nullptr;
};

struct ChannelConfig : HandleObject {
    std::shared_ptr<Store> store;
    Channel* channel = nullptr;
};

// The checks every property reader makes, in this order: an injected fault, the handle of its
// kind, the flags and buffer arguments. Null with the failure reported.
template <class T>
std::shared_ptr<T> PropertySource(const char* function, EVT_HANDLE handle, HandleKind kind,
                                  DWORD flags, DWORD bufferSize, PEVT_VARIANT buffer,
                                  PDWORD bufferUsed) {
    if (Injected(function)) {
        return nullptr;
    }
    auto source = Lookup<T>(handle, kind);
    if (!source) {
        Fail(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    if (bufferUsed == nullptr || flags != 0 || (buffer == nullptr && bufferSize != 0)) {
        Fail(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return source;
}

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
        metadata->publisher = metadata->store->Catalog().FindPublisher(publisherId);
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

std::wstring_view StandardOpcodeName(uint32_t opcode) {
    static const std::pair<uint32_t, std::wstring_view> kNames[] = {
        {0, L"Info"},    {1, L"Start"},     {2, L"Stop"},      {3, L"DCStart"},
        {4, L"DCStop"},  {5, L"Extension"}, {6, L"Reply"},     {7, L"Resume"},
        {8, L"Suspend"}, {9, L"Send"},      {240, L"Receive"},
    };
    for (const auto& [value, name] : kNames) {
        if (value == opcode) {
            return name;
        }
    }
    return {};
}

// A message of the Keyword kind: every matching keyword name, each with its NUL, then a NUL. The
// standard keywords first, then the publisher's own (those it names with a standard mask too are
// named once).
std::optional<std::wstring> KeywordNames(const Publisher* publisher, uint64_t keywords) {
    static const std::pair<uint64_t, std::wstring_view> kStandard[] = {
        {0x80000000000000ull, L"Classic"},
        {0x20000000000000ull, L"Audit Success"},
        {0x10000000000000ull, L"Audit Failure"},
    };
    std::wstring names;
    for (const auto& [mask, name] : kStandard) {
        if (keywords & mask) {
            auto own = publisher != nullptr ? publisher->keywords.find(mask)
                                            : std::map<uint64_t, std::wstring>::const_iterator{};
            names += publisher != nullptr && own != publisher->keywords.end()
                         ? std::wstring_view(own->second)
                         : name;
            names.push_back(L'\0');
        }
    }
    if (publisher != nullptr) {
        for (const auto& [mask, name] : publisher->keywords) {
            const uint64_t bits = mask;
            const bool standard = std::any_of(std::begin(kStandard), std::end(kStandard),
                                              [bits](const auto& s) { return s.first == bits; });
            if ((keywords & mask) == mask && mask != 0 && !standard) {
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

// A template value as a message shows it, where the event's XML shows it otherwise: a SID as the
// account it names where that is known (the name alone for the machine's own well-known
// accounts, else DOMAIN\name), a hexadecimal number in capitals ("0x3E7" where the XML has
// "0x3e7"), a value of a value map as the map's text. Written to `out`, or false when the value
// stays as it is. (How Windows joins the names of a bit map's bits is not known here: such values
// stay numbers.)
bool ShownValue(const Publisher& publisher, const FieldFormat& format, std::wstring_view value,
                std::shared_ptr<Store>& accounts, std::wstring& out) {
    if (format.shownAs == ShownAs::Account) {
        if (!accounts) {
            accounts = GlobalStore(); // the store whose accounts LookupAccountSidW knows
        }
        const auto account = FindAccountOfSid(accounts->Catalog(), value);
        if (!account) {
            return false;
        }
        out.clear();
        if (!account->domain.empty() && account->domain != L"NT AUTHORITY") {
            out.append(account->domain).append(L"\\");
        }
        out.append(account->name);
        return true;
    }
    if (format.shownAs == ShownAs::Hex) {
        const auto number = ParseUnsigned(value);
        if (!number) {
            return false;
        }
        out.assign(L"0x");
        int shift = 60;
        while (shift > 0 && (*number >> shift) == 0) {
            shift -= 4;
        }
        for (; shift >= 0; shift -= 4) {
            out.push_back(L"0123456789ABCDEF"[(*number >> shift) & 0xF]);
        }
        return true;
    }
    if (format.map.empty()) {
        return false;
    }
    const auto map = publisher.maps.find(format.map);
    const auto number = ParseUnsigned(value);
    if (map == publisher.maps.end() || map->second.bits || !number) {
        return false;
    }
    const auto text = map->second.texts.find(static_cast<uint32_t>(*number));
    if (text == map->second.texts.end()) {
        return false;
    }
    out.assign(text->second);
    return true;
}

// The room of a thread's message formatting, kept from call to call: the text, the inserts and
// their template order, and the texts made for inserts (a value shown as its format says, a value
// with its parameters put in).
struct FormatRoom {
    std::wstring text;
    std::vector<std::wstring_view> inserts;
    std::vector<std::wstring_view> ordered;
    // A deque, so that the inserts' views of the texts made first stay put as more are made; the
    // texts keep their room from call to call, so that formatting a message does not allocate.
    std::deque<std::wstring> made;
};

// An event's values as %1..%n, into the room's inserts: in its template's order where the
// metadata has one (each value found by its Name when the event names its values, else by its
// place, and shown as its format says where `message` shows it), else in their own order. A value
// that is a parameter insert ("%%1833") is replaced by the parameter's text when the publisher has
// it. The texts made for them are the room's.
void MessageInserts(const Store& store, const Channel& channel, const Event& e,
                    const Publisher* publisher, const EventDefinition* definition,
                    std::wstring_view message, FormatRoom& room) {
    std::vector<std::wstring_view>& values = room.inserts;
    size_t made = 0;
    const auto nextMade = [&]() -> std::wstring& {
        if (made == room.made.size()) {
            room.made.emplace_back();
        }
        return room.made[made++];
    };
    std::shared_ptr<Store> accounts;
    if (definition != nullptr && !definition->fields.empty() && e.payload == Payload::EventData) {
        // The values in their own order, read only for a field that no value names.
        bool valuesRead = false;
        // Which inserts the message shows: the definition's own message's are known, another's
        // (its publisher's message for the event's id) are looked for when a value has a format.
        std::optional<std::vector<bool>> otherShown;
        const std::vector<bool>* shown =
            message.data() == definition->message.data() ? &definition->shownInserts : nullptr;
        std::vector<std::wstring_view>& ordered = room.ordered;
        ordered.clear();
        for (size_t i = 0; i < definition->fields.size(); ++i) {
            std::optional<std::wstring_view> value;
            // Events write their values in template order: the value in the same place is
            // looked at first.
            for (uint32_t n = 0; n < e.itemCount && !value; ++n) {
                const uint32_t k = static_cast<uint32_t>((i + n) % e.itemCount);
                const Item& item = channel.items[e.firstItem + k];
                if (item.name != 0 && store.String(item.name) == definition->fields[i]) {
                    value = channel.ItemText(item);
                }
            }
            if (!value) {
                if (!valuesRead) {
                    InsertionStrings(store, channel, e, values);
                    valuesRead = true;
                }
                if (i < values.size()) {
                    value = values[i];
                }
            }
            ordered.push_back(value.value_or(std::wstring_view{}));
            const FieldFormat* format = publisher != nullptr && i < definition->formats.size()
                                            ? &definition->formats[i]
                                            : nullptr;
            if (format == nullptr || (format->shownAs == ShownAs::Itself && format->map.empty())) {
                continue;
            }
            if (shown == nullptr) {
                shown = &otherShown.emplace(InsertsShown(message, definition->fields.size()));
            }
            if ((*shown)[i + 1]) {
                std::wstring& text = nextMade();
                if (ShownValue(*publisher, *format, ordered.back(), accounts, text)) {
                    ordered.back() = text;
                } else {
                    --made; // its room serves the next text
                }
            }
        }
        values.swap(ordered);
    } else {
        InsertionStrings(store, channel, e, values);
    }
    if (publisher != nullptr && !publisher->parameters.empty()) {
        for (std::wstring_view& value : values) {
            if (value.find(L"%%") == std::wstring_view::npos) {
                continue;
            }
            std::wstring& expanded = nextMade();
            ExpandParameters(value, publisher->parameters, expanded);
            value = expanded;
        }
    }
}

// The message and names of one event, as EvtFormatMessage gives them, made with the calling
// thread's room.
class EventTexts {
public:
    EventTexts(const Store& store, const Channel& channel, const Event& e,
               const Publisher* publisher, FormatRoom& room)
        : m_store(store), m_channel(channel), m_event(e), m_publisher(publisher), m_room(room),
          m_definition(publisher != nullptr ? publisher->FindEvent(e.eventId, e.version)
                                            : nullptr) {}

    // The message with its inserts (given ones, else the event's own).
    DWORD Message(const std::vector<std::wstring_view>* given, std::wstring& out) const {
        if (m_publisher == nullptr) {
            return ERROR_EVT_MESSAGE_NOT_FOUND;
        }
        const std::wstring* text = nullptr;
        std::wstring fromFile;
        if (m_definition != nullptr && !m_definition->message.empty()) {
            text = &m_definition->message;
        } else {
            const uint32_t full =
                (static_cast<uint32_t>(m_event.qualifiers) << 16) | m_event.eventId;
            text = m_publisher->FindMessage(full, fromFile);
            if (text == nullptr) {
                text = m_publisher->FindMessage(m_event.eventId, fromFile);
            }
        }
        if (text == nullptr) {
            return ERROR_EVT_MESSAGE_NOT_FOUND;
        }
        if (given != nullptr) {
            return ExpandMessage(*text, *given, &m_publisher->parameters, out);
        }
        MessageInserts(m_store, m_channel, m_event, m_publisher, m_definition, *text, m_room);
        return ExpandMessage(*text, m_room.inserts, &m_publisher->parameters, out);
    }

    std::wstring_view Level() const {
        return Named(m_publisher ? &m_publisher->levels : nullptr, m_event.level,
                     StandardLevelName(m_event.level));
    }
    std::wstring_view Task() const {
        return Named(m_publisher ? &m_publisher->tasks : nullptr, m_event.task,
                     m_event.task == 0 ? L"None" : L"");
    }
    std::wstring_view Opcode() const {
        // Opcodes of a task are known by task << 16 | opcode, the others by their value.
        if (m_publisher != nullptr) {
            auto found = m_publisher->opcodes.find(static_cast<uint32_t>(m_event.task) << 16 |
                                                   m_event.opcode);
            if (found != m_publisher->opcodes.end()) {
                return found->second;
            }
        }
        return Named(m_publisher ? &m_publisher->opcodes : nullptr, m_event.opcode,
                     StandardOpcodeName(m_event.opcode));
    }
    std::optional<std::wstring> Keywords() const {
        return KeywordNames(m_publisher, m_event.keywords);
    }
    // The display name of the event's channel where the metadata has one, else its name.
    std::wstring_view ChannelName() const {
        if (m_publisher != nullptr && m_definition != nullptr) {
            auto found = m_publisher->channelMessages.find(m_definition->channel);
            if (found != m_publisher->channelMessages.end() && !found->second.empty()) {
                return found->second;
            }
        }
        return m_store.String(m_event.channel);
    }
    std::wstring_view Provider() const {
        if (m_publisher == nullptr) {
            return {};
        }
        return m_publisher->displayName.empty() ? m_publisher->name : m_publisher->displayName;
    }

    // The event's XML with its RenderingInfo: the texts that can be had.
    std::wstring Xml() const {
        std::wstring info = L"<RenderingInfo Culture='en-US'>";
        auto element = [&](std::wstring_view name, std::wstring_view text) {
            if (!text.empty()) {
                AppendXmlElement(info, name, text);
            }
        };
        std::wstring message;
        if (Message(nullptr, message) != ERROR_EVT_MESSAGE_NOT_FOUND) {
            element(L"Message", message);
        }
        element(L"Level", Level());
        element(L"Task", Task());
        element(L"Opcode", Opcode());
        element(L"Channel", ChannelName());
        element(L"Provider", m_publisher ? Provider() : m_store.String(m_event.provider));
        if (auto names = Keywords()) {
            info += L"<Keywords>";
            for (size_t at = 0; at < names->size() && (*names)[at] != L'\0';) {
                const size_t end = names->find(L'\0', at);
                element(L"Keyword", std::wstring_view(*names).substr(at, end - at));
                at = end + 1;
            }
            info += L"</Keywords>";
        }
        info += L"</RenderingInfo>";
        return EventXml(m_store, m_channel, m_event, info);
    }

private:
    static std::wstring_view Named(const std::map<uint32_t, std::wstring>* names, uint32_t value,
                                   std::wstring_view fallback) {
        if (names != nullptr) {
            auto found = names->find(value);
            if (found != names->end()) {
                return found->second;
            }
        }
        return fallback;
    }

    const Store& m_store;
    const Channel& m_channel;
    const Event& m_event;
    const Publisher* m_publisher;
    FormatRoom& m_room; // the inserts and their order, kept from call to call
    const EventDefinition* m_definition;
};

// Copies a text result into the caller's buffer (sizes in characters with the NUL; a keyword
// list already ends in NULs of its own). `result` is the formatting's own outcome.
BOOL CopyText(const std::wstring& text, DWORD result, DWORD bufferSize, LPWSTR buffer,
              PDWORD bufferUsed) {
    // Sizes in characters with the NUL; a keyword list already ends in NULs of its own.
    const size_t needed = text.size() + 1;
    *bufferUsed = static_cast<DWORD>(needed);
    if (buffer == nullptr || bufferSize < needed) {
        // Some Windows builds report the insert error in place of the size, and some hand out a
        // truncated copy as a success.
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
        const bool needsEvent = flags != EvtFormatMessageId;
        EventLogHandleTable::EventInUse use;
        EventLogHandles().UseEvent(needsEvent ? event : nullptr, publisherMetadata,
                                   HandleKind::PublisherMetadata, use);
        const auto* metadata = static_cast<const PublisherMetadata*>(use.object);
        if ((publisherMetadata != nullptr && metadata == nullptr) ||
            (needsEvent && use.store == nullptr)) {
            Fail(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        std::vector<std::wstring> givenTexts;
        for (DWORD i = 0; i < valueCount; ++i) {
            givenTexts.emplace_back(values[i].Type == EvtVarTypeString && values[i].StringVal
                                        ? values[i].StringVal
                                        : L"");
        }
        const std::vector<std::wstring_view> given(givenTexts.begin(), givenTexts.end());
        const Publisher* publisher = metadata ? metadata->publisher : nullptr;
        std::optional<FormatRoom> spare;
        FormatRoom& room = Base::ThreadRoom(spare);
        std::wstring& text = room.text;
        text.clear();
        DWORD result = ERROR_SUCCESS;
        if (!needsEvent) {
            if (publisher == nullptr) {
                Fail(ERROR_INVALID_HANDLE);
                return FALSE;
            }
            std::wstring fromFile;
            const std::wstring* found = publisher->FindMessage(messageId, fromFile);
            if (found == nullptr) {
                Fail(ERROR_EVT_MESSAGE_ID_NOT_FOUND);
                return FALSE;
            }
            result = ExpandMessage(*found, given, &publisher->parameters, text);
            return CopyText(text, result, bufferSize, buffer, bufferUsed);
        }
        const Store& store = *use.store;
        const Event& e = use.Get();
        if (publisher == nullptr) {
            publisher = GlobalStore()->Catalog().FindPublisher(store.String(e.provider));
        }
        const EventTexts texts(store, *use.event.channel, e, publisher, room);
        auto name = [&](std::wstring_view value) {
            text = value;
            return value.empty() ? DWORD{ERROR_EVT_MESSAGE_NOT_FOUND} : DWORD{ERROR_SUCCESS};
        };
        switch (flags) {
        case EvtFormatMessageEvent:
            result = texts.Message(valueCount > 0 ? &given : nullptr, text);
            break;
        case EvtFormatMessageLevel:
            result = name(texts.Level());
            break;
        case EvtFormatMessageTask:
            result = name(texts.Task());
            break;
        case EvtFormatMessageOpcode:
            result = name(texts.Opcode());
            break;
        case EvtFormatMessageKeyword: {
            auto names = texts.Keywords();
            result = names ? ERROR_SUCCESS : ERROR_EVT_MESSAGE_NOT_FOUND;
            if (names) {
                text = std::move(*names);
            }
            break;
        }
        case EvtFormatMessageChannel:
            text = texts.ChannelName();
            break;
        case EvtFormatMessageProvider:
            result = name(texts.Provider());
            break;
        default: // EvtFormatMessageXml: the event with its RenderingInfo
            text = texts.Xml();
            break;
        }
        if (result == ERROR_EVT_MESSAGE_NOT_FOUND) {
            Fail(result);
            return FALSE;
        }
        return CopyText(text, result, bufferSize, buffer, bufferUsed);
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
        auto config = PropertySource<ChannelConfig>("EvtGetChannelConfigProperty", channelConfig,
                                                    HandleKind::ChannelConfig, flags, bufferSize,
                                                    buffer, bufferUsed);
        if (!config) {
            return FALSE;
        }
        const Channel& channel = *config->channel;
        std::vector<std::wstring> strings;
        EVT_VARIANT value = NullVariant();
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

namespace {

struct EventMetadataEnum : HandleObject {
    std::shared_ptr<Store> store; // keeps the catalog that `publisher` points into
    const Publisher* publisher = nullptr;
    Base::Mutex mutex;
    size_t next GUARDED_BY(mutex) = 0;
};

struct EventMetadata : HandleObject {
    std::shared_ptr<Store> store;
    const EventDefinition* definition = nullptr;
};

// A property as a variant followed by its payload (a string with its NUL, or a GUID); sizes in
// bytes.
BOOL CopyVariant(EVT_VARIANT value, const std::wstring* text, const GUID* guid, DWORD bufferSize,
                 PEVT_VARIANT buffer, PDWORD bufferUsed) {
    const size_t payload = text != nullptr   ? (text->size() + 1) * sizeof(wchar_t)
                           : guid != nullptr ? sizeof(GUID)
                                             : 0;
    const size_t needed = sizeof(EVT_VARIANT) + payload;
    *bufferUsed = static_cast<DWORD>(needed);
    if (buffer == nullptr || bufferSize < needed) {
        Fail(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    auto* after = reinterpret_cast<uint8_t*>(buffer) + sizeof(EVT_VARIANT);
    if (text != nullptr) {
        std::memcpy(after, text->c_str(), payload);
        value.StringVal = reinterpret_cast<LPCWSTR>(after);
        value.Type = EvtVarTypeString;
    } else if (guid != nullptr) {
        std::memcpy(after, guid, sizeof(GUID));
        value.GuidVal = reinterpret_cast<GUID*>(after);
        value.Type = EvtVarTypeGuid;
    }
    *buffer = value;
    return TRUE;
}

EVT_VARIANT UInt32Variant(uint32_t number) {
    EVT_VARIANT value = NullVariant();
    value.UInt32Val = number;
    value.Type = EvtVarTypeUInt32;
    return value;
}

// Message ids are not kept: the metadata holds the texts themselves.
constexpr uint32_t kNoMessageId = 0xFFFFFFFF;

// One object of a publisher's list: its name (a channel's path), value and, for channels, its
// index and flags.
struct ListedObject {
    std::wstring name;
    uint64_t value = 0;
    uint32_t flags = 0;
};

// A publisher's channels, levels, tasks, opcodes or keywords, as the list property named them.
struct ObjectArray : HandleObject {
    std::shared_ptr<Store> store; // keeps the catalog alive
    EVT_PUBLISHER_METADATA_PROPERTY_ID kind{};
    std::vector<ListedObject> objects;
};

std::shared_ptr<ObjectArray> MakeObjectArray(std::shared_ptr<Store> store, const Publisher& p,
                                             EVT_PUBLISHER_METADATA_PROPERTY_ID kind) {
    auto array = std::make_shared<ObjectArray>();
    array->store = std::move(store);
    array->kind = kind;
    // Named values: the symbolic name the metadata gives, else the text.
    auto add = [&](NameKind name, const auto& texts) {
        for (const auto& [value, text] : texts) {
            const auto symbol = p.symbols.find({name, value});
            array->objects.push_back({symbol != p.symbols.end() ? symbol->second : text, value, 0});
        }
    };
    switch (kind) {
    case EvtPublisherMetadataChannelReferences:
        // Application, System and Security are the channels a provider imports.
        for (const auto& [value, name] : p.channelValues) {
            const bool imported = EqualsNoCase(name, L"Application") ||
                                  EqualsNoCase(name, L"System") || EqualsNoCase(name, L"Security");
            array->objects.push_back({name, value, imported ? 1u : 0u});
        }
        break;
    case EvtPublisherMetadataLevels:
        add(NameKind::Level, p.levels);
        break;
    case EvtPublisherMetadataTasks:
        add(NameKind::Task, p.tasks);
        break;
    case EvtPublisherMetadataOpcodes:
        add(NameKind::Opcode, p.opcodes);
        break;
    default:
        add(NameKind::Keyword, p.keywords);
        break;
    }
    return array;
}

// The list property that holds the property `id` of its objects (EvtPublisherMetadataLevels for
// EvtPublisherMetadataLevelName, ...).
EVT_PUBLISHER_METADATA_PROPERTY_ID ListOf(DWORD id) {
    static constexpr EVT_PUBLISHER_METADATA_PROPERTY_ID kLists[] = {
        EvtPublisherMetadataChannelReferences, EvtPublisherMetadataLevels,
        EvtPublisherMetadataTasks, EvtPublisherMetadataOpcodes, EvtPublisherMetadataKeywords};
    EVT_PUBLISHER_METADATA_PROPERTY_ID list = EvtPublisherMetadataPropertyIdEND;
    for (const auto candidate : kLists) {
        if (id == static_cast<DWORD>(candidate) || id >= EvtPublisherMetadataPropertyIdEND) {
            return EvtPublisherMetadataPropertyIdEND;
        }
        if (id > static_cast<DWORD>(candidate)) {
            list = candidate;
        }
    }
    return list;
}

} // namespace

BOOL WINAPI EvtGetPublisherMetadataProperty(EVT_HANDLE publisherMetadata,
                                            EVT_PUBLISHER_METADATA_PROPERTY_ID propertyId,
                                            DWORD flags, DWORD bufferSize, PEVT_VARIANT buffer,
                                            PDWORD bufferUsed) {
    return Base::CFunctionBoundary(FailWithLastError<BOOL>(FALSE), [&]() -> BOOL {
        auto metadata = PropertySource<PublisherMetadata>(
            "EvtGetPublisherMetadataProperty", publisherMetadata, HandleKind::PublisherMetadata,
            flags, bufferSize, buffer, bufferUsed);
        if (!metadata) {
            return FALSE;
        }
        const Publisher& p = *metadata->publisher;
        const std::wstring* text = nullptr;
        switch (propertyId) {
        case EvtPublisherMetadataPublisherGuid:
            return CopyVariant({}, nullptr, &p.guid, bufferSize, buffer, bufferUsed);
        case EvtPublisherMetadataResourceFilePath:
            text = &p.resourceFile;
            break;
        case EvtPublisherMetadataParameterFilePath:
            text = &p.parameterFile;
            break;
        case EvtPublisherMetadataMessageFilePath:
            text = &p.messageFile;
            break;
        case EvtPublisherMetadataHelpLink:
            text = &p.helpLink;
            break;
        case EvtPublisherMetadataPublisherMessageID:
            return CopyVariant(UInt32Variant(kNoMessageId), nullptr, nullptr, bufferSize, buffer,
                               bufferUsed);
        case EvtPublisherMetadataChannelReferences:
        case EvtPublisherMetadataLevels:
        case EvtPublisherMetadataTasks:
        case EvtPublisherMetadataOpcodes:
        case EvtPublisherMetadataKeywords: {
            *bufferUsed = sizeof(EVT_VARIANT);
            if (buffer == nullptr || bufferSize < sizeof(EVT_VARIANT)) {
                Fail(ERROR_INSUFFICIENT_BUFFER);
                return FALSE;
            }
            EVT_VARIANT value = NullVariant();
            value.EvtHandleVal = EventLogHandles().Add(
                HandleKind::ObjectArray, MakeObjectArray(metadata->store, p, propertyId));
            value.Type = EvtVarTypeEvtHandle;
            *buffer = value;
            return TRUE;
        }
        default:
            Fail(ERROR_NOT_SUPPORTED);
            return FALSE;
        }
        if (text->empty()) { // Windows gives Null for a file the provider does not have
            return CopyVariant({}, nullptr, nullptr, bufferSize, buffer, bufferUsed);
        }
        return CopyVariant({}, text, nullptr, bufferSize, buffer, bufferUsed);
    });
}

EVT_HANDLE WINAPI EvtOpenEventMetadataEnum(EVT_HANDLE publisherMetadata, DWORD flags) {
    return Base::CFunctionBoundary(FailWithLastError<EVT_HANDLE>(nullptr), [&]() -> EVT_HANDLE {
        if (Injected("EvtOpenEventMetadataEnum")) {
            return nullptr;
        }
        auto metadata = Lookup<PublisherMetadata>(publisherMetadata, HandleKind::PublisherMetadata);
        if (!metadata) {
            Fail(ERROR_INVALID_HANDLE);
            return nullptr;
        }
        if (flags != 0) {
            Fail(ERROR_INVALID_PARAMETER);
            return nullptr;
        }
        auto enumeration = std::make_shared<EventMetadataEnum>();
        enumeration->store = metadata->store;
        enumeration->publisher = metadata->publisher;
        return EventLogHandles().Add(HandleKind::EventMetadataEnum, enumeration);
    });
}

EVT_HANDLE WINAPI EvtNextEventMetadata(EVT_HANDLE eventMetadataEnum, DWORD flags) {
    return Base::CFunctionBoundary(FailWithLastError<EVT_HANDLE>(nullptr), [&]() -> EVT_HANDLE {
        if (Injected("EvtNextEventMetadata")) {
            return nullptr;
        }
        auto enumeration =
            Lookup<EventMetadataEnum>(eventMetadataEnum, HandleKind::EventMetadataEnum);
        if (!enumeration) {
            Fail(ERROR_INVALID_HANDLE);
            return nullptr;
        }
        if (flags != 0) {
            Fail(ERROR_INVALID_PARAMETER);
            return nullptr;
        }
        auto item = std::make_shared<EventMetadata>();
        item->store = enumeration->store;
        {
            Base::LockGuard<Base::Mutex> lock(enumeration->mutex);
            const auto& events = enumeration->publisher->events;
            if (enumeration->next >= events.size()) {
                Fail(ERROR_NO_MORE_ITEMS);
                return nullptr;
            }
            item->definition = &events[enumeration->next++];
        }
        return EventLogHandles().Add(HandleKind::EventMetadata, item);
    });
}

BOOL WINAPI EvtGetEventMetadataProperty(EVT_HANDLE eventMetadata,
                                        EVT_EVENT_METADATA_PROPERTY_ID propertyId, DWORD flags,
                                        DWORD bufferSize, PEVT_VARIANT buffer, PDWORD bufferUsed) {
    return Base::CFunctionBoundary(FailWithLastError<BOOL>(FALSE), [&]() -> BOOL {
        auto item = PropertySource<EventMetadata>("EvtGetEventMetadataProperty", eventMetadata,
                                                  HandleKind::EventMetadata, flags, bufferSize,
                                                  buffer, bufferUsed);
        if (!item) {
            return FALSE;
        }
        const EventDefinition& d = *item->definition;
        EVT_VARIANT value = NullVariant();
        switch (propertyId) {
        case EventMetadataEventID:
            value = UInt32Variant(d.id);
            break;
        case EventMetadataEventVersion:
            value = UInt32Variant(d.version);
            break;
        case EventMetadataEventChannel:
            value = UInt32Variant(d.channel);
            break;
        case EventMetadataEventLevel:
            value = UInt32Variant(d.level);
            break;
        case EventMetadataEventOpcode:
            value = UInt32Variant(d.opcode);
            break;
        case EventMetadataEventTask:
            value = UInt32Variant(d.task);
            break;
        case EventMetadataEventKeyword:
            value.UInt64Val = d.keywords;
            value.Type = EvtVarTypeUInt64;
            break;
        case EventMetadataEventMessageID:
            value = UInt32Variant(kNoMessageId);
            break;
        case EventMetadataEventTemplate:
            return CopyVariant({}, &d.templateXml, nullptr, bufferSize, buffer, bufferUsed);
        default:
            Fail(ERROR_NOT_SUPPORTED);
            return FALSE;
        }
        return CopyVariant(value, nullptr, nullptr, bufferSize, buffer, bufferUsed);
    });
}

BOOL WINAPI EvtGetObjectArraySize(EVT_OBJECT_ARRAY_PROPERTY_HANDLE objectArray,
                                  PDWORD objectArraySize) {
    return Base::CFunctionBoundary(FailWithLastError<BOOL>(FALSE), [&]() -> BOOL {
        if (Injected("EvtGetObjectArraySize")) {
            return FALSE;
        }
        auto array = Lookup<ObjectArray>(objectArray, HandleKind::ObjectArray);
        if (!array) {
            Fail(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        if (objectArraySize == nullptr) {
            Fail(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        *objectArraySize = static_cast<DWORD>(array->objects.size());
        return TRUE;
    });
}

BOOL WINAPI EvtGetObjectArrayProperty(EVT_OBJECT_ARRAY_PROPERTY_HANDLE objectArray,
                                      DWORD propertyId, DWORD arrayIndex, DWORD flags,
                                      DWORD bufferSize, PEVT_VARIANT buffer, PDWORD bufferUsed) {
    return Base::CFunctionBoundary(FailWithLastError<BOOL>(FALSE), [&]() -> BOOL {
        auto array = PropertySource<ObjectArray>("EvtGetObjectArrayProperty", objectArray,
                                                 HandleKind::ObjectArray, flags, bufferSize, buffer,
                                                 bufferUsed);
        if (!array) {
            return FALSE;
        }
        if (arrayIndex >= array->objects.size() || ListOf(propertyId) != array->kind) {
            Fail(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        const ListedObject& object = array->objects[arrayIndex];
        EVT_VARIANT value = NullVariant();
        switch (propertyId) {
        case EvtPublisherMetadataChannelReferencePath:
        case EvtPublisherMetadataLevelName:
        case EvtPublisherMetadataTaskName:
        case EvtPublisherMetadataOpcodeName:
        case EvtPublisherMetadataKeywordName:
            return CopyVariant({}, &object.name, nullptr, bufferSize, buffer, bufferUsed);
        case EvtPublisherMetadataTaskEventGuid: {
            const GUID none{}; // the metadata read here gives tasks no event GUID
            return CopyVariant({}, nullptr, &none, bufferSize, buffer, bufferUsed);
        }
        case EvtPublisherMetadataChannelReferenceIndex:
            value = UInt32Variant(arrayIndex);
            break;
        case EvtPublisherMetadataChannelReferenceFlags:
            value = UInt32Variant(object.flags);
            break;
        case EvtPublisherMetadataKeywordValue:
            value.UInt64Val = object.value;
            value.Type = EvtVarTypeUInt64;
            break;
        case EvtPublisherMetadataChannelReferenceMessageID:
        case EvtPublisherMetadataLevelMessageID:
        case EvtPublisherMetadataTaskMessageID:
        case EvtPublisherMetadataOpcodeMessageID:
        case EvtPublisherMetadataKeywordMessageID:
            value = UInt32Variant(kNoMessageId);
            break;
        default: // the channel's id, the level's, task's or opcode's value
            value = UInt32Variant(static_cast<uint32_t>(object.value));
            break;
        }
        return CopyVariant(value, nullptr, nullptr, bufferSize, buffer, bufferUsed);
    });
}
