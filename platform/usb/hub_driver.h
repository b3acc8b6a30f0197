// The simulated hub's driver object: one dispatch routine for every major
// function. A device whose extension names a port is that port's PDO and the
// port answers; the one without a port is the hub's own function device on
// the root device the Plug and Play manager made for it.
#pragma once

#include <wdm.h>

namespace tqm::usb {

class Tqm27Port;
class UsbHub;

// The extension of every device the hub's driver creates.
struct PortExtension {
  Tqm27Port* port;       // the PDO's port; null on the hub's function device
  UsbHub* hub;           // the function device's hub; null until the hub adopts it
  PDEVICE_OBJECT lower;  // the function device's next lower device
};

NTSTATUS HubDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath);

}  // namespace tqm::usb
