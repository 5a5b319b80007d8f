#include "PalEventLog/Api/Render.h"
#include "PalEventLog/Api/Faults.h"
#include "Win32/PalEventLogFaults.h"

#include "PalSupport/MessageEscapes.h"

#include "Base/XmlEscape.h"
#include "Win32/WinError.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace PalEventLog {

void AppendXmlElement(std::wstring& xml, std::wstring_view name, std::wstring_view value) {
    xml += L'<';
    xml += name;
    xml += L'>';
    Base::AppendXmlEscaped(xml, value, Base::kEscapeMarkupAndApostrophe);
    xml += L"</";
    xml += name;
    xml += L'>';
}

std::wstring EventXml(const Store& store, const Channel& channel, const Event& e,
                      std::wstring_view renderingInfo) {
    std::wstring x;
    x.reserve(512);
    auto has = [&](uint32_t bit) { return (e.present & bit) != 0; };
    auto attribute = [&](std::wstring_view name, std::wstring_view value) {
        x += L' ';
        x += name;
        x += L"='";
        Base::AppendXmlEscaped(x, value, Base::kEscapeMarkupAndApostrophe);
        x += L'\'';
    };
    auto element = [&](std::wstring_view name, std::wstring_view value) {
        AppendXmlElement(x, name, value);
    };
    x += L"<Event xmlns='http://schemas.microsoft.com/win/2004/08/events/event'><System>";
    if (has(kHasProvider)) {
        x += L"<Provider";
        attribute(L"Name", store.String(e.provider));
        if (e.providerGuid != 0) {
            attribute(L"Guid", FormatGuid(store.Guid(e.providerGuid)));
        }
        if (e.eventSourceName != 0) {
            attribute(L"EventSourceName", store.String(e.eventSourceName));
        }
        x += L"/>";
    }
    if (has(kHasEventId)) {
        x += L"<EventID";
        if (has(kHasQualifiers)) {
            attribute(L"Qualifiers", std::to_wstring(e.qualifiers));
        }
        x += L'>';
        x += std::to_wstring(e.eventId);
        x += L"</EventID>";
    }
    if (has(kHasVersion)) {
        element(L"Version", std::to_wstring(e.version));
    }
    if (has(kHasLevel)) {
        element(L"Level", std::to_wstring(e.level));
    }
    if (has(kHasTask)) {
        element(L"Task", std::to_wstring(e.task));
    }
    if (has(kHasOpcode)) {
        element(L"Opcode", std::to_wstring(e.opcode));
    }
    if (has(kHasKeywords)) {
        wchar_t buffer[24];
        std::swprintf(buffer, 24, L"0x%llx", static_cast<unsigned long long>(e.keywords));
        element(L"Keywords", buffer);
    }
    if (has(kHasTimeCreated)) {
        x += L"<TimeCreated";
        attribute(L"SystemTime", FormatSystemTime(e.timeCreated));
        x += L"/>";
    }
    if (has(kHasRecordId)) {
        element(L"EventRecordID", std::to_wstring(e.recordId));
    }
    if (has(kHasCorrelation)) {
        x += L"<Correlation";
        if (e.activityId != 0) {
            attribute(L"ActivityID", FormatGuid(store.Guid(e.activityId)));
        }
        if (e.relatedActivityId != 0) {
            attribute(L"RelatedActivityID", FormatGuid(store.Guid(e.relatedActivityId)));
        }
        x += L"/>";
    }
    if (has(kHasExecution)) {
        x += L"<Execution";
        if (has(kHasProcessId)) {
            attribute(L"ProcessID", std::to_wstring(e.processId));
        }
        if (has(kHasThreadId)) {
            attribute(L"ThreadID", std::to_wstring(e.threadId));
        }
        x += L"/>";
    }
    element(L"Channel", store.String(e.channel));
    element(L"Computer", store.String(e.computer));
    if (has(kHasSecurity)) {
        x += L"<Security";
        if (e.userSid != 0) {
            attribute(L"UserID", store.String(e.userSid));
        }
        x += L"/>";
    }
    x += L"</System>";
    if (e.payload == Payload::EventData) {
        x += L"<EventData>";
        for (uint32_t i = 0; i < e.itemCount; ++i) {
            const Item& item = channel.items[e.firstItem + i];
            const std::wstring_view name = store.String(item.element);
            x += L'<';
            x += name;
            if (item.name != 0) {
                attribute(L"Name", store.String(item.name));
            }
            x += L'>';
            Base::AppendXmlEscaped(x, channel.ItemText(item), Base::kEscapeMarkupAndApostrophe);
            x += L"</";
            x += name;
            x += L'>';
        }
        x += L"</EventData>";
    } else if (e.payload == Payload::UserData) {
        x += L"<UserData>";
        x += channel.Text(e.userDataXmlOffset, e.userDataXmlLength);
        x += L"</UserData>";
    }
    x += renderingInfo;
    x += L"</Event>";
    return x;
}

