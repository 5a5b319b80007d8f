// Provider metadata exported on the source machine: reading export files (one or many providers,
// UTF-8 or UTF-16, concatenated, damaged), and the publisher functions answering from them: the
// message of an event's id and version with its values in template order, names, XML and the
// event metadata enumeration. The real logs of the shared data render with the exports written
// here (ProviderExports/, our own texts) when that data is there.
#include "PalEventLog/Store/ProviderExport.h"
#include "PalEventLog/Store/Store.h"
#include "Platform/EventLog/TestStore.h"
#include "Platform/Win32/Messages/PeBuilder.h"
#include "Platform/Win32/TempDirectory.h"

#include "Base/Utf.h"
#include "Win32/WinBase.h"
#include "Win32/WinError.h"
#include "Win32/WinEvt.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cwctype>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <iterator>
#include <map>
#include <regex>
#include <string>
#include <tuple>
#include <vector>

using namespace PalEventLog;
namespace fs = std::filesystem;

namespace {

const fs::path kExports =
    fs::path(CORVANE_SOURCE_DIR) / "Tests/Platform/EventLog/Store/ProviderExports";

std::string Provider(const std::string& name, const std::string& events) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<provider name=\"" + name +
           "\" guid=\"11111111-2222-3333-4444-555555555555\" messageFileName=\"m.dll\" "
           "message=\"" +
           name +
           " display\"><channels><channel name=\"Application\" id=\"9\" flags=\"1\" "
           "message=\"Apps\"/></channels><opcodes><opcode name=\"o\" value=\"65546\" "
           "message=\"Task one step\"/></opcodes><keywords><keyword name=\"k\" "
           "mask=\"100\" message=\"Backups\"/></keywords><events>" +
           events + "</events></provider>\n";
}

TEST(ProviderExport, ReadsOneOrManyProvidersAsWindowsWritesThem) {
    const std::string one =
        Provider("A", "<event value=\"7\" version=\"1\" level=\"2\" task=\"1\" opcode=\"10\" "
                      "channel=\"9\" keywords=\"0x8000000000000100\" message=\"seven %1\">"
                      "<template xmlns=\"http://schemas.microsoft.com/win/2004/08/events\">"
                      "<data name=\"First\" inType=\"win:UnicodeString\"/><data name=\"Second\" "
                      "inType=\"win:UInt32\"/></template></event>"
                      "<event value=\"8\" version=\"0\" message=\"no template\" "
                      "template=\"&lt;template&gt;&lt;data name=&quot;Only&quot;/&gt;"
                      "&lt;/template&gt;\"/>");
    std::vector<std::wstring> problems;
    auto read = ReadProviderExport(one, L"a.xml", problems);
    ASSERT_EQ(read.size(), 1u);
    EXPECT_TRUE(problems.empty());
    const Publisher& a = read[0];
    EXPECT_EQ(a.name, L"A");
    EXPECT_EQ(a.displayName, L"A display");
    EXPECT_EQ(FormatGuid(a.guid), L"{11111111-2222-3333-4444-555555555555}");
    EXPECT_EQ(a.channelValues.at(9), L"Application");
    EXPECT_EQ(a.keywords.at(0x100), L"Backups"); // masks are hexadecimal without 0x
    EXPECT_EQ(a.opcodes.at(0x1000A), L"Task one step");
    const EventDefinition* seven = a.FindEvent(7, 1);
    ASSERT_NE(seven, nullptr);
    EXPECT_EQ(a.FindEvent(7, 0), nullptr);
    EXPECT_EQ(seven->keywords, 0x8000000000000100ull);
    EXPECT_EQ(seven->fields, (std::vector<std::wstring>{L"First", L"Second"}));
    EXPECT_NE(seven->templateXml.find(L"<data name=\"Second\""), std::wstring::npos);
    EXPECT_EQ(a.FindEvent(8, 0)->fields, std::vector<std::wstring>{L"Only"});

    // Three exports concatenated as a PowerShell redirection writes them: UTF-16LE, each with its
    // byte-order mark and declaration; and the same providers under one root.
    std::string utf16;
    for (const char* name : {"A", "B", "C"}) {
        utf16 += "\xFF\xFE";
        Base::AppendUtf16Le(utf16, Base::WideFromUtf8(Provider(name, "")));
    }
    EXPECT_TRUE(IsProviderExport(utf16.substr(0, 301)));
    EXPECT_EQ(ReadProviderExport(utf16, L"all.xml", problems).size(), 3u);
    const std::string rooted =
        "<Providers>" + Provider("A", "") + Provider("B", "") + "</Providers>";
    EXPECT_TRUE(IsProviderExport(rooted));
    EXPECT_EQ(ReadProviderExport(rooted, L"rooted.xml", problems).size(), 2u);
    EXPECT_TRUE(problems.empty());
    EXPECT_FALSE(IsProviderExport("<?xml version='1.0'?><Events><Event><System/></Event>"));
    EXPECT_FALSE(IsProviderExport("<Event><System><Provider Name='p'/></System></Event>"));

    // A damaged provider costs only itself, and says where it is.
    std::string damaged = Provider("A", "") + Provider("B", "<event value=\"1\" message=\"x>") +
                          Provider("", "") + Provider("C", "");
    read = ReadProviderExport(damaged, L"damaged.xml", problems);
    ASSERT_EQ(read.size(), 2u);
    EXPECT_EQ(read[1].name, L"C");
    ASSERT_EQ(problems.size(), 2u);
    EXPECT_EQ(problems[0].rfind(L"damaged.xml: provider 2: ", 0), 0u) << problems[0];
    EXPECT_EQ(problems[1], L"damaged.xml: provider 3: provider without a name");
}

