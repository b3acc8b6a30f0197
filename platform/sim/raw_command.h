// One raw CommandRecord sent to the started TQMDRV from a fresh simulated
// process, optionally with the device in another Plug and Play state first:
// what `tqm27sim ioctl` does. The machine has the companion audio driver
// loaded on the child, except for the stop-pending state (the parent refuses
// QUERY_STOP while the companion holds its interface).
//
// Fields are given as byte offsets or by name (FieldByName), with a value or
// `new` for a fresh event handle of the sending process. Commands that pass a
// caller address get one made in the process when none is given: the
// 276-byte settings block of 3.1, 3.2, 3.9 and 3.21 (filled first with the
// driver's current settings, so an apply keeps what it does not change, and
// changed word by word with `mixer.N=VALUE`) and the pointer cell of 2.5.
#pragma once

#include <wdm.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tqm/command_record.h"
#include "tqm/mixer_settings.h"

namespace tqm::sim {

enum class DeviceStateChoice { Started, SurpriseRemoved, StopPending };
std::optional<DeviceStateChoice> ParseDeviceState(const std::string& text);
const char* DeviceStateText(DeviceStateChoice state);

struct FieldAssignment {
  enum class Kind { Word, Slot, NewEvent, MixerWord };
  Kind kind = Kind::Word;
  uint32_t offset = 0;  // byte offset, or the word index for MixerWord
  uint64_t value = 0;
};

// "40=256", "latency=256", "48:8=0x1000", "event=new", "mixer.2=4".
bool ParseFieldAssignment(const std::string& text, FieldAssignment* out, std::string* error);

struct RawCommand {
  uint32_t cls = 0;
  uint32_t subOp = 0;
  std::vector<FieldAssignment> fields;
  DeviceStateChoice state = DeviceStateChoice::Started;
};

struct RawReply {
  NTSTATUS status = 0;
  ULONG information = 0;
  CommandRecord sent{};
  CommandRecord reply{};
  std::string stateReached;  // the device node's state when the command went
  std::optional<MixerSettings> settings;  // the settings block after the command
  std::optional<uint64_t> cell;           // the 2.5 cell after the command
};

bool SendRawCommand(const RawCommand& command, RawReply* reply, std::string* error);

std::string RawReplyText(const RawCommand& command, const RawReply& reply);
std::string RawReplyJson(const RawCommand& command, const RawReply& reply);

}  // namespace tqm::sim
