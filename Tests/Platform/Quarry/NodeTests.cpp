// Trees, handles, cloning and thread safety of the node library.
#include "QuarryTestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

using namespace QuarryTest;

namespace {

TEST(QuarryTree, ChildrenKeepInsertionOrderAndAreFoundByIndexAndName) {
    Node root = Create(u"root");
    Node first = AddNew(root.get(), u"dup", u"first");
    Node second = AddNew(root.get(), u"other");
    Node third = AddNew(root.get(), u"dup", u"third");
    EXPECT_EQ(ChildCount(root.get()), 3u);
    Node child;
    ASSERT_EQ(EknGetChildByIndex(root.get(), 1, child.out()), kOk);
    EXPECT_EQ(NameOf(child.get()), u"other");
    EXPECT_EQ(EknGetChildByIndex(root.get(), 3, child.out()), kNotFound);
    EXPECT_EQ(child.get(), nullptr);
    ASSERT_EQ(EknGetChildByName(root.get(), u"dup", child.out()), kOk);
    char16_t type[16];
    uint32_t size = 16;
    EknGetNodeType(child.get(), type, &size);
    EXPECT_EQ(std::u16string(type), u"first");
    EXPECT_EQ(EknGetChildByName(root.get(), u"absent", child.out()), kNotFound);
}

TEST(QuarryTree, FullPathJoinsNamesFromTheRoot) {
    Node root = Create(u"root");
    Node a = AddNew(root.get(), u"a");
    Node b = AddNew(a.get(), u"b");
    EXPECT_EQ(NameOf(b.get(), EKN_NAME_FULL_PATH), u"\\root\\a\\b");
    EXPECT_EQ(NameOf(root.get(), EKN_NAME_FULL_PATH), u"\\root");
    Node unnamed;
    ASSERT_EQ(EknCreateNode(nullptr, nullptr, unnamed.out()), kOk);
    EXPECT_EQ(NameOf(unnamed.get(), EKN_NAME_FULL_PATH), u"\\");
    char16_t buffer[8];
    uint32_t size = 8;
    EXPECT_EQ(EknGetNodeName(b.get(), 1, buffer, &size), kInvalidArg);
}

// A node with a parent, and a node's own ancestor or itself, cannot be added; once removed, the
// child is a root with its subtree and can be added elsewhere.
TEST(QuarryTree, AddChildRefusesNodesWithAParentAndCyclesAndTakesRemovedOnes) {
    Node root = Create(u"root");
    Node child = AddNew(root.get(), u"child");
    Node grandchild = AddNew(child.get(), u"grandchild");
    Node stranger = Create(u"stranger");
    EXPECT_EQ(EknAddChild(stranger.get(), child.get()), kInvalidArg);  // has a parent
    EXPECT_EQ(EknAddChild(grandchild.get(), root.get()), kInvalidArg); // its own ancestor
    EXPECT_EQ(EknAddChild(root.get(), root.get()), kInvalidArg);       // itself
    EXPECT_EQ(EknAddChild(nullptr, child.get()), kInvalidArg);
    EXPECT_EQ(EknAddChild(root.get(), nullptr), kInvalidArg);
    EXPECT_EQ(ChildCount(stranger.get()), 0u);
    EXPECT_EQ(ChildCount(grandchild.get()), 0u);
    EXPECT_EQ(EknRemoveChild(root.get(), stranger.get()), kNotFound);
    ASSERT_EQ(EknRemoveChild(root.get(), child.get()), kOk);
    EXPECT_EQ(ChildCount(root.get()), 0u);
    Node parent;
    ASSERT_EQ(EknGetParent(child.get(), parent.out()), kOk);
    EXPECT_EQ(parent.get(), nullptr);
    EXPECT_EQ(NameOf(grandchild.get(), EKN_NAME_FULL_PATH), u"\\child\\grandchild");
    ASSERT_EQ(EknAddChild(stranger.get(), child.get()), kOk);
    EXPECT_EQ(NameOf(grandchild.get(), EKN_NAME_FULL_PATH), u"\\stranger\\child\\grandchild");
}

TEST(QuarryHandles, ChangesThroughOneHandleAreSeenThroughAnother) {
    Node root = Create(u"root");
    AddNew(root.get(), u"child");
    Node viaName;
    Node viaIndex;
    ASSERT_EQ(EknGetChildByName(root.get(), u"child", viaName.out()), kOk);
    ASSERT_EQ(EknGetChildByIndex(root.get(), 0, viaIndex.out()), kOk);
    SetString(viaName.get(), u"a", u"value");
    EXPECT_EQ(ReadString(viaIndex.get(), u"a"), u"value");
    Node copy;
    ASSERT_EQ(EknDuplicateNodeHandle(root.get(), copy.out()), kOk);
    AddNew(copy.get(), u"second");
    EXPECT_EQ(ChildCount(root.get()), 2u);
    Node parent;
    ASSERT_EQ(EknGetParent(viaName.get(), parent.out()), kOk);
    EXPECT_EQ(NameOf(parent.get()), u"root");
    // A duplicate is a handle of its own: closing one leaves the other usable.
    EXPECT_NE(copy.get(), root.get());
    root.Close();
    EXPECT_EQ(NameOf(copy.get()), u"root");
}

TEST(QuarryHandles, NullAndForeignHandlesAreRejected) {
    void* out = reinterpret_cast<void*>(1);
    EXPECT_EQ(EknCreateNode(u"a", u"b", nullptr), kPointer);
    EXPECT_EQ(EknDuplicateNodeHandle(nullptr, &out), kInvalidArg);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(EknCloseNodeHandle(nullptr), kInvalidArg);
    EXPECT_EQ(EknGetChildCount(nullptr, nullptr), kPointer);
    uint64_t count = 0;
    EXPECT_EQ(EknGetChildCount(nullptr, &count), kInvalidArg);
    auto sink = [](const void*, uint32_t, void*) -> EKN_HRESULT { return 0; };
    void* context = nullptr;
    ASSERT_EQ(EknStartSerialization(EKN_SERIALIZATION_XML_TEXT, 0, sink, nullptr, &context), kOk);
    EXPECT_EQ(EknGetChildCount(context, &count), kHandle);
    EknCloseSerializationContext(context);
}

class QuarryClone : public ::testing::Test {
protected:
    void SetUp() override {
        SetValue(m_root.get(), u"r", EKN_TYPE_INT32, int32_t{1});
        Node child = AddNew(m_root.get(), u"child");
        AddNew(child.get(), u"grandchild");
    }
    Node CloneOf(void* node, int32_t depth) {
        Node clone;
        EXPECT_EQ(EknCloneNode(node, depth, 0, clone.out()), kOk);
        return clone;
    }
    Node m_root = Create(u"root", u"type");
};

TEST_F(QuarryClone, DepthLimitsTheLevelsCopied) {
    Node alone = CloneOf(m_root.get(), 0);
    EXPECT_EQ(ChildCount(alone.get()), 0u);
    int32_t r = 0;
    EXPECT_EQ(ReadValue(alone.get(), u"r", EKN_TYPE_INT32, r), kOk);
    EXPECT_EQ(r, 1);
    Node oneLevel = CloneOf(m_root.get(), 1);
    Node child;
    ASSERT_EQ(EknGetChildByIndex(oneLevel.get(), 0, child.out()), kOk);
    EXPECT_EQ(ChildCount(child.get()), 0u);
    Node all = CloneOf(m_root.get(), EKN_DEPTH_ALL);
    Node grandchild;
    ASSERT_EQ(EknGetChildByIndex(all.get(), 0, child.out()), kOk);
    ASSERT_EQ(EknGetChildByIndex(child.get(), 0, grandchild.out()), kOk);
    EXPECT_EQ(NameOf(grandchild.get(), EKN_NAME_FULL_PATH), u"\\root\\child\\grandchild");
    Node rejected;
    EXPECT_EQ(EknCloneNode(m_root.get(), -1, 0, rejected.out()), kInvalidArg);
}

TEST_F(QuarryClone, CopyIsAnIndependentRoot) {
    Node child;
    ASSERT_EQ(EknGetChildByIndex(m_root.get(), 0, child.out()), kOk);
    Node clone = CloneOf(child.get(), EKN_DEPTH_ALL);
    EXPECT_EQ(NameOf(clone.get(), EKN_NAME_FULL_PATH), u"\\child");
    SetString(clone.get(), u"only", u"clone");
    AddNew(clone.get(), u"extra");
    EXPECT_EQ(EknGetAttribute(child.get(), u"only", nullptr, nullptr, nullptr, nullptr), kNotFound);
    EXPECT_EQ(ChildCount(child.get()), 1u);
    EXPECT_EQ(ChildCount(clone.get()), 2u);
}

// Many threads each build, change, clone and take apart trees of their own.
TEST(QuarryConcurrency, ThreadsWorkOnDistinctTreesAtOnce) {
    constexpr int kThreads = 8;
    constexpr int kNodes = 200;
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&failures] {
            Node root = Create(u"root");
            for (int i = 0; i < kNodes; ++i) {
                Node child = AddNew(root.get(), u"child");
                SetValue(child.get(), u"i", EKN_TYPE_INT32, int32_t{i});
                if (i % 2 == 0) {
                    EknRemoveChild(root.get(), child.get());
                }
            }
            Node clone;
            EknCloneNode(root.get(), EKN_DEPTH_ALL, 0, clone.out());
            Node last;
            EknGetChildByIndex(clone.get(), kNodes / 2 - 1, last.out());
            std::vector<uint8_t> text;
            if (ChildCount(clone.get()) != kNodes / 2 ||
                Read(last.get(), u"i", EKN_TYPE_STRING, text) != kOk || text.size() != 8) {
                ++failures;
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(failures.load(), 0);
}

// Threads that change one tree at once take turns, those that find its lock taken sleeping until
// it is let go: nothing any of them adds is lost.
TEST(QuarryConcurrency, ThreadsChangingOneTreeTakeTurns) {
    constexpr int kThreads = 4;
    constexpr int kNodes = 2000;
    Node root = Create(u"root");
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&root, t] {
            for (int i = 0; i < kNodes; ++i) {
                AddNew(root.get(), u"child");
                SetValue(root.get(), u"last", EKN_TYPE_INT32, int32_t{t});
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(ChildCount(root.get()), size_t{kThreads * kNodes});
}

// Node memory is recycled per thread: nodes made on one thread and freed on another, and nodes
// made from the blocks so freed, each hold their own values, also after the thread that freed
// the blocks has ended.
TEST(QuarryConcurrency, NodesFreedOnAnotherThreadAreReusedWithTheirOwnValues) {
    constexpr int32_t kNodes = 300;
    const auto make = [](int32_t base) {
        std::vector<Node> nodes;
        for (int32_t i = 0; i < kNodes; ++i) {
            nodes.push_back(Create(u"n", u"EventInfo"));
            SetValue(nodes.back().get(), u"EventID", EKN_TYPE_INT32, base + i);
            SetValue(nodes.back().get(), u"Level", EKN_TYPE_INT32, base - i);
        }
        return nodes;
    };
    const auto check = [](const std::vector<Node>& nodes, int32_t base) {
        int wrong = 0;
        for (int32_t i = 0; i < kNodes; ++i) {
            int32_t id = 0;
            int32_t level = 0;
            wrong += ReadValue(nodes[i].get(), u"EventID", EKN_TYPE_INT32, id) != kOk ||
                     ReadValue(nodes[i].get(), u"Level", EKN_TYPE_INT32, level) != kOk ||
                     id != base + i || level != base - i;
        }
        return wrong;
    };
    std::vector<Node> first;
    std::thread([&] { first = make(1000); }).join();
    std::vector<Node> second;
    int wrong = 0;
    std::thread([&] {
        wrong += check(first, 1000);
        first.clear(); // freed here, and made again from these blocks below
        second = make(5000);
        wrong += check(second, 5000);
    }).join();
    EXPECT_EQ(wrong, 0);
    EXPECT_EQ(check(second, 5000), 0);
    second.clear();
    const std::vector<Node> third = make(9000);
    EXPECT_EQ(check(third, 9000), 0);
}

// Two threads move nodes between the same two trees in opposite directions: each move holds
// both trees' locks, which must not deadlock, and no node may be lost.
TEST(QuarryConcurrency, NodesMovedBetweenTreesInOppositeDirectionsAreNeverLost) {
    Node left = Create(u"left");
    Node right = Create(u"right");
    for (int i = 0; i < 20; ++i) {
        AddNew(left.get(), u"l");
        AddNew(right.get(), u"r");
    }
    auto mover = [](void* from, void* to) {
        Node a;
        Node b;
        EknDuplicateNodeHandle(from, a.out());
        EknDuplicateNodeHandle(to, b.out());
        for (int i = 0; i < 2000; ++i) {
            Node child;
            if (EknGetChildByIndex(a.get(), 0, child.out()) != kOk) {
                continue;
            }
            if (EknRemoveChild(a.get(), child.get()) == kOk) {
                EknAddChild(b.get(), child.get());
            }
        }
    };
    std::thread forward(mover, left.get(), right.get());
    std::thread backward(mover, right.get(), left.get());
    forward.join();
    backward.join();
    EXPECT_EQ(ChildCount(left.get()) + ChildCount(right.get()), 40u);
}

// A subtree detached and put back over and over while another thread works deep inside it: the
// detached nodes take their new lock leaves first without the mover holding it, so the worker
// may already be inside the moved part while the rest is still being moved; nothing it does may
// be lost or seen half done.
TEST(QuarryConcurrency, SubtreeDetachedWhileAnotherThreadWorksInsideIt) {
    Node root = Create(u"root");
    Node branch = AddNew(root.get(), u"branch");
    Node twig = AddNew(AddNew(branch.get(), u"fork").get(), u"twig");
    for (int i = 0; i < 8; ++i) {
        AddNew(AddNew(twig.get(), u"leaf").get(), u"bud");
    }
    std::atomic<bool> done{false};
    std::thread mover([&] {
        while (!done) {
            EXPECT_EQ(EknRemoveChild(root.get(), branch.get()), kOk);
            EXPECT_EQ(EknAddChild(root.get(), branch.get()), kOk);
        }
    });
    for (int i = 0; i < 2000; ++i) {
        SetValue(twig.get(), u"i", EKN_TYPE_INT32, int32_t{i});
        Node extra = AddNew(twig.get(), u"extra");
        Node leaf;
        ASSERT_EQ(EknGetChildByIndex(twig.get(), 0, leaf.out()), kOk);
        EXPECT_EQ(EknRemoveChild(twig.get(), extra.get()), kOk);
        const std::u16string path = NameOf(leaf.get(), EKN_NAME_FULL_PATH);
        EXPECT_TRUE(path == u"\\root\\branch\\fork\\twig\\leaf" ||
                    path == u"\\branch\\fork\\twig\\leaf");
    }
    done = true;
    mover.join();
    EXPECT_EQ(ChildCount(twig.get()), 8u);
    int32_t last = 0;
    EXPECT_EQ(ReadValue(twig.get(), u"i", EKN_TYPE_INT32, last), kOk);
    EXPECT_EQ(last, 1999);
}

// The last handle of a root closed while another thread works on a child it holds: the child
// ends as a whole root of its own with its subtree and values, and the other thread never sees
// the tree half taken apart.
TEST(QuarryConcurrency, RootClosedWhileAnotherThreadUsesItsChildren) {
    for (int round = 0; round < 20; ++round) {
        Node root = Create(u"root");
        AddNew(root.get(), u"sibling");
        Node child = AddNew(root.get(), u"child");
        for (int i = 0; i < 10; ++i) {
            AddNew(child.get(), u"grandchild");
        }
        std::atomic<bool> started{false};
        std::thread user([&started, handle = child.get()] {
            started = true;
            for (int i = 0; i < 100; ++i) {
                const std::u16string path = NameOf(handle, EKN_NAME_FULL_PATH);
                EXPECT_TRUE(path == u"\\root\\child" || path == u"\\child")
                    << std::string(path.begin(), path.end());
                Node parent;
                EXPECT_EQ(EknGetParent(handle, parent.out()), kOk);
                SetValue(handle, u"i", EKN_TYPE_INT32, int32_t{i});
                Node extra = AddNew(handle, u"extra");
                EXPECT_EQ(EknRemoveChild(handle, extra.get()), kOk);
            }
        });
        while (!started) {
            std::this_thread::yield();
        }
        root.Close();
        user.join();
        EXPECT_EQ(NameOf(child.get(), EKN_NAME_FULL_PATH), u"\\child");
        EXPECT_EQ(ChildCount(child.get()), 10u);
        int32_t last = 0;
        EXPECT_EQ(ReadValue(child.get(), u"i", EKN_TYPE_INT32, last), kOk);
        EXPECT_EQ(last, 99);
    }
}

} // namespace
