// The hub driver object, the hub's function device on the Plug and Play bus,
// and the port's plug and unplug.
#include "usb/usb_hub.h"

#include "platform/kernel/machine.h"
#include "usb/hub_driver.h"

namespace tqm::usb {

namespace {

constexpr ULONG kHubTag = 0x62754855;  // "UHub"

NTSTATUS HubDispatch(PDEVICE_OBJECT device, PIRP irp) {
  auto* ext = static_cast<PortExtension*>(device->DeviceExtension);
  if (ext->port) return ext->port->Dispatch(irp);
  if (ext->hub) return ext->hub->DispatchBus(irp);
  // Not adopted yet (inside the manager's first enumeration of the hub): the
  // port is empty, so BusRelations lists nothing; everything else goes down.
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  if (stack->MajorFunction == IRP_MJ_PNP && stack->MinorFunction == IRP_MN_QUERY_DEVICE_RELATIONS &&
      stack->Parameters.QueryDeviceRelations.Type == BusRelations) {
    auto* relations = static_cast<PDEVICE_RELATIONS>(
        ExAllocatePoolWithTag(PagedPool, sizeof(DEVICE_RELATIONS), kHubTag));
    if (!relations) {
      irp->IoStatus.Status = STATUS_INSUFFICIENT_RESOURCES;
      IoCompleteRequest(irp, IO_NO_INCREMENT);
      return STATUS_INSUFFICIENT_RESOURCES;
    }
    relations->Count = 0;
    irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(relations);
    irp->IoStatus.Status = STATUS_SUCCESS;
  }
  if (stack->MajorFunction == IRP_MJ_POWER) {
    PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(ext->lower, irp);
  }
  IoSkipCurrentIrpStackLocation(irp);
  return IoCallDriver(ext->lower, irp);
}

NTSTATUS HubAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
  PDEVICE_OBJECT fdo;
  const NTSTATUS status = IoCreateDevice(driver, sizeof(PortExtension), nullptr,
                                         FILE_DEVICE_BUS_EXTENDER, 0, FALSE, &fdo);
  if (!NT_SUCCESS(status)) return status;
  auto* ext = static_cast<PortExtension*>(fdo->DeviceExtension);
  *ext = PortExtension{nullptr, nullptr, IoAttachDeviceToDeviceStack(fdo, pdo)};
  if (!ext->lower) {
    IoDeleteDevice(fdo);
    return STATUS_NO_SUCH_DEVICE;
  }
  fdo->Flags |= DO_POWER_PAGABLE;
  fdo->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}

NTSTATUS SignalStarted(PDEVICE_OBJECT, PIRP, PVOID context) {
  KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS Complete(PIRP irp, NTSTATUS status) {
  irp->IoStatus.Status = status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

}  // namespace

NTSTATUS HubDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  for (PDRIVER_DISPATCH& dispatch : driver->MajorFunction) dispatch = HubDispatch;
  driver->DriverExtension->AddDevice = HubAddDevice;
  return STATUS_SUCCESS;
}

UsbHub::UsbHub(kernel::Machine& machine, HubMode mode) : machine_(machine), mode_(mode) {
  NTSTATUS status;
  driver_ = machine.LoadDriver(HubDriverEntry, L"TqmUsbHub", &status);
  if (!driver_ || mode_ != HubMode::PlugAndPlay) return;
  // The manager finds the driver already loaded under its service and adds
  // the hub's function device to the root device it makes.
  machine.RegisterDriver(kHubHardwareId, HubDriverEntry, L"TqmUsbHub");
  root_ = machine.CreateRootDevice(kHubHardwareId, &status);
  if (!root_) return;
  PDEVICE_OBJECT top = IoGetAttachedDeviceReference(root_);
  if (top != root_ && top->DriverObject == driver_) {
    fdo_ = top;
    static_cast<PortExtension*>(fdo_->DeviceExtension)->hub = this;
  }
  ObDereferenceObject(top);
}

UsbHub::~UsbHub() {
  if (fdo_ && root_) {
    // An orderly removal of the whole bus, the port's device first; if that
    // is refused the bus is gone as if unplugged.
    if (!NT_SUCCESS(machine_.RequestRemoval(root_, true))) machine_.SurpriseRemoveDevice(root_);
  }
  for (auto& port : ports_) port.reset();
  if (driver_) machine_.UnloadDriver(driver_);
}

void UsbHub::Report() {
  if (!fdo_) return;
  IoInvalidateDeviceRelations(fdo_, BusRelations);
  machine_.ProcessDeviceRelations();
}

Tqm27Port* UsbHub::Plug(size_t index) {
  if (!driver_ || index >= kPorts) return nullptr;
  if (mode_ == HubMode::PlugAndPlay && !fdo_) return nullptr;
  std::unique_ptr<Tqm27Port>& slot = ports_[index];
  if (slot && !slot->Deleted()) return nullptr;
  slot.reset();
  NTSTATUS status;
  auto port = std::make_unique<Tqm27Port>(machine_, driver_, &status, uint32_t(index + 1));
  if (!NT_SUCCESS(status)) return nullptr;
  port->SetSleepDeviceState(sleepDeviceState_);
  port->SetModes(portModes_);
  slot = std::move(port);
  Report();
  return slot.get();
}

void UsbHub::Unplug(size_t index) {
  if (index >= kPorts) return;
  std::unique_ptr<Tqm27Port>& port = ports_[index];
  if (!port || port->Deleted()) return;
  port->Disconnect();
  // A device whose removal was orderly while it stayed on the bus has no
  // device node left to send another REMOVE: its PDO goes now.
  if (port->Removed()) port->DeletePdo();
  Report();
}

// ---- the hub's function device ----

// The ports' devices while they are on the bus, referenced for the manager.
NTSTATUS UsbHub::AnswerBusRelations(PIRP irp) {
  auto present = [](const std::unique_ptr<Tqm27Port>& p) { return p && !p->Deleted() && !p->Disconnected(); };
  size_t count = 0;
  for (const auto& p : ports_) count += present(p) ? 1 : 0;
  // DEVICE_RELATIONS holds one object itself.
  const size_t bytes = sizeof(DEVICE_RELATIONS) + (count > 1 ? (count - 1) * sizeof(PDEVICE_OBJECT) : 0);
  auto* relations = static_cast<PDEVICE_RELATIONS>(ExAllocatePoolWithTag(PagedPool, bytes, kHubTag));
  if (!relations) return Complete(irp, STATUS_INSUFFICIENT_RESOURCES);
  relations->Count = 0;
  for (const auto& p : ports_) {
    if (!present(p)) continue;
    relations->Objects[relations->Count++] = p->pdo();
    ObReferenceObject(p->pdo());
  }
  irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(relations);
  irp->IoStatus.Status = STATUS_SUCCESS;
  IoSkipCurrentIrpStackLocation(irp);
  return IoCallDriver(static_cast<PortExtension*>(fdo_->DeviceExtension)->lower, irp);
}

NTSTATUS UsbHub::DispatchBus(PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  PDEVICE_OBJECT lower = static_cast<PortExtension*>(fdo_->DeviceExtension)->lower;
  if (stack->MajorFunction == IRP_MJ_POWER) {
    PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(lower, irp);
  }
  if (stack->MajorFunction == IRP_MJ_SYSTEM_CONTROL) {
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(lower, irp);
  }
  if (stack->MajorFunction != IRP_MJ_PNP) {
    // Nobody opens the hub itself.
    return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
  }
  switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE: {
      KEVENT started;
      KeInitializeEvent(&started, NotificationEvent, FALSE);
      IoCopyCurrentIrpStackLocationToNext(irp);
      IoSetCompletionRoutine(irp, SignalStarted, &started, TRUE, TRUE, TRUE);
      if (IoCallDriver(lower, irp) == STATUS_PENDING)
        KeWaitForSingleObject(&started, Executive, KernelMode, FALSE, nullptr);
      return Complete(irp, irp->IoStatus.Status);
    }
    case IRP_MN_QUERY_DEVICE_RELATIONS:
      if (stack->Parameters.QueryDeviceRelations.Type == BusRelations) return AnswerBusRelations(irp);
      break;
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
      irp->IoStatus.Status = STATUS_SUCCESS;
      break;
    case IRP_MN_REMOVE_DEVICE: {
      // The port's device was removed before the hub; a PDO still on the bus
      // goes with the hub now, as no one will enumerate it again.
      irp->IoStatus.Status = STATUS_SUCCESS;
      IoSkipCurrentIrpStackLocation(irp);
      const NTSTATUS status = IoCallDriver(lower, irp);
      for (auto& port : ports_)
        if (port) port->DeletePdo();
      IoDetachDevice(lower);
      IoDeleteDevice(fdo_);
      fdo_ = nullptr;
      root_ = nullptr;
      return status;
    }
    default:
      break;
  }
  IoSkipCurrentIrpStackLocation(irp);
  return IoCallDriver(lower, irp);
}

}  // namespace tqm::usb
