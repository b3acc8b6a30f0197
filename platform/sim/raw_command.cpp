// One raw command to the started driver (raw_command.h).
#include "platform/sim/raw_command.h"

#include <cstring>
#include <sstream>

#include "platform/sim/device_client.h"
#include "platform/sim/simulator.h"

namespace tqm::sim {

namespace {

struct NamedField {
  const char* name;
  uint32_t offset;
  bool slot;
};
// Names of the record's fields as the commands use them.
constexpr NamedField kFields[] = {
    {"mapflag", Field::MapFlag, false},        {"major", Field::VersionMajor, false},
    {"minor", Field::VersionMinor, false},     {"event", Field::PeriodEvent, true},
    {"settings", Field::SettingsAddress, true}, {"address", Field::StatusAddress, true},
    {"token", Field::StatusToken, true},       {"rate", Field::SampleRate, false},
    {"direction", Field::Direction, false},    {"channel", Field::Channel, false},
    {"latency", Field::Latency, false},        {"half", Field::Half, false},
    {"busy", Field::BusyCheck, false},         {"halfaddress", Field::HalfAddress, true},
    {"stride", Field::Stride, false},          {"mask", Field::ChannelMask, false},
    {"onoff", Field::OnOff, false},            {"length", Field::SharedLength, false},
    {"cell", Field::SharedCell, true},         {"notify", Field::NotifyEvent, true},
    {"client", Field::ActiveClient, false},    {"outmask", Field::OutputMask, false},
    {"inmask", Field::InputMask, false},       {"readyhalf", Field::ReadyHalf, false},
};

struct CommandName {
  uint32_t cls, subOp;
  const char* name;
};
constexpr CommandName kCommands[] = {
    {1, 1, "Identify"},          {1, 4, "ReservedQuery"},      {1, 5, "ReservedSet"},
    {1, 6, "GetChannelCounts"},  {1, 7, "GetDriverVersion"},   {1, 9, "UnloadService"},
    {2, 1, "SetPeriodEvent"},    {2, 2, "SetSampleRate"},      {2, 3, "SetClientBuffer"},
    {2, 4, "ActivateChannelMask"}, {2, 5, "AllocSharedBuffer"}, {2, 7, "ActivateChannels"},
    {2, 8, "StartStop"},         {2, 9, "QueryStreamHealth"},  {2, 10, "OutputReady"},
    {2, 11, "TakePendingFlag"},  {2, 14, "MapStatusBlock"},    {3, 1, "GetSettings"},
    {3, 2, "ApplySettings"},     {3, 3, "MapStatusBlock"},     {3, 4, "SetLatency"},
    {3, 5, "GetLatency"},        {3, 7, "SetRateEvent"},       {3, 9, "ApplyAndSaveSettings"},
    {3, 10, "GetActiveClient"},  {3, 16, "SetRemovalEvent"},   {3, 18, "FixedQuery"},
    {3, 21, "ApplySettings"},
};

const char* CommandNameOf(uint32_t cls, uint32_t subOp) {
  for (const CommandName& c : kCommands)
    if (c.cls == cls && c.subOp == subOp) return c.name;
  return "unknown";
}

bool ParseNumber(const std::string& text, uint64_t* value) {
  if (text.empty()) return false;
  char* end = nullptr;
  *value = std::strtoull(text.c_str(), &end, 0);
  return end && *end == 0;
}

bool UsesSettingsBlock(uint32_t cls, uint32_t subOp) {
  return cls == CMD_CLASS_CONTROL &&
         (subOp == ControlOp::GetSettings || subOp == ControlOp::ApplySettings ||
          subOp == ControlOp::ApplyAndSaveSettings || subOp == ControlOp::ApplySettingsAlias);
}

bool Given(const RawCommand& c, uint32_t offset) {
  for (const FieldAssignment& f : c.fields)
    if (f.kind != FieldAssignment::Kind::MixerWord && f.offset == offset) return true;
  return false;
}

uint64_t AddressOf(const void* p) { return uint64_t(reinterpret_cast<uintptr_t>(p)); }

}  // namespace

std::optional<DeviceStateChoice> ParseDeviceState(const std::string& text) {
  if (text == "started") return DeviceStateChoice::Started;
  if (text == "surprise-removed") return DeviceStateChoice::SurpriseRemoved;
  if (text == "stop-pending") return DeviceStateChoice::StopPending;
  return std::nullopt;
}

const char* DeviceStateText(DeviceStateChoice state) {
  switch (state) {
    case DeviceStateChoice::Started: return "started";
    case DeviceStateChoice::SurpriseRemoved: return "surprise-removed";
    case DeviceStateChoice::StopPending: return "stop-pending";
  }
  return "";
}

bool ParseFieldAssignment(const std::string& text, FieldAssignment* out, std::string* error) {
  const size_t eq = text.find('=');
  if (eq == std::string::npos || eq == 0) {
    *error = "a field is FIELD=VALUE: " + text;
    return false;
  }
  std::string field = text.substr(0, eq);
  const std::string value = text.substr(eq + 1);
  *out = FieldAssignment{};
  if (field.rfind("mixer.", 0) == 0) {
    uint64_t word;
    if (!ParseNumber(field.substr(6), &word) || word >= MixerWord::Count) {
      *error = "no such settings word: " + field;
      return false;
    }
    out->kind = FieldAssignment::Kind::MixerWord;
    out->offset = uint32_t(word);
  } else {
    bool slot = false;
    uint64_t offset = 0;
    if (field.size() > 2 && field.compare(field.size() - 2, 2, ":8") == 0) {
      slot = true;
      field.resize(field.size() - 2);
    }
    bool named = false;
    for (const NamedField& f : kFields) {
      if (field == f.name) {
        offset = f.offset;
        slot = slot || f.slot;
        named = true;
      }
    }
    if (!named && !ParseNumber(field, &offset)) {
      *error = "no such field: " + field;
      return false;
    }
    if (offset % 4 != 0 || offset + (slot ? 8 : 4) > kCommandRecordSize || (slot && offset % 8 != 0)) {
      *error = "field outside the record or misaligned: " + text;
      return false;
    }
    out->offset = uint32_t(offset);
    out->kind = slot ? FieldAssignment::Kind::Slot : FieldAssignment::Kind::Word;
    if (value == "new") {
      if (!slot) {
        *error = "an event handle goes into an 8-byte slot: " + text;
        return false;
      }
      out->kind = FieldAssignment::Kind::NewEvent;
      return true;
    }
  }
  if (!ParseNumber(value, &out->value)) {
    *error = "not a number: " + value;
    return false;
  }
  return true;
}

bool SendRawCommand(const RawCommand& command, RawReply* reply, std::string* error) {
  // The companion holds the child's interface, and the parent refuses
  // QUERY_STOP while it does: a stop-pending device is one without it.
  SimulatorOptions options;
  options.companion = command.state != DeviceStateChoice::StopPending;
  Simulator sim(options);
  if (!sim.Plug()) {
    *error = "the TQM27 could not be plugged in";
    return false;
  }
  const std::vector<std::wstring> paths = sim.DriverInterfaces();
  if (paths.empty()) {
    *error = "TQMDRV exposes no device interface";
    return false;
  }
  bool ok = true;
  {
    DeviceClient client(sim.machine(), "ioctl");
    const NTSTATUS opened = client.Open(paths.back());
    if (!NT_SUCCESS(opened)) {
      *error = "opening the device failed: " + StatusText(opened);
      return false;
    }
    kernel::Process& process = client.process();
    CommandRecord record = DeviceClient::Record(command.cls, command.subOp);

    void* settingsBlock = nullptr;
    if (UsesSettingsBlock(command.cls, command.subOp) && !Given(command, Field::SettingsAddress)) {
      MixerSettings settings{};
      if (command.subOp != ControlOp::GetSettings) {
        if (std::optional<MixerSettings> current = client.GetSettings()) settings = *current;
      }
      for (const FieldAssignment& f : command.fields)
        if (f.kind == FieldAssignment::Kind::MixerWord) settings.words()[f.offset] = int32_t(f.value);
      settingsBlock = process.Allocate(sizeof settings);
      std::memcpy(settingsBlock, &settings, sizeof settings);
      record.SetSlot(Field::SettingsAddress, AddressOf(settingsBlock));
    }
    void* cell = nullptr;
    if (command.cls == CMD_CLASS_STREAM && command.subOp == StreamOp::AllocSharedBuffer &&
        !Given(command, Field::SharedCell)) {
      cell = process.Allocate(sizeof(uint64_t));
      record.SetSlot(Field::SharedCell, AddressOf(cell));
    }
    for (const FieldAssignment& f : command.fields) {
      switch (f.kind) {
        case FieldAssignment::Kind::Word: record.Set32(f.offset, uint32_t(f.value)); break;
        case FieldAssignment::Kind::Slot: record.SetSlot(f.offset, f.value); break;
        case FieldAssignment::Kind::NewEvent:
          record.SetSlot(f.offset, AddressOf(client.CreateEvent(false, false)));
          break;
        case FieldAssignment::Kind::MixerWord: break;
      }
    }

    NTSTATUS stateStatus = STATUS_SUCCESS;
    if (command.state == DeviceStateChoice::SurpriseRemoved) sim.Unplug();
    if (command.state == DeviceStateChoice::StopPending) stateStatus = sim.machine().QueryStopDevice(sim.pdo());
    const std::optional<kernel::NodeState> node = sim.DeviceState();
    reply->stateReached = node ? kernel::NodeStateName(*node) : "gone";
    if (!NT_SUCCESS(stateStatus)) {
      *error = std::string("QUERY_STOP was refused: ") + StatusText(stateStatus);
      ok = false;
    } else {
      reply->sent = record;
      const CommandResult result = client.Send(record);
      reply->status = result.status;
      reply->information = result.information;
      reply->reply = record;
      if (settingsBlock) {
        MixerSettings s;
        std::memcpy(&s, settingsBlock, sizeof s);
        reply->settings = s;
      }
      if (cell) {
        uint64_t v;
        std::memcpy(&v, cell, sizeof v);
        reply->cell = v;
      }
    }
    // Undo what this run did, so the machine ends as a clean one does.
    if (command.cls == CMD_CLASS_STREAM && command.subOp == StreamOp::AllocSharedBuffer && NT_SUCCESS(reply->status))
      client.AllocSharedBuffer(0);
    if (command.state == DeviceStateChoice::StopPending && NT_SUCCESS(stateStatus))
      sim.machine().CancelStopDevice(sim.pdo());
    client.Close();
  }
  if (command.state != DeviceStateChoice::SurpriseRemoved) sim.Unplug();
  return ok;
}

std::string RawReplyText(const RawCommand& c, const RawReply& r) {
  std::ostringstream o;
  o << "command      " << c.cls << "." << c.subOp << " " << CommandNameOf(c.cls, c.subOp) << ", device "
    << DeviceStateText(c.state) << " (node " << r.stateReached << ")\n";
  o << "status       " << StatusText(r.status) << "\n";
  o << "information  " << r.information << "\n";
  bool any = false;
  for (uint32_t offset = 0; offset < kCommandRecordSize; offset += 4) {
    const uint32_t before = r.sent.Get32(offset), after = r.reply.Get32(offset);
    if (before == after) continue;
    any = true;
    o << "reply +" << offset << "  " << after << " (0x" << std::hex << after << std::dec << "), was " << before
      << "\n";
  }
  if (!any) o << "reply        unchanged\n";
  if (r.cell) o << "cell         0x" << std::hex << *r.cell << std::dec << "\n";
  if (r.settings) {
    o << "settings     rate " << r.settings->rate << ", period " << r.settings->periodFrames
      << ", buffer number " << r.settings->requestCount << "\n             words";
    for (uint32_t w = 0; w < MixerWord::Count; ++w) o << " " << r.settings->words()[w];
    o << "\n";
  }
  return o.str();
}

std::string RawReplyJson(const RawCommand& c, const RawReply& r) {
  std::ostringstream o;
  o << "{\"class\":" << c.cls << ",\"subOp\":" << c.subOp << ",\"name\":\"" << CommandNameOf(c.cls, c.subOp)
    << "\",\"state\":\"" << DeviceStateText(c.state) << "\",\"node\":\"" << r.stateReached
    << "\",\"status\":" << uint32_t(r.status) << ",\"statusText\":\"" << StatusText(r.status)
    << "\",\"information\":" << r.information << ",\"reply\":{";
  bool first = true;
  for (uint32_t offset = 0; offset < kCommandRecordSize; offset += 4) {
    const uint32_t after = r.reply.Get32(offset);
    if (after == r.sent.Get32(offset)) continue;
    o << (first ? "" : ",") << "\"" << offset << "\":" << after;
    first = false;
  }
  o << "},\"record\":[";
  for (uint32_t offset = 0; offset < kCommandRecordSize; offset += 4)
    o << (offset ? "," : "") << r.reply.Get32(offset);
  o << "]";
  if (r.cell) o << ",\"cell\":" << *r.cell;
  if (r.settings) {
    o << ",\"settings\":[";
    for (uint32_t w = 0; w < MixerWord::Count; ++w) o << (w ? "," : "") << r.settings->words()[w];
    o << "]";
  }
  o << "}";
  return o.str();
}

}  // namespace tqm::sim