// One line per event of the metadata: the numbers of `properties` and the number of values of its
// template, each followed by a blank.
std::vector<std::wstring>
EventMetadataLines(EVT_HANDLE metadata,
                   std::initializer_list<EVT_EVENT_METADATA_PROPERTY_ID> properties) {
    std::vector<EVT_VARIANT> buffer(4096);
    const DWORD size = static_cast<DWORD>(buffer.size() * sizeof(EVT_VARIANT));
    DWORD used = 0;
    std::vector<std::wstring> lines;
    EVT_HANDLE enumeration = EvtOpenEventMetadataEnum(metadata, 0);
    while (EVT_HANDLE event = EvtNextEventMetadata(enumeration, 0)) {
        std::wstring line;
        for (auto property : properties) {
            EXPECT_TRUE(
                EvtGetEventMetadataProperty(event, property, 0, size, buffer.data(), &used));
            line += std::to_wstring(buffer[0].Type == EvtVarTypeUInt64 ? buffer[0].UInt64Val
                                                                       : buffer[0].UInt32Val) +
                    L" ";
        }
        EXPECT_TRUE(EvtGetEventMetadataProperty(event, EventMetadataEventTemplate, 0, size,
                                                buffer.data(), &used));
        const std::wregex data(L"<data ");
        const std::wstring xml = buffer[0].StringVal;
        line += std::to_wstring(std::distance(std::wsregex_iterator(xml.begin(), xml.end(), data),
                                              std::wsregex_iterator()));
        lines.push_back(line);
        EvtClose(event);
    }
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
    EvtClose(enumeration);
    return lines;
}

// A store folder with the exports of ProviderExports/, a damaged export, publishers.xml giving a
// parameter text, and events of our own.
class ExportedMetadata : public ::testing::Test {
protected:
    void SetUp() override {
        for (const auto& entry : fs::directory_iterator(kExports)) {
            fs::copy_file(entry.path(), m_folder / entry.path().filename());
        }
        std::ofstream(m_folder / "broken-export.xml") << "<provider name=\"Broken\"><events>";
        std::ofstream(m_folder / "publishers.xml")
            << "<Publishers><Publisher Name='Microsoft-Windows-Security-Auditing'>"
               "<Parameter Id='2313'>unknown name or bad password</Parameter></Publisher>"
               "</Publishers>";
    }
    void TearDown() override { SetGlobalStore(nullptr); }
    LoadReport Open() {
        LoadReport report;
        SetGlobalStore(Store::Open(m_folder, &report));
        return report;
    }

