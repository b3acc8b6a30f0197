// The I/O manager: device objects and stacks, IRPs, the completion walk and
// cancel.
//
// Device objects are objects (objects.cpp) holding the DEVICE_OBJECT, its
// DEVOBJ_EXTENSION and the driver's extension in one block; IoDeleteDevice
// drops the creator's reference. Stacks are linked through AttachedDevice
// (upward) and DEVOBJ_EXTENSION.AttachedTo (downward), guarded by stackMu.
//
// An IRP is one block: its IrpRecord (internal.h), then the IRP; its stack
// locations are a separate array of exactly StackCount entries, so a driver
// that steps past either end is caught by the address sanitizer. Stack
// location numbering is the kernel's: CurrentLocation starts at StackCount + 1,
// IoCallDriver decrements it, the lowest driver works at 1.
//
// The completion walk follows the kernel's rules: from the completing level
// upward, PendingReturned is taken from each location, a completion routine
// whose flags match the status is called with the device of the driver that
// set it (null above the top), STATUS_MORE_PROCESSING_REQUIRED stops the walk,
// and a level without a routine propagates the pending mark upward. The
// location is cleared as the walk leaves it.
//
// Verifier: each level records whether its dispatch routine returned
// STATUS_PENDING and whether the level was marked pending when the walk passed
// it; whichever of the two happens last checks that they agree. The IRP's
// state (idle, in a driver, walking, completed, freed) and the thread's frames
// tell a double completion and a completion by a driver that passed the IRP
// down from the legal cases. The record is reference counted so that a
// dispatch routine's return can still be checked after another thread
// completed and released the IRP.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <set>
#include <new>

#include "platform/kernel/internal.h"
#include "platform/kernel/pnp_manager.h"
#include "platform/kernel/pool.h"
#include "platform/kernel/process.h"

