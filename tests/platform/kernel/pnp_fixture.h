// Small drivers for the Plug and Play, power and process tests.
//
// The bus driver loads on a root device ("TEST\BUS"); the test plugs and
// unplugs child PDOs, which it reports in BusRelations, and each child hands
// out a direct-call interface (kBusInterface) by QUERY_INTERFACE whose
// references make the bus refuse QUERY_REMOVE and QUERY_STOP. The function
// driver loads on a child (or on a root device) and behaves like a WDM
// function driver: START forwarded and waited for, a device interface
// (kTestInterface) enabled while started, REMOVE passed down before the device
// is deleted, a power policy that asks for device power IRPs. Both log what
// they see; the test owns the script both follow.
#pragma once

#include <string>
#include <vector>

#include "platform/kernel/process.h"
#include "tests/platform/kernel/kernel_fixture.h"

namespace tqm::kernel::testing {

constexpr GUID kTestInterface = {0x5a3c1e22, 0x0c1b, 0x4f0e, {0x9b, 0x7d, 0x3e, 0x6a, 0x2b, 0x8c, 0x9d, 0x10}};
constexpr GUID kBusInterface = {0x7e1f0a31, 0x44d2, 0x4c6b, {0x8a, 0x19, 0x52, 0x0e, 0x3f, 0x71, 0xa4, 0x06}};
constexpr ULONG kFixtureTag = 0x74786946;  // "Fixt"

inline const char* MinorName(UCHAR major, UCHAR minor) {
  if (major == IRP_MJ_POWER) {
    switch (minor) {
      case IRP_MN_SET_POWER: return "SET_POWER";
      case IRP_MN_QUERY_POWER: return "QUERY_POWER";
      default: return "POWER";
    }
  }
  switch (minor) {
    case IRP_MN_START_DEVICE: return "START";
    case IRP_MN_QUERY_REMOVE_DEVICE: return "QUERY_REMOVE";
    case IRP_MN_REMOVE_DEVICE: return "REMOVE";
    case IRP_MN_CANCEL_REMOVE_DEVICE: return "CANCEL_REMOVE";
    case IRP_MN_STOP_DEVICE: return "STOP";
    case IRP_MN_QUERY_STOP_DEVICE: return "QUERY_STOP";
    case IRP_MN_CANCEL_STOP_DEVICE: return "CANCEL_STOP";
    case IRP_MN_QUERY_DEVICE_RELATIONS: return "RELATIONS";
    case IRP_MN_QUERY_INTERFACE: return "QUERY_INTERFACE";
    case IRP_MN_QUERY_CAPABILITIES: return "CAPABILITIES";
    case IRP_MN_QUERY_ID: return "QUERY_ID";
    case IRP_MN_SURPRISE_REMOVAL: return "SURPRISE";
    default: return "OTHER";
  }
}

struct Script {
  std::mutex mu;
  std::vector<std::string> log;
  // Function driver.
  bool vetoQueryStop = false;
  bool vetoQueryRemove = false;
  bool holdBusInterface = false;  // take kBusInterface at START, give it back at removal
  NTSTATUS addDeviceStatus = STATUS_SUCCESS;  // AddDevice fails with this when not success
  bool failStart = false;                     // START fails after the lower stack started
  bool keepDeviceOnRemove = false;            // REMOVE forgets to detach and delete
  std::function<void()> duringQueryRemove;    // runs while QUERY_REMOVE is in the driver
  std::function<NTSTATUS(PIRP, PIO_STACK_LOCATION)> control;
  std::vector<std::pair<std::string, PEPROCESS>> fileRequests;  // major name, process
  // Bus driver.
  PDEVICE_OBJECT busFdo = nullptr;
  std::vector<PDEVICE_OBJECT> children;  // present on the bus
  LONG interfaceReferences = 0;

