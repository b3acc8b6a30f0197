// Pool, MDLs and failure injection: tagged accounting, the second view of the
// arena, guard zones, and every injectable failure.
#include "platform/kernel/pool.h"

#include "driver/guarded_call.h"
#include "tests/platform/kernel/kernel_fixture.h"

namespace tqm::kernel::testing {
namespace {

constexpr ULONG kTag = 0x3975724F;       // "Oru9"
constexpr ULONG kOtherTag = 0x3875724F;  // "Oru8"

TEST(Pool, CountsAllocationsAndOutstandingBytesPerTag) {
  Machine machine;
  const uint64_t before = machine.pool().AllocationCount();
  void* a = ExAllocatePoolWithTag(NonPagedPool, 100, kTag);
  void* b = ExAllocatePoolWithTag(NonPagedPool, 5000, kTag);
  void* c = ExAllocatePoolWithTag(PagedPool, 8, kOtherTag);
  ASSERT_TRUE(a && b && c);
  EXPECT_EQ(machine.pool().AllocationCount() - before, 3u);
  TagUsage usage = machine.pool().Usage(kTag);
  EXPECT_EQ(usage.blocks, 2u);
  EXPECT_EQ(usage.bytes, 5100u);
  EXPECT_EQ(Pool::TagText(kTag), "Oru9");
  // New pool is not zeroed: drivers must clear what they rely on.
  EXPECT_EQ(static_cast<uint8_t*>(a)[0], Pool::kFillPattern);
  ExFreePoolWithTag(b, kTag);
  ExFreePool(a);
  ExFreePool(c);
  usage = machine.pool().Usage(kTag);
  EXPECT_EQ(usage.blocks, 0u);
  EXPECT_EQ(usage.bytes, 0u);
  EXPECT_EQ(usage.frees, 2u);
  EXPECT_EQ(machine.pool().Usage(kOtherTag).allocations, 1u);
  const auto byTag = machine.pool().UsageByTag();
  EXPECT_EQ(byTag.size(), 2u);
  EXPECT_EQ(byTag.count(kTag), 1u);
}

TEST(Pool, MdlForNonPagedPoolNamesArenaPagesThatMapAgain) {
  Machine machine;
  auto* block = static_cast<uint8_t*>(ExAllocatePoolWithTag(NonPagedPool, 3 * PAGE_SIZE, kTag));
  ASSERT_NE(block, nullptr);
  PMDL mdl = IoAllocateMdl(block, 3 * PAGE_SIZE, FALSE, FALSE, nullptr);
  ASSERT_NE(mdl, nullptr);
  MmBuildMdlForNonPagedPool(mdl);
  EXPECT_EQ(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority), block);
  EXPECT_EQ(MmMapLockedPagesSpecifyCache(mdl, KernelMode, MmCached, nullptr, FALSE, NormalPagePriority),
            block);
  std::vector<uintptr_t> pages(MmGetMdlPfnArray(mdl), MmGetMdlPfnArray(mdl) + 3);
  EXPECT_EQ(pages[1], pages[0] + 1);
  auto* view = static_cast<uint8_t*>(machine.pool().MapSecondView(pages));
  ASSERT_NE(view, nullptr);
  EXPECT_NE(view, block);
  block[2 * PAGE_SIZE + 7] = 0x42;
  EXPECT_EQ(view[2 * PAGE_SIZE + 7], 0x42);
  view[0] = 0x24;
  EXPECT_EQ(block[0], 0x24);
  machine.pool().UnmapSecondView(view, pages.size());
  MmUnmapLockedPages(block, mdl);
  IoFreeMdl(mdl);
  ExFreePool(block);
}

NTSTATUS MapForUser(PVOID context) {
  auto* mdl = static_cast<PMDL>(context);
  MmMapLockedPagesSpecifyCache(mdl, UserMode, MmCached, nullptr, FALSE, NormalPagePriority);
  return STATUS_SUCCESS;
}

TEST(Pool, UserMappingWithoutAProcessRaisesInsideTheGuardedCall) {
  Machine machine;
  void* block = ExAllocatePoolWithTag(NonPagedPool, 64, kTag);
  PMDL mdl = IoAllocateMdl(block, 64, FALSE, FALSE, nullptr);
  MmBuildMdlForNonPagedPool(mdl);
  EXPECT_EQ(TqmGuardedCall(MapForUser, mdl), STATUS_ACCESS_VIOLATION);
  machine.FailNth(FailurePoint::UserMapping, 1);
  EXPECT_EQ(TqmGuardedCall(MapForUser, mdl), STATUS_INSUFFICIENT_RESOURCES);
  IoFreeMdl(mdl);
  ExFreePool(block);
}

VOID EmptyThread(PVOID) {}

TEST(FailureInjection, MakesTheChosenAttemptsFail) {
  struct Row {
    const char* why;
    FailurePoint point;
    std::function<bool()> attempt;  // true when the operation succeeded
  };
  std::vector<void*> blocks;
  std::vector<PIRP> irps;
  std::vector<PMDL> mdls;
  const Row rows[] = {
      {"pool", FailurePoint::PoolAllocation,
       [&] {
         void* p = ExAllocatePoolWithTag(NonPagedPool, 16, kTag);
         if (p) blocks.push_back(p);
         return p != nullptr;
       }},
      {"IoAllocateIrp", FailurePoint::IrpAllocation,
       [&] {
         PIRP irp = IoAllocateIrp(2, FALSE);
         if (irp) irps.push_back(irp);
         return irp != nullptr;
       }},
      {"IoAllocateMdl", FailurePoint::MdlAllocation,
       [&] {
         static uint8_t buffer[64];
         PMDL mdl = IoAllocateMdl(buffer, sizeof buffer, FALSE, FALSE, nullptr);
         if (mdl) mdls.push_back(mdl);
         return mdl != nullptr;
       }},
      {"PsCreateSystemThread", FailurePoint::SystemThread,
       [&] {
         HANDLE thread;
         const NTSTATUS status =
             PsCreateSystemThread(&thread, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, EmptyThread, nullptr);
         if (NT_SUCCESS(status)) ZwClose(thread);
         return NT_SUCCESS(status);
       }},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.why);
    Machine machine;
    // The third attempt from now fails, the others succeed.
    machine.FailNth(row.point, 3);
    std::string outcomes;
    for (int i = 0; i < 4; ++i) outcomes += row.attempt() ? 'y' : 'n';
    EXPECT_EQ(outcomes, "yyny");
    EXPECT_EQ(machine.Attempts(row.point), 4u);
    // Every attempt fails until cleared.
    machine.FailEvery(row.point);
    outcomes.clear();
    for (int i = 0; i < 2; ++i) outcomes += row.attempt() ? 'y' : 'n';
    machine.ClearFailures();
    outcomes += row.attempt() ? 'y' : 'n';
    EXPECT_EQ(outcomes, "nny");
    for (void* p : blocks) ExFreePool(p);
    for (PIRP irp : irps) IoFreeIrp(irp);
    for (PMDL mdl : mdls) IoFreeMdl(mdl);
    blocks.clear();
    irps.clear();
    mdls.clear();
  }
}

using PoolDeathTest = ::testing::Test;

TEST(PoolDeathTest, OverrunIntoTheGuardZoneIsCaught) {
#if defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "death tests fork a multi-threaded process, which ThreadSanitizer refuses";
#endif
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        Machine machine;
        auto* block = static_cast<volatile uint8_t*>(ExAllocatePoolWithTag(NonPagedPool, 100, kTag));
        block[PAGE_SIZE + 1] = 1;  // in the guard page after the block's only page
      },
      "");
#if defined(__SANITIZE_ADDRESS__)
  EXPECT_DEATH(
      {
        Machine machine;
        auto* block = static_cast<volatile uint8_t*>(ExAllocatePoolWithTag(NonPagedPool, 100, kTag));
        block[100] = 1;  // the first byte past the block
      },
      "AddressSanitizer");
#endif
}

}  // namespace
}  // namespace tqm::kernel::testing
