// Commands of the ASIO driver; see device_client.h for the addressing rule.
#include "asio/device_client.h"

namespace tqmasio {

using tqm::CommandRecord;
namespace Field = tqm::Field;

using tqm::win32::MakeRecord;

bool DeviceClient::Send(int device, CommandRecord& record) {
  const int n = table_.count();
  if (n == 0) return false;
  const int index = device >= 0 && device < n ? n - 1 - device : n - 1;
  return tqm::win32::SendRecord(table_.handle(index), record);
}

bool DeviceClient::Holds(const wchar_t* path) const {
  if (!path) return false;
  for (int i = 0; i < table_.count(); ++i) {
    const wchar_t* mine = table_.path(i);
    // Interface paths compare without regard to case, as Windows names them.
    if (mine && lstrcmpiW(mine, path) == 0) return true;
  }
  return false;
}

bool DeviceClient::QueryStreamHealth(uint32_t* busy) {
  CommandRecord r = MakeRecord(tqm::CMD_CLASS_STREAM, tqm::StreamOp::QueryStreamHealth);
  if (!Send(0, r)) return false;
  *busy = r.Get32(Field::OnOff);
  return true;
}

bool DeviceClient::MapStatusBlock(void** address, uint64_t* cookie) {
  CommandRecord r = MakeRecord(tqm::CMD_CLASS_STREAM, tqm::StreamOp::MapStatusBlock);
  r.Set32(Field::MapFlag, 1);
  if (!Send(0, r)) return false;
  *address = reinterpret_cast<void*>(uintptr_t(r.GetSlot(Field::StatusAddress)));
  *cookie = r.GetSlot(Field::StatusToken);
  return true;
}

bool DeviceClient::UnmapStatusBlock(void* address, uint64_t cookie) {
  CommandRecord r = MakeRecord(tqm::CMD_CLASS_STREAM, tqm::StreamOp::MapStatusBlock);
  r.Set32(Field::MapFlag, 0);
  r.SetSlot(Field::StatusAddress, reinterpret_cast<uintptr_t>(address));
  r.SetSlot(Field::StatusToken, cookie);
  return Send(0, r);
}

bool DeviceClient::GetLatency(uint32_t* frames) {
  CommandRecord r = MakeRecord(tqm::CMD_CLASS_CONTROL, tqm::ControlOp::GetLatency);
  if (!Send(0, r)) return false;
  *frames = r.Get32(Field::Latency);
  return true;
}

bool DeviceClient::AllocSharedBuffer(uint32_t length, void** address) {
  void* cell = nullptr;
  CommandRecord r = MakeRecord(tqm::CMD_CLASS_STREAM, tqm::StreamOp::AllocSharedBuffer);
  r.Set32(Field::SharedLength, length);
  r.SetSlot(Field::SharedCell, reinterpret_cast<uintptr_t>(&cell));
  const bool ok = Send(0, r);
  if (address) *address = ok ? cell : nullptr;
  return ok;
}

bool DeviceClient::SetClientBuffer(int device, uint32_t direction, uint32_t channel, uint32_t half, void* address) {
  CommandRecord r = MakeRecord(tqm::CMD_CLASS_STREAM, tqm::StreamOp::SetClientBuffer);
  r.Set32(Field::Direction, direction);
  r.Set32(Field::Channel, channel);
  r.Set32(Field::Half, half);
  r.SetSlot(Field::HalfAddress, reinterpret_cast<uintptr_t>(address));
  r.Set32(Field::Stride, 1);
  return Send(device, r);
}

bool DeviceClient::SetSampleRate(int device, uint32_t rate) {
  CommandRecord r = MakeRecord(tqm::CMD_CLASS_STREAM, tqm::StreamOp::SetSampleRate);
  r.Set32(Field::SampleRate, rate);
  return Send(device, r);
}

bool DeviceClient::SetPeriodEvent(HANDLE event) {
  CommandRecord r = MakeRecord(tqm::CMD_CLASS_STREAM, tqm::StreamOp::SetPeriodEvent);
  r.SetSlot(Field::PeriodEvent, reinterpret_cast<uintptr_t>(event));
  return Send(0, r);
}

bool DeviceClient::ActivateChannels(int device, uint32_t outputMask, uint32_t inputMask, bool on, uint32_t* result) {
  CommandRecord r = MakeRecord(tqm::CMD_CLASS_STREAM, tqm::StreamOp::ActivateChannels);
  r.Set32(Field::OutputMask, outputMask);
  r.Set32(Field::InputMask, inputMask);
  r.Set32(Field::OnOff, on ? 1 : 0);
  const bool ok = Send(device, r);
  if (result) *result = ok ? r.Get32(Field::OnOff) : ~0u;
  return ok;
}

bool DeviceClient::OutputReady(uint32_t half) {
  CommandRecord r = MakeRecord(tqm::CMD_CLASS_STREAM, tqm::StreamOp::OutputReady);
  r.Set32(Field::ReadyHalf, half);
  r.Set32(Field::ReadyArg2, 1);
  return Send(0, r);
}

}  // namespace tqmasio
