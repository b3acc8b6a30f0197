// Time, waits, IRQL and the locks, driven the way the driver uses them: system
// threads that stall and wait with timeouts, events set from clock work,
// passive-level locks contended by several threads.
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <future>
#include <optional>
#include <thread>

#include "platform/kernel/internal.h"
#include "tests/platform/kernel/kernel_fixture.h"

namespace tqm::kernel::testing {
namespace {

constexpr int64_t kMs = Clock::kUnitsPerMillisecond;

// A system thread that records what its body returned and when it finished.
struct ThreadRun {
  std::function<NTSTATUS()> body;
  std::atomic<NTSTATUS> result{STATUS_PENDING};
  std::atomic<int64_t> finishedAt{-1};
  HANDLE handle = nullptr;
};

VOID RunBody(PVOID context) {
  auto* run = static_cast<ThreadRun*>(context);
  run->result = run->body();
  run->finishedAt = int64_t(KeQueryInterruptTime());
  PsTerminateSystemThread(STATUS_SUCCESS);
}

void Start(ThreadRun& run) {
  ASSERT_EQ(PsCreateSystemThread(&run.handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, RunBody,
                                 &run),
            STATUS_SUCCESS);
  EXPECT_EQ(ZwClose(run.handle), STATUS_SUCCESS);
}

TEST(Time, StallAndTimedWaitEndWhenTheVirtualClockPassesTheirDeadline) {
  struct Row {
    const char* why;
    std::function<NTSTATUS()> body;
    uint32_t millisecondsBefore;  // stepped with the thread still blocked
    NTSTATUS expected;
  };
  static KEVENT never;
  KeInitializeEvent(&never, NotificationEvent, FALSE);
  const Row rows[] = {
      // The deferred apply thread's busy wait: 500 stalls of 100 us are 50 ms.
      {"500 x 100 us stall",
       [] {
         for (int i = 0; i < 500; ++i) KeStallExecutionProcessor(100);
         return STATUS_SUCCESS;
       },
       49, STATUS_SUCCESS},
      // One round of the stream drain: a 100 ms wait on an event nobody sets.
      {"100 ms wait times out",
       [] {
         LARGE_INTEGER timeout;
         timeout.QuadPart = -100 * kMs;
         return KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, &timeout);
       },
       99, STATUS_TIMEOUT},
      // A delay of 20 ms.
      {"20 ms delay",
       [] {
         LARGE_INTEGER interval;
         interval.QuadPart = -20 * kMs;
         return KeDelayExecutionThread(KernelMode, FALSE, &interval);
       },
       19, STATUS_SUCCESS},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.why);
    Machine machine;
    ThreadRun run;
    run.body = row.body;
    Start(run);
    machine.clock().Step(row.millisecondsBefore);
    EXPECT_EQ(run.finishedAt.load(), -1) << "finished early at " << run.finishedAt.load();
    machine.clock().Step(1);
    EXPECT_EQ(run.result.load(), row.expected);
    EXPECT_EQ(run.finishedAt.load(), int64_t(row.millisecondsBefore + 1) * kMs);
  }
}

TEST(Time, RealClockLetsAtLeastTheTimeoutPass) {
  Machine machine(MachineOptions{ClockMode::Real});
  KEVENT never;
  KeInitializeEvent(&never, NotificationEvent, FALSE);
  LARGE_INTEGER timeout;
  timeout.QuadPart = -30 * kMs;
  const ULONGLONG before = KeQueryInterruptTime();
  const auto wallBefore = std::chrono::steady_clock::now();
  EXPECT_EQ(KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, &timeout), STATUS_TIMEOUT);
  const auto wallElapsed = std::chrono::steady_clock::now() - wallBefore;
  EXPECT_GE(KeQueryInterruptTime() - before, ULONGLONG(30 * kMs));
  EXPECT_GE(wallElapsed, std::chrono::milliseconds(30));
}

