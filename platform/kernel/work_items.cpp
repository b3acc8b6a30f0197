// I/O work items: a routine a driver asks to run at PASSIVE_LEVEL, typically
// from a completion routine or a DPC at DISPATCH_LEVEL that needs to wait or
// send synchronous requests.
//
// IoAllocateWorkItem takes a block of nonpaged pool charged to the calling
// driver (tag "IoWk"), so an item never freed is a pool leak at unload. An
// item is queued from IoQueueWorkItem until a system worker thread takes it
// up; the worker reads the routine and context, the item stops being queued,
// the routine runs at PASSIVE_LEVEL in the system process (it may free the
// item or queue it again), and after it returns the worker drops the
// reference that kept the device object alive since the queue call. Each
// queued item gets a worker thread of its own, so two items may run at once
// and in either order, as on Windows' several worker threads.
//
// What Driver Verifier would stop on is a fault here: queueing an item that is
// already queued, freeing a queued item, a block that is not a work item, and
// a driver that unloads while one of its items is still queued or its
// routine still runs after a grace period (Windows defers the unload on the
// item's device reference; one that never comes is a driver that waits for
// nothing before its removal ends). Deleting the device of an outstanding
// item is not a fault: its reference defers the deletion, as on Windows.
// Stricter than Windows: while the routine runs, only the routine itself may
// free or queue its item (another thread cannot know it has started).
#include <chrono>
#include <map>
#include <mutex>
#include <thread>

#include "platform/kernel/internal.h"
#include "platform/kernel/pool.h"

struct _IO_WORKITEM {
  ULONG magic;
  PDEVICE_OBJECT device;
  PDRIVER_OBJECT owner;  // the driver that allocated it
  // Between IoQueueWorkItem and the worker taking it up.
  bool queued;
  PIO_WORKITEM_ROUTINE routine;
  PIO_WORKITEM_ROUTINE_EX routineEx;
  PVOID context;
};

namespace tqm::kernel {

namespace {

constexpr ULONG kWorkItemTag = 0x6B576F49;  // "IoWk"
constexpr ULONG kWorkItemMagic = 0x4B524F57;
constexpr ULONG kFreedMagic = 0x44454546;

// Items queued or running per driver, and the worker thread of each item
// whose routine runs; one machine runs at a time.
std::mutex registryMu;
std::map<PDRIVER_OBJECT, size_t> outstanding;
std::map<PIO_WORKITEM, PKTHREAD> running;
size_t live = 0;  // queued or not yet returned, of every driver
// Device references held by items, and per driver the items whose routine
// returned and whose reference is still to be dropped.
std::map<PDEVICE_OBJECT, size_t> deviceReferences;
std::map<PDRIVER_OBJECT, size_t> returning;

// Under registryMu: the item is queued, or its routine runs on another thread.
bool BusyForCaller(PIO_WORKITEM item) {
  if (item->queued) return true;
  auto it = running.find(item);
  return it != running.end() && it->second != KeGetCurrentThread();
}

// The worker's copy of what it needs after the routine: the routine may free
// the item.
struct Job {
  PIO_WORKITEM item;
  PDEVICE_OBJECT device;
  PDRIVER_OBJECT owner;
};

bool Valid(PIO_WORKITEM item, const char* service, const void* caller) {
  if (item && item->magic == kWorkItemMagic) return true;
  RaiseFault(FaultKind::ObjectMisuse,
             std::string(service) + (item && item->magic == kFreedMagic ? " with a freed work item"
                                                                          : " with something that is not a work item"),
             caller);
  return false;
}

void WorkerMain(PVOID raw) {
  Job job = *static_cast<Job*>(raw);
  delete static_cast<Job*>(raw);
  PIO_WORKITEM item = job.item;
  PIO_WORKITEM_ROUTINE routine;
  PIO_WORKITEM_ROUTINE_EX routineEx;
  PVOID context;
  {
    std::lock_guard lock(registryMu);
    routine = item->routine;
    routineEx = item->routineEx;
    context = item->context;
    item->queued = false;
    running[item] = KeGetCurrentThread();
  }
  {
    const void* symbol = routine ? reinterpret_cast<const void*>(routine) : reinterpret_cast<const void*>(routineEx);
    RoutineCheck check(FrameKind::SystemThread, job.owner, nullptr, 0, symbol);
    if (routine) routine(job.device, context);
    else routineEx(job.device, context, item);
  }
  {
    std::lock_guard lock(registryMu);
    auto count = outstanding.find(job.owner);
    if (count != outstanding.end() && --count->second == 0) outstanding.erase(count);
    ++returning[job.owner];
    // The item may be gone (freed by its routine) or queued again.
    auto it = running.find(item);
    if (it != running.end() && it->second == KeGetCurrentThread()) running.erase(it);
  }
  ObDereferenceObject(job.device);
  std::lock_guard lock(registryMu);
  if (--returning[job.owner] == 0) returning.erase(job.owner);
  if (--deviceReferences[job.device] == 0) deviceReferences.erase(job.device);
  --live;
}

void Queue(PIO_WORKITEM item, PIO_WORKITEM_ROUTINE routine, PIO_WORKITEM_ROUTINE_EX routineEx, PVOID context,
           const char* service, const void* caller) {
  RequireIrql(DISPATCH_LEVEL, service, caller);
  if (!Valid(item, service, caller)) return;
  if (!routine && !routineEx) {
    RaiseFault(FaultKind::ObjectMisuse, std::string(service) + " with no routine", caller);
    return;
  }
  auto* job = new Job{item, item->device, item->owner};
  {
    std::lock_guard lock(registryMu);
    if (BusyForCaller(item)) {
      delete job;
      RaiseFault(FaultKind::ObjectMisuse,
                 std::string(service) + " of a work item that is already queued or whose routine runs", caller);
      return;
    }
    item->queued = true;
    item->routine = routine;
    item->routineEx = routineEx;
    item->context = context;
    ++outstanding[item->owner];
    ++live;
    ++deviceReferences[item->device];
  }
  // The device object (and so its driver) stays while the item is queued
  // and its routine runs.
  ObReferenceObject(item->device);
  StartKernelThread(WorkerMain, job);
}

}  // namespace

size_t WorkItemReferences(PDEVICE_OBJECT device) {
  std::lock_guard lock(registryMu);
  auto it = deviceReferences.find(device);
  return it == deviceReferences.end() ? 0 : it->second;
}

size_t OutstandingWorkItems(PDRIVER_OBJECT driver) {
  // Windows defers the unload while an item's device reference is held, so a
  // routine whose last act lets the removal go on (releasing a remove lock)
  // may still be returning: the check waits for that, two seconds of host
  // time at most. What is still queued or running then is a fault.
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  for (;;) {
    {
      std::lock_guard lock(registryMu);
      if (!returning.count(driver) && !outstanding.count(driver)) break;
    }
    if (std::chrono::steady_clock::now() > until) break;
    std::this_thread::sleep_for(std::chrono::microseconds(100));
  }
  std::lock_guard lock(registryMu);
  auto it = outstanding.find(driver);
  if (it == outstanding.end()) return 0;
  const size_t n = it->second;
  // Reported once: what runs on is the driver's fault already.
  outstanding.erase(it);
  return n;
}

size_t Machine::WorkItemsOutstanding() const {
  std::lock_guard lock(registryMu);
  return live;
}

}  // namespace tqm::kernel

