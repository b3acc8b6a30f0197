// A client of the command interface through sys:: (tqmsim.dll in these
// programs): enumeration with Windows' size rules, the device handle, the
// records, and the stream set-up an ASIO driver makes.
#pragma once

#include "platform/bridge/sys.h"

#include <cstring>
#include <string>
#include <vector>

#include "tqm/command_record.h"
#include "tqm/identity.h"
#include "tqm/win32/interface_table.h"

namespace tqm::win32test {

inline GUID InterfaceClass() { return win32::ToGuid(kInterfaceGuid); }

// The paths of an interface class (the driver's by default) as a client
// finds them, with Windows' size rules.
inline std::vector<std::wstring> InterfacePaths(const GUID& cls = InterfaceClass()) {
  HDEVINFO set = sys::SetupDiGetClassDevsW(&cls, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  std::vector<std::wstring> paths;
  if (set == INVALID_HANDLE_VALUE) return paths;
  for (DWORD i = 0;; ++i) {
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof data;
    if (!sys::SetupDiEnumDeviceInterfaces(set, nullptr, &cls, i, &data)) break;
    DWORD required = 0;
    sys::SetupDiGetDeviceInterfaceDetailW(set, &data, nullptr, 0, &required, nullptr);
    std::vector<uint8_t> buffer(required);
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(buffer.data());
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
    if (sys::SetupDiGetDeviceInterfaceDetailW(set, &data, detail, required, nullptr, nullptr))
      paths.push_back(detail->DevicePath);
  }
  sys::SetupDiDestroyDeviceInfoList(set);
  return paths;
}

inline CommandRecord Record(uint32_t cls, uint32_t op) {
  CommandRecord r;
  memset(r.bytes, 0, sizeof r.bytes);
  r.Set32(Field::Class, cls);
  r.Set32(Field::SubOp, op);
  return r;
}

// A client of the command interface: the device handle and the records.
class Device {
 public:
  Device() {
    const std::vector<std::wstring> paths = InterfacePaths();
    if (paths.empty()) return;
    handle_ = sys::CreateFileW(paths.back().c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                               nullptr);
  }
  ~Device() { Close(); }
  void Close() {
    if (handle_ != INVALID_HANDLE_VALUE) sys::CloseHandle(handle_);
    handle_ = INVALID_HANDLE_VALUE;
  }
  bool open() const { return handle_ != INVALID_HANDLE_VALUE; }

  // The Win32 error of one record (0 when it succeeded).
  DWORD Send(CommandRecord& r) {
    DWORD returned = 0;
    if (sys::DeviceIoControl(handle_, kCommandControlCode, r.bytes, sizeof r.bytes, r.bytes, sizeof r.bytes,
                             &returned, nullptr))
      return 0;
    return GetLastError();
  }
  DWORD MapStatusBlock(void** view) {
    CommandRecord r = Record(CMD_CLASS_STREAM, StreamOp::MapStatusBlock);
    r.Set32(Field::MapFlag, 1);
    const DWORD error = Send(r);
    *view = reinterpret_cast<void*>(r.GetSlot(Field::StatusAddress));
    return error;
  }
  DWORD Settings(uint32_t op, const void* address) {
    CommandRecord r = Record(CMD_CLASS_CONTROL, op);
    r.SetSlot(Field::SettingsAddress, reinterpret_cast<uint64_t>(address));
    return Send(r);
  }
  // The stream set-up: SharedBuffer, halves, rate, period event, channels.
  // The period defaults to 240 frames, as the panel sets it: five whole
  // packets at 48 kHz, so the loop is bit-exact from its first frame.
  DWORD StartStream(HANDLE periodEvent, uint32_t frames = 240) {
    CommandRecord r = Record(CMD_CLASS_CONTROL, ControlOp::SetLatency);
    r.Set32(Field::Latency, frames);
    r.Set32(Field::BusyCheck, 1);
    if (DWORD e = Send(r)) return e;
    r = Record(CMD_CLASS_CONTROL, ControlOp::GetLatency);
    if (DWORD e = Send(r)) return e;
    period = r.Get32(Field::Latency);
    void* cell = nullptr;
    r = Record(CMD_CLASS_STREAM, StreamOp::AllocSharedBuffer);
    r.Set32(Field::SharedLength, period * 32);
    r.SetSlot(Field::SharedCell, reinterpret_cast<uint64_t>(&cell));
    if (DWORD e = Send(r)) return e;
    shared = static_cast<int32_t*>(cell);
    for (uint32_t i = 0; i < 4; ++i) {
      for (uint32_t half = 0; half < 2; ++half) {
        int32_t* at = shared + (i * 2 + half) * period;
        (i < 2 ? input : output)[i % 2][half] = at;
        r = Record(CMD_CLASS_STREAM, StreamOp::SetClientBuffer);
        r.Set32(Field::Direction, i < 2 ? 1 : 0);
        r.Set32(Field::Channel, i % 2);
        r.Set32(Field::Half, half);
        r.SetSlot(Field::HalfAddress, reinterpret_cast<uint64_t>(at));
        r.Set32(Field::Stride, 1);
        if (DWORD e = Send(r)) return e;
      }
    }
    r = Record(CMD_CLASS_STREAM, StreamOp::SetSampleRate);
    r.Set32(Field::SampleRate, 48000);
    if (DWORD e = Send(r)) return e;
    r = Record(CMD_CLASS_STREAM, StreamOp::SetPeriodEvent);
    r.SetSlot(Field::PeriodEvent, reinterpret_cast<uint64_t>(periodEvent));
    if (DWORD e = Send(r)) return e;
    r = Record(CMD_CLASS_STREAM, StreamOp::ActivateChannels);
    r.Set32(Field::OutputMask, 3);
    r.Set32(Field::InputMask, 3);
    r.Set32(Field::OnOff, 1);
    return Send(r);
  }
  DWORD OutputReady(uint32_t half) {
    CommandRecord r = Record(CMD_CLASS_STREAM, StreamOp::OutputReady);
    r.Set32(Field::ReadyHalf, half);
    r.Set32(Field::ReadyArg2, 1);
    return Send(r);
  }
  DWORD StopStream() {
    CommandRecord r = Record(CMD_CLASS_STREAM, StreamOp::ActivateChannels);
    r.Set32(Field::OutputMask, 3);
    r.Set32(Field::InputMask, 3);
    r.Set32(Field::OnOff, 0);
    if (DWORD e = Send(r)) return e;
    r = Record(CMD_CLASS_STREAM, StreamOp::SetPeriodEvent);
    if (DWORD e = Send(r)) return e;
    r = Record(CMD_CLASS_STREAM, StreamOp::AllocSharedBuffer);
    return Send(r);
  }

  uint32_t period = 0;
  int32_t* shared = nullptr;
  int32_t* input[2][2] = {};
  int32_t* output[2][2] = {};

 private:
  HANDLE handle_ = INVALID_HANDLE_VALUE;
};

}  // namespace tqm::win32test
