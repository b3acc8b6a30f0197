// The function device's Plug and Play frame: AddDevice, the RemoveLock, the
// PnpState machine, and the device start and stop that create and destroy
// the Adapter.
//
// Plug and Play requests come one at a time from the system. Commands run
// beside them: the RemoveLock keeps the extension alive under a command, and
// the adapterLock (exclusive here, shared in commands) keeps a command from
// running on an Adapter that a stop or removal is tearing down. The device
// interface is registered from AddDevice to removal and enabled while the
// device is started; surprise removal disables it at once so that clients
// are told and close their handles, and only then does REMOVE_DEVICE come.
#include "driver/core/core.h"

namespace {

NTSTATUS SignalOnReturn(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
  UNREFERENCED_PARAMETER(device);
  UNREFERENCED_PARAMETER(irp);
  KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

void SetInterface(FdoExtension* fdx, bool enable) {
  if (!fdx->interfaceName.Buffer || fdx->interfaceEnabled == enable) return;
  if (NT_SUCCESS(IoSetDeviceInterfaceState(&fdx->interfaceName, enable ? TRUE : FALSE)))
    fdx->interfaceEnabled = enable;
}

void FreeInterfaceName(FdoExtension* fdx) {
  if (!fdx->interfaceName.Buffer) return;
  RtlFreeUnicodeString(&fdx->interfaceName);
  RtlZeroMemory(&fdx->interfaceName, sizeof fdx->interfaceName);
}

void LockAdapter(FdoExtension* fdx) {
  KeEnterCriticalRegion();
  ExAcquireResourceExclusiveLite(&fdx->adapterLock, TRUE);
}

void UnlockAdapter(FdoExtension* fdx) {
  ExReleaseResourceLite(&fdx->adapterLock);
  KeLeaveCriticalRegion();
}

NTSTATUS StartDevice(FdoExtension* fdx) {
  LockAdapter(fdx);
  // A start without a stop in between (a repeated START) keeps what it has.
  if (!fdx->adapter) fdx->adapter = CreateAdapter(fdx);
  Adapter* adapter = fdx->adapter;
  UnlockAdapter(fdx);
  if (!adapter) return STATUS_INSUFFICIENT_RESOURCES;
  SetInterface(fdx, true);
  // The child is made once; a restart after a stop keeps it.
  if (fdx->childCount == 0 && NT_SUCCESS(CreateChild(fdx))) fdx->childCount = 1;
  SetPnpState(fdx, kStarted);
  return STATUS_SUCCESS;
}

// Saves the settings, tells the clients (slot 6), tears the Adapter down and
// disables the interface. The name itself stays until removal, so that a
// later START can enable it again.
void StopDevice(FdoExtension* fdx) {
  LockAdapter(fdx);
  Adapter* adapter = fdx->adapter;
  if (adapter) {
    adapter->engine->SaveSettings();
    SignalSlot(adapter, kSlotRemoval);
    DestroyAdapter(adapter);
    fdx->adapter = nullptr;
  }
  UnlockAdapter(fdx);
  SetInterface(fdx, false);
}

void DeleteFunctionDevice(FdoExtension* fdx) {
  PDEVICE_OBJECT self = fdx->self;
  ExDeleteResourceLite(&fdx->adapterLock);
  if (fdx->lower) IoDetachDevice(fdx->lower);
  IoDeleteDevice(self);
}

}  // namespace

NTSTATUS AcquireRemoveLock(RemoveLock* lock) {
  InterlockedIncrement(&lock->count);
  if (lock->removing) {
    if (InterlockedDecrement(&lock->count) == 0) KeSetEvent(&lock->drained, IO_NO_INCREMENT, FALSE);
    return STATUS_DELETE_PENDING;
  }
  return STATUS_SUCCESS;
}

void ReleaseRemoveLock(RemoveLock* lock) {
  if (InterlockedDecrement(&lock->count) == 0) KeSetEvent(&lock->drained, IO_NO_INCREMENT, FALSE);
}

static void DrainRemoveLock(RemoveLock* lock) {
  lock->removing = 1;
  // The initial count and the removal request's own acquisition.
  ReleaseRemoveLock(lock);
  ReleaseRemoveLock(lock);
  KeWaitForSingleObject(&lock->drained, Executive, KernelMode, FALSE, nullptr);
}

NTSTATUS ForwardAndWait(FdoExtension* fdx, PIRP irp) {
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IoCopyCurrentIrpStackLocationToNext(irp);
  IoSetCompletionRoutine(irp, SignalOnReturn, &done, TRUE, TRUE, TRUE);
  if (IoCallDriver(fdx->lower, irp) == STATUS_PENDING)
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
  return irp->IoStatus.Status;
}

NTSTATUS AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT physical) {
  PDEVICE_OBJECT device = nullptr;
  NTSTATUS status = IoCreateDevice(driver, sizeof(FdoExtension), nullptr, FILE_DEVICE_UNKNOWN,
                                   FILE_DEVICE_SECURE_OPEN, FALSE, &device);
  if (!NT_SUCCESS(status)) return status;
  auto* fdx = static_cast<FdoExtension*>(device->DeviceExtension);
  RtlZeroMemory(fdx, sizeof *fdx);
  fdx->self = device;
  fdx->physical = physical;
  fdx->driver = driver;
  fdx->removeLock.count = 1;
  KeInitializeEvent(&fdx->removeLock.drained, NotificationEvent, FALSE);
  SetPnpState(fdx, kNotStarted);
  ExInitializeResourceLite(&fdx->adapterLock);

  GUID interfaceClass;
  static_assert(sizeof interfaceClass == sizeof tqm::kInterfaceGuid);
  RtlCopyMemory(&interfaceClass, &tqm::kInterfaceGuid, sizeof interfaceClass);
  status = IoRegisterDeviceInterface(physical, &interfaceClass, nullptr, &fdx->interfaceName);
  if (NT_SUCCESS(status)) {
    fdx->lower = IoAttachDeviceToDeviceStack(device, physical);
    if (!fdx->lower) status = STATUS_DEVICE_REMOVED;
  }
  if (!NT_SUCCESS(status)) {
    FreeInterfaceName(fdx);
    DeleteFunctionDevice(fdx);
    return status;
  }
  device->Flags |= DO_POWER_PAGABLE;
  fdx->devicePower = PowerDeviceD0;
  fdx->systemPower = PowerSystemWorking;
  POWER_STATE state;
  state.DeviceState = PowerDeviceD0;
  PoSetPowerState(device, DevicePowerState, state);
  device->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}

