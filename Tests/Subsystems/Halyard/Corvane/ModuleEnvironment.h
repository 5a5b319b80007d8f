// The environment of a test program that drives the built module as a host does.
#pragma once

#include "Common/Logging/LogTestSupport.h"
#include "ProcessStore.h"
#include "TestHost.h"

#include <cstdlib>
#include <string>

namespace TestHost {

// A test program's store, data directory and module, set up before the first Event Log call: the
// store of the program's own (the tests write events and damage files), the module's log at
// `logSeverity`, and the module loaded once, as a host loads it, for the whole program.
// `trackAliveObjects` switches the live-object tracker on.
struct ModuleEnvironment {
    ProcessStore store;
    TempDirectory data;
    Halyard::Interfaces::IModule* module = nullptr;

    explicit ModuleEnvironment(const char* logSeverity, bool trackAliveObjects = false) {
        ::setenv("GS_General_DataDirectoryPath", data.Path().c_str(), 1);
        ::setenv("GS_Logger_MaxSeverity", logSeverity, 1);
        if (trackAliveObjects) {
            ::setenv("GS_Debug_EnableAliveObjectsTracking", "1", 1);
        }
        LoadModule(module);
    }

    // The module's log as far as it is written.
    std::wstring Log() const { return ReadUtf16Le(data.Read("Logs/Corvane.log")); }
};

} // namespace TestHost
