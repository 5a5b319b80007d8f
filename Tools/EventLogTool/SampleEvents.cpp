#include "SampleEvents.h"

#include "Base/FileTime.h"
#include "Base/XmlEscape.h"

#include <array>
#include <cstdio>
#include <string>
#include <vector>

namespace EventLogTool {

namespace {

// A small linear congruential generator: fixed sequences on every platform.
class Random {
public:
    explicit Random(uint32_t variant) : m_state(variant * 2654435761u + 1) {}
    uint32_t Next(uint32_t bound) {
        m_state = m_state * 6364136223846793005ull + 1442695040888963407ull;
        return static_cast<uint32_t>((m_state >> 33) % bound);
    }

private:
    uint64_t m_state;
};

struct Kind {
    const char* provider;
    const char* guid; // empty: a classic source
    int eventId;
    int qualifiers; // -1: none
    int level;
    int task;
    const char* keywords;
    int weight;
};

constexpr const char* kClassic = "0x80000000000000";

const std::vector<Kind>& KindsOf(std::string_view channel) {
    static const std::vector<Kind> application = {
        {"Corvane-Demo-Service", "{3C1C5A2E-8F4B-4C56-9E2A-0B7D1F6A4E01}", 1000, -1, 4, 1, "0x1",
         20},
        {"Corvane-Demo-Service", "{3C1C5A2E-8F4B-4C56-9E2A-0B7D1F6A4E01}", 1001, -1, 4, 1, "0x1",
         10},
        {"Corvane-Demo-Service", "{3C1C5A2E-8F4B-4C56-9E2A-0B7D1F6A4E01}", 1002, -1, 2, 2, "0x0",
         6},
        {"Corvane-Demo-Service", "{3C1C5A2E-8F4B-4C56-9E2A-0B7D1F6A4E01}", 1003, -1, 3, 2, "0x0",
         8},
        {"Halyard-Monitor", "{7D2E5B10-3A41-4F0C-8B61-5E9A2C7D3B02}", 2001, -1, 4, 0, "0x0", 25},
        {"Halyard-Monitor", "{7D2E5B10-3A41-4F0C-8B61-5E9A2C7D3B02}", 2002, -1, 4, 0, "0x0", 8},
        {"Orchard Backup", "", 100, 16384, 4, 0, kClassic, 10},
        {"Orchard Backup", "", 101, 49152, 2, 0, kClassic, 3},
        {"Imported-Provider", "", 42, 0, 1, 0, kClassic, 2},
    };
    static const std::vector<Kind> system = {
        {"Sample-Service-Control", "{555908D1-A6D7-4695-8E1E-26931D2012F4}", 7036, 16384, 4, 0,
         "0x8080000000000000", 60},
        {"Sample-Service-Control", "{555908D1-A6D7-4695-8E1E-26931D2012F4}", 7000, 49152, 2, 0,
         "0x8080000000000000", 5},
        {"Sample-Disk", "", 7, 49156, 2, 0, kClassic, 3},
        {"Sample-Disk", "", 153, 32772, 3, 0, kClassic, 6},
    };
    static const std::vector<Kind> security = {
        {"Sample-Security-Auditing", "{54849625-5478-4994-A5BA-3E3B0328C30D}", 4624, -1, 0, 12544,
         "0x8020000000000000", 80},
        {"Sample-Security-Auditing", "{54849625-5478-4994-A5BA-3E3B0328C30D}", 4625, -1, 0, 12544,
         "0x8010000000000000", 20},
    };
    static const std::vector<Kind> operational = {
        {"Corvane-Operational-Source", "{A0E1C2D3-B4A5-4697-8899-AABBCCDDEEFF}", 10, -1, 4, 0,
         "0x4000000000000000", 50},
        {"Corvane-Operational-Source", "{A0E1C2D3-B4A5-4697-8899-AABBCCDDEEFF}", 11, -1, 4, 0,
         "0x4000000000000000", 50},
    };
    if (channel == "System") {
        return system;
    }
    if (channel == "Security") {
        return security;
    }
    if (channel == "Corvane/Operational") {
        return operational;
    }
    return application;
}

constexpr std::array<const char*, 4> kUsers = {"S-1-5-21-1004336348-1177238915-682003330-1001",
                                               "S-1-5-21-1004336348-1177238915-682003330-1002",
                                               "S-1-5-21-1004336348-1177238915-682003330-1003",
                                               "S-1-5-18"};
constexpr std::array<const char*, 4> kPlans = {"Plan A", "Nightly & Weekly", "Servers",
                                               "Web \"Front\""};
constexpr std::array<const char*, 5> kItems = {"Srv1", "Srv2", "db-01", "web-03",
                                               "a3a7b447-337a-4254-917c-06cb684897a2"};
constexpr std::array<const char*, 4> kServices = {"Print Spooler", "Windows Update", "Corvane Host",
                                                  "Time Service"};

std::string Escape(std::string_view text) {
    return Base::XmlEscaped(text, Base::kEscapeMarkupAndApostrophe);
}

std::string Time(uint64_t seconds, uint32_t fraction) {
    // Seconds since 2024-01-01T00:00:00Z.
    constexpr uint64_t kStart = Base::FileTimeFromCivil({2024, 1, 1}, 0, 0, 0, 0);
    const Base::CivilTime t =
        Base::CivilFromFileTime(kStart + seconds * Base::kFileTimeTicksPerSecond + fraction);
    char buffer[48];
    std::snprintf(buffer, sizeof buffer, "%04u-%02u-%02uT%02u:%02u:%02u.%07uZ",
                  static_cast<unsigned>(t.date.year), t.date.month, t.date.day, t.hour, t.minute,
                  t.second, t.ticks);
    return buffer;
}

} // namespace

void WriteSampleEvents(std::ostream& out, std::string_view channel, uint64_t count,
                       uint64_t firstRecord, uint32_t variant) {
    const std::vector<Kind>& kinds = KindsOf(channel);
    int totalWeight = 0;
    for (const Kind& k : kinds) {
        totalWeight += k.weight;
    }
    Random random(variant + static_cast<uint32_t>(channel.size()) * 7919u);
    uint64_t seconds = 0;
    std::string line;
    const std::string channelText = Escape(channel);
    for (uint64_t i = 0; i < count; ++i) {
        int pick = static_cast<int>(random.Next(static_cast<uint32_t>(totalWeight)));
        const Kind* kind = &kinds.front();
        for (const Kind& k : kinds) {
            if (pick < k.weight) {
                kind = &k;
                break;
            }
            pick -= k.weight;
        }
        seconds += 1 + random.Next(4);
        const uint64_t record = firstRecord + i;
        line.clear();
        line += "<Event xmlns='http://schemas.microsoft.com/win/2004/08/events/event'><System>"
                "<Provider Name='";
        line += Escape(kind->provider);
        line += '\'';
        if (*kind->guid != '\0') {
            line += " Guid='";
            line += kind->guid;
            line += '\'';
        } else {
            line += " EventSourceName='";
            line += Escape(kind->provider);
            line += '\'';
        }
        line += "/><EventID";
        if (kind->qualifiers >= 0) {
            line += " Qualifiers='" + std::to_string(kind->qualifiers) + "'";
        }
        line += '>' + std::to_string(kind->eventId) + "</EventID>";
        if (*kind->guid != '\0') {
            line += "<Version>0</Version>";
        }
        line += "<Level>" + std::to_string(kind->level) + "</Level><Task>" +
                std::to_string(kind->task) + "</Task>";
        if (*kind->guid != '\0') {
            line += "<Opcode>0</Opcode>";
        }
        line += "<Keywords>";
        line += kind->keywords;
        line += "</Keywords><TimeCreated SystemTime='" + Time(seconds, random.Next(10000000)) +
                "'/><EventRecordID>" + std::to_string(record) + "</EventRecordID>";
        if (*kind->guid != '\0') {
            line += "<Correlation/><Execution ProcessID='" +
                    std::to_string(400 + random.Next(9000)) + "' ThreadID='" +
                    std::to_string(100 + random.Next(20000)) + "'/>";
        }
        line += "<Channel>" + channelText + "</Channel><Computer>corvane-host.example</Computer>";
        const int userPick = static_cast<int>(random.Next(8));
        if (userPick < static_cast<int>(kUsers.size())) {
            line += "<Security UserID='";
            line += kUsers[static_cast<size_t>(userPick)];
            line += "'/>";
        } else {
            line += "<Security/>";
        }
        line += "</System>";
        auto data = [&](const char* name, const std::string& value) {
            line += name ? std::string("<Data Name='") + name + "'>" : std::string("<Data>");
            line += Escape(value);
            line += "</Data>";
        };
        const std::string n = std::to_string(random.Next(5000));
        if (channel == "Corvane/Operational") {
            line += "<UserData><SessionEvent xmlns='http://corvane.example/events'><SessionId>" +
                    n + "</SessionId><Detail>" + std::to_string(random.Next(100)) +
                    "</Detail></SessionEvent></UserData>";
        } else {
            line += "<EventData>";
            switch (kind->eventId) {
            case 2001:
                data(nullptr, kPlans[random.Next(kPlans.size())]);
                data(nullptr, kItems[random.Next(kItems.size())]);
                data(nullptr, random.Next(2) ? "Critical" : "Healthy");
                break;
            case 2002:
                data(nullptr, kPlans[random.Next(kPlans.size())]);
                data(nullptr, n);
                break;
            case 4624:
            case 4625:
                data("TargetUserName", random.Next(2) ? "alice" : "bob");
                data("TargetDomainName", "CORVANE");
                data(kind->eventId == 4624 ? "LogonType" : "FailureReason",
                     kind->eventId == 4624 ? std::to_string(2 + random.Next(9))
                                           : std::string("%%2313"));
                break;
            case 7036:
            case 7000:
                data("param1", kServices[random.Next(kServices.size())]);
                data("param2", random.Next(2) ? "running" : "stopped");
                break;
            case 42:
                break; // a provider without metadata and without values
            case 1000:
                data(nullptr, n);
                break;
            case 1001:
                data(nullptr, random.Next(2) ? "requested by the host" : "idle timeout");
                break;
            case 1002:
                data(nullptr, "C:\\Data\\file" + std::to_string(random.Next(100)) + ".dat");
                data(nullptr, random.Next(2) ? "access denied" : "file not found");
                break;
            case 1003:
                data(nullptr, std::to_string(1000 + random.Next(9000)));
                data(nullptr, "1000");
                break;
            case 100:
            case 101:
                data(nullptr, random.Next(2) ? "D:\\Projects" : "E:\\Mail");
                if (kind->eventId == 100) {
                    data(nullptr, n);
                    data(nullptr, std::to_string(random.Next(1000)));
                } else {
                    data(nullptr, "the target volume is full");
                }
                break;
            case 7:
                data(nullptr, "\\Device\\Harddisk" + std::to_string(random.Next(3)) + "\\DR0");
                break;
            default:
                data(nullptr, "0x" + std::to_string(100000 + random.Next(900000)));
                data(nullptr, std::to_string(random.Next(3)));
                break;
            }
            line += "</EventData>";
        }
        line += "</Event>\n";
        out << line;
    }
}

} // namespace EventLogTool
