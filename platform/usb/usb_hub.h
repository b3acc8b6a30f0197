// The simulated USB hub: a bus driver on the simulated kernel with kPorts
// ports, into which a test or the simulator plugs virtual TQM27s (port 0 when
// no port is named).
//
// Two ways to use it. As a Plug and Play bus (HubMode::PlugAndPlay, what the
// simulator does), the hub's driver is registered for kHubHardwareId and the
// manager builds it as a root device: the hub's function device sits on the
// manager's PDO and reports the port's TQM27 in BusRelations. Plug() makes
// the device and Unplug() takes it off the bus; each invalidates the hub's
// bus relations and runs the manager's enumeration before it returns, so the
// TQM27's function driver has been added and started after Plug(), and has
// seen SURPRISE_REMOVAL after Unplug() (REMOVE follows once its last handle
// closes). An orderly removal goes through the manager
// (Machine::RequestRemoval on the PDO). Directly (HubMode::Direct, the USB
// stack's own tests), nothing enumerates the port: a test attaches its
// client to the PDO and sends the Plug and Play requests itself.
//
// Unplug is a surprise removal: transfers in flight fail from the next frame
// on, new requests fail at once. The PDO deletes itself on
// IRP_MN_REMOVE_DEVICE once the device has left the bus; the hub's function
// device deletes a PDO still on the bus when it is removed itself, and the
// hub deletes whatever is left when it goes.
//
// Lifetime: one hub per machine, created after the machine and destroyed
// before it; the hub's driver object is loaded and unloaded with it. On the
// Plug and Play bus the destructor removes the hub's device tree in order
// (applications are told to close their handles). Plug, Unplug and the
// destructor are called from one host thread at PASSIVE_LEVEL, the thread the
// manager's requests to the hub's function device come on.
#pragma once

#include <wdm.h>

#include <array>
#include <memory>

#include "usb/tqm27_port.h"

namespace tqm::kernel {
class Machine;
}

namespace tqm::usb {

enum class HubMode { Direct, PlugAndPlay };

// The hub's root device hardware identifier.
inline constexpr wchar_t kHubHardwareId[] = L"ROOT\\TQM_USBHUB";

class UsbHub {
 public:
  static constexpr size_t kPorts = 16;

  explicit UsbHub(kernel::Machine& machine, HubMode mode = HubMode::Direct);
  ~UsbHub();
  UsbHub(const UsbHub&) = delete;
  UsbHub& operator=(const UsbHub&) = delete;

  // Plugs a new TQM27 into the port; null when the port is still occupied (a
  // device whose PDO has not been removed yet) or the PDO could not be made.
  Tqm27Port* Plug(size_t index = 0);
  // Capabilities of the devices plugged from now on: the device state for
  // every sleeping system state.
  void SetSleepDeviceState(DEVICE_POWER_STATE state) { sleepDeviceState_ = state; }
  // How the stacks of the devices plugged from now on complete control
  // requests, cancels and aborts (Tqm27Port::SetModes).
  void SetPortModes(const PortModes& modes) { portModes_ = modes; }
  // The device leaves the bus.
  void Unplug(size_t index = 0);
  // The device on the port, or null.
  Tqm27Port* port(size_t index = 0) const { return index < kPorts ? ports_[index].get() : nullptr; }
  PDRIVER_OBJECT driver() const { return driver_; }
  // On the Plug and Play bus: the manager's PDO of the hub (null once it was
  // removed, or in direct use) and whether the hub's function device is there.
  PDEVICE_OBJECT busDevice() const { return root_; }
  bool BusPresent() const { return fdo_ != nullptr; }

  // The hub's function device's dispatch (usb_hub.cpp).
  NTSTATUS DispatchBus(PIRP irp);

 private:
  void Report();
  DEVICE_POWER_STATE sleepDeviceState_ = PowerDeviceD3;
  PortModes portModes_;
  NTSTATUS AnswerBusRelations(PIRP irp);

  kernel::Machine& machine_;
  const HubMode mode_;
  PDRIVER_OBJECT driver_ = nullptr;
  PDEVICE_OBJECT root_ = nullptr;  // the manager's PDO under the hub
  PDEVICE_OBJECT fdo_ = nullptr;   // the hub's function device on root_
  std::array<std::unique_ptr<Tqm27Port>, kPorts> ports_;
};

}  // namespace tqm::usb