TEST(Time, ClockWorkRunsAtDispatchLevelInDueOrder) {
  Machine machine;
  std::mutex mu;
  std::vector<std::string> log;
  auto note = [&](const char* what) {
    std::lock_guard lock(mu);
    log.push_back(std::string(what) + "@" + std::to_string(KeQueryInterruptTime() / kMs) +
                  (KeGetCurrentIrql() == DISPATCH_LEVEL ? "" : "!irql"));
  };
  machine.clock().AddWork(3 * kMs, 0, [&] { note("once"); });
  const auto frames = machine.clock().AddWork(kMs, 2 * kMs, [&] { note("frame"); });
  machine.clock().Step(5);
  machine.clock().RemoveWork(frames);
  machine.clock().Step(5);
  std::lock_guard lock(mu);
  std::string joined;
  for (const auto& entry : log) joined += entry + " ";
  // Items due at the same instant run in the order they were added.
  EXPECT_EQ(joined, "frame@1 once@3 frame@3 frame@5 ");
}

// The second processor: its items run in their own due order at
// DISPATCH_LEVEL, and an instant (and Step) ends only when both processors
// are done with it.
TEST(Time, SecondProcessorRunsItsWorkInDueOrderAndStepWaitsForIt) {
  Machine machine;
  std::mutex mu;
  std::vector<std::string> log[Clock::kProcessors];
  auto note = [&](int processor, const char* what) {
    std::lock_guard lock(mu);
    log[processor].push_back(std::string(what) + "@" + std::to_string(KeQueryInterruptTime() / kMs) +
                             (KeGetCurrentIrql() == DISPATCH_LEVEL ? "" : "!irql"));
  };
  std::atomic<bool> lastDone{false};
  machine.clock().AddWork(2 * kMs, 2 * kMs, [&] { note(0, "even"); });
  const auto frames = machine.clock().AddWork(kMs, kMs, [&] { note(1, "frame"); }, 1);
  machine.clock().AddWork(3 * kMs, 0, [&] { note(1, "once"); }, 1);
  // Work one processor hands the other for the same instant runs in it.
  machine.clock().AddWork(4 * kMs, 0, [&] {
    note(0, "hand");
    Machine::Current().clock().AddWork(4 * kMs, 0, [&] { note(1, "handed"); }, 1);
  });
  machine.clock().AddWork(5 * kMs, 0, [&] {
    // Long in wall time: Step must still wait for it.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    lastDone = true;
  }, 1);
  machine.clock().Step(5);
  EXPECT_TRUE(lastDone) << "Step returned before the second processor finished its instant";
  machine.clock().RemoveWork(frames);
  machine.clock().Step(3);
  std::lock_guard lock(mu);
  std::string joined[Clock::kProcessors];
  for (int p = 0; p < Clock::kProcessors; ++p)
    for (const auto& entry : log[p]) joined[p] += entry + " ";
  EXPECT_EQ(joined[0], "even@2 even@4 hand@4 even@6 even@8 ");
  // The one-shot item was added after the periodic one: at 3 ms it runs second.
  EXPECT_EQ(joined[1], "frame@1 frame@2 frame@3 once@3 frame@4 handed@4 frame@5 ");
}

// Items of the same instant on the two processors run at the same time: each
// waits (with a generous bound, so that a clock that runs them one after the
// other fails instead of hanging) until the other has started.
TEST(Time, WorkOfOneInstantOnTwoProcessorsOverlaps) {
  Machine machine;
  std::atomic<bool> started[Clock::kProcessors] = {};
  std::atomic<bool> sawOther[Clock::kProcessors] = {};
  auto meet = [&](int self) {
    started[self] = true;
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!started[1 - self] && std::chrono::steady_clock::now() < until) std::this_thread::yield();
    sawOther[self] = started[1 - self].load();
  };
  machine.clock().AddWork(kMs, 0, [&] { meet(0); }, 0);
  machine.clock().AddWork(kMs, 0, [&] { meet(1); }, 1);
  machine.clock().Step(1);
  EXPECT_TRUE(sawOther[0]) << "processor 0 ran its item alone";
  EXPECT_TRUE(sawOther[1]) << "processor 1 ran its item alone";
}