namespace tqm::kernel {

namespace {

std::mutex stackMu;
KSPIN_LOCK cancelLock = 0;
// IRPs drivers allocated (IoAllocateIrp) and have not freed, for the unload check.
std::mutex allocatedMu;
std::map<IrpRecord*, PDRIVER_OBJECT> allocated;
std::atomic<uint64_t> nextToken{1};

constexpr size_t kRecordSize = (sizeof(IrpRecord) + 15) & ~size_t(15);

std::string Hex(NTSTATUS status) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", unsigned(status));
  return text;
}

std::string IrpText(PIRP irp) {
  char text[32];
  std::snprintf(text, sizeof text, "IRP %p", static_cast<void*>(irp));
  return text;
}

void ReleaseRecord(IrpRecord* record) {
  if (record->references.fetch_sub(1) != 1) return;
  if (record->origin == IrpOrigin::Allocated) {
    std::lock_guard lock(allocatedMu);
    allocated.erase(record);
  }
  delete[] record->locations;
  if (record->irp->Flags & IRP_DEALLOCATE_BUFFER) ::operator delete(record->irp->AssociatedIrp.SystemBuffer);
  if (record->irp->MdlAddress) IoFreeMdl(record->irp->MdlAddress);
  record->magic = 0;
  record->~IrpRecord();
  ::operator delete(record, std::align_val_t(16));
}

void InitializeIrp(IrpRecord* record, CCHAR stackSize) {
  PIRP irp = record->irp;
  memset(irp, 0, sizeof(IRP));
  memset(record->locations, 0, sizeof(IO_STACK_LOCATION) * size_t(stackSize));
  irp->Type = 6;
  irp->Size = IoSizeOfIrp(stackSize);
  irp->StackCount = stackSize;
  irp->CurrentLocation = CCHAR(stackSize + 1);
  irp->Tail.Overlay.CurrentStackLocation = record->locations + stackSize;
  record->levels.assign(size_t(stackSize) + 2, LevelRecord{});
  record->state = IrpState::Idle;
}

IrpRecord* NewIrp(CCHAR stackSize, IrpOrigin origin) {
  if (stackSize < 1) stackSize = 1;
  void* block = ::operator new(kRecordSize + sizeof(IRP), std::align_val_t(16));
  auto* record = new (block) IrpRecord;
  record->origin = origin;
  record->irp = reinterpret_cast<PIRP>(static_cast<char*>(block) + kRecordSize);
  record->locations = new IO_STACK_LOCATION[size_t(stackSize)];
  InitializeIrp(record, stackSize);
  return record;
}

// Checks one level once both its dispatch routine has returned and the walk
// has passed it. Called with the record's lock held.
void CheckPendingLocked(IrpRecord* record, int level, std::vector<struct Fault>* faults) {
  LevelRecord& l = record->levels[size_t(level)];
  if (!l.dispatched || !l.returned || !l.walked) return;
  l.dispatched = false;
  const bool pending = l.status == STATUS_PENDING;
  if (pending && !l.marked) {
    faults->push_back({FaultKind::PendingNotMarked,
                       "dispatch routine of " + DescribeDevice(l.device) +
                           " returned STATUS_PENDING for " + IrpText(record->irp) +
                           " without marking it pending (IoMarkIrpPending)",
                       "in " + SymbolName(l.routine)});
  } else if (!pending && l.marked) {
    faults->push_back({FaultKind::MarkedButNotPending,
                       "dispatch routine of " + DescribeDevice(l.device) + " marked " +
                           IrpText(record->irp) + " pending but returned " + Hex(l.status),
                       "in " + SymbolName(l.routine)});
  }
}

void Report(const std::vector<struct Fault>& faults) {
  for (const auto& f : faults) Machine::Current().ReportFault(f.kind, f.what, f.where);
}

// The innermost frame of this thread that works on the IRP, or null.
const Frame* FrameFor(IrpRecord* record) {
  ThreadState& t = Self();
  for (auto it = t.frames.rbegin(); it != t.frames.rend(); ++it) {
    if (it->irp == record) return &*it;
  }
  return nullptr;
}

void ClearLocation(PIO_STACK_LOCATION location) {
  location->MinorFunction = 0;
  location->Flags = 0;
  location->Control &= SL_ERROR_RETURNED;
  memset(&location->Parameters, 0, sizeof(location->Parameters));
  location->FileObject = nullptr;
}

// The I/O manager's part of completing an IRP that came back to the top.
void FinishAtTop(IrpRecord* record, const void* caller) {
  PIRP irp = record->irp;
  if (record->origin == IrpOrigin::Allocated) {
    RaiseFault(FaultKind::IrpMisuse,
          IrpText(irp) + " allocated by a driver (IoAllocateIrp) completed to the top: its "
                         "completion routine must return STATUS_MORE_PROCESSING_REQUIRED",
          caller);
    return;
  }
  if (record->copyBack && !NT_ERROR(irp->IoStatus.Status) && record->userOutput) {
    // Windows copies Information bytes, whatever the output buffer's length:
    // a driver that reports more than the buffer holds overruns the caller.
    if (irp->IoStatus.Information > record->userOutputLength) {
      RaiseFault(FaultKind::IrpMisuse,
                 IrpText(irp) + " (buffered) completed with Information " +
                     std::to_string(irp->IoStatus.Information) + ", more than its " +
                     std::to_string(record->userOutputLength) + "-byte output buffer",
                 caller);
    }
    const size_t bytes = std::min<size_t>(irp->IoStatus.Information, record->userOutputLength);
    if (record->userProcess)
      record->userProcess->CopyChecked(record->userOutput, irp->AssociatedIrp.SystemBuffer, bytes);
    else
      memcpy(record->userOutput, irp->AssociatedIrp.SystemBuffer, bytes);
  }
  const bool power = record->locations[irp->StackCount - 1].MajorFunction == IRP_MJ_POWER;
  if (power && record->powerStarts == 0) {
    RaiseFault(FaultKind::PowerIrpMisuse,
               IrpText(irp) + " (power) completed without any driver calling PoStartNextPowerIrp",
               caller);
  }
  if (irp->UserIosb) *irp->UserIosb = irp->IoStatus;
  if (record->atTop) record->atTop(irp, record->atTopContext);
  PKEVENT event = irp->UserEvent;
  {
    std::lock_guard lock(record->mu);
    record->state = IrpState::Freed;
  }
  if (event) KeSetEvent(event, IO_NO_INCREMENT, FALSE);
  ReleaseRecord(record);
}

}  // namespace

PIRP NewKernelIrp(CCHAR stackSize) { return NewIrp(stackSize, IrpOrigin::Built)->irp; }

size_t AllocatedIrps(PDRIVER_OBJECT driver) {
  std::lock_guard lock(allocatedMu);
  size_t n = 0;
  for (const auto& [record, owner] : allocated) {
    if (owner != driver) continue;
    std::lock_guard recordLock(record->mu);
    n += record->state != IrpState::Freed ? 1 : 0;
  }
  return n;
}

