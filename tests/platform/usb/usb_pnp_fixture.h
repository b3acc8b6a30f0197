// The hub as a Plug and Play bus: a small function driver registered for the
// TQM27's hardware identifier, which the manager loads and starts when the hub
// reports the device. It logs the Plug and Play requests it sees, exposes a
// device interface a user process opens, forwards START and waits, and owns
// the device's power policy (asks its PDO for the device state its
// capabilities name for each system state). Tests send URBs through its lower
// device with UsbClient's requests.
#pragma once

#include <gtest/gtest.h>
#include <wdm.h>

#include <cstdio>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "platform/kernel/machine.h"
#include "platform/kernel/process.h"
#include "tqm/identity.h"
#include "usb_stack_fixture.h"

namespace tqm::usb::testing {

constexpr GUID kFunctionInterface = {0x5b0d2c41, 0x93e7, 0x4f08, {0xa1, 0x6c, 0x2e, 0x47, 0x90, 0xd3, 0x18, 0x5a}};

inline std::wstring Tqm27DeviceId() {
  wchar_t text[32];
  std::swprintf(text, 32, L"USB\\VID_%04X&PID_%04X", unsigned(kUsbVendorId), unsigned(kUsbProductId));
  return text;
}

// What the function driver saw, shared with the test.
struct FunctionLog {
  std::mutex mu;
  std::vector<std::string> lines;
  PDEVICE_OBJECT fdo = nullptr;
  PDEVICE_OBJECT lower = nullptr;
  PDEVICE_OBJECT pdo = nullptr;

