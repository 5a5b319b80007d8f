// A host for tests: loads the module through its one export, creates and configures the
// component, and sends requests, using nothing but the C interfaces a real host has.
#pragma once

#include "Components/ComponentInterfaces.h"
#include "NodeTree/EkNodePtr.h"
#include "NodeTree/QuarryText.h"
#include "Support/CorvaneRequests.h"
#include "Trellis/Trellis.h"

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <unistd.h>

#include <string>
#include <string_view>
#include <vector>

namespace TestHost {

// The path of a file beside the test program (the build's bin folder).
inline std::string BesideTestProgram(const char* name) {
    char path[4096] = {};
    const ssize_t length = readlink("/proc/self/exe", path, sizeof(path) - 1);
    std::string self(path, length > 0 ? static_cast<size_t>(length) : 0);
    return self.substr(0, self.rfind('/') + 1) + name;
}

// Loads the built module beside the test program and takes its module object through the one
// export; the library handle (for dlclose), or null with a test failure added.
inline void* LoadModule(Halyard::Interfaces::IModule*& module) {
    void* library = dlopen(BesideTestProgram("Corvane.so").c_str(), RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        ADD_FAILURE() << dlerror();
        return nullptr;
    }
    const auto get = reinterpret_cast<PFN_GetComponentsModuleObject>(
        dlsym(library, "GetComponentsModuleObject"));
    if (get == nullptr || get(&module) != S_OK) {
        ADD_FAILURE() << "no module object";
    }
    return library;
}

using CorvaneRequests::Node;

// The envelope's code of a response.
inline HRESULT ResultOf(const EkNodePtr& response) {
    return static_cast<HRESULT>(response.GetInt64(L"ResultCode"));
}

// The component's interfaces, each holding one reference.
struct Component {
    Halyard::Interfaces::IConfigure* configure = nullptr;
    Halyard::Interfaces::IProcessRequest* process = nullptr;
    Halyard::Interfaces::IShutdown* shutdown = nullptr;

    Component() = default;
    Component(const Component&) = delete;
    Component& operator=(const Component&) = delete;
    ~Component() {
        for (Halyard::Interfaces::IBase* itf :
             {static_cast<Halyard::Interfaces::IBase*>(configure),
              static_cast<Halyard::Interfaces::IBase*>(process),
              static_cast<Halyard::Interfaces::IBase*>(shutdown)}) {
            if (itf != nullptr) {
                itf->Release();
            }
        }
    }

    // Creates the component through the module interface and queries its interfaces.
    void Create(Halyard::Interfaces::IModule* module) {
        using namespace Halyard::Interfaces;
        ASSERT_EQ(module->CreateInstance(&CLSID_Corvane, &IID_Configure,
                                         reinterpret_cast<void**>(&configure)),
                  S_OK);
        ASSERT_EQ(
            configure->QueryInterface(&IID_ProcessRequest, reinterpret_cast<void**>(&process)),
            S_OK);
        ASSERT_EQ(configure->QueryInterface(&IID_Shutdown, reinterpret_cast<void**>(&shutdown)),
                  S_OK);
    }

    // Sends one request; the response the host then owns.
    EkNodePtr Send(const EkNodePtr& request) {
        void* response = nullptr;
        EXPECT_EQ(process->ProcessRequest(request.Get(), &response), S_OK);
        return EkNodePtr(response, true);
    }
};

// A component configuration for `channel` without the key `omitted` (an attribute, or the child
// "InsertionalStringsResolver"). The resolver reads plan and item names from the monitor's events
// and skips the disk driver's.
inline EkNodePtr Config(const wchar_t* channel, std::wstring_view omitted = {}) {
    EkNodePtr config = EkNodePtr::CreateNode(L"Config", nullptr);
    if (channel != nullptr) {
        config.SetAttribute(L"LogChannelName", channel);
    }
    if (omitted != L"SessionTimeLiveInMin") {
        config.SetAttribute(L"SessionTimeLiveInMin", int64_t{10});
    }
    if (omitted != L"SessionCheckIntervalInSec") {
        config.SetAttribute(L"SessionCheckIntervalInSec", int64_t{60});
    }
    if (omitted != L"TimeOutIntervalInSec") {
        config.SetAttribute(L"TimeOutIntervalInSec", int32_t{30});
    }
    if (omitted != L"InsertionalStringsResolver") {
        const EkNodePtr resolver = EkNodePtr::CreateNode(L"InsertionalStringsResolver", nullptr);
        resolver.SetAttribute(L"EventsProvidersToSkip", std::vector<std::wstring>{L"Sample-Disk"});
        const EkNodePtr selection = EkNodePtr::CreateNode(L"MonitoringPlansAndItem", nullptr);
        const EkNodePtr include = EkNodePtr::CreateNode(L"Include", nullptr);
        const EkNodePtr map = EkNodePtr::CreateNode(L"Map", L"ProviderMap");
        map.SetAttribute(L"ProviderName", L"Halyard-Monitor");
        map.SetAttribute(L"Events", std::vector<std::wstring>{L"2001"});
        include.AddChild(map);
        selection.AddChild(include);
        resolver.AddChild(selection);
        config.AddChild(resolver);
    }
    return config;
}

} // namespace TestHost
