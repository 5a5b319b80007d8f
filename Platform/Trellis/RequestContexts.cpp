#include "RequestContexts.h"

#include "Base/FileTime.h"
#include "Base/ThreadObject.h"

namespace Trellis {

using Halyard::Interfaces::ICancellation;
using Halyard::Interfaces::IRequestContext;

namespace {

uint64_t NextRequestId() noexcept {
    static std::atomic<uint64_t> last{0};
    return last.fetch_add(1, std::memory_order_relaxed) + 1;
}

// The request the thread serves (the thread's ThreadObject); dropped when the thread ends.
struct CurrentRequest {
    Ref<RequestContext> context;
    ~CurrentRequest() {
        if (context) {
            context->served.store(false);
        }
    }
};

} // namespace

uint32_t CurrentThreadNumber() noexcept {
    static std::atomic<uint32_t> last{0};
    thread_local const uint32_t number = last.fetch_add(1, std::memory_order_relaxed) + 1;
    return number;
}

HRESULT Cancellation::IsCancelled(bool* cancelled) noexcept {
    if (cancelled == nullptr) {
        return E_POINTER;
    }
    *cancelled = m_cancelled.load(std::memory_order_acquire);
    return S_OK;
}

RequestContext::RequestContext()
    : m_id(NextRequestId()), m_threadId(CurrentThreadNumber()), m_startTime(Base::FileTimeNow()),
      m_cancellation(Ref<Cancellation>::Attach(std::make_unique<Cancellation>().release())) {}

HRESULT RequestContext::GetRequestId(uint64_t* id) noexcept {
    if (id == nullptr) {
        return E_POINTER;
    }
    *id = m_id;
    return S_OK;
}

HRESULT RequestContext::GetThreadId(uint32_t* threadId) noexcept {
    if (threadId == nullptr) {
        return E_POINTER;
    }
    *threadId = m_threadId;
    return S_OK;
}

HRESULT RequestContext::GetStartTime(uint64_t* fileTime) noexcept {
    if (fileTime == nullptr) {
        return E_POINTER;
    }
    *fileTime = m_startTime;
    return S_OK;
}

HRESULT RequestContext::GetUserData(void** data) noexcept {
    if (data == nullptr) {
        return E_POINTER;
    }
    *data = m_userData.load();
    return S_OK;
}

HRESULT RequestContext::SetUserData(void* data) noexcept {
    m_userData.store(data);
    return S_OK;
}

HRESULT RequestContext::GetCancellation(ICancellation** cancellation) noexcept {
    if (cancellation == nullptr) {
        return E_POINTER;
    }
    *cancellation = Ref<Cancellation>(m_cancellation).Detach();
    return S_OK;
}

HRESULT RequestContextMgr::GetCurrentContext(uint32_t key, IRequestContext** context) noexcept {
    if (context == nullptr) {
        return E_POINTER;
    }
    *context = nullptr;
    if (key != 0) {
        return E_INVALIDARG;
    }
    *context = CurrentContext().Detach();
    return S_OK;
}

HRESULT BeginServing(const Ref<RequestContext>& context) noexcept {
    CurrentRequest* const current = Base::ThreadObject<CurrentRequest>();
    if (current == nullptr) {
        return E_OUTOFMEMORY;
    }
    if (current->context) {
        return E_UNEXPECTED;
    }
    context->served.store(true);
    current->context = context;
    return S_OK;
}

HRESULT EndServing(RequestContext& context) noexcept {
    CurrentRequest* const current = Base::ThreadObject<CurrentRequest>();
    if (current != nullptr && current->context.Get() == &context) {
        context.served.store(false);
        current->context.Reset();
        return S_OK;
    }
    return context.served.load() ? E_UNEXPECTED : S_OK;
}

Ref<RequestContext> CurrentContext() noexcept {
    const CurrentRequest* const current = Base::ThreadObject<CurrentRequest>();
    return current != nullptr ? current->context : Ref<RequestContext>();
}

} // namespace Trellis
