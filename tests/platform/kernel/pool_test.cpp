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

TEST(Pool, SmallBlocksSharePagesAndLargeOnesStartWholePages) {
  Machine machine;
  struct Row {
    size_t bytes;
    ULONG tag;
  };
  const Row rows[] = {{100, kTag}, {76, kOtherTag}, {8, kTag}, {1000, kOtherTag}};
  std::vector<char*> blocks;
  for (const Row& row : rows) blocks.push_back(static_cast<char*>(ExAllocatePoolWithTag(NonPagedPool, row.bytes, row.tag)));
  for (size_t i = 0; i < blocks.size(); ++i) {
    SCOPED_TRACE(rows[i].bytes);
    ASSERT_NE(blocks[i], nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(blocks[i]) % Pool::kAlignment, 0u);
    // Blocks of different drivers' tags lie in one page, none overlapping.
    EXPECT_EQ(PAGE_ALIGN(blocks[i]), PAGE_ALIGN(blocks[0]));
    for (size_t j = 0; j < i; ++j)
      EXPECT_TRUE(blocks[i] + rows[i].bytes <= blocks[j] || blocks[j] + rows[j].bytes <= blocks[i]);
    const void* start = nullptr;
    ULONG tag = 0;
    size_t bytes = 0;
    ASSERT_TRUE(machine.pool().FindBlock(blocks[i] + rows[i].bytes - 1, 1, &start, &tag, &bytes));
    EXPECT_EQ(start, blocks[i]);
    EXPECT_EQ(tag, rows[i].tag);
    EXPECT_EQ(bytes, rows[i].bytes);
    EXPECT_FALSE(machine.pool().FindBlock(blocks[i] + rows[i].bytes, 1, nullptr, nullptr, nullptr));
    std::string why;
    EXPECT_FALSE(machine.pool().OwnsPagesEntirely(blocks[i], rows[i].bytes, &why));
    EXPECT_NE(why.find("it also holds block(s)"), std::string::npos) << why;
  }
  // The first block of a page lies against its end, within the alignment.
  EXPECT_LT(size_t(static_cast<char*>(PAGE_ALIGN(blocks[0])) + PAGE_SIZE - (blocks[0] + rows[0].bytes)),
            Pool::kAlignment);
  // A block of a page or more starts a page of its own.
  for (size_t bytes : {size_t(PAGE_SIZE), size_t(4196), size_t(3 * PAGE_SIZE)}) {
    auto* big = static_cast<char*>(ExAllocatePoolWithTag(NonPagedPool, bytes, kTag));
    ASSERT_NE(big, nullptr);
    EXPECT_EQ(BYTE_OFFSET(big), 0u) << bytes;
    EXPECT_EQ(machine.pool().OwnsPagesEntirely(big, bytes, nullptr), bytes % PAGE_SIZE == 0) << bytes;
    EXPECT_TRUE(machine.pool().OwnsPagesEntirely(big, bytes / PAGE_SIZE * PAGE_SIZE, nullptr)) << bytes;
    ExFreePool(big);
  }
  for (char* block : blocks) ExFreePool(block);
  EXPECT_EQ(machine.pool().Usage(kTag).blocks, 0u);
}

TEST(Pool, AWriteIntoTheGuardBytesIsReportedWhenTheBlockIsFreed) {
  // Written through a second view of the page, which neither the sanitizer
  // nor the guard page sees: the guard bytes alone must tell.
  struct Row {
    size_t bytes;
    size_t at;  // offset of the stray write from the block
    bool caught;
  };
  const Row rows[] = {{100, 100, true}, {100, 111, true}, {100, 127, true}, {100, 99, false}, {5000, 5000, true}, {5000, 4999, false}};
  for (const Row& row : rows) {
    SCOPED_TRACE(::testing::Message() << row.bytes << " bytes, write at " << row.at);
    Machine machine;
    FaultRecorder faults(machine);
    // The block is the second on its page when small: bytes below the one
    // above it are its guard.
    void* above = ExAllocatePoolWithTag(NonPagedPool, 64, kOtherTag);
    auto* block = static_cast<char*>(ExAllocatePoolWithTag(NonPagedPool, row.bytes, kTag));
    ASSERT_TRUE(above && block);
    const uintptr_t page = machine.pool().PageOf(block + row.at);
    auto* view = static_cast<char*>(machine.pool().MapSecondView({page}));
    ASSERT_NE(view, nullptr);
    view[BYTE_OFFSET(block + row.at)] = 0x11;
    machine.pool().UnmapSecondView(view, 1);
    ExFreePoolWithTag(block, kTag);
    const auto seen = faults.Take();
    if (row.caught) {
      ASSERT_EQ(seen.size(), 1u) << FaultRecorder::Describe(seen);
      EXPECT_EQ(seen[0].kind, FaultKind::PoolMisuse);
      EXPECT_NE(seen[0].what.find("written past its end"), std::string::npos) << seen[0].what;
    } else {
      EXPECT_TRUE(seen.empty()) << FaultRecorder::Describe(seen);
    }
    ExFreePool(above);
  }
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

TEST(Pool, FreedMemoryIsQuarantinedBeforeItIsHandedOutAgain) {
  Machine machine;
  // A small block's page, once empty, is not reused from its end at once.
  void* small = ExAllocatePoolWithTag(NonPagedPool, 48, kTag);
  ExFreePoolWithTag(small, kTag);
  void* nextSmall = ExAllocatePoolWithTag(NonPagedPool, 48, kTag);
  EXPECT_NE(PAGE_ALIGN(nextSmall), PAGE_ALIGN(small));
  ExFreePoolWithTag(nextSmall, kTag);
  // A freed run comes back only after about kQuarantinePages of later frees
  // have pushed it out of the quarantine: 3 pages per block of 2 (its guard
  // page included), so after some 340 blocks.
  constexpr size_t kBytes = 2 * PAGE_SIZE;
  void* first = ExAllocatePoolWithTag(NonPagedPool, kBytes, kTag);
  ExFreePoolWithTag(first, kTag);
  size_t reusedAt = 0;
  for (size_t i = 1; i <= 2 * Pool::kQuarantinePages / 3 && !reusedAt; ++i) {
    void* block = ExAllocatePoolWithTag(NonPagedPool, kBytes, kTag);
    ASSERT_NE(block, nullptr);
    // Any overlap with the first block's pages (freed runs coalesce).
    const auto at = reinterpret_cast<uintptr_t>(block), was = reinterpret_cast<uintptr_t>(first);
    if (at < was + kBytes + PAGE_SIZE && was < at + kBytes + PAGE_SIZE) reusedAt = i;
    ExFreePoolWithTag(block, kTag);
  }
  EXPECT_GE(reusedAt, Pool::kQuarantinePages / 3 - 2) << "a freed run came back too soon";
  EXPECT_NE(reusedAt, 0u) << "the quarantine never gave the run back";
}

TEST(PoolDeathTest, OverrunIntoTheGuardZoneIsCaught) {
#if defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "death tests fork a multi-threaded process, which ThreadSanitizer refuses";
#endif
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        Machine machine;
        auto* block = static_cast<volatile uint8_t*>(ExAllocatePoolWithTag(NonPagedPool, 100, kTag));
        // In the guard page after the block's page, which it shares.
        static_cast<volatile uint8_t*>(PAGE_ALIGN(const_cast<uint8_t*>(block)))[PAGE_SIZE + 1] = 1;
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
