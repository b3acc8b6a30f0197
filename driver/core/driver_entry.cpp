// Driver entry, unload and the create/close handlers.
//
// DriverEntry prints the build banner, refuses systems older than WDM 6.0 and
// installs the dispatch table. Create and close only count opens; they take no
// remove lock, because they touch nothing but the extension's counter, which
// lives as long as the device object the I/O manager holds for them.
#include "driver/core/core.h"

namespace {

NTSTATUS CompleteSuccess(PIRP irp) {
  irp->IoStatus.Status = STATUS_SUCCESS;
  irp->IoStatus.Information = 0;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_SUCCESS;
}

}  // namespace

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
  UNREFERENCED_PARAMETER(registryPath);
  TQM_TRACE("[ Built version - %s %s ]----------------------------------\n", __DATE__, __TIME__);

  if (!IoIsWdmVersionAvailable(6, 0)) return STATUS_UNSUCCESSFUL;

  driver->DriverUnload = DriverUnload;
  driver->MajorFunction[IRP_MJ_CREATE] = DispatchCreate;
  driver->MajorFunction[IRP_MJ_CLOSE] = DispatchClose;
  return STATUS_SUCCESS;
}

void DriverUnload(PDRIVER_OBJECT driver) {
  UNREFERENCED_PARAMETER(driver);
  TQM_TRACE("Cntr %s\n", "DriverUnload");
}

NTSTATUS DispatchCreate(PDEVICE_OBJECT device, PIRP irp) {
  auto* extension = static_cast<FdoExtension*>(device->DeviceExtension);
  InterlockedIncrement(&extension->openCount);
  return CompleteSuccess(irp);
}

NTSTATUS DispatchClose(PDEVICE_OBJECT device, PIRP irp) {
  auto* extension = static_cast<FdoExtension*>(device->DeviceExtension);
  InterlockedDecrement(&extension->openCount);
  return CompleteSuccess(irp);
}
