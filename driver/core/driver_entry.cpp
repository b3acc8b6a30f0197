// Driver entry, unload, the driver-wide state, and the small dispatch
// routines: create, close, cleanup and the pass-down.
//
// DriverEntry prints the build banner, refuses systems older than WDM 6.0 and
// installs the dispatch table. Create and close only count opens; they take no
// remove lock, because they touch nothing but the extension's counter, which
// lives as long as the device object the I/O manager holds for them. Cleanup
// runs in the process that closes its handle: that is where what the handle
// owned (its mappings, the SharedBuffer) can be undone.
#include "driver/core/core.h"

DriverState g_driver;

void LockDriver() {
  KeEnterCriticalRegion();
  ExAcquireResourceExclusiveLite(&g_driver.mutex, TRUE);
}

void UnlockDriver() {
  ExReleaseResourceLite(&g_driver.mutex);
  KeLeaveCriticalRegion();
}

NTSTATUS CompleteRequest(PIRP irp, NTSTATUS status, ULONG_PTR information) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
  UNREFERENCED_PARAMETER(registryPath);
  TQM_TRACE("[ Built version - %s %s ]----------------------------------\n", __DATE__, __TIME__);

  if (!IoIsWdmVersionAvailable(6, 0)) return STATUS_UNSUCCESSFUL;

  RtlZeroMemory(&g_driver, sizeof g_driver);
  ExInitializeResourceLite(&g_driver.mutex);
  ExInitializeFastMutex(&g_driver.deferredMutex);

  driver->DriverUnload = DriverUnload;
  driver->DriverExtension->AddDevice = AddDevice;
  driver->MajorFunction[IRP_MJ_CREATE] = DispatchCreate;
  driver->MajorFunction[IRP_MJ_CLOSE] = DispatchClose;
  driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchControl;
  driver->MajorFunction[IRP_MJ_POWER] = DispatchPower;
  driver->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
  driver->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = DispatchPassDown;
  driver->MajorFunction[IRP_MJ_CLEANUP] = DispatchCleanup;
  return STATUS_SUCCESS;
}

void DriverUnload(PDRIVER_OBJECT driver) {
  UNREFERENCED_PARAMETER(driver);
  // Every handle was cleaned up before its device could be removed, and with
  // it every mapping and the SharedBuffer.
  TQM_TRACE("Cntr %s\n", "DriverUnload");
  ExDeleteResourceLite(&g_driver.mutex);
}

NTSTATUS DispatchCreate(PDEVICE_OBJECT device, PIRP irp) {
  if (IsChild(device)) return CompleteRequest(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
  auto* fdx = static_cast<FdoExtension*>(device->DeviceExtension);
  InterlockedIncrement(&fdx->openCount);
  return CompleteRequest(irp, STATUS_SUCCESS, 0);
}

NTSTATUS DispatchClose(PDEVICE_OBJECT device, PIRP irp) {
  if (IsChild(device)) return CompleteRequest(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
  auto* fdx = static_cast<FdoExtension*>(device->DeviceExtension);
  InterlockedDecrement(&fdx->openCount);
  return CompleteRequest(irp, STATUS_SUCCESS, 0);
}

NTSTATUS PassDown(FdoExtension* fdx, PIRP irp) {
  IoSkipCurrentIrpStackLocation(irp);
  return IoCallDriver(fdx->lower, irp);
}

NTSTATUS DispatchPassDown(PDEVICE_OBJECT device, PIRP irp) {
  if (IsChild(device)) {
    // The child's requests go to the parent, which passes them down its stack.
    auto* child = static_cast<ChildExtension*>(device->DeviceExtension);
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(child->parent, irp);
  }
  auto* fdx = static_cast<FdoExtension*>(device->DeviceExtension);
  NTSTATUS status = AcquireRemoveLock(&fdx->removeLock);
  if (!NT_SUCCESS(status)) return CompleteRequest(irp, status, 0);
  status = PassDown(fdx, irp);
  ReleaseRemoveLock(&fdx->removeLock);
  return status;
}

NTSTATUS DispatchCleanup(PDEVICE_OBJECT device, PIRP irp) {
  if (IsChild(device)) return DispatchPassDown(device, irp);
  auto* fdx = static_cast<FdoExtension*>(device->DeviceExtension);
  RunDeferredUndos();
  PFILE_OBJECT file = IoGetCurrentIrpStackLocation(irp)->FileObject;
  NTSTATUS status = AcquireRemoveLock(&fdx->removeLock);
  if (!NT_SUCCESS(status)) {
    CleanupFile(nullptr, file);
    return CompleteRequest(irp, STATUS_SUCCESS, 0);
  }
  KeEnterCriticalRegion();
  ExAcquireResourceSharedLite(&fdx->adapterLock, TRUE);
  CleanupFile(fdx->adapter, file);
  ExReleaseResourceLite(&fdx->adapterLock);
  KeLeaveCriticalRegion();
  status = PassDown(fdx, irp);
  ReleaseRemoveLock(&fdx->removeLock);
  return status;
}
