// The companion's call-in operations on the engine, and the volume bridge.
//
// The companion audio-class driver owns client ports 0 and 1. It reaches the
// engine only through CompanionCall: one operation number and a block of
// 32-bit words that carries the arguments and takes the replies (pointer
// arguments take two words, see driver/companion_interface.h).
//
// State: the adapter owns the CompanionState (callback table, pair table, use
// counts, first-use flag) and passes it in with its engine. The callback table
// is the companion's record of what it registered; the four slots the engine
// calls are also installed in the engine, which calls them from its completion
// routines. The use counts and the first-use flag change with interlocked
// operations; the tables are written only from the companion's calls.
//
// An index, selector or count that names nothing (a callback slot outside
// a = 0..1, b, c = 0..15, a pair beyond 15, a selector other than 0 and 4, more
// channels than a port has, a request count outside 2..9) is refused with
// STATUS_INVALID_PARAMETER before anything changes. The one exception is the
// stop-all form of CloseChannels (direction 4), which names no channels at all.
//
// Operations that talk to the device or wait for the streams (3, 4, 5, 17, 23)
// run at PASSIVE_LEVEL only and are refused above it.
#include "driver/engine/companion.h"

namespace engine {

namespace {

constexpr ULONG kCallbackKinds = 2, kCallbackRows = 16, kCallbackColumns = 16;
constexpr ULONG kMinRequestCount = 2, kMaxRequestCount = 9;
// What the period query answers when the engine has no status block.
constexpr ULONG kPeriodWithoutBlock = 128;

// Volume levels arrive in 1/65536 dB; the settings words count half-dB steps
// from the bottom of each direction's range.
constexpr LONG kLevelPerHalfDb = 32768;
constexpr LONG kPlayUnityWord = 110, kPlayTopWord = 110;
constexpr LONG kRecordUnityWord = 80, kRecordTopWord = 104;

bool Passive() { return KeGetCurrentIrql() == PASSIVE_LEVEL; }

// The port a selector names; false when the selector or the count names
// channels the port does not have.
bool SelectPort(ULONG selector, ULONG count, ULONG* port) {
  if (count > kPortChannels) return false;
  if (selector == 0) {
    *port = 0;
    return true;
  }
  if (selector == kCompanionPort1Selector) {
    *port = 1;
    return true;
  }
  return false;
}

// A settings volume word for a level: half-dB steps above the bottom of the
// range, truncated toward zero. The word is a 16-bit quantity; a level beyond
// what 16 bits hold saturates there, so a huge cut never wraps into a gain.
LONG VolumeWord(LONG level, LONG unity) {
  LONG word = level / kLevelPerHalfDb + unity;
  if (word < -32768) word = -32768;
  if (word > 32767) word = 32767;
  return word;
}

ULONG WordBit(ULONG word) { return 1u << word; }

bool OutOfRange(LONG left, LONG right, LONG top) {
  return ULONG(USHORT(right)) > ULONG(top) || left < 0 || left > top;
}

NTSTATUS SetWdmVolume(StreamEngine* engine, ULONG device, ULONG id, LONG left, LONG right) {
  tqm::MixerSettings work;
  engine->GetSettings(&work);
  ULONG changed = 0;  // the words this call sets
  switch (id) {
    case kCompanionPlayVolume: {
      const LONG l = VolumeWord(left, kPlayUnityWord);
      const LONG r = VolumeWord(right, kPlayUnityWord);
      if (OutOfRange(l, r, kPlayTopWord))
        TQM_TRACE("SetWDMVolume Volume OUT (Dev[%d], Id[%d], LM[%d] - vL[%d], RM[%d] - vR[%d]) \n", int(device),
                  int(id), int(left), int(l), int(right), int(r));
      if (device == 0) {
        work.playVolume[0] = l;
        work.playVolume[1] = r;
        changed = WordBit(tqm::MixerWord::PlayVolumeLeft) | WordBit(tqm::MixerWord::PlayVolumeRight);
      }
      break;
    }
    case kCompanionPlayMute:
      if (device == 0) {
        work.playMute = left;
        changed = WordBit(tqm::MixerWord::PlayMute);
      }
      break;
    case kCompanionRecordVolume: {
      const LONG l = VolumeWord(left, kRecordUnityWord);
      const LONG r = VolumeWord(right, kRecordUnityWord);
      if (OutOfRange(l, r, kRecordTopWord))
        TQM_TRACE("SetWDMVolume Volume IN WRONG VALUE (Dev[%d], Id[%d], LM[%d] - vL[%d], RM[%d] - vR[%d]) \n",
                  int(device), int(id), int(left), int(l), int(right), int(r));
      if (device == 0) {
        work.recordVolume[0] = l;
        work.recordVolume[1] = r;
        changed = WordBit(tqm::MixerWord::RecordVolumeLeft) | WordBit(tqm::MixerWord::RecordVolumeRight);
      }
      break;
    }
    case kCompanionRecordMute:
      if (device == 0) {
        work.recordMute = left;
        changed = WordBit(tqm::MixerWord::RecordMute);
      }
      break;
    default:
      break;
  }
  // The hardware follows when the deferred apply runs, 50 ms from now.
  engine->ScheduleApply(work, changed);
  return STATUS_SUCCESS;
}

NTSTATUS RegisterCallback(StreamEngine* engine, CompanionState* state, const ULONG* args) {
  const ULONG a = args[0], b = args[1], c = args[2];
  if (a >= kCallbackKinds || b >= kCallbackRows || c >= kCallbackColumns) return STATUS_INVALID_PARAMETER;
  CompanionCallbackSlot& slot = state->callbacks[(kCallbackRows * a + b) * kCallbackColumns + c];
  slot.routine = reinterpret_cast<PeriodCallback>(CompanionPointerArgument(args, 3));
  slot.context = CompanionPointerArgument(args, 3 + kCompanionPointerWords);
  slot.enabled = slot.context != nullptr;
  // The engine calls (0, 0, 0) and (0, 0, 6) after each playback period and
  // (1, 0, 2) and (1, 0, 6) after each record period; the other slots are the
  // companion's own bookkeeping.
  const bool called = b == 0 && ((a == 0 && (c == 0 || c == 6)) || (a == 1 && (c == 2 || c == 6)));
  if (called && engine) {
    if (slot.enabled)
      engine->SetPeriodCallback(a, c, slot.routine, slot.context);
    else
      engine->SetPeriodCallback(a, c, nullptr, nullptr);
  }
  return STATUS_SUCCESS;
}

NTSTATUS RegisterBuffers(StreamEngine* engine, const ULONG* args) {
  const ULONG direction = args[0], selector = args[1], count = args[3];
  ULONG port;
  if (direction >= kDirections || !SelectPort(selector, count, &port)) return STATUS_INVALID_PARAMETER;
  UCHAR* address = static_cast<UCHAR*>(CompanionPointerArgument(args, 4));
  const ULONG secondHalf = args[6], stride = args[7];
  // Channel j's samples follow channel j - 1's by one sample. A null address
  // takes the channel's halves away: both are then null, never an address
  // made from the half-1 offset alone.
  for (ULONG j = 0; j < count; ++j) {
    SampleRun first = {nullptr, stride};
    SampleRun second = {nullptr, stride};
    if (address) {
      first.address = reinterpret_cast<int32_t*>(address + sizeof(int32_t) * j);
      second.address = reinterpret_cast<int32_t*>(address + sizeof(int32_t) * j + secondHalf);
    }
    engine->RegisterHalf(port, direction, j, 0, first);
    engine->RegisterHalf(port, direction, j, 1, second);
  }
  return STATUS_SUCCESS;
}

NTSTATUS OpenChannels(StreamEngine* engine, const ULONG* args) {
  const ULONG direction = args[0], selector = args[1], count = args[3];
  ULONG port;
  if (direction >= kDirections || !SelectPort(selector, count, &port)) return STATUS_INVALID_PARAMETER;
  NTSTATUS result = STATUS_SUCCESS;
  for (ULONG j = 0; j < count; ++j) {
    const NTSTATUS status = engine->OpenChannel(port, direction, j);
    if (!NT_SUCCESS(status) && NT_SUCCESS(result)) result = status;
  }
  return result;
}

NTSTATUS CloseChannels(StreamEngine* engine, const ULONG* args) {
  const ULONG direction = args[0], selector = args[1], count = args[3];
  if (direction == kCompanionStopAll) {
    // Every stream stops, whoever still has channels open; stopping the
    // streams clears the peak words.
    engine->StopAllStreams();
    return STATUS_SUCCESS;
  }
  ULONG port;
  if (direction >= kDirections || !SelectPort(selector, count, &port)) return STATUS_INVALID_PARAMETER;
  for (ULONG j = 0; j < count; ++j) {
    // Port 1's clients learn of the close from slot 0 before it happens.
    if (port == 1) engine->Signal(0);
    engine->CloseChannel(port, direction, j);
  }
  engine->mixer().ClearPeaks();
  return STATUS_SUCCESS;
}

NTSTATUS SetFormat(StreamEngine* engine, ULONG* args) {
  const ULONG rate = args[1], bits = args[3], flag16 = args[4];
  engine->SetMode(flag16);
  const NTSTATUS status = engine->SetRate(rate, engine->mode() != 0);
  if (tqm::DeviceStatusBlock* block = engine->status())
    WriteShared(&block->containerBits, bits);
  args[6] = 0;
  return status;
}

bool NeedsArguments(ULONG operation) {
  switch (operation) {
    case kCompanionResetCounters:
    case 13:
    case 14:
    case 15:
    case 16:
    case 21:
      return false;
    default:
      return operation <= kCompanionSetRequestCount;
  }
}

bool NeedsEngine(ULONG operation) {
  switch (operation) {
    case kCompanionRegisterBuffers:
    case kCompanionOpenChannels:
    case kCompanionCloseChannels:
    case kCompanionSetFormat:
    case kCompanionProposeRate:
    case kCompanionSetWdmVolume:
    case kCompanionSetRequestCount:
      return true;
    default:
      return false;
  }
}

bool BlocksOnDevice(ULONG operation) {
  switch (operation) {
    case kCompanionOpenChannels:
    case kCompanionCloseChannels:
    case kCompanionSetFormat:
    case kCompanionSetWdmVolume:
    case kCompanionSetRequestCount:
      return true;
    default:
      return false;
  }
}

}  // namespace

NTSTATUS CompanionCall(StreamEngine* engine, CompanionState* state, ULONG operation, ULONG* args) {
  if (!state || (NeedsArguments(operation) && !args)) return STATUS_INVALID_PARAMETER;
  if (NeedsEngine(operation) && !engine) return STATUS_INVALID_DEVICE_STATE;
  if (BlocksOnDevice(operation) && !Passive()) return STATUS_INVALID_DEVICE_STATE;

  switch (operation) {
    case kCompanionRegisterCallback:
      return RegisterCallback(engine, state, args);
    case kCompanionSetPair: {
      const ULONG k = args[0];
      if (k >= kCompanionPairs) return STATUS_INVALID_PARAMETER;
      state->pairs[k][0] = args[1];
      state->pairs[k][1] = args[2];
      return STATUS_SUCCESS;
    }
    case kCompanionRegisterBuffers:
      return RegisterBuffers(engine, args);
    case kCompanionOpenChannels:
      return OpenChannels(engine, args);
    case kCompanionCloseChannels:
      return CloseChannels(engine, args);
    case kCompanionSetFormat:
      return SetFormat(engine, args);
    case kCompanionProposeRate:
      args[1] = engine->ProposeRate(args[0]);
      return STATUS_SUCCESS;
    case kCompanionQueryValue:
      InterlockedExchange(&state->useCounts[0], 0);
      InterlockedExchange(&state->useCounts[1], 0);
      args[0] = 0;
      return STATUS_SUCCESS;
    case kCompanionResetCounters:
      InterlockedExchange(&state->useCounts[0], 0);
      InterlockedExchange(&state->useCounts[1], 0);
      return STATUS_SUCCESS;
    case kCompanionQueryFlag:
      args[1] = 1;
      return STATUS_SUCCESS;
    case kCompanionQueryMask:
      args[1] = 0xFFFF;
      return STATUS_SUCCESS;
    case kCompanionUseCount: {
      volatile LONG* count = &state->useCounts[args[0] & 0xFF];
      if (args[1] == 1) InterlockedIncrement(count);
      if (args[1] == 0) InterlockedDecrement(count);
      return STATUS_SUCCESS;
    }
    case kCompanionGetPeriodSize:
      if (!engine)
        args[0] = 0;
      else if (!engine->status())
        args[0] = kPeriodWithoutBlock;
      else
        args[0] = engine->periodFrames();
      return STATUS_SUCCESS;
    case kCompanionSetWdmVolume:
      return SetWdmVolume(engine, args[0], args[1], LONG(args[2]), LONG(args[3]));
    case kCompanionClearWord:
      args[2] = 0;
      return STATUS_SUCCESS;
    case kCompanionGetChannelCounts:
      args[0] = args[1] = 2;
      return STATUS_SUCCESS;
    case kCompanionGetSampleBits:
      args[0] = args[1] = 32;
      return STATUS_SUCCESS;
    case kCompanionTakeFlag:
      args[0] = InterlockedExchange(&state->firstUse, 0) != 0 ? 1 : 0;
      return STATUS_SUCCESS;
    case kCompanionSetRequestCount:
      // A pipe stream has ten request slots: the count stays within 2..9
      // here as at every other entry.
      if (args[0] < kMinRequestCount || args[0] > kMaxRequestCount) return STATUS_INVALID_PARAMETER;
      return engine->SetRequestCount(args[0]);
    default:
      // 13..16, 21 and everything above 23 do nothing.
      return STATUS_SUCCESS;
  }
}

}  // namespace engine
