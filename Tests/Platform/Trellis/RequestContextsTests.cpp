// Request contexts and cancellation of the component framework.
#include "Platform/Utf16Names.h"
#include "Trellis/Trellis.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

using namespace Halyard::Interfaces;

namespace {

// Reads the cancellation flag through the objects a component reaches: manager slot 4, context
// slot 9, cancellation slot 4. False when the thread serves no request.
bool CurrentRequestCancelled() {
    IRequestContextMgr* manager = nullptr;
    EXPECT_EQ(TrGetNamedInstance(u"Core.RequestContextMgr", 0, &IID_RequestContextMgr,
                                 reinterpret_cast<void**>(&manager)),
              S_OK);
    IRequestContext* context = nullptr;
    EXPECT_EQ(manager->GetCurrentContext(0, &context), S_OK);
    manager->Release();
    if (context == nullptr) {
        return false;
    }
    ICancellation* cancellation = nullptr;
    EXPECT_EQ(context->GetCancellation(&cancellation), S_OK);
    context->Release();
    bool cancelled = false;
    EXPECT_EQ(cancellation->IsCancelled(&cancelled), S_OK);
    cancellation->Release();
    return cancelled;
}

TEST(TrellisRequests, CurrentContextFollowsTheThreadsRequest) {
    EXPECT_FALSE(CurrentRequestCancelled());
    IRequestContextMgr* manager = nullptr;
    ASSERT_EQ(TrGetNamedInstance(u"Core.RequestContextMgr", 0, &IID_RequestContextMgr,
                                 reinterpret_cast<void**>(&manager)),
              S_OK);
    IRequestContext* context = reinterpret_cast<IRequestContext*>(1);
    EXPECT_EQ(manager->GetCurrentContext(0, &context), S_OK);
    EXPECT_EQ(context, nullptr);

    void* request = nullptr;
    ASSERT_EQ(TrBeginRequest(&request), S_OK);
    void* nested = nullptr;
    EXPECT_EQ(TrBeginRequest(&nested), E_UNEXPECTED);
    ASSERT_EQ(manager->GetCurrentContext(0, &context), S_OK);
    ASSERT_NE(context, nullptr);
    IRequestContext* onOtherThread = reinterpret_cast<IRequestContext*>(1);
    std::thread([&] { manager->GetCurrentContext(0, &onOtherThread); }).join();
    EXPECT_EQ(onOtherThread, nullptr);
    uint64_t id = 0;
    uint64_t started = 0;
    EXPECT_EQ(context->GetRequestId(&id), S_OK);
    EXPECT_EQ(context->GetStartTime(&started), S_OK);
    EXPECT_NE(id, 0u);
    EXPECT_GT(started, 116444736000000000ULL); // after 1970 as a FILETIME
    EXPECT_EQ(manager->GetCurrentContext(1, &onOtherThread), E_INVALIDARG);

    EXPECT_EQ(TrEndRequest(request), S_OK);
    IRequestContext* after = reinterpret_cast<IRequestContext*>(1);
    EXPECT_EQ(manager->GetCurrentContext(0, &after), S_OK);
    EXPECT_EQ(after, nullptr);
    // Our reference keeps the ended request's context alive and usable.
    uint64_t sameId = 0;
    EXPECT_EQ(context->GetRequestId(&sameId), S_OK);
    EXPECT_EQ(sameId, id);
    EXPECT_EQ(context->Release(), 0u);
    manager->Release();
}

// The serving threads below hand their request over through a promise that is kept on every path,
// so that a failure on the thread is reported and never leaves the test waiting.

TEST(TrellisRequests, CancellationFromAnotherThreadIsSeenByTheServingThread) {
    std::promise<void*> begun;
    std::atomic<bool> cancelledSeen{false};
    bool sawNotCancelled = false;
    std::thread server([&] {
        void* handle = nullptr;
        const HRESULT hr = TrBeginRequest(&handle);
        sawNotCancelled = hr == S_OK && !CurrentRequestCancelled();
        begun.set_value(hr == S_OK ? handle : nullptr);
        if (hr != S_OK) {
            return;
        }
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!cancelledSeen && std::chrono::steady_clock::now() < deadline) {
            cancelledSeen = CurrentRequestCancelled();
            std::this_thread::yield();
        }
        EXPECT_EQ(TrEndRequest(handle), S_OK);
    });
    void* const request = begun.get_future().get();
    if (request != nullptr) {
        EXPECT_EQ(TrCancelRequest(request), S_OK);
    }
    server.join();
    EXPECT_NE(request, nullptr) << "the request did not begin";
    EXPECT_TRUE(sawNotCancelled);
    EXPECT_TRUE(cancelledSeen);
}

TEST(TrellisRequests, CancellationObjectOutlivesTheRequest) {
    void* request = nullptr;
    ASSERT_EQ(TrBeginRequest(&request), S_OK);
    IRequestContextMgr* manager = nullptr;
    TrGetNamedInstance(u"Core.RequestContextMgr", 0, &IID_RequestContextMgr,
                       reinterpret_cast<void**>(&manager));
    IRequestContext* context = nullptr;
    manager->GetCurrentContext(0, &context);
    manager->Release();
    ICancellation* cancellation = nullptr;
    ASSERT_EQ(context->GetCancellation(&cancellation), S_OK);
    EXPECT_EQ(context->Release(), 2u); // the serving thread's and the handle's
    EXPECT_EQ(TrCancelRequest(request), S_OK);
    EXPECT_EQ(TrEndRequest(request), S_OK);
    bool cancelled = false;
    EXPECT_EQ(cancellation->IsCancelled(&cancelled), S_OK);
    EXPECT_TRUE(cancelled);
    EXPECT_EQ(cancellation->Release(), 0u);
}

TEST(TrellisRequests, RequestEndedByItsThreadExitCanStillBeCancelledAndEnded) {
    void* request = nullptr;
    std::thread([&] { ASSERT_EQ(TrBeginRequest(&request), S_OK); }).join();
    ASSERT_NE(request, nullptr);
    EXPECT_EQ(TrCancelRequest(request), S_OK);
    EXPECT_EQ(TrEndRequest(request), S_OK);
}

TEST(TrellisRequests, RequestServedElsewhereIsNotEndedByThisThread) {
    std::promise<void*> begun;
    std::promise<void> release;
    std::thread server([&] {
        void* handle = nullptr;
        const HRESULT hr = TrBeginRequest(&handle);
        begun.set_value(hr == S_OK ? handle : nullptr);
        if (hr == S_OK) {
            release.get_future().wait();
            EXPECT_EQ(TrEndRequest(handle), S_OK);
        }
    });
    void* const request = begun.get_future().get();
    if (request != nullptr) {
        EXPECT_EQ(TrEndRequest(request), E_UNEXPECTED);
    }
    release.set_value();
    server.join();
    EXPECT_NE(request, nullptr) << "the request did not begin";
    EXPECT_EQ(TrBeginRequest(nullptr), E_POINTER);
    EXPECT_EQ(TrCancelRequest(nullptr), E_INVALIDARG);
    EXPECT_EQ(TrEndRequest(nullptr), E_INVALIDARG);
}

} // namespace
