// A device of another interface version: a root-enumerated stand-in whose
// function driver registers TQMDRV's interface class and answers Identify
// with 2.1, as a driver of a later interface version would. Clients must
// close it and go on (their probe expects 1.0). Every other command is
// refused with STATUS_INVALID_DEVICE_REQUEST.
//
// Lifecycle: Add creates the root device (the manager loads and starts the
// driver, which enables the interface at START); Remove asks for its orderly
// removal, closing the handles processes hold on it. The machine's own thread
// calls both.
#pragma once

#include <wdm.h>

#include "platform/kernel/machine.h"

namespace tqm::sim {

class OtherVersionDevice {
 public:
  // The stand-in's hardware identifier and the Identify answer it gives.
  static constexpr wchar_t kHardwareId[] = L"ROOT\\TQM_OTHER_VERSION";
  static constexpr uint32_t kMajor = 2, kMinor = 1;

  explicit OtherVersionDevice(kernel::Machine& machine);
  ~OtherVersionDevice();
  OtherVersionDevice(const OtherVersionDevice&) = delete;
  OtherVersionDevice& operator=(const OtherVersionDevice&) = delete;

  bool present() const { return pdo_ != nullptr; }
  NTSTATUS Add();
  NTSTATUS Remove();

 private:
  kernel::Machine& machine_;
  PDEVICE_OBJECT pdo_ = nullptr;
};

}  // namespace tqm::sim
