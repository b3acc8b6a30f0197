// The guarded call and the probes: a bad user address becomes a status inside
// the guard, never a crash.
#include <sys/mman.h>

#include "driver/guarded_call.h"
#include "tests/platform/kernel/kernel_fixture.h"

namespace tqm::kernel::testing {
namespace {

struct Copy {
  void* user;
  size_t bytes;
  ULONG alignment;
  uint8_t kernel[16];
};

// The shape of the driver's checked copy: probe, then touch, inside the guard.
NTSTATUS CopyFromUser(PVOID context) {
  auto* c = static_cast<Copy*>(context);
  ProbeForRead(c->user, c->bytes, c->alignment);
  memcpy(c->kernel, c->user, c->bytes);
  return STATUS_SUCCESS;
}

TEST(GuardedCall, ProbesAndFaultsBecomeStatuses) {
#if defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "ThreadSanitizer intercepts the access fault this test provokes";
#endif
  Machine machine;
  alignas(8) static uint8_t user[16] = {1, 2, 3, 4};
  void* pool = ExAllocatePoolWithTag(NonPagedPool, 16, 0x3975724F);
  void* unmapped = mmap(nullptr, PAGE_SIZE, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(unmapped, MAP_FAILED);
  struct Row {
    const char* why;
    void* address;
    size_t bytes;
    ULONG alignment;
    NTSTATUS expected;
  };
  const Row rows[] = {
      // A readable user buffer is copied.
      {"good buffer", user, 8, 4, STATUS_SUCCESS},
      // Kernel memory is not a user address.
      {"pool address", pool, 8, 1, STATUS_ACCESS_VIOLATION},
      // The range must be aligned as asked.
      {"misaligned", user + 1, 8, 4, STATUS_DATATYPE_MISALIGNMENT},
      // A range that wraps around the address space.
      {"wrapping range", reinterpret_cast<void*>(~uintptr_t(0) - 3), 8, 1, STATUS_ACCESS_VIOLATION},
      // Passes the probe but is not mapped: the access itself faults.
      {"unmapped page", unmapped, 8, 1, STATUS_ACCESS_VIOLATION},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.why);
    Copy c{row.address, row.bytes, row.alignment, {}};
    EXPECT_EQ(TqmGuardedCall(CopyFromUser, &c), row.expected);
    if (row.expected == STATUS_SUCCESS) {
      EXPECT_EQ(c.kernel[3], 4);
    }
  }
  munmap(unmapped, PAGE_SIZE);
  ExFreePool(pool);
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