size_t DevicesOf(PDRIVER_OBJECT driver) {
  std::lock_guard lock(stackMu);
  size_t n = 0;
  for (PDEVICE_OBJECT d = driver->DeviceObject; d; d = d->NextDevice) ++n;
  return n;
}

PDEVICE_OBJECT BottomOfStack(PDEVICE_OBJECT device) {
  std::lock_guard lock(stackMu);
  while (device && device->DeviceObjectExtension->AttachedTo) {
    device = device->DeviceObjectExtension->AttachedTo;
  }
  return device;
}

PDEVICE_OBJECT TopOfStack(PDEVICE_OBJECT device) {
  std::lock_guard lock(stackMu);
  while (device->AttachedDevice) device = device->AttachedDevice;
  return device;
}

std::vector<PDRIVER_OBJECT> DriversOfStack(PDEVICE_OBJECT bottom) {
  std::lock_guard lock(stackMu);
  std::vector<PDRIVER_OBJECT> drivers;
  for (PDEVICE_OBJECT d = bottom; d; d = d->AttachedDevice) {
    if (std::find(drivers.begin(), drivers.end(), d->DriverObject) == drivers.end()) {
      drivers.push_back(d->DriverObject);
    }
  }
  return drivers;
}

bool DriverHasDevices(PDRIVER_OBJECT driver) {
  std::lock_guard lock(stackMu);
  return driver->DeviceObject != nullptr;
}

NTSTATUS CallAndWait(PDEVICE_OBJECT device, PIRP irp, IO_STATUS_BLOCK* iosb) {
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  irp->UserEvent = &done;
  irp->UserIosb = iosb;
  irp->Tail.Overlay.Thread = KeGetCurrentThread();
  const NTSTATUS returned = IoCallDriver(device, irp);
  if (returned == STATUS_PENDING) {
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
  } else {
    // The IRP came back to the top inside the call. A driver that returned
    // without completing it would hang the caller on Windows; IoCallDriver
    // has reported that, and the returned status stands in for the rest.
    if (!KeReadStateEvent(&done)) iosb->Status = returned;
  }
  return iosb->Status;
}

IrpRecord* RecordOf(PIRP irp, const void* caller) {
  auto* record = reinterpret_cast<IrpRecord*>(reinterpret_cast<char*>(irp) - kRecordSize);
  if (!irp || record->magic != IrpRecord::kMagic) {
    RaiseFault(FaultKind::IrpMisuse, "not an IRP of this machine (or one already freed)", caller);
    std::abort();
  }
  return record;
}

}  // namespace tqm::kernel

using namespace tqm::kernel;

namespace {
// Devices IoDeleteDevice was called for, until their last reference goes.
std::set<PDEVICE_OBJECT> deletedDevices;  // under stackMu
// Every device object that exists (created, last reference not yet gone).
std::set<PDEVICE_OBJECT> liveDevices;  // under stackMu
void DestroyDevice(ObjectHeader* header) {
  std::lock_guard lock(stackMu);
  deletedDevices.erase(static_cast<PDEVICE_OBJECT>(BodyOf(header)));
  liveDevices.erase(static_cast<PDEVICE_OBJECT>(BodyOf(header)));
}
}  // namespace

bool tqm::kernel::DeviceAlive(PDEVICE_OBJECT device) {
  std::lock_guard lock(stackMu);
  return liveDevices.count(device) != 0;
}