namespace {

// Lays out variants and their payload in a caller's buffer in one walk: written while they fit,
// and measured on from the first piece that does not (what was written by then stays in the
// buffer, as a failing call may leave anything there). A caller mostly passes the room that held
// the event before, which holds this one too.
class Layout {
public:
    Layout(void* buffer, size_t size, size_t variants)
        : m_base(static_cast<uint8_t*>(buffer)), m_size(size),
          m_used(variants * sizeof(EVT_VARIANT)), m_writing(buffer != nullptr && m_used <= size) {}
    bool Writing() const { return m_writing; }
    EVT_VARIANT* Variant(size_t i) {
        return m_writing ? reinterpret_cast<EVT_VARIANT*>(m_base) + i : &m_scratch;
    }
    // Reserves aligned payload bytes; null once they do not fit.
    void* Reserve(size_t bytes) {
        m_used = (m_used + 7) & ~size_t{7};
        m_writing = m_writing && m_used <= m_size && bytes <= m_size - m_used;
        void* p = m_writing ? m_base + m_used : nullptr;
        m_used += bytes;
        return p;
    }
    const wchar_t* String(std::wstring_view text) {
        auto* p = static_cast<wchar_t*>(Reserve((text.size() + 1) * sizeof(wchar_t)));
        // An empty text may have no storage at all (an empty value of a channel whose text arena
        // is empty): nothing to copy then.
        if (p != nullptr) {
            std::copy(text.begin(), text.end(), p);
            p[text.size()] = L'\0';
        }
        return p;
    }
    size_t Used() const { return m_used; }

private:
    uint8_t* m_base;
    size_t m_size;
    size_t m_used;
    bool m_writing;
    EVT_VARIANT m_scratch{};
};

// Runs `fill` over the buffer's layout; returns the bytes the result takes, which the buffer
// holds when they are at most `size`.
template <class Fill>
size_t Lay(void* buffer, size_t size, size_t variants, Fill fill) {
    Layout layout(buffer, size, variants);
    if (layout.Writing()) {
        std::memset(buffer, 0, variants * sizeof(EVT_VARIANT));
    }
    fill(layout);
    return layout.Used();
}

void SetNull(EVT_VARIANT* v) {
    v->UInt64Val = 0;
    v->Count = 0;
    v->Type = EvtVarTypeNull;
}

template <class L>
void SetString(L& l, EVT_VARIANT* v, std::wstring_view text) {
    v->StringVal = l.String(text);
    v->Count = 0;
    v->Type = EvtVarTypeString;
}

template <class L>
void SetGuid(L& l, EVT_VARIANT* v, const GUID& guid) {
    auto* p = static_cast<GUID*>(l.Reserve(sizeof(GUID)));
    if (p != nullptr) {
        *p = guid;
    }
    v->GuidVal = p;
    v->Count = 0;
    v->Type = EvtVarTypeGuid;
}

template <class L>
void SetSid(L& l, EVT_VARIANT* v, std::wstring_view text) {
    auto sid = ParseSid(text);
    if (!sid) {
        SetString(l, v, text);
        return;
    }
    auto* p = static_cast<uint8_t*>(l.Reserve(sid->size()));
    if (p != nullptr) {
        std::memcpy(p, sid->data(), sid->size());
    }
    v->SidVal = p;
    v->Count = 0;
    v->Type = EvtVarTypeSid;
}

template <class T>
void SetNumber(EVT_VARIANT* v, EVT_VARIANT_TYPE type, T value) {
    v->UInt64Val = 0;
    v->Count = 0;
    v->Type = type;
    switch (type) {
    case EvtVarTypeByte:
        v->ByteVal = static_cast<uint8_t>(value);
        break;
    case EvtVarTypeUInt16:
        v->UInt16Val = static_cast<uint16_t>(value);
        break;
    case EvtVarTypeUInt32:
        v->UInt32Val = static_cast<uint32_t>(value);
        break;
    default:
        v->UInt64Val = static_cast<uint64_t>(value);
        break;
    }
}

template <class L>
void SetStringArray(L& l, EVT_VARIANT* v, const std::vector<std::wstring_view>& strings) {
    auto** array = static_cast<LPWSTR*>(l.Reserve(strings.size() * sizeof(LPWSTR)));
    for (size_t i = 0; i < strings.size(); ++i) {
        const wchar_t* s = l.String(strings[i]);
        if (array != nullptr) {
            array[i] = const_cast<LPWSTR>(s);
        }
    }
    v->StringArr = array;
    v->Count = static_cast<DWORD>(strings.size());
    v->Type = EvtVarTypeString | EVT_VARIANT_TYPE_ARRAY;
}

EVT_VARIANT_TYPE NumberType(NodeKind node, Field field) {
    switch (field) {
    case Field::Qualifiers:
        return EvtVarTypeUInt16;
    case Field::ProcessID:
    case Field::ThreadID:
        return EvtVarTypeUInt32;
    default:
        break;
    }
    switch (node) {
    case NodeKind::EventID:
    case NodeKind::Task:
        return EvtVarTypeUInt16;
    case NodeKind::Level:
    case NodeKind::Opcode:
    case NodeKind::Version:
        return EvtVarTypeByte;
    default:
        return EvtVarTypeUInt64;
    }
}

} // namespace

