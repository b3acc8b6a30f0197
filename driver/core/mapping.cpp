// User mappings of driver memory: the status block's two mappings and the
// SharedBuffer's.
//
// A user mapping can be undone only in the process it was made in. Requests
// run in their caller's process, so a client's own map and unmap commands
// undo at once; an undo asked for from elsewhere (the panel releasing the
// ASIO client's SharedBuffer, the Adapter's teardown on a Plug and Play
// thread) is queued and carried out at the owner's next command or, at the
// latest, when the owner's handle is cleaned up, which runs in the owner's
// process. The memory behind a mapping is held by the mapping, so it stays
// until the undo has happened.
//
// Every mapping carries its queue node from the moment it is made: queueing
// an undo can never fail for want of memory.
#include "driver/core/core.h"
#include "driver/guarded_call.h"

namespace {

struct MapCall {
  PMDL mdl;
  PVOID user;
};

// The mapping call raises when the process has no room for the view.
NTSTATUS MapBody(PVOID context) {
  auto* call = static_cast<MapCall*>(context);
  call->user = MmMapLockedPagesSpecifyCache(call->mdl, UserMode, MmCached, nullptr, FALSE, NormalPagePriority);
  return call->user ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
}

void Unmap(UserMapping* mapping) {
  MmUnmapLockedPages(mapping->user, mapping->mdl);
  IoFreeMdl(mapping->mdl);
  ReleaseBlock(mapping->block);
}

}  // namespace

MappedBlock* NewMappedBlock(ULONG bytes, ULONG tag) {
  bytes = WholePages(bytes);
  if (bytes == 0) return nullptr;
  auto* block = new (tag) MappedBlock;
  if (!block) return nullptr;
  block->memory = ExAllocatePoolWithTag(NonPagedPool, bytes, tag);
  if (!block->memory) {
    delete block;
    return nullptr;
  }
  RtlZeroMemory(block->memory, bytes);
  block->bytes = bytes;
  block->tag = tag;
  block->holders = 1;
  return block;
}

void ReleaseBlock(MappedBlock* block) {
  if (InterlockedDecrement(&block->holders) != 0) return;
  ExFreePoolWithTag(block->memory, block->tag);
  delete block;
}

NTSTATUS MapIntoCaller(MappedBlock* block, PVOID kernel, ULONG bytes, PFILE_OBJECT file, UserMapping* out) {
  auto* node = new (block->tag) DeferredUndo;
  if (!node) return STATUS_INSUFFICIENT_RESOURCES;
  PMDL mdl = IoAllocateMdl(kernel, bytes, FALSE, FALSE, nullptr);
  if (!mdl) {
    delete node;
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  MmBuildMdlForNonPagedPool(mdl);
  MapCall call = {mdl, nullptr};
  if (!NT_SUCCESS(TqmGuardedCall(MapBody, &call)) || !call.user) {
    IoFreeMdl(mdl);
    delete node;
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  InterlockedIncrement(&block->holders);
  out->mdl = mdl;
  out->user = call.user;
  out->owner = IoGetCurrentProcess();
  out->ownerFile = file;
  out->block = block;
  out->node = node;
  return STATUS_SUCCESS;
}

void UndoMapping(UserMapping* mapping) {
  if (!mapping->mdl) return;
  DeferredUndo* node = mapping->node;
  if (mapping->owner == IoGetCurrentProcess()) {
    Unmap(mapping);
    delete node;
  } else {
    node->mapping = *mapping;
    node->mapping.node = nullptr;
    ExAcquireFastMutex(&g_driver.deferredMutex);
    node->next = g_driver.deferred;
    g_driver.deferred = node;
    ExReleaseFastMutex(&g_driver.deferredMutex);
  }
  RtlZeroMemory(mapping, sizeof *mapping);
}

void RunDeferredUndos() {
  const PEPROCESS current = IoGetCurrentProcess();
  DeferredUndo* mine = nullptr;
  ExAcquireFastMutex(&g_driver.deferredMutex);
  DeferredUndo** link = &g_driver.deferred;
  while (*link) {
    DeferredUndo* node = *link;
    if (node->mapping.owner == current) {
      *link = node->next;
      node->next = mine;
      mine = node;
    } else {
      link = &node->next;
    }
  }
  ExReleaseFastMutex(&g_driver.deferredMutex);
  while (mine) {
    DeferredUndo* node = mine;
    mine = node->next;
    Unmap(&node->mapping);
    delete node;
  }
}
