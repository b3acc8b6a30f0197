// Seeded interleavings: every kernel entry the mode names holds the calling
// thread back by its seed's draw, system threads keep their delay sequence
// from machine to machine, and the mode off costs no draws.
#include <algorithm>
#include <chrono>
#include <map>
#include <thread>
#include <mutex>
#include <set>

#include "platform/kernel/interleave.h"
#include "tests/platform/kernel/kernel_fixture.h"

namespace tqm::kernel::testing {
namespace {

// Puts the mode as a test wants it and back as it was (a seeded CI run sets
// it from the environment).
class SeedScope {
 public:
  explicit SeedScope(std::optional<uint64_t> seed) {
    uint64_t previous;
    if (InterleaveSeed(&previous)) previous_ = previous;
    if (seed) {
      SetInterleaveSeed(*seed);
    } else {
      ClearInterleaveSeed();
    }
  }
  ~SeedScope() {
    if (previous_) {
      SetInterleaveSeed(*previous_);
    } else {
      ClearInterleaveSeed();
    }
  }

 private:
  std::optional<uint64_t> previous_;
};

NTSTATUS TakeItBack(PDEVICE_OBJECT, PIRP, PVOID) { return STATUS_MORE_PROCESSING_REQUIRED; }

TEST(Interleave, EveryReleaseSignalCallAndCompletionIsAPoint) {
  // Each row calls its service once and says how many points that call
  // passed.
  struct Row {
    const char* service;
    std::function<uint64_t()> call;
  };
  auto passed = [](const std::function<void()>& call) {
    const uint64_t before = InterleaveEntriesOfThisThread();
    call();
    return InterleaveEntriesOfThisThread() - before;
  };
  const Row rows[] = {
      {"KeReleaseSpinLock",
       [&] {
         KSPIN_LOCK spin;
         KIRQL irql;
         KeInitializeSpinLock(&spin);
         KeAcquireSpinLock(&spin, &irql);
         return passed([&] { KeReleaseSpinLock(&spin, irql); });
       }},
      {"KeReleaseSpinLockFromDpcLevel",
       [&] {
         KSPIN_LOCK spin;
         KIRQL irql;
         KeInitializeSpinLock(&spin);
         KeRaiseIrql(DISPATCH_LEVEL, &irql);
         KeAcquireSpinLockAtDpcLevel(&spin);
         const uint64_t n = passed([&] { KeReleaseSpinLockFromDpcLevel(&spin); });
         KeLowerIrql(irql);
         return n;
       }},
      {"ExReleaseFastMutex",
       [&] {
         FAST_MUTEX mutex;
         ExInitializeFastMutex(&mutex);
         ExAcquireFastMutex(&mutex);
         return passed([&] { ExReleaseFastMutex(&mutex); });
       }},
      {"ExReleaseResourceLite",
       [&] {
         ERESOURCE resource;
         ExInitializeResourceLite(&resource);
         KeEnterCriticalRegion();
         ExAcquireResourceExclusiveLite(&resource, TRUE);
         const uint64_t n = passed([&] { ExReleaseResourceLite(&resource); });
         KeLeaveCriticalRegion();
         ExDeleteResourceLite(&resource);
         return n;
       }},
      {"KeSetEvent",
       [&] {
         KEVENT event;
         KeInitializeEvent(&event, NotificationEvent, FALSE);
         return passed([&] { KeSetEvent(&event, IO_NO_INCREMENT, FALSE); });
       }},
      // The bottom driver keeps the IRP: the call is the only point passed.
      {"IoCallDriver",
       [&] {
         TestStack stack(Machine::Current(), 1);
         std::atomic<PIRP> held{nullptr};
         stack.top().dispatch = [&](PDEVICE_OBJECT, PIRP irp) {
           IoMarkIrpPending(irp);
           held = irp;
           return STATUS_PENDING;
         };
         PIRP irp = IoAllocateIrp(stack.top().device->StackSize, FALSE);
         IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
         IoSetCompletionRoutine(irp, TakeItBack, nullptr, TRUE, TRUE, TRUE);
         const uint64_t n = passed([&] { IoCallDriver(stack.top().device, irp); });
         // Completed from outside any routine, as clock work completes what it held.
         irp->IoStatus.Status = STATUS_SUCCESS;
         IoCompleteRequest(held, IO_NO_INCREMENT);
         IoFreeIrp(irp);
         return n;
       }},
      // Completed by the dispatch routine; the walk ends in the allocator's
      // routine, which takes the IRP back.
      {"IoCompleteRequest",
       [&] {
         TestStack stack(Machine::Current(), 1);
         uint64_t n = 0;
         stack.top().dispatch = [&](PDEVICE_OBJECT, PIRP irp) {
           irp->IoStatus.Status = STATUS_SUCCESS;
           n = passed([&] { IoCompleteRequest(irp, IO_NO_INCREMENT); });
           return STATUS_SUCCESS;
         };
         PIRP irp = IoAllocateIrp(stack.top().device->StackSize, FALSE);
         IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
         IoSetCompletionRoutine(irp, TakeItBack, nullptr, TRUE, TRUE, TRUE);
         IoCallDriver(stack.top().device, irp);
         IoFreeIrp(irp);
         return n;
       }},
  };
  for (bool on : {false, true}) {
    SeedScope scope(on ? std::optional<uint64_t>(7) : std::nullopt);
    Machine machine;
    for (const Row& row : rows) {
      SCOPED_TRACE(std::string(row.service) + (on ? ", mode on" : ", mode off"));
      const uint64_t n = row.call();
      if (on) {
        EXPECT_GE(n, 1u);
      } else {
        EXPECT_EQ(n, 0u);
      }
    }
  }
}

// A system thread's stream is its place in the order of creation, so the
// same seed gives it the same delays in every machine; the threads' streams
// differ, so their sequences do too.
TEST(Interleave, SystemThreadsKeepTheirStreamsFromMachineToMachine) {
  SeedScope scope(11);
  struct Run {
    std::atomic<uint64_t> stream{0};
    HANDLE handle = nullptr;
  };
  std::vector<std::vector<uint64_t>> streamsByMachine;
  for (int machineIndex = 0; machineIndex < 2; ++machineIndex) {
    Machine machine;
    machine.clock().RunFree(true);
    Run runs[3];
    for (Run& run : runs) {
      ASSERT_EQ(PsCreateSystemThread(&run.handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr,
                                     [](PVOID context) {
                                       KEVENT event;
                                       KeInitializeEvent(&event, NotificationEvent, FALSE);
                                       KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
                                       static_cast<Run*>(context)->stream = InterleaveStreamOfThisThread();
                                       PsTerminateSystemThread(STATUS_SUCCESS);
                                     },
                                     &run),
                STATUS_SUCCESS);
    }
    std::vector<uint64_t> streams;
    for (Run& run : runs) {
      PVOID object = nullptr;
      ASSERT_EQ(ObReferenceObjectByHandle(run.handle, SYNCHRONIZE, nullptr, KernelMode, &object, nullptr),
                STATUS_SUCCESS);
      EXPECT_EQ(KeWaitForSingleObject(object, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
      ObDereferenceObject(object);
      EXPECT_EQ(ZwClose(run.handle), STATUS_SUCCESS);
      streams.push_back(run.stream);
    }
    streamsByMachine.push_back(streams);
    EXPECT_EQ(std::set<uint64_t>(streams.begin(), streams.end()).size(), 3u) << "machine " << machineIndex;
  }
  EXPECT_EQ(streamsByMachine[0], streamsByMachine[1]);
}

// A system thread that runs `rounds` rounds of body, each ended by a kernel
// wait, and a clock work item every millisecond from 1 ms that records what
// it finds; the clock is stepped through the rounds.
struct Rounds {
  std::function<void(int round)> body;
  std::function<int()> probe;  // the work item's record
  int rounds = 0;
  HANDLE handle = nullptr;
};

std::vector<int> RunRounds(Machine& machine, Rounds& r, const std::function<void()>& afterProbe = {}) {
  std::mutex mu;
  std::vector<int> records;
  const Clock::WorkId work = machine.clock().AddWork(Clock::kUnitsPerMillisecond, Clock::kUnitsPerMillisecond, [&] {
    const int value = r.probe();
    {
      std::lock_guard lock(mu);
      records.push_back(value);
    }
    if (afterProbe) afterProbe();
  });
  EXPECT_EQ(PsCreateSystemThread(&r.handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr,
                                 [](PVOID context) {
                                   auto* rounds = static_cast<Rounds*>(context);
                                   for (int i = 1; i <= rounds->rounds; ++i) rounds->body(i);
                                   PsTerminateSystemThread(STATUS_SUCCESS);
                                 },
                                 &r),
            STATUS_SUCCESS);
  EXPECT_EQ(ZwClose(r.handle), STATUS_SUCCESS);
  machine.clock().Step(uint32_t(r.rounds));
  machine.clock().RemoveWork(work);
  std::lock_guard lock(mu);
  return records;
}

// A thread that clock work readies runs once the instant's work is done, as
// a thread readied by a DPC runs after the DPCs: it never finds the work half
// done, however long the work takes after the signal.
TEST(Interleave, AThreadReadiedByClockWorkRunsAfterTheInstantsWork) {
  SeedScope off(std::nullopt);
  Machine machine;
  KEVENT wake;
  KeInitializeEvent(&wake, SynchronizationEvent, FALSE);
  std::atomic<int> workDone{0};
  std::vector<int> seen;
  Rounds r;
  r.rounds = 10;
  r.body = [&](int) {
    KeWaitForSingleObject(&wake, Executive, KernelMode, FALSE, nullptr);
    seen.push_back(workDone.load());
  };
  r.probe = [&] { return 0; };
  RunRounds(machine, r, [&] {
    KeSetEvent(&wake, IO_NO_INCREMENT, FALSE);
    // The rest of the work: long enough for a thread let go at the signal to
    // run first.
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    ++workDone;
  });
  const std::vector<int> expected = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
  EXPECT_EQ(seen, expected);
}

// A thread whose wait ends at an instant runs to its next wait before the
// instant's work, so the work finds what it did; with the mode on, the seed
// picks the order of each instant, the same one in every run.
TEST(Interleave, TimedWaitersRunBeforeTheInstantsWorkOrInTheSeedsOrder) {
  auto run = [](std::optional<uint64_t> seed) {
    SeedScope scope(seed);
    Machine machine;
    std::atomic<int> done{0};
    Rounds r;
    r.rounds = 40;
    r.body = [&](int round) {
      LARGE_INTEGER interval;
      interval.QuadPart = -Clock::kUnitsPerMillisecond;
      KeDelayExecutionThread(KernelMode, FALSE, &interval);
      done = round;
    };
    r.probe = [&] { return done.load(); };
    std::vector<int> records = RunRounds(machine, r);
    // Which came first at each instant: the thread (1) or the work (0).
    for (size_t i = 0; i < records.size(); ++i) records[i] = records[i] == int(i + 1) ? 1 : 0;
    return records;
  };
  EXPECT_EQ(run(std::nullopt), std::vector<int>(40, 1));
  for (uint64_t seed : {5ULL, 6ULL}) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    const std::vector<int> first = run(seed);
    EXPECT_EQ(run(seed), first);
    const auto threadFirst = std::count(first.begin(), first.end(), 1);
    EXPECT_GT(threadFirst, 5);
    EXPECT_LT(threadFirst, 35);
  }
}

// Most points go on at once or yield; a few sleep, long enough for another
// thread to run a routine, never long enough to hide a period (1.5 ms at
// most). Another seed is another pattern.
TEST(Interleave, DrawsMostlyPassSometimesSleepAndDifferBySeed) {
  constexpr int kEntries = 20000;
  std::map<uint64_t, std::vector<InterleaveDelay::Kind>> kinds;
  for (uint64_t seed : {1ULL, 2ULL, 3ULL, 0xFFFFFFFFFFFFFFFFULL}) {
    int counts[3] = {};
    uint32_t longest = 0;
    for (uint64_t stream : {1ULL << 32, 2ULL << 32, 3ULL << 32 | 1}) {
      for (int entry = 0; entry < kEntries; ++entry) {
        const InterleaveDelay delay = InterleaveDraw(seed, stream, uint64_t(entry));
        ++counts[delay.kind];
        if (delay.kind == InterleaveDelay::Sleep) longest = std::max(longest, delay.microseconds);
        kinds[seed].push_back(delay.kind);
      }
    }
    const double all = 3.0 * kEntries;
    SCOPED_TRACE("seed " + std::to_string(seed));
    EXPECT_NEAR(counts[InterleaveDelay::None] / all, 0.60, 0.02);
    EXPECT_NEAR(counts[InterleaveDelay::Yield] / all, 0.25, 0.02);
    EXPECT_NEAR(counts[InterleaveDelay::Sleep] / all, 0.15, 0.02);
    EXPECT_LE(longest, 1500u);
    EXPECT_GE(longest, 1000u);
  }
  for (auto a = kinds.begin(), b = std::next(a); b != kinds.end(); ++a, ++b) {
    int same = 0;
    for (size_t i = 0; i < a->second.size(); ++i) same += a->second[i] == b->second[i];
    // Independent draws agree on the kind about 0.6² + 0.25² + 0.15² = 45% of the time.
    EXPECT_LT(same, int(a->second.size() * 0.55)) << "seeds " << a->first << " and " << b->first;
  }
}

}  // namespace
}  // namespace tqm::kernel::testing