namespace {

NTSTATUS QueryCapabilities(FdoExtension* fdx, PIRP irp) {
  PDEVICE_CAPABILITIES caps = IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceCapabilities.Capabilities;
  if (!caps || caps->Version < 1 || caps->Size < sizeof(DEVICE_CAPABILITIES))
    return CompleteRequest(irp, STATUS_UNSUCCESSFUL, irp->IoStatus.Information);
  caps->SurpriseRemovalOK = TRUE;
  irp->IoStatus.Status = STATUS_SUCCESS;
  const NTSTATUS status = ForwardAndWait(fdx, irp);
  if (NT_SUCCESS(status)) RtlCopyMemory(&fdx->capabilities, caps, sizeof fdx->capabilities);
  caps->SurpriseRemovalOK = TRUE;
  return CompleteRequest(irp, status, 0);
}

NTSTATUS ReportBusRelations(FdoExtension* fdx, PIRP irp) {
  auto* old = reinterpret_cast<PDEVICE_RELATIONS>(irp->IoStatus.Information);
  const ULONG previous = old ? old->Count : 0;
  const ULONG count = previous + fdx->childCount;
  const ULONG bytes = ULONG(sizeof(DEVICE_RELATIONS) + (count ? count - 1 : 0) * sizeof(PDEVICE_OBJECT));
  auto* list = static_cast<PDEVICE_RELATIONS>(ExAllocatePoolWithTag(PagedPool, bytes, kTagPnp));
  if (!list) {
    irp->IoStatus.Status = STATUS_INSUFFICIENT_RESOURCES;
    return PassDown(fdx, irp);
  }
  for (ULONG i = 0; i < previous; ++i) list->Objects[i] = old->Objects[i];
  for (ULONG i = 0; i < fdx->childCount; ++i) {
    ObReferenceObject(fdx->children[i]);
    list->Objects[previous + i] = fdx->children[i];
  }
  list->Count = count;
  if (old) ExFreePool(old);
  irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(list);
  irp->IoStatus.Status = STATUS_SUCCESS;
  return PassDown(fdx, irp);
}

NTSTATUS FdoPnp(FdoExtension* fdx, PIRP irp) {
  PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
  NTSTATUS status;
  switch (location->MinorFunction) {
    case IRP_MN_START_DEVICE:
      status = ForwardAndWait(fdx, irp);
      if (NT_SUCCESS(status)) {
        status = StartDevice(fdx);
        irp->IoStatus.Information = 0;
      }
      return CompleteRequest(irp, status, irp->IoStatus.Information);
    case IRP_MN_QUERY_REMOVE_DEVICE:
      if (fdx->interfaceReferences != 0) return CompleteRequest(irp, STATUS_UNSUCCESSFUL, 0);
      fdx->previousState = PnpStateOf(fdx);
      SetPnpState(fdx, kRemovePending);
      irp->IoStatus.Status = STATUS_SUCCESS;
      return PassDown(fdx, irp);
    case IRP_MN_CANCEL_REMOVE_DEVICE:
      if (PnpStateOf(fdx) != kRemovePending) return PassDown(fdx, irp);
      irp->IoStatus.Status = STATUS_SUCCESS;
      status = ForwardAndWait(fdx, irp);
      if (NT_SUCCESS(status)) SetPnpState(fdx, fdx->previousState);
      return CompleteRequest(irp, status, irp->IoStatus.Information);
    case IRP_MN_STOP_DEVICE:
      if (PnpStateOf(fdx) == kStopPending) {
        StopDevice(fdx);
        SetPnpState(fdx, kNotStarted);
      }
      irp->IoStatus.Status = STATUS_SUCCESS;
      return PassDown(fdx, irp);
    case IRP_MN_QUERY_STOP_DEVICE:
      if (fdx->interfaceReferences != 0) return CompleteRequest(irp, STATUS_UNSUCCESSFUL, 0);
      if (PnpStateOf(fdx) == kStarted) SetPnpState(fdx, kStopPending);
      irp->IoStatus.Status = STATUS_SUCCESS;
      return PassDown(fdx, irp);
    case IRP_MN_CANCEL_STOP_DEVICE:
      if (PnpStateOf(fdx) != kStopPending) return PassDown(fdx, irp);
      irp->IoStatus.Status = STATUS_SUCCESS;
      status = ForwardAndWait(fdx, irp);
      if (NT_SUCCESS(status)) SetPnpState(fdx, kStarted);
      return CompleteRequest(irp, status, irp->IoStatus.Information);
    case IRP_MN_QUERY_DEVICE_RELATIONS:
      if (location->Parameters.QueryDeviceRelations.Type == BusRelations) return ReportBusRelations(fdx, irp);
      irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
      return PassDown(fdx, irp);
    case IRP_MN_QUERY_CAPABILITIES:
      return QueryCapabilities(fdx, irp);
    case IRP_MN_SURPRISE_REMOVAL:
      SetPnpState(fdx, kSurpriseRemoved);
      // Clients learn of it now and close their handles; the Adapter stays
      // for the commands that let them unmap, until REMOVE_DEVICE.
      SetInterface(fdx, false);
      irp->IoStatus.Status = STATUS_SUCCESS;
      return PassDown(fdx, irp);
    default:
      return PassDown(fdx, irp);
  }
}

NTSTATUS RemoveFunctionDevice(FdoExtension* fdx, PIRP irp) {
  StopDevice(fdx);
  FreeInterfaceName(fdx);
  irp->IoStatus.Status = STATUS_SUCCESS;
  const NTSTATUS status = PassDown(fdx, irp);
  DrainRemoveLock(&fdx->removeLock);
  SetPnpState(fdx, kRemoved);
  for (ULONG i = 0; i < fdx->childCount; ++i) IoDeleteDevice(fdx->children[i]);
  fdx->childCount = 0;
  DeleteFunctionDevice(fdx);
  return status;
}

}  // namespace

NTSTATUS DispatchPnp(PDEVICE_OBJECT device, PIRP irp) {
  if (IsChild(device)) return ChildPnp(device, irp);
  auto* fdx = static_cast<FdoExtension*>(device->DeviceExtension);
  NTSTATUS status = AcquireRemoveLock(&fdx->removeLock);
  if (!NT_SUCCESS(status)) return CompleteRequest(irp, status, 0);
  const UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
  // The removal drains the lock and deletes the extension with the device.
  if (minor == IRP_MN_REMOVE_DEVICE) return RemoveFunctionDevice(fdx, irp);
  status = minor < 24 ? FdoPnp(fdx, irp) : PassDown(fdx, irp);
  ReleaseRemoveLock(&fdx->removeLock);
  return status;
}

NTSTATUS DispatchPower(PDEVICE_OBJECT device, PIRP irp) {
  if (IsChild(device)) return ChildPower(device, irp);
  return FdoPower(static_cast<FdoExtension*>(device->DeviceExtension), irp);
}
