#include "Support/DebugOutputCapture.h"

#include "Platform/Win32/TempDirectory.h"

#include <cstdlib>

struct DebugOutputCapture::State {
    TempDirectory dir;
};

DebugOutputCapture::DebugOutputCapture() : m_state(std::make_unique<State>()) {
    m_state->dir.Write("debug.txt", "");
    ::setenv("PAL_DEBUG_OUTPUT", (m_state->dir.Path() / "debug.txt").c_str(), 1);
}

DebugOutputCapture::~DebugOutputCapture() {
    ::unsetenv("PAL_DEBUG_OUTPUT");
}

std::string DebugOutputCapture::Text() const {
    return m_state->dir.Read("debug.txt");
}
