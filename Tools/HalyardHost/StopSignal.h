// Ending the host by Ctrl-C or a termination request, in the main thread, outside any signal
// handler.
#pragma once

namespace HalyardHost {

// Call first thing in main, before any thread starts: keeps the stop signals for the main thread's
// wait (threads started later inherit the blocked signals).
void HoldStopSignals();
// Returns when Ctrl-C or a termination request arrived.
void WaitForStopSignal();

} // namespace HalyardHost
