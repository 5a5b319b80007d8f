// EventLogTool: looks into an event store and builds one.
//   EventLogTool [--store DIR] channels
//   EventLogTool [--store DIR] newest CHANNEL [COUNT]
//   EventLogTool [--store DIR] query CHANNEL QUERY [COUNT] [--xml]
//   EventLogTool import DEST FILE|FOLDER...
//   EventLogTool generate DEST EVENTS-PER-CHANNEL
//   EventLogTool [--store DIR] write SOURCE TYPE ID [--category N] [STRING...]
//   EventLogTool [--store DIR] follow CHANNEL [QUERY] [--oldest] [--xml]
// The store is DIR, else the folder named by PAL_EVENTLOG_DIR.
#include "Base/CFunctionBoundary.h"
#include "PalEventLog/Api/Render.h"
#include "PalEventLog/Store/Store.h"
#include "SampleEvents.h"

#include "Win32/SynchApi.h"
#include "Win32/WinBase.h"
#include "Win32/WinError.h"
#include "Win32/WinEventLog.h"
#include "Win32/WinEvt.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;
using namespace PalEventLog;

namespace {

int Usage() {
    std::cerr << "usage:\n"
                 "  EventLogTool [--store DIR] channels\n"
                 "  EventLogTool [--store DIR] providers\n"
                 "  EventLogTool [--store DIR] newest CHANNEL [COUNT]\n"
                 "  EventLogTool [--store DIR] query CHANNEL QUERY [COUNT] [--xml]\n"
                 "  EventLogTool import DEST FILE|FOLDER...\n"
                 "  EventLogTool generate DEST EVENTS-PER-CHANNEL\n"
                 "  EventLogTool [--store DIR] write SOURCE TYPE ID [--category N] [STRING...]\n"
                 "      TYPE: success, error, warning, information, audit-success, "
                 "audit-failure\n"
                 "  EventLogTool [--store DIR] follow CHANNEL [QUERY] [--oldest] [--xml]\n";
    return 2;
}

// Closes an Evt handle when it goes out of scope.
struct EvtHandle {
    EVT_HANDLE handle = nullptr;
    explicit EvtHandle(EVT_HANDLE h) : handle(h) {}
    EvtHandle(const EvtHandle&) = delete;
    EvtHandle& operator=(const EvtHandle&) = delete;
    ~EvtHandle() {
        if (handle != nullptr) {
            EvtClose(handle);
        }
    }
};

std::string ExtendedStatus() {
    wchar_t buffer[1024] = {};
    DWORD used = 0;
    EvtGetExtendedStatus(1024, buffer, &used);
    return Base::Utf8FromWide(buffer);
}

void ReportProblems(const LoadReport& report) {
    const size_t shown = std::min<size_t>(report.problems.size(), 10);
    for (size_t i = 0; i < shown; ++i) {
        std::cerr << "warning: " << Base::Utf8FromWide(report.problems[i]) << "\n";
    }
    if (report.problems.size() > shown) {
        std::cerr << "warning: " << report.problems.size() - shown << " more problems\n";
    }
}

std::shared_ptr<Store> OpenStore(const std::string& folder, bool quiet) {
    if (folder.empty()) {
        return GlobalStore();
    }
    LoadReport report;
    auto store = Store::Open(folder, &report);
    if (!quiet) {
        ReportProblems(report);
    }
    SetGlobalStore(store);
    return store;
}

int ListChannels(Store& store) {
    PalEventLog::Store::ReadLock lock(store);
    std::printf("%-50s %10s  %s\n", "Channel", "Events", "Classic");
    for (const auto& [name, channel] : store.Channels()) {
        std::printf("%-50s %10zu  %s\n", Base::Utf8FromWide(name).c_str(), channel->events.size(),
                    channel->classic ? "yes" : "no");
    }
    return 0;
}

// The publishers with metadata: from publishers.xml and the provider exports of the folder.
int ListProviders(Store& store) {
    std::printf("%-50s %8s  %s\n", "Provider", "Events", "Messages from");
    for (const auto& [name, publisher] : store.Catalog().Publishers()) {
        std::printf("%-50s %8zu  %s\n", Base::Utf8FromWide(name).c_str(), publisher.events.size(),
                    Base::Utf8FromWide(publisher.messageFile).c_str());
    }
    return 0;
}

// One line per event: time, level, provider, id, record and the formatted message.
void PrintEvent(EVT_HANDLE event, EVT_HANDLE systemContext, bool xml) {
    DWORD used = 0, count = 0;
    if (xml) {
        EvtRender(nullptr, event, EvtRenderEventXml, 0, nullptr, &used, &count);
        std::wstring text(used / sizeof(wchar_t) + 1, L'\0');
        if (EvtRender(nullptr, event, EvtRenderEventXml, used, text.data(), &used, &count)) {
            std::printf("%s\n", Base::Utf8FromWide(text.c_str()).c_str());
        }
        return;
    }
    std::vector<EVT_VARIANT> values(64);
    EvtRender(systemContext, event, EvtRenderEventValues, 0, nullptr, &used, &count);
    values.resize(used / sizeof(EVT_VARIANT) + 1);
    if (!EvtRender(systemContext, event, EvtRenderEventValues,
                   static_cast<DWORD>(values.size() * sizeof(EVT_VARIANT)), values.data(), &used,
                   &count)) {
        std::printf("(cannot render: %u)\n", GetLastError());
        return;
    }
    const EVT_VARIANT* v = values.data();
    const std::wstring provider = v[EvtSystemProviderName].Type == EvtVarTypeString
                                      ? v[EvtSystemProviderName].StringVal
                                      : L"";
    std::wstring message;
    EvtHandle metadata(EvtOpenPublisherMetadata(nullptr, provider.c_str(), nullptr, 0, 0));
    if (metadata.handle != nullptr) {
        EvtFormatMessage(metadata.handle, event, 0, 0, nullptr, EvtFormatMessageEvent, 0, nullptr,
                         &used);
        message.assign(used + 1, L'\0');
        if (EvtFormatMessage(metadata.handle, event, 0, 0, nullptr, EvtFormatMessageEvent, used,
                             message.data(), &used) ||
            GetLastError() == ERROR_EVT_UNRESOLVED_VALUE_INSERT) {
            message.resize(std::wcslen(message.c_str()));
        } else {
            message.clear();
        }
    }
    for (auto& c : message) {
        if (c == L'\r' || c == L'\n') {
            c = L' ';
        }
    }
    const std::wstring time = v[EvtSystemTimeCreated].Type == EvtVarTypeFileTime
                                  ? FormatSystemTime(v[EvtSystemTimeCreated].FileTimeVal)
                                  : L"-";
    std::printf("%s  L%u  %-28s %6u  #%-8llu %s\n", Base::Utf8FromWide(time).c_str(),
                v[EvtSystemLevel].Type == EvtVarTypeByte ? v[EvtSystemLevel].ByteVal : 0u,
                Base::Utf8FromWide(provider).c_str(), v[EvtSystemEventID].UInt16Val,
                static_cast<unsigned long long>(v[EvtSystemEventRecordId].UInt64Val),
                Base::Utf8FromWide(message).c_str());
}

int Query(const std::wstring& channel, const std::wstring& query, size_t limit, bool xml) {
    EvtHandle rs(EvtQuery(nullptr, channel.c_str(), query.c_str(),
                          EvtQueryChannelPath | EvtQueryReverseDirection));
    if (rs.handle == nullptr) {
        std::cerr << "query failed: error " << GetLastError() << ": " << ExtendedStatus() << "\n";
        return 1;
    }
    EvtHandle context(EvtCreateRenderContext(0, nullptr, EvtRenderContextSystem));
    size_t shown = 0;
    EVT_HANDLE batch[64];
    DWORD returned = 0;
    while (shown < limit && EvtNext(rs.handle, 64, batch, INFINITE, 0, &returned)) {
        for (DWORD i = 0; i < returned; ++i) {
            EvtHandle event(batch[i]);
            if (shown < limit) {
                PrintEvent(event.handle, context.handle, xml);
                ++shown;
            }
        }
    }
    std::fprintf(stderr, "%zu events\n", shown);
    return 0;
}

// Writes every event of the loaded files into DEST, one file per channel, one event per line.
int Import(const fs::path& destination, const std::vector<fs::path>& sources) {
    auto store = std::make_shared<Store>();
    Store::WriteLock lock(*store);
    LoadReport report;
    const auto start = std::chrono::steady_clock::now();
    auto progress = [&](size_t events) {
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        std::fprintf(stderr, "\r%zu events read (%.0f/s)   ", events,
                     seconds > 0 ? events / seconds : 0.0);
    };
    std::vector<fs::path> metadata; // provider exports, copied as they are
    for (const fs::path& source : sources) {
        std::vector<fs::path> files;
        if (fs::is_directory(source)) {
            for (const auto& entry : fs::recursive_directory_iterator(source)) {
                files.push_back(entry.path());
            }
        } else {
            files.push_back(source);
        }
        for (const fs::path& file : files) {
            const std::string extension = file.extension().string();
            if (extension == ".evtx" || extension == ".EVTX") {
                store->LoadEvtxFile(file, report, progress);
            } else if (extension == ".man" || extension == ".MAN" ||
                       ((extension == ".xml" || extension == ".XML") &&
                        Store::IsProviderExportFile(file))) {
                metadata.push_back(file);
            } else if ((extension == ".xml" || extension == ".XML") &&
                       file.filename() != "publishers.xml" && file.filename() != "accounts.xml") {
                store->LoadEventFile(file, report, progress);
            }
        }
    }
    store->Finish();
    progress(report.events);
    std::fprintf(stderr, "\n");
    ReportProblems(report);
    fs::create_directories(destination);
    size_t written = 0;
    Store::ReadLock readLock(*store);
    for (const auto& [name, channel] : store->Channels()) {
        if (channel->events.empty()) {
            continue;
        }
        std::string fileName = Base::Utf8FromWide(name);
        for (char& c : fileName) {
            if (c == '/' || c == '\\' || c == ':' || c == '*' || c == '?') {
                c = '_';
            }
        }
        std::ofstream out(destination / (fileName + ".xml"), std::ios::binary | std::ios::app);
        for (const Event& event : channel->events) {
            out << Base::Utf8FromWide(EventXml(*store, *channel, event)) << '\n';
            if (++written % 10000 == 0) {
                std::fprintf(stderr, "\r%zu events written   ", written);
            }
        }
    }
    std::fprintf(stderr, "\r%zu events written to %s\n", written, destination.string().c_str());
    // Provider metadata goes into the store as it is: read once here, so that its problems are
    // told now, then copied.
    for (const fs::path& file : metadata) {
        PublisherCatalog catalog;
        LoadReport checked;
        catalog.LoadProviderExport(file, checked);
        ReportProblems(checked);
        std::error_code ec;
        fs::copy_file(file, destination / file.filename(), fs::copy_options::overwrite_existing,
                      ec);
        if (ec) {
            std::fprintf(stderr, "%s: %s\n", file.string().c_str(), ec.message().c_str());
            report.problems.push_back(file.filename().wstring() + L": not copied");
            continue;
        }
        std::fprintf(stderr, "%zu providers from %s\n", catalog.Publishers().size(),
                     file.filename().string().c_str());
    }
    return report.events > 0 || !metadata.empty() || report.problems.empty() ? 0 : 1;
}

int Generate(const fs::path& destination, uint64_t perChannel) {
    fs::create_directories(destination);
    const std::pair<const char*, const char*> channels[] = {
        {"Application", "Application.xml"},
        {"System", "System.xml"},
        {"Security", "Security.xml"},
        {"Corvane/Operational", "Corvane-Operational.xml"},
    };
    for (const auto& [channel, file] : channels) {
        std::ofstream out(destination / file, std::ios::binary | std::ios::trunc);
        EventLogTool::WriteSampleEvents(out, channel, perChannel);
    }
    return 0;
}

// Writes one event through ReportEventW, as eventcreate does: the source's channel is the one
// publishers.xml declares for it, Application otherwise.
int Write(const std::string& source, const std::string& type, unsigned long id,
          unsigned long category, const std::vector<std::string>& texts) {
    static const std::map<std::string, WORD> kTypes = {
        {"success", EVENTLOG_SUCCESS},
        {"error", EVENTLOG_ERROR_TYPE},
        {"warning", EVENTLOG_WARNING_TYPE},
        {"information", EVENTLOG_INFORMATION_TYPE},
        {"audit-success", EVENTLOG_AUDIT_SUCCESS},
        {"audit-failure", EVENTLOG_AUDIT_FAILURE},
    };
    const auto found = kTypes.find(type);
    if (found == kTypes.end()) {
        return Usage();
    }
    HANDLE handle = RegisterEventSourceW(nullptr, Base::WideFromUtf8(source).c_str());
    if (handle == nullptr) {
        std::cerr << "cannot register the source: error " << GetLastError() << "\n";
        return 1;
    }
    std::vector<std::wstring> wide;
    for (const auto& text : texts) {
        wide.push_back(Base::WideFromUtf8(text));
    }
    std::vector<LPCWSTR> strings;
    for (const auto& text : wide) {
        strings.push_back(text.c_str());
    }
    const BOOL ok = ReportEventW(handle, found->second, static_cast<WORD>(category),
                                 static_cast<DWORD>(id), nullptr, static_cast<WORD>(strings.size()),
                                 0, strings.empty() ? nullptr : strings.data(), nullptr);
    const DWORD error = GetLastError();
    DeregisterEventSource(handle);
    if (!ok) {
        std::cerr << "cannot write the event: error " << error << "\n";
        return 1;
    }
    return 0;
}

struct Follower {
    EVT_HANDLE systemContext = nullptr;
    bool xml = false;
};

DWORD WINAPI PrintArrival(EVT_SUBSCRIBE_NOTIFY_ACTION action, PVOID context, EVT_HANDLE event) {
    // Nothing leaves the callback.
    Base::CFunctionBoundary([](Base::Thrown) noexcept {},
                            [&] {
                                const auto* follower = static_cast<const Follower*>(context);
                                if (action == EvtSubscribeActionDeliver) {
                                    PrintEvent(event, follower->systemContext, follower->xml);
                                } else {
                                    std::printf(
                                        "(subscription error %u)\n",
                                        static_cast<unsigned>(reinterpret_cast<uintptr_t>(event)));
                                }
                                std::fflush(stdout);
                            });
    return 0;
}

volatile std::sig_atomic_t g_interrupted = 0;

// Prints the channel's matching events as they arrive, until interrupted.
int Follow(const std::wstring& channel, const std::wstring& query, bool oldest, bool xml) {
    Follower follower;
    follower.xml = xml;
    EvtHandle context(EvtCreateRenderContext(0, nullptr, EvtRenderContextSystem));
    follower.systemContext = context.handle;
    EvtHandle subscription(EvtSubscribe(
        nullptr, nullptr, channel.c_str(), query.c_str(), nullptr, &follower, &PrintArrival,
        oldest ? EvtSubscribeStartAtOldestRecord : EvtSubscribeToFutureEvents));
    if (subscription.handle == nullptr) {
        std::cerr << "subscribe failed: error " << GetLastError() << ": " << ExtendedStatus()
                  << "\n";
        return 1;
    }
    std::signal(SIGINT, [](int) { g_interrupted = 1; });
    std::signal(SIGTERM, [](int) { g_interrupted = 1; });
    std::fprintf(stderr, "following %s; Ctrl-C ends\n", Base::Utf8FromWide(channel).c_str());
    while (g_interrupted == 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    try {
        std::vector<std::string> args(argv + 1, argv + argc);
        std::string storeFolder;
        if (args.size() >= 2 && args[0] == "--store") {
            storeFolder = args[1];
            args.erase(args.begin(), args.begin() + 2);
        }
        bool xml = false;
        bool oldest = false;
        unsigned long category = 0;
        for (auto it = args.begin(); it != args.end();) {
            if (*it == "--xml") {
                xml = true;
                it = args.erase(it);
            } else if (*it == "--oldest") {
                oldest = true;
                it = args.erase(it);
            } else if (*it == "--category" && it + 1 != args.end()) {
                category = std::stoul(*(it + 1));
                it = args.erase(it, it + 2);
            } else {
                ++it;
            }
        }
        if (args.empty()) {
            return Usage();
        }
        const std::string& command = args[0];
        if (command == "channels" && args.size() == 1) {
            return ListChannels(*OpenStore(storeFolder, false));
        }
        if (command == "providers" && args.size() == 1) {
            return ListProviders(*OpenStore(storeFolder, false));
        }
        if (command == "newest" && (args.size() == 2 || args.size() == 3)) {
            OpenStore(storeFolder, true);
            return Query(Base::WideFromUtf8(args[1]), L"*",
                         args.size() == 3 ? std::stoul(args[2]) : 10, xml);
        }
        if (command == "query" && (args.size() == 3 || args.size() == 4)) {
            OpenStore(storeFolder, true);
            return Query(Base::WideFromUtf8(args[1]), Base::WideFromUtf8(args[2]),
                         args.size() == 4 ? std::stoul(args[3]) : SIZE_MAX, xml);
        }
        if (command == "import" && args.size() >= 3) {
            return Import(args[1], std::vector<fs::path>(args.begin() + 2, args.end()));
        }
        if (command == "write" && args.size() >= 4) {
            OpenStore(storeFolder, true);
            return Write(args[1], args[2], std::stoul(args[3], nullptr, 0), category,
                         std::vector<std::string>(args.begin() + 4, args.end()));
        }
        if (command == "follow" && (args.size() == 2 || args.size() == 3)) {
            OpenStore(storeFolder, true);
            return Follow(Base::WideFromUtf8(args[1]),
                          args.size() == 3 ? Base::WideFromUtf8(args[2]) : L"*", oldest, xml);
        }
        if (command == "generate" && args.size() == 3) {
            return Generate(args[1], std::stoull(args[2]));
        }
        return Usage();
    } catch (const std::exception& e) {
        std::cerr << "error: " << e.what() << "\n";
        return 1;
    }
}