extern "C" {

NTSTATUS IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize,
                        PUNICODE_STRING DeviceName, DEVICE_TYPE DeviceType,
                        ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                        PDEVICE_OBJECT* DeviceObject) {
  RequireIrql(PASSIVE_LEVEL, "IoCreateDevice", __builtin_return_address(0));
  if (Machine::Current().ShouldFail(FailurePoint::DeviceCreation)) return STATUS_INSUFFICIENT_RESOURCES;
  const size_t deviceBytes = (sizeof(DEVICE_OBJECT) + 15) & ~size_t(15);
  const size_t extensionBytes = (sizeof(DEVOBJ_EXTENSION) + 15) & ~size_t(15);
  auto* block = static_cast<char*>(CreateObject(
      ObjectType::Device, deviceBytes + extensionBytes + DeviceExtensionSize, DestroyDevice));
  auto* device = reinterpret_cast<PDEVICE_OBJECT>(block);
  auto* devobj = reinterpret_cast<PDEVOBJ_EXTENSION>(block + deviceBytes);
  device->Type = 3;
  device->Size = USHORT(deviceBytes + DeviceExtensionSize);
  device->DriverObject = DriverObject;
  device->Flags = DO_DEVICE_INITIALIZING | (Exclusive ? DO_EXCLUSIVE : 0) |
                  (DeviceName ? DO_DEVICE_HAS_NAME : 0);
  device->Characteristics = DeviceCharacteristics;
  device->DeviceExtension = DeviceExtensionSize ? block + deviceBytes + extensionBytes : nullptr;
  device->DeviceType = DeviceType;
  device->StackSize = 1;
  device->DeviceObjectExtension = devobj;
  devobj->Type = 13;
  devobj->Size = sizeof(DEVOBJ_EXTENSION);
  devobj->DeviceObject = device;
  {
    std::lock_guard lock(stackMu);
    device->NextDevice = DriverObject->DeviceObject;
    DriverObject->DeviceObject = device;
    liveDevices.insert(device);
  }
  *DeviceObject = device;
  return STATUS_SUCCESS;
}

VOID IoDeleteDevice(PDEVICE_OBJECT DeviceObject) {
  const void* caller = __builtin_return_address(0);
  RequireIrql(PASSIVE_LEVEL, "IoDeleteDevice", caller);
  if (ObjectHeader* header = HeaderOf(DeviceObject)) {
    Machine& m = Machine::Current();
    // A work item's reference defers the deletion, as on Windows (work_items.cpp).
    const int64_t others = header->references.load() - 1 - (PnpHoldsDevice(m, DeviceObject) ? 1 : 0) -
                           int64_t(WorkItemReferences(DeviceObject));
    if (others > 0) {
      RaiseFault(FaultKind::DeviceDeletedWhileReferenced,
                 DescribeDevice(DeviceObject) + " deleted while " + std::to_string(others) +
                     " reference(s) to it are still held (ObReferenceObject, "
                     "IoGetAttachedDeviceReference or an open file)",
                 caller);
    }
  }
  {
    std::lock_guard lock(stackMu);
    deletedDevices.insert(DeviceObject);
    ForgetLocks(DeviceObject, HeaderOf(DeviceObject) ? HeaderOf(DeviceObject)->bodySize : sizeof(DEVICE_OBJECT));
    PDEVICE_OBJECT* link = &DeviceObject->DriverObject->DeviceObject;
    while (*link && *link != DeviceObject) link = &(*link)->NextDevice;
    if (*link) *link = DeviceObject->NextDevice;
  }
  DereferenceObject(DeviceObject);
}

// Windows returns NULL when the target stack is going away (its top device
// deleted or being removed); injection stands in for that.
PDEVICE_OBJECT IoAttachDeviceToDeviceStack(PDEVICE_OBJECT SourceDevice, PDEVICE_OBJECT TargetDevice) {
  RequireIrql(PASSIVE_LEVEL, "IoAttachDeviceToDeviceStack", __builtin_return_address(0));
  if (Machine::Current().ShouldFail(FailurePoint::DeviceAttach)) return nullptr;
  std::lock_guard lock(stackMu);
  PDEVICE_OBJECT top = TargetDevice;
  while (top->AttachedDevice) top = top->AttachedDevice;
  if (deletedDevices.count(top)) return nullptr;
  top->AttachedDevice = SourceDevice;
  SourceDevice->DeviceObjectExtension->AttachedTo = top;
  SourceDevice->StackSize = CCHAR(top->StackSize + 1);
  SourceDevice->AlignmentRequirement = top->AlignmentRequirement;
  return top;
}

VOID IoDetachDevice(PDEVICE_OBJECT TargetDevice) {
  RequireIrql(PASSIVE_LEVEL, "IoDetachDevice", __builtin_return_address(0));
  std::lock_guard lock(stackMu);
  PDEVICE_OBJECT above = TargetDevice->AttachedDevice;
  if (above) above->DeviceObjectExtension->AttachedTo = nullptr;
  TargetDevice->AttachedDevice = nullptr;
}

PDEVICE_OBJECT IoGetAttachedDeviceReference(PDEVICE_OBJECT DeviceObject) {
  RequireIrql(DISPATCH_LEVEL, "IoGetAttachedDeviceReference", __builtin_return_address(0));
  std::lock_guard lock(stackMu);
  PDEVICE_OBJECT top = DeviceObject;
  while (top->AttachedDevice) top = top->AttachedDevice;
  ReferenceObject(top);
  return top;
}