    // The texts EvtFormatMessage gives for each event of a query, with the call's result code.
    static std::vector<std::pair<DWORD, std::wstring>> Format(const wchar_t* channel,
                                                              const wchar_t* query, DWORD flags) {
        std::vector<std::pair<DWORD, std::wstring>> texts;
        EVT_HANDLE rs = EvtQuery(nullptr, channel, query, EvtQueryChannelPath);
        EXPECT_NE(rs, nullptr);
        EVT_HANDLE events[64];
        DWORD returned = 0;
        std::vector<wchar_t> buffer(1 << 16);
        while (rs != nullptr && EvtNext(rs, 64, events, INFINITE, 0, &returned)) {
            for (DWORD i = 0; i < returned; ++i) {
                DWORD used = 0;
                const BOOL ok =
                    EvtFormatMessage(nullptr, events[i], 0, 0, nullptr, flags,
                                     static_cast<DWORD>(buffer.size()), buffer.data(), &used);
                texts.emplace_back(ok ? ERROR_SUCCESS : GetLastError(),
                                   used > 0 ? std::wstring(buffer.data(), used - 1) : L"");
                EvtClose(events[i]);
            }
        }
        EvtClose(rs);
        return texts;
    }

    TempDirectory m_temp;
    const fs::path& m_folder = m_temp.Path();
};