// What ThreadSanitizer sees of the two processors: items of one instant are
// ordered by nothing of the clock's (its hand-offs, the time they read), so a
// race between them is reported; items of consecutive instants are ordered,
// and one the same instant's other processor hands over runs after it. Each
// row runs in a child that stops at the first report with exit code 66.
#if defined(__SANITIZE_THREAD__)
TEST(Time, OnlyWorkOfOneRoundRacesUnderThreadSanitizer) {
  struct Row {
    const char* what;
    int64_t dueOn1;      // processor 1's write (processor 0's is at 1 ms)
    bool handedOver;     // processor 0's item adds processor 1's for its instant
    bool race;
  };
  const Row rows[] = {
      {"same instant", kMs, false, true},
      {"next instant", 2 * kMs, false, false},
      {"handed over within the instant", kMs, true, false},
  };
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const char* given = std::getenv("TSAN_OPTIONS");
  const std::string options = std::string(given ? given : "") + ":halt_on_error=1:exitcode=66";
  setenv("TSAN_OPTIONS", options.c_str(), 1);
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    auto body = [&] {
      Machine machine;
      int shared = 0;
      // Each item reads the time too, as the driver's completions do.
      auto write1 = [&shared] { shared = int(KeQueryInterruptTime() / kMs) + 1; };
      machine.clock().AddWork(kMs, 0, [&] {
        shared = int(KeQueryInterruptTime() / kMs);
        if (row.handedOver) Machine::Current().clock().AddWork(kMs, 0, write1, 1);
      }, 0);
      if (!row.handedOver) machine.clock().AddWork(row.dueOn1, 0, write1, 1);
      machine.clock().Step(3);
      std::exit(0);
    };
    if (row.race) {
      EXPECT_EXIT(body(), ::testing::ExitedWithCode(66), "data race");
    } else {
      EXPECT_EXIT(body(), ::testing::ExitedWithCode(0), "");
    }
  }
}

// The verifier's lock-order graph must not order the processors for
// ThreadSanitizer: processor 0 writes, then takes a lock inside another;
// processor 1, once that is done, takes two other locks nested and writes.
// Nothing of the driver's orders the two writes, so the race is reported.
TEST(Sync, NestedLockBookkeepingDoesNotHideARace) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const char* given = std::getenv("TSAN_OPTIONS");
  const std::string options = std::string(given ? given : "") + ":halt_on_error=1:exitcode=66";
  setenv("TSAN_OPTIONS", options.c_str(), 1);
  auto body = [] {
    Machine machine;
    // Each in a cache line of its own: the sanitizer remembers the last few
    // accesses per eight bytes, and processor 1's polling of the flag must
    // not push processor 0's write out of that memory.
    alignas(64) int shared = 0;
    alignas(64) std::atomic<bool> nested{false};  // relaxed: orders nothing for the sanitizer
    KSPIN_LOCK locks[4];
    for (KSPIN_LOCK& l : locks) KeInitializeSpinLock(&l);
    auto takeNested = [&](KSPIN_LOCK& outer, KSPIN_LOCK& inner) {
      KeAcquireSpinLockAtDpcLevel(&outer);
      KeAcquireSpinLockAtDpcLevel(&inner);
      KeReleaseSpinLockFromDpcLevel(&inner);
      KeReleaseSpinLockFromDpcLevel(&outer);
    };
    machine.clock().AddWork(kMs, 0, [&] {
      shared = 1;
      takeNested(locks[0], locks[1]);
      nested.store(true, std::memory_order_relaxed);
    }, 0);
    machine.clock().AddWork(kMs, 0, [&] {
      while (!nested.load(std::memory_order_relaxed)) std::this_thread::yield();
      takeNested(locks[2], locks[3]);
      shared = 2;
    }, 1);
    machine.clock().Step(1);
    std::exit(0);
  };
  EXPECT_EXIT(body(), ::testing::ExitedWithCode(66), "data race");
}
#endif

