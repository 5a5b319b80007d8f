// Request contexts: the objects through which a component learns about the request its thread
// serves, and the manager that finds the calling thread's context.
#pragma once

#include "RefCounted.h"

#include <array>
#include <atomic>

namespace Trellis {

// {8A2D4E84-F589-4467-84DA-1484C3EB9904}
inline constexpr GUID IID_RequestContext = {
    0x8A2D4E84, 0xF589, 0x4467, {0x84, 0xDA, 0x14, 0x84, 0xC3, 0xEB, 0x99, 0x04}};
// {047A9145-DCAB-476C-9CB5-02E132D1985E}
inline constexpr GUID IID_Cancellation = {
    0x047A9145, 0xDCAB, 0x476C, {0x9C, 0xB5, 0x02, 0xE1, 0x32, 0xD1, 0x98, 0x5E}};

class Cancellation final : public RefCounted<Cancellation, Halyard::Interfaces::ICancellation> {
public:
    static std::array<GUID, 1> Interfaces() noexcept { return {IID_Cancellation}; }

    HRESULT HALYARD_CALL IsCancelled(bool* cancelled) noexcept override;
    void Cancel() noexcept { m_cancelled.store(true, std::memory_order_release); }

private:
    std::atomic<bool> m_cancelled{false};
};

class RequestContext final
    : public RefCounted<RequestContext, Halyard::Interfaces::IRequestContext> {
public:
    static constexpr uint32_t kMagic = 0x52657173; // "Reqs"

    static std::array<GUID, 1> Interfaces() noexcept { return {IID_RequestContext}; }

    // A context for a request served by the calling thread, stamped with a new request id and
    // the current time. Throws std::bad_alloc.
    RequestContext();

    HRESULT HALYARD_CALL GetRequestId(uint64_t* id) noexcept override;
    HRESULT HALYARD_CALL GetThreadId(uint32_t* threadId) noexcept override;
    HRESULT HALYARD_CALL GetStartTime(uint64_t* fileTime) noexcept override;
    HRESULT HALYARD_CALL GetUserData(void** data) noexcept override;
    HRESULT HALYARD_CALL SetUserData(void* data) noexcept override;
    HRESULT HALYARD_CALL
    GetCancellation(Halyard::Interfaces::ICancellation** cancellation) noexcept override;

    void Cancel() noexcept { m_cancellation->Cancel(); }

    uint32_t magic = kMagic;
    // True while a thread serves this request (between TrBeginRequest and TrEndRequest or the
    // thread's end).
    std::atomic<bool> served{false};

    ~RequestContext() { magic = 0; }

private:
    const uint64_t m_id;
    const uint32_t m_threadId;
    const uint64_t m_startTime;
    std::atomic<void*> m_userData{nullptr};
    Ref<Cancellation> m_cancellation;
};

class RequestContextMgr final
    : public RefCounted<RequestContextMgr, Halyard::Interfaces::IRequestContextMgr> {
public:
    static std::array<GUID, 1> Interfaces() noexcept {
        return {Halyard::Interfaces::IID_RequestContextMgr};
    }

    HRESULT HALYARD_CALL GetCurrentContext(
        uint32_t key, Halyard::Interfaces::IRequestContext** context) noexcept override;
};

// The calling thread's request: begin makes `context` current (E_UNEXPECTED when the thread
// already serves one, E_OUTOFMEMORY when the thread's record of it cannot be made), end clears it
// when it is current (E_UNEXPECTED when another thread serves it). A thread that ends without
// ending its request drops it.
HRESULT BeginServing(const Ref<RequestContext>& context) noexcept;
HRESULT EndServing(RequestContext& context) noexcept;
// The calling thread's current context with a reference, or null.
Ref<RequestContext> CurrentContext() noexcept;

// A number that identifies the calling thread within the process, from 1 up.
uint32_t CurrentThreadNumber() noexcept;

} // namespace Trellis
