#include "PalEventLog/Store/Store.h"
#include "Platform/EventLog/TestStore.h"
#include "Platform/Win32/TempDirectory.h"

#include "Win32/PalEventLogFaults.h"

#include "Win32/WinBase.h"
#include "Win32/WinError.h"
#include "Win32/WinEventLog.h"
#include "Win32/WinEvt.h"
#include "Win32/WinSecurity.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>

using namespace PalEventLog;
namespace fs = std::filesystem;

namespace {

const uint8_t kSystemSid[] = {1, 1, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0}; // S-1-5-18

using Testing::ClassicRead;
using Testing::WideAt;
using Numbers = std::vector<DWORD>;
constexpr DWORD kSeekForwards = EVENTLOG_SEEK_READ | EVENTLOG_FORWARDS_READ;
constexpr DWORD kForwards = EVENTLOG_SEQUENTIAL_READ | EVENTLOG_FORWARDS_READ;
constexpr DWORD kBackwards = EVENTLOG_SEQUENTIAL_READ | EVENTLOG_BACKWARDS_READ;

// Application: records 1..4 (1: two strings, binary data, SYSTEM's SID, qualifiers 0x4000, task
// 3, level 3; 2: no EventData, level 0; 3: audit success; 4: level 2, a string with a character
// beyond the BMP). Ops/Operational has no
// classic view; Legacy is declared classic.
class ClassicLog : public ::testing::Test {
protected:
    void SetUp() override {
        std::ofstream(m_folder / "events.xml")
            << "<Event><System><Provider Name='Alpha' EventSourceName='AlphaSource'/>"
               "<EventID Qualifiers='16384'>101</EventID><Level>3</Level><Task>3</Task>"
               "<Keywords>0x80000000000000</Keywords>"
               "<TimeCreated SystemTime='2024-01-02T03:04:05.1234567Z'/>"
               "<EventRecordID>1</EventRecordID><Channel>Application</Channel>"
               "<Computer>host1</Computer><Security UserID='S-1-5-18'/></System><EventData>"
               "<Data>first</Data><Data Name='x'>s\xc3\xa9</Data><Binary>0A0B0C</Binary>"
               "</EventData></Event>\n"
            << Testing::EventXml("Application", 2, 7, 0, "Beta", "2024-01-02T00:00:00Z", "")
            << "<Event><System><Provider Name='Audit'/><EventID>4624</EventID><Level>0</Level>"
               "<Keywords>0x8020000000000000</Keywords><EventRecordID>3</EventRecordID>"
               "<Channel>Application</Channel><Computer>h</Computer></System></Event>\n"
            << Testing::EventXml("Application", 4, 8, 2, "Beta", "2024-01-02T00:00:00Z",
                                 "<Data>o\xf0\x9f\x98\x80k</Data>"
                                 "<Data>eight ch\xf0\x9f\x98\x80rs, then sixteen more</Data>")
            << Testing::EventXml("Ops/Operational", 1, 3, 4, "Ops", "2024-01-02T00:00:00Z", "");
        std::ofstream(m_folder / "publishers.xml")
            << "<Publishers><Channel Name='Legacy' Classic='true'/>"
               "<Publisher Name='OpsWriter'><Channel Name='Ops/Operational'/></Publisher>"
               "<Publisher Name='Auditor'><Channel Name='Security'/></Publisher></Publishers>";
        std::ofstream(m_folder / "accounts.xml")
            << "<Accounts><Account Sid='S-1-5-21-1-2-3-1001' Domain='CORP' Name='alice'/>"
               "</Accounts>";
        SetGlobalStore(Store::Open(m_folder, nullptr));
    }
    void TearDown() override {
        PalEventLogClearFaults();
        SetGlobalStore(nullptr);
    }

