// Pool blocks in the shared arena (pool.h), and the pool entry points.
#include "platform/kernel/pool.h"

#include <cstdio>
#include <cstdlib>

#include "platform/kernel/internal.h"
#include "platform/kernel/os.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#define TQM_POISON(address, bytes) ASAN_POISON_MEMORY_REGION((address), (bytes))
#define TQM_UNPOISON(address, bytes) ASAN_UNPOISON_MEMORY_REGION((address), (bytes))
#else
#define TQM_POISON(address, bytes) ((void)(address), (void)(bytes))
#define TQM_UNPOISON(address, bytes) ((void)(address), (void)(bytes))
#endif

namespace tqm::kernel {

namespace {
constexpr size_t kPage = PAGE_SIZE;
constexpr size_t kArenaPages = Pool::kArenaBytes / kPage;
}  // namespace

Pool::Pool() {
  arena_ = static_cast<char*>(os::CreateArena(kArenaBytes, &arenaHandle_));
  if (!arena_) {
    std::fprintf(stderr, "pool: cannot create the %zu-byte arena\n", kArenaBytes);
    std::abort();
  }
  freeRuns_[0] = kArenaPages;
  TQM_POISON(arena_, kArenaBytes);
}

Pool::~Pool() {
  TQM_UNPOISON(arena_, kArenaBytes);
  os::DestroyArena(arena_, kArenaBytes, arenaHandle_);
}

size_t Pool::TakeRunLocked(size_t pages) {
  for (auto it = freeRuns_.begin(); it != freeRuns_.end(); ++it) {
    if (it->second < pages) continue;
    const size_t first = it->first;
    const size_t left = it->second - pages;
    freeRuns_.erase(it);
    if (left) freeRuns_[first + pages] = left;
    return first;
  }
  return kArenaPages;
}

void Pool::ReturnRunLocked(size_t first, size_t pages) {
  auto next = freeRuns_.lower_bound(first);
  if (next != freeRuns_.end() && first + pages == next->first) {
    pages += next->second;
    next = freeRuns_.erase(next);
  }
  if (next != freeRuns_.begin()) {
    auto previous = std::prev(next);
    if (previous->first + previous->second == first) {
      previous->second += pages;
      return;
    }
  }
  freeRuns_[first] = pages;
}

void* Pool::Allocate(POOL_TYPE type, size_t bytes, ULONG tag, PDRIVER_OBJECT owner) {
  const size_t pages = (bytes + kPage - 1) / kPage + 1;
  std::lock_guard lock(mu_);
  const size_t first = TakeRunLocked(pages);
  if (first == kArenaPages) return nullptr;
  char* block = arena_ + first * kPage;
  char* guard = block + (pages - 1) * kPage;
  os::ProtectNone(guard, kPage);
  TQM_UNPOISON(block, bytes);
  memset(block, kFillPattern, bytes);
  blocks_[block] = Block{tag, bytes, first, pages, owner};
  TagUsage& u = usage_[tag];
  ++u.allocations;
  ++u.blocks;
  u.bytes += bytes;
  ++allocationCount_;
  return block;
}

bool Pool::Free(void* address, ULONG tag, bool checkTag, ULONG* actualTag) {
  std::lock_guard lock(mu_);
  auto it = blocks_.find(address);
  if (it == blocks_.end()) return false;
  const Block b = it->second;
  *actualTag = b.tag;
  if (checkTag && b.tag != tag) return false;
  blocks_.erase(it);
  char* block = arena_ + b.firstPage * kPage;
  os::ProtectReadWrite(block + (b.pages - 1) * kPage, kPage);
  TQM_POISON(block, b.pages * kPage);
  TagUsage& u = usage_[b.tag];
  ++u.frees;
  --u.blocks;
  u.bytes -= b.bytes;
  ReturnRunLocked(b.firstPage, b.pages);
  return true;
}

uint64_t Pool::AllocationCount() const {
  std::lock_guard lock(mu_);
  return allocationCount_;
}

TagUsage Pool::Usage(ULONG tag) const {
  std::lock_guard lock(mu_);
  auto it = usage_.find(tag);
  return it == usage_.end() ? TagUsage{} : it->second;
}

std::map<ULONG, TagUsage> Pool::UsageByTag() const {
  std::lock_guard lock(mu_);
  return usage_;
}

std::map<ULONG, TagUsage> Pool::Outstanding(PDRIVER_OBJECT owner) const {
  std::lock_guard lock(mu_);
  std::map<ULONG, TagUsage> result;
  for (const auto& [address, b] : blocks_) {
    if (b.owner != owner) continue;
    TagUsage& u = result[b.tag];
    ++u.blocks;
    u.bytes += b.bytes;
  }
  return result;
}

bool Pool::Contains(const void* address, size_t bytes) const {
  const auto* p = static_cast<const char*>(address);
  return p >= arena_ && bytes <= kArenaBytes && p <= arena_ + kArenaBytes - bytes;
}

uintptr_t Pool::PageOf(const void* address) const {
  return uintptr_t(static_cast<const char*>(address) - arena_) / kPage;
}

void* Pool::MapSecondView(const std::vector<uintptr_t>& pages) {
  if (pages.empty()) return nullptr;
  bool contiguous = true;
  for (size_t i = 1; i < pages.size(); ++i) contiguous = contiguous && pages[i] == pages[0] + i;
  if (contiguous) return os::MapArena(arenaHandle_, pages[0] * kPage, pages.size() * kPage, nullptr);
  char* view = static_cast<char*>(os::ReserveView(pages.size() * kPage));
  if (!view) return nullptr;
  for (size_t i = 0; i < pages.size(); ++i) {
    if (!os::MapArena(arenaHandle_, pages[i] * kPage, kPage, view + i * kPage)) {
      os::UnmapView(view, pages.size() * kPage);
      return nullptr;
    }
  }
  return view;
}

void Pool::UnmapSecondView(void* view, size_t pageCount) { os::UnmapView(view, pageCount * kPage); }

std::string Pool::TagText(ULONG tag) {
  std::string text;
  for (int i = 0; i < 4; ++i) {
    const char c = char((tag >> (8 * i)) & 0xFF);
    text += (c >= 0x20 && c < 0x7F) ? c : '.';
  }
  return text;
}

}  // namespace tqm::kernel

