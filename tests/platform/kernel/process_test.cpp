// Simulated processes: handles, file objects and the context each request
// runs in, buffered device control, event handles resolved per process, and
// user mappings of pool pages (the same bytes at a different address in each
// process, valid only in their own process).
#include <thread>

#include "driver/guarded_call.h"
#include "platform/kernel/pool.h"
#include "tests/platform/kernel/pnp_fixture.h"

namespace tqm::kernel::testing {
namespace {

constexpr ULONG kMap = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x810, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr ULONG kUnmap = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x811, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr ULONG kSignal = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x812, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr ULONG kAnswer = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x813, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr ULONG kKeep = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x814, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr ULONG kPeek = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x815, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr ULONG kCopyIn = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x816, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr size_t kShared = 4 * PAGE_SIZE;  // whole pages: nothing else shares them

// What the driver of these tests shares: one pool block and its MDL.
struct Shared {
  char* block = nullptr;
  PMDL mdl = nullptr;
  void* kept = nullptr;  // an object the driver keeps referenced (kKeep)
};
Shared* shared = nullptr;

// The driver's checked copy from a caller's address: probe, then
// RtlCopyMemory, inside the guard.
struct UserRead {
  const void* user;
  uint64_t value;
};
NTSTATUS UserReadBody(PVOID context) {
  auto* r = static_cast<UserRead*>(context);
  ProbeForRead(r->user, sizeof r->value, 1);
  RtlCopyMemory(&r->value, r->user, sizeof r->value);
  return STATUS_SUCCESS;
}

NTSTATUS MapBody(PVOID context) {
  *static_cast<void**>(context) =
      MmMapLockedPagesSpecifyCache(shared->mdl, UserMode, MmCached, nullptr, FALSE, NormalPagePriority);
  return STATUS_SUCCESS;
}

// The driver side: map into / unmap from the calling process, signal or keep
// the object behind a caller's handle, answer with a chosen status.
NTSTATUS Control(PIRP irp, PIO_STACK_LOCATION stack) {
  auto* buffer = static_cast<uint64_t*>(irp->AssociatedIrp.SystemBuffer);
  irp->IoStatus.Information = 0;
  switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case kMap: {
      void* user = nullptr;
      const NTSTATUS status = TqmGuardedCall(MapBody, &user);
      buffer[0] = reinterpret_cast<uint64_t>(user);
      irp->IoStatus.Information = sizeof(uint64_t);
      return status;
    }
    case kUnmap:
      MmUnmapLockedPages(reinterpret_cast<void*>(buffer[0]), shared->mdl);
      return STATUS_SUCCESS;
    case kSignal:
    case kKeep: {
      PVOID object = nullptr;
      const NTSTATUS status = ObReferenceObjectByHandle(reinterpret_cast<HANDLE>(buffer[0]), 0, nullptr,
                                                        UserMode, &object, nullptr);
      if (!NT_SUCCESS(status)) return status;
      KeSetEvent(static_cast<PKEVENT>(object), IO_NO_INCREMENT, FALSE);
      if (stack->Parameters.DeviceIoControl.IoControlCode == kKeep) {
        shared->kept = object;
      } else {
        ObDereferenceObject(object);
      }
      return STATUS_SUCCESS;
    }
    case kPeek:
      // What the output part of the system buffer held when the driver got it.
      buffer[0] = static_cast<unsigned char*>(irp->AssociatedIrp.SystemBuffer)[16];
      irp->IoStatus.Information = sizeof(uint64_t);
      return STATUS_SUCCESS;
    case kCopyIn: {
      // buffer[0] = a caller's address, buffer[1] = 1 to read it the checked
      // way, 0 to read it directly (the bug the held buffers catch).
      const void* user = reinterpret_cast<const void*>(buffer[0]);
      UserRead r{user, 0};
      NTSTATUS status = STATUS_SUCCESS;
      if (buffer[1])
        status = TqmGuardedCall(UserReadBody, &r);
      else
        r.value = *static_cast<const volatile uint64_t*>(user);
      buffer[0] = r.value;
      irp->IoStatus.Information = sizeof(uint64_t);
      return status;
    }
    case kAnswer: {
      // buffer[0] = status to answer with, buffer[1] = bytes to report.
      const auto status = NTSTATUS(buffer[0]);
      const ULONG bytes = ULONG(buffer[1]);
      memset(buffer, 0x5A, stack->Parameters.DeviceIoControl.OutputBufferLength);
      irp->IoStatus.Information = bytes;
      return status;
    }
    default:
      return STATUS_INVALID_DEVICE_REQUEST;
  }
}

class ProcessTest : public PnpTest {
 protected:
  ProcessTest() {
    shared = &memory;
    s.control = Control;
    NTSTATUS status;
    device = machine.CreateRootDevice(L"TEST\\FN", &status);
    EXPECT_EQ(status, STATUS_SUCCESS);
    path = InterfacePathOf(device);
    memory.block = static_cast<char*>(ExAllocatePoolWithTag(NonPagedPool, kShared, kFixtureTag));
    memory.mdl = IoAllocateMdl(memory.block, kShared, FALSE, FALSE, nullptr);
    MmBuildMdlForNonPagedPool(memory.mdl);
  }
  ~ProcessTest() override {
    IoFreeMdl(memory.mdl);
    ExFreePool(memory.block);
    shared = nullptr;
  }

