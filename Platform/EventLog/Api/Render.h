// Rendering of compact events: event XML, the System/Values/User variant buffers, and message
// formatting with inserts.
#pragma once

#include "PalEventLog/Query/Query.h"
#include "PalEventLog/Store/Store.h"

#include "Win32/WinEvt.h"

#include <string>
#include <vector>

namespace PalEventLog {

// The event as Windows prints it: one line, single-quoted attributes, no declaration.
// `renderingInfo` (if not empty) is inserted before the closing tag.
std::wstring EventXml(const Store& store, const Channel& channel, const Event& event,
                      std::wstring_view renderingInfo = {});

// Fills `buffer` with variants followed by their payload, or with nothing when it is too small.
// Returns the bytes needed; `count` receives the number of variants.
size_t RenderSystem(const Store& store, const Event& event, void* buffer, size_t size,
                    DWORD& count);
size_t RenderValues(const Store& store, const Channel& channel, const Event& event,
                    const std::vector<Expression>& paths, void* buffer, size_t size, DWORD& count);
size_t RenderUser(const Store& store, const Channel& channel, const Event& event, void* buffer,
                  size_t size, DWORD& count);

// Appends <name>value</name>, the value escaped as event XML escapes it.
void AppendXmlElement(std::wstring& xml, std::wstring_view name, std::wstring_view value);

// Whether items' element names are `name`. The last answer is kept: the items of an event mostly
// share their element name, so that most items cost a comparison of string ids.
struct ElementTest {
    std::wstring_view name;
    StrId element = 0;
    bool known = false;
    bool is = false;
};
inline bool IsElement(const Store& store, ElementTest& test, StrId element) {
    if (!test.known || element != test.element) {
        test.element = element;
        test.known = true;
        test.is = store.String(element) == test.name;
    }
    return test.is;
}

// Calls `visit` with each of the event's insertion strings in order: its EventData Data values
// (raw Binary data is none), or its UserData values.
template <class Visit>
void ForEachInsertionString(const Store& store, const Channel& channel, const Event& event,
                            Visit&& visit) {
    const bool eventData = event.payload == Payload::EventData;
    ElementTest isData{L"Data"};
    for (uint32_t i = 0; i < event.itemCount; ++i) {
        const Item& item = channel.items[event.firstItem + i];
        if (!eventData || IsElement(store, isData, item.element)) {
            visit(channel.ItemText(item));
        }
    }
}

// The event's insertion strings (see ForEachInsertionString), into `strings`.
void InsertionStrings(const Store& store, const Channel& channel, const Event& event,
                      std::vector<std::wstring_view>& strings);
std::vector<std::wstring_view> InsertionStrings(const Store& store, const Channel& channel,
                                                const Event& event);

// Expands %1..%n from `inserts`, %%n from `parameters`, %% and the FormatMessage escapes
// (%n %t %r %0 %. %!). Unresolved inserts stay literal and are reported in the result code
// (ERROR_SUCCESS, ERROR_EVT_UNRESOLVED_VALUE_INSERT or ERROR_EVT_UNRESOLVED_PARAMETER_INSERT).
DWORD ExpandMessage(std::wstring_view text, const std::vector<std::wstring_view>& inserts,
                    const std::map<uint32_t, std::wstring>* parameters, std::wstring& out);

// Replaces the parameter inserts (%%n) of an event's value by their texts where `parameters` has
// them, as Windows does before the value goes into a message; anything else stays as it is.
void ExpandParameters(std::wstring_view value, const std::map<uint32_t, std::wstring>& parameters,
                      std::wstring& out);

} // namespace PalEventLog
