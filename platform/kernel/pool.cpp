// Pool blocks in the shared arena (pool.h), and the pool entry points.
#include "platform/kernel/pool.h"

#include <cstdio>
#include <cstdlib>
#include <thread>

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

bool IsPaged(POOL_TYPE type) { return type == PagedPool || type == PagedPoolCacheAligned; }

// Paging needs the host's fault handler to page a trimmed page back in.
#if defined(_WIN32)
constexpr bool kTrimsPagedPool = false;
#else
constexpr bool kTrimsPagedPool = true;
#endif
}  // namespace

Pool::Pool() {
  arena_ = static_cast<char*>(os::CreateArena(kArenaBytes, &arenaHandle_));
  if (!arena_) {
    std::fprintf(stderr, "pool: cannot create the %zu-byte arena\n", kArenaBytes);
    std::abort();
  }
  freeRuns_[0] = kArenaPages;
  TQM_POISON(arena_, kArenaBytes);
  pageState_.assign(kArenaPages, kNotPaged);
  // Paging in from the fault handler must not allocate.
  resident_.reserve(kArenaPages);
}

Pool::~Pool() {
  TQM_UNPOISON(arena_, kArenaBytes);
  os::DestroyArena(arena_, kArenaBytes, arenaHandle_);
}

size_t Pool::TakeRunLocked(size_t pages) {
  for (;;) {
    const size_t first = FindRunLocked(pages);
    if (first != kArenaPages || !ReleaseOldestLocked()) return first;
  }
}

