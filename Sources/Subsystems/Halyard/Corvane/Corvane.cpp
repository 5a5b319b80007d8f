#include "Halyard/Corvane/Corvane.h"

#include "Components/ComponentObject.h"
#include "Components/NamedInstance.h"
#include "ErrorHandling/ComMethodBoundary.h"
#include "ErrorHandling/ErrorDescription.h"
#include "Halyard/Corvane/EventLogApiUtils.h"
#include "Halyard/Corvane/SessionsHolder.h"
#include "Logging/NodeDump.h"
#include "Logging/TraceScope.h"

namespace Halyard {

namespace {

using Logging::LOG_DBG;
using Logging::LOG_DBG2;
using Logging::LOG_ERR;
using Logging::NodeDump;

const Components::ClassRegistration g_registration(Interfaces::CLSID_Corvane,
                                                   &CCorvane::CreateInstance);

} // namespace

CCorvane::CCorvane()
    : m_requestTable{
          {L"CreateSessionRequest", &CCorvane::CreateSession},
          {L"CheckFiltersRequest", &CCorvane::CheckFilters},
          {L"GetDataRequest", &CCorvane::GetData},
          {L"GetPublishersRequest", &CCorvane::GetChannelProvidersNames},
          {L"GetNewEventsCountRequest", &CCorvane::GetNewEventsCount},
          {L"ReleaseSessionRequest", &CCorvane::ReleaseSession},
          {L"CountEventsRequest", &CCorvane::CountEvents},
      } {}

CCorvane::~CCorvane() = default;

HRESULT CCorvane::CreateInstance(const GUID* iid, void** object) noexcept {
    return Components::CComponentObject<CCorvane>::Create(ObjectTag, iid, object);
}

void* CCorvane::GetInterface(const GUID& iid) noexcept {
    if (iid == Interfaces::IID_Base) {
        return static_cast<Interfaces::IComponent*>(this);
    }
    if (iid == Interfaces::IID_Configure) {
        return static_cast<Interfaces::IConfigure*>(this);
    }
    if (iid == Interfaces::IID_ProcessRequest) {
        return static_cast<Interfaces::IProcessRequest*>(this);
    }
    if (iid == Interfaces::IID_Shutdown) {
        return static_cast<Interfaces::IShutdown*>(this);
    }
    return nullptr;
}

HRESULT CCorvane::FinalConstruct() {
    TRACE_SCOPE(LOG_DBG, L"Halyard::CCorvane::FinalConstruct");
    return S_OK;
}

void CCorvane::FinalRelease() noexcept {
    TRACE_SCOPE(LOG_DBG, L"Halyard::CCorvane::FinalRelease");
}

HRESULT CCorvane::Shutdown() noexcept {
    TRACE_SCOPE(LOG_DBG, L"Halyard::CCorvane::Shutdown");
    return S_OK;
}

HRESULT CCorvane::Configure(void* configNode) noexcept {
    TRACE_SCOPE(LOG_DBG, L"Halyard::CCorvane::Configure");
    return ComMethodBoundary(
        FAILURE_LINE(L"Halyard::CCorvane::Configure", L"Configure failed due to: "), [&] {
            if (configNode == nullptr) {
                RaiseError(E_POINTER);
            }
            const EkNodePtr config(configNode, false);
            LOG_AT(LOG_DBG, L"Config node: " << NodeDump{config});
            // The framework must offer its configuration server; it is not used further.
            Components::GetNamedInstance(L"ConfigServer.Proxy", Interfaces::IID_ConfigServerProxy);
            // The new configuration is built whole before it replaces the old one, so a
            // configuration that fails leaves the working one in place.
            auto configuration = std::make_shared<Configuration>();
            configuration->channelName = config.GetString(L"LogChannelName");
            configuration->sessionsHolder = std::make_shared<SessionsHolder>(config);
            std::shared_ptr<const Configuration> replaced = std::move(configuration);
            {
                const Base::LockGuard lock(m_configurationLock);
                m_configuration.swap(replaced);
            }
            // The replaced holder goes when its last request returns: here, when none is running
            // (its sweep is stopped and joined outside the lock).
        });
}

std::shared_ptr<const CCorvane::Configuration> CCorvane::Configured() const {
    std::shared_ptr<const Configuration> configuration;
    {
        const Base::LockGuard lock(m_configurationLock);
        configuration = m_configuration;
    }
    if (!configuration) {
        SetErrorWithMessage(HR_NOT_CONFIGURED, L" The component is not configured yet.");
        RaiseError(HR_NOT_CONFIGURED);
    }
    return configuration;
}

std::wstring CCorvane::ChannelName() const {
    const Base::LockGuard lock(m_configurationLock);
    return m_configuration ? m_configuration->channelName : std::wstring();
}

HRESULT CCorvane::ProcessRequest(void* requestHandle, void** responseHandle) noexcept {
    TRACE_SCOPE(LOG_DBG, L"Halyard::CCorvane::ProcessRequest");
    return ComMethodBoundary(
        FAILURE_LINE(L"Halyard::CCorvane::ProcessRequest", L"Process request failed due to:"), [&] {
            if (requestHandle == nullptr || responseHandle == nullptr) {
                RaiseError(E_POINTER);
            }
            const EkNodePtr request(requestHandle, false);
            LOG_AT(LOG_DBG, L"Request node: " << NodeDump{request});
            RequestProcessing::NormalizePagingPosition(request);
            EkNodePtr response = EkNodePtr::CreateNode(L"EventViewerResponse", nullptr);

            // The envelope: a handler's failure is reported in the response, never as the result.
            HRES outcome;
            try {
                RequestProcessing::DispatchRequest(*this, m_requestTable, request, response);
            } catch (const HRX& failure) {
                outcome = failure;
            }
            response.SetAttribute(L"ResultCode", static_cast<int32_t>(outcome.Code()));
            if (outcome.Failed()) {
                SetErrorInfoFromHres(outcome);
                response.SetAttribute(L"ErrorSerialized", GetThreadErrorText(outcome.Code()));
            }

            RequestProcessing::NormalizePagingPosition(response);
            LOG_AT(LOG_DBG2, L"Response node: " << NodeDump{response});
            *responseHandle = response.Detach();
        });
}

// Each handler fills the response or raises; the envelope reports a failure.

void CCorvane::CreateSession(const EkNodePtr& request, const EkNodePtr& response) {
    TRACE_SCOPE(LOG_DBG, L"Halyard::CCorvane::CreateSession");
    Configured()->sessionsHolder->AddSession(request, response);
}

void CCorvane::CheckFilters(const EkNodePtr& request, const EkNodePtr&) {
    TRACE_SCOPE(LOG_DBG, L"Halyard::CCorvane::CheckFilters");
    Configured()->sessionsHolder->CheckFilters(request);
}

void CCorvane::GetData(const EkNodePtr& request, const EkNodePtr& response) {
    Configured()->sessionsHolder->GetSessionEvents(request, response);
}

void CCorvane::GetChannelProvidersNames(const EkNodePtr&, const EkNodePtr& response) {
    TRACE_SCOPE(LOG_DBG, L"Halyard::CCorvane::GetChannelProvidersNames");
    response.SetAttribute(L"Publishers",
                          EventsApiUtils::GetChannelsPublishers(Configured()->channelName));
}

void CCorvane::GetNewEventsCount(const EkNodePtr& request, const EkNodePtr& response) {
    TRACE_SCOPE(LOG_DBG, L"Halyard::CCorvane::GetNewEventsCount");
    const uint64_t count = Configured()->sessionsHolder->GetNewEventsCount(request);
    response.SetAttribute(L"NewEventsCount", static_cast<int64_t>(count));
}

void CCorvane::ReleaseSession(const EkNodePtr& request, const EkNodePtr&) {
    Configured()->sessionsHolder->RemoveSession(request);
}

void CCorvane::CountEvents(const EkNodePtr& request, const EkNodePtr& response) {
    TRACE_SCOPE(LOG_DBG, L"Halyard::CCorvane::CountEvents");
    Configured()->sessionsHolder->GetEventsCount(request, response);
}

} // namespace Halyard
