// Pool: tagged kernel memory with per-tag accounting.
//
// Every block comes from one arena: a shared-memory object mapped once as the
// kernel's view (memfd on Linux, a file mapping on Windows), so that the same
// pages can be mapped a second time at another address (MapSecondView: the
// user views of a simulated process).
//
// Placement follows the real pool closely enough to show what a driver
// exposes when it maps pool into a process. A block of a page or more starts
// a run of whole pages of its own, followed by a guard page. Smaller blocks
// share pages with each other, whatever their tags: each shared page is
// followed by a guard page and filled from its end downwards, 16-byte
// aligned, the first block against the end of the page and every later one
// against 16 guard bytes below its neighbour. The bytes between a block's end
// and the next block (or the guard page) hold a guard pattern that is checked
// when the block is freed, and are poisoned for AddressSanitizer; the guard
// page is inaccessible. So an overrun is caught with or without the
// sanitizer. New blocks are filled with a pattern, not zeroes, as real pool is
// not zeroed.
//
// Freed memory is quarantined before it is reused, as the verifier's special
// pool does: a freed block's bytes are overwritten with a freed pattern (and
// poisoned for the sanitizer), and pages that no live block holds any more
// are made inaccessible and put at the end of a queue; only pages that leave
// the queue (when it holds more than kQuarantinePages, or when the arena is
// otherwise exhausted) are handed out again. So a use after free faults or
// reads the freed pattern; it does not land in a live block.
//
// Paged pool is paged out whenever a thread raises to DISPATCH_LEVEL, as the
// verifier's IRQL checking trims it: blocks of paged pool live on pages of
// their own (small ones share pages only with each other), and those pages
// are made inaccessible by Trim. The host's fault handler pages a trimmed
// page back in (PageIn) and lets the access run again; a thread at
// DISPATCH_LEVEL or above that touches one is reported (PagedPoolAtDispatch).
// A page one thread paged in stays resident until the next raise, so a
// touch at DISPATCH_LEVEL is caught for certain only when no other thread
// paged the page in meanwhile. The pool's own accesses (filling, checking
// and freeing a block) page in first. Only the POSIX host has the fault
// handler; elsewhere paged pool stays resident.
//
// Each block is charged to the driver that was running when it was allocated
// (the innermost driver routine of the thread), so that unloading a driver
// can report what it left behind, by tag. One lock guards everything here.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <cstddef>
#include <vector>

#include <wdm.h>

namespace tqm::kernel {

struct TagUsage {
  uint64_t allocations = 0;  // successful allocations with this tag, ever
  uint64_t frees = 0;
  uint64_t blocks = 0;       // outstanding
  uint64_t bytes = 0;        // outstanding
};

class Pool {
 public:
  static constexpr size_t kArenaBytes = size_t(64) << 20;
  static constexpr uint8_t kFillPattern = 0xA5;
  // The bytes after a block up to its neighbour or its guard page.
  static constexpr uint8_t kGuardPattern = 0xC7;
  static constexpr size_t kAlignment = 16;
  static constexpr size_t kGuardBytes = 16;  // at least, between shared-page blocks
  static constexpr uint8_t kFreedPattern = 0xDF;
  static constexpr size_t kQuarantinePages = 1024;  // 4 MiB of freed pages held back

  Pool();
  ~Pool();
  Pool(const Pool&) = delete;
  Pool& operator=(const Pool&) = delete;

  // Null when the arena is exhausted.
  void* Allocate(POOL_TYPE type, size_t bytes, ULONG tag, PDRIVER_OBJECT owner);
  // False when block is not an allocated block (or the tag does not match
  // when checkTag is set); the caller reports that. *overrun is set when the
  // guard bytes after the block were written (the block is freed anyway).
  // *type gets the pool type the block was allocated with.
  bool Free(void* block, ULONG tag, bool checkTag, ULONG* actualTag, bool* overrun = nullptr,
            POOL_TYPE* type = nullptr);

  // The live block that [address, address + bytes) lies in: its start, tag
  // and length; false when there is none.
  bool FindBlock(const void* address, size_t bytes, const void** start, ULONG* tag, size_t* blockBytes,
                 POOL_TYPE* type = nullptr) const;
  // Whole pages a user mapping of [address, address + bytes) would expose:
  // true when every byte of every page the range touches belongs to the one
  // live block the range starts in. Otherwise false, with *why saying which
  // page holds what else.
  bool OwnsPagesEntirely(const void* address, size_t bytes, std::string* why) const;

