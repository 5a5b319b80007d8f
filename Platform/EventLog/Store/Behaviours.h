// The Windows behaviours a test asked the stand-in for (PalEventLogSetBehaviour in
// Win32/PalEventLogFaults.h): respects in which Windows differs from the stand-in's default, or one
// Windows build from another. Safe from any thread.
#pragma once

#include "Win32/WinTypes.h"

namespace PalEventLog {

// The value set for a PAL_WINDOWS_BEHAVIOUR (0: off, also for a number that names none).
DWORD Behaviour(DWORD behaviour) noexcept;
// Sets it; a number that names no behaviour is ignored.
void SetBehaviour(DWORD behaviour, DWORD value) noexcept;
// Turns every behaviour off.
void ClearBehaviours() noexcept;

} // namespace PalEventLog
