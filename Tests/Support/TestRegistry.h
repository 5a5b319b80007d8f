// Registry contents for one test, given as the text of a .reg file ("Windows Registry Editor
// Version 5.00", as regedit exports it).
#pragma once

#include <memory>
#include <string>

class TestRegistry {
public:
    // On Linux the stand-in reads the file (PAL_REGISTRY_FILE) while the object lives; on Windows
    // the file is imported into the real registry (reg.exe import), and the keys its sections name
    // are deleted again when the object goes.
    explicit TestRegistry(const std::string& regText);
    ~TestRegistry();
    TestRegistry(const TestRegistry&) = delete;
    TestRegistry& operator=(const TestRegistry&) = delete;

    // Whether the contents are in place.
    bool Ready() const noexcept { return m_ready; }

private:
    struct State;
    std::unique_ptr<State> m_state;
    bool m_ready = false;
};
