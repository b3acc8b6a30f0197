// The companion's WDM driver: the function device on TQMDRV's child.
//
// AddDevice creates the function device with its Companion and attaches it
// to the child. START goes down first; once the child has started, the
// driver asks the top of its stack for the TqmCompanionInterface and hands
// it to the Companion, which holds the one reference the child took. A
// START without the interface fails: the companion has nothing to stream
// through. SURPRISE_REMOVAL quiesces the Companion (no call-in after it, while
// TQMDRV is still there to take the closes); STOP and REMOVE also give the
// reference back, before the request goes down to the child. QUERY_REMOVE and
// QUERY_STOP give the interface back too (or are refused while a stream is
// open, see companion.h), and their CANCEL takes it again once the child is
// back to started. Everything else
// passes down unchanged; nobody opens the companion's device itself.
//
// Every request here arrives at PASSIVE_LEVEL on the Plug and Play manager's
// thread; the list of loaded companions is guarded by its own mutex.
#include <algorithm>
#include <cstring>
#include <mutex>
#include <new>
#include <vector>

#include "companion/companion.h"
#include "platform/kernel/machine.h"
#include "tqm/identity.h"

namespace tqm::companion {

namespace {

struct DeviceExtension {
  PDEVICE_OBJECT self;
  PDEVICE_OBJECT lower;
  PDEVICE_OBJECT pdo;
  Companion* companion;
  // The interface was given back at a query; its cancel takes it again.
  bool letGo;
};

struct Loaded {
  PDEVICE_OBJECT fdo;
  PDEVICE_OBJECT pdo;
  Companion* companion;
};

std::mutex loadedMu;
std::vector<Loaded> loaded;

GUID InterfaceType() {
  static_assert(sizeof(GUID) == sizeof(tqm::Guid128));
  GUID guid;
  std::memcpy(&guid, &tqm::kInterfaceGuid, sizeof guid);
  return guid;
}

NTSTATUS Complete(PIRP irp, NTSTATUS status) {
  irp->IoStatus.Status = status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

NTSTATUS PassDown(DeviceExtension* ext, PIRP irp) {
  IoSkipCurrentIrpStackLocation(irp);
  return IoCallDriver(ext->lower, irp);
}

NTSTATUS SignalDone(PDEVICE_OBJECT, PIRP, PVOID context) {
  KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS ForwardAndWait(DeviceExtension* ext, PIRP irp) {
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IoCopyCurrentIrpStackLocationToNext(irp);
  IoSetCompletionRoutine(irp, SignalDone, &done, TRUE, TRUE, TRUE);
  if (IoCallDriver(ext->lower, irp) == STATUS_PENDING)
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
  return irp->IoStatus.Status;
}

// IRP_MN_QUERY_INTERFACE to the top of the device's stack, as a driver asks
// for a bus interface.
NTSTATUS QueryCompanionInterface(DeviceExtension* ext, TqmCompanionInterface* itf) {
  PDEVICE_OBJECT top = IoGetAttachedDeviceReference(ext->self);
  PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
  if (!irp) {
    ObDereferenceObject(top);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  const GUID type = InterfaceType();
  *itf = {};
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_PNP;
  next->MinorFunction = IRP_MN_QUERY_INTERFACE;
  next->Parameters.QueryInterface.InterfaceType = &type;
  next->Parameters.QueryInterface.Size = sizeof(TqmCompanionInterface);
  next->Parameters.QueryInterface.Version = kCompanionInterfaceVersion;
  next->Parameters.QueryInterface.Interface = reinterpret_cast<PINTERFACE>(itf);
  next->Parameters.QueryInterface.InterfaceSpecificData = nullptr;
  IoSetCompletionRoutine(irp, SignalDone, &done, TRUE, TRUE, TRUE);
  if (IoCallDriver(top, irp) == STATUS_PENDING) KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
  NTSTATUS status = irp->IoStatus.Status;
  IoFreeIrp(irp);
  ObDereferenceObject(top);
  if (!NT_SUCCESS(status)) return status;
  // An answer without a call-in routine is of no use; the reference it took
  // goes back.
  if (!itf->CallIn || !itf->InterfaceDereference) {
    if (itf->InterfaceDereference) itf->InterfaceDereference(itf->Context);
    return STATUS_NOT_SUPPORTED;
  }
  return STATUS_SUCCESS;
}

NTSTATUS Start(DeviceExtension* ext, PIRP irp) {
  NTSTATUS status = ForwardAndWait(ext, irp);
  if (NT_SUCCESS(status)) {
    TqmCompanionInterface itf;
    status = QueryCompanionInterface(ext, &itf);
    if (NT_SUCCESS(status)) status = ext->companion->Attach(itf, ext->pdo->DriverObject);
  }
  return Complete(irp, status);
}

NTSTATUS Query(DeviceExtension* ext, PIRP irp) {
  bool released = false;
  const NTSTATUS status = ext->companion->LetGo(&released);
  if (!NT_SUCCESS(status)) return Complete(irp, status);
  if (released) ext->letGo = true;
  irp->IoStatus.Status = STATUS_SUCCESS;
  return PassDown(ext, irp);
}

// The cancel goes down first: the interface is asked for again once the
// child is started again.
NTSTATUS Cancel(DeviceExtension* ext, PIRP irp) {
  irp->IoStatus.Status = STATUS_SUCCESS;
  const NTSTATUS status = ForwardAndWait(ext, irp);
  if (ext->letGo) {
    ext->letGo = false;
    TqmCompanionInterface itf;
    NTSTATUS attach = QueryCompanionInterface(ext, &itf);
    if (NT_SUCCESS(attach)) attach = ext->companion->Attach(itf, ext->pdo->DriverObject);
    if (NT_SUCCESS(attach)) ext->companion->CountTakeBack();
  }
  return Complete(irp, status);
}

void Forget(PDEVICE_OBJECT fdo) {
  std::lock_guard lock(loadedMu);
  loaded.erase(std::remove_if(loaded.begin(), loaded.end(), [&](const Loaded& l) { return l.fdo == fdo; }),
               loaded.end());
}

NTSTATUS DispatchPnp(DeviceExtension* ext, PIRP irp) {
  switch (IoGetCurrentIrpStackLocation(irp)->MinorFunction) {
    case IRP_MN_START_DEVICE:
      return Start(ext, irp);
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
      return Query(ext, irp);
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
      return Cancel(ext, irp);
    case IRP_MN_STOP_DEVICE:
      ext->letGo = false;
      ext->companion->Quiesce();
      ext->companion->Release();
      irp->IoStatus.Status = STATUS_SUCCESS;
      return PassDown(ext, irp);
    case IRP_MN_SURPRISE_REMOVAL:
      ext->companion->Quiesce();
      irp->IoStatus.Status = STATUS_SUCCESS;
      return PassDown(ext, irp);
    case IRP_MN_REMOVE_DEVICE: {
      ext->letGo = false;
      ext->companion->Quiesce();
      ext->companion->Release();
      Forget(ext->self);
      delete ext->companion;
      ext->companion = nullptr;
      irp->IoStatus.Status = STATUS_SUCCESS;
      PDEVICE_OBJECT lower = ext->lower;
      PDEVICE_OBJECT self = ext->self;
      const NTSTATUS status = PassDown(ext, irp);
      IoDetachDevice(lower);
      IoDeleteDevice(self);
      return status;
    }
    default:
      return PassDown(ext, irp);
  }
}

NTSTATUS Dispatch(PDEVICE_OBJECT device, PIRP irp) {
  auto* ext = static_cast<DeviceExtension*>(device->DeviceExtension);
  switch (IoGetCurrentIrpStackLocation(irp)->MajorFunction) {
    case IRP_MJ_PNP:
      return DispatchPnp(ext, irp);
    case IRP_MJ_POWER:
      PoStartNextPowerIrp(irp);
      IoSkipCurrentIrpStackLocation(irp);
      return PoCallDriver(ext->lower, irp);
    case IRP_MJ_CREATE:
    case IRP_MJ_CLOSE:
    case IRP_MJ_DEVICE_CONTROL:
      irp->IoStatus.Information = 0;
      return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
    default:
      return PassDown(ext, irp);
  }
}

NTSTATUS AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
  auto* companion = new (std::nothrow) Companion;
  if (!companion) return STATUS_INSUFFICIENT_RESOURCES;
  PDEVICE_OBJECT fdo;
  NTSTATUS status = IoCreateDevice(driver, sizeof(DeviceExtension), nullptr, FILE_DEVICE_UNKNOWN,
                                   FILE_DEVICE_SECURE_OPEN, FALSE, &fdo);
  if (!NT_SUCCESS(status)) {
    delete companion;
    return status;
  }
  auto* ext = static_cast<DeviceExtension*>(fdo->DeviceExtension);
  *ext = DeviceExtension{fdo, IoAttachDeviceToDeviceStack(fdo, pdo), pdo, companion, false};
  if (!ext->lower) {
    IoDeleteDevice(fdo);
    delete companion;
    return STATUS_NO_SUCH_DEVICE;
  }
  fdo->Flags |= DO_POWER_PAGABLE;
  fdo->Flags &= ~DO_DEVICE_INITIALIZING;
  std::lock_guard lock(loadedMu);
  loaded.push_back({fdo, pdo, companion});
  return STATUS_SUCCESS;
}

void Unload(PDRIVER_OBJECT) {}

NTSTATUS DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  for (PDRIVER_DISPATCH& d : driver->MajorFunction) d = Dispatch;
  driver->DriverExtension->AddDevice = AddDevice;
  driver->DriverUnload = Unload;
  return STATUS_SUCCESS;
}

}  // namespace

void RegisterDriver(kernel::Machine& machine) { machine.RegisterDriver(kHardwareId, DriverEntry, kServiceName); }

Companion* FindCompanion(PDEVICE_OBJECT device) {
  std::lock_guard lock(loadedMu);
  for (const Loaded& l : loaded)
    if (l.fdo == device || l.pdo == device) return l.companion;
  return nullptr;
}

std::vector<Companion*> Companions() {
  std::lock_guard lock(loadedMu);
  std::vector<Companion*> out;
  for (const Loaded& l : loaded) out.push_back(l.companion);
  return out;
}

}  // namespace tqm::companion