  char* Map(Process& p, HANDLE h) {
    uint64_t address = 0;
    ULONG returned = 0;
    EXPECT_EQ(p.DeviceIoControl(h, kMap, &address, sizeof address, &address, sizeof address, &returned),
              STATUS_SUCCESS);
    return reinterpret_cast<char*>(address);
  }
  void Unmap(Process& p, HANDLE h, void* address) {
    uint64_t value = reinterpret_cast<uint64_t>(address);
    EXPECT_EQ(p.DeviceIoControl(h, kUnmap, &value, sizeof value, nullptr, 0, nullptr), STATUS_SUCCESS);
  }
  HANDLE Open(Process& p) {
    NTSTATUS status;
    HANDLE h = p.Open(path, &status);
    EXPECT_EQ(status, STATUS_SUCCESS);
    return h;
  }

  Shared memory;
  PDEVICE_OBJECT device = nullptr;
  std::wstring path;
};

struct CopyRequest {
  const char* user;
  char out[8];
};

NTSTATUS CheckedCopy(PVOID context) {
  auto* c = static_cast<CopyRequest*>(context);
  ProbeForRead(c->user, sizeof c->out, 1);
  memcpy(c->out, c->user, sizeof c->out);
  return STATUS_SUCCESS;
}

TEST_F(ProcessTest, MappingsShareTheBytesAtDifferentAddressesEachValidOnlyInItsProcess) {
  Process& asio = machine.StartProcess("asio");
  Process& panel = machine.StartProcess("panel");
  HANDLE a = Open(asio);
  HANDLE b = Open(panel);
  char* inA = Map(asio, a);
  char* inB = Map(panel, b);
  ASSERT_NE(inA, nullptr);
  ASSERT_NE(inB, nullptr);
  EXPECT_NE(inA, inB);
  EXPECT_NE(inA, memory.block);
  // The offset within the first page is kept.
  EXPECT_EQ(BYTE_OFFSET(inA), BYTE_OFFSET(memory.block));

  memory.block[2 * PAGE_SIZE + 7] = 0x42;  // the kernel writes; both processes see it
  EXPECT_EQ(inA[2 * PAGE_SIZE + 7], 0x42);
  EXPECT_EQ(inB[2 * PAGE_SIZE + 7], 0x42);
  inA[kShared - 1] = 0x17;  // one process writes; the kernel and the other see it
  EXPECT_EQ(memory.block[kShared - 1], 0x17);
  EXPECT_EQ(inB[kShared - 1], 0x17);

  // The checked copy accepts each mapping only in its own process.
  struct Row {
    const char* why;
    Process* context;
    const char* address;
    NTSTATUS expected;
  };
  const Row rows[] = {
      {"A's mapping in A", &asio, inA, STATUS_SUCCESS},
      {"B's mapping in B", &panel, inB, STATUS_SUCCESS},
      {"A's mapping in B", &panel, inA, STATUS_ACCESS_VIOLATION},
      {"B's mapping in A", &asio, inB, STATUS_ACCESS_VIOLATION},
      // The last bytes of the mapping, then one past its end.
      {"end of A's mapping", &asio, inA + kShared - 8, STATUS_SUCCESS},
      {"past A's mapping", &asio, inA + kShared - 7, STATUS_ACCESS_VIOLATION},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.why);
    ProcessScope scope(*row.context);
    CopyRequest c{row.address, {}};
    EXPECT_EQ(TqmGuardedCall(CheckedCopy, &c), row.expected);
  }
  EXPECT_EQ(asio.MappingCount(), 1u);
  Unmap(asio, a, inA);
  Unmap(panel, b, inB);
  EXPECT_EQ(asio.MappingCount(), 0u);
  {
    // An unmapped address is valid nowhere any more.
    ProcessScope scope(asio);
    CopyRequest c{inA, {}};
    EXPECT_EQ(TqmGuardedCall(CheckedCopy, &c), STATUS_ACCESS_VIOLATION);
  }
  asio.Exit();
  panel.Exit();
}

