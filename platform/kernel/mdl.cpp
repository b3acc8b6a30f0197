// Memory descriptor lists and kernel-mode mappings.
//
// An MDL's page numbers are pages of the pool arena (pool.h), so an MDL built
// for nonpaged pool can later be mapped a second time into a simulated
// process. Kernel-mode mapping of such an MDL returns its system address, as
// the kernel does. User-mode mapping maps the same arena pages a second time
// into the current process (process.h); it raises when it cannot, as the
// kernel does, and can be undone only in the process that owns it.
//
// A user mapping hands the process every page it touches, whole: whatever
// else lies in those pages becomes readable and writable from user mode. The
// verifier therefore faults when a user mapping touches any page that the
// pool block it maps does not own entirely (pool.h places small blocks on
// shared pages, as the real pool does).
//
// MDLs themselves are pool blocks (tag "Mdl "), charged to the driver that
// allocates them, so one left behind shows at unload and their addresses are
// kernel addresses like any other.
#include <cstdio>
#include <cstdlib>
#include <vector>
#include <string>

#include "platform/kernel/internal.h"
#include "platform/kernel/pool.h"
#include "platform/kernel/process.h"

using namespace tqm::kernel;

namespace {
constexpr ULONG kMdlTag = 0x206C644D;  // "Mdl "
}  // namespace

