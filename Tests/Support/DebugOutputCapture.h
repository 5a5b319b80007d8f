// Captures the debug output (OutputDebugStringW) of this process for one test.
#pragma once

#include <memory>
#include <string>

class DebugOutputCapture {
public:
    // Starts capturing: on Linux the stand-in writes the output into a file of the capture's own
    // (PAL_DEBUG_OUTPUT); on Windows the capture listens as a debug monitor does (the DBWIN buffer
    // and its two events), keeping this process's lines only.
    DebugOutputCapture();
    ~DebugOutputCapture();
    DebugOutputCapture(const DebugOutputCapture&) = delete;
    DebugOutputCapture& operator=(const DebugOutputCapture&) = delete;

    // Everything this process sent since the capture started, as narrow text.
    std::string Text() const;

private:
    struct State;
    std::unique_ptr<State> m_state;
};
