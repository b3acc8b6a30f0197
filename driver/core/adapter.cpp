// The Adapter: one per started device. It owns the TransferMemory (the
// engine's 102400 bytes), the DeviceStatusBlock on a page of its own, the two
// status-block mappings, the notification slots and the stream engine.
//
// Created by the device start and destroyed by stop or removal, both under
// the extension's adapterLock held exclusive (pnp.cpp); commands hold it
// shared. The SharedBuffer is driver-wide and outlives Adapters; port 2's
// halves registered in it are checked against it whenever it or the period
// changes, under the driver mutex.
#include "driver/core/core.h"

namespace {

void SignalFromEngine(void* context, ULONG slot) { SignalSlot(static_cast<Adapter*>(context), slot); }

void ForgetAdapter(Adapter* adapter) {
  LockDriver();
  for (Adapter*& entry : g_driver.adapters)
    if (entry == adapter) entry = nullptr;
  UnlockDriver();
}

bool RememberAdapter(Adapter* adapter) {
  LockDriver();
  bool stored = false;
  for (Adapter*& entry : g_driver.adapters) {
    if (!entry) {
      entry = adapter;
      stored = true;
      break;
    }
  }
  UnlockDriver();
  return stored;
}

}  // namespace

Adapter* CreateAdapter(FdoExtension* fdx) {
  // Value-initialised: every table, slot and mapping starts empty.
  auto* adapter = new (kTagAdapter) Adapter();
  if (!adapter) return nullptr;
  adapter->fdo = fdx->self;
  adapter->companion.firstUse = 1;
  KeInitializeSpinLock(&adapter->slotLock);
  adapter->transferMemory = NewMappedBlock(engine::kEngineMemoryBytes, kTagTransferMemory);
  adapter->statusMemory = NewMappedBlock(sizeof(tqm::DeviceStatusBlock), kTagTransferMemory);
  if (!adapter->transferMemory || !adapter->statusMemory) {
    DestroyAdapter(adapter);
    return nullptr;
  }
  auto* memory = static_cast<UCHAR*>(adapter->transferMemory->memory);
  adapter->transferBytes = engine::kEngineMemoryBytes;
  adapter->statusBlock = static_cast<tqm::DeviceStatusBlock*>(adapter->statusMemory->memory);
  adapter->engine = new (kTagEngine) engine::StreamEngine(fdx->lower, memory, kEngineSizeValue, adapter->statusBlock);
  if (!adapter->engine || !RememberAdapter(adapter)) {
    DestroyAdapter(adapter);
    return nullptr;
  }
  adapter->engine->SetRegistryDevice(fdx->physical);
  adapter->engine->SetNotifySink({SignalFromEngine, adapter});
  if (!NT_SUCCESS(adapter->engine->StartWithSettings())) {
    DestroyAdapter(adapter);
    return nullptr;
  }
  return adapter;
}

void DestroyAdapter(Adapter* adapter) {
  // Out of the SharedBuffer's reach first: a release from another device
  // must not clear halves in an engine that is going.
  ForgetAdapter(adapter);
  if (adapter->engine) adapter->engine->StopForTeardown();
  UndoMapping(&adapter->controlMapping.mapping);
  UndoMapping(&adapter->streamMapping.mapping);
  delete adapter->engine;
  adapter->engine = nullptr;
  for (ULONG slot = 0; slot < kNotifySlots; ++slot) SetSlot(adapter, slot, nullptr);
  // The cells only ever hold what a slot held; a later failed reference must
  // not find an object that went with this Adapter.
  LockDriver();
  PVOID cells[kCells];
  for (ULONG i = 0; i < kCells; ++i) {
    cells[i] = g_driver.cells[i];
    g_driver.cells[i] = nullptr;
  }
  UnlockDriver();
  for (PVOID object : cells)
    if (object) ObDereferenceObject(object);
  if (adapter->transferMemory) ReleaseBlock(adapter->transferMemory);
  if (adapter->statusMemory) ReleaseBlock(adapter->statusMemory);
  delete adapter;
}

void SetSlot(Adapter* adapter, ULONG slot, PVOID object) {
  KIRQL irql;
  KeAcquireSpinLock(&adapter->slotLock, &irql);
  PVOID old = adapter->slots[slot];
  adapter->slots[slot] = object;
  KeReleaseSpinLock(&adapter->slotLock, irql);
  if (old) ObDereferenceObject(old);
}

void SignalSlot(Adapter* adapter, ULONG slot) {
  if (slot >= kNotifySlots) return;
  KIRQL irql;
  KeAcquireSpinLock(&adapter->slotLock, &irql);
  if (adapter->slots[slot]) KeSetEvent(static_cast<PKEVENT>(adapter->slots[slot]), IO_NO_INCREMENT, FALSE);
  KeReleaseSpinLock(&adapter->slotLock, irql);
}