size_t RenderSystem(const Store& store, const Event& e, void* buffer, size_t size, DWORD& count) {
    // Windows 11 and Server 2022 have rendered the first 16 only, without UserID and Version.
    const DWORD properties =
        Behaviour(PalSystemRender16) != 0 ? EvtSystemUserID : EvtSystemPropertyIdEND;
    count = properties;
    return Lay(buffer, size, properties, [&](auto& l) {
        auto has = [&](uint32_t bit) { return (e.present & bit) != 0; };
        auto number = [&](size_t i, bool present, EVT_VARIANT_TYPE type, uint64_t value) {
            if (present) {
                SetNumber(l.Variant(i), type, value);
            } else {
                SetNull(l.Variant(i));
            }
        };
        auto string = [&](size_t i, StrId id) {
            if (id != 0) {
                SetString(l, l.Variant(i), store.String(id));
            } else {
                SetNull(l.Variant(i));
            }
        };
        auto guid = [&](size_t i, uint32_t id) {
            if (id != 0) {
                SetGuid(l, l.Variant(i), store.Guid(id));
            } else {
                SetNull(l.Variant(i));
            }
        };
        string(EvtSystemProviderName, e.provider);
        guid(EvtSystemProviderGuid, e.providerGuid);
        number(EvtSystemEventID, has(kHasEventId), EvtVarTypeUInt16, e.eventId);
        number(EvtSystemQualifiers, has(kHasQualifiers), EvtVarTypeUInt16, e.qualifiers);
        number(EvtSystemLevel, has(kHasLevel), EvtVarTypeByte, e.level);
        number(EvtSystemTask, has(kHasTask), EvtVarTypeUInt16, e.task);
        number(EvtSystemOpcode, has(kHasOpcode), EvtVarTypeByte, e.opcode);
        number(EvtSystemKeywords, has(kHasKeywords), EvtVarTypeHexInt64, e.keywords);
        number(EvtSystemTimeCreated, has(kHasTimeCreated), EvtVarTypeFileTime, e.timeCreated);
        number(EvtSystemEventRecordId, has(kHasRecordId), EvtVarTypeUInt64, e.recordId);
        guid(EvtSystemActivityID, e.activityId);
        guid(EvtSystemRelatedActivityID, e.relatedActivityId);
        number(EvtSystemProcessID, has(kHasProcessId), EvtVarTypeUInt32, e.processId);
        number(EvtSystemThreadID, has(kHasThreadId), EvtVarTypeUInt32, e.threadId);
        string(EvtSystemChannel, e.channel);
        string(EvtSystemComputer, e.computer);
        if (properties <= EvtSystemUserID) {
            return;
        }
        if (const auto& sid = store.SidBytes(e.userSid); !sid.empty()) {
            auto* p = static_cast<uint8_t*>(l.Reserve(sid.size()));
            if (p != nullptr) {
                std::memcpy(p, sid.data(), sid.size());
            }
            EVT_VARIANT* v = l.Variant(EvtSystemUserID);
            v->SidVal = p;
            v->Count = 0;
            v->Type = EvtVarTypeSid;
        } else if (e.userSid != 0) {
            SetSid(l, l.Variant(EvtSystemUserID), store.String(e.userSid));
        } else {
            SetNull(l.Variant(EvtSystemUserID));
        }
        number(EvtSystemVersion, has(kHasVersion), EvtVarTypeByte, e.version);
    });
}

