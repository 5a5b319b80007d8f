// Short strings are read without a heap allocation in the node-tree layer: this program counts
// the allocations of the calling thread.
#include "NodeTree/EkNodePtr.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <new>

namespace {
thread_local size_t t_allocations = 0;
} // namespace

void* operator new(size_t size) {
    ++t_allocations;
    if (void* memory = std::malloc(size == 0 ? 1 : size)) {
        return memory;
    }
    throw std::bad_alloc();
}

void operator delete(void* memory) noexcept {
    std::free(memory);
}
void operator delete(void* memory, size_t) noexcept {
    std::free(memory);
}

TEST(EkNodePtrAllocations, ShortStringsAndNamesReadWithoutAllocating) {
    const EkNodePtr node = EkNodePtr::CreateNode(L"GetDataRequest", L"Request");
    const std::wstring value(127, L'v');
    node.SetAttribute(L"Text", value);
    std::wstring text;
    text.reserve(256);
    std::wstring name;
    name.reserve(256);

    const size_t before = t_allocations;
    ASSERT_TRUE(node.GetAttribute(L"Text", text));
    node.GetNodeName(name);
    const size_t after = t_allocations;

    EXPECT_EQ(text, value);
    EXPECT_EQ(name, L"GetDataRequest");
    EXPECT_EQ(after - before, 0u);
}

TEST(EkNodePtrAllocations, LongStringsTakeOneBuffer) {
    const EkNodePtr node = EkNodePtr::CreateNode(L"n", nullptr);
    const std::wstring value(128, L'v');
    node.SetAttribute(L"Text", value);
    std::wstring text;
    text.reserve(256);
    const size_t before = t_allocations;
    ASSERT_TRUE(node.GetAttribute(L"Text", text));
    EXPECT_EQ(text, value);
    EXPECT_EQ(t_allocations - before, 1u) << "one buffer for the second call";
}
