// The guarded call and the probes: a bad user address becomes a status inside
// the guard, never a crash.
#include "driver/guarded_call.h"
#include "platform/kernel/process.h"
#include "tests/platform/kernel/kernel_fixture.h"

namespace tqm::kernel::testing {
namespace {

struct Copy {
  void* user;
  size_t bytes;
  ULONG alignment;
  bool probe;
  uint8_t kernel[16];
};

// The shape of the driver's checked copy: probe, then touch, inside the guard.
NTSTATUS CopyFromUser(PVOID context) {
  auto* c = static_cast<Copy*>(context);
  if (c->probe) ProbeForRead(c->user, c->bytes, c->alignment);
  memcpy(c->kernel, c->user, c->bytes);
  return STATUS_SUCCESS;
}

TEST(GuardedCall, ProbesAndFaultsBecomeStatuses) {
#if defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "ThreadSanitizer intercepts the access fault this test provokes";
#endif
  Machine machine;
  FaultRecorder recorder(machine);
  Process& client = machine.StartProcess("client");
  Process& other = machine.StartProcess("other");
  auto* user = static_cast<uint8_t*>(client.Allocate(16));
  user[3] = 4;
  void* foreign = other.Allocate(16);
  void* freed = client.Allocate(16);
  client.Free(freed);
  void* pool = ExAllocatePoolWithTag(NonPagedPool, 16, 0x3975724F);
  struct Row {
    const char* why;
    void* address;
    size_t bytes;
    ULONG alignment;
    bool probe;
    NTSTATUS expected;
  };
  const Row rows[] = {
      // A buffer of the calling process is copied.
      {"own buffer", user, 8, 4, true, STATUS_SUCCESS},
      // Kernel memory is not a user address.
      {"pool address", pool, 8, 1, true, STATUS_ACCESS_VIOLATION},
      // The range must be aligned as asked.
      {"misaligned", user + 1, 8, 4, true, STATUS_DATATYPE_MISALIGNMENT},
      // A range that wraps around the address space.
      {"wrapping range", reinterpret_cast<void*>(~uintptr_t(0) - 3), 8, 1, true, STATUS_ACCESS_VIOLATION},
      // Valid in another process only.
      {"other process's buffer", foreign, 8, 1, true, STATUS_ACCESS_VIOLATION},
      // Runs past the end of the caller's buffer.
      {"beyond the buffer", user + 12, 8, 1, true, STATUS_ACCESS_VIOLATION},
      // A freed buffer is no longer the process's.
      {"freed buffer", freed, 8, 1, true, STATUS_ACCESS_VIOLATION},
      // Touched without a probe: the freed pages themselves fault.
      {"freed buffer, unprobed", freed, 8, 1, false, STATUS_ACCESS_VIOLATION},
  };
  ProcessScope scope(client);
  for (const Row& row : rows) {
    SCOPED_TRACE(row.why);
    Copy c{row.address, row.bytes, row.alignment, row.probe, {}};
    EXPECT_EQ(TqmGuardedCall(CopyFromUser, &c), row.expected);
    if (row.expected == STATUS_SUCCESS) {
      EXPECT_EQ(c.kernel[3], 4);
    }
    // Bad user addresses are the caller's fault, not the kernel's.
    const auto faults = recorder.Take();
    EXPECT_TRUE(faults.empty()) << FaultRecorder::Describe(faults);
  }
  ExFreePool(pool);
}

// The driver's bug: a guarded touch of kernel memory that is not there. Only
// user-mode faults are caught by a guarded call on Windows; this one is a
// bug check (PAGE_FAULT_IN_NONPAGED_AREA), whatever the guard.
NTSTATUS TouchKernel(PVOID context) {
  auto* c = static_cast<Copy*>(context);
  memcpy(c->kernel, c->user, c->bytes);
  return STATUS_SUCCESS;
}

TEST(GuardedCall, AFaultOnAKernelAddressBugChecksInsteadOfBecomingAStatus) {
#if defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "ThreadSanitizer intercepts the access fault this test provokes";
#endif
  Machine machine;
  FaultRecorder recorder(machine);
  Process& client = machine.StartProcess("client");
  constexpr ULONG kTag = 0x3975724F;
  // A block of whole pages is followed by a guard page; freed, its pages are
  // quarantined and inaccessible.
  auto* live = static_cast<char*>(ExAllocatePoolWithTag(NonPagedPool, 2 * PAGE_SIZE, kTag));
  auto* freed = static_cast<char*>(ExAllocatePoolWithTag(NonPagedPool, 2 * PAGE_SIZE, kTag));
  ExFreePoolWithTag(freed, kTag);
  struct Row {
    const char* why;
    void* address;
    Process* context;
  };
  const Row rows[] = {
      {"freed pool", freed, &client},
      {"the guard page after a live block", live + 2 * PAGE_SIZE, &client},
      {"freed pool, from the system process", freed, nullptr},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.why);
    Copy c{row.address, 8, 1, false, {}};
    NTSTATUS status;
    if (row.context) {
      ProcessScope scope(*row.context);
      status = TqmGuardedCall(TouchKernel, &c);
    } else {
      status = TqmGuardedCall(TouchKernel, &c);
    }
    // The recorded bug check leaves the guard so that the test goes on.
    EXPECT_EQ(status, STATUS_ACCESS_VIOLATION);
    const auto faults = recorder.Take();
    ASSERT_EQ(faults.size(), 1u) << FaultRecorder::Describe(faults);
    EXPECT_EQ(faults[0].kind, FaultKind::BugCheck);
    EXPECT_NE(faults[0].what.find("PAGE_FAULT_IN_NONPAGED_AREA"), std::string::npos) << faults[0].what;
  }
  ExFreePoolWithTag(live, kTag);
}

NTSTATUS Inner(PVOID) {
  ExRaiseStatus(STATUS_INVALID_PARAMETER);
  return STATUS_SUCCESS;
}

NTSTATUS Outer(PVOID) {
  const NTSTATUS inner = TqmGuardedCall(Inner, nullptr);
  return inner == STATUS_INVALID_PARAMETER ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}

TEST(GuardedCall, NestedCallsCatchTheirOwnRaise) {
  Machine machine;
  EXPECT_EQ(TqmGuardedCall(Outer, nullptr), STATUS_SUCCESS);
}

}  // namespace
}  // namespace tqm::kernel::testing
