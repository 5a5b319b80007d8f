#include "EventChecks.h"

#include "FuzzSupport.h"

#include "PalEventLog/Api/Render.h"

#include "Base/Utf.h"

#include <algorithm>
#include <cstring>
#include <memory>

namespace Fuzz {

using namespace PalEventLog;

namespace {

// The System values of two events and their payloads agree.
void CheckSameEvent(const Store& a, const Channel& channelA, const Event& x, const Store& b,
                    const Channel& channelB, const Event& y) {
    FUZZ_CHECK(x.present == y.present);
    FUZZ_CHECK(x.recordId == y.recordId && x.timeCreated == y.timeCreated);
    FUZZ_CHECK(x.keywords == y.keywords && x.eventId == y.eventId && x.qualifiers == y.qualifiers &&
               x.level == y.level && x.task == y.task && x.opcode == y.opcode &&
               x.version == y.version);
    FUZZ_CHECK(a.String(x.provider) == b.String(y.provider));
    FUZZ_CHECK(a.String(x.computer) == b.String(y.computer));
    FUZZ_CHECK(a.String(x.userSid) == b.String(y.userSid));
    FUZZ_CHECK(x.payload == y.payload && x.itemCount == y.itemCount);
    for (uint32_t i = 0; i < x.itemCount; ++i) {
        const Item& first = channelA.items[x.firstItem + i];
        const Item& second = channelB.items[y.firstItem + i];
        FUZZ_CHECK(a.String(first.element) == b.String(second.element));
        FUZZ_CHECK(a.String(first.name) == b.String(second.name));
        FUZZ_CHECK(channelA.ItemText(first) == channelB.ItemText(second));
    }
}

// Renders with a buffer of exactly the size asked for; string values lie inside it.
template <typename Render>
void CheckVariants(Render render) {
    DWORD count = 0;
    const size_t needed = render(nullptr, 0, count);
    std::vector<uint8_t> buffer(needed);
    FUZZ_CHECK(render(buffer.data(), buffer.size(), count) == needed);
    FUZZ_CHECK(count * sizeof(EVT_VARIANT) <= needed);
    const auto* variants = reinterpret_cast<const EVT_VARIANT*>(buffer.data());
    const auto* end = reinterpret_cast<const wchar_t*>(buffer.data() + buffer.size());
    for (DWORD i = 0; i < count; ++i) {
        if (variants[i].Type == EvtVarTypeString && variants[i].StringVal != nullptr) {
            const wchar_t* text = variants[i].StringVal;
            FUZZ_CHECK(reinterpret_cast<const uint8_t*>(text) >= buffer.data() && text < end);
            FUZZ_CHECK(std::wmemchr(text, L'\0', static_cast<size_t>(end - text)) != nullptr);
        }
    }
}

} // namespace

void CheckEvent(const Store& store, const Channel& channel, const Event& event) {
    const std::wstring xml = EventXml(store, channel, event);
    auto again = std::make_shared<Store>();
    {
        Store::WriteLock lock(*again);
        LoadReport report;
        again->LoadEventXmlText(Base::Utf8FromWide(xml), report);
        again->Finish();
        FUZZ_CHECK(report.problems.empty() && report.events == 1);
    }
    Store::ReadLock lock(*again);
    const Channel* channelAgain = again->FindChannel(channel.name);
    FUZZ_CHECK(channelAgain != nullptr && channelAgain->events.size() == 1);
    CheckSameEvent(store, channel, event, *again, *channelAgain, channelAgain->events.front());

    CheckVariants([&](void* buffer, size_t size, DWORD& count) {
        return RenderSystem(store, event, buffer, size, count);
    });
    CheckVariants([&](void* buffer, size_t size, DWORD& count) {
        return RenderUser(store, channel, event, buffer, size, count);
    });
}

void LoadAndCheck(const uint8_t* data, size_t size, EventFile kind, size_t checked) {
    const MemoryFile file(data, size);
    auto store = std::make_shared<Store>();
    Store::WriteLock lock(*store);
    LoadReport report;
    if (kind == EventFile::Xml) {
        store->LoadEventFile(file.Path(), report);
    } else {
        store->LoadEvtxFile(file.Path(), report);
    }
    store->Finish();
    FUZZ_CHECK(report.files == 1);
    size_t events = 0;
    Store::ReadLock readLock(*store);
    for (const auto& [name, channel] : store->Channels()) {
        events += channel->events.size();
        for (size_t i = 0; i < std::min(checked, channel->events.size()); ++i) {
            CheckEvent(*store, *channel, channel->events[i]);
        }
    }
    FUZZ_CHECK(events == report.events);
}

} // namespace Fuzz
