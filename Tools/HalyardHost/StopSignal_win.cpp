#include "StopSignal.h"

#include "Platform.h"

namespace HalyardHost {

namespace {

HANDLE g_stop = nullptr;

BOOL WINAPI OnConsoleControl(DWORD) {
    SetEvent(g_stop);
    return TRUE;
}

} // namespace

void HoldStopSignals() {
    g_stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    SetConsoleCtrlHandler(OnConsoleControl, TRUE);
}

void WaitForStopSignal() {
    WaitForSingleObject(g_stop, INFINITE);
}

} // namespace HalyardHost
