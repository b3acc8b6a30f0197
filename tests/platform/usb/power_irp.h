// A SET_POWER sent straight to the TQM27's PDO, as its function driver passes
// one down: the bus's side of a device or system power change, for tests of
// the stack and of the engine above it.
#pragma once

#include <wdm.h>

namespace tqm::usb::testing {

inline NTSTATUS KeepPowerIrp(PDEVICE_OBJECT, PIRP, PVOID) { return STATUS_MORE_PROCESSING_REQUIRED; }

inline NTSTATUS SetPower(PDEVICE_OBJECT pdo, POWER_STATE_TYPE type, ULONG state) {
  PIRP irp = IoAllocateIrp(pdo->StackSize, FALSE);
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_POWER;
  next->MinorFunction = IRP_MN_SET_POWER;
  next->Parameters.Power.Type = type;
  if (type == SystemPowerState) next->Parameters.Power.State.SystemState = SYSTEM_POWER_STATE(state);
  else next->Parameters.Power.State.DeviceState = DEVICE_POWER_STATE(state);
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  IoSetCompletionRoutine(irp, KeepPowerIrp, nullptr, TRUE, TRUE, TRUE);
  PoCallDriver(pdo, irp);
  const NTSTATUS status = irp->IoStatus.Status;
  IoFreeIrp(irp);
  return status;
}

inline NTSTATUS SetPdoPower(PDEVICE_OBJECT pdo, DEVICE_POWER_STATE state) {
  return SetPower(pdo, DevicePowerState, ULONG(state));
}

}  // namespace tqm::usb::testing
