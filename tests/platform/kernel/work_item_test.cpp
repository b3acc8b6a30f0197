// I/O work items: the routine runs at PASSIVE_LEVEL on a worker thread of the
// system, with the device referenced until it returns; what Driver Verifier
// stops on (a queued item freed or queued again, a driver unloading with an
// item outstanding or never freed) is a fault.
#include <chrono>
#include <thread>

#include "tests/platform/kernel/kernel_fixture.h"

namespace tqm::kernel::testing {

// Outside the anonymous namespace so that fault reports can name them.
struct Seen {
  KIRQL irql = HIGH_LEVEL;
  PKTHREAD thread = nullptr;
  PDEVICE_OBJECT device = nullptr;
  PVOID ioObject = nullptr;
  PIO_WORKITEM item = nullptr;
  int runs = 0;
  KEVENT done;
  KEVENT release;  // the held routine waits for it
};

VOID NoteRoutine(PDEVICE_OBJECT device, PVOID context) {
  auto* seen = static_cast<Seen*>(context);
  seen->irql = KeGetCurrentIrql();
  seen->thread = KeGetCurrentThread();
  seen->device = device;
  ++seen->runs;
  KeSetEvent(&seen->done, IO_NO_INCREMENT, FALSE);
}

VOID HeldRoutine(PDEVICE_OBJECT, PVOID context) {
  auto* seen = static_cast<Seen*>(context);
  KeSetEvent(&seen->done, IO_NO_INCREMENT, FALSE);
  KeWaitForSingleObject(&seen->release, Executive, KernelMode, FALSE, nullptr);
}

// Runs twice: queues its own item again from the first run, frees it in the
// second (both allowed to the routine itself).
VOID RequeueingRoutineEx(PVOID ioObject, PVOID context, PIO_WORKITEM item) {
  auto* seen = static_cast<Seen*>(context);
  seen->ioObject = ioObject;
  seen->item = item;
  if (++seen->runs == 1) {
    IoQueueWorkItemEx(item, RequeueingRoutineEx, DelayedWorkQueue, context);
    return;
  }
  IoFreeWorkItem(item);
  KeSetEvent(&seen->done, IO_NO_INCREMENT, FALSE);
}

namespace {

void Init(Seen& seen) {
  KeInitializeEvent(&seen.done, NotificationEvent, FALSE);
  KeInitializeEvent(&seen.release, NotificationEvent, FALSE);
}

void WaitDone(Seen& seen) {
  ASSERT_EQ(KeWaitForSingleObject(&seen.done, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
}

// Waits until every routine has returned and dropped its device reference.
void WaitRoutinesReturned() {
  // Host time: the machine's clock may be virtual and stand still.
  while (Machine::Current().WorkItemsOutstanding() != 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

}  // namespace

TEST(WorkItem, QueuedFromDispatchLevelRunsAtPassiveOnASystemWorker) {
  Machine machine;
  TestStack stack(machine, 1);
  PDEVICE_OBJECT device = stack[0].device;
  Seen seen;
  Init(seen);
  PIO_WORKITEM item = IoAllocateWorkItem(device);
  ASSERT_NE(item, nullptr);
  // As a completion routine would: at DISPATCH_LEVEL.
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  IoQueueWorkItem(item, NoteRoutine, DelayedWorkQueue, &seen);
  KeLowerIrql(old);
  WaitDone(seen);
  EXPECT_EQ(seen.irql, PASSIVE_LEVEL);
  EXPECT_NE(seen.thread, KeGetCurrentThread());
  EXPECT_EQ(seen.device, device);
  EXPECT_EQ(seen.runs, 1);
  // Once its routine has returned, the item may go (and be queued first).
  WaitRoutinesReturned();
  IoFreeWorkItem(item);
}

TEST(WorkItem, TheRoutineMayQueueItsItemAgainAndFreeIt) {
  Machine machine;
  FaultRecorder recorder(machine);
  TestStack stack(machine, 1);
  Seen seen;
  Init(seen);
  PIO_WORKITEM item = IoAllocateWorkItem(stack[0].device);
  ASSERT_NE(item, nullptr);
  IoQueueWorkItemEx(item, RequeueingRoutineEx, DelayedWorkQueue, &seen);
  WaitDone(seen);
  EXPECT_EQ(seen.runs, 2);
  EXPECT_EQ(seen.ioObject, stack[0].device);
  EXPECT_EQ(seen.item, item);
  EXPECT_TRUE(recorder.Take().empty());
}

// A driver that queues a work item whose routine is still running when it
// unloads, and allocates another that it never frees.
Seen unloadSeen;
PDEVICE_OBJECT unloadDevice;

NTSTATUS OutstandingDriverEntry(PDRIVER_OBJECT, PUNICODE_STRING) {
  PIO_WORKITEM running = IoAllocateWorkItem(unloadDevice);
  PIO_WORKITEM never = IoAllocateWorkItem(unloadDevice);
  if (!running || !never) return STATUS_INSUFFICIENT_RESOURCES;
  IoQueueWorkItem(running, HeldRoutine, DelayedWorkQueue, &unloadSeen);
  return STATUS_SUCCESS;
}

TEST(WorkItem, EachMisuseIsAFault) {
  struct Row {
    const char* why;
    std::function<void(Machine&, TestStack&)> provoke;
    std::vector<FaultKind> expected;
    const char* whatHas;
  };
  const Row rows[] = {
      {"freeing an item whose routine has not returned",
       [](Machine&, TestStack& stack) {
         Seen seen;
         Init(seen);
         PIO_WORKITEM item = IoAllocateWorkItem(stack[0].device);
         IoQueueWorkItem(item, HeldRoutine, DelayedWorkQueue, &seen);
         WaitDone(seen);
         IoFreeWorkItem(item);
         KeSetEvent(&seen.release, IO_NO_INCREMENT, FALSE);
         WaitRoutinesReturned();
         IoFreeWorkItem(item);
       },
       {FaultKind::ObjectMisuse}, "IoFreeWorkItem of a work item that is still queued or whose routine runs"},
      {"queueing an item whose routine has not returned",
       [](Machine&, TestStack& stack) {
         Seen seen;
         Init(seen);
         PIO_WORKITEM item = IoAllocateWorkItem(stack[0].device);
         IoQueueWorkItem(item, HeldRoutine, DelayedWorkQueue, &seen);
         WaitDone(seen);
         IoQueueWorkItem(item, HeldRoutine, DelayedWorkQueue, &seen);
         KeSetEvent(&seen.release, IO_NO_INCREMENT, FALSE);
         WaitRoutinesReturned();
         IoFreeWorkItem(item);
       },
       {FaultKind::ObjectMisuse}, "IoQueueWorkItem of a work item that is already queued or whose routine runs"},
      {"unloading with an item running and another never freed",
       [](Machine& m, TestStack& stack) {
         unloadDevice = stack[0].device;
         Init(unloadSeen);
         NTSTATUS status;
         PDRIVER_OBJECT driver = m.LoadDriver(OutstandingDriverEntry, L"Outstanding", &status);
         ASSERT_EQ(status, STATUS_SUCCESS);
         WaitDone(unloadSeen);
         m.UnloadDriver(driver);
         KeSetEvent(&unloadSeen.release, IO_NO_INCREMENT, FALSE);
         WaitRoutinesReturned();
       },
       {FaultKind::PoolLeakAtUnload, FaultKind::ResourceLeakAtUnload}, "'IoWk' 2 block(s)"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.why);
    Machine machine;
    FaultRecorder recorder(machine);
    {
      TestStack stack(machine, 1);
      row.provoke(machine, stack);
    }
    const std::vector<Fault> faults = recorder.Take();
    ASSERT_EQ(faults.size(), row.expected.size()) << FaultRecorder::Describe(faults);
    for (size_t i = 0; i < faults.size(); ++i)
      EXPECT_EQ(faults[i].kind, row.expected[i]) << FaultRecorder::Describe(faults);
    EXPECT_NE(faults[0].what.find(row.whatHas), std::string::npos) << faults[0].what;
    if (faults.size() > 1) {
      EXPECT_NE(faults[1].what.find("1 work item(s) still queued or running"), std::string::npos) << faults[1].what;
    }
  }
}

}  // namespace tqm::kernel::testing
