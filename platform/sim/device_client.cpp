// A client process on the command interface (device_client.h).
#include "platform/sim/device_client.h"

#include <cstdio>
#include <cstring>

namespace tqm::sim {

namespace {

struct StatusName {
  NTSTATUS status;
  const char* name;
};
constexpr StatusName kStatusNames[] = {
    {STATUS_SUCCESS, "STATUS_SUCCESS"},
    {STATUS_PENDING, "STATUS_PENDING"},
    {STATUS_TIMEOUT, "STATUS_TIMEOUT"},
    {STATUS_UNSUCCESSFUL, "STATUS_UNSUCCESSFUL"},
    {STATUS_INVALID_PARAMETER, "STATUS_INVALID_PARAMETER"},
    {STATUS_INVALID_DEVICE_REQUEST, "STATUS_INVALID_DEVICE_REQUEST"},
    {STATUS_DELETE_PENDING, "STATUS_DELETE_PENDING"},
    {STATUS_INSUFFICIENT_RESOURCES, "STATUS_INSUFFICIENT_RESOURCES"},
    {STATUS_INVALID_HANDLE, "STATUS_INVALID_HANDLE"},
    {STATUS_OBJECT_NAME_NOT_FOUND, "STATUS_OBJECT_NAME_NOT_FOUND"},
    {STATUS_ACCESS_VIOLATION, "STATUS_ACCESS_VIOLATION"},
    {STATUS_BUFFER_TOO_SMALL, "STATUS_BUFFER_TOO_SMALL"},
    {STATUS_NO_SUCH_DEVICE, "STATUS_NO_SUCH_DEVICE"},
    {STATUS_DEVICE_NOT_CONNECTED, "STATUS_DEVICE_NOT_CONNECTED"},
    {STATUS_INVALID_DEVICE_STATE, "STATUS_INVALID_DEVICE_STATE"},
};

uint64_t AddressOf(const void* p) { return uint64_t(reinterpret_cast<uintptr_t>(p)); }
void* PointerOf(uint64_t v) { return reinterpret_cast<void*>(uintptr_t(v)); }

}  // namespace

std::string StatusText(NTSTATUS status) {
  char text[64];
  std::snprintf(text, sizeof text, "0x%08X", unsigned(status));
  std::string out = text;
  for (const StatusName& n : kStatusNames)
    if (n.status == status) return out + " " + n.name;
  return out;
}

DeviceClient::DeviceClient(kernel::Machine& machine, std::string processName)
    : process_(&machine.StartProcess(std::move(processName))) {}

DeviceClient::~DeviceClient() {
  if (!process_->exited()) process_->Exit();
}

NTSTATUS DeviceClient::Open(const std::wstring& interfacePath) {
  NTSTATUS status = STATUS_SUCCESS;
  handle_ = process_->Open(interfacePath, &status);
  return status;
}

NTSTATUS DeviceClient::Close() {
  if (!handle_) return STATUS_SUCCESS;
  const NTSTATUS status = process_->CloseHandle(handle_);
  handle_ = nullptr;
  return status;
}

CommandRecord DeviceClient::Record(uint32_t cls, uint32_t subOp) {
  CommandRecord r;
  std::memset(r.bytes, 0, sizeof r.bytes);
  r.Set32(Field::Class, cls);
  r.Set32(Field::SubOp, subOp);
  return r;
}

CommandResult DeviceClient::Send(CommandRecord& record) {
  CommandResult result;
  if (!handle_) {
    result.status = STATUS_INVALID_HANDLE;
    return result;
  }
  // The same buffer is input and output, as the clients pass it; it lives in
  // the process, where the I/O manager copies from and to. One per calling
  // thread (the period thread sends while the main thread may), made once:
  // the process never reuses the address space of a freed buffer.
  uint8_t* buffer = nullptr;
  {
    std::lock_guard lock(buffersMu_);
    uint8_t*& mine = buffers_[std::this_thread::get_id()];
    if (!mine) mine = static_cast<uint8_t*>(process_->Allocate(kCommandRecordSize));
    buffer = mine;
  }
  if (!buffer) {
    result.status = STATUS_INSUFFICIENT_RESOURCES;
    return result;
  }
  std::memcpy(buffer, record.bytes, kCommandRecordSize);
  result.status = process_->DeviceIoControl(handle_, kCommandControlCode, buffer, kCommandRecordSize, buffer,
                                            kCommandRecordSize, &result.information);
  std::memcpy(record.bytes, buffer, kCommandRecordSize);
  return result;
}

bool DeviceClient::Identify() {
  CommandRecord r = Record(CMD_CLASS_DRIVER, DriverOp::Identify);
  r.Set32(Field::VersionMajor, kProbeFill);
  r.Set32(Field::VersionMinor, kProbeFill);
  return Send(r).ok() && r.Get32(Field::VersionMajor) == kIdentifyMajor &&
         r.Get32(Field::VersionMinor) == kIdentifyMinor;
}

std::optional<uint32_t> DeviceClient::QueryStreamHealth() {
  CommandRecord r = Record(CMD_CLASS_STREAM, StreamOp::QueryStreamHealth);
  if (!Send(r).ok()) return std::nullopt;
  return r.Get32(Field::OnOff);
}

void* DeviceClient::MapStatusBlock(bool stream, CommandResult* result) {
  CommandRecord r =
      Record(stream ? CMD_CLASS_STREAM : CMD_CLASS_CONTROL, stream ? StreamOp::MapStatusBlock : ControlOp::MapStatusBlock);
  r.Set32(Field::MapFlag, 1);
  const CommandResult sent = Send(r);
  if (result) *result = sent;
  if (!sent.ok()) return nullptr;
  statusAddress_[stream] = r.GetSlot(Field::StatusAddress);
  statusToken_[stream] = r.GetSlot(Field::StatusToken);
  return PointerOf(statusAddress_[stream]);
}

CommandResult DeviceClient::UnmapStatusBlock(bool stream) {
  CommandRecord r =
      Record(stream ? CMD_CLASS_STREAM : CMD_CLASS_CONTROL, stream ? StreamOp::MapStatusBlock : ControlOp::MapStatusBlock);
  r.Set32(Field::MapFlag, 0);
  r.SetSlot(Field::StatusAddress, statusAddress_[stream]);
  r.SetSlot(Field::StatusToken, statusToken_[stream]);
  const CommandResult sent = Send(r);
  if (sent.ok()) statusAddress_[stream] = statusToken_[stream] = 0;
  return sent;
}

std::optional<uint32_t> DeviceClient::GetLatency() {
  CommandRecord r = Record(CMD_CLASS_CONTROL, ControlOp::GetLatency);
  if (!Send(r).ok()) return std::nullopt;
  return r.Get32(Field::Latency);
}

CommandResult DeviceClient::SetLatency(uint32_t frames, bool busyCheck) {
  CommandRecord r = Record(CMD_CLASS_CONTROL, ControlOp::SetLatency);
  r.Set32(Field::Latency, frames);
  r.Set32(Field::BusyCheck, busyCheck ? 1 : 0);
  return Send(r);
}

void* DeviceClient::AllocSharedBuffer(uint32_t bytes, CommandResult* result) {
  if (!cell_) cell_ = process_->Allocate(sizeof(void*));
  CommandRecord r = Record(CMD_CLASS_STREAM, StreamOp::AllocSharedBuffer);
  r.Set32(Field::SharedLength, bytes);
  r.SetSlot(Field::SharedCell, AddressOf(cell_));
  std::memset(cell_, 0, sizeof(void*));
  const CommandResult sent = Send(r);
  if (result) *result = sent;
  if (!sent.ok() || bytes == 0) return nullptr;
  void* address = nullptr;
  std::memcpy(&address, cell_, sizeof address);
  return address;
}

CommandResult DeviceClient::SetClientBuffer(uint32_t direction, uint32_t channel, uint32_t half, void* address) {
  CommandRecord r = Record(CMD_CLASS_STREAM, StreamOp::SetClientBuffer);
  r.Set32(Field::Direction, direction);
  r.Set32(Field::Channel, channel);
  r.Set32(Field::Half, half);
  r.SetSlot(Field::HalfAddress, AddressOf(address));
  r.Set32(Field::Stride, 1);
  return Send(r);
}

CommandResult DeviceClient::SetSampleRate(uint32_t rate) {
  CommandRecord r = Record(CMD_CLASS_STREAM, StreamOp::SetSampleRate);
  r.Set32(Field::SampleRate, rate);
  return Send(r);
}

CommandResult DeviceClient::SetPeriodEvent(HANDLE event) {
  CommandRecord r = Record(CMD_CLASS_STREAM, StreamOp::SetPeriodEvent);
  r.SetSlot(Field::PeriodEvent, AddressOf(event));
  return Send(r);
}

CommandResult DeviceClient::ActivateChannels(uint32_t outputMask, uint32_t inputMask, bool on) {
  CommandRecord r = Record(CMD_CLASS_STREAM, StreamOp::ActivateChannels);
  r.Set32(Field::OutputMask, outputMask);
  r.Set32(Field::InputMask, inputMask);
  r.Set32(Field::OnOff, on ? 1 : 0);
  return Send(r);
}

CommandResult DeviceClient::OutputReady(uint32_t half) {
  CommandRecord r = Record(CMD_CLASS_STREAM, StreamOp::OutputReady);
  r.Set32(Field::ReadyHalf, half);
  r.Set32(Field::ReadyArg2, 1);
  return Send(r);
}

CommandResult DeviceClient::SetRemovalEvent(HANDLE event) {
  CommandRecord r = Record(CMD_CLASS_CONTROL, ControlOp::SetRemovalEvent);
  r.SetSlot(Field::NotifyEvent, AddressOf(event));
  return Send(r);
}

CommandResult DeviceClient::SetRateEvent(HANDLE event) {
  CommandRecord r = Record(CMD_CLASS_CONTROL, ControlOp::SetRateEvent);
  r.SetSlot(Field::NotifyEvent, AddressOf(event));
  return Send(r);
}

std::optional<MixerSettings> DeviceClient::GetSettings() {
  if (!settingsBlock_) settingsBlock_ = process_->Allocate(kMixerSettingsSize);
  if (!settingsBlock_) return std::nullopt;
  CommandRecord r = Record(CMD_CLASS_CONTROL, ControlOp::GetSettings);
  r.SetSlot(Field::SettingsAddress, AddressOf(settingsBlock_));
  if (!Send(r).ok()) return std::nullopt;
  MixerSettings s;
  std::memcpy(&s, settingsBlock_, sizeof s);
  return s;
}

CommandResult DeviceClient::ApplySettings(const MixerSettings& settings) {
  if (!settingsBlock_) settingsBlock_ = process_->Allocate(kMixerSettingsSize);
  std::memcpy(settingsBlock_, &settings, sizeof settings);
  CommandRecord r = Record(CMD_CLASS_CONTROL, ControlOp::ApplySettings);
  r.SetSlot(Field::SettingsAddress, AddressOf(settingsBlock_));
  return Send(r);
}

HANDLE DeviceClient::CreateEvent(bool manualReset, bool initialState) {
  return process_->CreateEventHandle(manualReset, initialState);
}

HANDLE DeviceClient::CreateWatchedEvent(void (*onSignal)(void*), void* context) {
  return process_->AddEventHandle(kernel::MakeSignalHookedEvent(SynchronizationEvent, onSignal, context, nullptr,
                                                                 kernel::SignalHookTime::BeforeRelease));
}

NTSTATUS DeviceClient::WaitForEvent(HANDLE event, std::optional<uint32_t> timeoutMs) {
  // What WaitForSingleObject does in the kernel: the handle resolves in this
  // process's table, and the wait is the kernel's.
  void* object = process_->ReferenceHandle(event);
  if (!object) return STATUS_INVALID_HANDLE;
  LARGE_INTEGER timeout;
  if (timeoutMs) timeout.QuadPart = -int64_t(*timeoutMs) * 10000;
  const NTSTATUS status = KeWaitForSingleObject(object, UserRequest, UserMode, FALSE, timeoutMs ? &timeout : nullptr);
  ObDereferenceObject(object);
  return status;
}

void DeviceClient::Delay(uint64_t units, HANDLE event) {
  if (!units) return;
  void* object = process_->ReferenceHandle(event);
  if (!object) return;
  LARGE_INTEGER timeout;
  timeout.QuadPart = -int64_t(units);
  KeWaitForSingleObject(object, UserRequest, UserMode, FALSE, &timeout);
  ObDereferenceObject(object);
}

bool DeviceClient::SetEvent(HANDLE event) {
  void* object = process_->ReferenceHandle(event);
  if (!object) return false;
  KeSetEvent(static_cast<PRKEVENT>(object), IO_NO_INCREMENT, FALSE);
  ObDereferenceObject(object);
  return true;
}

void DeviceClient::CloseEvent(HANDLE event) { process_->CloseHandle(event); }

}  // namespace tqm::sim