TEST_F(ProcessTest, TouchingAnUnmappedUserAddressFaultsInsteadOfReachingOtherMemory) {
#if defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "ThreadSanitizer intercepts the access fault this test provokes";
#endif
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  Process& client = machine.StartProcess("client");
  HANDLE h = Open(client);
  char* user = Map(client, h);
  ASSERT_NE(user, nullptr);
  user[0] = 1;
  Unmap(client, h, user);
  // The pages are still the driver's, but the stale address reaches none of them.
  EXPECT_DEATH({ static_cast<volatile char*>(user)[0] = 2; }, "");
  EXPECT_EQ(memory.block[0], 1);
  client.Exit();
}

TEST_F(ProcessTest, UserMappingOfTheSystemProcessOrAFailedMappingRaises) {
  // Outside any process there is no user space to map into.
  void* user = nullptr;
  EXPECT_EQ(TqmGuardedCall(MapBody, &user), STATUS_ACCESS_VIOLATION);
  Process& client = machine.StartProcess("client");
  machine.FailNth(FailurePoint::UserMapping, 1);
  HANDLE h = Open(client);
  uint64_t address = 0;
  EXPECT_EQ(client.DeviceIoControl(h, kMap, &address, sizeof address, &address, sizeof address, nullptr),
            STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(client.MappingCount(), 0u);
  client.Exit();
}

TEST_F(ProcessTest, CreateAndCleanupRunInTheOwnersContextCloseInTheSystemsAndExitClosesEveryHandle) {
  Process& asio = machine.StartProcess("asio");
  Process& panel = machine.StartProcess("panel");
  Open(asio);
  Open(asio);
  HANDLE p = Open(panel);
  EXPECT_EQ(machine.OpenHandleCount(device), 3u);
  EXPECT_EQ(panel.CloseHandle(p), STATUS_SUCCESS);
  EXPECT_EQ(panel.CloseHandle(p), STATUS_INVALID_HANDLE);
  asio.Exit();  // a crash amounts to the same
  EXPECT_EQ(asio.HandleCount(), 0u);
  EXPECT_EQ(machine.OpenHandleCount(device), 0u);
  // CLOSE is promised no process context: it comes in the system process.
  using Seen = std::vector<std::pair<std::string, PEPROCESS>>;
  PEPROCESS system = machine.SystemProcess();
  const Seen expected = {
      {"CREATE", asio.object()},  {"CREATE", asio.object()},  {"CREATE", panel.object()},
      {"CLEANUP", panel.object()}, {"CLOSE", system},          {"CLEANUP", asio.object()},
      {"CLOSE", system},          {"CLEANUP", asio.object()}, {"CLOSE", system},
  };
  EXPECT_EQ(s.fileRequests, expected);
  panel.Exit();
}

TEST_F(ProcessTest, BufferedControlCopiesBackOnlyWhenTheStatusIsNoError) {
  Process& client = machine.StartProcess("client");
  HANDLE h = Open(client);
  FaultRecorder recorder(machine);
  struct Row {
    const char* why;
    NTSTATUS status;
    ULONG reported;
    ULONG expectedReturned;
    size_t expectedCopied;
    size_t expectedFaults;
  };
  const Row rows[] = {
      // Success: the bytes the driver reports come back.
      {"success", STATUS_SUCCESS, 12, 12, 12, 0},
      // A warning is no error: copied back too.
      {"warning", STATUS_BUFFER_OVERFLOW, 16, 16, 16, 0},
      // An error leaves the caller's buffer as it was.
      {"error", STATUS_INVALID_PARAMETER, 16, 0, 0, 0},
      // More reported than the caller's buffer holds would overrun it on
      // Windows: a fault; the rest is clamped here.
      {"over-report", STATUS_SUCCESS, 64, 32, 32, 1},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.why);
    uint64_t in[2] = {uint64_t(uint32_t(row.status)), row.reported};
    unsigned char out[40];
    memset(out, 0x11, sizeof out);
    ULONG returned = 99;
    EXPECT_EQ(client.DeviceIoControl(h, kAnswer, in, sizeof in, out, 32, &returned), row.status);
    EXPECT_EQ(returned, row.expectedReturned);
    for (size_t i = 0; i < sizeof out; ++i) {
      ASSERT_EQ(out[i], i < row.expectedCopied ? 0x5A : 0x11) << "byte " << i;
    }
    const auto faults = recorder.Take();
    ASSERT_EQ(faults.size(), row.expectedFaults) << FaultRecorder::Describe(faults);
    if (!faults.empty()) {
      EXPECT_EQ(faults[0].kind, FaultKind::IrpMisuse);
      EXPECT_NE(faults[0].what.find("Information 64, more than its 32-byte output buffer"), std::string::npos)
          << faults[0].what;
    }
  }
  // The output part of the system buffer holds what new pool holds, so a
  // driver that reports bytes it never wrote hands out that, not zeroes.
  uint64_t in = 0, out[4] = {};
  EXPECT_EQ(client.DeviceIoControl(h, kPeek, &in, sizeof in, out, sizeof out, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(out[0], Pool::kFillPattern);
  client.Exit();
}

TEST_F(ProcessTest, KernelReadingAHeldBufferOutsideTheCheckedCopyIsReported) {
#if defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "ThreadSanitizer intercepts the access fault this test provokes";
#endif
  Process& client = machine.StartProcess("client");
  client.SetSingleThreaded(true);
  HANDLE h = Open(client);
  auto* value = static_cast<uint64_t*>(client.Allocate(sizeof(uint64_t)));
  *value = 0x1234;
  FaultRecorder recorder(machine);
  struct Row {
    const char* why;
    uint64_t checked;
    size_t expectedFaults;
  };
  const Row rows[] = {
      // Probe and RtlCopyMemory inside the guard: the held buffer opens for it.
      {"checked copy", 1, 0},
      // A plain dereference in the dispatch routine: reported, then let through.
      {"direct read", 0, 1},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.why);
    uint64_t io[2] = {reinterpret_cast<uint64_t>(value), row.checked};
    EXPECT_EQ(client.DeviceIoControl(h, kCopyIn, io, sizeof io, io, sizeof io, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(io[0], 0x1234u);
    const auto faults = recorder.Take();
    ASSERT_EQ(faults.size(), row.expectedFaults) << FaultRecorder::Describe(faults);
    if (!faults.empty()) {
      EXPECT_EQ(faults[0].kind, FaultKind::UserAddressUnchecked);
      EXPECT_NE(faults[0].what.find("outside the checked copy"), std::string::npos) << faults[0].what;
    }
  }
  // Between kernel calls the buffer is the client's again.
  *value = 7;
  EXPECT_EQ(*value, 7u);
  client.Exit();
}

TEST_F(ProcessTest, EventHandlesResolveInTheCallersOwnTable) {
  Process& asio = machine.StartProcess("asio");
  Process& panel = machine.StartProcess("panel");
  HANDLE fa = Open(asio);
  HANDLE fp = Open(panel);
  HANDLE ea = asio.CreateEventHandle(false, false);
  HANDLE ep = panel.CreateEventHandle(true, false);
  HANDLE ep2 = panel.CreateEventHandle(true, false);  // a number asio's table does not have
  struct Row {
    const char* why;
    Process* caller;
    HANDLE file;
    HANDLE event;
    NTSTATUS expected;
  };
  const Row rows[] = {
      {"asio's own event", &asio, fa, ea, STATUS_SUCCESS},
      {"panel's own event", &panel, fp, ep2, STATUS_SUCCESS},
      // The same number means nothing in another table.
      {"panel's handle in asio", &asio, fa, ep2, STATUS_INVALID_HANDLE},
      // Kernel handles are not for user requests.
      {"a kernel handle", &asio, fa, reinterpret_cast<HANDLE>(uintptr_t(0xFFFFFFFF80000004ULL)), STATUS_INVALID_HANDLE},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.why);
    uint64_t in = reinterpret_cast<uint64_t>(row.event);
    EXPECT_EQ(row.caller->DeviceIoControl(row.file, kSignal, &in, sizeof in, nullptr, 0, nullptr), row.expected);
  }
  EXPECT_TRUE(asio.EventSignalled(ea));
  EXPECT_TRUE(panel.EventSignalled(ep2));
  EXPECT_FALSE(panel.EventSignalled(ep));
  asio.Exit();
  panel.Exit();
}

// The windows simulator's resolver: a user handle stands for an event outside
// the kernel, which KeSetEvent must reach.
void CountSignal(void* context) { ++*static_cast<int*>(context); }

TEST_F(ProcessTest, AReplacedResolverHandsTheDriverAnEventThatSignalsOutside) {
  int outside = 0;
  PKEVENT bridge = MakeSignalHookedEvent(SynchronizationEvent, CountSignal, &outside);
  machine.SetUserHandleResolver([&](Process&, HANDLE handle) -> void* {
    if (handle != reinterpret_cast<HANDLE>(uintptr_t(0x1234))) return nullptr;
    ObReferenceObject(bridge);
    return bridge;
  });
  Process& client = machine.StartProcess("client");
  HANDLE h = Open(client);
  uint64_t in = 0x1234;
  EXPECT_EQ(client.DeviceIoControl(h, kSignal, &in, sizeof in, nullptr, 0, nullptr), STATUS_SUCCESS);
  in = 0x4321;
  EXPECT_EQ(client.DeviceIoControl(h, kSignal, &in, sizeof in, nullptr, 0, nullptr), STATUS_INVALID_HANDLE);
  EXPECT_EQ(outside, 1);
  client.Exit();
  ObDereferenceObject(bridge);
}

// A hook that runs before the waiters are released (a signal's time stamp):
// every wake finds the count of the signal that caused it, with no wait for
// the signalling thread. A hook after release may still be on its way.
void CountSignalAtomic(void* context) {
  static_cast<std::atomic<int>*>(context)->fetch_add(1, std::memory_order_relaxed);
}

TEST_F(ProcessTest, AHookBeforeReleaseIsSeenByTheWokenWaiter) {
  std::atomic<int> hooked{0};
  PKEVENT event = MakeSignalHookedEvent(SynchronizationEvent, CountSignalAtomic, &hooked, nullptr,
                                        SignalHookTime::BeforeRelease);
  KEVENT seen;
  KeInitializeEvent(&seen, SynchronizationEvent, FALSE);
  constexpr int kSignals = 500;
  int stale = 0;
  std::thread waiter([&] {
    for (int i = 1; i <= kSignals; ++i) {
      KeWaitForSingleObject(event, Executive, KernelMode, FALSE, nullptr);
      if (hooked.load(std::memory_order_relaxed) != i) ++stale;
      KeSetEvent(&seen, IO_NO_INCREMENT, FALSE);
    }
  });
  for (int i = 0; i < kSignals; ++i) {
    KeSetEvent(event, IO_NO_INCREMENT, FALSE);
    KeWaitForSingleObject(&seen, Executive, KernelMode, FALSE, nullptr);
  }
  waiter.join();
  EXPECT_EQ(stale, 0);
  ObDereferenceObject(event);
}

TEST_F(ProcessTest, TwoClientsMapAndCloseConcurrently) {
  Process& asio = machine.StartProcess("asio");
  Process& panel = machine.StartProcess("panel");
  std::atomic<int> mismatches{0};
  auto client = [&](Process& p, char mark, size_t offset) {
    for (int i = 0; i < 40; ++i) {
      HANDLE h = Open(p);
      char* user = Map(p, h);
      if (!user) {
        ++mismatches;
        break;
      }
      user[offset] = mark;
      if (memory.block[offset] != mark) ++mismatches;
      Unmap(p, h, user);
      p.CloseHandle(h);
    }
  };
  std::thread a(client, std::ref(asio), 'a', 16);
  std::thread b(client, std::ref(panel), 'b', 2 * PAGE_SIZE);
  for (int i = 0; i < 40; ++i) EXPECT_EQ(machine.DeviceInterfaces(kTestInterface).size(), 1u);
  a.join();
  b.join();
  EXPECT_EQ(mismatches.load(), 0);
  EXPECT_EQ(asio.MappingCount() + panel.MappingCount(), 0u);
  EXPECT_EQ(machine.OpenHandleCount(device), 0u);
  asio.Exit();
  panel.Exit();
}

// ---- verifier part II: processes and mappings --------------------------------------

TEST_F(ProcessTest, VerifierReportsMappingsUndoneElsewhereOrLeftAtExit) {
  FaultRecorder faults(machine);
  Process& asio = machine.StartProcess("asio");
  Process& panel = machine.StartProcess("panel");
  HANDLE a = Open(asio);
  HANDLE b = Open(panel);
  char* inA = Map(asio, a);
  // The panel's request unmaps the ASIO client's mapping.
  Unmap(panel, b, inA);
  auto seen = faults.Take();
  ASSERT_EQ(seen.size(), 1u) << FaultRecorder::Describe(seen);
  EXPECT_EQ(seen[0].kind, FaultKind::UserMappingMisuse) << seen[0].what;
  EXPECT_NE(seen[0].what.find("'asio' unmapped from process 'panel'"), std::string::npos) << seen[0].what;
  // The mapping is still the ASIO client's, and it exits without undoing it.
  EXPECT_EQ(asio.MappingCount(), 1u);
  asio.Exit();
  seen = faults.Take();
  ASSERT_EQ(seen.size(), 1u) << FaultRecorder::Describe(seen);
  EXPECT_EQ(seen[0].kind, FaultKind::UserMappingMisuse);
  EXPECT_NE(seen[0].what.find("exited"), std::string::npos) << seen[0].what;
  panel.Exit();
}

// A driver that maps pool for a client must map pages that hold nothing
// else: the client gets every page the mapping touches, whole.
TEST_F(ProcessTest, VerifierReportsAUserMappingOfPagesTheBlockDoesNotOwnEntirely) {
  constexpr ULONG kNeighbourTag = 0x3975724F;  // "Oru9"
  constexpr ULONG kMappedTag = 0x3275724F;     // "Oru2"
  struct Row {
    const char* why;
    size_t blockBytes;
    size_t offset;  // of the mapped range in the block
    size_t bytes;   // mapped
    const char* whatHas;  // null: no fault
  };
  const Row rows[] = {
      {"a small block on a page it shares with the driver's other block", 76, 0, 76, "'Oru9' (312 bytes)"},
      {"a block whose last page is only partly its own", 4196, 0, 4196, "no block of it owns"},
      {"the 76 bytes behind a larger block's whole pages", 102400 + 76, 102400, 76, "no block of it owns"},
      {"a range reaching past its block", 2 * PAGE_SIZE, 0, 3 * PAGE_SIZE, "does not own entirely"},
      {"one whole page", PAGE_SIZE, 0, PAGE_SIZE, nullptr},
      {"whole pages, partly mapped", 2 * PAGE_SIZE, 100, 3000, nullptr},
  };
  Process& client = machine.StartProcess("client");
  HANDLE h = Open(client);
  for (const Row& row : rows) {
    SCOPED_TRACE(row.why);
    FaultRecorder faults(machine);
    void* neighbour = ExAllocatePoolWithTag(NonPagedPool, 312, kNeighbourTag);
    auto* block = static_cast<char*>(ExAllocatePoolWithTag(NonPagedPool, row.blockBytes, kMappedTag));
    ASSERT_TRUE(neighbour && block);
    PMDL mdl = IoAllocateMdl(block + row.offset, ULONG(row.bytes), FALSE, FALSE, nullptr);
    MmBuildMdlForNonPagedPool(mdl);
    std::swap(memory.mdl, mdl);
    char* user = Map(client, h);
    ASSERT_NE(user, nullptr);
    const auto seen = faults.Take();
    if (row.whatHas) {
      ASSERT_EQ(seen.size(), 1u) << FaultRecorder::Describe(seen);
      EXPECT_EQ(seen[0].kind, FaultKind::UserMappingMisuse);
      EXPECT_NE(seen[0].what.find(row.whatHas), std::string::npos) << seen[0].what;
      EXPECT_NE(seen[0].what.find("'Oru2'"), std::string::npos) << seen[0].what;
      EXPECT_NE(seen[0].what.find("'client'"), std::string::npos) << seen[0].what;
    } else {
      EXPECT_TRUE(seen.empty()) << FaultRecorder::Describe(seen);
    }
    Unmap(client, h, user);
    std::swap(memory.mdl, mdl);
    IoFreeMdl(mdl);
    ExFreePool(block);
    ExFreePool(neighbour);
  }
  client.Exit();
}

TEST_F(ProcessTest, VerifierReportsAHandleReferenceKeptPastUnload) {
  FaultRecorder faults(machine);
  Process& client = machine.StartProcess("client");
  HANDLE h = Open(client);
  uint64_t in = reinterpret_cast<uint64_t>(client.CreateEventHandle(true, false));
  EXPECT_EQ(client.DeviceIoControl(h, kKeep, &in, sizeof in, nullptr, 0, nullptr), STATUS_SUCCESS);
  client.Exit();
  // Removing the device unloads the function driver, which still holds it.
  EXPECT_EQ(machine.RequestRemoval(device, false), STATUS_SUCCESS);
  auto seen = faults.Take();
  ASSERT_EQ(seen.size(), 1u) << FaultRecorder::Describe(seen);
  EXPECT_EQ(seen[0].kind, FaultKind::ObjectReferenceLeak) << seen[0].what;
  ObDereferenceObject(memory.kept);
}

TEST_F(ProcessTest, VerifierReportsAProbeOutsideAGuardedCall) {
  FaultRecorder faults(machine);
  Process& client = machine.StartProcess("client");
  void* buffer = client.Allocate(16);
  {
    ProcessScope scope(client);
    ProbeForRead(buffer, 16, 1);
  }
  auto seen = faults.Take();
  ASSERT_EQ(seen.size(), 1u) << FaultRecorder::Describe(seen);
  EXPECT_EQ(seen[0].kind, FaultKind::UserAddressUnchecked) << seen[0].what;
}

}  // namespace
}  // namespace tqm::kernel::testing