bool SharedBufferContains(PVOID user, ULONG64 bytes, PVOID* kernel) {
  const SharedBuffer* shared = g_driver.shared;
  if (!shared || !user) return false;
  const ULONG_PTR start = reinterpret_cast<ULONG_PTR>(shared->mapping.user);
  const ULONG_PTR at = reinterpret_cast<ULONG_PTR>(user);
  if (at < start || at - start > shared->bytes || bytes > shared->bytes - (at - start)) return false;
  *kernel = static_cast<UCHAR*>(shared->kernel) + (at - start);
  return true;
}

void RecheckClientHalves(Adapter* adapter, bool all, ULONG period) {
  if (!adapter->engine) return;
  for (ULONG d = 0; d < 2; ++d) {
    for (ULONG c = 0; c < 2; ++c) {
      for (ULONG h = 0; h < 2; ++h) {
        ClientHalf& half = adapter->clientHalves[d][c][h];
        if (!half.user) continue;
        PVOID kernel = nullptr;
        if (!all && SharedBufferContains(half.user, ULONG64(period) * half.stride * sizeof(int32_t), &kernel))
          continue;
        adapter->engine->RegisterHalf(2, d, c, h, engine::SampleRun{nullptr, 0});
        half.user = nullptr;
        half.stride = 0;
      }
    }
  }
}

void ReleaseSharedBufferLocked() {
  SharedBuffer* shared = g_driver.shared;
  if (!shared) return;
  for (Adapter* adapter : g_driver.adapters)
    if (adapter) RecheckClientHalves(adapter, true, 0);
  g_driver.shared = nullptr;
  // The block goes with the mapping's undo, which may wait for its process.
  UndoMapping(&shared->mapping);
  delete shared;
}

void TakeSharedBufferLocked() {
  SharedBuffer* shared = g_driver.shared;
  if (!shared) return;
  for (Adapter* adapter : g_driver.adapters)
    if (adapter) RecheckClientHalves(adapter, true, 0);
  g_driver.shared = nullptr;
  shared->next = g_driver.taken;
  g_driver.taken = shared;
}

void ReleaseTakenBuffersLocked(PFILE_OBJECT file) {
  SharedBuffer** link = &g_driver.taken;
  while (*link) {
    SharedBuffer* taken = *link;
    if (taken->mapping.ownerFile != file) {
      link = &taken->next;
      continue;
    }
    *link = taken->next;
    UndoMapping(&taken->mapping);
    delete taken;
  }
}

namespace {

bool ClientChannelOpen(engine::StreamEngine* engine, ULONG channel) {
  return engine->ChannelOpen(2, engine::kPlayback, channel) || engine->ChannelOpen(2, engine::kRecord, channel);
}

bool WatchdogRunning(Adapter* adapter) {
  return engine::ReadShared(&adapter->statusBlock->watchdog) < tqm::kWatchdogLimit;
}

}  // namespace

bool StreamClientHealthyLocked() {
  for (Adapter* adapter : g_driver.adapters) {
    if (!adapter || !adapter->engine || !adapter->statusBlock) continue;
    if (ClientChannelOpen(adapter->engine, 0) && adapter->engine->PortOpen(2) && WatchdogRunning(adapter)) return true;
  }
  return false;
}

bool StreamClientGoneLocked() {
  if (StreamClientHealthyLocked()) return false;
  for (Adapter* adapter : g_driver.adapters) {
    if (!adapter || !adapter->engine || !adapter->statusBlock) continue;
    if ((ClientChannelOpen(adapter->engine, 0) || ClientChannelOpen(adapter->engine, 1)) && !WatchdogRunning(adapter))
      return true;
  }
  return false;
}

void CleanupFile(Adapter* adapter, PFILE_OBJECT file) {
  LockDriver();
  if (adapter) {
    if (adapter->controlMapping.mapping.ownerFile == file) UndoMapping(&adapter->controlMapping.mapping);
    if (adapter->streamMapping.mapping.ownerFile == file) UndoMapping(&adapter->streamMapping.mapping);
    // The channels this handle opened: a host that went away without closing
    // them would lock the next one out. Another host's stay open.
    for (ULONG d = 0; d < 2; ++d) {
      for (ULONG c = 0; c < 2; ++c) {
        if (adapter->channelFiles[d][c] != file) continue;
        adapter->channelFiles[d][c] = nullptr;
        if (adapter->engine && adapter->engine->ChannelOpen(2, d, c)) adapter->engine->CloseChannel(2, d, c);
      }
    }
  }
  if (g_driver.shared && g_driver.shared->mapping.ownerFile == file) ReleaseSharedBufferLocked();
  ReleaseTakenBuffersLocked(file);
  UnlockDriver();
}