TEST_F(ExportedMetadata, MessagesFollowTheEventsIdVersionAndTemplate) {
    using Testing::EventXml;
    const std::string auditing = "<Provider Name='Microsoft-Windows-Security-Auditing'/>";
    auto audit = [&](int record, int id, int version, const std::string& data) {
        std::string xml = EventXml("Security", record, id, 0, "Microsoft-Windows-Security-Auditing",
                                   "2024-01-01T00:00:00Z", data);
        xml.replace(xml.find("</EventID>"), 10,
                    "</EventID><Version>" + std::to_string(version) + "</Version>");
        xml.replace(xml.find("<Keywords>0x80000000000000"), 26,
                    id == 4625 ? "<Keywords>0x8010000000000000" : "<Keywords>0x8020000000000000");
        xml.replace(xml.find("<Task>0</Task>"), 14, "<Task>12544</Task>");
        return xml;
    };
    // Version 2 with its values named but written out of order; version 0 unnamed, in order.
    std::string v2;
    for (const char* name : {"ElevatedToken", "TargetUserName", "LogonType", "TargetDomainName",
                             "TargetLinkedLogonId"}) {
        v2 += std::string("<Data Name='") + name + "'>" + name + "-value</Data>";
    }
    std::string v0;
    for (int i = 1; i <= 20; ++i) {
        v0 += "<Data>v" + std::to_string(i) + "</Data>";
    }
    const std::string failed = "<Data Name='TargetUserName'>bob</Data>"
                               "<Data Name='FailureReason'>%%2313 then %%9999</Data>";
    std::ofstream(m_folder / "events.xml") << audit(1, 4624, 2, v2) << audit(2, 4624, 0, v0)
                                           << audit(3, 4624, 1, v0) << audit(4, 4625, 0, failed);
    const LoadReport report = Open();
    ASSERT_EQ(report.problems.size(), 1u);
    EXPECT_EQ(report.problems[0].rfind(L"broken-export.xml: ", 0), 0u) << report.problems[0];

    const auto messages = Format(L"Security", L"*", EvtFormatMessageEvent);
    ASSERT_EQ(messages.size(), 4u);
    EXPECT_EQ(messages[0].second, L"v2 sign-in of TargetUserName-value\\TargetDomainName-value "
                                  L"(type LogonType-value), elevated ElevatedToken-value, linked "
                                  L"TargetLinkedLogonId-value.");
    EXPECT_EQ(messages[0].first, ERROR_SUCCESS);
    EXPECT_EQ(messages[1].second, L"v0 sign-in of v6\\v7 (type v9) from v19 by v18.");
    // No definition of version 1: no message, as for an event the metadata does not know.
    EXPECT_EQ(messages[2].first, ERROR_EVT_MESSAGE_NOT_FOUND);
    // A value that is a parameter insert takes the parameter's text; an unknown one stays.
    EXPECT_NE(messages[3].second.find(L": unknown name or bad password then %%9999 ("),
              std::wstring::npos)
        << Base::Utf8FromWide(messages[3].second);

    auto first = [&](DWORD flags) { return Format(L"Security", L"*", flags)[3].second; };
    EXPECT_EQ(first(EvtFormatMessageTask), L"Sign-in");
    EXPECT_EQ(first(EvtFormatMessageOpcode), L"Info");
    EXPECT_EQ(first(EvtFormatMessageLevel), L"Information");
    EXPECT_EQ(first(EvtFormatMessageChannel), L"Security log");
    EXPECT_EQ(first(EvtFormatMessageProvider), L"Test security auditing");
    EXPECT_EQ(first(EvtFormatMessageKeyword), std::wstring(L"Audit Failure\0", 14));
    const std::wstring xml = first(EvtFormatMessageXml);
    EXPECT_NE(xml.find(L"<Task>Sign-in</Task><Opcode>Info</Opcode><Channel>Security log</Channel>"
                       L"<Provider>Test security auditing</Provider><Keywords><Keyword>Audit "
                       L"Failure</Keyword></Keywords></RenderingInfo></Event>"),
              std::wstring::npos)
        << Base::Utf8FromWide(xml);

    // The metadata itself: properties and the events it defines, in the export's order.
    EVT_HANDLE metadata =
        EvtOpenPublisherMetadata(nullptr, L"Microsoft-Windows-Security-Auditing", nullptr, 0, 0);
    ASSERT_NE(metadata, nullptr);
    EXPECT_EQ(EvtOpenPublisherMetadata(nullptr, L"Broken", nullptr, 0, 0), nullptr);
    std::vector<EVT_VARIANT> buffer(4096);
    const DWORD size = static_cast<DWORD>(buffer.size() * sizeof(EVT_VARIANT));
    DWORD used = 0;
    ASSERT_TRUE(EvtGetPublisherMetadataProperty(metadata, EvtPublisherMetadataMessageFilePath, 0,
                                                size, buffer.data(), &used));
    EXPECT_STREQ(buffer[0].StringVal, L"%SystemRoot%\\system32\\audit-texts.dll");
    ASSERT_TRUE(EvtGetPublisherMetadataProperty(metadata, EvtPublisherMetadataPublisherGuid, 0,
                                                size, buffer.data(), &used));
    EXPECT_EQ(FormatGuid(*buffer[0].GuidVal), L"{54849625-5478-4994-A5BA-3E3B0328C30D}");
    const std::vector<std::wstring> seen =
        EventMetadataLines(metadata, {EventMetadataEventID, EventMetadataEventVersion,
                                      EventMetadataEventTask, EventMetadataEventKeyword});
    EXPECT_EQ(seen, (std::vector<std::wstring>{L"4624 0 12544 9232379236109516800 20",
                                               L"4624 2 12544 9232379236109516800 27",
                                               L"4625 0 12544 9227875636482146304 21"}));
    EvtClose(metadata);
}