TEST(Time, FreeRunLetsVirtualTimePassUntilStopped) {
  Machine machine;
  static KEVENT finished;
  static std::atomic<NTSTATUS> waited;
  KeInitializeEvent(&finished, NotificationEvent, FALSE);
  waited = STATUS_PENDING;
  ThreadRun run;
  run.body = [] {
    LARGE_INTEGER timeout;
    timeout.QuadPart = -100 * kMs;
    KEVENT never;
    KeInitializeEvent(&never, NotificationEvent, FALSE);
    waited = KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, &timeout);
    KeSetEvent(&finished, IO_NO_INCREMENT, FALSE);
    return STATUS_SUCCESS;
  };
  Start(run);
  machine.clock().RunFree(true);
  EXPECT_EQ(KeWaitForSingleObject(&finished, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
  machine.clock().RunFree(false);
  EXPECT_EQ(waited.load(), STATUS_TIMEOUT);
  // The clock stops where it was when free running ended.
  const int64_t stoppedAt = machine.clock().Now();
  EXPECT_GE(stoppedAt, 100 * kMs);
  // However long the wall clock runs on, virtual time does not.
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(machine.clock().Now(), stoppedAt);
}

TEST(Time, ParticipantRunningFreeSeesTimeOnlyWhileItWaits) {
  Machine machine;
  Participation participation(machine);
  machine.clock().RunFree(true);
  for (int round = 0; round < 3; ++round) {
    const ULONGLONG before = KeQueryInterruptTime();
    // Work without waiting, however long in wall time: the clock waits for
    // this thread.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(KeQueryInterruptTime(), before) << "round " << round;
    LARGE_INTEGER interval;
    interval.QuadPart = -10 * kMs;
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
    // Woken at its deadline, before the clock moves on.
    EXPECT_EQ(KeQueryInterruptTime(), before + 10 * kMs) << "round " << round;
  }
  machine.clock().RunFree(false);
}

TEST(Time, HoldKeepsTheClockStill) {
  Machine machine;
  std::optional<Clock::Hold> hold(std::in_place, machine.clock());
  auto stepper = std::async(std::launch::async, [&] { machine.clock().Step(10); });
  // The step cannot end while the hold lasts, however long it is given; once
  // the hold goes it ends (the generous bound only keeps a broken clock from
  // hanging the test).
  EXPECT_EQ(stepper.wait_for(std::chrono::milliseconds(200)), std::future_status::timeout);
  EXPECT_EQ(machine.clock().Now(), 0);
  hold.reset();
  ASSERT_EQ(stepper.wait_for(std::chrono::seconds(30)), std::future_status::ready);
  EXPECT_EQ(machine.clock().Now(), 10 * kMs);
}

TEST(Sync, EventsReleaseAllOrOneWaiter) {
  struct Row {
    const char* why;
    EVENT_TYPE type;
    int releasedBySet;
    LONG stateAfter;
  };
  const Row rows[] = {
      // A notification event releases every waiter and stays signalled.
      {"notification", NotificationEvent, 3, 1},
      // A synchronization event releases one waiter and resets.
      {"synchronization", SynchronizationEvent, 1, 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.why);
    Machine machine;
    KEVENT event;
    KeInitializeEvent(&event, row.type, FALSE);
    ThreadRun runs[3];
    for (ThreadRun& run : runs) {
      run.body = [&event] {
        LARGE_INTEGER timeout;
        timeout.QuadPart = -50 * kMs;
        return KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout);
      };
      Start(run);
    }
    machine.clock().Step(10);  // all three are waiting now
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    machine.clock().Step(10);
    int released = 0;
    for (ThreadRun& run : runs) released += run.result.load() == STATUS_SUCCESS;
    EXPECT_EQ(released, row.releasedBySet);
    EXPECT_EQ(KeReadStateEvent(&event), row.stateAfter);
    machine.clock().Step(50);  // the others time out
    for (ThreadRun& run : runs) EXPECT_NE(run.result.load(), STATUS_PENDING);
  }
}