PIRP IoAllocateIrp(CCHAR StackSize, BOOLEAN ChargeQuota) {
  RequireIrql(DISPATCH_LEVEL, "IoAllocateIrp", __builtin_return_address(0));
  if (Machine::Current().ShouldFail(FailurePoint::IrpAllocation)) return nullptr;
  IrpRecord* record = NewIrp(StackSize, IrpOrigin::Allocated);
  record->allocator = CurrentDriver();
  std::lock_guard lock(allocatedMu);
  allocated[record] = record->allocator;
  return record->irp;
}

VOID IoFreeIrp(PIRP Irp) {
  const void* caller = __builtin_return_address(0);
  RequireIrql(DISPATCH_LEVEL, "IoFreeIrp", caller);
  IrpRecord* record = RecordOf(Irp, caller);
  IrpState state;
  bool allocatorsTurn;
  {
    std::lock_guard lock(record->mu);
    state = record->state;
    allocatorsTurn = record->inAllocatorCompletion;
    record->state = IrpState::Freed;
  }
  if (state == IrpState::Freed) {
    RaiseFault(FaultKind::IrpMisuse, IrpText(Irp) + " freed twice", caller);
    return;
  }
  // Once the walk has reached the allocator's own completion routine the IRP
  // is the allocator's: that routine, or another thread of the allocator, may
  // free it, and the routine must then stop the walk
  // (STATUS_MORE_PROCESSING_REQUIRED, checked there); after that return the
  // I/O manager does not touch the IRP again. The routines of the drivers
  // below may not free it, nor anyone while a driver below still has it.
  const Frame* frame = FrameFor(record);
  const bool ownCompletion = state == IrpState::Walking && allocatorsTurn;
  if ((state == IrpState::Walking && !ownCompletion) ||
      (state == IrpState::InDriver && Irp->CurrentLocation <= Irp->StackCount && !frame)) {
    RaiseFault(FaultKind::IrpMisuse,
               IrpText(Irp) + (state == IrpState::Walking ? " freed while its completion walk is below the allocator"
                                                           : " freed while a driver below still owns it"),
               caller);
  }
  if (Irp->MdlAddress) {
    IoFreeMdl(Irp->MdlAddress);
    Irp->MdlAddress = nullptr;
  }
  ReleaseRecord(record);
}

VOID IoReuseIrp(PIRP Irp, NTSTATUS Iostatus) {
  const void* caller = __builtin_return_address(0);
  RequireIrql(DISPATCH_LEVEL, "IoReuseIrp", caller);
  IrpRecord* record = RecordOf(Irp, caller);
  const Frame* frame = FrameFor(record);
  std::lock_guard lock(record->mu);
  // Only the driver that allocated the IRP reuses it, and only while it owns
  // it: not sent, or back from a completion routine that stopped the walk
  // (or inside that routine).
  const bool walkingInOwn = record->state == IrpState::Walking && frame && frame->kind == FrameKind::Completion &&
                            frame->driver == record->allocator;
  const bool below = record->state == IrpState::InDriver && Irp->CurrentLocation <= Irp->StackCount;
  // An IRP allocated outside any driver (a test's) has no owner to compare.
  const bool otherDriver = record->allocator && !walkingInOwn && CurrentDriver() != record->allocator;
  if (record->origin != IrpOrigin::Allocated || otherDriver || (record->state == IrpState::Walking && !walkingInOwn) ||
      below) {
    RaiseFault(FaultKind::IrpMisuse,
               IrpText(Irp) + " reused (IoReuseIrp) by a driver that does not own it: " +
                   (record->origin != IrpOrigin::Allocated ? "it was not allocated with IoAllocateIrp"
                    : below                                ? "a driver below still has it"
                    : otherDriver                          ? "another driver allocated it"
                                                           : "its completion walk still runs"),
               caller);
    return;
  }
  const CCHAR stackSize = Irp->StackCount;
  PMDL mdl = Irp->MdlAddress;
  InitializeIrp(record, stackSize);
  Irp->MdlAddress = mdl;
  Irp->IoStatus.Status = Iostatus;
}

