// The engine side of the companion interface: the call-in operations the
// companion audio-class driver reaches through TqmCompanionInterface::CallIn,
// and the volume bridge ("SetWDMVolume").
//
// The adapter owns one CompanionState (zeroed with it, firstUse set to 1 at
// construction) and its StreamEngine; the adapter's call-in routine passes
// both here. The tables are read and written only by the companion's calls.
#pragma once

#include "driver/companion_interface.h"
#include "driver/engine/stream_engine.h"

namespace engine {

constexpr ULONG kCompanionCallbackSlots = 512;  // (16a + b) * 16 + c, a = 0..1, b, c = 0..15
constexpr ULONG kCompanionPairs = 16;
constexpr ULONG kCompanionUseCounts = 256;      // by byte index

struct CompanionCallbackSlot {
  ULONG enabled;
  PeriodCallback routine;
  PVOID context;
};

struct CompanionState {
  CompanionCallbackSlot callbacks[kCompanionCallbackSlots];
  ULONG pairs[kCompanionPairs][2];
  volatile LONG useCounts[kCompanionUseCounts];
  volatile LONG firstUse;
};

// Runs call-in operation `operation` with its argument block (layout in
// driver/companion_interface.h) on the engine. Operations 3, 4, 5, 17 and 23
// run at PASSIVE_LEVEL only.
NTSTATUS CompanionCall(StreamEngine* engine, CompanionState* state, ULONG operation, ULONG* arguments);

}  // namespace engine