  void Add(std::string line) {
    std::lock_guard lock(mu);
    log.push_back(std::move(line));
  }
  std::vector<std::string> Take() {
    std::lock_guard lock(mu);
    return std::exchange(log, {});
  }
};

inline Script* script = nullptr;

inline std::string Narrow(const std::wstring& w) { return std::string(w.begin(), w.end()); }

// The device a log line names: the node's device identifier.
inline std::string NameOf(PDEVICE_OBJECT device) {
  const std::wstring path = Machine::Current().InstancePath(device);
  return Narrow(path.substr(0, path.rfind(L'\\')));
}

inline NTSTATUS Complete(PIRP irp, NTSTATUS status) {
  irp->IoStatus.Status = status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

inline NTSTATUS PassDown(PDEVICE_OBJECT lower, PIRP irp) {
  IoSkipCurrentIrpStackLocation(irp);
  return IoCallDriver(lower, irp);
}

inline NTSTATUS SignalAndKeep(PDEVICE_OBJECT, PIRP, PVOID context) {
  KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

// Forward and wait, as a function driver does for START.
inline NTSTATUS ForwardAndWait(PDEVICE_OBJECT lower, PIRP irp) {
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IoCopyCurrentIrpStackLocationToNext(irp);
  IoSetCompletionRoutine(irp, SignalAndKeep, &done, TRUE, TRUE, TRUE);
  if (IoCallDriver(lower, irp) == STATUS_PENDING) {
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
  }
  return irp->IoStatus.Status;
}

// ---- the function driver ----------------------------------------------------------

struct FunctionExtension {
  bool bus;  // false: a function device (shares the layout's first field with the bus)
  PDEVICE_OBJECT self;
  PDEVICE_OBJECT lower;
  PDEVICE_OBJECT pdo;
  UNICODE_STRING link;
  INTERFACE busInterface;
  bool holding;
};

inline void ReleaseBusInterface(FunctionExtension* fx) {
  if (!fx->holding) return;
  fx->busInterface.InterfaceDereference(fx->busInterface.Context);
  fx->holding = false;
}

inline void TakeBusInterface(FunctionExtension* fx) {
  PIRP irp = IoAllocateIrp(fx->lower->StackSize, FALSE);
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_PNP;
  next->MinorFunction = IRP_MN_QUERY_INTERFACE;
  next->Parameters.QueryInterface.InterfaceType = &kBusInterface;
  next->Parameters.QueryInterface.Size = sizeof(INTERFACE);
  next->Parameters.QueryInterface.Version = 1;
  next->Parameters.QueryInterface.Interface = &fx->busInterface;
  IoSetCompletionRoutine(irp, SignalAndKeep, &done, TRUE, TRUE, TRUE);
  if (IoCallDriver(fx->lower, irp) == STATUS_PENDING) {
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
  }
  fx->holding = NT_SUCCESS(irp->IoStatus.Status);
  IoFreeIrp(irp);
}

inline NTSTATUS FunctionPnp(FunctionExtension* fx, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  const UCHAR minor = stack->MinorFunction;
  if (minor != IRP_MN_QUERY_ID && minor != IRP_MN_QUERY_CAPABILITIES &&
      minor != IRP_MN_QUERY_DEVICE_RELATIONS) {
    script->Add("fn " + NameOf(fx->pdo) + " " + MinorName(IRP_MJ_PNP, minor));
  }
  switch (minor) {
    case IRP_MN_START_DEVICE: {
      NTSTATUS status = ForwardAndWait(fx->lower, irp);
      if (NT_SUCCESS(status) && script->failStart) status = STATUS_DEVICE_DATA_ERROR;
      if (NT_SUCCESS(status)) {
        if (script->holdBusInterface) TakeBusInterface(fx);
        IoSetDeviceInterfaceState(&fx->link, TRUE);
      }
      return Complete(irp, status);
    }
    case IRP_MN_QUERY_STOP_DEVICE:
      if (script->vetoQueryStop) return Complete(irp, STATUS_UNSUCCESSFUL);
      irp->IoStatus.Status = STATUS_SUCCESS;
      return PassDown(fx->lower, irp);
    case IRP_MN_QUERY_REMOVE_DEVICE:
      if (script->duringQueryRemove) script->duringQueryRemove();
      if (script->vetoQueryRemove) return Complete(irp, STATUS_UNSUCCESSFUL);
      irp->IoStatus.Status = STATUS_SUCCESS;
      return PassDown(fx->lower, irp);
    case IRP_MN_STOP_DEVICE:
      IoSetDeviceInterfaceState(&fx->link, FALSE);
      ReleaseBusInterface(fx);
      irp->IoStatus.Status = STATUS_SUCCESS;
      return PassDown(fx->lower, irp);
    case IRP_MN_SURPRISE_REMOVAL:
      IoSetDeviceInterfaceState(&fx->link, FALSE);
      ReleaseBusInterface(fx);
      irp->IoStatus.Status = STATUS_SUCCESS;
      return PassDown(fx->lower, irp);
    case IRP_MN_REMOVE_DEVICE: {
      IoSetDeviceInterfaceState(&fx->link, FALSE);
      ReleaseBusInterface(fx);
      RtlFreeUnicodeString(&fx->link);
      irp->IoStatus.Status = STATUS_SUCCESS;
      PDEVICE_OBJECT lower = fx->lower;
      PDEVICE_OBJECT self = fx->self;
      const NTSTATUS status = PassDown(lower, irp);
      if (script->keepDeviceOnRemove) return status;
      IoDetachDevice(lower);
      IoDeleteDevice(self);
      return status;
    }
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
      irp->IoStatus.Status = STATUS_SUCCESS;
      return PassDown(fx->lower, irp);
    default:
      return PassDown(fx->lower, irp);
  }
}

inline void DevicePowerDone(PDEVICE_OBJECT device, UCHAR, POWER_STATE state, PVOID context,
                            PIO_STATUS_BLOCK status) {
  auto* systemIrp = static_cast<PIRP>(context);
  auto* fx = static_cast<FunctionExtension*>(IoGetCurrentIrpStackLocation(systemIrp)->DeviceObject->DeviceExtension);
  script->Add("fn " + NameOf(device) + " device request done D" + std::to_string(state.DeviceState - 1) +
              " status " + std::to_string(status->Status));
  PoStartNextPowerIrp(systemIrp);
  if (IoGetCurrentIrpStackLocation(systemIrp)->Parameters.Power.State.SystemState == PowerSystemWorking) {
    // Waking: the system request already came back from below.
    systemIrp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(systemIrp, IO_NO_INCREMENT);
    return;
  }
  // Copied, not skipped: this level was marked pending, the next one must not be.
  IoCopyCurrentIrpStackLocationToNext(systemIrp);
  PoCallDriver(fx->lower, systemIrp);
}

inline NTSTATUS SystemUpDone(PDEVICE_OBJECT, PIRP irp, PVOID context) {
  auto* fx = static_cast<FunctionExtension*>(context);
  POWER_STATE d0;
  d0.DeviceState = PowerDeviceD0;
  PoRequestPowerIrp(fx->pdo, IRP_MN_SET_POWER, d0, DevicePowerDone, irp, nullptr);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

inline NTSTATUS FunctionPower(FunctionExtension* fx, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  const bool system = stack->Parameters.Power.Type == SystemPowerState;
  const int state = system ? stack->Parameters.Power.State.SystemState - 1
                           : stack->Parameters.Power.State.DeviceState - 1;
  script->Add("fn " + NameOf(fx->pdo) + " " + MinorName(IRP_MJ_POWER, stack->MinorFunction) +
              (system ? " S" : " D") + std::to_string(state));
  if (stack->MinorFunction == IRP_MN_SET_POWER && system) {
    IoMarkIrpPending(irp);
    if (stack->Parameters.Power.State.SystemState == PowerSystemWorking) {
      // Waking: the system request goes down first, the device request after.
      IoCopyCurrentIrpStackLocationToNext(irp);
      IoSetCompletionRoutine(irp, SystemUpDone, fx, TRUE, TRUE, TRUE);
      PoCallDriver(fx->lower, irp);
    } else {
      // To sleep: the device request first, then the system request goes down.
      const DEVICE_CAPABILITIES* caps = Machine::Current().Capabilities(fx->pdo);
      POWER_STATE dx;
      dx.DeviceState = caps ? caps->DeviceState[stack->Parameters.Power.State.SystemState] : PowerDeviceD3;
      PoRequestPowerIrp(fx->pdo, IRP_MN_SET_POWER, dx, DevicePowerDone, irp, nullptr);
    }
    return STATUS_PENDING;
  }
  if (stack->MinorFunction == IRP_MN_SET_POWER) PoSetPowerState(fx->self, DevicePowerState, stack->Parameters.Power.State);
  PoStartNextPowerIrp(irp);
  IoSkipCurrentIrpStackLocation(irp);
  return PoCallDriver(fx->lower, irp);
}

inline NTSTATUS FunctionDispatch(PDEVICE_OBJECT device, PIRP irp) {
  auto* fx = static_cast<FunctionExtension*>(device->DeviceExtension);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  switch (stack->MajorFunction) {
    case IRP_MJ_PNP: return FunctionPnp(fx, irp);
    case IRP_MJ_POWER: return FunctionPower(fx, irp);
    case IRP_MJ_CREATE:
    case IRP_MJ_CLEANUP:
    case IRP_MJ_CLOSE: {
      const char* name = stack->MajorFunction == IRP_MJ_CREATE    ? "CREATE"
                         : stack->MajorFunction == IRP_MJ_CLEANUP ? "CLEANUP"
                                                                  : "CLOSE";
      {
        std::lock_guard lock(script->mu);
        script->fileRequests.emplace_back(name, IoGetCurrentProcess());
      }
      irp->IoStatus.Information = 0;
      return Complete(irp, STATUS_SUCCESS);
    }
    case IRP_MJ_DEVICE_CONTROL: {
      const NTSTATUS status = script->control ? script->control(irp, stack) : STATUS_INVALID_DEVICE_REQUEST;
      return Complete(irp, status);
    }
    default:
      return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
  }
}

inline NTSTATUS FunctionAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
  if (!NT_SUCCESS(script->addDeviceStatus)) return script->addDeviceStatus;
  PDEVICE_OBJECT device;
  NTSTATUS status = IoCreateDevice(driver, sizeof(FunctionExtension), nullptr, FILE_DEVICE_UNKNOWN,
                                   FILE_DEVICE_SECURE_OPEN, FALSE, &device);
  if (!NT_SUCCESS(status)) return status;
  auto* fx = static_cast<FunctionExtension*>(device->DeviceExtension);
  *fx = FunctionExtension{};
  fx->self = device;
  fx->pdo = pdo;
  status = IoRegisterDeviceInterface(pdo, &kTestInterface, nullptr, &fx->link);
  if (!NT_SUCCESS(status)) {
    IoDeleteDevice(device);
    return status;
  }
  fx->lower = IoAttachDeviceToDeviceStack(device, pdo);
  device->Flags |= DO_POWER_PAGABLE;
  device->Flags &= ~DO_DEVICE_INITIALIZING;
  script->Add("fn " + NameOf(pdo) + " AddDevice");
  return STATUS_SUCCESS;
}

inline NTSTATUS FunctionEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  for (PDRIVER_DISPATCH& d : driver->MajorFunction) d = FunctionDispatch;
  driver->DriverExtension->AddDevice = FunctionAddDevice;
  return STATUS_SUCCESS;
}

// ---- the bus driver ---------------------------------------------------------------

struct BusExtension {
  bool bus;    // true for both the bus FDO and its children
  bool child;  // a child PDO
  PDEVICE_OBJECT self;
  PDEVICE_OBJECT lower;  // the FDO's
  WCHAR id[64];          // a child's hardware identifier
  bool present;          // a child still on the bus
};

inline void BusReference(PVOID) { InterlockedIncrement(&script->interfaceReferences); }
inline void BusDereference(PVOID) { InterlockedDecrement(&script->interfaceReferences); }

inline PWCHAR IdText(const std::wstring& text, bool multi) {
  const size_t chars = text.size() + (multi ? 2 : 1);
  auto* buffer = static_cast<PWCHAR>(ExAllocatePoolWithTag(PagedPool, chars * sizeof(WCHAR), kFixtureTag));
  if (!buffer) return nullptr;
  wmemcpy(buffer, text.c_str(), text.size());
  for (size_t i = text.size(); i < chars; ++i) buffer[i] = 0;
  return buffer;
}

inline NTSTATUS ChildPnp(BusExtension* cx, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  const UCHAR minor = stack->MinorFunction;
  if (minor != IRP_MN_QUERY_ID && minor != IRP_MN_QUERY_CAPABILITIES &&
      minor != IRP_MN_QUERY_DEVICE_RELATIONS) {
    script->Add("child " + Narrow(cx->id) + " " + MinorName(IRP_MJ_PNP, minor));
  }
  switch (minor) {
    case IRP_MN_QUERY_ID: {
      PWCHAR text = nullptr;
      switch (stack->Parameters.QueryId.IdType) {
        case BusQueryDeviceID: text = IdText(cx->id, false); break;
        case BusQueryHardwareIDs: text = IdText(cx->id, true); break;
        case BusQueryInstanceID: text = IdText(L"0001", false); break;
        default: return Complete(irp, irp->IoStatus.Status);
      }
      if (!text) return Complete(irp, STATUS_INSUFFICIENT_RESOURCES);
      irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(text);
      return Complete(irp, STATUS_SUCCESS);
    }
    case IRP_MN_QUERY_CAPABILITIES: {
      PDEVICE_CAPABILITIES caps = stack->Parameters.DeviceCapabilities.Capabilities;
      caps->SurpriseRemovalOK = 1;
      caps->DeviceState[PowerSystemWorking] = PowerDeviceD0;
      caps->DeviceState[PowerSystemSleeping1] = PowerDeviceD2;
      caps->DeviceState[PowerSystemSleeping3] = PowerDeviceD3;
      return Complete(irp, STATUS_SUCCESS);
    }
    case IRP_MN_QUERY_INTERFACE: {
      if (memcmp(stack->Parameters.QueryInterface.InterfaceType, &kBusInterface, sizeof(GUID)) != 0) {
        return Complete(irp, irp->IoStatus.Status);
      }
      PINTERFACE i = stack->Parameters.QueryInterface.Interface;
      i->Size = sizeof(INTERFACE);
      i->Version = 1;
      i->Context = cx;
      i->InterfaceReference = BusReference;
      i->InterfaceDereference = BusDereference;
      BusReference(cx);
      return Complete(irp, STATUS_SUCCESS);
    }
    case IRP_MN_START_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
      return Complete(irp, STATUS_SUCCESS);
    case IRP_MN_REMOVE_DEVICE: {
      const bool gone = !cx->present;
      Complete(irp, STATUS_SUCCESS);
      // A child the bus still reports keeps its PDO; a vanished one is deleted.
      if (gone) IoDeleteDevice(cx->self);
      return STATUS_SUCCESS;
    }
    default:
      return Complete(irp, irp->IoStatus.Status);
  }
}

inline NTSTATUS BusFdoPnp(BusExtension* bx, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  const UCHAR minor = stack->MinorFunction;
  if (minor != IRP_MN_QUERY_ID && minor != IRP_MN_QUERY_CAPABILITIES) {
    script->Add(std::string("bus ") + MinorName(IRP_MJ_PNP, minor));
  }
  switch (minor) {
    case IRP_MN_START_DEVICE:
      return Complete(irp, ForwardAndWait(bx->lower, irp));
    case IRP_MN_QUERY_DEVICE_RELATIONS: {
      if (stack->Parameters.QueryDeviceRelations.Type != BusRelations) return PassDown(bx->lower, irp);
      std::vector<PDEVICE_OBJECT> present;
      {
        std::lock_guard lock(script->mu);
        present = script->children;
      }
      const size_t bytes = sizeof(DEVICE_RELATIONS) + present.size() * sizeof(PDEVICE_OBJECT);
      auto* relations = static_cast<PDEVICE_RELATIONS>(ExAllocatePoolWithTag(PagedPool, bytes, kFixtureTag));
      relations->Count = ULONG(present.size());
      for (size_t i = 0; i < present.size(); ++i) {
        relations->Objects[i] = present[i];
        ObReferenceObject(present[i]);
      }
      irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(relations);
      irp->IoStatus.Status = STATUS_SUCCESS;
      return PassDown(bx->lower, irp);
    }
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
      if (script->interfaceReferences != 0) return Complete(irp, STATUS_UNSUCCESSFUL);
      irp->IoStatus.Status = STATUS_SUCCESS;
      return PassDown(bx->lower, irp);
    case IRP_MN_REMOVE_DEVICE: {
      irp->IoStatus.Status = STATUS_SUCCESS;
      PDEVICE_OBJECT lower = bx->lower;
      const NTSTATUS status = PassDown(lower, irp);
      std::vector<PDEVICE_OBJECT> children;
      {
        std::lock_guard lock(script->mu);
        children.swap(script->children);
      }
      for (PDEVICE_OBJECT child : children) IoDeleteDevice(child);
      IoDetachDevice(lower);
      IoDeleteDevice(bx->self);
      script->busFdo = nullptr;
      return status;
    }
    default:
      irp->IoStatus.Status = STATUS_SUCCESS;
      return PassDown(bx->lower, irp);
  }
}

inline NTSTATUS BusDispatch(PDEVICE_OBJECT device, PIRP irp) {
  auto* bx = static_cast<BusExtension*>(device->DeviceExtension);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  if (stack->MajorFunction == IRP_MJ_PNP) return bx->child ? ChildPnp(bx, irp) : BusFdoPnp(bx, irp);
  if (stack->MajorFunction == IRP_MJ_POWER) {
    PoStartNextPowerIrp(irp);
    if (!bx->child) {
      IoSkipCurrentIrpStackLocation(irp);
      return PoCallDriver(bx->lower, irp);
    }
    if (stack->MinorFunction == IRP_MN_SET_POWER && stack->Parameters.Power.Type == DevicePowerState) {
      script->Add("child " + Narrow(bx->id) + " SET_POWER D" +
                  std::to_string(stack->Parameters.Power.State.DeviceState - 1));
      PoSetPowerState(device, DevicePowerState, stack->Parameters.Power.State);
    }
    return Complete(irp, STATUS_SUCCESS);
  }
  return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
}

inline NTSTATUS BusAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
  PDEVICE_OBJECT device;
  NTSTATUS status = IoCreateDevice(driver, sizeof(BusExtension), nullptr, FILE_DEVICE_BUS_EXTENDER, 0, FALSE, &device);
  if (!NT_SUCCESS(status)) return status;
  auto* bx = static_cast<BusExtension*>(device->DeviceExtension);
  *bx = BusExtension{};
  bx->bus = true;
  bx->self = device;
  bx->lower = IoAttachDeviceToDeviceStack(device, pdo);
  device->Flags &= ~DO_DEVICE_INITIALIZING;
  script->busFdo = device;
  return STATUS_SUCCESS;
}

inline NTSTATUS BusEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  for (PDRIVER_DISPATCH& d : driver->MajorFunction) d = BusDispatch;
  driver->DriverExtension->AddDevice = BusAddDevice;
  return STATUS_SUCCESS;
}

