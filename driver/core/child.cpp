// The child device: the physical device object on which the system loads
// the companion audio-class driver, and the companion interface it hands
// that driver.
//
// The function device creates the child at its first start and reports it
// in BusRelations; the child lives until the function device's removal
// deletes it (the system removes children before their parent). The child
// answers its own identifiers and the few requests a bus driver owns; the
// queries that only the real device's stack can answer go to the top of the
// parent's stack in a request of the child's own. The companion holds
// interface references from its query until it gives them back or the
// child is removed; while it does, the parent refuses query-stop and
// query-remove.
#include "driver/core/core.h"

#include <ntstrsafe.h>

namespace {

constexpr ULONG kIdChars = 64;

NTSTATUS CompleteWithCurrent(PIRP irp) {
  const NTSTATUS status = irp->IoStatus.Status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

void InterfaceReference(PVOID context) {
  InterlockedIncrement(&static_cast<FdoExtension*>(context)->interfaceReferences);
}

// Never below zero: a companion that gives back more than it took must not
// make the parent think a later holder is gone.
void InterfaceDereference(PVOID context) {
  volatile LONG* count = &static_cast<FdoExtension*>(context)->interfaceReferences;
  for (;;) {
    const LONG old = *count;
    if (old <= 0 || InterlockedCompareExchange(count, old - 1, old) == old) return;
  }
}

NTSTATUS CompanionCallIn(PVOID adapter, ULONG operation, ULONG* arguments) {
  auto* owner = static_cast<Adapter*>(adapter);
  if (!owner || !arguments) return STATUS_INVALID_PARAMETER;
  return engine::CompanionCall(owner->engine, &owner->companion, operation, arguments);
}

NTSTATUS QueryId(ChildExtension* cx, PIRP irp) {
  const BUS_QUERY_ID_TYPE type = IoGetCurrentIrpStackLocation(irp)->Parameters.QueryId.IdType;
  if (type != BusQueryDeviceID && type != BusQueryHardwareIDs && type != BusQueryInstanceID)
    return CompleteRequest(irp, STATUS_NOT_SUPPORTED, 0);
  // 64 characters and the terminator, and the list's second terminator.
  const ULONG bytes = (kIdChars + 2) * sizeof(WCHAR);
  auto* text = static_cast<PWCHAR>(ExAllocatePoolWithTag(PagedPool, bytes, kTagPnp));
  if (!text) return CompleteRequest(irp, STATUS_INSUFFICIENT_RESOURCES, 0);
  RtlZeroMemory(text, bytes);
  const int instance = int(cx->instance);
  if (type == BusQueryDeviceID)
    RtlStringCchPrintfW(text, kIdChars + 1, L"%ws\\%ws_%02d", L"ORU", L"TQM27", instance);
  else if (type == BusQueryHardwareIDs)
    RtlStringCchPrintfW(text, kIdChars + 1, L"%ws%02d", L"ORU\\TQM27_", instance);
  else
    RtlStringCchPrintfW(text, kIdChars + 1, L"%04d", instance);
  return CompleteRequest(irp, STATUS_SUCCESS, reinterpret_cast<ULONG_PTR>(text));
}

NTSTATUS TargetRelation(ChildExtension* cx, PIRP irp) {
  auto* list = static_cast<PDEVICE_RELATIONS>(ExAllocatePoolWithTag(PagedPool, sizeof(DEVICE_RELATIONS), kTagPnp));
  if (!list) return CompleteRequest(irp, STATUS_INSUFFICIENT_RESOURCES, irp->IoStatus.Information);
  auto* old = reinterpret_cast<PDEVICE_RELATIONS>(irp->IoStatus.Information);
  if (old) {
    for (ULONG i = 0; i < old->Count; ++i) ObDereferenceObject(old->Objects[i]);
    ExFreePool(old);
  }
  ObReferenceObject(cx->self);
  list->Count = 1;
  list->Objects[0] = cx->self;
  return CompleteRequest(irp, STATUS_SUCCESS, reinterpret_cast<ULONG_PTR>(list));
}

NTSTATUS QueryInterface(ChildExtension* cx, PIRP irp) {
  PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
  auto* fdx = static_cast<FdoExtension*>(cx->parent->DeviceExtension);
  if (location->Parameters.QueryInterface.Version == 0) return CompleteWithCurrent(irp);
  auto* out = reinterpret_cast<TqmCompanionInterface*>(location->Parameters.QueryInterface.Interface);
  if (location->Parameters.QueryInterface.Size < sizeof(TqmCompanionInterface) || !out)
    return CompleteRequest(irp, STATUS_INVALID_PARAMETER, irp->IoStatus.Information);
  out->Size = sizeof(TqmCompanionInterface);
  out->Version = kCompanionInterfaceVersion;
  out->Context = fdx;
  out->InterfaceReference = InterfaceReference;
  out->InterfaceDereference = InterfaceDereference;
  out->CallIn = CompanionCallIn;
  out->Adapter = fdx->adapter;
  out->Instance = cx->instance;
  InterfaceReference(fdx);
  return CompleteRequest(irp, STATUS_SUCCESS, irp->IoStatus.Information);
}

// The parent stack's answer comes back: it becomes the child's, except that
// "not supported" is a failure for the queries a device must answer.
NTSTATUS ParentAnswered(PDEVICE_OBJECT device, PIRP forwarded, PVOID context) {
  UNREFERENCED_PARAMETER(device);
  PIRP irp = static_cast<PIRP>(context);
  PIO_STACK_LOCATION mine = IoGetCurrentIrpStackLocation(forwarded);
  ObDereferenceObject(static_cast<PDEVICE_OBJECT>(mine->Parameters.Others.Argument2));
  const bool failUnsupported = mine->Parameters.Others.Argument3 != nullptr;
  if (forwarded->IoStatus.Status != STATUS_NOT_SUPPORTED)
    irp->IoStatus.Status = forwarded->IoStatus.Status;
  else if (failUnsupported)
    irp->IoStatus.Status = STATUS_UNSUCCESSFUL;
  irp->IoStatus.Information = forwarded->IoStatus.Information;
  IoFreeIrp(forwarded);
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS ForwardToParentStack(ChildExtension* cx, PIRP irp) {
  const UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
  const bool failUnsupported = !(minor == IRP_MN_QUERY_INTERFACE || minor == IRP_MN_QUERY_CAPABILITIES ||
                                 minor == IRP_MN_QUERY_PNP_DEVICE_STATE || minor == IRP_MN_DEVICE_USAGE_NOTIFICATION);
  PDEVICE_OBJECT top = IoGetAttachedDeviceReference(cx->parent);
  PIRP forwarded = IoAllocateIrp(CCHAR(top->StackSize + 1), FALSE);
  if (!forwarded) {
    ObDereferenceObject(top);
    return CompleteRequest(irp, STATUS_INSUFFICIENT_RESOURCES, irp->IoStatus.Information);
  }
  // The extra location is ours: it keeps the top device and the flag.
  IoSetNextIrpStackLocation(forwarded);
  PIO_STACK_LOCATION mine = IoGetCurrentIrpStackLocation(forwarded);
  mine->DeviceObject = cx->self;
  mine->Parameters.Others.Argument1 = irp;
  mine->Parameters.Others.Argument2 = top;
  mine->Parameters.Others.Argument3 = failUnsupported ? top : nullptr;
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(forwarded);
  PIO_STACK_LOCATION incoming = IoGetCurrentIrpStackLocation(irp);
  next->MajorFunction = incoming->MajorFunction;
  next->MinorFunction = incoming->MinorFunction;
  next->Flags = incoming->Flags;
  next->Parameters = incoming->Parameters;
  next->FileObject = incoming->FileObject;
  IoSetCompletionRoutine(forwarded, ParentAnswered, irp, TRUE, TRUE, TRUE);
  forwarded->IoStatus.Status = STATUS_NOT_SUPPORTED;
  IoMarkIrpPending(irp);
  IoCallDriver(top, forwarded);
  return STATUS_PENDING;
}

}  // namespace

NTSTATUS CreateChild(FdoExtension* fdx) {
  PDEVICE_OBJECT child = nullptr;
  const NTSTATUS status = IoCreateDevice(fdx->driver, sizeof(ChildExtension), nullptr, FILE_DEVICE_BUS_EXTENDER,
                                         FILE_AUTOGENERATED_DEVICE_NAME | FILE_DEVICE_SECURE_OPEN, FALSE, &child);
  if (!NT_SUCCESS(status)) return status;
  auto* cx = static_cast<ChildExtension*>(child->DeviceExtension);
  RtlZeroMemory(cx, sizeof *cx);
  cx->childFlag = kChildFlag;
  cx->instance = 1;
  cx->self = child;
  cx->parent = fdx->self;
  // Requests the child passes to its parent continue down the parent's stack.
  child->StackSize = CCHAR(fdx->self->StackSize + 1);
  child->Flags &= ~DO_DEVICE_INITIALIZING;
  fdx->children[0] = child;
  return STATUS_SUCCESS;
}

NTSTATUS ChildPnp(PDEVICE_OBJECT device, PIRP irp) {
  auto* cx = static_cast<ChildExtension*>(device->DeviceExtension);
  PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
  switch (location->MinorFunction) {
    case IRP_MN_START_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_QUERY_RESOURCES:
    case IRP_MN_QUERY_RESOURCE_REQUIREMENTS:
    case IRP_MN_FILTER_RESOURCE_REQUIREMENTS:
    case 0x0E:
    case IRP_MN_SURPRISE_REMOVAL:
      return CompleteRequest(irp, STATUS_SUCCESS, irp->IoStatus.Information);
    case IRP_MN_REMOVE_DEVICE: {
      // The companion is gone: whatever it still held goes with it. The
      // device object itself goes with the parent.
      auto* fdx = static_cast<FdoExtension*>(cx->parent->DeviceExtension);
      InterfaceDereference(fdx);
      return CompleteRequest(irp, STATUS_SUCCESS, irp->IoStatus.Information);
    }
    case IRP_MN_QUERY_DEVICE_RELATIONS:
      if (location->Parameters.QueryDeviceRelations.Type == TargetDeviceRelation) return TargetRelation(cx, irp);
      return CompleteWithCurrent(irp);
    case IRP_MN_QUERY_INTERFACE: {
      const GUID* type = location->Parameters.QueryInterface.InterfaceType;
      if (type && RtlCompareMemory(type, &tqm::kInterfaceGuid, sizeof(GUID)) == sizeof(GUID))
        return QueryInterface(cx, irp);
      return ForwardToParentStack(cx, irp);
    }
    case IRP_MN_QUERY_CAPABILITIES:
    case IRP_MN_READ_CONFIG:
    case IRP_MN_WRITE_CONFIG:
    case IRP_MN_EJECT:
    case IRP_MN_SET_LOCK:
    case IRP_MN_QUERY_PNP_DEVICE_STATE:
    case IRP_MN_QUERY_BUS_INFORMATION:
    case IRP_MN_DEVICE_USAGE_NOTIFICATION:
    case IRP_MN_QUERY_LEGACY_BUS_INFORMATION:
      return ForwardToParentStack(cx, irp);
    case IRP_MN_QUERY_ID:
      return QueryId(cx, irp);
    default:
      // QUERY_DEVICE_TEXT (no text) and everything from 25 on.
      return CompleteWithCurrent(irp);
  }
}

NTSTATUS ChildPower(PDEVICE_OBJECT device, PIRP irp) {
  PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
  PoStartNextPowerIrp(irp);
  switch (location->MinorFunction) {
    case IRP_MN_WAIT_WAKE:
      return CompleteRequest(irp, STATUS_NOT_SUPPORTED, irp->IoStatus.Information);
    case IRP_MN_SET_POWER:
      if (location->Parameters.Power.Type == DevicePowerState)
        PoSetPowerState(device, DevicePowerState, location->Parameters.Power.State);
      return CompleteRequest(irp, STATUS_SUCCESS, irp->IoStatus.Information);
    case IRP_MN_QUERY_POWER:
      return CompleteRequest(irp, STATUS_SUCCESS, irp->IoStatus.Information);
    default:
      // POWER_SEQUENCE and everything from 4 on.
      return CompleteWithCurrent(irp);
  }
}
