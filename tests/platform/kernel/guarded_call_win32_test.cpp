// The kernel image's guarded call (driver/core/guarded_call_x64.S) under
// Windows structured exception handling: an access fault and a raised status
// inside the body come back as statuses. The same assembly is linked into
// TQMDRV.sys; here it runs in user mode under Wine.
#include "driver/guarded_call.h"
#include "tests/platform/kernel/kernel_fixture.h"

namespace tqm::kernel::testing {
namespace {

NTSTATUS Succeeds(PVOID context) {
  ++*static_cast<int*>(context);
  return STATUS_PENDING;
}

NTSTATUS Reads(PVOID address) { return *static_cast<volatile NTSTATUS*>(address); }

NTSTATUS Raises(PVOID) {
  ExRaiseStatus(STATUS_INVALID_PARAMETER);
  return STATUS_SUCCESS;
}

NTSTATUS ProbesPool(PVOID block) {
  ProbeForRead(block, 8, 1);
  return STATUS_SUCCESS;
}

TEST(GuardedCallImage, FaultsAndRaisesReturnTheirStatus) {
  Machine machine;
  int calls = 0;
  EXPECT_EQ(TqmGuardedCall(Succeeds, &calls), STATUS_PENDING);
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(TqmGuardedCall(Reads, reinterpret_cast<PVOID>(uintptr_t(16))), STATUS_ACCESS_VIOLATION);
  EXPECT_EQ(TqmGuardedCall(Raises, nullptr), STATUS_INVALID_PARAMETER);
  void* block = ExAllocatePoolWithTag(NonPagedPool, 8, 0x3975724F);
  EXPECT_EQ(TqmGuardedCall(ProbesPool, block), STATUS_ACCESS_VIOLATION);
  ExFreePool(block);
  // The guard is still usable after an exception unwound through it.
  EXPECT_EQ(TqmGuardedCall(Succeeds, &calls), STATUS_PENDING);
  EXPECT_EQ(calls, 2);
}

}  // namespace
}  // namespace tqm::kernel::testing