void InsertionStrings(const Store& store, const Channel& channel, const Event& e,
                      std::vector<std::wstring_view>& strings) {
    strings.clear();
    ForEachInsertionString(store, channel, e,
                           [&](std::wstring_view text) { strings.push_back(text); });
}

std::vector<std::wstring_view> InsertionStrings(const Store& store, const Channel& channel,
                                                const Event& e) {
    std::vector<std::wstring_view> strings;
    strings.reserve(e.itemCount);
    InsertionStrings(store, channel, e, strings);
    return strings;
}

size_t RenderValues(const Store& store, const Channel& channel, const Event& e,
                    const std::vector<Expression>& paths, void* buffer, size_t size, DWORD& count) {
    count = static_cast<DWORD>(paths.size());
    return Lay(buffer, size, paths.size(), [&](auto& l) {
        for (size_t i = 0; i < paths.size(); ++i) {
            EVT_VARIANT* v = l.Variant(i);
            SetNull(v);
            if (paths[i].IsEventDataArrayPath()) {
                // Every Data value of EventData as one string array; no EventData is Null.
                if (e.payload != Payload::EventData) {
                    continue;
                }
                std::vector<std::wstring_view> strings;
                for (uint32_t k = 0; k < e.itemCount; ++k) {
                    const Item& item = channel.items[e.firstItem + k];
                    if (store.String(item.element) == L"Data") {
                        strings.push_back(channel.ItemText(item));
                    }
                }
                if (strings.size() == 1 && Behaviour(PalSingleDataPlain) != 0) {
                    SetString(l, v, strings.front());
                } else {
                    SetStringArray(l, v, strings);
                }
                continue;
            }
            paths[i].ForEachValue(store, channel, e, [&](const Expression::Value& value) {
                using Type = Expression::Value::Type;
                switch (value.type) {
                case Type::Null:
                    return true; // look further
                case Type::UInt:
                    SetNumber(v, NumberType(value.node, value.field), value.number);
                    break;
                case Type::Hex:
                    SetNumber(v, EvtVarTypeHexInt64, value.number);
                    break;
                case Type::Time:
                    SetNumber(v, EvtVarTypeFileTime, value.number);
                    break;
                case Type::Guid:
                    SetGuid(l, v, store.Guid(value.guid));
                    break;
                case Type::Sid:
                    SetSid(l, v, value.text);
                    break;
                case Type::String:
                    SetString(l, v, value.text);
                    break;
                }
                return false;
            });
        }
    });
}

size_t RenderUser(const Store&, const Channel& channel, const Event& e, void* buffer, size_t size,
                  DWORD& count) {
    count = e.itemCount;
    return Lay(buffer, size, e.itemCount, [&](auto& l) {
        for (uint32_t i = 0; i < e.itemCount; ++i) {
            SetString(l, l.Variant(i), channel.ItemText(channel.items[e.firstItem + i]));
        }
    });
}

