// A GDB remote stub for one guest process. The stub runs the guest itself, one engine run at a
// time, and serves the debugger's packets between runs; while the guest runs, a second thread
// only watches the connection for an interrupt. Breakpoints are hooks on their own addresses,
// so a debugged guest runs translated code as fast as a plain one, but for the engine's stop
// checks that the hooks need.
#pragma once

#include "gdb_protocol.h"
#include "machine.h"

namespace yulos {

// Runs the guest under the debugger on `connection`, held before its first instruction until
// the debugger resumes it, and returns how the guest ended: as it would without a debugger, or
// with the signal the debugger delivered (status 128 + the signal), or killed (status 137).
// A fault stops the guest for the debugger; it ends the guest once the debugger passes the
// signal on, detaches or goes.
StopReason run_under_debugger(Machine& machine, GdbConnection connection);

} // namespace yulos