using namespace tqm::kernel;

extern "C" {

PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag) {
  const void* caller = __builtin_return_address(0);
  RequireIrql(PoolType == PagedPool || PoolType == PagedPoolCacheAligned ? APC_LEVEL : DISPATCH_LEVEL,
              "ExAllocatePoolWithTag", caller);
  Machine& m = Machine::Current();
  if (m.ShouldFail(FailurePoint::PoolAllocation)) return nullptr;
  if (NumberOfBytes == 0) NumberOfBytes = 1;
  return m.pool().Allocate(PoolType, NumberOfBytes, Tag, CurrentDriver());
}

static void FreePool(PVOID P, ULONG Tag, bool checkTag, const void* caller) {
  RequireIrql(DISPATCH_LEVEL, "ExFreePool", caller);
  if (!P) {
    RaiseFault(FaultKind::PoolMisuse, "ExFreePool of a null pointer", caller);
    return;
  }
  ULONG actual = 0;
  if (!Machine::Current().pool().Free(P, Tag, checkTag, &actual)) {
    char address[32];
    std::snprintf(address, sizeof address, "%p", P);
    if (actual != 0 && actual != Tag) {
      RaiseFault(FaultKind::PoolMisuse,
            std::string("ExFreePoolWithTag of block ") + address + " tagged '" +
                Pool::TagText(actual) + "' with tag '" + Pool::TagText(Tag) + "'",
            caller);
    } else {
      RaiseFault(FaultKind::PoolMisuse,
            std::string("freeing ") + address + ", which is not an allocated pool block", caller);
    }
  }
}

VOID ExFreePoolWithTag(PVOID P, ULONG Tag) { FreePool(P, Tag, true, __builtin_return_address(0)); }

VOID ExFreePool(PVOID P) { FreePool(P, 0, false, __builtin_return_address(0)); }

}  // extern "C"
