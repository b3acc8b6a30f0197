#include "panel/devicelink/device_link.h"

namespace tqm::panel {

using win32::MakeRecord;

namespace {
// What a channel wrapper answers when the request never reached the engine
// (the record still holds the on/off flag the caller sent).
constexpr uint32_t kRequestFailed = 0xC0000001;  // STATUS_UNSUCCESSFUL
}  // namespace

int DeviceLink::Enumerate() {
  if (table_.count() != 0) return table_.count();
  selected_ = 0;
  return table_.Open();
}

void DeviceLink::Select(int n) {
  const int count = table_.count();
  selected_ = n >= 0 && n + 1 <= count ? count - 1 - n : count - 1;
  if (selected_ < 0) selected_ = 0;
}

void DeviceLink::CloseAll() {
  table_.CloseAll();
  selected_ = 0;
}

bool DeviceLink::Send(CommandRecord& record) {
  HANDLE device = table_.handle(selected_);
  if (!device) {
    SetLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  return win32::SendRecord(device, record);
}

bool DeviceLink::Simple(uint32_t commandClass, uint32_t subOp) {
  CommandRecord record = MakeRecord(commandClass, subOp);
  return Send(record);
}

bool DeviceLink::SettingsBlock(uint32_t subOp, const void* block) {
  CommandRecord record = MakeRecord(CMD_CLASS_CONTROL, subOp);
  record.SetSlot(Field::SettingsAddress, reinterpret_cast<uintptr_t>(block));
  return Send(record);
}

uint64_t DeviceLink::Map(uint32_t commandClass, uint32_t subOp, uint32_t map, uint64_t& token,
                         uint64_t& address) {
  CommandRecord record = MakeRecord(commandClass, subOp);
  record.Set32(Field::MapFlag, map);
  record.SetSlot(Field::StatusAddress, address);
  record.SetSlot(Field::StatusToken, token);
  if (!Send(record)) return 0;
  address = record.GetSlot(Field::StatusAddress);
  token = record.GetSlot(Field::StatusToken);
  return token;
}

bool DeviceLink::Identify(uint32_t expectMajor, uint32_t expectMinor) {
  HANDLE device = table_.handle(selected_);
  return device && win32::Identify(device, expectMajor, expectMinor);
}

bool DeviceLink::GetSettings(void* block) { return SettingsBlock(ControlOp::GetSettings, block); }

void DeviceLink::ApplySettings(const void* block) { SettingsBlock(ControlOp::ApplySettings, block); }

uint64_t DeviceLink::MapStatusBlock(uint32_t map, uint64_t& token, uint64_t& address) {
  return Map(CMD_CLASS_CONTROL, ControlOp::MapStatusBlock, map, token, address);
}

bool DeviceLink::SetLatency(uint32_t frames, uint32_t busyCheck) {
  CommandRecord record = MakeRecord(CMD_CLASS_CONTROL, ControlOp::SetLatency);
  record.Set32(Field::Latency, frames);
  record.Set32(Field::BusyCheck, busyCheck);
  return Send(record);
}

uint32_t DeviceLink::GetLatency() {
  CommandRecord record = MakeRecord(CMD_CLASS_CONTROL, ControlOp::GetLatency);
  return Send(record) ? record.Get32(Field::Latency) : 0;
}

bool DeviceLink::SetEvent(HANDLE event, uint32_t subOp) {
  CommandRecord record = MakeRecord(CMD_CLASS_CONTROL, subOp);
  record.SetSlot(Field::NotifyEvent, reinterpret_cast<uintptr_t>(event));
  return Send(record);
}

uint32_t DeviceLink::GetActiveClient() {
  CommandRecord record = MakeRecord(CMD_CLASS_CONTROL, ControlOp::GetActiveClient);
  return Send(record) ? record.Get32(Field::ActiveClient) : 0;
}

uint32_t DeviceLink::ReservedQuery() {
  CommandRecord record = MakeRecord(CMD_CLASS_DRIVER, DriverOp::ReservedQuery);
  return Send(record) ? record.Get32(Field::ReservedResult) : 0;
}

bool DeviceLink::ReservedSet() { return Simple(CMD_CLASS_DRIVER, DriverOp::ReservedSet); }

DeviceLink::ChannelCounts DeviceLink::GetChannelCounts() {
  CommandRecord record = MakeRecord(CMD_CLASS_DRIVER, DriverOp::GetChannelCounts);
  ChannelCounts counts;
  if (Send(record)) {
    counts.inputs = record.Get32(Field::InputCount);
    counts.outputs = record.Get32(Field::OutputCount);
  }
  return counts;
}

DeviceLink::Versions DeviceLink::GetDriverVersion() {
  CommandRecord record = MakeRecord(CMD_CLASS_DRIVER, DriverOp::GetDriverVersion);
  Versions versions;
  if (Send(record)) {
    versions.major = record.Get32(Field::VersionMajor);
    versions.minor = record.Get32(Field::VersionMinor);
  }
  return versions;
}

bool DeviceLink::UnloadService() { return Simple(CMD_CLASS_DRIVER, DriverOp::UnloadService); }

bool DeviceLink::SetPeriodEvent(HANDLE event) {
  CommandRecord record = MakeRecord(CMD_CLASS_STREAM, StreamOp::SetPeriodEvent);
  record.SetSlot(Field::PeriodEvent, reinterpret_cast<uintptr_t>(event));
  return Send(record);
}

bool DeviceLink::SetSampleRate(uint32_t rate) {
  CommandRecord record = MakeRecord(CMD_CLASS_STREAM, StreamOp::SetSampleRate);
  record.Set32(Field::SampleRate, rate);
  return Send(record);
}

bool DeviceLink::SetClientBuffer(uint32_t direction, uint32_t channel, uint32_t half, const void* address,
                                 uint32_t stride) {
  CommandRecord record = MakeRecord(CMD_CLASS_STREAM, StreamOp::SetClientBuffer);
  record.Set32(Field::Direction, direction);
  record.Set32(Field::Channel, channel);
  record.Set32(Field::Half, half);
  record.SetSlot(Field::HalfAddress, reinterpret_cast<uintptr_t>(address));
  record.Set32(Field::Stride, stride);
  return Send(record);
}

uint32_t DeviceLink::ActivateChannelMask(uint32_t mask, uint32_t on) {
  CommandRecord record = MakeRecord(CMD_CLASS_STREAM, StreamOp::ActivateChannelMask);
  record.Set32(Field::ChannelMask, mask);
  record.Set32(Field::OnOff, on);
  return Send(record) ? record.Get32(Field::OnOff) : kRequestFailed;
}

bool DeviceLink::AllocSharedBuffer(uint32_t length, void** cell) {
  CommandRecord record = MakeRecord(CMD_CLASS_STREAM, StreamOp::AllocSharedBuffer);
  record.Set32(Field::SharedLength, length);
  record.SetSlot(Field::SharedCell, reinterpret_cast<uintptr_t>(cell));
  return Send(record);
}

uint32_t DeviceLink::ActivateChannels(uint32_t outputMask, uint32_t inputMask, uint32_t on) {
  CommandRecord record = MakeRecord(CMD_CLASS_STREAM, StreamOp::ActivateChannels);
  record.Set32(Field::OutputMask, outputMask);
  record.Set32(Field::InputMask, inputMask);
  record.Set32(Field::OnOff, on);
  return Send(record) ? record.Get32(Field::OnOff) : kRequestFailed;
}

bool DeviceLink::StartStop(uint32_t on) {
  CommandRecord record = MakeRecord(CMD_CLASS_STREAM, StreamOp::StartStop);
  record.Set32(Field::OnOff, on);
  return Send(record);
}

uint32_t DeviceLink::QueryStreamHealth() {
  CommandRecord record = MakeRecord(CMD_CLASS_STREAM, StreamOp::QueryStreamHealth);
  return Send(record) ? record.Get32(Field::OnOff) : 0;
}

bool DeviceLink::OutputReady(uint32_t half) {
  CommandRecord record = MakeRecord(CMD_CLASS_STREAM, StreamOp::OutputReady);
  record.Set32(Field::ReadyHalf, half);
  return Send(record);
}

uint32_t DeviceLink::TakePendingFlag() {
  CommandRecord record = MakeRecord(CMD_CLASS_STREAM, StreamOp::TakePendingFlag);
  return Send(record) ? record.Get32(Field::OnOff) : 0;
}

uint64_t DeviceLink::MapStreamStatusBlock(uint32_t map, uint64_t& token, uint64_t& address) {
  return Map(CMD_CLASS_STREAM, StreamOp::MapStatusBlock, map, token, address);
}

bool DeviceLink::Reserved6() { return Simple(CMD_CLASS_CONTROL, ControlOp::Reserved6); }

bool DeviceLink::Reserved8() { return Simple(CMD_CLASS_CONTROL, ControlOp::Reserved8); }

bool DeviceLink::ApplyAndSaveSettings(const void* block) {
  return SettingsBlock(ControlOp::ApplyAndSaveSettings, block);
}

bool DeviceLink::NoOp(uint32_t subOp) { return Simple(CMD_CLASS_CONTROL, subOp); }

uint32_t DeviceLink::FixedQuery(uint32_t arg0, uint32_t arg1, uint32_t arg2) {
  CommandRecord record = MakeRecord(CMD_CLASS_CONTROL, ControlOp::FixedQuery);
  record.Set32(Field::QueryArg0, arg0);
  record.Set32(Field::QueryArg1, arg1);
  record.Set32(Field::QueryArg2, arg2);
  return Send(record) ? record.Get32(Field::QueryResult) : 0;
}

bool DeviceLink::ApplySettingsAlias(const void* block) {
  return SettingsBlock(ControlOp::ApplySettingsAlias, block);
}

}  // namespace tqm::panel
