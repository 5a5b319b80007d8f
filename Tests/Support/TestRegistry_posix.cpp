#include "Support/TestRegistry.h"

#include "Platform/Win32/TempDirectory.h"

#include <cstdlib>

struct TestRegistry::State {
    TempDirectory dir;
};

TestRegistry::TestRegistry(const std::string& regText) : m_state(std::make_unique<State>()) {
    m_state->dir.Write("test.reg", regText);
    m_ready = ::setenv("PAL_REGISTRY_FILE", (m_state->dir.Path() / "test.reg").c_str(), 1) == 0;
}

TestRegistry::~TestRegistry() {
    ::unsetenv("PAL_REGISTRY_FILE");
}
