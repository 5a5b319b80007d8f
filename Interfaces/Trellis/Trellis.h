// C interface of the Trellis component framework: named instances that the host publishes, and
// the per-thread request contexts through which a component learns that a request was cancelled.
#pragma once

#include "Components/ComponentInterfaces.h"
#include "Quarry/Quarry.h"

#if defined(_WIN32)
#if defined(TRELLIS_BUILD)
#define TRELLIS_API extern "C" __declspec(dllexport)
#else
#define TRELLIS_API extern "C" __declspec(dllimport)
#endif
#else
#define TRELLIS_API extern "C" __attribute__((visibility("default")))
#endif

namespace Halyard::Interfaces {

// "ConfigServer.Proxy": {A85AE290-89EE-46E0-9395-3AAB22F29105}
constexpr GUID IID_ConfigServerProxy = {
    0xA85AE290, 0x89EE, 0x46E0, {0x93, 0x95, 0x3A, 0xAB, 0x22, 0xF2, 0x91, 0x05}};
// "Core.RequestContextMgr": {D1664FB4-4974-402E-9D54-9388CDF00D2A}
constexpr GUID IID_RequestContextMgr = {
    0xD1664FB4, 0x4974, 0x402E, {0x9D, 0x54, 0x93, 0x88, 0xCD, 0xF0, 0x0D, 0x2A}};

struct ICancellation : IBase {
    // True once the request has been cancelled.
    virtual HRESULT HALYARD_CALL IsCancelled(bool* cancelled) noexcept = 0;

protected:
    ~ICancellation() = default;
};

struct IRequestContext : IBase {
    virtual HRESULT HALYARD_CALL GetRequestId(uint64_t* id) noexcept = 0;       // slot 4
    virtual HRESULT HALYARD_CALL GetThreadId(uint32_t* threadId) noexcept = 0;  // slot 5
    virtual HRESULT HALYARD_CALL GetStartTime(uint64_t* fileTime) noexcept = 0; // slot 6
    virtual HRESULT HALYARD_CALL GetUserData(void** data) noexcept = 0;         // slot 7
    virtual HRESULT HALYARD_CALL SetUserData(void* data) noexcept = 0;          // slot 8
    // Slot 9: the cancellation object of the request, with one reference.
    virtual HRESULT HALYARD_CALL GetCancellation(ICancellation** cancellation) noexcept = 0;

protected:
    ~IRequestContext() = default;
};

struct IRequestContextMgr : IBase {
    // The context of the request the calling thread serves, with one reference; S_OK and null
    // when the thread serves none. The module passes key 0.
    virtual HRESULT HALYARD_CALL GetCurrentContext(uint32_t key,
                                                   IRequestContext** context) noexcept = 0;

protected:
    ~IRequestContextMgr() = default;
};

struct IConfigServerProxy : IBase {
protected:
    ~IConfigServerProxy() = default;
};

} // namespace Halyard::Interfaces

// An instance published under a name, queried for an interface, with one reference;
// HRESULT_FROM_WIN32(ERROR_NOT_FOUND) when nothing is published under that name.
TRELLIS_API HRESULT HALYARD_CALL TrGetNamedInstance(const EKNCHAR* name, uint32_t flags,
                                                    const GUID* iid, void** object);

// For hosts and tests.
// Publishes an object (one reference is taken) under a name for an interface; replaces an
// earlier object of that name.
TRELLIS_API HRESULT HALYARD_CALL TrRegisterNamedInstance(const EKNCHAR* name, const GUID* iid,
                                                         void* object);
TRELLIS_API HRESULT HALYARD_CALL TrRevokeNamedInstance(const EKNCHAR* name);
// The calling thread now serves a request; *request identifies it for the two calls below.
TRELLIS_API HRESULT HALYARD_CALL TrBeginRequest(void** request);
// From any thread: the request is cancelled.
TRELLIS_API HRESULT HALYARD_CALL TrCancelRequest(void* request);
// The calling thread serves no request; the request's handle is released.
TRELLIS_API HRESULT HALYARD_CALL TrEndRequest(void* request);