extern "C" {

PMDL IoAllocateMdl(PVOID VirtualAddress, ULONG Length, BOOLEAN SecondaryBuffer,
                   BOOLEAN ChargeQuota, PIRP Irp) {
  RequireIrql(DISPATCH_LEVEL, "IoAllocateMdl", __builtin_return_address(0));
  if (Machine::Current().ShouldFail(FailurePoint::MdlAllocation)) return nullptr;
  const ULONG pages = ADDRESS_AND_SIZE_TO_SPAN_PAGES(VirtualAddress, Length);
  const size_t bytes = sizeof(MDL) + sizeof(PFN_NUMBER) * pages;
  auto* mdl = static_cast<PMDL>(Machine::Current().pool().Allocate(NonPagedPool, bytes, kMdlTag, CurrentDriver()));
  if (!mdl) return nullptr;
  memset(mdl, 0, bytes);
  mdl->Size = SHORT(bytes);
  mdl->StartVa = PAGE_ALIGN(VirtualAddress);
  mdl->ByteOffset = BYTE_OFFSET(VirtualAddress);
  mdl->ByteCount = Length;
  if (Irp) {
    if (SecondaryBuffer) {
      PMDL* link = &Irp->MdlAddress;
      while (*link) link = &(*link)->Next;
      *link = mdl;
    } else {
      Irp->MdlAddress = mdl;
    }
  }
  return mdl;
}

VOID IoFreeMdl(PMDL Mdl) {
  RequireIrql(DISPATCH_LEVEL, "IoFreeMdl", __builtin_return_address(0));
  ULONG actual = 0;
  bool overrun = false;
  if (!Mdl || !Machine::Current().pool().Free(Mdl, kMdlTag, true, &actual, &overrun) || overrun) {
    char text[96];
    std::snprintf(text, sizeof text, "IoFreeMdl of %p, which is not an MDL or was written past its end",
                  static_cast<void*>(Mdl));
    RaiseFault(FaultKind::PoolMisuse, text, __builtin_return_address(0));
  }
}

VOID MmBuildMdlForNonPagedPool(PMDL MemoryDescriptorList) {
  RequireIrql(DISPATCH_LEVEL, "MmBuildMdlForNonPagedPool", __builtin_return_address(0));
  PMDL mdl = MemoryDescriptorList;
  Pool& pool = Machine::Current().pool();
  const char* start = static_cast<const char*>(MmGetMdlVirtualAddress(mdl));
  if (!pool.Contains(start, mdl->ByteCount)) {
    RaiseFault(FaultKind::ObjectMisuse, "MmBuildMdlForNonPagedPool for memory that is not nonpaged pool",
          __builtin_return_address(0));
    return;
  }
  const ULONG pages = ADDRESS_AND_SIZE_TO_SPAN_PAGES(start, mdl->ByteCount);
  const uintptr_t first = pool.PageOf(mdl->StartVa);
  for (ULONG i = 0; i < pages; ++i) MmGetMdlPfnArray(mdl)[i] = first + i;
  mdl->MappedSystemVa = const_cast<char*>(start);
  mdl->MdlFlags |= MDL_SOURCE_IS_NONPAGED_POOL;
}

PVOID MmMapLockedPagesSpecifyCache(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode,
                                   MEMORY_CACHING_TYPE CacheType, PVOID BaseAddress,
                                   ULONG BugCheckOnFailure, MM_PAGE_PRIORITY Priority) {
  const void* caller = __builtin_return_address(0);
  PMDL mdl = MemoryDescriptorList;
  if (AccessMode == KernelMode) {
    RequireIrql(DISPATCH_LEVEL, "MmMapLockedPagesSpecifyCache", caller);
    if (mdl->MdlFlags & (MDL_MAPPED_TO_SYSTEM_VA | MDL_SOURCE_IS_NONPAGED_POOL)) {
      return mdl->MappedSystemVa;
    }
    RaiseFault(FaultKind::ObjectMisuse,
          "MmMapLockedPagesSpecifyCache of an MDL whose pages are neither built nor locked", caller);
    return nullptr;
  }
  RequireIrql(APC_LEVEL, "MmMapLockedPagesSpecifyCache(UserMode)", caller);
  if (Machine::Current().ShouldFail(FailurePoint::UserMapping)) ExRaiseStatus(STATUS_INSUFFICIENT_RESOURCES);
  Process* process = CurrentProcess();
  // The system process has no user address space.
  if (!process) ExRaiseStatus(STATUS_ACCESS_VIOLATION);
  if (!(mdl->MdlFlags & MDL_SOURCE_IS_NONPAGED_POOL)) {
    RaiseFault(FaultKind::ObjectMisuse,
               "MmMapLockedPagesSpecifyCache(UserMode) of an MDL not built for nonpaged pool", caller);
    ExRaiseStatus(STATUS_INVALID_PARAMETER);
  }
  std::string why;
  if (!Machine::Current().pool().OwnsPagesEntirely(MmGetMdlVirtualAddress(mdl), mdl->ByteCount, &why)) {
    char text[96];
    std::snprintf(text, sizeof text, "user mapping of %lu bytes at %p exposes ", static_cast<unsigned long>(mdl->ByteCount),
                  MmGetMdlVirtualAddress(mdl));
    RaiseFault(FaultKind::UserMappingMisuse,
               text + why + " to process '" + process->name() + "'", caller);
  }
  const ULONG pages = ADDRESS_AND_SIZE_TO_SPAN_PAGES(MmGetMdlVirtualAddress(mdl), mdl->ByteCount);
  std::vector<uintptr_t> frames(MmGetMdlPfnArray(mdl), MmGetMdlPfnArray(mdl) + pages);
  void* user = process->MapPages(frames, mdl->ByteOffset, mdl);
  if (!user) ExRaiseStatus(STATUS_INSUFFICIENT_RESOURCES);
  return user;
}

VOID MmUnmapLockedPages(PVOID BaseAddress, PMDL MemoryDescriptorList) {
  const void* caller = __builtin_return_address(0);
  PMDL mdl = MemoryDescriptorList;
  if (BaseAddress == mdl->MappedSystemVa) {
    RequireIrql(DISPATCH_LEVEL, "MmUnmapLockedPages", caller);
    return;
  }
  RequireIrql(APC_LEVEL, "MmUnmapLockedPages(user mapping)", caller);
  Process* process = CurrentProcess();
  if (process && process->UnmapPages(BaseAddress, mdl)) return;
  if (Process* owner = Process::MappingOwner(Machine::Current(), BaseAddress)) {
    char text[64];
    std::snprintf(text, sizeof text, "user mapping at %p", BaseAddress);
    RaiseFault(FaultKind::UserMappingMisuse,
               std::string(text) + " of process '" + owner->name() + "' unmapped from " +
                   (process ? "process '" + process->name() + "'" : std::string("the system process")) +
                   ": a user mapping can be undone only in its own process",
               caller);
    return;
  }
  RaiseFault(FaultKind::ObjectMisuse, "MmUnmapLockedPages of an address that is not a mapping of the MDL",
        __builtin_return_address(0));
}

}  // extern "C"
