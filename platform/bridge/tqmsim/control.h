// The simulated machine's control API (tests and the demo, never product
// code), exported by tqmsim.dll and carried on the bridge's connection.
// Every call returns an NT status (0 = success); 0xC000014B when no server
// is reachable.
#pragma once

#include <stdint.h>

#if defined(TQM_SYS_IMPLEMENTATION)
#define TQM_SIM_CONTROL_API extern "C" __declspec(dllexport)
#else
#define TQM_SIM_CONTROL_API extern "C" __declspec(dllimport)
#endif

// Plugs a TQM27 in (Plug and Play starts the driver) or pulls it out
// (surprise removal).
TQM_SIM_CONTROL_API uint32_t TqmSimPlug(void);
TQM_SIM_CONTROL_API uint32_t TqmSimUnplug(void);
// The device's input: 0 silence, 1 its output looped back after `value`
// frames, 2 a sine of `value` Hz at -6 dBFS.
TQM_SIM_CONTROL_API uint32_t TqmSimSetInput(uint32_t kind, uint32_t value);
// Verifier faults the machine found since the server started (a test fails
// when this is not 0).
TQM_SIM_CONTROL_API uint32_t TqmSimFaultCount(uint64_t* faults);
// Virtual time (the server's --time virtual): the machine's time in 100 ns
// units; stop the clock (runFree 0) or let it run on its own again; run a
// stopped clock `milliseconds` on, returning after the signals of that time
// have been delivered to this process.
TQM_SIM_CONTROL_API uint32_t TqmSimNow(uint64_t* now);
TQM_SIM_CONTROL_API uint32_t TqmSimRunFree(int runFree);
TQM_SIM_CONTROL_API uint32_t TqmSimStep(uint32_t milliseconds);
// This process's id on the simulated machine.
TQM_SIM_CONTROL_API uint32_t TqmSimProcessId(uint64_t* id);
// When the kernel last signalled one of this process's events (its own
// handle), in performance-counter units (the server stamps the signal with
// the same clock Wine's counter reads): for measuring how late a waiting
// thread wakes.
TQM_SIM_CONTROL_API uint32_t TqmSimLastSignal(void* event, uint64_t* counter);
// The open handles of a simulated process and whether it has exited.
TQM_SIM_CONTROL_API uint32_t TqmSimProcessState(uint64_t id, uint64_t* handles, int* exited);
