// The simulated hub's driver object: one dispatch routine for every major
// function, which hands the IRP to the port whose PDO received it.
#pragma once

#include <wdm.h>

namespace tqm::usb {

class Tqm27Port;

// The extension of every PDO the hub creates.
struct PortExtension {
  Tqm27Port* port;
};

NTSTATUS HubDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath);

}  // namespace tqm::usb
