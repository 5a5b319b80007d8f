// The node-tree layer over the node library: building, reading, cloning and serializing.
#include "NodeTree/EkNodePtr.h"
#include "NodeTree/NodeSerializer.h"

#include "Quarry/Quarry.h"

#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

EkNodePtr NodeWith15Attributes() {
    const EkNodePtr node = EkNodePtr::CreateNode(L"Event", L"EventInfo");
    for (int i = 0; i < 5; ++i) {
        const std::wstring suffix = std::to_wstring(i);
        node.SetAttribute((L"Text" + suffix).c_str(), L"Microsoft-Windows-Security-Auditing");
        node.SetAttribute((L"Number" + suffix).c_str(), int64_t{4624 + i});
        node.SetAttribute((L"Flag" + suffix).c_str(), i % 2 == 0);
    }
    return node;
}

EkNodePtr TreeOf100Nodes() {
    const EkNodePtr root = EkNodePtr::CreateNode(L"Events", nullptr);
    for (int i = 0; i < 99; ++i) {
        const EkNodePtr child = EkNodePtr::CreateNode(L"Event", L"EventInfo");
        child.SetAttribute(L"EventID", int64_t{i});
        child.SetAttribute(L"Message", L"An account was successfully logged on.");
        root.AddChild(child);
    }
    return root;
}

void CreateNodeWith15Attributes(benchmark::State& state) {
    for (auto _ : state) {
        benchmark::DoNotOptimize(NodeWith15Attributes().Get());
    }
}
BENCHMARK(CreateNodeWith15Attributes);

void ReadShortString(benchmark::State& state) {
    const EkNodePtr node = NodeWith15Attributes();
    std::wstring text;
    text.reserve(128);
    for (auto _ : state) {
        benchmark::DoNotOptimize(node.GetAttribute(L"Text3", text));
    }
}
BENCHMARK(ReadShortString);

void CloneTreeOf100Nodes(benchmark::State& state) {
    const EkNodePtr tree = TreeOf100Nodes();
    for (auto _ : state) {
        benchmark::DoNotOptimize(tree.CloneNode().Get());
    }
}
BENCHMARK(CloneTreeOf100Nodes);

void SerializeTreeOf100Nodes(benchmark::State& state) {
    const EkNodePtr tree = TreeOf100Nodes();
    for (auto _ : state) {
        benchmark::DoNotOptimize(SerializeNodesToText(&tree, 1, 0x101, EKN_DEPTH_ALL));
    }
}
BENCHMARK(SerializeTreeOf100Nodes);

// A page of 100 events as the module builds it, through the node library's own calls alone (no
// conversion of names): each event a root of type "EventInfo" with eight integers and seven texts,
// a message among them, then added to the page's node; the page freed whole at the end, as the
// host frees a response. Items are events.
void PageOf100EventNodes(benchmark::State& state) {
    using namespace std::string_view_literals;
    constexpr const char16_t* kIntegers[] = {u"EventRecordID", u"EventID", u"Level",
                                             u"Task",          u"Opcode",  u"Keywords",
                                             u"ProcessID",     u"ThreadID"};
    constexpr std::u16string_view kTexts[][2] = {
        {u"TimeCreated", u"2026-12-08T01:02:03Z"sv},
        {u"ProviderName", u"Microsoft-Windows-Security-Auditing"sv},
        {u"Channel", u"Security"sv},
        {u"Computer", u"WS-0042.corp.example"sv},
        {u"LevelName", u"Information"sv},
        {u"UserName", u"CORP\\operator"sv},
        {u"Message", u"An account was successfully logged on. Subject: Security ID: SYSTEM, "
                     u"Account Name: WS-0042$, Logon Type: 5, Process: services.exe"sv}};
    const auto set = [](void* node, const char16_t* name, uint16_t type, const void* data,
                        size_t size) {
        if (EknSetAttribute(node, name, type, data, static_cast<uint32_t>(size)) != 0) {
            std::abort();
        }
    };
    for (auto _ : state) {
        void* page = nullptr;
        EknCreateNode(u"Events", nullptr, &page);
        for (int64_t i = 0; i < 100; ++i) {
            void* event = nullptr;
            EknCreateNode(nullptr, u"EventInfo", &event);
            for (const char16_t* name : kIntegers) {
                set(event, name, EKN_TYPE_INT64, &i, sizeof i);
            }
            for (const auto& [name, text] : kTexts) {
                set(event, name.data(), EKN_TYPE_STRING, text.data(),
                    (text.size() + 1) * sizeof(char16_t));
            }
            EknAddChild(page, event);
            EknCloseNodeHandle(event);
        }
        EknCloseNodeHandle(page);
    }
    state.SetItemsProcessed(state.iterations() * 100);
}
BENCHMARK(PageOf100EventNodes);

} // namespace
