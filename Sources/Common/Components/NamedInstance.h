// Objects that the host's framework publishes under names ("ConfigServer.Proxy",
// "Core.RequestContextMgr").
#pragma once

#include "Base/ComPtr.h"
#include "Components/ComponentInterfaces.h"
#include "ErrorHandling/ErrorHandling.h"
#include "NodeTree/QuarryText.h"
#include "Trellis/Trellis.h"

namespace Components {

// The instance published under `name`, queried for `iid`, holding one reference. Absence
// (HRESULT_FROM_WIN32(ERROR_NOT_FOUND)) and any other failure raise.
template <typename Interface = Halyard::Interfaces::IBase>
Base::ComPtr<Interface> GetNamedInstance(const wchar_t* name, const GUID& iid) {
    const NodeTree::Utf16Arg name16(name);
    Base::ComPtr<Interface> instance;
    ThrowIfFailed(TrGetNamedInstance(name16.Get(), 0, &iid, instance.ReleaseAndGetVoidAddressOf()));
    return instance;
}

} // namespace Components
