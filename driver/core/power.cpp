// The function device's power policy: a small state machine per power
// request, driven by three events (the dispatch, the request coming back
// from the lower driver, and the completion of a device power request the
// machine asked for).
//
// A system request toward sleep asks for the matching device request first
// and sends the system request down after it; a system request toward
// working goes down first and asks for the device request after it. A device
// request toward lower power is recorded before it goes down, one toward
// higher power after the lower driver has completed it.
//
// The streams follow the device: before a device request to a lower state
// goes down, the engine stops them and sends the device nothing more (the
// request's dispatch runs at passive level: the device object is power
// pageable). Once a request back to D0 has completed, a work item restarts
// them at passive level, holding a RemoveLock reference until it is done.
//
// The context (pool tag "Oru3") lives from the dispatch to the step that
// completes the request; it holds one RemoveLock reference all that time. A
// step that hands the request or the context to someone else returns at once
// and touches the context no more: the other side may already have finished
// with it.
#include "driver/core/core.h"

namespace {

enum Event : ULONG { kDispatch = 0, kRequestBack = 1, kDeviceDone = 2 };

enum State : ULONG {
  kInitial = 0,
  kSystemWaking = 1,
  kWaitDeviceWaking = 2,
  kWaitDeviceSleeping = 3,
  kSystemAfterDevice = 4,
  kDeviceUp = 5,
  kDeviceDown = 6,
  kDeviceQueryUp = 9,
  kDeviceQueryOther = 10,
  kDeviceRequest = 11,
  kFinished = 12,
};

struct PowerContext {
  FdoExtension* fdx;
  PIRP irp;
  ULONG state;
  NTSTATUS status;
  DEVICE_POWER_STATE deviceState;
  DEVICE_POWER_STATE previousDeviceState;
  UCHAR minor;
  NTSTATUS result;
  bool resultSet;
};

NTSTATUS RunMachine(PowerContext* context, ULONG event);

NTSTATUS RequestBack(PDEVICE_OBJECT device, PIRP irp, PVOID raw) {
  UNREFERENCED_PARAMETER(device);
  auto* context = static_cast<PowerContext*>(raw);
  context->status = irp->IoStatus.Status;
  return RunMachine(context, kRequestBack);
}

void DeviceRequestDone(PDEVICE_OBJECT device, UCHAR minor, POWER_STATE state, PVOID raw, PIO_STATUS_BLOCK status) {
  UNREFERENCED_PARAMETER(device);
  UNREFERENCED_PARAMETER(minor);
  UNREFERENCED_PARAMETER(state);
  auto* context = static_cast<PowerContext*>(raw);
  context->status = status->Status;
  RunMachine(context, kDeviceDone);
}

ULONG FirstStep(ULONG state, ULONG event) {
  switch (state) {
    case kInitial: return event == kDispatch ? 1 : 0;
    case kSystemWaking: return event == kRequestBack ? 4 : 0;
    case kWaitDeviceWaking: return event == kDeviceDone ? 10 : 0;
    case kWaitDeviceSleeping: return event == kDeviceDone ? 11 : 0;
    case kSystemAfterDevice: return event == kRequestBack ? 5 : 0;
    case kDeviceUp: return event == kRequestBack ? 12 : 0;
    case kDeviceDown: return event == kRequestBack ? 8 : 0;
    case kDeviceQueryUp: return event == kRequestBack ? 16 : 0;
    case kDeviceQueryOther: return event == kRequestBack ? 18 : 0;
    case kDeviceRequest: return event == kDeviceDone ? 2 : 0;
    default: return 0;
  }
}

void SetResult(PowerContext* context, NTSTATUS result) {
  context->result = result;
  context->resultSet = true;
}

void RecordDeviceState(FdoExtension* fdx, DEVICE_POWER_STATE state) {
  fdx->devicePower = state;
  POWER_STATE reported;
  reported.DeviceState = state;
  PoSetPowerState(fdx->self, DevicePowerState, reported);
}

// A device request to a lower state, at passive level, before it goes down.
void StopStreamsForPowerDown(FdoExtension* fdx) {
  KeEnterCriticalRegion();
  ExAcquireResourceSharedLite(&fdx->adapterLock, TRUE);
  if (fdx->adapter && fdx->adapter->engine) {
    fdx->adapter->engine->PowerDown();
    InterlockedExchange(&fdx->powerDowns, LONG(fdx->adapter->engine->PowerDownCount()));
  }
  ExReleaseResourceLite(&fdx->adapterLock);
  KeLeaveCriticalRegion();
}

struct WakeRestart {
  FdoExtension* fdx;
  PIO_WORKITEM item;
  ULONG downs;
};

void RestartStreams(FdoExtension* fdx, ULONG downs) {
  KeEnterCriticalRegion();
  ExAcquireResourceSharedLite(&fdx->adapterLock, TRUE);
  if (fdx->adapter && fdx->adapter->engine) fdx->adapter->engine->PowerUp(downs);
  ExReleaseResourceLite(&fdx->adapterLock);
  KeLeaveCriticalRegion();
}

VOID RestartAfterWake(PDEVICE_OBJECT, PVOID raw) {
  auto* restart = static_cast<WakeRestart*>(raw);
  FdoExtension* fdx = restart->fdx;
  RestartStreams(fdx, restart->downs);
  IoFreeWorkItem(restart->item);
  ExFreePoolWithTag(restart, kTagPnp);
  ReleaseRemoveLock(&fdx->removeLock);
}

// The device is back in D0; called from the request's completion, at up to
// DISPATCH_LEVEL.
void QueueRestart(FdoExtension* fdx) {
  const ULONG downs = ULONG(InterlockedOr(&fdx->powerDowns, 0));
  // A removal under way stops the engine itself.
  if (!NT_SUCCESS(AcquireRemoveLock(&fdx->removeLock))) return;
  auto* restart = static_cast<WakeRestart*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(WakeRestart), kTagPnp));
  PIO_WORKITEM item = restart ? IoAllocateWorkItem(fdx->self) : nullptr;
  if (!item) {
    if (restart) ExFreePoolWithTag(restart, kTagPnp);
    // Without a work item the restart can only run here, and only at passive level.
    if (KeGetCurrentIrql() == PASSIVE_LEVEL) RestartStreams(fdx, downs);
    else TQM_TRACE("TQMDRV: no work item to restart the streams after the wake\n");
    ReleaseRemoveLock(&fdx->removeLock);
    return;
  }
  restart->fdx = fdx;
  restart->item = item;
  restart->downs = downs;
  IoQueueWorkItem(item, RestartAfterWake, DelayedWorkQueue, restart);
}

