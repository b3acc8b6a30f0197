// A user process's side of the command interface: a simulated process, a
// handle on one of the driver's device interfaces, and the 128-byte
// CommandRecord sent with the driver's one control code as both input and
// output, as the ASIO driver and the panel send it.
//
// Also the user-mode event calls a client needs (create, wait, set), made on
// the process's own handles.
//
// Lifecycle: the process is started by the constructor; Close() closes the
// device handle, and the destructor ends the process (which closes whatever
// handles are left, as a crashing client's would be).
#pragma once

#include <wdm.h>

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "platform/kernel/machine.h"
#include "platform/kernel/process.h"
#include "tqm/command_record.h"
#include "tqm/mixer_settings.h"

namespace tqm::sim {

struct CommandResult {
  NTSTATUS status = 0;
  ULONG information = 0;
  bool ok() const { return NT_SUCCESS(status); }
};

// "0xC000000D STATUS_INVALID_PARAMETER" and the like.
std::string StatusText(NTSTATUS status);

class DeviceClient {
 public:
  DeviceClient(kernel::Machine& machine, std::string processName);
  ~DeviceClient();
  DeviceClient(const DeviceClient&) = delete;
  DeviceClient& operator=(const DeviceClient&) = delete;

  kernel::Process& process() { return *process_; }
  HANDLE handle() const { return handle_; }

  NTSTATUS Open(const std::wstring& interfacePath);
  NTSTATUS Close();
  bool open() const { return handle_ != nullptr; }

  // Sends one record (input and output, 128 bytes); the reply replaces it
  // when the status is a success.
  CommandResult Send(CommandRecord& record);
  // A zeroed record with class and sub-op set.
  static CommandRecord Record(uint32_t cls, uint32_t subOp);

  // ---- the commands the stream client and the panel's part use ----
  // Identify with the probe fill; true when the device answers 1 and 0.
  bool Identify();
  // 2.9: the reply's result, or nothing when the command failed.
  std::optional<uint32_t> QueryStreamHealth();
  // 2.14 (stream) or 3.3 (control) with map flag 1: the user address, null
  // when the driver made no mapping. Unmap sends back address and token.
  void* MapStatusBlock(bool stream, CommandResult* result = nullptr);
  CommandResult UnmapStatusBlock(bool stream);
  std::optional<uint32_t> GetLatency();
  CommandResult SetLatency(uint32_t frames, bool busyCheck);
  // 2.5: the SharedBuffer's user address written to a cell in this process.
  void* AllocSharedBuffer(uint32_t bytes, CommandResult* result = nullptr);
  CommandResult SetClientBuffer(uint32_t direction, uint32_t channel, uint32_t half, void* address);
  CommandResult SetSampleRate(uint32_t rate);
  CommandResult SetPeriodEvent(HANDLE event);
  CommandResult ActivateChannels(uint32_t outputMask, uint32_t inputMask, bool on);
  CommandResult OutputReady(uint32_t half);
  CommandResult SetRemovalEvent(HANDLE event);
  CommandResult SetRateEvent(HANDLE event);
  std::optional<MixerSettings> GetSettings();
  CommandResult ApplySettings(const MixerSettings& settings);

  // ---- user-mode events ----
  HANDLE CreateEvent(bool manualReset, bool initialState);
  // An auto-reset event whose every signal also calls onSignal(context) on
  // the signalling thread, before any waiter is released: onSignal must be a
  // few instructions that never enter the kernel (a time stamp).
  HANDLE CreateWatchedEvent(void (*onSignal)(void*), void* context);
  // Waits in the kernel; STATUS_SUCCESS, STATUS_TIMEOUT, or an error for a bad
  // handle. No timeout waits for ever.
  NTSTATUS WaitForEvent(HANDLE event, std::optional<uint32_t> timeoutMs);
  // Waits `units` of 100 ns in the kernel, or until `event` is set.
  void Delay(uint64_t units, HANDLE event);
  bool SetEvent(HANDLE event);
  void CloseEvent(HANDLE event);

 private:
  kernel::Process* process_;
  HANDLE handle_ = nullptr;
  uint64_t statusAddress_[2] = {};  // [stream] user address and token of each mapping
  uint64_t statusToken_[2] = {};
  void* settingsBlock_ = nullptr;   // 276 bytes in the process, for 3.1/3.2
  void* cell_ = nullptr;            // pointer-sized cell in the process, for 2.5
  std::mutex buffersMu_;            // guards buffers_ only; never held over a call
  std::map<std::thread::id, uint8_t*> buffers_;  // each thread's command buffer
};

}  // namespace tqm::sim
