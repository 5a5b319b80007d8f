// The store's cache of parsed event files. One cache file per event file:
//   header: magic, layout sizes, the source's size and modification time, and where its complete
//   events end (an incomplete one at the end is read when it is complete)
//   strings: count, then (length, characters) each; ids are local to the cache file
//   GUIDs: count, then the GUIDs; problems: count, then (length, characters) each
//   channels: count, then per channel its name id and the raw events, items and text it gained,
//   with string and GUID ids local to the file.
// A cache that does not match (another layout, a changed source, a short read) is ignored.
#include "PalEventLog/Store/Store.h"

#include <cstring>
#include <fstream>
#include <unordered_map>

#include <unistd.h>

namespace PalEventLog {

namespace {

constexpr char kMagic[8] = {'P', 'A', 'L', 'E', 'V', 'C', '0', '2'};

struct Header {
    char magic[8];
    uint32_t eventSize;
    uint32_t itemSize;
    uint32_t charSize;
    uint32_t reserved;
    uint64_t sourceSize;
    int64_t sourceTime;
    uint64_t sourceConsumed;
};

bool SourceStamp(const std::filesystem::path& source, uint64_t& size, int64_t& time) {
    std::error_code ec;
    size = std::filesystem::file_size(source, ec);
    if (ec) {
        return false;
    }
    const auto written = std::filesystem::last_write_time(source, ec);
    time = static_cast<int64_t>(written.time_since_epoch().count());
    return !ec;
}

class Writer {
public:
    explicit Writer(std::ofstream& out) : m_out(out) {}
    template <class T>
    void Pod(const T& value) {
        m_out.write(reinterpret_cast<const char*>(&value), sizeof value);
    }
    template <class T>
    void Array(const T* data, size_t count) {
        Pod(static_cast<uint64_t>(count));
        m_out.write(reinterpret_cast<const char*>(data),
                    static_cast<std::streamsize>(count * sizeof(T)));
    }
    void Text(std::wstring_view text) { Array(text.data(), text.size()); }

private:
    std::ofstream& m_out;
};

class Reader {
public:
    explicit Reader(std::ifstream& in) : m_in(in) {}
    template <class T>
    bool Pod(T& value) {
        return static_cast<bool>(m_in.read(reinterpret_cast<char*>(&value), sizeof value));
    }
    // Appends `count` elements read from the file to `out`.
    template <class T>
    bool Array(std::vector<T>& out) {
        uint64_t count = 0;
        if (!Pod(count) || count > (1ull << 34) / sizeof(T)) {
            return false;
        }
        const size_t start = out.size();
        out.resize(start + count);
        return static_cast<bool>(m_in.read(reinterpret_cast<char*>(out.data() + start),
                                           static_cast<std::streamsize>(count * sizeof(T))));
    }
    bool Text(std::wstring& text) {
        std::vector<wchar_t> chars;
        if (!Array(chars)) {
            return false;
        }
        text.assign(chars.begin(), chars.end());
        return true;
    }

private:
    std::ifstream& m_in;
};

} // namespace

std::vector<Store::ChannelMark> Store::Marks() const {
    std::vector<ChannelMark> marks;
    for (const auto& [name, channel] : WriterChannels()) {
        marks.push_back(
            {channel.get(), channel->events.size(), channel->items.size(), channel->text.size()});
    }
    return marks;
}

void Store::WriteCache(const std::filesystem::path& source, const std::filesystem::path& cache,
                       const std::vector<ChannelMark>& before, const LoadReport& report,
                       size_t problemsBefore) const {
    Header header{};
    std::memcpy(header.magic, kMagic, sizeof kMagic);
    header.eventSize = sizeof(Event);
    header.itemSize = sizeof(Item);
    header.charSize = sizeof(wchar_t);
    const auto state = m_files.find(source);
    if (state == m_files.end() || !SourceStamp(source, header.sourceSize, header.sourceTime)) {
        return;
    }
    header.sourceConsumed = state->second.consumed;
    // Local ids: strings and GUIDs in order of first use.
    std::unordered_map<StrId, StrId> strings{{0, 0}};
    std::vector<StrId> stringOrder{0};
    std::unordered_map<uint32_t, uint32_t> guids{{0, 0}};
    std::vector<uint32_t> guidOrder{0};
    auto local = [&](StrId id) {
        auto [it, added] = strings.emplace(id, static_cast<StrId>(stringOrder.size()));
        if (added) {
            stringOrder.push_back(id);
        }
        return it->second;
    };
    auto localGuid = [&](uint32_t id) {
        auto [it, added] = guids.emplace(id, static_cast<uint32_t>(guidOrder.size()));
        if (added) {
            guidOrder.push_back(id);
        }
        return it->second;
    };
    struct Part {
        StrId name;
        std::vector<Event> events;
        std::vector<Item> items;
        const Channel* channel;
        size_t textStart;
    };
    std::vector<Part> parts;
    for (const auto& [name, channel] : WriterChannels()) {
        size_t events = 0, items = 0, text = 0;
        for (const ChannelMark& mark : before) {
            if (mark.channel == channel.get()) {
                events = mark.events;
                items = mark.items;
                text = mark.text;
            }
        }
        if (channel->events.size() == events) {
            continue;
        }
        Part part{0, {}, {}, channel.get(), text};
        for (size_t i = events; i < channel->events.size(); ++i) {
            Event e = channel->events[i];
            e.provider = local(e.provider);
            e.eventSourceName = local(e.eventSourceName);
            e.channel = local(e.channel);
            e.computer = local(e.computer);
            e.userSid = local(e.userSid);
            e.userDataElement = local(e.userDataElement);
            e.providerGuid = localGuid(e.providerGuid);
            e.activityId = localGuid(e.activityId);
            e.relatedActivityId = localGuid(e.relatedActivityId);
            e.firstItem -= static_cast<uint32_t>(items);
            e.userDataXmlOffset -= e.userDataXmlLength ? static_cast<uint32_t>(text) : 0;
            part.events.push_back(e);
        }
        for (size_t i = items; i < channel->items.size(); ++i) {
            Item item = channel->items[i];
            item.element = local(item.element);
            item.name = local(item.name);
            item.textOffset -= static_cast<uint32_t>(text);
            part.items.push_back(item);
        }
        parts.push_back(std::move(part));
    }
    // Channel names are interned after the events so that their ids are local too.
    std::vector<std::wstring> channelNames;
    for (const Part& part : parts) {
        channelNames.push_back(part.channel->name);
    }

    std::error_code ec;
    std::filesystem::create_directories(cache.parent_path(), ec);
    // Written under a name of this process's own, then renamed: two processes opening the same
    // folder never see each other's half-written cache.
    const std::filesystem::path partial =
        cache.string() + "." + std::to_string(::getpid()) + ".part";
    {
        std::ofstream out(partial, std::ios::binary | std::ios::trunc);
        if (!out) {
            return; // a read-only folder simply has no cache
        }
        Writer w(out);
        w.Pod(header);
        w.Pod(static_cast<uint64_t>(stringOrder.size()));
        for (StrId id : stringOrder) {
            w.Text(m_strings.Get(id));
        }
        std::vector<GUID> guidValues;
        for (uint32_t id : guidOrder) {
            guidValues.push_back(m_guids[id]);
        }
        w.Array(guidValues.data(), guidValues.size());
        w.Pod(static_cast<uint64_t>(report.problems.size() - problemsBefore));
        for (size_t i = problemsBefore; i < report.problems.size(); ++i) {
            w.Text(report.problems[i]);
        }
        w.Pod(static_cast<uint64_t>(parts.size()));
        for (size_t p = 0; p < parts.size(); ++p) {
            w.Text(channelNames[p]);
            w.Array(parts[p].events.data(), parts[p].events.size());
            w.Array(parts[p].items.data(), parts[p].items.size());
            std::vector<wchar_t> text;
            parts[p].channel->text.CopyTo(parts[p].textStart, text);
            w.Array(text.data(), text.size());
        }
        if (!out) {
            out.close();
            std::filesystem::remove(partial, ec);
            return;
        }
    }
    std::filesystem::rename(partial, cache, ec);
}

bool Store::LoadCache(const std::filesystem::path& source, const std::filesystem::path& cache,
                      LoadReport& report, uint64_t& consumed) {
    std::ifstream in(cache, std::ios::binary);
    if (!in) {
        return false;
    }
    Reader r(in);
    Header header{};
    uint64_t size = 0;
    int64_t time = 0;
    if (!r.Pod(header) || std::memcmp(header.magic, kMagic, sizeof kMagic) != 0 ||
        header.eventSize != sizeof(Event) || header.itemSize != sizeof(Item) ||
        header.charSize != sizeof(wchar_t) || !SourceStamp(source, size, time) ||
        size != header.sourceSize || time != header.sourceTime ||
        header.sourceConsumed > header.sourceSize) {
        return false;
    }
    consumed = header.sourceConsumed;
    // Read everything before touching the store, so that a damaged cache changes nothing.
    uint64_t stringCount = 0;
    if (!r.Pod(stringCount) || stringCount > (1u << 30)) {
        return false;
    }
    std::vector<std::wstring> strings(stringCount);
    for (auto& s : strings) {
        if (!r.Text(s)) {
            return false;
        }
    }
    std::vector<GUID> guids;
    uint64_t problemCount = 0;
    if (!r.Array(guids) || !r.Pod(problemCount) || problemCount > (1u << 20)) {
        return false;
    }
    std::vector<std::wstring> problems(problemCount);
    for (auto& p : problems) {
        if (!r.Text(p)) {
            return false;
        }
    }
    uint64_t partCount = 0;
    if (!r.Pod(partCount) || partCount > (1u << 20)) {
        return false;
    }
    struct Part {
        std::wstring name;
        std::vector<Event> events;
        std::vector<Item> items;
        std::vector<wchar_t> text;
    };
    std::vector<Part> parts(partCount);
    for (Part& part : parts) {
        if (!r.Text(part.name) || !r.Array(part.events) || !r.Array(part.items) ||
            !r.Array(part.text)) {
            return false;
        }
        for (const Event& e : part.events) {
            const bool valid =
                e.provider < stringCount && e.eventSourceName < stringCount &&
                e.channel < stringCount && e.computer < stringCount && e.userSid < stringCount &&
                e.userDataElement < stringCount && e.providerGuid < guids.size() &&
                e.activityId < guids.size() && e.relatedActivityId < guids.size() &&
                uint64_t{e.firstItem} + e.itemCount <= part.items.size() &&
                uint64_t{e.userDataXmlOffset} + e.userDataXmlLength <= part.text.size();
            if (!valid) {
                return false;
            }
        }
        for (const Item& item : part.items) {
            if (item.element >= stringCount || item.name >= stringCount ||
                uint64_t{item.textOffset} + item.textLength > part.text.size()) {
                return false;
            }
        }
    }

    ++report.files;
    report.problems.insert(report.problems.end(), problems.begin(), problems.end());
    std::vector<StrId> stringMap(strings.size());
    for (size_t i = 0; i < strings.size(); ++i) {
        stringMap[i] = m_strings.Intern(strings[i]);
    }
    std::vector<uint32_t> guidMap(guids.size());
    for (size_t i = 1; i < guids.size(); ++i) {
        guidMap[i] = InternGuid(guids[i]);
    }
    for (Part& part : parts) {
        Channel& channel = m_forcedChannel ? *m_forcedChannel : GetOrAddChannel(part.name);
        const auto itemBase = static_cast<uint32_t>(channel.items.size());
        // A channel whose events all come from this file takes the vectors as they are; else
        // each text is appended on its own, since a text lies in one piece of the arena.
        const bool whole = channel.events.empty() && channel.items.empty() && channel.text.empty();
        auto text = [&](uint32_t offset, uint32_t length) {
            AssertWriting();
            return whole
                       ? offset
                       : AppendText(channel, std::wstring_view(part.text.data() + offset, length));
        };
        for (Item& item : part.items) {
            item.element = stringMap[item.element];
            item.name = stringMap[item.name];
            item.textOffset = text(item.textOffset, item.textLength);
        }
        for (Event& e : part.events) {
            e.provider = stringMap[e.provider];
            e.eventSourceName = stringMap[e.eventSourceName];
            e.channel = stringMap[e.channel];
            e.computer = stringMap[e.computer];
            e.userSid = stringMap[e.userSid];
            e.userDataElement = stringMap[e.userDataElement];
            e.providerGuid = guidMap[e.providerGuid];
            e.activityId = guidMap[e.activityId];
            e.relatedActivityId = guidMap[e.relatedActivityId];
            e.firstItem += itemBase;
            if (e.userDataXmlLength != 0) {
                e.userDataXmlOffset = text(e.userDataXmlOffset, e.userDataXmlLength);
            }
            InternSid(e.userSid);
        }
        report.events += part.events.size();
        if (whole) {
            channel.text.Adopt(std::move(part.text));
            channel.items.Adopt(std::move(part.items));
            channel.events.Adopt(std::move(part.events));
        } else {
            channel.items.Append(part.items.data(), part.items.size());
            channel.events.Append(part.events.data(), part.events.size());
        }
    }
    return true;
}

} // namespace PalEventLog