// A child appears on the bus; the bus tells the Plug and Play manager.
inline PDEVICE_OBJECT Plug(const std::wstring& id) {
  PDEVICE_OBJECT child;
  EXPECT_EQ(IoCreateDevice(script->busFdo->DriverObject, sizeof(BusExtension), nullptr,
                           FILE_DEVICE_BUS_EXTENDER, FILE_AUTOGENERATED_DEVICE_NAME, FALSE, &child),
            STATUS_SUCCESS);
  auto* cx = static_cast<BusExtension*>(child->DeviceExtension);
  *cx = BusExtension{};
  cx->bus = cx->child = true;
  cx->self = child;
  cx->present = true;
  wcsncpy(cx->id, id.c_str(), 63);
  child->Flags &= ~DO_DEVICE_INITIALIZING;
  {
    std::lock_guard lock(script->mu);
    script->children.push_back(child);
  }
  IoInvalidateDeviceRelations(script->busFdo, BusRelations);
  return child;
}

inline void Unplug(PDEVICE_OBJECT child) {
  static_cast<BusExtension*>(child->DeviceExtension)->present = false;
  {
    std::lock_guard lock(script->mu);
    auto& c = script->children;
    c.erase(std::remove(c.begin(), c.end(), child), c.end());
  }
  IoInvalidateDeviceRelations(script->busFdo, BusRelations);
}

// A machine with the two drivers registered: the bus on "TEST\BUS", the
// function driver on "TEST\FN" (children and root devices alike).
class PnpTest : public ::testing::Test {
 protected:
  PnpTest() {
    script = &s;
    machine.RegisterDriver(L"TEST\\BUS", BusEntry, L"TestBus");
    machine.RegisterDriver(L"TEST\\FN", FunctionEntry, L"TestFunction");
  }

  PDEVICE_OBJECT StartBus() {
    NTSTATUS status;
    PDEVICE_OBJECT root = machine.CreateRootDevice(L"TEST\\BUS", &status);
    EXPECT_EQ(status, STATUS_SUCCESS);
    return root;
  }

  std::wstring InterfacePathOf(PDEVICE_OBJECT pdo) {
    const std::wstring instance = machine.InstancePath(pdo);
    for (const auto& i : machine.DeviceInterfaces(kTestInterface)) {
      std::wstring munged = instance;
      for (wchar_t& c : munged) c = c == L'\\' ? L'#' : c;
      if (i.path.find(munged) != std::wstring::npos) return i.path;
    }
    return {};
  }

  Script s;
  Machine machine;
};

}  // namespace tqm::kernel::testing
