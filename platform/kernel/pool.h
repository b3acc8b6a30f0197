// Pool: tagged kernel memory with per-tag accounting.
//
// Every block comes from one arena: a shared-memory object mapped once as the
// kernel's view (memfd on Linux, a file mapping on Windows), so that the same
// pages can be mapped a second time at another address (MapSecondView: the
// user views of a simulated process). Blocks are placed at the start of a run
// of whole pages followed by a guard page; the bytes after a block up to the
// end of its guard page are poisoned for AddressSanitizer and the guard page
// is inaccessible, so an overrun is caught with or without the sanitizer, and a
// freed block is poisoned until it is reused. New blocks are filled with a
// pattern, not zeroes, as real pool is not zeroed.
//
// Each block is charged to the driver that was running when it was allocated
// (the innermost driver routine of the thread), so that unloading a driver
// can report what it left behind, by tag. One lock guards everything here.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <unordered_map>
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

  Pool();
  ~Pool();
  Pool(const Pool&) = delete;
  Pool& operator=(const Pool&) = delete;

  // Null when the arena is exhausted.
  void* Allocate(POOL_TYPE type, size_t bytes, ULONG tag, PDRIVER_OBJECT owner);
  // False when block is not an allocated block (or the tag does not match
  // when checkTag is set); the caller reports that.
  bool Free(void* block, ULONG tag, bool checkTag, ULONG* actualTag);

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

 private:
  struct Block {
    ULONG tag;
    size_t bytes;
    size_t firstPage;
    size_t pages;  // including the guard page
    PDRIVER_OBJECT owner;
  };

  size_t TakeRunLocked(size_t pages);
  void ReturnRunLocked(size_t first, size_t pages);

  mutable std::mutex mu_;
  intptr_t arenaHandle_ = -1;
  char* arena_ = nullptr;
  std::map<size_t, size_t> freeRuns_;  // first page -> page count, coalesced
  std::unordered_map<const void*, Block> blocks_;
  std::map<ULONG, TagUsage> usage_;
  uint64_t allocationCount_ = 0;
};

}  // namespace tqm::kernel
