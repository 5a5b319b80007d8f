// "ConfigServer.Proxy": the host's configuration server as the framework publishes it. It offers
// nothing beyond its identity; components only check that it is there.
#pragma once

#include "RefCounted.h"

#include <array>

namespace Trellis {

class ConfigServerProxy final
    : public RefCounted<ConfigServerProxy, Halyard::Interfaces::IConfigServerProxy> {
public:
    static std::array<GUID, 1> Interfaces() noexcept {
        return {Halyard::Interfaces::IID_ConfigServerProxy};
    }
};

} // namespace Trellis