// A provider's instrumentation manifest (ProviderExports/orchard-backup.man) answers as an export
// does: its string table's texts, names by reference, the message of each version with a value
// map's text and a SID's account; a damaged manifest is one clear problem.
TEST_F(ExportedMetadata, ManifestsAnswerAsExportsDo) {
    auto copy = [](int record, int version, const std::string& data) {
        std::string xml = Testing::EventXml("Application", record, 100, version == 0 ? 4 : 16,
                                            "Orchard-Backup", "2024-01-01T00:00:00Z", data,
                                            "<Version>" + std::to_string(version) + "</Version>");
        xml.replace(xml.find("<Task>0</Task>"), 14,
                    version == 0 ? "<Task>1</Task><Opcode>1</Opcode>"
                                 : "<Task>1</Task><Opcode>10</Opcode>");
        xml.replace(xml.find("0x80000000000000"), 16, "0x20000000000100");
        return xml;
    };
    std::ofstream(m_folder / "events.xml")
        << copy(1, 0, "<Data Name='Folder'>D:\\Work</Data><Data Name='Files'>12</Data>")
        << copy(2, 1,
                "<Data Name='By'>S-1-5-18</Data><Data Name='Folder'>E:\\</Data>"
                "<Data Name='Files'>30</Data><Data Name='Outcome'>1</Data>")
        << copy(3, 1,
                "<Data Name='Folder'>F:\\</Data><Data Name='Files'>0</Data>"
                "<Data Name='Outcome'>7</Data><Data Name='By'>S-1-5-21-1-2-3-500</Data>")
        << copy(4, 1,
                "<Data Name='Folder'>G:\\</Data><Data Name='Files'>0x1a</Data>"
                "<Data Name='Outcome'>0</Data><Data Name='By'>S-1-5-21-1-2-3-1001</Data>");
    std::ofstream(m_folder / "accounts.xml") << "<Accounts><Account Sid='S-1-5-21-1-2-3-1001' "
                                                "Domain='ORCHARD' Name='alice'/></Accounts>";
    std::ifstream manifest(kExports / "orchard-backup.man");
    const std::string text((std::istreambuf_iterator<char>(manifest)),
                           std::istreambuf_iterator<char>());
    std::ofstream(m_folder / "damaged.man") << text.substr(0, text.size() / 2);
    const LoadReport report = Open();
    ASSERT_EQ(report.problems.size(), 2u);
    EXPECT_EQ(report.problems[1].rfind(L"damaged.man: damaged manifest: ", 0), 0u)
        << Base::Utf8FromWide(report.problems[1]);

    const auto messages = Format(L"Application", L"*", EvtFormatMessageEvent);
    // The machine's own accounts by name, others as DOMAIN\name, unknown SIDs as they are.
    ASSERT_EQ(messages.size(), 4u);
    EXPECT_EQ(messages[0].second, L"Copied D:\\Work: 12 files.");
    EXPECT_EQ(messages[1].second, L"Checked E:\\ (0x1E files): partly done, by SYSTEM.");
    EXPECT_EQ(messages[2].second, L"Checked F:\\ (0x0 files): 7, by S-1-5-21-1-2-3-500.");
    EXPECT_EQ(messages[3].second, L"Checked G:\\ (0x1A files): all done, by ORCHARD\\alice.");

    auto names = [&](DWORD flags) {
        const auto texts = Format(L"Application", L"*", flags);
        return texts[0].second + L"|" + texts[1].second;
    };
    EXPECT_EQ(names(EvtFormatMessageLevel), L"Information|Notice level");
    EXPECT_EQ(names(EvtFormatMessageTask), L"Copying|Copying");
    EXPECT_EQ(names(EvtFormatMessageOpcode), L"Start|Verifying");
    EXPECT_EQ(names(EvtFormatMessageChannel), L"Application|Orchard operations");
    EXPECT_EQ(names(EvtFormatMessageProvider), L"Orchard backup|Orchard backup");
    EXPECT_EQ(Format(L"Application", L"*", EvtFormatMessageKeyword)[0].second,
              std::wstring(L"Audit Success\0Backup work\0", 26));

    EVT_HANDLE metadata = EvtOpenPublisherMetadata(nullptr, L"Orchard-Backup", nullptr, 0, 0);
    ASSERT_NE(metadata, nullptr);
    const std::vector<std::wstring> seen = EventMetadataLines(
        metadata, {EventMetadataEventVersion, EventMetadataEventLevel, EventMetadataEventTask,
                   EventMetadataEventOpcode, EventMetadataEventChannel, EventMetadataEventKeyword});
    std::vector<EVT_VARIANT> buffer(512);
    const DWORD size = static_cast<DWORD>(buffer.size() * sizeof(EVT_VARIANT));
    // 0x100 and Audit Success; the operational channel is the first declared: 16.
    EXPECT_EQ(seen,
              (std::vector<std::wstring>{L"0 4 1 1 9 256 2", L"1 16 1 10 16 9007199254741248 4"}));

    // The lists: each object's name (a channel's path) and value (a channel's flags).
    auto list = [&](EVT_PUBLISHER_METADATA_PROPERTY_ID property, DWORD nameId, DWORD valueId) {
        DWORD used = 0;
        DWORD count = 0;
        EXPECT_TRUE(
            EvtGetPublisherMetadataProperty(metadata, property, 0, size, buffer.data(), &used));
        EXPECT_EQ(buffer[0].Type, static_cast<DWORD>(EvtVarTypeEvtHandle));
        const EVT_HANDLE array = buffer[0].EvtHandleVal;
        EXPECT_TRUE(EvtGetObjectArraySize(array, &count));
        std::wstring all;
        for (DWORD i = 0; i < count; ++i) {
            EXPECT_TRUE(EvtGetObjectArrayProperty(array, nameId, i, 0, size, buffer.data(), &used));
            all += std::wstring(buffer[0].StringVal) + L"=";
            EXPECT_TRUE(
                EvtGetObjectArrayProperty(array, valueId, i, 0, size, buffer.data(), &used));
            all += std::to_wstring(buffer[0].Type == EvtVarTypeUInt64 ? buffer[0].UInt64Val
                                                                      : buffer[0].UInt32Val) +
                   L" ";
        }
        // A property of another kind of object, or past the end, is refused.
        EXPECT_FALSE(EvtGetObjectArrayProperty(array,
                                               property == EvtPublisherMetadataLevels
                                                   ? EvtPublisherMetadataTaskName
                                                   : EvtPublisherMetadataLevelName,
                                               0, 0, size, buffer.data(), &used));
        EXPECT_FALSE(
            EvtGetObjectArrayProperty(array, nameId, count, 0, size, buffer.data(), &used));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
        EvtClose(array);
        return all;
    };
    const std::tuple<EVT_PUBLISHER_METADATA_PROPERTY_ID, DWORD, DWORD, const wchar_t*> kLists[] = {
        {EvtPublisherMetadataChannelReferences, EvtPublisherMetadataChannelReferencePath,
         EvtPublisherMetadataChannelReferenceFlags, L"Application=1 Orchard-Backup/Operational=0 "},
        {EvtPublisherMetadataLevels, EvtPublisherMetadataLevelName, EvtPublisherMetadataLevelValue,
         L"Notice=16 "},
        {EvtPublisherMetadataTasks, EvtPublisherMetadataTaskName, EvtPublisherMetadataTaskValue,
         L"Copy=1 "},
        {EvtPublisherMetadataOpcodes, EvtPublisherMetadataOpcodeName,
         EvtPublisherMetadataOpcodeValue, L"Verify=65546 "},
        {EvtPublisherMetadataKeywords, EvtPublisherMetadataKeywordName,
         EvtPublisherMetadataKeywordValue, L"Backups=256 "}};
    for (const auto& [property, nameId, valueId, expected] : kLists) {
        EXPECT_EQ(list(property, nameId, valueId), expected);
    }
    EvtClose(metadata);
}