using namespace tqm::kernel;

extern "C" {

PIO_WORKITEM IoAllocateWorkItem(PDEVICE_OBJECT DeviceObject) {
  const void* caller = __builtin_return_address(0);
  RequireIrql(DISPATCH_LEVEL, "IoAllocateWorkItem", caller);
  if (!DeviceObject) {
    RaiseFault(FaultKind::ObjectMisuse, "IoAllocateWorkItem with no device object", caller);
    return nullptr;
  }
  Machine& m = Machine::Current();
  if (m.ShouldFail(FailurePoint::PoolAllocation)) return nullptr;
  auto* item = static_cast<PIO_WORKITEM>(
      m.pool().Allocate(NonPagedPool, sizeof(_IO_WORKITEM), kWorkItemTag, CurrentDriver()));
  if (!item) return nullptr;
  *item = _IO_WORKITEM{kWorkItemMagic, DeviceObject, CurrentDriver(), false, nullptr, nullptr, nullptr};
  return item;
}

VOID IoFreeWorkItem(PIO_WORKITEM IoWorkItem) {
  const void* caller = __builtin_return_address(0);
  RequireIrql(DISPATCH_LEVEL, "IoFreeWorkItem", caller);
  if (!Valid(IoWorkItem, "IoFreeWorkItem", caller)) return;
  {
    std::lock_guard lock(registryMu);
    if (BusyForCaller(IoWorkItem)) {
      RaiseFault(FaultKind::ObjectMisuse, "IoFreeWorkItem of a work item that is still queued or whose routine runs",
                 caller);
      return;
    }
    IoWorkItem->magic = kFreedMagic;
    running.erase(IoWorkItem);
  }
  ULONG actual = 0;
  bool overrun = false;
  if (!Machine::Current().pool().Free(IoWorkItem, kWorkItemTag, true, &actual, &overrun) || overrun)
    RaiseFault(FaultKind::PoolMisuse, "IoFreeWorkItem of a damaged work item", caller);
}

VOID IoQueueWorkItem(PIO_WORKITEM IoWorkItem, PIO_WORKITEM_ROUTINE WorkerRoutine, WORK_QUEUE_TYPE QueueType,
                     PVOID Context) {
  (void)QueueType;
  Queue(IoWorkItem, WorkerRoutine, nullptr, Context, "IoQueueWorkItem", __builtin_return_address(0));
}

VOID IoQueueWorkItemEx(PIO_WORKITEM IoWorkItem, PIO_WORKITEM_ROUTINE_EX WorkerRoutine, WORK_QUEUE_TYPE QueueType,
                       PVOID Context) {
  (void)QueueType;
  Queue(IoWorkItem, nullptr, WorkerRoutine, Context, "IoQueueWorkItemEx", __builtin_return_address(0));
}

}  // extern "C"
