// The Corvane component: the event viewer back end over one event-log channel. The host configures
// it with the channel and then hands it requests; each request is dispatched by its node name to
// one of seven handlers, and its outcome comes back in the response envelope.
#pragma once

#include "Base/Mutex.h"
#include "Components/ComponentInterfaces.h"
#include "Helpers/RequestProcessingUtils.h"
#include "NodeTree/EkNodePtr.h"

#include <memory>
#include <string>

namespace Halyard {

class SessionsHolder;

// A request that needs the configuration before Configure has succeeded fails with this code.
constexpr HRESULT HR_NOT_CONFIGURED = HresultFromWin32(ERROR_INVALID_STATE);

class CCorvane : public Interfaces::IComponent,
                 public Interfaces::IConfigure,
                 public Interfaces::IProcessRequest,
                 public Interfaces::IShutdown {
public:
    // The tag under which component objects are tracked while they live.
    static constexpr const char* ObjectTag =
        "CComponentObject<class Halyard::CCorvane>::CComponentObject";

    CCorvane();
    ~CCorvane() override;

    HRESULT HALYARD_CALL Configure(void* configNode) noexcept override;
    HRESULT HALYARD_CALL ProcessRequest(void* request, void** response) noexcept override;
    HRESULT HALYARD_CALL Shutdown() noexcept override;

    // Called by the component's own creation and destruction.
    HRESULT FinalConstruct();
    void FinalRelease() noexcept;

    // The interface that a GUID names, without a reference added; null if none.
    void* GetInterface(const GUID& iid) noexcept;

    // The creation of a component of this class (the registered factory).
    static HRESULT CreateInstance(const GUID* iid, void** object) noexcept;

    // The configured channel; empty before Configure.
    std::wstring ChannelName() const;

private:
    // What a successful Configure sets, replaced whole by the next one. A request works with the
    // configuration it started with: its reference keeps that holder and its sessions alive until
    // it returns, even when a Configure on another thread replaces them meanwhile.
    struct Configuration {
        std::wstring channelName;
        std::shared_ptr<SessionsHolder> sessionsHolder;
    };
    // The current configuration; raises HR_NOT_CONFIGURED before the first successful Configure.
    std::shared_ptr<const Configuration> Configured() const;

    // The request handlers; each fills the response or raises.
    void CreateSession(const EkNodePtr& request, const EkNodePtr& response);
    void CheckFilters(const EkNodePtr& request, const EkNodePtr& response);
    void GetData(const EkNodePtr& request, const EkNodePtr& response);
    void GetChannelProvidersNames(const EkNodePtr& request, const EkNodePtr& response);
    void GetNewEventsCount(const EkNodePtr& request, const EkNodePtr& response);
    void ReleaseSession(const EkNodePtr& request, const EkNodePtr& response);
    void CountEvents(const EkNodePtr& request, const EkNodePtr& response);

    RequestProcessing::RequestTable<CCorvane> m_requestTable;
    mutable Base::Mutex m_configurationLock;
    std::shared_ptr<const Configuration> m_configuration GUARDED_BY(m_configurationLock);
};

} // namespace Halyard
