// The Corvane component: the event viewer back end over one event-log channel. The host configures
// it with the channel and then hands it requests; each request is dispatched by its node name to
// one of seven handlers, and its outcome comes back in the response envelope.
#pragma once

#include "Components/ComponentInterfaces.h"
#include "Helpers/RequestProcessingUtils.h"
#include "NodeTree/EkNodePtr.h"

#include <string>

namespace Halyard {

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

    const std::wstring& ChannelName() const noexcept { return m_channelName; }

private:
    // The request handlers; each fills the response or raises.
    void CreateSession(const EkNodePtr& request, const EkNodePtr& response);
    void CheckFilters(const EkNodePtr& request, const EkNodePtr& response);
    void GetData(const EkNodePtr& request, const EkNodePtr& response);
    void GetChannelProvidersNames(const EkNodePtr& request, const EkNodePtr& response);
    void GetNewEventsCount(const EkNodePtr& request, const EkNodePtr& response);
    void ReleaseSession(const EkNodePtr& request, const EkNodePtr& response);
    void CountEvents(const EkNodePtr& request, const EkNodePtr& response);

    std::wstring m_channelName;
    RequestProcessing::RequestTable<CCorvane> m_requestTable;
};

} // namespace Halyard
