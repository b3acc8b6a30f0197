// The one control code of the driver and the 128-byte CommandRecord it carries.
//
// A client zeroes the record, fills the class, the sub-op and the fields of its
// command, and passes the same buffer as input and output (both 128 bytes). The
// driver rewrites it in place; the I/O manager copies it back only on success, so
// a client pre-fills any output whose old value it relies on.
//
// Every field is a 32-bit little-endian word unless it is an 8-byte slot. A slot
// holds a pointer-sized value (a handle, a caller address, a kernel token): a
// 64-bit client writes all 8 bytes, a 32-bit driver reads the low 4. Slots are
// 8-byte aligned and never overlap another field of the same command.
#pragma once

#include "tqm/wire.h"

namespace tqm {

// ---- control code ---------------------------------------------------------

// Our own spelling of the Windows control-code layout (device type, access,
// function, transfer method); CTL_CODE is the DDK's macro and must not be
// redefined here.
constexpr uint32_t MakeControlCode(uint32_t deviceType, uint32_t function, uint32_t method,
                                   uint32_t access) {
  return deviceType << 16 | access << 14 | function << 2 | method;
}
constexpr uint32_t ControlCodeDeviceType(uint32_t code) { return code >> 16; }
constexpr uint32_t ControlCodeAccess(uint32_t code) { return (code >> 14) & 3; }
constexpr uint32_t ControlCodeFunction(uint32_t code) { return (code >> 2) & 0xFFF; }
constexpr uint32_t ControlCodeMethod(uint32_t code) { return code & 3; }

constexpr uint32_t kDeviceTypeBusExtender = 0x2A;  // FILE_DEVICE_BUS_EXTENDER
constexpr uint32_t kCommandFunction = 0xEEE;
constexpr uint32_t kMethodBuffered = 0;             // METHOD_BUFFERED
constexpr uint32_t kAnyAccess = 0;                  // FILE_ANY_ACCESS

constexpr uint32_t kCommandControlCode =
    MakeControlCode(kDeviceTypeBusExtender, kCommandFunction, kMethodBuffered, kAnyAccess);
static_assert(kCommandControlCode == 0x2A3BB8 && kCommandControlCode == 2767800);

// ---- classes and sub-ops ----------------------------------------------------

constexpr uint32_t CMD_CLASS_DRIVER = 1;   // identity probe; both clients
constexpr uint32_t CMD_CLASS_STREAM = 2;   // the ASIO driver, engine port 2
constexpr uint32_t CMD_CLASS_CONTROL = 3;  // the control panel

namespace DriverOp {
constexpr uint32_t Identify = 1;          // 12 = 1, 16 = 0
constexpr uint32_t ReservedQuery = 4;     // 28 = 0
constexpr uint32_t ReservedSet = 5;       // no effect
constexpr uint32_t GetChannelCounts = 6;  // 44 = inputs, 48 = outputs
constexpr uint32_t GetDriverVersion = 7;  // 12 = major, 16 = minor
constexpr uint32_t UnloadService = 9;
}  // namespace DriverOp

namespace StreamOp {
constexpr uint32_t SetPeriodEvent = 1;
constexpr uint32_t SetSampleRate = 2;
constexpr uint32_t SetClientBuffer = 3;
constexpr uint32_t ActivateChannelMask = 4;
constexpr uint32_t AllocSharedBuffer = 5;
constexpr uint32_t ActivateChannels = 7;
constexpr uint32_t StartStop = 8;
constexpr uint32_t QueryStreamHealth = 9;
constexpr uint32_t OutputReady = 10;
constexpr uint32_t TakePendingFlag = 11;
constexpr uint32_t MapStatusBlock = 14;
}  // namespace StreamOp

namespace ControlOp {
constexpr uint32_t GetSettings = 1;
constexpr uint32_t ApplySettings = 2;
constexpr uint32_t MapStatusBlock = 3;
constexpr uint32_t SetLatency = 4;
constexpr uint32_t GetLatency = 5;
constexpr uint32_t Reserved6 = 6;  // fields 48..68 accepted and ignored
constexpr uint32_t SetRateEvent = 7;
constexpr uint32_t Reserved8 = 8;
constexpr uint32_t ApplyAndSaveSettings = 9;
constexpr uint32_t GetActiveClient = 10;
constexpr uint32_t SetRemovalEvent = 16;
constexpr uint32_t NoOp17 = 17;
constexpr uint32_t FixedQuery = 18;  // 24 = 999
constexpr uint32_t NoOp19 = 19;
constexpr uint32_t NoOp20 = 20;
constexpr uint32_t ApplySettingsAlias = 21;  // the same as ApplySettings
}  // namespace ControlOp

constexpr uint32_t kFixedQueryAnswer = 999;
constexpr uint32_t kIdentifyMajor = 1, kIdentifyMinor = 0;
constexpr uint32_t kDriverVersionMajor = 2, kDriverVersionMinor = 1;
constexpr uint32_t kProbeFill = 255;  // what clients write into 12 and 16 before Identify

// ---- field offsets ------------------------------------------------------------
// Several commands share an offset; each meaning has its own name.

namespace Field {
constexpr uint32_t Class = 0;
constexpr uint32_t SubOp = 8;
constexpr uint32_t VersionMajor = 12;      // out: 1.1, 1.7
constexpr uint32_t MapFlag = 12;           // in: 2.14, 3.3 (1 = map, anything else unmaps)
constexpr uint32_t QueryArg0 = 12;         // in: 3.18
constexpr uint32_t VersionMinor = 16;      // out: 1.1, 1.7
constexpr uint32_t PeriodEvent = 16;       // slot, in: 2.1
constexpr uint32_t SettingsAddress = 16;   // slot, in: 3.1, 3.2, 3.9, 3.21 (276-byte block)
constexpr uint32_t QueryArg1 = 16;         // in: 3.18
constexpr uint32_t QueryArg2 = 20;         // in: 3.18
constexpr uint32_t StatusAddress = 24;     // slot, in/out: 2.14, 3.3
constexpr uint32_t QueryResult = 24;       // out: 3.18
constexpr uint32_t ReservedResult = 28;    // out: 1.4
constexpr uint32_t StatusToken = 32;       // slot, in/out: 2.14, 3.3
constexpr uint32_t SampleRate = 32;        // in: 2.2
constexpr uint32_t Direction = 36;         // in: 2.3 (0 = playback, 1 = record)
constexpr uint32_t Channel = 40;           // in: 2.3
constexpr uint32_t Latency = 40;           // in: 3.4, out: 3.5 (frames)
constexpr uint32_t Half = 44;              // in: 2.3 (0/1)
constexpr uint32_t BusyCheck = 44;         // in: 3.4
constexpr uint32_t InputCount = 44;        // out: 1.6
constexpr uint32_t HalfAddress = 48;       // slot, in: 2.3 (0 = none)
constexpr uint32_t OutputCount = 48;       // out: 1.6
constexpr uint32_t Stride = 56;            // in: 2.3 (32-bit words)
constexpr uint32_t ChannelMask = 60;       // in: 2.4 (bits 0-15 outputs, 16-31 inputs)
constexpr uint32_t OnOff = 64;             // in: 2.4, 2.7, 2.8; out: 2.4, 2.7, 2.9, 2.11
constexpr uint32_t SharedLength = 68;      // in: 2.5 (0 = release)
constexpr uint32_t SharedCell = 72;        // slot, in: 2.5 (caller cell for the address)
constexpr uint32_t NotifyEvent = 72;       // slot, in: 3.7, 3.16 (0 = clear)
constexpr uint32_t ActiveClient = 80;      // out: 3.10
constexpr uint32_t OutputMask = 88;        // in: 2.7 (2 bits)
constexpr uint32_t InputMask = 92;         // in: 2.7 (2 bits)
constexpr uint32_t ReadyHalf = 112;        // in: 2.10
constexpr uint32_t ReadyArg2 = 116;        // in: 2.10, ignored
}  // namespace Field

constexpr uint32_t kCommandRecordSize = 128;

// The record as bytes with checked-width accessors. Offsets are the Field names.
struct CommandRecord {
  uint8_t bytes[kCommandRecordSize];

