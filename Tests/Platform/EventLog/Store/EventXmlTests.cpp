#include "PalEventLog/Store/EventXml.h"

#include <gtest/gtest.h>

#include <pugixml.hpp>

using namespace PalEventLog;

namespace {

// Parses the first element of `xml` as an event.
ParsedEvent Parse(const char* xml, bool expected = true) {
    pugi::xml_document document;
    EXPECT_TRUE(document.load_string(xml)) << xml;
    ParsedEvent event;
    std::wstring problem;
    EXPECT_EQ(ParseEventXml(document.document_element(), event, problem), expected) << xml;
    EXPECT_EQ(problem.empty(), expected);
    return event;
}

constexpr GUID kProvider = {
    0x11111111, 0x2222, 0x3333, {0x44, 0x44, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55}};

} // namespace

TEST(ParseEventXml, SystemValuesAndEventData) {
    const ParsedEvent e = Parse(
        "<e:Event xmlns:e='http://schemas.microsoft.com/win/2004/08/events/event'><e:System>"
        "<e:Provider Name='Orchard Backup' EventSourceName='Orchard'"
        " Guid='{11111111-2222-3333-4444-555555555555}'/>"
        "<e:EventID Qualifiers='16384'>100</e:EventID><e:Version>2</e:Version><e:Level>4</e:Level>"
        "<e:Task>7</e:Task><e:Opcode>1</e:Opcode><e:Keywords>0x80000000000000</e:Keywords>"
        "<e:TimeCreated SystemTime='2024-01-01T00:00:00.1234567Z'/>"
        "<e:EventRecordID>42</e:EventRecordID>"
        "<e:Correlation ActivityID='{11111111-2222-3333-4444-555555555555}'/>"
        "<e:Execution ProcessID='600' ThreadID='700'/><e:Channel>Application</e:Channel>"
        "<e:Computer>host1</e:Computer><e:Security UserID='S-1-5-18'/></e:System>"
        "<e:EventData><e:Data Name='Path'>D:\\Projects &amp; more</e:Data><e:Data>120</e:Data>"
        "<e:Binary>0A0B</e:Binary></e:EventData></e:Event>");
    const Event& v = e.values;
    EXPECT_EQ(e.channel, L"Application");
    EXPECT_EQ(e.provider, L"Orchard Backup");
    EXPECT_EQ(e.eventSourceName, L"Orchard");
    ASSERT_TRUE(e.providerGuid.has_value());
    EXPECT_EQ(*e.providerGuid, kProvider);
    EXPECT_EQ(e.activityId, e.providerGuid);
    EXPECT_FALSE(e.relatedActivityId.has_value());
    // Event id, qualifiers, version, level, task, opcode.
    EXPECT_EQ(
        (std::vector<uint64_t>{v.eventId, v.qualifiers, v.version, v.level, v.task, v.opcode}),
        (std::vector<uint64_t>{100, 16384, 2, 4, 7, 1}));
    // Keywords, time, record id, process and thread.
    EXPECT_EQ(
        (std::vector<uint64_t>{v.keywords, v.timeCreated, v.recordId, v.processId, v.threadId}),
        (std::vector<uint64_t>{0x80000000000000u, 133485408001234567u, 42, 600, 700}));
    EXPECT_EQ(e.computer, L"host1");
    EXPECT_EQ(e.userSid, L"S-1-5-18");
    const uint32_t all = kHasQualifiers | kHasVersion | kHasLevel | kHasTask | kHasOpcode |
                         kHasKeywords | kHasTimeCreated | kHasRecordId | kHasProcessId |
                         kHasThreadId | kHasCorrelation | kHasExecution | kHasSecurity |
                         kHasEventId | kHasProvider;
    EXPECT_EQ(v.present, all);
    EXPECT_EQ(v.payload, Payload::EventData);
    ASSERT_EQ(e.data.size(), 3u);
    EXPECT_EQ(e.data[0].element, L"Data");
    EXPECT_EQ(e.data[0].name, L"Path");
    EXPECT_EQ(e.data[0].text, L"D:\\Projects & more");
    EXPECT_EQ(e.data[1].name, L"");
    EXPECT_EQ(e.data[2].element, L"Binary");
    EXPECT_EQ(e.data[2].text, L"0A0B");
}

TEST(ParseEventXml, UserDataKeepsItsElementAndXml) {
    const ParsedEvent e =
        Parse("<Event><System><Channel>Security</Channel></System><UserData>"
              "<LogFileCleared xmlns='urn:x'><SubjectUserName>alice</SubjectUserName>"
              "<Note a=\"1\">x</Note></LogFileCleared></UserData></Event>");
    EXPECT_EQ(e.values.payload, Payload::UserData);
    EXPECT_EQ(e.userDataElement, L"LogFileCleared");
    ASSERT_EQ(e.data.size(), 2u);
    EXPECT_EQ(e.data[0].element, L"SubjectUserName");
    EXPECT_EQ(e.data[0].text, L"alice");
    EXPECT_EQ(e.userDataXml, L"<LogFileCleared xmlns='urn:x'><SubjectUserName>alice"
                             L"</SubjectUserName><Note a='1'>x</Note></LogFileCleared>");
}

TEST(ParseEventXml, ValuesThatDoNotParseStayAbsent) {
    const ParsedEvent e = Parse("<Event><System><EventID>70000</EventID><Level>high</Level>"
                                "<TimeCreated SystemTime='2024-01-01T00:00:00'/>"
                                "<Provider Name='P' Guid='not-a-guid'/></System></Event>");
    EXPECT_EQ(e.values.present, kHasEventId | kHasQualifiers | kHasProvider)
        << "no level, no time; an id above 16 bits carries its qualifiers";
    EXPECT_EQ(e.values.eventId, 70000 & 0xFFFF);
    EXPECT_EQ(e.values.qualifiers, 1);
    EXPECT_FALSE(e.providerGuid.has_value());
    EXPECT_TRUE(e.channel.empty());
    EXPECT_EQ(e.values.payload, Payload::None);

    Parse("<Event><EventData/></Event>", false);
}
