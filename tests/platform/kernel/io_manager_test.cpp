// The I/O manager's rules as drivers meet them: the completion walk, pending
// propagation, cancel, buffered device control and driver-allocated IRPs.
#include <atomic>
#include <chrono>
#include <deque>
#include <thread>

#include "tests/platform/kernel/kernel_fixture.h"

namespace tqm::kernel::testing {
namespace {

struct Walk {
  std::vector<std::string> calls;
  int stopAt = 0;  // stack level whose driver's routine returns MORE_PROCESSING (0 = none)
};

NTSTATUS RecordingRoutine(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
  auto* walk = static_cast<Walk*>(context);
  const int level = irp->CurrentLocation;  // the level of the driver that set the routine
  walk->calls.push_back("level" + std::to_string(level));
  if (walk->stopAt == level) return STATUS_MORE_PROCESSING_REQUIRED;
  if (irp->PendingReturned) IoMarkIrpPending(irp);
  return STATUS_SUCCESS;
}

NTSTATUS Complete(PIRP irp) {
  irp->IoStatus.Status = STATUS_SUCCESS;
  irp->IoStatus.Information = 0;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_SUCCESS;
}

std::string Join(const std::vector<std::string>& items) {
  std::string text;
  for (const auto& item : items) text += (text.empty() ? "" : ",") + item;
  return text;
}

TEST(IoManager, CompletionRoutinesRunUpwardAndMoreProcessingStopsTheWalk) {
  struct Row {
    const char* why;
    NTSTATUS bottomStatus;
    bool middleOnSuccess;
    int stopAt;
    const char* firstCalls;
    bool doneAfterFirst;
    const char* callsAfterSecondCompletion;  // null: no second completion
  };
  const Row rows[] = {
      // Every routine runs, lowest first, each with its setter's level.
      {"plain walk", STATUS_SUCCESS, true, 0, "level2,level3", true, nullptr},
      // The middle driver's routine takes the IRP back: the top routine waits
      // until the middle driver completes it again.
      {"middle stops", STATUS_SUCCESS, true, 2, "level2", false, "level2,level3"},
      // The top driver's routine keeps the IRP; its next completion reaches the originator.
      {"top stops", STATUS_SUCCESS, true, 3, "level2,level3", false, "level2,level3"},
      // A routine set for errors only is skipped on success.
      {"error-only routine skipped", STATUS_SUCCESS, false, 0, "level3", true, nullptr},
      // ... and runs on an error status.
      {"error-only routine on error", STATUS_UNSUCCESSFUL, false, 0, "level2,level3", true, nullptr},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.why);
    Machine machine;
    FaultRecorder faults(machine);
    TestStack stack(machine, 3);
    Walk walk;
    walk.stopAt = row.stopAt;
    stack[0].dispatch = [&](PDEVICE_OBJECT, PIRP irp) {
      irp->IoStatus.Status = row.bottomStatus;
      IoCompleteRequest(irp, IO_NO_INCREMENT);
      return row.bottomStatus;
    };
    for (size_t i = 1; i < 3; ++i) {
      stack[i].dispatch = [&, i](PDEVICE_OBJECT, PIRP irp) {
        IoCopyCurrentIrpStackLocationToNext(irp);
        const bool onSuccess = i == 2 || row.middleOnSuccess;
        IoSetCompletionRoutine(irp, RecordingRoutine, &walk, onSuccess, TRUE, TRUE);
        // A driver whose routine takes the IRP back completes it later: its
        // dispatch routine returns STATUS_PENDING.
        const bool takesItBack = row.stopAt == int(i) + 1;
        if (takesItBack) IoMarkIrpPending(irp);
        const NTSTATUS status = IoCallDriver(stack[i].lower, irp);
        return takesItBack ? STATUS_PENDING : status;
      };
    }
    ControlRequest request(stack.top().device, kBufferedCode, nullptr, 0, nullptr, 0);
    const NTSTATUS status = IoCallDriver(stack.top().device, request.irp);
    EXPECT_EQ(status, row.stopAt ? STATUS_PENDING : row.bottomStatus);
    EXPECT_EQ(Join(walk.calls), row.firstCalls);
    EXPECT_EQ(KeReadStateEvent(&request.done) != 0, row.doneAfterFirst);
    if (row.callsAfterSecondCompletion) {
      // The driver that stopped the walk completes the IRP again.
      IoCompleteRequest(request.irp, IO_NO_INCREMENT);
      EXPECT_EQ(Join(walk.calls), row.callsAfterSecondCompletion);
      EXPECT_NE(KeReadStateEvent(&request.done), 0);
    }
    EXPECT_EQ(request.iosb.Status, row.bottomStatus);
    const auto recorded = faults.Take();
    EXPECT_TRUE(recorded.empty()) << FaultRecorder::Describe(recorded);
  }
}

// The lowest driver queues the IRP and completes it later from clock work, at
// DISPATCH_LEVEL, as the USB stack completes transfers.
struct Queue {
  std::mutex mu;
  std::deque<PIRP> irps;
};

NTSTATUS PropagatingRoutine(PDEVICE_OBJECT, PIRP irp, PVOID context) {
  *static_cast<BOOLEAN*>(context) = irp->PendingReturned;
  if (irp->PendingReturned) IoMarkIrpPending(irp);
  return STATUS_SUCCESS;
}

TEST(IoManager, PendingReturnedTravelsUpToTheOriginator) {
  struct Row {
    const char* why;
    bool middleSetsRoutine;  // else it skips its location and sets none
  };
  const Row rows[] = {
      // No routine at the middle level: the walk marks it pending by itself.
      {"skip, no routine", false},
      // A routine sees PendingReturned and propagates the mark.
      {"routine propagates", true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.why);
    Machine machine;
    FaultRecorder faults(machine);
    TestStack stack(machine, 2);
    Queue queue;
    stack[0].dispatch = [&](PDEVICE_OBJECT, PIRP irp) {
      IoMarkIrpPending(irp);
      std::lock_guard lock(queue.mu);
      queue.irps.push_back(irp);
      return STATUS_PENDING;
    };
    BOOLEAN seenPending = FALSE;
    stack[1].dispatch = [&](PDEVICE_OBJECT, PIRP irp) {
      if (row.middleSetsRoutine) {
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, PropagatingRoutine, &seenPending, TRUE, TRUE, TRUE);
      } else {
        IoSkipCurrentIrpStackLocation(irp);
      }
      return IoCallDriver(stack[1].lower, irp);
    };
    KIRQL completedAt = PASSIVE_LEVEL;
    machine.clock().AddWork(machine.clock().Now() + Clock::kUnitsPerMillisecond, 0, [&] {
      PIRP irp;
      {
        std::lock_guard lock(queue.mu);
        ASSERT_EQ(queue.irps.size(), 1u);
        irp = queue.irps.front();
        queue.irps.pop_front();
      }
      completedAt = KeGetCurrentIrql();
      irp->IoStatus.Status = STATUS_SUCCESS;
      irp->IoStatus.Information = 7;
      IoCompleteRequest(irp, IO_NO_INCREMENT);
    });

    ControlRequest request(stack.top().device, kBufferedCode, nullptr, 0, nullptr, 0);
    ASSERT_EQ(IoCallDriver(stack.top().device, request.irp), STATUS_PENDING);
    EXPECT_EQ(KeReadStateEvent(&request.done), 0);
    machine.clock().Step(1);
    EXPECT_EQ(KeWaitForSingleObject(&request.done, Executive, KernelMode, FALSE, nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(completedAt, DISPATCH_LEVEL);
    EXPECT_EQ(request.iosb.Status, STATUS_SUCCESS);
    EXPECT_EQ(request.iosb.Information, 7u);
    if (row.middleSetsRoutine) {
      EXPECT_TRUE(seenPending);
    }
    const auto recorded = faults.Take();
    EXPECT_TRUE(recorded.empty()) << FaultRecorder::Describe(recorded);
  }
}

void CancelQueued(PDEVICE_OBJECT, PIRP irp) {
  IoReleaseCancelSpinLock(irp->CancelIrql);
  irp->IoStatus.Status = STATUS_CANCELLED;
  irp->IoStatus.Information = 0;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
}

TEST(IoManager, CancelCallsTheOwnersCancelRoutine) {
  Machine machine;
  FaultRecorder faults(machine);
  TestStack stack(machine, 1);
  PIRP queued = nullptr;
  stack[0].dispatch = [&](PDEVICE_OBJECT, PIRP irp) {
    IoMarkIrpPending(irp);
    IoSetCancelRoutine(irp, CancelQueued);
    queued = irp;
    return STATUS_PENDING;
  };
  ControlRequest request(stack.top().device, kBufferedCode, nullptr, 0, nullptr, 0);
  ASSERT_EQ(IoCallDriver(stack.top().device, request.irp), STATUS_PENDING);
  ASSERT_EQ(queued, request.irp);
  EXPECT_TRUE(IoCancelIrp(queued));
  EXPECT_NE(KeReadStateEvent(&request.done), 0);
  EXPECT_EQ(request.iosb.Status, STATUS_CANCELLED);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
  const auto recorded = faults.Take();
  EXPECT_TRUE(recorded.empty()) << FaultRecorder::Describe(recorded);
}

TEST(IoManager, CancelWithoutARoutineOnlyFlagsTheIrp) {
  Machine machine;
  TestStack stack(machine, 1);
  PIRP queued = nullptr;
  stack[0].dispatch = [&](PDEVICE_OBJECT, PIRP irp) {
    IoMarkIrpPending(irp);
    queued = irp;
    return STATUS_PENDING;
  };
  ControlRequest request(stack.top().device, kBufferedCode, nullptr, 0, nullptr, 0);
  ASSERT_EQ(IoCallDriver(stack.top().device, request.irp), STATUS_PENDING);
  EXPECT_FALSE(IoCancelIrp(queued));
  EXPECT_TRUE(queued->Cancel);
  EXPECT_EQ(KeReadStateEvent(&request.done), 0);
  // The owner notices the flag and completes it.
  queued->IoStatus.Status = STATUS_CANCELLED;
  IoCompleteRequest(queued, IO_NO_INCREMENT);
  EXPECT_EQ(request.iosb.Status, STATUS_CANCELLED);
}

TEST(IoManager, BufferedControlCopiesOutputBackOnlyWhenNotAnError) {
  struct Row {
    const char* why;
    NTSTATUS status;
    ULONG information;
    uint8_t expectedFirstByte;
  };
  const Row rows[] = {
      // Success: Information bytes of the system buffer come back.
      {"success", STATUS_SUCCESS, 4, 0x5A},
      // A warning (not an error) still copies.
      {"warning", STATUS_BUFFER_OVERFLOW, 4, 0x5A},
      // An error leaves the caller's buffer as it was.
      {"error", STATUS_INVALID_PARAMETER, 4, 0x11},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.why);
    Machine machine;
    TestStack stack(machine, 1);
    ULONG seenInput = 0;
    stack[0].dispatch = [&](PDEVICE_OBJECT, PIRP irp) {
      auto* buffer = static_cast<uint8_t*>(irp->AssociatedIrp.SystemBuffer);
      memcpy(&seenInput, buffer, sizeof seenInput);
      memset(buffer, 0x5A, 8);
      irp->IoStatus.Status = row.status;
      irp->IoStatus.Information = row.information;
      IoCompleteRequest(irp, IO_NO_INCREMENT);
      return row.status;
    };
    ULONG input = 0xCAFE;
    uint8_t output[8];
    memset(output, 0x11, sizeof output);
    ControlRequest request(stack.top().device, kBufferedCode, &input, sizeof input, output,
                           sizeof output);
    EXPECT_EQ(IoCallDriver(stack.top().device, request.irp), row.status);
    EXPECT_EQ(seenInput, 0xCAFEu);
    EXPECT_EQ(output[0], row.expectedFirstByte);
    EXPECT_EQ(output[5], 0x11) << "only Information bytes are copied";
    EXPECT_EQ(request.iosb.Status, row.status);
  }
}

// A driver's own request, resubmitted from its completion routine at
// DISPATCH_LEVEL until it has gone round five times.
struct Resubmitter {
  PDEVICE_OBJECT lower;
  int rounds = 0;
  std::vector<KIRQL> irqls;
  KEVENT finished;
};

NTSTATUS ResubmitRoutine(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
  auto* r = static_cast<Resubmitter*>(context);
  r->irqls.push_back(KeGetCurrentIrql());
  EXPECT_EQ(device, nullptr) << "a driver-allocated IRP's top routine has no device";
  if (++r->rounds < 5) {
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    IoSetCompletionRoutine(irp, ResubmitRoutine, r, TRUE, TRUE, TRUE);
    IoCallDriver(r->lower, irp);
  } else {
    KeSetEvent(&r->finished, IO_NO_INCREMENT, FALSE);
  }
  return STATUS_MORE_PROCESSING_REQUIRED;
}

TEST(IoManager, DriverAllocatedIrpIsResubmittedFromItsCompletionRoutine) {
  Machine machine;
  FaultRecorder faults(machine);
  TestStack stack(machine, 1);
  Queue queue;
  stack[0].dispatch = [&](PDEVICE_OBJECT, PIRP irp) {
    IoMarkIrpPending(irp);
    std::lock_guard lock(queue.mu);
    queue.irps.push_back(irp);
    return STATUS_PENDING;
  };
  // One queued request completes per millisecond frame.
  machine.clock().AddWork(Clock::kUnitsPerMillisecond, Clock::kUnitsPerMillisecond, [&] {
    PIRP irp = nullptr;
    {
      std::lock_guard lock(queue.mu);
      if (queue.irps.empty()) return;
      irp = queue.irps.front();
      queue.irps.pop_front();
    }
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
  });

  Resubmitter r;
  r.lower = stack[0].device;
  KeInitializeEvent(&r.finished, NotificationEvent, FALSE);
  PIRP irp = IoAllocateIrp(stack[0].device->StackSize, FALSE);
  ASSERT_NE(irp, nullptr);
  IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  IoSetCompletionRoutine(irp, ResubmitRoutine, &r, TRUE, TRUE, TRUE);
  EXPECT_EQ(IoCallDriver(stack[0].device, irp), STATUS_PENDING);
  machine.clock().Step(4);
  EXPECT_EQ(r.rounds, 4);
  EXPECT_EQ(KeReadStateEvent(&r.finished), 0);
  machine.clock().Step(1);
  EXPECT_EQ(r.rounds, 5);
  EXPECT_NE(KeReadStateEvent(&r.finished), 0);
  for (size_t i = 0; i < r.irqls.size(); ++i) EXPECT_EQ(r.irqls[i], DISPATCH_LEVEL) << "round " << i;
  IoFreeIrp(irp);
  const auto recorded = faults.Take();
  EXPECT_TRUE(recorded.empty()) << FaultRecorder::Describe(recorded);
}

struct FreeInRoutine {
  NTSTATUS returned;
  bool called = false;
};

NTSTATUS FreeingRoutine(PDEVICE_OBJECT, PIRP irp, PVOID context) {
  auto* f = static_cast<FreeInRoutine*>(context);
  f->called = true;
  IoFreeIrp(irp);
  return f->returned;
}

TEST(IoManager, TheAllocatorsCompletionRoutineMayFreeItsIrp) {
  struct Row {
    const char* why;
    NTSTATUS returned;
    size_t faults;
  };
  const Row rows[] = {
      // The usual end of a driver's own request: freed, and the walk stops.
      {"freed and kept", STATUS_MORE_PROCESSING_REQUIRED, 0},
      // Letting the walk go on over a freed IRP is misuse.
      {"freed and walked on", STATUS_SUCCESS, 1},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.why);
    Machine machine;
    FaultRecorder faults(machine);
    TestStack stack(machine, 1);
    stack[0].dispatch = [&](PDEVICE_OBJECT, PIRP irp) { return Complete(irp); };
    FreeInRoutine f{row.returned};
    PIRP irp = IoAllocateIrp(stack[0].device->StackSize, FALSE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    IoSetCompletionRoutine(irp, FreeingRoutine, &f, TRUE, TRUE, TRUE);
    IoCallDriver(stack[0].device, irp);
    EXPECT_TRUE(f.called);
    const auto recorded = faults.Take();
    EXPECT_EQ(recorded.size(), row.faults) << FaultRecorder::Describe(recorded);
  }
}

// Once the walk has reached the allocator's own completion routine the IRP is
// the allocator's: another of its threads may free it while that routine is
// still returning (a stream stop that waited for the routine's last count),
// as long as the routine then stops the walk.
struct SlowReturn {
  std::atomic<bool> inside{false};
  std::atomic<bool> freed{false};
};

NTSTATUS SlowReturningRoutine(PDEVICE_OBJECT, PIRP, PVOID context) {
  auto* s = static_cast<SlowReturn*>(context);
  s->inside = true;
  for (int i = 0; i < 5000 && !s->freed; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  return STATUS_MORE_PROCESSING_REQUIRED;
}

TEST(IoManager, AnotherThreadOfTheAllocatorMayFreeTheIrpWhileItsRoutineReturns) {
  Machine machine;
  FaultRecorder faults(machine);
  TestStack stack(machine, 1);
  stack[0].dispatch = [&](PDEVICE_OBJECT, PIRP irp) { return Complete(irp); };
  SlowReturn s;
  PIRP irp = IoAllocateIrp(stack[0].device->StackSize, FALSE);
  IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  IoSetCompletionRoutine(irp, SlowReturningRoutine, &s, TRUE, TRUE, TRUE);
  std::thread completing([&] { IoCallDriver(stack[0].device, irp); });
  while (!s.inside) std::this_thread::yield();
  IoFreeIrp(irp);
  s.freed = true;
  completing.join();
  const auto recorded = faults.Take();
  EXPECT_TRUE(recorded.empty()) << FaultRecorder::Describe(recorded);
}

TEST(IoManager, InternalDeviceControlCarriesTheRequestBlockInArgument1) {
  Machine machine;
  TestStack stack(machine, 2);
  // How a function driver submits a request block to the bus driver below.
  constexpr ULONG kSubmit = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x0, METHOD_NEITHER, FILE_ANY_ACCESS);
  struct Block {
    ULONG function;
    ULONG answer;
  } block{0x0A, 0};
  UCHAR seenMajor = 0;
  ULONG seenCode = 0;
  stack[0].dispatch = [&](PDEVICE_OBJECT, PIRP irp) {
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
    seenMajor = location->MajorFunction;
    seenCode = location->Parameters.DeviceIoControl.IoControlCode;
    static_cast<Block*>(location->Parameters.Others.Argument1)->answer = 0x1234;
    return Complete(irp);
  };
  stack[1].dispatch = [&](PDEVICE_OBJECT, PIRP irp) {
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(stack[1].lower, irp);
  };
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb{};
  PIRP irp = IoBuildDeviceIoControlRequest(kSubmit, stack.top().device, nullptr, 0, nullptr, 0, TRUE,
                                           &done, &iosb);
  ASSERT_NE(irp, nullptr);
  IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = &block;
  EXPECT_EQ(IoCallDriver(stack.top().device, irp), STATUS_SUCCESS);
  EXPECT_EQ(seenMajor, IRP_MJ_INTERNAL_DEVICE_CONTROL);
  EXPECT_EQ(seenCode, kSubmit);
  EXPECT_EQ(block.answer, 0x1234u);
  EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
}

// Creation and attachment can fail: by injection, and attachment where
// Windows refuses it too, on a stack whose top device was deleted.
TEST(IoManager, DeviceCreationAndAttachmentCanFail) {
  Machine machine;
  TestStack stack(machine, 1);
  PDEVICE_OBJECT device = nullptr;
  machine.FailNth(FailurePoint::DeviceCreation, 1);
  EXPECT_EQ(IoCreateDevice(stack.driver(), 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device),
            STATUS_INSUFFICIENT_RESOURCES);
  ASSERT_EQ(IoCreateDevice(stack.driver(), 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device), STATUS_SUCCESS);
  machine.FailNth(FailurePoint::DeviceAttach, 1);
  EXPECT_EQ(IoAttachDeviceToDeviceStack(device, stack[0].device), nullptr);
  EXPECT_EQ(stack[0].device->AttachedDevice, nullptr);
  // A target whose top device is being deleted (still referenced) takes no one.
  PDEVICE_OBJECT doomed = nullptr;
  ASSERT_EQ(IoCreateDevice(stack.driver(), 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &doomed), STATUS_SUCCESS);
  ObReferenceObject(doomed);
  FaultRecorder recorder(machine);
  IoDeleteDevice(doomed);
  recorder.Take();  // deleted while referenced, on purpose
  EXPECT_EQ(IoAttachDeviceToDeviceStack(device, doomed), nullptr);
  ObDereferenceObject(doomed);
  EXPECT_EQ(IoAttachDeviceToDeviceStack(device, stack[0].device), stack[0].device);
  IoDetachDevice(stack[0].device);
  IoDeleteDevice(device);
}

TEST(IoManager, AttachedStackReportsItsTopAndStackSize) {
  Machine machine;
  TestStack stack(machine, 3);
  EXPECT_EQ(stack[0].device->StackSize, 1);
  EXPECT_EQ(stack[2].device->StackSize, 3);
  EXPECT_EQ(stack[1].lower, stack[0].device);
  PDEVICE_OBJECT top = IoGetAttachedDeviceReference(stack[0].device);
  EXPECT_EQ(top, stack[2].device);
  ObDereferenceObject(top);
}

}  // namespace
}  // namespace tqm::kernel::testing
