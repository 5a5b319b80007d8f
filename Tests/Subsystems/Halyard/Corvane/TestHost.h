// A host for tests: loads the module through its one export, creates and configures the
// component, and sends requests, using nothing but the C interfaces a real host has.
#pragma once

#include "Components/ComponentInterfaces.h"
#include "NodeTree/EkNodePtr.h"
#include "NodeTree/QuarryText.h"
#include "Trellis/Trellis.h"

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <unistd.h>

#include <string>

namespace TestHost {

// The path of a file beside the test program (the build's bin folder).
inline std::string BesideTestProgram(const char* name) {
    char path[4096] = {};
    const ssize_t length = readlink("/proc/self/exe", path, sizeof(path) - 1);
    std::string self(path, length > 0 ? static_cast<size_t>(length) : 0);
    return self.substr(0, self.rfind('/') + 1) + name;
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

inline EkNodePtr Config(const wchar_t* channel) {
    EkNodePtr config = EkNodePtr::CreateNode(L"Config", nullptr);
    if (channel != nullptr) {
        config.SetAttribute(L"LogChannelName", channel);
    }
    config.SetAttribute(L"SessionTimeLiveInMin", int64_t{10});
    config.SetAttribute(L"SessionCheckIntervalInSec", int64_t{60});
    config.SetAttribute(L"TimeOutIntervalInSec", int32_t{30});
    return config;
}

} // namespace TestHost
