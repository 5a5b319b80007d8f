// The host's read of one event: every event of the real logs of the shared data read through it,
// its data compared value by value with what libevtx reads from the same log.
#include "EventReader.h"
#include "PalEventLog/Evtx/EvtxFile.h"

#include "Base/Utf.h"
#include "Support/SharedData.h"

#include <gtest/gtest.h>
#include <pugixml.hpp>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using Json = nlohmann::ordered_json;

namespace {

// One value as libevtx gives it: section, element, name and text.
using Value = std::vector<std::string>;

std::string LocalName(const char* name) {
    const std::string text = name;
    const size_t colon = text.find(':');
    return colon == std::string::npos ? text : text.substr(colon + 1);
}

std::string Inner(const pugi::xml_node& node) {
    bool elements = false;
    for (pugi::xml_node child : node.children()) {
        elements = elements || child.type() == pugi::node_element;
    }
    if (!elements) {
        return node.child_value();
    }
    std::ostringstream xml;
    for (pugi::xml_node child : node.children()) {
        child.print(xml, "", pugi::format_raw);
    }
    return xml.str();
}

// The values of each record of a log by EventRecordID, from libevtx's XML of the record.
std::map<uint64_t, std::vector<Value>> LibevtxValues(const fs::path& log) {
    std::map<uint64_t, std::vector<Value>> records;
    PalEventLog::EvtxFile file;
    std::wstring error;
    if (!file.Open(log, error)) {
        ADD_FAILURE() << log << ": " << Base::Utf8FromWide(error);
        return records;
    }
    const int count = file.RecordCount(error);
    std::string xml;
    for (int i = 0; i < count; ++i) {
        PalEventLog::EvtxRecord record;
        pugi::xml_document document;
        if (!file.Record(i, record, error) || !record.Xml(xml, error) ||
            !document.load_string(xml.c_str())) {
            continue; // the store skips what libevtx cannot read
        }
        const pugi::xml_node event = document.document_element();
        std::vector<Value> values;
        for (pugi::xml_node value : event.child("EventData").children()) {
            if (value.type() == pugi::node_element) {
                values.push_back(
                    {"EventData", LocalName(value.name()),
                     value.attribute("Name") ? value.attribute("Name").value() : "\x01",
                     Inner(value)});
            }
        }
        const pugi::xml_node user = event.child("UserData").first_child();
        for (pugi::xml_node value : user.children()) {
            if (value.type() == pugi::node_element) {
                values.push_back(
                    {"UserData", LocalName(user.name()), LocalName(value.name()), Inner(value)});
            }
        }
        const uint64_t id =
            std::strtoull(event.child("System").child("EventRecordID").child_value(), nullptr, 10);
        records[id] = std::move(values);
    }
    return records;
}

std::vector<Value> ReaderValues(const Json& details) {
    std::vector<Value> values;
    for (const Json& item : details["data"]) {
        values.push_back({item["section"], item["element"],
                          item["name"].is_null() ? "\x01" : item["name"].get<std::string>(),
                          item["value"]});
    }
    return values;
}

TEST(EventReader, EveryEventOfTheRealLogsHasTheDataLibevtxReads) {
    const std::vector<fs::path> logs = SharedData::EvtxFiles();
    if (logs.empty()) {
        GTEST_SKIP() << "no shared evtx samples";
    }
    size_t events = 0;
    size_t values = 0;
    for (const fs::path& log : logs) {
        const auto expected = LibevtxValues(log);
        size_t read = 0;
        HalyardHost::ReadLogFile(log.wstring(), [&](const Json& details) {
            ++read;
            const uint64_t id = details["recordId"];
            const auto found = expected.find(id);
            ASSERT_NE(found, expected.end()) << log << " record " << id;
            const std::vector<Value> got = ReaderValues(details);
            EXPECT_EQ(got, found->second) << log << " record " << id;
            EXPECT_EQ(details["xml"].get<std::string>().rfind("<Event xmlns=", 0), 0u);
            values += got.size();
        });
        EXPECT_EQ(read, expected.size()) << log;
        events += read;
    }
    std::printf("%zu events, %zu values compared\n", events, values);
    EXPECT_GT(events, 16000u);
}

} // namespace
