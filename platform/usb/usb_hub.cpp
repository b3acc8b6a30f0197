// The hub driver object and the port's plug and unplug.
#include "usb/usb_hub.h"

#include "platform/kernel/machine.h"
#include "usb/hub_driver.h"

namespace tqm::usb {

namespace {

NTSTATUS HubDispatch(PDEVICE_OBJECT device, PIRP irp) {
  return static_cast<PortExtension*>(device->DeviceExtension)->port->Dispatch(irp);
}

}  // namespace

NTSTATUS HubDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  for (PDRIVER_DISPATCH& dispatch : driver->MajorFunction) dispatch = HubDispatch;
  return STATUS_SUCCESS;
}

UsbHub::UsbHub(kernel::Machine& machine) : machine_(machine) {
  NTSTATUS status;
  driver_ = machine.LoadDriver(HubDriverEntry, L"TqmUsbHub", &status);
}

UsbHub::~UsbHub() {
  port_.reset();
  if (driver_) machine_.UnloadDriver(driver_);
}

void UsbHub::SetChildReporter(ChildReporter reporter) { reporter_ = std::move(reporter); }

void UsbHub::Report(PDEVICE_OBJECT pdo, ChildChange change) {
  if (reporter_) reporter_(pdo, change);
}

Tqm27Port* UsbHub::Plug() {
  if (!driver_) return nullptr;
  if (port_ && !port_->Deleted()) return nullptr;
  port_.reset();
  NTSTATUS status;
  auto port = std::make_unique<Tqm27Port>(machine_, driver_, &status);
  if (!NT_SUCCESS(status)) return nullptr;
  port_ = std::move(port);
  Report(port_->pdo(), ChildChange::Present);
  return port_.get();
}

void UsbHub::Unplug() {
  if (!port_ || port_->Deleted()) return;
  port_->Disconnect();
  Report(port_->pdo(), ChildChange::Gone);
}

}  // namespace tqm::usb
