#include "EventReader.h"

#include "Base/Utf.h"
#include "Helpers/UniqueHandle.h"

#include <pugixml.hpp>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <stdexcept>
#include <string_view>
#include <vector>

namespace HalyardHost {

namespace {

using Json = nlohmann::ordered_json;

void CloseEvt(EVT_HANDLE handle) noexcept {
    EvtClose(handle);
}
using UniqueEvt = UniqueWin32<EVT_HANDLE, &CloseEvt>;

std::string HexCode(DWORD error) {
    char text[16];
    std::snprintf(
        text, sizeof(text), "0x%08X",
        static_cast<unsigned>(error == ERROR_SUCCESS ? 0 : (error & 0xFFFF) | 0x80070000));
    return text;
}

[[noreturn]] void Fail(const char* call) {
    throw std::runtime_error(std::string(call) + " failed with " + HexCode(GetLastError()));
}

std::wstring RenderXml(EVT_HANDLE event) {
    DWORD used = 0;
    DWORD count = 0;
    std::vector<wchar_t> buffer(4096);
    while (!EvtRender(nullptr, event, EvtRenderEventXml,
                      static_cast<DWORD>(buffer.size() * sizeof(wchar_t)), buffer.data(), &used,
                      &count)) {
        if (GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
            Fail("EvtRender");
        }
        buffer.resize(used / sizeof(wchar_t) + 1);
    }
    return buffer.data();
}

// A text of EvtFormatMessage; an unresolved insert still gives the text. Null with `error` set
// when there is none.
std::optional<std::wstring> Format(EVT_HANDLE metadata, EVT_HANDLE event, DWORD flags,
                                   DWORD& error) {
    std::vector<wchar_t> buffer(1024);
    DWORD used = 0;
    while (true) {
        if (EvtFormatMessage(metadata, event, 0, 0, nullptr, flags,
                             static_cast<DWORD>(buffer.size()), buffer.data(), &used)) {
            error = ERROR_SUCCESS;
            break;
        }
        error = GetLastError();
        if (error == ERROR_INSUFFICIENT_BUFFER) {
            buffer.resize(used);
            continue;
        }
        if (error != ERROR_EVT_UNRESOLVED_VALUE_INSERT &&
            error != ERROR_EVT_UNRESOLVED_PARAMETER_INSERT) {
            return std::nullopt;
        }
        break;
    }
    // A keyword list is a run of texts each ending in a NUL: `used` counts them all.
    return std::wstring(buffer.data(), used > 0 ? used - 1 : 0);
}

Json Text(const std::optional<std::wstring>& text) {
    return text ? Json(Base::Utf8FromWide(*text)) : Json(nullptr);
}

std::string_view LocalName(const pugi::xml_node& node) {
    std::string_view name = node.name();
    const size_t colon = name.find(':');
    return colon == std::string_view::npos ? name : name.substr(colon + 1);
}

pugi::xml_node Child(const pugi::xml_node& node, std::string_view name) {
    for (pugi::xml_node child : node.children()) {
        if (LocalName(child) == name) {
            return child;
        }
    }
    return {};
}

Json Number(const pugi::xml_node& system, std::string_view name) {
    const pugi::xml_node node = Child(system, name);
    if (!node) {
        return nullptr;
    }
    return std::strtoull(node.child_value(), nullptr, 0);
}

// The text of a value: its text, or the XML inside it when it holds elements.
std::string ValueText(const pugi::xml_node& node) {
    if (!node.find_child([](const pugi::xml_node& n) { return n.type() == pugi::node_element; })) {
        return node.child_value();
    }
    std::ostringstream inner;
    for (pugi::xml_node child : node.children()) {
        child.print(inner, "", pugi::format_raw);
    }
    return inner.str();
}

Json Data(const pugi::xml_node& event) {
    Json data = Json::array();
    if (const pugi::xml_node eventData = Child(event, "EventData")) {
        for (pugi::xml_node value : eventData.children()) {
            if (value.type() != pugi::node_element) {
                continue;
            }
            Json item = {{"section", "EventData"}, {"element", std::string(LocalName(value))}};
            const pugi::xml_attribute name = value.attribute("Name");
            item["name"] = name ? Json(name.value()) : Json(nullptr);
            item["value"] = ValueText(value);
            data.push_back(std::move(item));
        }
    }
    if (const pugi::xml_node userData = Child(event, "UserData")) {
        const pugi::xml_node element = userData.find_child(
            [](const pugi::xml_node& n) { return n.type() == pugi::node_element; });
        for (pugi::xml_node value : element.children()) {
            if (value.type() != pugi::node_element) {
                continue;
            }
            data.push_back({{"section", "UserData"},
                            {"element", std::string(LocalName(element))},
                            {"name", std::string(LocalName(value))},
                            {"value", ValueText(value)}});
        }
    }
    return data;
}

} // namespace

Json EventDetails(EVT_HANDLE event) {
    const std::wstring rendered = RenderXml(event);
    const std::string xml = Base::Utf8FromWide(rendered);
    pugi::xml_document document;
    if (!document.load_buffer(xml.data(), xml.size())) {
        throw std::runtime_error("the Event Log rendered XML that does not parse");
    }
    const pugi::xml_node root = document.document_element();
    const pugi::xml_node system = Child(root, "System");
    const std::string provider = Child(system, "Provider").attribute("Name").value();
    const pugi::xml_node eventId = Child(system, "EventID");
    Json details = {{"channel", Child(system, "Channel").child_value()},
                    {"recordId", Number(system, "EventRecordID")},
                    {"provider", provider},
                    {"eventId", Number(system, "EventID")},
                    {"qualifiers", eventId.attribute("Qualifiers")
                                       ? Json(eventId.attribute("Qualifiers").as_uint())
                                       : Json(nullptr)},
                    {"version", Number(system, "Version")},
                    {"level", Number(system, "Level")},
                    {"task", Number(system, "Task")},
                    {"opcode", Number(system, "Opcode")},
                    {"keywords", Child(system, "Keywords")
                                     ? Json(Child(system, "Keywords").child_value())
                                     : Json(nullptr)}};
    // Names and the message come from the publisher's metadata where there is some.
    const UniqueEvt metadata(
        provider.empty() ? nullptr
                         : EvtOpenPublisherMetadata(nullptr, Base::WideFromUtf8(provider).c_str(),
                                                    nullptr, 0, 0));
    DWORD error = ERROR_SUCCESS;
    const std::optional<std::wstring> message =
        metadata ? Format(metadata.Get(), event, EvtFormatMessageEvent, error) : std::nullopt;
    details["message"] = Text(message);
    details["messageError"] =
        message ? Json(nullptr) : Json(HexCode(metadata ? error : ERROR_FILE_NOT_FOUND));
    const std::pair<const char*, DWORD> names[] = {{"levelName", EvtFormatMessageLevel},
                                                   {"taskName", EvtFormatMessageTask},
                                                   {"opcodeName", EvtFormatMessageOpcode}};
    for (const auto& [key, flags] : names) {
        details[key] = Text(metadata ? Format(metadata.Get(), event, flags, error) : std::nullopt);
    }
    Json keywordNames = Json::array();
    if (auto list = metadata ? Format(metadata.Get(), event, EvtFormatMessageKeyword, error)
                             : std::nullopt) {
        for (size_t at = 0; at < list->size();) {
            const size_t end = std::min(list->find(L'\0', at), list->size());
            if (end > at) {
                keywordNames.push_back(Base::Utf8FromWide(list->substr(at, end - at)));
            }
            at = end + 1;
        }
    }
    details["keywordNames"] = std::move(keywordNames);
    details["data"] = Data(root);
    std::optional<std::wstring> withNames =
        metadata ? Format(metadata.Get(), event, EvtFormatMessageXml, error) : std::nullopt;
    details["xml"] = Base::Utf8FromWide(withNames ? *withNames : rendered);
    return details;
}

std::optional<Json> ReadEvent(const std::wstring& channel, uint64_t recordId) {
    const std::wstring query = L"*[System[EventRecordID=" + std::to_wstring(recordId) + L"]]";
    const UniqueEvt results(EvtQuery(nullptr, channel.c_str(), query.c_str(), EvtQueryChannelPath));
    if (!results) {
        Fail("EvtQuery");
    }
    EVT_HANDLE event = nullptr;
    DWORD returned = 0;
    if (!EvtNext(results.Get(), 1, &event, INFINITE, 0, &returned)) {
        if (GetLastError() == ERROR_NO_MORE_ITEMS) {
            return std::nullopt;
        }
        Fail("EvtNext");
    }
    const UniqueEvt owned(event);
    return EventDetails(owned.Get());
}

void ReadLogFile(const std::wstring& path, const std::function<void(const Json&)>& each) {
    const UniqueEvt results(EvtQuery(nullptr, path.c_str(), L"*", EvtQueryFilePath));
    if (!results) {
        Fail("EvtQuery");
    }
    EVT_HANDLE batch[64];
    DWORD returned = 0;
    while (EvtNext(results.Get(), 64, batch, INFINITE, 0, &returned)) {
        std::vector<UniqueEvt> owned;
        for (DWORD i = 0; i < returned; ++i) {
            owned.emplace_back(batch[i]);
        }
        for (const UniqueEvt& event : owned) {
            each(EventDetails(event.Get()));
        }
    }
    if (GetLastError() != ERROR_NO_MORE_ITEMS) {
        Fail("EvtNext");
    }
}

} // namespace HalyardHost