DWORD ExpandMessage(std::wstring_view text, const std::vector<std::wstring_view>& inserts,
                    const std::map<uint32_t, std::wstring>* parameters, std::wstring& out) {
    DWORD result = ERROR_SUCCESS;
    out.clear();
    out.reserve(text.size() + 64);
    auto digitsAt = [&](size_t pos, size_t& end) {
        uint32_t value = 0;
        end = pos;
        while (end < text.size() && end - pos < 9 && text[end] >= L'0' && text[end] <= L'9') {
            value = value * 10 + static_cast<uint32_t>(text[end] - L'0');
            ++end;
        }
        return value;
    };
    // Parameter inserts in an insertion string ("%%2313") are replaced by the provider's
    // parameter messages, as Windows does, on request.
    const bool expand = Behaviour(PalParameterInsertsInStrings) != 0;
    for (size_t i = 0; i < text.size(); ++i) {
        const wchar_t c = text[i];
        if (c != L'%' || i + 1 >= text.size()) {
            // The text up to the next insert or escape, at once.
            const size_t next = c == L'%' ? i + 1 : std::min(text.find(L'%', i), text.size());
            out.append(text.substr(i, next - i));
            i = next - 1;
            continue;
        }
        const wchar_t next = text[i + 1];
        if (next == L'%') {
            size_t end = 0;
            const uint32_t id = digitsAt(i + 2, end);
            if (end > i + 2) {
                // %%n: a parameter message.
                bool resolved = false;
                if (parameters != nullptr) {
                    auto found = parameters->find(id);
                    if (found != parameters->end()) {
                        out += found->second;
                        resolved = true;
                    }
                }
                if (!resolved) {
                    out.append(text.substr(i, end - i));
                    if (result == ERROR_SUCCESS) {
                        result = ERROR_EVT_UNRESOLVED_PARAMETER_INSERT;
                    }
                }
                i = end - 1;
            } else {
                out.push_back(L'%');
                ++i;
            }
            continue;
        }
        if (next >= L'1' && next <= L'9') {
            size_t end = 0;
            const uint32_t n = digitsAt(i + 1, end);
            // A printf-style format ("%1!s!") is dropped: the insert is already text.
            size_t after = end;
            if (after < text.size() && text[after] == L'!') {
                const size_t close = text.find(L'!', after + 1);
                if (close != std::wstring_view::npos) {
                    after = close + 1;
                }
            }
            const std::wstring_view insert = n >= 1 && n <= inserts.size() ? inserts[n - 1] : L"";
            if (n >= 1 && n <= inserts.size() &&
                (!expand || insert.find(L"%%") == std::wstring_view::npos)) {
                out.append(insert);
            } else if (n >= 1 && n <= inserts.size()) {
                for (size_t k = 0; k < insert.size(); ++k) {
                    size_t end = k + 2;
                    uint32_t id = 0;
                    if (expand && insert.substr(k, 2) == L"%%") {
                        while (end < insert.size() && end - k < 11 && insert[end] >= L'0' &&
                               insert[end] <= L'9') {
                            id = id * 10 + static_cast<uint32_t>(insert[end++] - L'0');
                        }
                    }
                    if (end == k + 2) {
                        out.push_back(insert[k]);
                        continue;
                    }
                    const std::wstring* parameter = nullptr;
                    if (parameters != nullptr) {
                        const auto found = parameters->find(id);
                        parameter = found != parameters->end() ? &found->second : nullptr;
                    }
                    if (parameter != nullptr) {
                        out += *parameter;
                    } else {
                        out.append(insert.substr(k, end - k));
                        if (result == ERROR_SUCCESS) {
                            result = ERROR_EVT_UNRESOLVED_PARAMETER_INSERT;
                        }
                    }
                    k = end - 1;
                }
            } else {
                out.append(text.substr(i, after - i));
                result = ERROR_EVT_UNRESOLVED_VALUE_INSERT;
            }
            i = after - 1;
            continue;
        }
        if (const wchar_t* escape = Pal::MessageLineEscape(next)) {
            out += escape;
            ++i;
            continue;
        }
        switch (next) {
        case L'0':
            return result; // end of message, no trailing newline
        case L'.':
        case L'!':
        case L' ':
            out.push_back(next);
            break;
        default:
            out.push_back(L'%');
            out.push_back(next);
            break;
        }
        ++i;
    }
    return result;
}

void ExpandParameters(std::wstring_view value, const std::map<uint32_t, std::wstring>& parameters,
                      std::wstring& out) {
    out.clear();
    out.reserve(value.size());
    for (size_t i = 0; i < value.size(); ++i) {
        size_t end = i + 2;
        uint32_t id = 0;
        while (value.substr(i, 2) == L"%%" && end < value.size() && end - i < 11 &&
               value[end] >= L'0' && value[end] <= L'9') {
            id = id * 10 + static_cast<uint32_t>(value[end] - L'0');
            ++end;
        }
        const auto found = end > i + 2 ? parameters.find(id) : parameters.end();
        if (found == parameters.end()) {
            out.push_back(value[i]);
            continue;
        }
        out += found->second;
        i = end - 1;
    }
}

} // namespace PalEventLog
