// The exported functions of the framework. Each is an exception boundary: allocation failure
// gives E_OUTOFMEMORY, anything else unexpected E_UNEXPECTED.
#include "ConfigServerProxy.h"
#include "NamedInstances.h"
#include "RequestContexts.h"

#include "Base/CFunctionBoundary.h"

#include <string>

using namespace Trellis;
using Halyard::Interfaces::IBase;

namespace {

// The request context behind a handle of TrBeginRequest, or null.
RequestContext* RequestOf(void* request) noexcept {
    auto* context =
        static_cast<RequestContext*>(static_cast<Halyard::Interfaces::IRequestContext*>(request));
    return context != nullptr && context->magic == RequestContext::kMagic ? context : nullptr;
}

HRESULT CheckRequest(void* request) noexcept {
    if (request == nullptr) {
        return E_INVALIDARG;
    }
    return RequestOf(request) != nullptr ? S_OK : E_HANDLE;
}

template <typename Object>
Ref<Object> MakeObject() {
    return Ref<Object>::Attach(std::make_unique<Object>().release());
}

Name FromAscii(const char* text) {
    return Name(text, text + std::char_traits<char>::length(text));
}

// Publishes the framework's own instances when the library is loaded; they stay published until
// revoked or the library is unloaded.
struct BuiltInInstances {
    BuiltInInstances() noexcept {
        // Without memory at load time the names are simply absent.
        Base::CFunctionBoundary([](Base::Thrown) noexcept {},
                                [] {
                                    NamedInstances& instances = NamedInstances::Instance();
                                    instances.Register(FromAscii("ConfigServer.Proxy"),
                                                       Halyard::Interfaces::IID_ConfigServerProxy,
                                                       MakeObject<ConfigServerProxy>().Get());
                                    instances.Register(FromAscii("Core.RequestContextMgr"),
                                                       Halyard::Interfaces::IID_RequestContextMgr,
                                                       MakeObject<RequestContextMgr>().Get());
                                });
    }
};

const BuiltInInstances g_builtInInstances;

} // namespace

TRELLIS_API HRESULT HALYARD_CALL TrGetNamedInstance(const EKNCHAR* name, uint32_t /*flags*/,
                                                    const GUID* iid, void** object) {
    if (object != nullptr) {
        *object = nullptr;
    }
    if (name == nullptr || iid == nullptr || object == nullptr) {
        return E_INVALIDARG;
    }
    return Base::HresultBoundary<HRESULT>([&] {
        const Ref<IBase> instance = NamedInstances::Instance().Find(name);
        if (!instance) {
            return HRESULT_FROM_WIN32(ERROR_NOT_FOUND);
        }
        return instance->QueryInterface(iid, object);
    });
}

TRELLIS_API HRESULT HALYARD_CALL TrRegisterNamedInstance(const EKNCHAR* name, const GUID* iid,
                                                         void* object) {
    if (name == nullptr || *name == 0 || iid == nullptr || object == nullptr) {
        return E_INVALIDARG;
    }
    return Base::HresultBoundary<HRESULT>([&] {
        NamedInstances::Instance().Register(name, *iid, static_cast<IBase*>(object));
        return S_OK;
    });
}

TRELLIS_API HRESULT HALYARD_CALL TrRevokeNamedInstance(const EKNCHAR* name) {
    if (name == nullptr) {
        return E_INVALIDARG;
    }
    return Base::HresultBoundary<HRESULT>([&] {
        return NamedInstances::Instance().Revoke(name) ? S_OK : HRESULT_FROM_WIN32(ERROR_NOT_FOUND);
    });
}

TRELLIS_API HRESULT HALYARD_CALL TrBeginRequest(void** request) {
    if (request == nullptr) {
        return E_POINTER;
    }
    *request = nullptr;
    return Base::HresultBoundary<HRESULT>([&] {
        // One reference for the handle, one (taken by BeginServing) for the serving thread.
        Ref<RequestContext> context = MakeObject<RequestContext>();
        const HRESULT hr = BeginServing(context);
        if (SUCCEEDED(hr)) {
            *request = static_cast<Halyard::Interfaces::IRequestContext*>(context.Detach());
        }
        return hr;
    });
}

TRELLIS_API HRESULT HALYARD_CALL TrCancelRequest(void* request) {
    if (const HRESULT hr = CheckRequest(request); FAILED(hr)) {
        return hr;
    }
    RequestOf(request)->Cancel();
    return S_OK;
}

TRELLIS_API HRESULT HALYARD_CALL TrEndRequest(void* request) {
    if (const HRESULT hr = CheckRequest(request); FAILED(hr)) {
        return hr;
    }
    RequestContext* context = RequestOf(request);
    const HRESULT hr = EndServing(*context);
    if (SUCCEEDED(hr)) {
        context->Release(); // the handle's reference
    }
    return hr;
}
