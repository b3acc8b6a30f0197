// The stand-in device of another interface version (other_version.h).
//
// A small WDM function driver: AddDevice attaches a function device to the
// root PDO and registers the interface; START goes down first, then enables
// it; REMOVE disables it, goes down, detaches and deletes. Creates and closes
// succeed; the one control code is answered for Identify only, METHOD_BUFFERED.
#include "platform/sim/other_version.h"

#include <cstring>

#include "platform/sim/simulator.h"
#include "tqm/command_record.h"

namespace tqm::sim {

namespace {

constexpr wchar_t kService[] = L"TqmOtherVersion";

struct Extension {
  PDEVICE_OBJECT self;
  PDEVICE_OBJECT lower;
  UNICODE_STRING link;
};

NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information = 0) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

NTSTATUS SignalDone(PDEVICE_OBJECT, PIRP, PVOID context) {
  KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS ForwardAndWait(Extension* ext, PIRP irp) {
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IoCopyCurrentIrpStackLocationToNext(irp);
  IoSetCompletionRoutine(irp, SignalDone, &done, TRUE, TRUE, TRUE);
  if (IoCallDriver(ext->lower, irp) == STATUS_PENDING)
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
  return irp->IoStatus.Status;
}

NTSTATUS PassDown(Extension* ext, PIRP irp) {
  IoSkipCurrentIrpStackLocation(irp);
  return IoCallDriver(ext->lower, irp);
}

NTSTATUS Control(PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  const auto& p = stack->Parameters.DeviceIoControl;
  if (p.IoControlCode != kCommandControlCode || p.InputBufferLength < kCommandRecordSize ||
      p.OutputBufferLength < kCommandRecordSize)
    return Complete(irp, STATUS_INVALID_PARAMETER);
  CommandRecord record;
  std::memcpy(record.bytes, irp->AssociatedIrp.SystemBuffer, kCommandRecordSize);
  if (record.Get32(Field::Class) != CMD_CLASS_DRIVER || record.Get32(Field::SubOp) != DriverOp::Identify)
    return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
  record.Set32(Field::VersionMajor, OtherVersionDevice::kMajor);
  record.Set32(Field::VersionMinor, OtherVersionDevice::kMinor);
  std::memcpy(irp->AssociatedIrp.SystemBuffer, record.bytes, kCommandRecordSize);
  return Complete(irp, STATUS_SUCCESS, kCommandRecordSize);
}

NTSTATUS Pnp(Extension* ext, PIRP irp) {
  switch (IoGetCurrentIrpStackLocation(irp)->MinorFunction) {
    case IRP_MN_START_DEVICE: {
      NTSTATUS status = ForwardAndWait(ext, irp);
      if (NT_SUCCESS(status)) status = IoSetDeviceInterfaceState(&ext->link, TRUE);
      return Complete(irp, status, irp->IoStatus.Information);
    }
    case IRP_MN_SURPRISE_REMOVAL:
      IoSetDeviceInterfaceState(&ext->link, FALSE);
      irp->IoStatus.Status = STATUS_SUCCESS;
      return PassDown(ext, irp);
    case IRP_MN_REMOVE_DEVICE: {
      IoSetDeviceInterfaceState(&ext->link, FALSE);
      RtlFreeUnicodeString(&ext->link);
      irp->IoStatus.Status = STATUS_SUCCESS;
      PDEVICE_OBJECT lower = ext->lower;
      PDEVICE_OBJECT self = ext->self;
      const NTSTATUS status = PassDown(ext, irp);
      IoDetachDevice(lower);
      IoDeleteDevice(self);
      return status;
    }
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_STOP_DEVICE:
      irp->IoStatus.Status = STATUS_SUCCESS;
      return PassDown(ext, irp);
    default:
      return PassDown(ext, irp);
  }
}

NTSTATUS Dispatch(PDEVICE_OBJECT device, PIRP irp) {
  auto* ext = static_cast<Extension*>(device->DeviceExtension);
  switch (IoGetCurrentIrpStackLocation(irp)->MajorFunction) {
    case IRP_MJ_PNP:
      return Pnp(ext, irp);
    case IRP_MJ_POWER:
      PoStartNextPowerIrp(irp);
      IoSkipCurrentIrpStackLocation(irp);
      return PoCallDriver(ext->lower, irp);
    case IRP_MJ_CREATE:
    case IRP_MJ_CLEANUP:
    case IRP_MJ_CLOSE:
      return Complete(irp, STATUS_SUCCESS);
    case IRP_MJ_DEVICE_CONTROL:
      return Control(irp);
    default:
      return PassDown(ext, irp);
  }
}

NTSTATUS AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
  PDEVICE_OBJECT fdo;
  NTSTATUS status =
      IoCreateDevice(driver, sizeof(Extension), nullptr, FILE_DEVICE_UNKNOWN, FILE_DEVICE_SECURE_OPEN, FALSE, &fdo);
  if (!NT_SUCCESS(status)) return status;
  auto* ext = static_cast<Extension*>(fdo->DeviceExtension);
  *ext = Extension{fdo, nullptr, {}};
  const GUID cls = DriverInterfaceClass();
  status = IoRegisterDeviceInterface(pdo, &cls, nullptr, &ext->link);
  if (!NT_SUCCESS(status)) {
    IoDeleteDevice(fdo);
    return status;
  }
  ext->lower = IoAttachDeviceToDeviceStack(fdo, pdo);
  if (!ext->lower) {
    RtlFreeUnicodeString(&ext->link);
    IoDeleteDevice(fdo);
    return STATUS_NO_SUCH_DEVICE;
  }
  fdo->Flags |= DO_BUFFERED_IO | DO_POWER_PAGABLE;
  fdo->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}

NTSTATUS DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  for (PDRIVER_DISPATCH& d : driver->MajorFunction) d = Dispatch;
  driver->DriverExtension->AddDevice = AddDevice;
  return STATUS_SUCCESS;
}

}  // namespace

OtherVersionDevice::OtherVersionDevice(kernel::Machine& machine) : machine_(machine) {
  machine_.RegisterDriver(kHardwareId, DriverEntry, kService);
}

OtherVersionDevice::~OtherVersionDevice() { Remove(); }

NTSTATUS OtherVersionDevice::Add() {
  if (pdo_) return STATUS_SUCCESS;
  NTSTATUS status;
  pdo_ = machine_.CreateRootDevice(kHardwareId, &status);
  return pdo_ ? STATUS_SUCCESS : status;
}

NTSTATUS OtherVersionDevice::Remove() {
  if (!pdo_) return STATUS_SUCCESS;
  const NTSTATUS status = machine_.RequestRemoval(pdo_, true);
  if (NT_SUCCESS(status)) pdo_ = nullptr;
  return status;
}

}  // namespace tqm::sim