PIRP IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject,
                                   PVOID InputBuffer, ULONG InputBufferLength, PVOID OutputBuffer,
                                   ULONG OutputBufferLength, BOOLEAN InternalDeviceIoControl,
                                   PKEVENT Event, PIO_STATUS_BLOCK IoStatusBlock) {
  RequireIrql(PASSIVE_LEVEL, "IoBuildDeviceIoControlRequest", __builtin_return_address(0));
  if (Machine::Current().ShouldFail(FailurePoint::IrpAllocation)) return nullptr;
  IrpRecord* record = NewIrp(DeviceObject->StackSize, IrpOrigin::Built);
  PIRP irp = record->irp;
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = InternalDeviceIoControl ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
  next->Parameters.DeviceIoControl.IoControlCode = IoControlCode;
  next->Parameters.DeviceIoControl.InputBufferLength = InputBufferLength;
  next->Parameters.DeviceIoControl.OutputBufferLength = OutputBufferLength;
  switch (METHOD_FROM_CTL_CODE(IoControlCode)) {
    case METHOD_BUFFERED: {
      const ULONG bytes = std::max(InputBufferLength, OutputBufferLength);
      if (bytes) {
        irp->AssociatedIrp.SystemBuffer = ::operator new(bytes);
        memset(irp->AssociatedIrp.SystemBuffer, Pool::kFillPattern, bytes);
        if (InputBuffer && InputBufferLength) {
          memcpy(irp->AssociatedIrp.SystemBuffer, InputBuffer, InputBufferLength);
        }
        irp->Flags = IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER |
                     (OutputBufferLength ? IRP_INPUT_OPERATION : 0);
      }
      record->userOutput = OutputBuffer;
      record->userOutputLength = OutputBufferLength;
      record->copyBack = OutputBuffer && OutputBufferLength;
      break;
    }
    case METHOD_IN_DIRECT:
    case METHOD_OUT_DIRECT:
      if (InputBuffer && InputBufferLength) {
        irp->AssociatedIrp.SystemBuffer = ::operator new(InputBufferLength);
        memcpy(irp->AssociatedIrp.SystemBuffer, InputBuffer, InputBufferLength);
        irp->Flags = IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
      }
      if (OutputBuffer && OutputBufferLength) {
        irp->MdlAddress = IoAllocateMdl(OutputBuffer, OutputBufferLength, FALSE, FALSE, nullptr);
        if (irp->MdlAddress) {
          irp->MdlAddress->MappedSystemVa = OutputBuffer;
          irp->MdlAddress->MdlFlags |= MDL_MAPPED_TO_SYSTEM_VA | MDL_PAGES_LOCKED;
        }
      }
      break;
    case METHOD_NEITHER:
      next->Parameters.DeviceIoControl.Type3InputBuffer = InputBuffer;
      break;
  }
  irp->UserBuffer = OutputBuffer;
  irp->UserIosb = IoStatusBlock;
  irp->UserEvent = Event;
  irp->RequestorMode = KernelMode;
  irp->Tail.Overlay.Thread = KeGetCurrentThread();
  return irp;
}

NTSTATUS IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  const void* caller = __builtin_return_address(0);
  InterleavePoint(InterleaveAt::CallDriver);
  RequireIrql(DISPATCH_LEVEL, "IoCallDriver", caller);
  IrpRecord* record = RecordOf(Irp, caller);
  {
    std::lock_guard lock(record->mu);
    if (record->state == IrpState::Completed || record->state == IrpState::Freed) {
      RaiseFault(FaultKind::IrpMisuse, IrpText(Irp) + " sent after it was completed or freed", caller);
    }
  }
  if (Irp->CurrentLocation <= 1) {
    RaiseFault(FaultKind::IrpMisuse,
          IrpText(Irp) + " has no stack location left for " + DescribeDevice(DeviceObject) +
              " (StackCount " + std::to_string(Irp->StackCount) + ")",
          caller);
    return STATUS_INVALID_PARAMETER;
  }
  Irp->CurrentLocation--;
  Irp->Tail.Overlay.CurrentStackLocation--;
  PIO_STACK_LOCATION location = Irp->Tail.Overlay.CurrentStackLocation;
  location->DeviceObject = DeviceObject;
  const int level = Irp->CurrentLocation;
  PDRIVER_DISPATCH dispatch = DeviceObject->DriverObject->MajorFunction[location->MajorFunction];
  const uint64_t token = nextToken.fetch_add(1);
  {
    std::lock_guard lock(record->mu);
    LevelRecord& l = record->levels[size_t(level)];
    l = LevelRecord{};
    l.token = token;
    record->owner = token;
    l.dispatched = true;
    l.routine = reinterpret_cast<const void*>(dispatch);
    l.device = DeviceObject;
    record->state = IrpState::InDriver;
    ++record->generation;
  }
  record->references.fetch_add(1);
  NTSTATUS status;
  {
    RoutineCheck check(FrameKind::Dispatch, DeviceObject->DriverObject, record, level,
                       reinterpret_cast<const void*>(dispatch));
    Self().frames.back().token = token;
    status = dispatch(DeviceObject, Irp);
  }
  std::vector<struct Fault> faults;
  {
    std::lock_guard lock(record->mu);
    LevelRecord& l = record->levels[size_t(level)];
    // A routine that does not return STATUS_PENDING has completed the IRP
    // (itself or below it) by the time it returns; one that did not would
    // leave its sender waiting for ever on Windows.
    if (status != STATUS_PENDING && l.token == token && !l.walked && record->state != IrpState::Freed) {
      faults.push_back({FaultKind::IrpNotCompleted,
                        "dispatch routine of " + DescribeDevice(DeviceObject) + " returned " + Hex(status) +
                            " for " + IrpText(Irp) + " without completing it (nor returning STATUS_PENDING)",
                        "in " + SymbolName(reinterpret_cast<const void*>(dispatch))});
    }
    l.returned = true;
    l.status = status;
    CheckPendingLocked(record, level, &faults);
  }
  Report(faults);
  ReleaseRecord(record);
  return status;
}

