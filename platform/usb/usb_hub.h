// The simulated USB hub: a bus driver on the simulated kernel with one port,
// into which a test or the simulator plugs a virtual TQM27.
//
// Plug() creates the device (model and PDO) and reports the child present;
// Unplug() takes the device off the bus (a surprise removal: transfers in
// flight fail from the next frame on, new requests fail at once) and reports
// the child gone. Reporting is the one seam to the Plug and Play manager: it
// goes through the ChildReporter, which the manager installs to learn of bus
// relation changes; without one, a test drives the PDO's Plug and Play
// requests itself. The PDO deletes itself on IRP_MN_REMOVE_DEVICE once the
// device has left the bus; the hub deletes whatever is left when it goes.
//
// Lifetime: one hub per machine, created after the machine and destroyed
// before it; the hub's driver object is loaded and unloaded with it. Plug,
// Unplug and the destructor are called from one host thread at PASSIVE_LEVEL.
#pragma once

#include <wdm.h>

#include <functional>
#include <memory>

#include "usb/tqm27_port.h"

namespace tqm::kernel {
class Machine;
}

namespace tqm::usb {

enum class ChildChange { Present, Gone };

class UsbHub {
 public:
  using ChildReporter = std::function<void(PDEVICE_OBJECT pdo, ChildChange change)>;

  explicit UsbHub(kernel::Machine& machine);
  ~UsbHub();
  UsbHub(const UsbHub&) = delete;
  UsbHub& operator=(const UsbHub&) = delete;

  void SetChildReporter(ChildReporter reporter);

  // Plugs a new TQM27 into the port; null when the port is still occupied (a
  // device whose PDO has not been removed yet) or the PDO could not be made.
  Tqm27Port* Plug();
  // The device leaves the bus.
  void Unplug();
  // The device on the port, or null.
  Tqm27Port* port() const { return port_.get(); }
  PDRIVER_OBJECT driver() const { return driver_; }

 private:
  void Report(PDEVICE_OBJECT pdo, ChildChange change);

  kernel::Machine& machine_;
  PDRIVER_OBJECT driver_ = nullptr;
  std::unique_ptr<Tqm27Port> port_;
  ChildReporter reporter_;
};

}  // namespace tqm::usb