    // One seek read of a record, through the sizing protocol.
    static std::vector<uint8_t> ReadRecord(HANDLE log, DWORD record) {
        std::vector<uint8_t> buffer(1);
        DWORD read = 5;
        DWORD needed = 0;
        if (ReadEventLogW(log, kSeekForwards, record, buffer.data(), 1, &read, &needed)) {
            ADD_FAILURE() << "a record fit into one byte";
            return {};
        }
        EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
        EXPECT_EQ(read, 0u);
        buffer.resize(needed);
        EXPECT_TRUE(
            ReadEventLogW(log, kSeekForwards, record, buffer.data(), needed, &read, &needed));
        EXPECT_EQ(read, buffer.size());
        return buffer;
    }

    TempDirectory m_temp;
    const fs::path& m_folder = m_temp.Path();
};

TEST_F(ClassicLog, OpensClassicChannelsOnly) {
    for (const wchar_t* name : {L"Application", L"System", L"Security", L"Legacy"}) {
        HANDLE log = OpenEventLogW(nullptr, name);
        EXPECT_NE(log, nullptr) << Base::Utf8FromWide(name);
        EXPECT_TRUE(CloseEventLog(log));
    }
    EXPECT_EQ(OpenEventLogW(nullptr, L"Ops/Operational"), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(OpenEventLogW(nullptr, L"NoSuchLog"), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(OpenEventLogW(nullptr, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(OpenEventLogW(L"\\\\elsewhere", L"Application"), nullptr);
    EXPECT_FALSE(CloseEventLog(nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST_F(ClassicLog, RecordLayoutIsByteExact) {
    HANDLE log = OpenEventLogW(L"", L"Application");
    const std::vector<uint8_t> record = ReadRecord(log, 1);
    ASSERT_GE(record.size(), sizeof(EVENTLOGRECORD));
    EVENTLOGRECORD h;
    std::memcpy(&h, record.data(), sizeof h);
    EXPECT_EQ(h.Length, record.size());
    EXPECT_EQ(h.Length % 4, 0u);
    EXPECT_EQ(h.Reserved, 0x654C664Cu);
    EXPECT_EQ(h.RecordNumber, 1u);
    EXPECT_EQ(h.TimeGenerated, 1704164645u); // 2024-01-02T03:04:05Z
    EXPECT_EQ(h.TimeWritten, h.TimeGenerated);
    EXPECT_EQ(h.EventID, 0x40000065u);
    EXPECT_EQ(h.EventType, EVENTLOG_WARNING_TYPE);
    EXPECT_EQ(h.NumStrings, 2);
    EXPECT_EQ(h.EventCategory, 3);
    EXPECT_EQ(WideAt(record, 56), L"AlphaSource");
    EXPECT_EQ(WideAt(record, 56 + 12 * 2), L"host1");
    const size_t afterNames = 56 + 12 * 2 + 6 * 2;
    EXPECT_EQ(h.UserSidOffset, (afterNames + 3) / 4 * 4);
    ASSERT_EQ(h.UserSidLength, sizeof kSystemSid);
    EXPECT_EQ(std::memcmp(record.data() + h.UserSidOffset, kSystemSid, sizeof kSystemSid), 0);
    EXPECT_EQ(h.StringOffset, h.UserSidOffset + h.UserSidLength);
    EXPECT_EQ(WideAt(record, h.StringOffset), L"first");
    EXPECT_EQ(WideAt(record, h.StringOffset + 12), L"s\u00e9");
    EXPECT_EQ(h.DataOffset, h.StringOffset + 12 + 6);
    ASSERT_EQ(h.DataLength, 3u);
    EXPECT_EQ(record[h.DataOffset], 0x0A);
    EXPECT_EQ(record[h.DataOffset + 2], 0x0C);
    EXPECT_EQ(h.Length, (h.DataOffset + h.DataLength + 3) / 4 * 4 + 4);
    DWORD trailing = 0;
    std::memcpy(&trailing, record.data() + record.size() - 4, 4);
    EXPECT_EQ(trailing, h.Length);

    // No SID, no strings: the SID offset is the string offset; the event types follow the level
    // and the audit keywords.
    const std::vector<uint8_t> bare = ReadRecord(log, 2);
    std::memcpy(&h, bare.data(), sizeof h);
    EXPECT_EQ(h.UserSidLength, 0u);
    EXPECT_EQ(h.UserSidOffset, h.StringOffset);
    EXPECT_EQ(h.NumStrings, 0);
    EXPECT_EQ(h.EventType, EVENTLOG_SUCCESS);
    std::memcpy(&h, ReadRecord(log, 3).data(), sizeof h);
    EXPECT_EQ(h.EventType, EVENTLOG_AUDIT_SUCCESS);
    const std::vector<uint8_t> pair = ReadRecord(log, 4);
    std::memcpy(&h, pair.data(), sizeof h);
    EXPECT_EQ(h.EventType, EVENTLOG_ERROR_TYPE);
    // A character beyond the BMP is a surrogate pair, and the layout counts both units: in a
    // short text, and between and before runs of eight characters of a longer one.
    EXPECT_EQ(WideAt(pair, h.StringOffset),
              (std::wstring{L'o', wchar_t{0xD83D}, wchar_t{0xDE00}, L'k'}));
    EXPECT_EQ(
        WideAt(pair, h.StringOffset + 5 * 2),
        (L"eight ch" + std::wstring{wchar_t{0xD83D}, wchar_t{0xDE00}} + L"rs, then sixteen more"));
    EXPECT_EQ(h.DataOffset, h.StringOffset + 5 * 2 + 32 * 2);
    EXPECT_EQ(h.Length, (h.DataOffset + 3) / 4 * 4 + 4);
    CloseEventLog(log);
}

TEST_F(ClassicLog, SequentialReadsFillWholeRecordsBothWaysUntilEndOfFile) {
    HANDLE log = OpenEventLogW(nullptr, L"Application");
    const size_t first = ReadRecord(log, 1).size();
    const size_t second = ReadRecord(log, 2).size();
    CloseEventLog(log);
    log = OpenEventLogW(nullptr, L"Application");
    // Room for one and a half records: one whole record only.
    EXPECT_EQ(ClassicRead(log, kForwards, 0, static_cast<DWORD>(first + second / 2)), Numbers{1});
    EXPECT_EQ(ClassicRead(log, kForwards), (Numbers{2, 3, 4}));
    std::vector<uint8_t> buffer(4096);
    DWORD read = 5;
    DWORD needed = 0;
    EXPECT_FALSE(ReadEventLogW(log, kForwards, 0, buffer.data(), 4096, &read, &needed));
    EXPECT_EQ(GetLastError(), ERROR_HANDLE_EOF);
    EXPECT_EQ(read, 0u);
    // Backwards from the record before the last one read.
    EXPECT_EQ(ClassicRead(log, kBackwards), (Numbers{3, 2, 1}));
    CloseEventLog(log);

    log = OpenEventLogW(nullptr, L"Application");
    EXPECT_EQ(ClassicRead(log, kBackwards), (Numbers{4, 3, 2, 1}));
    // A seek read moves the sequential position.
    EXPECT_EQ(ClassicRead(log, EVENTLOG_SEEK_READ | EVENTLOG_BACKWARDS_READ, 2), (Numbers{2, 1}));
    CloseEventLog(log);
}

TEST_F(ClassicLog, BadFlagsRecordNumbersAndHandlesAreRejected) {
    HANDLE log = OpenEventLogW(nullptr, L"Application");
    for (DWORD flags :
         {DWORD{0}, DWORD{EVENTLOG_SEEK_READ}, kSeekForwards | EVENTLOG_SEQUENTIAL_READ,
          kForwards | EVENTLOG_BACKWARDS_READ, kForwards | 0x100}) {
        EXPECT_TRUE(ClassicRead(log, flags, 1).empty()) << flags;
        EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER) << flags;
    }
    for (DWORD record : {0u, 5u, 0xFFFFFFFFu}) {
        EXPECT_TRUE(ClassicRead(log, kSeekForwards, record).empty());
        EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER) << record;
    }
    DWORD count = 0;
    EXPECT_TRUE(GetNumberOfEventLogRecords(log, &count));
    EXPECT_EQ(count, 4u);
    EXPECT_FALSE(GetNumberOfEventLogRecords(log, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_FALSE(GetNumberOfEventLogRecords(nullptr, &count));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_TRUE(CloseEventLog(log));
    EXPECT_FALSE(CloseEventLog(log));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_TRUE(ClassicRead(log, kForwards).empty());
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

// The XML of a channel's newest event, as EvtRender gives it.
std::wstring LastEventXml(const wchar_t* channel) {
    Testing::Closing close;
    EVT_HANDLE rs = close(EvtQuery(nullptr, channel, nullptr, EvtQueryReverseDirection));
    EVT_HANDLE event = nullptr;
    DWORD returned = 0;
    EXPECT_TRUE(EvtNext(rs, 1, &event, 0, 0, &returned));
    return Testing::RenderedText(close(event), EvtRenderEventXml);
}

TEST_F(ClassicLog, ReportedEventsShowThroughBothApisAsMapped) {
    HANDLE source = RegisterEventSourceW(nullptr, L"Writer");
    ASSERT_NE(source, nullptr);
    LPCWSTR strings[] = {L"one", L"t<w>o"};
    const uint8_t data[] = {0x01, 0xAB};
    ASSERT_TRUE(ReportEventW(source, EVENTLOG_WARNING_TYPE, 3, 0x40000065,
                             const_cast<uint8_t*>(kSystemSid), 2, 2, strings,
                             const_cast<uint8_t*>(data)));
    const std::wstring xml = LastEventXml(L"Application");
    for (const wchar_t* part :
         {L"<Provider Name='Writer'/>", L"<EventID Qualifiers='16384'>101</EventID>",
          L"<Level>3</Level>", L"<Task>3</Task>", L"<Opcode>0</Opcode>",
          L"<Keywords>0x80000000000000</Keywords>", L"<EventRecordID>5</EventRecordID>",
          L"<Channel>Application</Channel>", L"<Security UserID='S-1-5-18'/>",
          L"<EventData><Data>one</Data><Data>t&lt;w&gt;o</Data><Binary>01AB</Binary>"
          L"</EventData>"}) {
        EXPECT_NE(xml.find(part), std::wstring::npos) << Base::Utf8FromWide(part) << "\n"
                                                      << Base::Utf8FromWide(xml);
    }
    // 100 ns precision: seven fraction digits.
    const size_t time = xml.find(L"SystemTime='");
    ASSERT_NE(time, std::wstring::npos);
    EXPECT_EQ(xml[time + 12 + 19], L'.');
    EXPECT_EQ(xml[time + 12 + 27], L'Z');

    // The classic view: the text unescaped, the data as written.
    HANDLE log = OpenEventLogW(nullptr, L"Application");
    const std::vector<uint8_t> record = ReadRecord(log, 5);
    EVENTLOGRECORD h;
    ASSERT_GE(record.size(), sizeof h);
    std::memcpy(&h, record.data(), sizeof h);
    EXPECT_EQ(WideAt(record, h.StringOffset + 8), L"t<w>o");
    EXPECT_EQ(h.DataLength, 2u);
    EXPECT_EQ(record[h.DataOffset + 1], 0xAB);

    // Audits carry their keyword and level 0; record ids keep increasing.
    ASSERT_TRUE(
        ReportEventW(source, EVENTLOG_AUDIT_FAILURE, 0, 7, nullptr, 0, 0, nullptr, nullptr));
    const std::wstring audit = LastEventXml(L"Application");
    EXPECT_NE(audit.find(L"<Keywords>0x90000000000000</Keywords>"), std::wstring::npos);
    EXPECT_NE(audit.find(L"<Level>0</Level>"), std::wstring::npos);
    EXPECT_NE(audit.find(L"<EventRecordID>6</EventRecordID>"), std::wstring::npos);
    DWORD count = 0;
    GetNumberOfEventLogRecords(log, &count);
    EXPECT_EQ(count, 6u);
    // Records read together are the records read alone, byte for byte; these two share their
    // source and computer. The room's bytes are not zero, so none written comes from the room.
    std::vector<uint8_t> both(4096, 0xCC);
    DWORD read = 0;
    DWORD needed = 0;
    ASSERT_TRUE(ReadEventLogW(log, kSeekForwards, 5, both.data(), 4096, &read, &needed));
    const std::vector<uint8_t> sixth = ReadRecord(log, 6);
    ASSERT_EQ(read, record.size() + sixth.size());
    EXPECT_TRUE(std::equal(record.begin(), record.end(), both.begin()));
    EXPECT_TRUE(std::equal(sixth.begin(), sixth.end(), both.begin() + record.size()));
    CloseEventLog(log);
    EXPECT_TRUE(DeregisterEventSource(source));
    EXPECT_FALSE(DeregisterEventSource(source));
}

TEST_F(ClassicLog, SourcesWriteToTheirDeclaredChannelButNeverToSecurity) {
    HANDLE ops = RegisterEventSourceW(nullptr, L"OpsWriter");
    ASSERT_TRUE(
        ReportEventW(ops, EVENTLOG_INFORMATION_TYPE, 0, 9, nullptr, 0, 0, nullptr, nullptr));
    EXPECT_NE(LastEventXml(L"Ops/Operational").find(L"<EventRecordID>2</EventRecordID>"),
              std::wstring::npos);
    HANDLE auditor = RegisterEventSourceW(nullptr, L"Auditor");
    EXPECT_FALSE(
        ReportEventW(auditor, EVENTLOG_AUDIT_SUCCESS, 0, 9, nullptr, 0, 0, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_FALSE(ReportEventW(ops, 3, 0, 9, nullptr, 0, 0, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_FALSE(ReportEventW(ops, EVENTLOG_SUCCESS, 0, 9, nullptr, 1, 0, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegisterEventSourceW(nullptr, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    DeregisterEventSource(ops);
    DeregisterEventSource(auditor);
}

TEST_F(ClassicLog, InjectedFaultsFailTheCallAndWriteNothing) {
    HANDLE source = RegisterEventSourceW(nullptr, L"Writer");
    HANDLE log = OpenEventLogW(nullptr, L"Application");
    PalEventLogInjectFault("ReportEventW", ERROR_DISK_FULL, 1, 1, 0);
    EXPECT_TRUE(ReportEventW(source, EVENTLOG_SUCCESS, 0, 1, nullptr, 0, 0, nullptr, nullptr));
    EXPECT_FALSE(ReportEventW(source, EVENTLOG_SUCCESS, 0, 2, nullptr, 0, 0, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_DISK_FULL);
    EXPECT_TRUE(ReportEventW(source, EVENTLOG_SUCCESS, 0, 3, nullptr, 0, 0, nullptr, nullptr));
    DWORD count = 0;
    GetNumberOfEventLogRecords(log, &count);
    EXPECT_EQ(count, 6u);
    // A classic handle sees what was written after it was opened.
    EXPECT_GT(ReadRecord(log, 6).size(), sizeof(EVENTLOGRECORD));
    PalEventLogInjectFault("ReadEventLogW", RPC_S_INVALID_BOUND, 0, 1, 0);
    EXPECT_TRUE(ClassicRead(log, kSeekForwards, 1).empty());
    EXPECT_EQ(GetLastError(), RPC_S_INVALID_BOUND);
    PalEventLogInjectFault("OpenEventLogW", ERROR_ACCESS_DENIED, 0, 1, 0);
    EXPECT_EQ(OpenEventLogW(nullptr, L"Application"), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    PalEventLogInjectFault("GetNumberOfEventLogRecords", RPC_S_INVALID_BOUND, 0, 1, 0);
    EXPECT_FALSE(GetNumberOfEventLogRecords(log, &count));
    EXPECT_EQ(GetLastError(), RPC_S_INVALID_BOUND);
    EXPECT_TRUE(GetNumberOfEventLogRecords(log, &count));
    CloseEventLog(log);
    DeregisterEventSource(source);
}

// The store keeps a written event as reading its XML back gives it, texts that XML changes (line
// ends, tabs, blanks alone, markup, code points that are none) included.
TEST_F(ClassicLog, WrittenEventsArePersistedAndThereAfterARestart) {
    HANDLE source = RegisterEventSourceW(nullptr, L"Wri\tter\r\n");
    LPCWSTR strings[] = {L"kept",   L" \t\r\n ",        L"a\r\nb\rc\td\n",
                         L"<&'\">", L"\x01\x7f \xD800", L"\U0001F600 "};
    const uint8_t data[] = {0x01, 0xAB};
    ASSERT_TRUE(ReportEventW(source, EVENTLOG_ERROR_TYPE, 1, 77, const_cast<uint8_t*>(kSystemSid),
                             6, 2, strings, const_cast<uint8_t*>(data)));
    DeregisterEventSource(source);
    const std::wstring before = LastEventXml(L"Application");
    SetGlobalStore(nullptr);
    setenv("PAL_EVENTLOG_CACHE", "0", 1);
    SetGlobalStore(Store::Open(m_folder, nullptr));
    unsetenv("PAL_EVENTLOG_CACHE");
    EXPECT_EQ(LastEventXml(L"Application"), before);
    EXPECT_NE(before.find(L"<Data>kept</Data>"), std::wstring::npos);
}

TEST_F(ClassicLog, LookupAccountSidNamesWellKnownAndStoredAccounts) {
    wchar_t name[64];
    wchar_t domain[64];
    DWORD nameSize = 64;
    DWORD domainSize = 64;
    SID_NAME_USE use{};
    ASSERT_TRUE(LookupAccountSidW(nullptr, const_cast<uint8_t*>(kSystemSid), name, &nameSize,
                                  domain, &domainSize, &use));
    EXPECT_EQ(std::wstring(name), L"SYSTEM");
    EXPECT_EQ(std::wstring(domain), L"NT AUTHORITY");
    EXPECT_EQ(nameSize, 6u);
    EXPECT_EQ(domainSize, 12u);
    EXPECT_EQ(use, SidTypeWellKnownGroup);

    // S-1-5-21-1-2-3-1001 from accounts.xml, through the sizing protocol.
    const uint8_t alice[] = {1, 5, 0, 0, 0, 0, 0, 5, 21, 0, 0,    0, 1, 0,
                             0, 0, 2, 0, 0, 0, 3, 0, 0,  0, 0xE9, 3, 0, 0};
    nameSize = 0;
    domainSize = 0;
    EXPECT_FALSE(LookupAccountSidW(nullptr, const_cast<uint8_t*>(alice), nullptr, &nameSize,
                                   nullptr, &domainSize, &use));
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(nameSize, 6u);
    EXPECT_EQ(domainSize, 5u);
    ASSERT_TRUE(LookupAccountSidW(L"", const_cast<uint8_t*>(alice), name, &nameSize, domain,
                                  &domainSize, &use));
    EXPECT_EQ(std::wstring(domain) + L"\\" + name, L"CORP\\alice");
    EXPECT_EQ(use, SidTypeUser);

    uint8_t unknown[sizeof alice];
    std::memcpy(unknown, alice, sizeof alice);
    unknown[24] = 0x10;
    nameSize = domainSize = 64;
    EXPECT_FALSE(LookupAccountSidW(nullptr, unknown, name, &nameSize, domain, &domainSize, &use));
    EXPECT_EQ(GetLastError(), ERROR_NONE_MAPPED);
    const uint8_t garbage[] = {9, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_FALSE(LookupAccountSidW(nullptr, const_cast<uint8_t*>(garbage), name, &nameSize, domain,
                                   &domainSize, &use));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_SID);
    // A domain controller that cannot be reached, once.
    PalEventLogInjectFault("LookupAccountSidW", RPC_S_SERVER_UNAVAILABLE, 0, 1, 0);
    EXPECT_FALSE(LookupAccountSidW(nullptr, const_cast<uint8_t*>(kSystemSid), name, &nameSize,
                                   domain, &domainSize, &use));
    EXPECT_EQ(GetLastError(), RPC_S_SERVER_UNAVAILABLE);
    EXPECT_TRUE(LookupAccountSidW(nullptr, const_cast<uint8_t*>(kSystemSid), name, &nameSize,
                                  domain, &domainSize, &use));
}

} // namespace