VOID IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost) {
  const void* caller = __builtin_return_address(0);
  InterleavePoint(InterleaveAt::CompleteRequest);
  RequireIrql(DISPATCH_LEVEL, "IoCompleteRequest", caller);
  IrpRecord* record = RecordOf(Irp, caller);
  const Frame* frame = FrameFor(record);
  {
    std::lock_guard lock(record->mu);
    const bool nested = record->state == IrpState::Walking && frame && frame->kind == FrameKind::Completion;
    if (record->state == IrpState::Completed || record->state == IrpState::Freed ||
        (record->state == IrpState::Walking && !nested)) {
      RaiseFault(FaultKind::IrpCompletedTwice,
            IrpText(Irp) + " completed again (status " + Hex(Irp->IoStatus.Status) + ")", caller);
      return;
    }
    // A dispatch routine owns the IRP it was given until it passes it down; it
    // owns it again only when its own completion routine stops the walk.
    if (frame && frame->kind == FrameKind::Dispatch && record->owner != frame->token) {
      RaiseFault(FaultKind::IrpNotOwned,
            IrpText(Irp) + " completed by the dispatch routine at stack level " +
                std::to_string(frame->level) + " after it passed it down (now at level " +
                std::to_string(Irp->CurrentLocation) + ")",
            caller);
      return;
    }
    record->state = IrpState::Walking;
    ++record->generation;
  }
  if (Irp->IoStatus.Status == STATUS_PENDING) {
    RaiseFault(FaultKind::IrpMisuse, IrpText(Irp) + " completed with STATUS_PENDING", caller);
  }
  if (__atomic_load_n(&Irp->CancelRoutine, __ATOMIC_ACQUIRE)) {
    RaiseFault(FaultKind::IrpMisuse, IrpText(Irp) + " completed with its cancel routine still set",
          caller);
  }

  record->references.fetch_add(1);
  IoSkipCurrentIrpStackLocation(Irp);
  while (Irp->CurrentLocation <= Irp->StackCount + 1) {
    const int level = Irp->CurrentLocation - 1;
    PIO_STACK_LOCATION location = record->locations + (level - 1);
    Irp->PendingReturned = (location->Control & SL_PENDING_RETURNED) != 0;
    std::vector<struct Fault> faults;
    uint64_t generation;
    {
      std::lock_guard lock(record->mu);
      LevelRecord& l = record->levels[size_t(level)];
      l.walked = true;
      l.marked = Irp->PendingReturned;
      CheckPendingLocked(record, level, &faults);
      generation = record->generation;
    }
    Report(faults);

    const bool success = NT_SUCCESS(Irp->IoStatus.Status);
    const UCHAR control = location->Control;
    PIO_COMPLETION_ROUTINE routine = location->CompletionRoutine;
    if (routine && ((success && (control & SL_INVOKE_ON_SUCCESS)) ||
                    (!success && (control & SL_INVOKE_ON_ERROR)) ||
                    (__atomic_load_n(&Irp->Cancel, __ATOMIC_ACQUIRE) && (control & SL_INVOKE_ON_CANCEL)))) {
      PVOID context = location->Context;
      ClearLocation(location);
      location->CompletionRoutine = nullptr;
      location->Context = nullptr;
      const bool top = Irp->CurrentLocation == Irp->StackCount + 1;
      PDEVICE_OBJECT device = top ? nullptr : IoGetCurrentIrpStackLocation(Irp)->DeviceObject;
      NTSTATUS result;
      const PDRIVER_OBJECT routineDriver = device ? device->DriverObject : record->allocator;
      {
        std::lock_guard lock(record->mu);
        record->inAllocatorCompletion = routineDriver == record->allocator;
      }
      {
        RoutineCheck check(FrameKind::Completion, routineDriver, record, Irp->CurrentLocation,
                           reinterpret_cast<const void*>(routine));
        result = routine(device, Irp, context);
      }
      bool reused;
      bool freed;
      {
        std::lock_guard lock(record->mu);
        record->inAllocatorCompletion = false;
        reused = record->generation != generation;
        freed = record->state == IrpState::Freed;
        if (result == STATUS_MORE_PROCESSING_REQUIRED && !reused && !freed) {
          record->state = top ? IrpState::Idle : IrpState::InDriver;
          record->owner = top ? 0 : record->levels[size_t(Irp->CurrentLocation)].token;
        }
      }
      if (freed) {
        if (result != STATUS_MORE_PROCESSING_REQUIRED) {
          RaiseFault(FaultKind::IrpMisuse,
                     "completion routine " + SymbolName(reinterpret_cast<const void*>(routine)) + " freed " +
                         IrpText(Irp) + " but returned " + Hex(result) +
                         " instead of STATUS_MORE_PROCESSING_REQUIRED",
                     caller);
        }
        ReleaseRecord(record);
        return;
      }
      if (result == STATUS_MORE_PROCESSING_REQUIRED || reused) {
        if (reused && result != STATUS_MORE_PROCESSING_REQUIRED) {
          RaiseFault(FaultKind::IrpCompletedTwice,
                "completion routine " + SymbolName(reinterpret_cast<const void*>(routine)) +
                    " sent or completed " + IrpText(Irp) + " again but returned " + Hex(result) +
                    " instead of STATUS_MORE_PROCESSING_REQUIRED",
                caller);
        }
        ReleaseRecord(record);
        return;
      }
    } else {
      if (Irp->CurrentLocation <= Irp->StackCount && Irp->PendingReturned) IoMarkIrpPending(Irp);
      ClearLocation(location);
    }
    IoSkipCurrentIrpStackLocation(Irp);
  }
  {
    std::lock_guard lock(record->mu);
    record->state = IrpState::Completed;
  }
  FinishAtTop(record, caller);
  ReleaseRecord(record);
}