  uint32_t Get32(uint32_t offset) const { return LoadLe32(bytes + offset); }
  void Set32(uint32_t offset, uint32_t value) { StoreLe32(bytes + offset, value); }
  uint64_t GetSlot(uint32_t offset) const { return LoadLe64(bytes + offset); }
  void SetSlot(uint32_t offset, uint64_t value) { StoreLe64(bytes + offset, value); }
};
static_assert(sizeof(CommandRecord) == 128);

// Every 8-byte slot sits on an 8-byte boundary inside the record.
constexpr bool IsSlotOffset(uint32_t offset) {
  return offset % 8 == 0 && offset + 8 <= kCommandRecordSize;
}
static_assert(IsSlotOffset(Field::PeriodEvent) && IsSlotOffset(Field::SettingsAddress));
static_assert(IsSlotOffset(Field::StatusAddress) && IsSlotOffset(Field::StatusToken));
static_assert(IsSlotOffset(Field::HalfAddress) && IsSlotOffset(Field::SharedCell));
// 2.3 reads a slot at 48 and a word at 56: the slot ends where the stride begins.
static_assert(Field::HalfAddress + 8 == Field::Stride);
// 2.14/3.3 read slots at 24 and 32 and the map flag at 12: no overlap.
static_assert(Field::MapFlag + 4 <= Field::StatusAddress &&
              Field::StatusAddress + 8 == Field::StatusToken);
static_assert(Field::ReadyArg2 + 4 <= kCommandRecordSize);

}  // namespace tqm
