// The direct-call interface between TQMDRV and the companion audio-class
// driver that loads on TQMDRV's child device.
//
// The companion asks the child for it with IRP_MN_QUERY_INTERFACE, naming the
// driver's interface GUID, version 1 and the size of this structure. The child
// fills it and takes one interface reference for the caller, which the caller
// gives back through InterfaceDereference (or the child's removal does).
//
// Layout. The fields are those of a 32-bit build's 28-byte record in the same
// order; in a 64-bit build every pointer field is 8 bytes with natural
// alignment, so the record is 56 bytes there (Instance at 48, then padding).
// The first five fields are the DDK's INTERFACE header.
//
// The call-in routine takes the Adapter pointer of the record, an operation
// number and a block of 32-bit words that carries the arguments and receives
// the replies. A pointer argument (a callback's function and context, a
// buffer address) takes two consecutive words, low word first, in every
// build; the words after it move up by one. So operation 0 reads
// a, b, c, function (words 3-4), context (words 5-6), and operation 2 reads
// direction, selector, (ignored), count, address (words 4-5), half-1 offset
// (word 6), stride (word 7).
#pragma once

#include "driver/kernel.h"

// Returns STATUS_SUCCESS, or STATUS_INVALID_PARAMETER for an index, selector
// or count that names nothing (nothing is changed then).
typedef NTSTATUS TqmCompanionCallIn(PVOID adapter, ULONG operation, ULONG* arguments);

struct TqmCompanionInterface {
  USHORT Size;
  USHORT Version;
  PVOID Context;
  VOID (*InterfaceReference)(PVOID Context);
  VOID (*InterfaceDereference)(PVOID Context);
  TqmCompanionCallIn* CallIn;
  PVOID Adapter;
  ULONG Instance;
};

constexpr USHORT kCompanionInterfaceVersion = 1;

// The call-in operations by number. The ones not named here (13..16, 21 and
// everything above 23) do nothing.
enum TqmCompanionOperation : ULONG {
  kCompanionRegisterCallback = 0,  // a, b, c, function, context
  kCompanionSetPair = 1,           // k, x, y
  kCompanionRegisterBuffers = 2,   // direction, selector, -, count, address, half-1 offset, stride
  kCompanionOpenChannels = 3,      // direction, selector, -, count
  kCompanionCloseChannels = 4,     // direction (4: stop all), selector, -, count
  kCompanionSetFormat = 5,         // -, rate, -, bits, flag16, -, reply
  kCompanionProposeRate = 6,       // rate, reply
  kCompanionQueryValue = 7,        // reply
  kCompanionResetCounters = 8,
  kCompanionQueryFlag = 9,         // byte, reply
  kCompanionQueryMask = 10,        // byte, reply
  kCompanionUseCount = 11,         // index, on
  kCompanionGetPeriodSize = 12,    // reply
  kCompanionSetWdmVolume = 17,     // device, id, left, right (1/65536 dB)
  kCompanionClearWord = 18,        // -, -, reply
  kCompanionGetChannelCounts = 19, // reply, reply
  kCompanionGetSampleBits = 20,    // reply, reply
  kCompanionTakeFlag = 22,         // reply
  kCompanionSetRequestCount = 23,  // count
};

// The selector of operations 2..4 that names client port 1; selector 0 names
// port 0. CloseChannels with direction kCompanionStopAll stops every stream.
constexpr ULONG kCompanionPort1Selector = 4;
constexpr ULONG kCompanionStopAll = 4;

// SetWDMVolume ids.
enum TqmCompanionVolumeId : ULONG {
  kCompanionPlayVolume = 0,
  kCompanionPlayMute = 1,
  kCompanionRecordVolume = 2,
  kCompanionRecordMute = 3,
};

// A period callback: the engine calls function(a, c, context) at dispatch
// level after each period of the slot's direction.
typedef VOID TqmCompanionPeriodCallback(ULONG a, ULONG c, PVOID context);

static_assert(sizeof(void*) != 8 || sizeof(TqmCompanionInterface) == 56,
              "the 64-bit companion interface is 56 bytes");
static_assert(sizeof(void*) != 4 || sizeof(TqmCompanionInterface) == 28,
              "the 32-bit companion interface is 28 bytes");

// Argument words a pointer takes in the call-in block.
constexpr ULONG kCompanionPointerWords = 2;

// Reads and writes a pointer argument at word index `word` of a block.
inline PVOID CompanionPointerArgument(const ULONG* arguments, ULONG word) {
  ULONG64 value = ULONG64(arguments[word]) | ULONG64(arguments[word + 1]) << 32;
  return reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(value));
}
inline void SetCompanionPointerArgument(ULONG* arguments, ULONG word, const void* pointer) {
  const ULONG64 value = reinterpret_cast<ULONG_PTR>(pointer);
  arguments[word] = ULONG(value);
  arguments[word + 1] = ULONG(value >> 32);
}