VOID IoAcquireCancelSpinLock(PKIRQL Irql) { KeAcquireSpinLock(&cancelLock, Irql); }

VOID IoReleaseCancelSpinLock(KIRQL Irql) { KeReleaseSpinLock(&cancelLock, Irql); }

BOOLEAN IoCancelIrp(PIRP Irp) {
  const void* caller = __builtin_return_address(0);
  RequireIrql(DISPATCH_LEVEL, "IoCancelIrp", caller);
  IrpRecord* record = RecordOf(Irp, caller);
  record->references.fetch_add(1);
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  // The owner may be completing the IRP on another processor right now.
  __atomic_store_n(&Irp->Cancel, BOOLEAN(TRUE), __ATOMIC_RELEASE);
  PDRIVER_CANCEL routine = IoSetCancelRoutine(Irp, nullptr);
  if (!routine) {
    IoReleaseCancelSpinLock(irql);
    ReleaseRecord(record);
    return FALSE;
  }
  Irp->CancelIrql = irql;
  PDEVICE_OBJECT device =
      Irp->CurrentLocation <= Irp->StackCount ? IoGetCurrentIrpStackLocation(Irp)->DeviceObject : nullptr;
  {
    // The routine gets the cancel spin lock and must release it.
    RoutineCheck check(FrameKind::Cancel, device ? device->DriverObject : nullptr, record,
                       Irp->CurrentLocation, reinterpret_cast<const void*>(routine));
    check.ExpectReleased(1, irql);
    routine(device, Irp);
  }
  ReleaseRecord(record);
  return TRUE;
}

}  // extern "C"
