// The node-tree layer over the node library: building, reading, cloning and serializing.
#include "NodeTree/EkNodePtr.h"
#include "NodeTree/NodeSerializer.h"

#include <benchmark/benchmark.h>

#include <string>

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

} // namespace