TEST(Sync, SpinLockRaisesToDispatchAndRestores) {
  Machine machine;
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  KIRQL old;
  KeAcquireSpinLock(&lock, &old);
  EXPECT_EQ(old, PASSIVE_LEVEL);
  EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
  KeReleaseSpinLock(&lock, old);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

TEST(Sync, SpinLockSerialisesThreads) {
  Machine machine;
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  int64_t counter = 0;  // guarded by lock only: the race detector checks it
  auto work = [&] {
    for (int i = 0; i < 2000; ++i) {
      KIRQL old;
      KeAcquireSpinLock(&lock, &old);
      ++counter;
      KeReleaseSpinLock(&lock, old);
    }
  };
  std::thread a(work), b(work);
  a.join();
  b.join();
  EXPECT_EQ(counter, 4000);
}

TEST(Sync, FastMutexExcludesAndRaisesToApcLevel) {
  Machine machine;
  FAST_MUTEX mutex;
  ExInitializeFastMutex(&mutex);
  int inside = 0, maxInside = 0;
  int64_t total = 0;
  ThreadRun runs[3];
  for (ThreadRun& run : runs) {
    run.body = [&] {
      for (int i = 0; i < 50; ++i) {
        ExAcquireFastMutex(&mutex);
        if (KeGetCurrentIrql() != APC_LEVEL) return STATUS_UNSUCCESSFUL;
        maxInside = std::max(maxInside, ++inside);
        KeStallExecutionProcessor(10);  // let the others contend
        ++total;
        --inside;
        ExReleaseFastMutex(&mutex);
      }
      return KeGetCurrentIrql() == PASSIVE_LEVEL ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
    };
    Start(run);
  }
  machine.clock().Step(20);
  for (ThreadRun& run : runs) EXPECT_EQ(run.result.load(), STATUS_SUCCESS);
  ExAcquireFastMutex(&mutex);
  EXPECT_EQ(total, 150);
  EXPECT_EQ(maxInside, 1);
  ExReleaseFastMutex(&mutex);
}

TEST(Sync, ResourceIsSharedByReadersExclusiveForAWriterAndNewReadersQueueBehindIt) {
  Machine machine;
  ERESOURCE resource;
  ASSERT_EQ(ExInitializeResourceLite(&resource), STATUS_SUCCESS);
  KeEnterCriticalRegion();
  ASSERT_TRUE(ExAcquireResourceSharedLite(&resource, TRUE));
  // A second reader gets in beside the first; a writer does not.
  std::atomic<bool> writerIn{false};
  ThreadRun reader, writer, lateReader;
  auto tryShared = [&] {
    KeEnterCriticalRegion();
    const BOOLEAN got = ExAcquireResourceSharedLite(&resource, FALSE);
    if (got) ExReleaseResourceLite(&resource);
    KeLeaveCriticalRegion();
    return got ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
  };
  reader.body = tryShared;
  lateReader.body = tryShared;
  writer.body = [&] {
    KeEnterCriticalRegion();
    if (ExAcquireResourceExclusiveLite(&resource, FALSE)) return STATUS_UNSUCCESSFUL;
    ExAcquireResourceExclusiveLite(&resource, TRUE);
    writerIn = true;
    // The exclusive owner may nest.
    ExAcquireResourceSharedLite(&resource, TRUE);
    ExReleaseResourceLite(&resource);
    ExReleaseResourceLite(&resource);
    KeLeaveCriticalRegion();
    return STATUS_SUCCESS;
  };
  Start(reader);
  machine.clock().Step(5);
  EXPECT_EQ(reader.result.load(), STATUS_SUCCESS);
  Start(writer);
  machine.clock().Step(5);  // the writer is queued now: the clock moves only when it waits
  EXPECT_FALSE(writerIn.load());
  // A new reader waits behind the queued writer, so writers are not starved;
  // a thread that already shares the resource still nests.
  Start(lateReader);
  machine.clock().Step(5);
  EXPECT_EQ(lateReader.result.load(), STATUS_UNSUCCESSFUL);
  ASSERT_TRUE(ExAcquireResourceSharedLite(&resource, FALSE));
  ExReleaseResourceLite(&resource);
  ExReleaseResourceLite(&resource);
  KeLeaveCriticalRegion();
  machine.clock().Step(5);
  EXPECT_TRUE(writerIn.load());
  EXPECT_EQ(writer.result.load(), STATUS_SUCCESS);
  EXPECT_EQ(ExDeleteResourceLite(&resource), STATUS_SUCCESS);
}

TEST(Threads, ThreadObjectIsSignalledWhenTheThreadEnds) {
  Machine machine;
  ThreadRun run;
  run.body = [] {
    KeStallExecutionProcessor(1000);
    return STATUS_SUCCESS;
  };
  ASSERT_EQ(PsCreateSystemThread(&run.handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, RunBody,
                                 &run),
            STATUS_SUCCESS);
  PKTHREAD thread = static_cast<PKTHREAD>(machine.objects().Reference(run.handle, ObjectType::Thread));
  ASSERT_NE(thread, nullptr);
  EXPECT_EQ(machine.objects().HandleCount(), 1u);
  EXPECT_EQ(ZwClose(run.handle), STATUS_SUCCESS);
  EXPECT_EQ(ZwClose(run.handle), STATUS_INVALID_HANDLE);
  EXPECT_EQ(machine.objects().HandleCount(), 0u);
  LARGE_INTEGER poll;
  poll.QuadPart = 0;
  EXPECT_EQ(KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, &poll), STATUS_TIMEOUT);
  machine.clock().Step(1);
  EXPECT_EQ(KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, &poll), STATUS_SUCCESS);
  ObDereferenceObject(thread);
}

}  // namespace
}  // namespace tqm::kernel::testing