NTSTATUS RunMachine(PowerContext* context, ULONG event) {
  FdoExtension* fdx = context->fdx;
  PIRP irp = context->irp;
  PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
  const bool setPower = location->MinorFunction == IRP_MN_SET_POWER;
  ULONG step = FirstStep(context->state, event);
  if (step == 0) return STATUS_UNSUCCESSFUL;
  for (;;) {
    switch (step) {
      case 1:
        // The reference the request keeps until its completion. A removal
        // that began since the dispatch took its own ends the request here.
        if (!NT_SUCCESS(AcquireRemoveLock(&fdx->removeLock))) {
          PoStartNextPowerIrp(irp);
          ExFreePoolWithTag(context, kTagPnp);
          return CompleteRequest(irp, STATUS_DELETE_PENDING, 0);
        }
        IoMarkIrpPending(irp);
        SetResult(context, STATUS_PENDING);
        if (location->Parameters.Power.Type == SystemPowerState) {
          if (ULONG(location->Parameters.Power.State.SystemState) < fdx->systemPower) {
            context->state = kSystemWaking;
            step = 3;
          } else {
            context->state = kWaitDeviceSleeping;
            step = 6;
          }
        } else {
          context->state = kDeviceRequest;
          step = 2;
        }
        break;
      case 2: {
        const bool up = ULONG(location->Parameters.Power.State.DeviceState) < fdx->devicePower;
        if (setPower) {
          if (up) context->state = kDeviceUp;
          step = up ? 3 : 13;
        } else {
          if (up) context->state = kDeviceQueryUp;
          step = up ? 3 : 17;
        }
        break;
      }
      case 3: {
        const NTSTATUS result = context->result;
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, RequestBack, context, TRUE, TRUE, TRUE);
        PoCallDriver(fdx->lower, irp);
        return result;
      }
      case 4:
        if (NT_SUCCESS(context->status)) {
          if (setPower) fdx->systemPower = location->Parameters.Power.State.SystemState;
          context->state = kWaitDeviceWaking;
          SetResult(context, STATUS_MORE_PROCESSING_REQUIRED);
          step = 6;
        } else {
          step = 8;
        }
        break;
      case 5:
        if (setPower) fdx->systemPower = location->Parameters.Power.State.SystemState;
        step = 8;
        break;
      case 6: {
        const SYSTEM_POWER_STATE system = location->Parameters.Power.State.SystemState;
        DEVICE_POWER_STATE device = PowerDeviceD0;
        if (system != PowerSystemWorking) {
          device = ULONG(system) < PowerSystemMaximum ? fdx->capabilities.DeviceState[system]
                                                       : PowerDeviceD3;
          // A sleeping system never leaves the device above D3.
          if (device < PowerDeviceD3) device = PowerDeviceD3;
        }
        context->deviceState = device;
        context->minor = location->MinorFunction;
        step = 7;
        break;
      }
      case 7: {
        const NTSTATUS result = context->result;
        POWER_STATE state;
        state.DeviceState = context->deviceState;
        const NTSTATUS issued =
            PoRequestPowerIrp(fdx->physical, context->minor, state, DeviceRequestDone, context, nullptr);
        if (NT_SUCCESS(issued)) return result;
        context->status = issued;
        step = 8;
        break;
      }
      case 8:
        PoStartNextPowerIrp(irp);
        if (event == kRequestBack) {
          SetResult(context, context->status);
        } else {
          irp->IoStatus.Status = context->status;
          IoCompleteRequest(irp, IO_NO_INCREMENT);
        }
        ReleaseRemoveLock(&fdx->removeLock);
        step = 9;
        break;
      case 9: {
        const NTSTATUS result = context->result;
        context->state = kFinished;
        ExFreePoolWithTag(context, kTagPnp);
        return result;
      }
      case 10:
        if (!context->resultSet) SetResult(context, STATUS_SUCCESS);
        step = 8;
        break;
      case 11:
        if (!context->resultSet) SetResult(context, STATUS_SUCCESS);
        if (NT_SUCCESS(context->status)) {
          context->state = kSystemAfterDevice;
          step = 3;
        } else {
          step = 8;
        }
        break;
      case 12:
        if (NT_SUCCESS(context->status) && setPower) {
          context->previousDeviceState = DEVICE_POWER_STATE(fdx->devicePower);
          RecordDeviceState(fdx, location->Parameters.Power.State.DeviceState);
          if (context->previousDeviceState != PowerDeviceD0 &&
              location->Parameters.Power.State.DeviceState == PowerDeviceD0)
            QueueRestart(fdx);
          SetResult(context, STATUS_MORE_PROCESSING_REQUIRED);
          step = 15;
        } else {
          step = 8;
        }
        break;
      case 13:
        // Leaving D0: the streams stop before the device does.
        if (fdx->devicePower == PowerDeviceD0 && location->Parameters.Power.State.DeviceState > PowerDeviceD0)
          StopStreamsForPowerDown(fdx);
        step = 14;
        break;
      case 14: {
        context->state = kDeviceDown;
        if (event == kDeviceDone) SetResult(context, STATUS_SUCCESS);
        const DEVICE_POWER_STATE target = location->Parameters.Power.State.DeviceState;
        if (fdx->devicePower < ULONG(target)) RecordDeviceState(fdx, target);
        step = 3;
        break;
      }
      case 15:
        if (event == kDeviceDone) SetResult(context, STATUS_SUCCESS);
        step = 8;
        break;
      case 16:
      case 18:
        step = 8;
        break;
      case 17:
        context->state = kDeviceQueryOther;
        step = 3;
        break;
      default:
        return STATUS_UNSUCCESSFUL;
    }
  }
}

}  // namespace

NTSTATUS FdoPower(FdoExtension* fdx, PIRP irp) {
  NTSTATUS status = AcquireRemoveLock(&fdx->removeLock);
  if (!NT_SUCCESS(status)) {
    PoStartNextPowerIrp(irp);
    return CompleteRequest(irp, status, 0);
  }
  const UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
  if (minor == IRP_MN_SET_POWER || minor == IRP_MN_QUERY_POWER) {
    auto* context = static_cast<PowerContext*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(PowerContext), kTagPnp));
    if (!context) {
      PoStartNextPowerIrp(irp);
      status = CompleteRequest(irp, STATUS_INSUFFICIENT_RESOURCES, 0);
    } else {
      RtlZeroMemory(context, sizeof *context);
      context->fdx = fdx;
      context->irp = irp;
      context->state = kInitial;
      status = RunMachine(context, kDispatch);
    }
  } else {
    PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    status = PoCallDriver(fdx->lower, irp);
  }
  ReleaseRemoveLock(&fdx->removeLock);
  return status;
}
