// The shape of a stream stop, under the race detector: a driver keeps ten of
// its own requests in flight to a bus driver that completes one per
// millisecond from clock work; the completion routine resubmits at
// DISPATCH_LEVEL until the stream stops; stopping cancels every request and
// waits for the in-flight count to drain in rounds of 100 ms.
#include <algorithm>
#include <deque>

#include "tests/platform/kernel/kernel_fixture.h"

namespace tqm::kernel::testing {

// The bus driver's queue: a spin lock and a cancel-safe list.
struct BusQueue {
  KSPIN_LOCK lock;
  std::deque<PIRP> irps;  // guarded by lock
};
BusQueue* bus;

void CompleteWith(PIRP irp, NTSTATUS status) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = 0;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
}

VOID BusCancel(PDEVICE_OBJECT, PIRP irp) {
  IoReleaseCancelSpinLock(irp->CancelIrql);
  KIRQL old;
  KeAcquireSpinLock(&bus->lock, &old);
  auto it = std::find(bus->irps.begin(), bus->irps.end(), irp);
  if (it != bus->irps.end()) bus->irps.erase(it);
  KeReleaseSpinLock(&bus->lock, old);
  CompleteWith(irp, STATUS_CANCELLED);
}

NTSTATUS BusQueueRequest(PDEVICE_OBJECT, PIRP irp) {
  KIRQL old;
  KeAcquireSpinLock(&bus->lock, &old);
  IoSetCancelRoutine(irp, BusCancel);
  if (__atomic_load_n(&irp->Cancel, __ATOMIC_ACQUIRE) && IoSetCancelRoutine(irp, nullptr)) {
    KeReleaseSpinLock(&bus->lock, old);
    CompleteWith(irp, STATUS_CANCELLED);
    return STATUS_CANCELLED;
  }
  IoMarkIrpPending(irp);
  bus->irps.push_back(irp);
  KeReleaseSpinLock(&bus->lock, old);
  return STATUS_PENDING;
}

// One frame: the oldest request completes, unless its cancel routine has it.
void BusFrame() {
  KIRQL old;
  KeAcquireSpinLock(&bus->lock, &old);
  PIRP irp = nullptr;
  if (!bus->irps.empty()) {
    irp = bus->irps.front();
    bus->irps.pop_front();
    if (!IoSetCancelRoutine(irp, nullptr)) irp = nullptr;  // being cancelled
  }
  KeReleaseSpinLock(&bus->lock, old);
  if (irp) CompleteWith(irp, STATUS_SUCCESS);
}

struct Stream {
  PDEVICE_OBJECT lower;
  volatile LONG inFlight = 0;
  volatile LONG completions = 0;
  volatile LONG stopping = 0;
  KEVENT drained;
  KEVENT running;  // set once the stream has gone round for a while
  PIRP irps[10];
};

NTSTATUS StreamCompletion(PDEVICE_OBJECT, PIRP irp, PVOID context) {
  auto* s = static_cast<Stream*>(context);
  if (NT_SUCCESS(irp->IoStatus.Status) && !InterlockedCompareExchange(&s->stopping, 0, 0)) {
    if (InterlockedIncrement(&s->completions) == 50) KeSetEvent(&s->running, IO_NO_INCREMENT, FALSE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    IoSetCompletionRoutine(irp, StreamCompletion, s, TRUE, TRUE, TRUE);
    IoCallDriver(s->lower, irp);
  } else if (InterlockedDecrement(&s->inFlight) == 0) {
    KeSetEvent(&s->drained, IO_NO_INCREMENT, FALSE);
  }
  return STATUS_MORE_PROCESSING_REQUIRED;
}

namespace {

TEST(StreamStop, CancelledRequestsDrainWhileTheClockCompletesOthers) {
  Machine machine;
  FaultRecorder faults(machine);
  TestStack stack(machine, 1);
  BusQueue queue;
  KeInitializeSpinLock(&queue.lock);
  bus = &queue;
  stack[0].dispatch = BusQueueRequest;
  const auto frames = machine.clock().AddWork(Clock::kUnitsPerMillisecond, Clock::kUnitsPerMillisecond, BusFrame);

  Stream s;
  s.lower = stack[0].device;
  KeInitializeEvent(&s.drained, NotificationEvent, FALSE);
  KeInitializeEvent(&s.running, NotificationEvent, FALSE);
  for (PIRP& irp : s.irps) {
    irp = IoAllocateIrp(s.lower->StackSize, FALSE);
    ASSERT_NE(irp, nullptr);
    InterlockedIncrement(&s.inFlight);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    IoSetCompletionRoutine(irp, StreamCompletion, &s, TRUE, TRUE, TRUE);
    EXPECT_EQ(IoCallDriver(s.lower, irp), STATUS_PENDING);
  }
  machine.clock().RunFree(true);
  ASSERT_EQ(KeWaitForSingleObject(&s.running, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);

  InterlockedExchange(&s.stopping, 1);
  for (PIRP irp : s.irps) IoCancelIrp(irp);
  int rounds = 0;
  LARGE_INTEGER round;
  round.QuadPart = -100 * Clock::kUnitsPerMillisecond;
  while (rounds < 40 && KeWaitForSingleObject(&s.drained, Executive, KernelMode, FALSE, &round) == STATUS_TIMEOUT) {
    ++rounds;
  }
  machine.clock().RunFree(false);
  EXPECT_LT(rounds, 40) << "the drain never finished; in flight: " << s.inFlight;
  EXPECT_EQ(s.inFlight, 0);
  machine.clock().RemoveWork(frames);
  for (PIRP irp : s.irps) {
    const NTSTATUS status = irp->IoStatus.Status;
    EXPECT_TRUE(status == STATUS_CANCELLED || status == STATUS_SUCCESS) << std::hex << status;
    IoFreeIrp(irp);
  }
  EXPECT_TRUE(queue.irps.empty());
  const auto recorded = faults.Take();
  EXPECT_TRUE(recorded.empty()) << FaultRecorder::Describe(recorded);
  bus = nullptr;
}

}  // namespace
}  // namespace tqm::kernel::testing
