// The panel's path to the driver: the interfaces found and probed, the one
// the panel selected, and a wrapper for every command of the command
// interface. Synchronous; no thread of its own, no locking.
#pragma once

#include "tqm/win32/interface_table.h"

namespace tqm::panel {

class DeviceLink {
 public:
  static constexpr int kMaxDevices = win32::InterfaceTable::kCapacity;

  DeviceLink() = default;
  ~DeviceLink() { CloseAll(); }
  DeviceLink(const DeviceLink&) = delete;
  DeviceLink& operator=(const DeviceLink&) = delete;

  // Finds and probes the driver's interfaces (only when none are held) and
  // returns how many passed the probe; at most eight are held.
  int Enumerate();
  // Selects device n, 0 being the interface found last; n past the count
  // selects the last one.
  void Select(int n);
  void CloseAll();

  int count() const { return table_.count(); }
  int selected() const { return selected_; }
  HANDLE handle() const { return table_.handle(selected_); }
  const wchar_t* path() const { return table_.path(selected_); }

  // ---- the commands the panel sends ----
  bool Identify(uint32_t expectMajor, uint32_t expectMinor);
  // The 276-byte MixerSettings block, by address.
  bool GetSettings(void* block);
  void ApplySettings(const void* block);
  // Maps (map = 1) or unmaps (map = 0) the status block. On success address
  // and token take the reply and the token is returned; on failure 0, and
  // both stay as they were.
  uint64_t MapStatusBlock(uint32_t map, uint64_t& token, uint64_t& address);
  bool SetLatency(uint32_t frames, uint32_t busyCheck);
  // The period in frames; 0 when the request failed.
  uint32_t GetLatency();
  // Registers (or with null clears) the rate event (ControlOp::SetRateEvent)
  // or the removal event (ControlOp::SetRemovalEvent).
  bool SetEvent(HANDLE event, uint32_t subOp);
  // 1 + the first engine port with an open channel, 0 for none or failure.
  uint32_t GetActiveClient();

  // ---- the rest of the command interface ----
  struct Versions {
    uint32_t major = 0, minor = 0;
  };
  struct ChannelCounts {
    uint32_t inputs = 0, outputs = 0;
  };
  uint32_t ReservedQuery();
  bool ReservedSet();
  ChannelCounts GetChannelCounts();
  Versions GetDriverVersion();
  bool UnloadService();

  bool SetPeriodEvent(HANDLE event);
  bool SetSampleRate(uint32_t rate);
  bool SetClientBuffer(uint32_t direction, uint32_t channel, uint32_t half, const void* address,
                       uint32_t stride);
  // The engine's status for the last channel it opened or closed (field 64);
  // a failure status when the request itself failed.
  uint32_t ActivateChannelMask(uint32_t mask, uint32_t on);
  // Asks for a SharedBuffer of length bytes (0 releases it); the driver writes
  // its address into *cell.
  bool AllocSharedBuffer(uint32_t length, void** cell);
  uint32_t ActivateChannels(uint32_t outputMask, uint32_t inputMask, uint32_t on);
  bool StartStop(uint32_t on);
  // Non-zero when another client holds the engine; 0 on failure.
  uint32_t QueryStreamHealth();
  bool OutputReady(uint32_t half);
  uint32_t TakePendingFlag();
  uint64_t MapStreamStatusBlock(uint32_t map, uint64_t& token, uint64_t& address);

  bool Reserved6();
  bool Reserved8();
  bool ApplyAndSaveSettings(const void* block);
  bool NoOp(uint32_t subOp);  // 17, 19 or 20
  // The fixed query's answer (field 24), 0 on failure.
  uint32_t FixedQuery(uint32_t arg0, uint32_t arg1, uint32_t arg2);
  bool ApplySettingsAlias(const void* block);

 private:
  bool Send(CommandRecord& record);
  bool Simple(uint32_t commandClass, uint32_t subOp);
  bool SettingsBlock(uint32_t subOp, const void* block);
  uint64_t Map(uint32_t commandClass, uint32_t subOp, uint32_t map, uint64_t& token, uint64_t& address);

  win32::InterfaceTable table_;
  int selected_ = 0;
};

}  // namespace tqm::panel