size_t Pool::FindRunLocked(size_t pages) {
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

char* Pool::PlaceSmallLocked(size_t bytes, char** guardEnd, bool paged) {
  const size_t slot = (bytes + kAlignment - 1) / kAlignment * kAlignment;
  size_t& openPage = paged ? openPagedPage_ : openPage_;
  auto open = sharedPages_.find(openPage);
  if (open != sharedPages_.end()) {
    char* page = arena_ + openPage * kPage;
    // Below the lowest block, with guard bytes between.
    if (open->second.cursor >= page + slot + kGuardBytes) {
      char* start = open->second.cursor - kGuardBytes - slot;
      *guardEnd = open->second.cursor;
      open->second.cursor = start;
      ++open->second.live;
      return start;
    }
  }
  // A fresh page and its guard page; the page that was open stays until its
  // last block goes.
  const size_t first = TakeRunLocked(2);
  if (first == kArenaPages) return nullptr;
  // Guard pages are inaccessible; for the sanitizer they are addressable, so
  // that a touch faults as it would on the machine (and a guarded call sees
  // the fault).
  os::ProtectNone(arena_ + (first + 1) * kPage, kPage);
  TQM_UNPOISON(arena_ + (first + 1) * kPage, kPage);
  char* end = arena_ + (first + 1) * kPage;
  char* start = end - slot;
  openPage = first;
  sharedPages_[first] = SharedPage{start, 1, paged};
  if (paged) {
    LockPaging();
    MarkPagedLocked(first, 1);
    UnlockPaging();
  }
  *guardEnd = end;
  return start;
}

void Pool::ReleaseSmallLocked(size_t page) {
  auto it = sharedPages_.find(page);
  if (it != sharedPages_.end() && it->second.paged) {
    LockPaging();
    ForgetPagedLocked(page, 1);
    UnlockPaging();
  }
  sharedPages_.erase(page);
  if (openPage_ == page) openPage_ = SIZE_MAX;
  if (openPagedPage_ == page) openPagedPage_ = SIZE_MAX;
  QuarantineLocked(page, 2);
}

void Pool::LockPaging() {
  while (pagingLock_.test_and_set(std::memory_order_acquire)) std::this_thread::yield();
}

void Pool::UnlockPaging() { pagingLock_.clear(std::memory_order_release); }

void Pool::MarkPagedLocked(size_t first, size_t pages) {
  for (size_t page = first; page < first + pages; ++page) {
    if (pageState_[page] == kResident) continue;
    pageState_[page] = kResident;
    if (resident_.size() == resident_.capacity()) {
      // Pages freed since the last trim leave stale entries: drop them.
      std::erase_if(resident_, [this](size_t p) { return pageState_[p] != kResident; });
    }
    resident_.push_back(page);
  }
  residentCount_.store(resident_.size(), std::memory_order_relaxed);
}

void Pool::MakeResidentLocked(size_t first, size_t pages) {
  for (size_t page = first; page < first + pages; ++page) {
    if (pageState_[page] != kTrimmed) continue;
    os::ProtectReadWrite(arena_ + page * kPage, kPage);
    MarkPagedLocked(page, 1);
  }
}

void Pool::ForgetPagedLocked(size_t first, size_t pages) {
  MakeResidentLocked(first, pages);
  for (size_t page = first; page < first + pages; ++page) pageState_[page] = kNotPaged;
}

void Pool::Trim() {
  if (!kTrimsPagedPool || residentCount_.load(std::memory_order_relaxed) == 0) return;
  LockPaging();
  for (size_t page : resident_) {
    if (pageState_[page] != kResident) continue;
    os::ProtectNone(arena_ + page * kPage, kPage);
    pageState_[page] = kTrimmed;
  }
  resident_.clear();
  residentCount_.store(0, std::memory_order_relaxed);
  UnlockPaging();
}

bool Pool::PageIn(const void* address, bool* wasTrimmed) {
  if (!Contains(address, 1)) return false;
  const size_t page = PageOf(address);
  LockPaging();
  const bool trimmed = pageState_[page] == kTrimmed;
  if (trimmed) {
    os::ProtectReadWrite(arena_ + page * kPage, kPage);
    pageState_[page] = kResident;
    // Without room the page stays resident until it is freed: a missed
    // trim, never an allocation here.
    if (resident_.size() < resident_.capacity()) resident_.push_back(page);
    residentCount_.store(resident_.size(), std::memory_order_relaxed);
  }
  UnlockPaging();
  *wasTrimmed = trimmed;
  return trimmed;
}

// Quarantined pages are inaccessible and, for the sanitizer, addressable: a
// stale access then faults, and a guarded call sees that fault (pool.h).
void Pool::QuarantineLocked(size_t first, size_t pages) {
  char* base = arena_ + first * kPage;
  TQM_UNPOISON(base, pages * kPage);
  os::ProtectNone(base, pages * kPage);
  quarantine_.emplace_back(first, pages);
  quarantinedPages_ += pages;
  while (quarantinedPages_ > kQuarantinePages && ReleaseOldestLocked()) {
  }
}

bool Pool::ReleaseOldestLocked() {
  if (quarantine_.empty()) return false;
  const auto [first, pages] = quarantine_.front();
  quarantine_.pop_front();
  quarantinedPages_ -= pages;
  char* base = arena_ + first * kPage;
  os::ProtectReadWrite(base, pages * kPage);
  TQM_POISON(base, pages * kPage);
  ReturnRunLocked(first, pages);
  return true;
}

void* Pool::Allocate(POOL_TYPE type, size_t bytes, ULONG tag, PDRIVER_OBJECT owner) {
  std::lock_guard lock(mu_);
  char* block = nullptr;
  char* guardEnd = nullptr;
  size_t first = 0, pages = 0;
  const bool paged = IsPaged(type);
  if (bytes < kPage) {
    block = PlaceSmallLocked(bytes, &guardEnd, paged);
    if (!block) return nullptr;
    first = PageOf(block);
    if (paged) {
      // The open paged page may have been trimmed since its last block.
      LockPaging();
      MakeResidentLocked(first, 1);
      UnlockPaging();
    }
  } else {
    pages = (bytes + kPage - 1) / kPage + 1;
    first = TakeRunLocked(pages);
    if (first == kArenaPages) return nullptr;
    block = arena_ + first * kPage;
    guardEnd = block + (pages - 1) * kPage;
    os::ProtectNone(guardEnd, kPage);
    TQM_UNPOISON(guardEnd, kPage);
    if (paged) {
      LockPaging();
      MarkPagedLocked(first, pages - 1);
      UnlockPaging();
    }
  }
  TQM_UNPOISON(block, size_t(guardEnd - block));
  memset(block, kFillPattern, bytes);
  memset(block + bytes, kGuardPattern, size_t(guardEnd - block) - bytes);
  TQM_POISON(block + bytes, size_t(guardEnd - block) - bytes);
  blocks_[block] = Block{type, tag, bytes, first, pages, guardEnd, owner};
  TagUsage& u = usage_[tag];
  ++u.allocations;
  ++u.blocks;
  u.bytes += bytes;
  ++allocationCount_;
  return block;
}

bool Pool::Free(void* address, ULONG tag, bool checkTag, ULONG* actualTag, bool* overrun, POOL_TYPE* type) {
  std::lock_guard lock(mu_);
  auto it = blocks_.find(static_cast<const char*>(address));
  if (it == blocks_.end()) return false;
  const Block b = it->second;
  *actualTag = b.tag;
  if (type) *type = b.type;
  if (checkTag && b.tag != tag) return false;
  blocks_.erase(it);
  if (IsPaged(b.type)) {
    // The guard check and the freed pattern are the pool's own accesses.
    LockPaging();
    MakeResidentLocked(b.firstPage, b.pages ? b.pages - 1 : 1);
    UnlockPaging();
  }
  char* block = static_cast<char*>(address);
  TQM_UNPOISON(block + b.bytes, size_t(b.guardEnd - block) - b.bytes);
  bool damaged = false;
  for (const char* p = block + b.bytes; p < b.guardEnd && !damaged; ++p)
    damaged = uint8_t(*p) != kGuardPattern;
  if (overrun) *overrun = damaged;
  TQM_UNPOISON(block, b.bytes);
  memset(block, kFreedPattern, b.bytes);
  TQM_POISON(block, size_t(b.guardEnd - block));
  TagUsage& u = usage_[b.tag];
  ++u.frees;
  --u.blocks;
  u.bytes -= b.bytes;
  if (b.pages == 0) {
    auto page = sharedPages_.find(b.firstPage);
    // A page with no live block left is quarantined whole, the open one too:
    // its bytes are not reused from its end while a stale pointer may still
    // reach them.
    if (page != sharedPages_.end() && --page->second.live == 0) ReleaseSmallLocked(b.firstPage);
    return true;
  }
  if (IsPaged(b.type)) {
    LockPaging();
    ForgetPagedLocked(b.firstPage, b.pages - 1);
    UnlockPaging();
  }
  QuarantineLocked(b.firstPage, b.pages);
  return true;
}

bool Pool::FindBlock(const void* address, size_t bytes, const void** start, ULONG* tag,
                     size_t* blockBytes, POOL_TYPE* type) const {
  std::lock_guard lock(mu_);
  const char* p = static_cast<const char*>(address);
  auto it = blocks_.upper_bound(p);
  if (it == blocks_.begin()) return false;
  --it;
  if (p >= it->first + it->second.bytes || bytes > size_t(it->first + it->second.bytes - p)) return false;
  if (start) *start = it->first;
  if (tag) *tag = it->second.tag;
  if (blockBytes) *blockBytes = it->second.bytes;
  if (type) *type = it->second.type;
  return true;
}

std::string Pool::DescribePageLocked(size_t page, const char* except) const {
  const char* base = arena_ + page * kPage;
  std::string others;
  auto it = blocks_.upper_bound(base);
  if (it != blocks_.begin()) --it;
  for (; it != blocks_.end() && it->first < base + kPage; ++it) {
    if (it->first == except || it->first + it->second.bytes <= base) continue;
    char text[64];
    std::snprintf(text, sizeof text, "%s'%s' (%zu bytes)", others.empty() ? "" : ", ",
                  TagText(it->second.tag).c_str(), it->second.bytes);
    others += text;
  }
  return others.empty() ? "bytes no block of it owns" : "block(s) " + others;
}

bool Pool::OwnsPagesEntirely(const void* address, size_t bytes, std::string* why) const {
  std::lock_guard lock(mu_);
  const char* p = static_cast<const char*>(address);
  char text[160];
  auto it = blocks_.upper_bound(p);
  if (it == blocks_.begin() || p >= std::prev(it)->first + std::prev(it)->second.bytes) {
    std::snprintf(text, sizeof text, "%p is not inside a live pool block", address);
    if (why) *why = text;
    return false;
  }
  --it;
  const char* blockStart = it->first;
  const char* blockEnd = blockStart + it->second.bytes;
  const size_t firstPage = PageOf(p);
  const size_t lastPage = PageOf(p + (bytes ? bytes - 1 : 0));
  for (size_t page = firstPage; page <= lastPage; ++page) {
    const char* base = arena_ + page * kPage;
    if (base >= blockStart && base + kPage <= blockEnd) continue;
    std::snprintf(text, sizeof text, "page %zu, which block '%s' of %zu bytes at %p does not own entirely: it also holds ",
                  page, TagText(it->second.tag).c_str(), it->second.bytes, static_cast<const void*>(blockStart));
    if (why) *why = text + DescribePageLocked(page, blockStart);
    return false;
  }
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
  const bool paged = PoolType == PagedPool || PoolType == PagedPoolCacheAligned;
  if (paged && Self().irql > APC_LEVEL) {
    RaiseFault(FaultKind::PagedPoolAtDispatch,
               "ExAllocatePoolWithTag(PagedPool) at IRQL " + std::to_string(Self().irql), caller);
  }
  RequireIrql(DISPATCH_LEVEL, "ExAllocatePoolWithTag", caller);
  Machine& m = Machine::Current();
  if (m.ShouldFail(FailurePoint::PoolAllocation)) return nullptr;
  if (NumberOfBytes == 0) NumberOfBytes = 1;
#if !defined(_WIN32)
  // Paged pages go out at the next raise: the handler pages them back in.
  if (paged) InstallFaultHandlers();
#endif
  return m.pool().Allocate(PoolType, NumberOfBytes, Tag, CurrentDriver());
}

static void FreePool(PVOID P, ULONG Tag, bool checkTag, const void* caller) {
  RequireIrql(DISPATCH_LEVEL, "ExFreePool", caller);
  if (!P) {
    RaiseFault(FaultKind::PoolMisuse, "ExFreePool of a null pointer", caller);
    return;
  }
  ULONG actual = 0;
  bool overrun = false;
  POOL_TYPE type = NonPagedPool;
  Pool& pool = Machine::Current().pool();
  size_t bytes = 0;
  if (pool.FindBlock(P, 1, nullptr, nullptr, &bytes)) ForgetLocks(P, bytes);
  const bool freed = pool.Free(P, Tag, checkTag, &actual, &overrun, &type);
  if (freed && (type == PagedPool || type == PagedPoolCacheAligned) && Self().irql > APC_LEVEL) {
    char address[32];
    std::snprintf(address, sizeof address, "%p", P);
    RaiseFault(FaultKind::PagedPoolAtDispatch,
               std::string("paged pool block ") + address + " freed at IRQL " + std::to_string(Self().irql), caller);
  }
  if (freed && overrun) {
    char address[32];
    std::snprintf(address, sizeof address, "%p", P);
    RaiseFault(FaultKind::PoolMisuse,
               std::string("block ") + address + " tagged '" + Pool::TagText(actual) +
                   "' was written past its end (its guard bytes changed)",
               caller);
  }
  if (!freed) {
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