  // Successful allocations of any tag since the machine started.
  uint64_t AllocationCount() const;
  TagUsage Usage(ULONG tag) const;
  std::map<ULONG, TagUsage> UsageByTag() const;
  // Outstanding blocks charged to a driver, by tag.
  std::map<ULONG, TagUsage> Outstanding(PDRIVER_OBJECT owner) const;

  // The arena: true when [address, address + bytes) lies inside it.
  bool Contains(const void* address, size_t bytes) const;
  // Page number within the arena of an address inside it.
  uintptr_t PageOf(const void* address) const;
  // Maps the given arena pages, in order, as one more view; null on failure.
  void* MapSecondView(const std::vector<uintptr_t>& pages);
  void UnmapSecondView(void* view, size_t pageCount);
  // The arena's shared-memory object (the memfd's descriptor on Linux), for a
  // client in another host process that maps its own views of it.
  intptr_t arenaHandle() const { return arenaHandle_; }

  static std::string TagText(ULONG tag);

  // Pages out every resident page of paged pool (a thread raised to
  // DISPATCH_LEVEL).
  void Trim();
  // The fault handler's part: when address lies on a page of paged pool,
  // makes the page accessible again and returns true, with *wasTrimmed set
  // when it had been paged out (rather than caught between a trim and a
  // page-in of another thread).
  bool PageIn(const void* address, bool* wasTrimmed);

 private:
  struct Block {
    POOL_TYPE type;
    ULONG tag;
    size_t bytes;
    size_t firstPage;
    size_t pages;       // including the guard page; 0 for a block on a shared page
    char* guardEnd;     // the guard bytes after the block end here
    PDRIVER_OBJECT owner;
  };
  // A page shared by blocks under a page, with its guard page behind it.
  struct SharedPage {
    char* cursor;       // the lowest byte in use; blocks go below it
    size_t live = 0;
    bool paged = false;
  };
  enum PageState : uint8_t { kNotPaged = 0, kResident, kTrimmed };

  // Takes a free run, releasing quarantined pages when there is none.
  size_t TakeRunLocked(size_t pages);
  size_t FindRunLocked(size_t pages);
  void ReturnRunLocked(size_t first, size_t pages);
  char* PlaceSmallLocked(size_t bytes, char** guardEnd, bool paged);
  // Paged pages: marking them (resident), paging them in for the pool's own
  // access, forgetting them as they are freed. Under pagingLock_.
  void MarkPagedLocked(size_t first, size_t pages);
  void MakeResidentLocked(size_t first, size_t pages);
  void ForgetPagedLocked(size_t first, size_t pages);
  void LockPaging();
  void UnlockPaging();
  void ReleaseSmallLocked(size_t page);
  // Puts freed pages (made inaccessible) at the end of the quarantine.
  void QuarantineLocked(size_t first, size_t pages);
  // Hands the oldest quarantined run back to the free runs; false when none.
  bool ReleaseOldestLocked();
  std::string DescribePageLocked(size_t page, const char* except) const;

  mutable std::mutex mu_;
  intptr_t arenaHandle_ = -1;
  char* arena_ = nullptr;
  std::map<size_t, size_t> freeRuns_;  // first page -> page count, coalesced
  std::map<const char*, Block> blocks_;  // by start, for lookups by address
  std::map<size_t, SharedPage> sharedPages_;
  size_t openPage_ = SIZE_MAX;           // the shared page new small blocks go to
  size_t openPagedPage_ = SIZE_MAX;      // the same for paged pool
  // Paging: a state per arena page and the pages paged in since the last
  // trim, under pagingLock_ (a spin flag: the fault handler takes it).
  std::atomic_flag pagingLock_ = ATOMIC_FLAG_INIT;
  std::vector<uint8_t> pageState_;
  std::vector<size_t> resident_;
  std::atomic<size_t> residentCount_{0};
  std::deque<std::pair<size_t, size_t>> quarantine_;  // first page, page count; oldest first
  size_t quarantinedPages_ = 0;
  std::map<ULONG, TagUsage> usage_;
  uint64_t allocationCount_ = 0;
};

}  // namespace tqm::kernel
