// The ASIO driver's way to TQMDRV: the open interfaces (the shared interface
// table), the addressing rule, and one function per command it sends.
//
// Addressing: device number a names handle n - 1 - a in opening order when
// a < n, else handle n - 1; device 0 is the interface opened last. Every
// command is a zero-filled 128-byte record sent synchronously on the
// addressed handle; a function returns false when the device refused it.
#pragma once

#include <windows.h>

#include <cstdint>

#include "tqm/command_record.h"
#include "tqm/win32/interface_table.h"

namespace tqmasio {

class DeviceClient {
 public:
  DeviceClient() = default;
  ~DeviceClient() { Close(); }
  DeviceClient(const DeviceClient&) = delete;
  DeviceClient& operator=(const DeviceClient&) = delete;

  // Opens every present interface that identifies as ours (at most 8).
  int Open() { return table_.Open(); }
  void Close() { table_.CloseAll(); }
  int count() const { return table_.count(); }
  // Whether `path` names one of the interfaces this client holds open.
  bool Holds(const wchar_t* path) const;

  bool QueryStreamHealth(uint32_t* busy);
  bool MapStatusBlock(void** address, uint64_t* cookie);
  bool UnmapStatusBlock(void* address, uint64_t cookie);
  bool GetLatency(uint32_t* frames);
  // Device 0's SharedBuffer of `length` bytes (0 frees it); *address receives
  // the buffer's address in this process.
  bool AllocSharedBuffer(uint32_t length, void** address);
  bool SetClientBuffer(int device, uint32_t direction, uint32_t channel, uint32_t half, void* address);
  bool SetSampleRate(int device, uint32_t rate);
  bool SetPeriodEvent(HANDLE event);
  // *opened is the engine's result of the last channel operation (0 = done).
  bool ActivateChannels(int device, uint32_t outputMask, uint32_t inputMask, bool on, uint32_t* result);
  bool OutputReady(uint32_t half);

 private:
  bool Send(int device, tqm::CommandRecord& record);

  tqm::win32::InterfaceTable table_;
};

}  // namespace tqmasio