// Classic sources' message files in the store folder: named by publishers.xml (a Windows path,
// found by its file name) or named after the source; UTF-16 and ANSI texts, the full id first; a
// file that is no PE image is one problem.
TEST_F(ExportedMetadata, ClassicSourcesFormatWithTheirMessageFiles) {
    auto write = [&](const char* name, const std::vector<uint8_t>& bytes) {
        std::ofstream(m_folder / name, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()),
                   static_cast<std::streamsize>(bytes.size()));
    };
    write("orchard-texts.dll",
          PeBuilder::BuildFile({{0x409,
                                 {PeBuilder::Utf16(0x40000064, u"Backup of %1: %2 files.%n"),
                                  PeBuilder::Ansi(101, "Restore of %1 failed.\r\n")}}}));
    write("Plum Source.dll", PeBuilder::BuildFile({{0, {PeBuilder::Ansi(7, "Plum %1.")}}}, false));
    write("Damaged Source.dll", {'M', 'Z', 0, 0});
    std::ofstream(m_folder / "publishers.xml")
        << "<Publishers><Publisher Name='Orchard Classic' "
           "MessageFile='%ProgramFiles%\\Orchard\\orchard-texts.dll'/></Publishers>";
    auto classic = [](int record, const std::string& source, int qualifiers, int id,
                      const std::string& data) {
        std::string xml =
            Testing::EventXml("Application", record, id, 4, source, "2024-01-01T00:00:00Z", data);
        xml.replace(xml.find("Qualifiers='0'"), 14,
                    "Qualifiers='" + std::to_string(qualifiers) + "'");
        return xml;
    };
    std::ofstream(m_folder / "events.xml")
        << classic(1, "Orchard Classic", 0x4000, 100, "<Data>C:\\</Data><Data>12</Data>")
        << classic(2, "Orchard Classic", 0x4000, 100, "<Data>D:\\</Data>")
        << classic(3, "Orchard Classic", 0x8000, 101, "<Data>E:\\</Data>")
        << classic(4, "Plum Source", 0, 7, "<Data>ripe</Data>")
        << classic(5, "Orchard Classic", 0, 102, "");
    const LoadReport report = Open();
    ASSERT_EQ(report.problems.size(), 2u);
    EXPECT_EQ(report.problems[1], L"Damaged Source.dll: not a message file (error " +
                                      std::to_wstring(ERROR_BAD_EXE_FORMAT) + L")");
    const auto messages = Format(L"Application", L"*", EvtFormatMessageEvent);
    const std::vector<std::pair<DWORD, std::wstring>> expected = {
        {ERROR_SUCCESS, L"Backup of C:\\: 12 files.\r\n"},
        {ERROR_EVT_UNRESOLVED_VALUE_INSERT, L"Backup of D:\\: %2 files.\r\n"},
        {ERROR_SUCCESS, L"Restore of E:\\ failed.\r\n"},
        {ERROR_SUCCESS, L"Plum ripe."},
        {ERROR_EVT_MESSAGE_NOT_FOUND, L""}};
    EXPECT_EQ(messages, expected);
}