  void Add(std::string line) {
    std::lock_guard lock(mu);
    lines.push_back(std::move(line));
  }
  std::vector<std::string> Take() {
    std::lock_guard lock(mu);
    return std::exchange(lines, {});
  }
};

inline FunctionLog* functionLog = nullptr;

struct FunctionExtension {
  PDEVICE_OBJECT self;
  PDEVICE_OBJECT lower;
  PDEVICE_OBJECT pdo;
  UNICODE_STRING link;
};

inline const char* PnpName(UCHAR minor) {
  switch (minor) {
    case IRP_MN_START_DEVICE: return "START";
    case IRP_MN_QUERY_REMOVE_DEVICE: return "QUERY_REMOVE";
    case IRP_MN_REMOVE_DEVICE: return "REMOVE";
    case IRP_MN_CANCEL_REMOVE_DEVICE: return "CANCEL_REMOVE";
    case IRP_MN_STOP_DEVICE: return "STOP";
    case IRP_MN_QUERY_STOP_DEVICE: return "QUERY_STOP";
    case IRP_MN_CANCEL_STOP_DEVICE: return "CANCEL_STOP";
    case IRP_MN_SURPRISE_REMOVAL: return "SURPRISE_REMOVAL";
    default: return nullptr;
  }
}

inline NTSTATUS FnComplete(PIRP irp, NTSTATUS status) {
  irp->IoStatus.Status = status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

inline NTSTATUS FnPassDown(PDEVICE_OBJECT lower, PIRP irp) {
  IoSkipCurrentIrpStackLocation(irp);
  return IoCallDriver(lower, irp);
}

inline NTSTATUS FnSignal(PDEVICE_OBJECT, PIRP, PVOID context) {
  KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

inline NTSTATUS FnForwardAndWait(PDEVICE_OBJECT lower, PIRP irp) {
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IoCopyCurrentIrpStackLocationToNext(irp);
  IoSetCompletionRoutine(irp, FnSignal, &done, TRUE, TRUE, TRUE);
  if (IoCallDriver(lower, irp) == STATUS_PENDING)
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
  return irp->IoStatus.Status;
}

inline NTSTATUS FnPnp(FunctionExtension* fx, PIRP irp) {
  const UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
  if (const char* name = PnpName(minor)) functionLog->Add(name);
  switch (minor) {
    case IRP_MN_START_DEVICE: {
      const NTSTATUS status = FnForwardAndWait(fx->lower, irp);
      if (NT_SUCCESS(status)) IoSetDeviceInterfaceState(&fx->link, TRUE);
      return FnComplete(irp, status);
    }
    case IRP_MN_SURPRISE_REMOVAL:
    case IRP_MN_STOP_DEVICE:
      IoSetDeviceInterfaceState(&fx->link, FALSE);
      irp->IoStatus.Status = STATUS_SUCCESS;
      return FnPassDown(fx->lower, irp);
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
      irp->IoStatus.Status = STATUS_SUCCESS;
      return FnPassDown(fx->lower, irp);
    case IRP_MN_REMOVE_DEVICE: {
      IoSetDeviceInterfaceState(&fx->link, FALSE);
      RtlFreeUnicodeString(&fx->link);
      irp->IoStatus.Status = STATUS_SUCCESS;
      PDEVICE_OBJECT lower = fx->lower;
      PDEVICE_OBJECT self = fx->self;
      const NTSTATUS status = FnPassDown(lower, irp);
      {
        std::lock_guard lock(functionLog->mu);
        functionLog->fdo = functionLog->lower = functionLog->pdo = nullptr;
      }
      IoDetachDevice(lower);
      IoDeleteDevice(self);
      return status;
    }
    default:
      return FnPassDown(fx->lower, irp);
  }
}

// Power policy: to sleep, the device state first, then the system request
// goes down; waking, the system request first, the device state after.
inline void FnDeviceDone(PDEVICE_OBJECT, UCHAR, POWER_STATE state, PVOID context, PIO_STATUS_BLOCK status) {
  auto* systemIrp = static_cast<PIRP>(context);
  auto* fx = static_cast<FunctionExtension*>(IoGetCurrentIrpStackLocation(systemIrp)->DeviceObject->DeviceExtension);
  functionLog->Add("D" + std::to_string(state.DeviceState - 1) + " status " + std::to_string(status->Status));
  PoStartNextPowerIrp(systemIrp);
  if (IoGetCurrentIrpStackLocation(systemIrp)->Parameters.Power.State.SystemState == PowerSystemWorking) {
    systemIrp->IoStatus.Status = status->Status;
    IoCompleteRequest(systemIrp, IO_NO_INCREMENT);
    return;
  }
  IoCopyCurrentIrpStackLocationToNext(systemIrp);
  PoCallDriver(fx->lower, systemIrp);
}

inline NTSTATUS FnSystemUp(PDEVICE_OBJECT, PIRP irp, PVOID context) {
  auto* fx = static_cast<FunctionExtension*>(context);
  POWER_STATE d0;
  d0.DeviceState = PowerDeviceD0;
  PoRequestPowerIrp(fx->pdo, IRP_MN_SET_POWER, d0, FnDeviceDone, irp, nullptr);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

inline NTSTATUS FnPower(FunctionExtension* fx, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  if (stack->MinorFunction == IRP_MN_SET_POWER && stack->Parameters.Power.Type == SystemPowerState) {
    const SYSTEM_POWER_STATE target = stack->Parameters.Power.State.SystemState;
    functionLog->Add("S" + std::to_string(target - 1));
    IoMarkIrpPending(irp);
    if (target == PowerSystemWorking) {
      IoCopyCurrentIrpStackLocationToNext(irp);
      IoSetCompletionRoutine(irp, FnSystemUp, fx, TRUE, TRUE, TRUE);
      PoCallDriver(fx->lower, irp);
    } else {
      const DEVICE_CAPABILITIES* caps = kernel::Machine::Current().Capabilities(fx->pdo);
      POWER_STATE dx;
      dx.DeviceState = caps ? caps->DeviceState[target] : PowerDeviceUnspecified;
      PoRequestPowerIrp(fx->pdo, IRP_MN_SET_POWER, dx, FnDeviceDone, irp, nullptr);
    }
    return STATUS_PENDING;
  }
  PoStartNextPowerIrp(irp);
  IoSkipCurrentIrpStackLocation(irp);
  return PoCallDriver(fx->lower, irp);
}

inline NTSTATUS FnDispatch(PDEVICE_OBJECT device, PIRP irp) {
  auto* fx = static_cast<FunctionExtension*>(device->DeviceExtension);
  switch (IoGetCurrentIrpStackLocation(irp)->MajorFunction) {
    case IRP_MJ_PNP: return FnPnp(fx, irp);
    case IRP_MJ_POWER: return FnPower(fx, irp);
    case IRP_MJ_CREATE:
    case IRP_MJ_CLEANUP:
    case IRP_MJ_CLOSE:
      irp->IoStatus.Information = 0;
      return FnComplete(irp, STATUS_SUCCESS);
    default:
      return FnComplete(irp, STATUS_INVALID_DEVICE_REQUEST);
  }
}

inline NTSTATUS FnAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
  PDEVICE_OBJECT device;
  NTSTATUS status = IoCreateDevice(driver, sizeof(FunctionExtension), nullptr, FILE_DEVICE_UNKNOWN,
                                   FILE_DEVICE_SECURE_OPEN, FALSE, &device);
  if (!NT_SUCCESS(status)) return status;
  auto* fx = static_cast<FunctionExtension*>(device->DeviceExtension);
  *fx = FunctionExtension{device, nullptr, pdo, {}};
  status = IoRegisterDeviceInterface(pdo, &kFunctionInterface, nullptr, &fx->link);
  if (!NT_SUCCESS(status)) {
    IoDeleteDevice(device);
    return status;
  }
  fx->lower = IoAttachDeviceToDeviceStack(device, pdo);
  device->Flags |= DO_POWER_PAGABLE;
  device->Flags &= ~DO_DEVICE_INITIALIZING;
  {
    std::lock_guard lock(functionLog->mu);
    functionLog->fdo = device;
    functionLog->lower = fx->lower;
    functionLog->pdo = pdo;
  }
  functionLog->Add("AddDevice");
  return STATUS_SUCCESS;
}

inline NTSTATUS FnEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  for (PDRIVER_DISPATCH& d : driver->MajorFunction) d = FnDispatch;
  driver->DriverExtension->AddDevice = FnAddDevice;
  return STATUS_SUCCESS;
}

constexpr wchar_t kFunctionService[] = L"Tqm27TestFunction";

// A machine whose function driver is registered for the TQM27, and the hub as
// a Plug and Play bus on it.
class UsbPnpTestBase : public ::testing::Test {
 protected:
  explicit UsbPnpTestBase(kernel::MachineOptions options = {}) : machine_(options) {
    functionLog = &log_;
    machine_.RegisterDriver(Tqm27DeviceId(), FnEntry, kFunctionService);
    hub_ = std::make_unique<UsbHub>(machine_, HubMode::PlugAndPlay);
  }
  // The hub goes first: it removes its device tree while the machine is there.
  ~UsbPnpTestBase() override { hub_.reset(); }

  PDEVICE_OBJECT FunctionLower() {
    std::lock_guard lock(log_.mu);
    return log_.lower;
  }
  bool FunctionLoaded() const {
    return machine_.FindDriverByServicePath(
               std::wstring(L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\") + kFunctionService) !=
           nullptr;
  }
  // The function driver's interface on the TQM27 now on the port.
  std::wstring InterfacePath() {
    for (const auto& i : machine_.DeviceInterfaces(kFunctionInterface)) {
      if (i.enabled && i.present) return i.path;
    }
    return {};
  }

  FunctionLog log_;
  kernel::Machine machine_;
  std::unique_ptr<UsbHub> hub_;
};

}  // namespace tqm::usb::testing
