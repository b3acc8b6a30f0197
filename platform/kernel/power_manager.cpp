// The power manager: power IRP routing (PoCallDriver, PoStartNextPowerIrp),
// device power IRPs requested with PoRequestPowerIrp, PoSetPowerState, and
// system transitions driven by a test or the simulator.
//
// A requested device power IRP goes to the top of the stack the given device
// belongs to; when it comes back to the top, the completion function is called
// with the device object the request named, then the IRP is freed. Every power
// IRP must see PoStartNextPowerIrp from some driver before it completes
// (checked when it reaches the top). System transitions send their IRPs one
// stack at a time and wait for each, on the calling thread.
#include "platform/kernel/internal.h"
#include "platform/kernel/pnp_manager.h"

namespace tqm::kernel {

namespace {

struct Requested {
  PDEVICE_OBJECT device;
  UCHAR minor;
  POWER_STATE state;
  PREQUEST_POWER_COMPLETE completion;
  PVOID context;
};

void RequestedAtTop(PIRP irp, void* context) {
  auto* r = static_cast<Requested*>(context);
  if (r->completion) r->completion(r->device, r->minor, r->state, r->context, &irp->IoStatus);
  delete r;
}

NTSTATUS SendSystemPower(PDEVICE_OBJECT pdo, UCHAR minor, SYSTEM_POWER_STATE state) {
  PDEVICE_OBJECT top = TopOfStack(pdo);
  PIRP irp = NewKernelIrp(top->StackSize);
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_POWER;
  next->MinorFunction = minor;
  next->Parameters.Power.Type = SystemPowerState;
  next->Parameters.Power.State.SystemState = state;
  IO_STATUS_BLOCK iosb{};
  return CallAndWait(top, irp, &iosb);
}

}  // namespace

NTSTATUS Machine::SetSystemPowerState(SYSTEM_POWER_STATE state) {
  PnpState& p = pnp();
  std::lock_guard<std::recursive_mutex> serial(p.serial);
  const bool sleeping = state != PowerSystemWorking;
  const auto order = StartedNodes(p, sleeping);
  if (sleeping) {
    for (DeviceNode* node : order) {
      const NTSTATUS status = SendSystemPower(node->pdo, IRP_MN_QUERY_POWER, state);
      if (!NT_SUCCESS(status)) return status;
    }
  }
  for (DeviceNode* node : order) SendSystemPower(node->pdo, IRP_MN_SET_POWER, state);
  std::lock_guard lock(processMu_);
  systemPower_ = state;
  return STATUS_SUCCESS;
}

}  // namespace tqm::kernel

using namespace tqm::kernel;

extern "C" {

NTSTATUS PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  RequireIrql(DISPATCH_LEVEL, "PoCallDriver", __builtin_return_address(0));
  if (IoGetNextIrpStackLocation(Irp)->MajorFunction != IRP_MJ_POWER) {
    RaiseFault(FaultKind::PowerIrpMisuse, "PoCallDriver with an IRP that is not a power IRP",
               __builtin_return_address(0));
  }
  return IoCallDriver(DeviceObject, Irp);
}

VOID PoStartNextPowerIrp(PIRP Irp) {
  RequireIrql(DISPATCH_LEVEL, "PoStartNextPowerIrp", __builtin_return_address(0));
  IrpRecord* record = RecordOf(Irp, __builtin_return_address(0));
  std::lock_guard lock(record->mu);
  ++record->powerStarts;
}

NTSTATUS PoRequestPowerIrp(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                           PREQUEST_POWER_COMPLETE CompletionFunction, PVOID Context, PIRP* Irp) {
  RequireIrql(DISPATCH_LEVEL, "PoRequestPowerIrp", __builtin_return_address(0));
  if (MinorFunction != IRP_MN_SET_POWER && MinorFunction != IRP_MN_QUERY_POWER) {
    return STATUS_INVALID_PARAMETER;
  }
  if (Machine::Current().ShouldFail(FailurePoint::IrpAllocation)) return STATUS_INSUFFICIENT_RESOURCES;
  PDEVICE_OBJECT top = TopOfStack(DeviceObject);
  PIRP irp = NewKernelIrp(top->StackSize);
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_POWER;
  next->MinorFunction = MinorFunction;
  next->Parameters.Power.Type = DevicePowerState;
  next->Parameters.Power.State = PowerState;
  IrpRecord* record = RecordOf(irp, nullptr);
  record->atTop = RequestedAtTop;
  record->atTopContext = new Requested{DeviceObject, MinorFunction, PowerState, CompletionFunction, Context};
  irp->Tail.Overlay.Thread = KeGetCurrentThread();
  if (Irp) *Irp = irp;
  IoCallDriver(top, irp);
  return STATUS_PENDING;
}

POWER_STATE PoSetPowerState(PDEVICE_OBJECT DeviceObject, POWER_STATE_TYPE Type, POWER_STATE State) {
  RequireIrql(DISPATCH_LEVEL, "PoSetPowerState", __builtin_return_address(0));
  Machine& m = Machine::Current();
  POWER_STATE old;
  if (Type == DevicePowerState) {
    old.DeviceState = m.DevicePowerState(DeviceObject);
    m.RecordDevicePowerState(DeviceObject, State.DeviceState);
  } else {
    old.SystemState = m.SystemPowerState();
  }
  return old;
}

}  // extern "C"