// The real logs of the shared data with the exports of ProviderExports/: every event of the three
// providers gets its message, the values in the places the templates give them.
TEST_F(ExportedMetadata, RealLogsRenderTheirMessages) {
    const fs::path evtx = Testing::SharedEvtxFolder();
    const std::map<std::string, fs::path> logs = {
        {"security.evtx", evtx / "omerbenamram-evtx/security.evtx"},
        {"smb-security.evtx", evtx / "DeepBlueCLI/smb-password-guessing-security.evtx"},
        {"sysmon.evtx", evtx / "omerbenamram-evtx/sysmon.evtx"},
        {"system.evtx", evtx / "omerbenamram-evtx/system.evtx"}};
    for (const auto& [name, log] : logs) {
        if (!fs::is_regular_file(log)) {
            GTEST_SKIP() << "no shared evtx samples";
        }
        fs::create_symlink(log, m_folder / name);
    }
    Open();
    // Every failed sign-in: the message built from the event's own values by name.
    const wchar_t* failedQuery = L"*[System[EventID=4625]]";
    const auto failed = Format(L"Security", failedQuery, EvtFormatMessageEvent);
    ASSERT_GT(failed.size(), 3000u);
    EVT_HANDLE rs = EvtQuery(nullptr, L"Security", failedQuery, EvtQueryChannelPath);
    const wchar_t* names[] = {L"TargetUserName", L"TargetDomainName", L"LogonType", L"IpAddress",
                              L"IpPort",         L"FailureReason",    L"Status",    L"SubStatus"};
    std::vector<std::wstring> paths;
    for (const wchar_t* name : names) {
        paths.push_back(std::wstring(L"Event/EventData/Data[@Name='") + name + L"']");
    }
    std::vector<LPCWSTR> pathTexts;
    std::transform(paths.begin(), paths.end(), std::back_inserter(pathTexts),
                   [](const std::wstring& path) { return path.c_str(); });
    EVT_HANDLE context = EvtCreateRenderContext(static_cast<DWORD>(paths.size()), pathTexts.data(),
                                                EvtRenderContextValues);
    std::vector<EVT_VARIANT> values(4096);
    EVT_HANDLE event = nullptr;
    DWORD returned = 0;
    size_t checked = 0;
    while (EvtNext(rs, 1, &event, INFINITE, 0, &returned)) {
        DWORD used = 0, count = 0;
        ASSERT_TRUE(EvtRender(context, event, EvtRenderEventValues,
                              static_cast<DWORD>(values.size() * sizeof(EVT_VARIANT)),
                              values.data(), &used, &count));
        auto v = [&](size_t i) {
            return std::wstring(values[i].Type == EvtVarTypeString ? values[i].StringVal : L"");
        };
        std::wstring reason = v(5) == L"%%2313" ? L"unknown name or bad password" : v(5);
        auto hex = [&](size_t i) { // hexadecimal in capitals, as messages show it
            std::wstring text = v(i);
            std::transform(text.begin() + 2, text.end(), text.begin() + 2, ::towupper);
            return text;
        };
        const std::wstring expected = L"Refused sign-in of " + v(0) + L"\\" + v(1) + L" (type " +
                                      v(2) + L") from " + v(3) + L":" + v(4) + L": " + reason +
                                      L" (" + hex(6) + L"/" + hex(7) + L").";
        ASSERT_EQ(failed[checked++].second, expected) << checked;
        EvtClose(event);
    }
    EXPECT_EQ(checked, failed.size());
    EvtClose(context);
    EvtClose(rs);

    // Sign-ins of version 0, Sysmon's process starts of version 5 (not the text of version 4) and
    // the service installations: every one formatted, nothing left unresolved.
    const std::pair<const wchar_t*, const wchar_t*> kinds[] = {
        {L"Security", L"*[System[EventID=4624]]"},
        {L"Microsoft-Windows-Sysmon/Operational", L"*[System[EventID=1]]"},
        {L"System", L"*[System[Provider[@Name='Service Control Manager'] and EventID=7045]]"}};
    const wchar_t* starts[] = {L"v0 sign-in of ", L"Started ", L"Installed service "};
    for (size_t k = 0; k < std::size(kinds); ++k) {
        const auto texts = Format(kinds[k].first, kinds[k].second, EvtFormatMessageEvent);
        ASSERT_GT(texts.size(), 10u) << k;
        for (const auto& [result, text] : texts) {
            EXPECT_EQ(result, ERROR_SUCCESS) << Base::Utf8FromWide(text);
            EXPECT_EQ(text.rfind(starts[k], 0), 0u) << Base::Utf8FromWide(text);
            EXPECT_FALSE(std::regex_search(text, std::wregex(L"%[0-9]")))
                << Base::Utf8FromWide(text);
        }
    }
    const auto sysmon =
        Format(L"Microsoft-Windows-Sysmon/Operational",
               L"*[System[EventID=1 and EventRecordID=2099]]", EvtFormatMessageEvent);
    ASSERT_EQ(sysmon.size(), 1u);
    EXPECT_EQ(sysmon[0].second,
              L"Started C:\\Windows\\SysWOW64\\PING.EXE as 5016 by NT AUTHORITY\\SYSTEM (parent "
              L"C:\\Windows\\SysWOW64\\cmd.exe C:\\Windows\\system32\\cmd.exe /c "
              L"C:\\Windows\\TEMP\\update.bat C:\\Users\\tony\\AppData\\Local\\Temp\\pytest-of-tony"
              L"\\pytest-0\\test_agent_update_op0\\pathfinder\\pathfinder.exe "
              L"C:\\Windows\\TEMP\\pathfinder_sfx.exe)\r\nCommand: ping  -n 6 127.0.0.1 ");
}

} // namespace
