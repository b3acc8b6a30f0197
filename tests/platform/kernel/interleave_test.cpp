// Seeded interleavings: every kernel entry the mode names holds the calling
// thread back by its seed's draw, system threads keep their delay sequence
// from machine to machine, and the mode off costs no draws.
#include <map>
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
