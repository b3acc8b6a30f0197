// DispatchControl: the driver's one user-mode command path.
//
// Every request carries a 128-byte CommandRecord in its system buffer (the
// control code is METHOD_BUFFERED), which the handlers read and rewrite in
// place. Requests run to completion in the caller's thread: that is what lets
// the map commands map into the caller and the settings and shared-buffer
// commands reach the caller's addresses, always through CopyFromCaller and
// CopyToCaller. Anything may arrive from any process: lengths, indexes,
// handles and addresses are all checked before they are used.
//
// Locks: the RemoveLock keeps the extension alive; the adapterLock (shared)
// keeps the Adapter alive for the whole command; the driver mutex guards the
// SharedBuffer descriptor, the cells and the mapping records.
#include "driver/core/core.h"
#include "driver/guarded_call.h"

namespace {

using tqm::CommandRecord;
namespace Field = tqm::Field;

struct CopyCall {
  PVOID to;
  const void* from;
  ULONG bytes;
  bool toCaller;
};

NTSTATUS CopyBody(PVOID context) {
  auto* call = static_cast<CopyCall*>(context);
  if (call->toCaller)
    ProbeForWrite(call->to, call->bytes, 1);
  else
    ProbeForRead(call->from, call->bytes, 1);
  RtlCopyMemory(call->to, call->from, call->bytes);
  return STATUS_SUCCESS;
}

PVOID SlotPointer(const CommandRecord* record, ULONG offset) {
  return reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(record->GetSlot(offset)));
}

bool IsAllowedWhenSurpriseRemoved(ULONG commandClass, ULONG op) {
  if (commandClass == tqm::CMD_CLASS_STREAM)
    return op == tqm::StreamOp::SetClientBuffer || op == tqm::StreamOp::AllocSharedBuffer ||
           op == tqm::StreamOp::MapStatusBlock;
  return commandClass == tqm::CMD_CLASS_CONTROL && op == tqm::ControlOp::MapStatusBlock;
}

// The SharedBuffer is driver-wide, so the stream client's health is judged
// over every device: 0 without a buffer; 1 while no device's port 2 has
// channel 0 open in either direction; otherwise 1 only while it streams
// healthily on some device.
ULONG StreamHealth() {
  if (!g_driver.shared) return 0;
  bool anyOpen = false;
  for (Adapter* adapter : g_driver.adapters) {
    if (!adapter || !adapter->engine) continue;
    anyOpen = anyOpen || adapter->engine->ChannelOpen(2, engine::kPlayback, 0) ||
              adapter->engine->ChannelOpen(2, engine::kRecord, 0);
  }
  if (!anyOpen) return 1;
  return StreamClientHealthyLocked() ? 1 : 0;
}

// Handle to slot: the object is referenced as an event (anything else in a
// slot would be signalled as one), kept in the command's driver-wide cell and
// copied into the slot. A failed reference leaves the slot with the cell's
// contents, which are only ever what the slot already holds.
NTSTATUS SetEventSlot(Adapter* adapter, ULONG cell, ULONG slot, PVOID handle) {
  PVOID object = nullptr;
  NTSTATUS status = STATUS_SUCCESS;
  if (handle)
    status = ObReferenceObjectByHandle(handle, 0, *ExEventObjectType, UserMode, &object, nullptr);
  PVOID forSlot = nullptr;
  PVOID released = nullptr;
  LockDriver();
  if (!handle || NT_SUCCESS(status)) {
    released = g_driver.cells[cell];
    g_driver.cells[cell] = object;
    forSlot = object;
  } else {
    forSlot = g_driver.cells[cell];
  }
  if (forSlot) ObReferenceObject(forSlot);
  UnlockDriver();
  if (released) ObDereferenceObject(released);
  SetSlot(adapter, slot, forSlot);
  return status;
}

NTSTATUS MapStatusBlock(Adapter* adapter, StatusMapping* target, CommandRecord* record, PFILE_OBJECT file) {
  LockDriver();
  UserMapping& mapping = target->mapping;
  if (record->Get32(Field::MapFlag) != 1) {
    UndoMapping(&mapping);
    UnlockDriver();
    return STATUS_SUCCESS;
  }
  if (mapping.mdl) {
    // Another host would take the block from the one that has it.
    if (mapping.owner != IoGetCurrentProcess()) {
      UnlockDriver();
      return STATUS_DEVICE_BUSY;
    }
    UndoMapping(&mapping);
  }
  UserMapping fresh = {};
  // A mapping that cannot be made leaves the record as it was: the client
  // sees no address. The token is a sequence number, non-zero, never the
  // address of anything in the kernel; unmapping does not consult it.
  if (NT_SUCCESS(MapIntoCaller(adapter->statusMemory, adapter->statusBlock, sizeof(tqm::DeviceStatusBlock),
                               file, &fresh))) {
    mapping = fresh;
    target->token = ++g_driver.lastToken;
    record->SetSlot(Field::StatusAddress, reinterpret_cast<ULONG_PTR>(fresh.user));
    record->SetSlot(Field::StatusToken, target->token);
  }
  UnlockDriver();
  return STATUS_SUCCESS;
}

NTSTATUS SetClientBuffer(Adapter* adapter, const CommandRecord* record) {
  const ULONG direction = record->Get32(Field::Direction);
  const ULONG channel = record->Get32(Field::Channel);
  const ULONG half = record->Get32(Field::Half);
  const ULONG stride = record->Get32(Field::Stride);
  PVOID user = SlotPointer(record, Field::HalfAddress);
  if (direction > 1 || channel > 1 || half > 1) return STATUS_INVALID_PARAMETER;
  LockDriver();
  NTSTATUS status = STATUS_SUCCESS;
  ClientHalf& slot = adapter->clientHalves[direction][channel][half];
  if (!user) {
    adapter->engine->RegisterHalf(2, direction, channel, half, engine::SampleRun{nullptr, 0});
    slot.user = nullptr;
    slot.stride = 0;
  } else {
    // The half must lie inside the SharedBuffer as the caller's own process
    // maps it (another process's addresses mean something else), aligned
    // for its samples.
    PVOID kernel = nullptr;
    const ULONG64 bytes = ULONG64(adapter->engine->periodFrames()) * stride * sizeof(int32_t);
    const bool callersBuffer = g_driver.shared && g_driver.shared->mapping.owner == IoGetCurrentProcess();
    if (stride == 0 || (reinterpret_cast<ULONG_PTR>(user) & (sizeof(int32_t) - 1)) != 0 || !callersBuffer ||
        !SharedBufferContains(user, bytes, &kernel)) {
      status = STATUS_INVALID_PARAMETER;
    } else {
      adapter->engine->RegisterHalf(2, direction, channel, half,
                                    engine::SampleRun{static_cast<int32_t*>(kernel), stride});
      slot.user = user;
      slot.stride = stride;
    }
  }
  UnlockDriver();
  return status;
}

// Each channel remembers the handle that opened it, so that the cleanup of
// any host closes exactly its own.
NTSTATUS SetChannel(Adapter* adapter, ULONG direction, ULONG channel, bool on, PFILE_OBJECT file) {
  LockDriver();
  NTSTATUS status;
  if (on) {
    status = adapter->engine->OpenChannel(2, direction, channel);
    if (NT_SUCCESS(status)) adapter->channelFiles[direction][channel] = file;
  } else {
    status = adapter->engine->CloseChannel(2, direction, channel);
    if (!adapter->engine->ChannelOpen(2, direction, channel)) adapter->channelFiles[direction][channel] = nullptr;
  }
  UnlockDriver();
  return status;
}

NTSTATUS ActivateChannelMask(Adapter* adapter, CommandRecord* record, PFILE_OBJECT file) {
  const ULONG mask = record->Get32(Field::ChannelMask);
  const bool on = record->Get32(Field::OnOff) != 0;
  // The engine's port has two channels each way.
  if (mask & ~0x00030003u) return STATUS_INVALID_PARAMETER;
  NTSTATUS result = STATUS_SUCCESS;
  for (ULONG i = 0; i < 2; ++i)
    if (mask & (1u << i)) result = SetChannel(adapter, engine::kPlayback, i, on, file);
  for (ULONG i = 0; i < 2; ++i)
    if (mask & (1u << (16 + i))) result = SetChannel(adapter, engine::kRecord, i, on, file);
  record->Set32(Field::OnOff, ULONG(result));
  return STATUS_SUCCESS;
}

NTSTATUS ActivateChannels(Adapter* adapter, CommandRecord* record, PFILE_OBJECT file) {
  const ULONG outputs = record->Get32(Field::OutputMask);
  const ULONG inputs = record->Get32(Field::InputMask);
  const bool on = record->Get32(Field::OnOff) != 0;
  NTSTATUS result = STATUS_SUCCESS;
  for (ULONG i = 0; i < 2; ++i) {
    if (outputs & (1u << i)) result = SetChannel(adapter, engine::kPlayback, i, on, file);
    if (inputs & (1u << i)) result = SetChannel(adapter, engine::kRecord, i, on, file);
  }
  record->Set32(Field::OnOff, ULONG(result));
  return STATUS_SUCCESS;
}

// The buffer belongs to the host whose handle allocated it. Length 0
// releases the caller's own buffer (and any taken from it), never another
// host's. A new buffer replaces the caller's own unless it streams healthily;
// another host's only when its stream is gone (channels open, watchdog at
// 10): that host keeps its mapping until its handle goes, but the engine
// stops using the halves at once. A host between allocating and starting
// (channels closed) keeps its buffer.
NTSTATUS AllocSharedBuffer(const CommandRecord* record, PFILE_OBJECT file) {
  const ULONG length = record->Get32(Field::SharedLength);
  PVOID cell = SlotPointer(record, Field::SharedCell);
  PVOID none = nullptr;
  // Longer than any client can need: refused before anything changes.
  if (length > kMaxSharedBufferBytes) return STATUS_INVALID_PARAMETER;
  LockDriver();
  if (length == 0) {
    if (g_driver.shared && g_driver.shared->mapping.ownerFile == file) ReleaseSharedBufferLocked();
    ReleaseTakenBuffersLocked(file);
    UnlockDriver();
    return STATUS_SUCCESS;
  }
  // The cell is written before anything changes: a bad one changes nothing.
  NTSTATUS status = CopyToCaller(cell, &none, sizeof none);
  if (!NT_SUCCESS(status)) {
    UnlockDriver();
    return status;
  }
  if (g_driver.shared) {
    const bool mine = g_driver.shared->mapping.ownerFile == file;
    if (mine ? StreamClientHealthyLocked() : !StreamClientGoneLocked()) {
      UnlockDriver();
      return STATUS_UNSUCCESSFUL;
    }
    if (mine)
      ReleaseSharedBufferLocked();
    else
      TakeSharedBufferLocked();
  }
  status = STATUS_INSUFFICIENT_RESOURCES;
  MappedBlock* block = NewMappedBlock(length, kTagSharedBuffer);
  auto* shared = block ? new (kTagSharedBuffer) SharedBuffer() : nullptr;
  if (shared && NT_SUCCESS(MapIntoCaller(block, block->memory, block->bytes, file, &shared->mapping))) {
    shared->kernel = block->memory;
    shared->bytes = length;
    status = CopyToCaller(cell, &shared->mapping.user, sizeof shared->mapping.user);
    if (NT_SUCCESS(status)) {
      g_driver.shared = shared;
      shared = nullptr;
    } else {
      UndoMapping(&shared->mapping);
    }
  }
  delete shared;
  // From here the block lives as long as its mapping.
  if (block) ReleaseBlock(block);
  UnlockDriver();
  return status;
}

NTSTATUS SetLatency(Adapter* adapter, const CommandRecord* record) {
  const ULONG frames = record->Get32(Field::Latency);
  engine::StreamEngine* engine = adapter->engine;
  if (record->Get32(Field::BusyCheck) == 1 && engine->AnyChannelOpen()) return STATUS_INVALID_PARAMETER;
  const ULONG rate = engine->rate();
  // At least one packet's frames at the rate, at most what the engine's
  // halves hold.
  if (frames < rate / 1000 || frames < engine::MinPeriodFrames(rate) || frames > engine::kMaxPeriodFrames)
    return STATUS_INVALID_PARAMETER;
  LockDriver();
  // Halves that would reach past the SharedBuffer at the new period are
  // unregistered before the engine runs it.
  RecheckClientHalves(adapter, false, frames);
  const NTSTATUS status = engine->SetPeriodSize(frames, false);
  UnlockDriver();
  return status;
}

NTSTATUS SettingsFromCaller(Adapter* adapter, const CommandRecord* record, bool save) {
  tqm::MixerSettings settings;
  const NTSTATUS status = CopyFromCaller(&settings, SlotPointer(record, Field::SettingsAddress), sizeof settings);
  if (!NT_SUCCESS(status)) return status;
  adapter->engine->ApplySettings(&settings);
  if (save) adapter->engine->SaveSettings();
  return STATUS_SUCCESS;
}

NTSTATUS DriverCommand(CommandRecord* record) {
  switch (record->Get32(Field::SubOp)) {
    case tqm::DriverOp::Identify:
      record->Set32(Field::VersionMajor, tqm::kIdentifyMajor);
      record->Set32(Field::VersionMinor, tqm::kIdentifyMinor);
      return STATUS_SUCCESS;
    case tqm::DriverOp::ReservedQuery:
      record->Set32(Field::ReservedResult, 0);
      return STATUS_SUCCESS;
    case tqm::DriverOp::ReservedSet:
      return STATUS_SUCCESS;
    case tqm::DriverOp::GetChannelCounts:
      record->Set32(Field::InputCount, 2);
      record->Set32(Field::OutputCount, 2);
      return STATUS_SUCCESS;
    case tqm::DriverOp::GetDriverVersion:
      record->Set32(Field::VersionMajor, tqm::kDriverVersionMajor);
      record->Set32(Field::VersionMinor, tqm::kDriverVersionMinor);
      return STATUS_SUCCESS;
    case tqm::DriverOp::UnloadService: {
      UNICODE_STRING service;
      RtlInitUnicodeString(&service, L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\TQM27_01");
      ZwUnloadDriver(&service);
      return STATUS_SUCCESS;
    }
    default:
      return STATUS_INVALID_PARAMETER;
  }
}

NTSTATUS StreamCommand(Adapter* adapter, CommandRecord* record, PFILE_OBJECT file) {
  engine::StreamEngine* engine = adapter->engine;
  switch (record->Get32(Field::SubOp)) {
    case tqm::StreamOp::SetPeriodEvent:
      return SetEventSlot(adapter, kCellPeriod, kSlotPeriod, SlotPointer(record, Field::PeriodEvent));
    case tqm::StreamOp::SetSampleRate: {
      engine->SetMode(0);
      const NTSTATUS status = engine->SetRate(record->Get32(Field::SampleRate), false);
      engine::WriteShared(&adapter->statusBlock->containerBits, 32);
      return status;
    }
    case tqm::StreamOp::SetClientBuffer:
      return SetClientBuffer(adapter, record);
    case tqm::StreamOp::ActivateChannelMask:
      return ActivateChannelMask(adapter, record, file);
    case tqm::StreamOp::AllocSharedBuffer:
      return AllocSharedBuffer(record, file);
    case tqm::StreamOp::ActivateChannels:
      return ActivateChannels(adapter, record, file);
    case tqm::StreamOp::StartStop:
      engine->StartStop(record->Get32(Field::OnOff) != 0);
      return STATUS_SUCCESS;
    case tqm::StreamOp::QueryStreamHealth:
      LockDriver();
      record->Set32(Field::OnOff, StreamHealth());
      UnlockDriver();
      return STATUS_SUCCESS;
    case tqm::StreamOp::OutputReady: {
      const ULONG half = record->Get32(Field::ReadyHalf);
      if (half > 1) return STATUS_INVALID_PARAMETER;
      engine->OutputReady(half);
      return STATUS_SUCCESS;
    }
    case tqm::StreamOp::TakePendingFlag:
      record->Set32(Field::OnOff, ULONG(InterlockedExchange(&adapter->pendingFlag, 0)));
      return STATUS_SUCCESS;
    case tqm::StreamOp::MapStatusBlock:
      return MapStatusBlock(adapter, &adapter->streamMapping, record, file);
    default:
      return STATUS_INVALID_PARAMETER;
  }
}

NTSTATUS ControlCommand(Adapter* adapter, CommandRecord* record, PFILE_OBJECT file) {
  engine::StreamEngine* engine = adapter->engine;
  switch (record->Get32(Field::SubOp)) {
    case tqm::ControlOp::GetSettings: {
      tqm::MixerSettings settings;
      engine->GetSettings(&settings);
      return CopyToCaller(SlotPointer(record, Field::SettingsAddress), &settings, sizeof settings);
    }
    case tqm::ControlOp::ApplySettings:
    case tqm::ControlOp::ApplySettingsAlias:
      return SettingsFromCaller(adapter, record, false);
    case tqm::ControlOp::ApplyAndSaveSettings:
      return SettingsFromCaller(adapter, record, true);
    case tqm::ControlOp::MapStatusBlock:
      return MapStatusBlock(adapter, &adapter->controlMapping, record, file);
    case tqm::ControlOp::SetLatency:
      return SetLatency(adapter, record);
    case tqm::ControlOp::GetLatency:
      record->Set32(Field::Latency, adapter->statusBlock && adapter->engine ? adapter->engine->periodFrames() : 128);
      return STATUS_SUCCESS;
    case tqm::ControlOp::Reserved6:
    case tqm::ControlOp::Reserved8:
    case tqm::ControlOp::NoOp17:
    case tqm::ControlOp::NoOp19:
    case tqm::ControlOp::NoOp20:
      return STATUS_SUCCESS;
    case tqm::ControlOp::SetRateEvent:
      return SetEventSlot(adapter, kCellRate, kSlotRate, SlotPointer(record, Field::NotifyEvent));
    case tqm::ControlOp::GetActiveClient: {
      ULONG active = 0;
      for (ULONG port = 0; port < engine::kPorts && !active; ++port)
        for (ULONG d = 0; d < 2; ++d)
          for (ULONG c = 0; c < 2; ++c)
            if (!active && engine->ChannelOpen(port, d, c)) active = port + 1;
      record->Set32(Field::ActiveClient, active);
      return STATUS_SUCCESS;
    }
    case tqm::ControlOp::SetRemovalEvent:
      // A null handle (the panel leaving, or its device going) does not touch
      // the SharedBuffer: the buffer exists only while its host's handle is
      // open, and that handle's cleanup is what releases a dead host's.
      return SetEventSlot(adapter, kCellRemoval, kSlotRemoval, SlotPointer(record, Field::NotifyEvent));
    case tqm::ControlOp::FixedQuery:
      record->Set32(Field::QueryResult, tqm::kFixedQueryAnswer);
      return STATUS_SUCCESS;
    default:
      return STATUS_INVALID_PARAMETER;
  }
}

}  // namespace

NTSTATUS CopyFromCaller(PVOID kernel, const void* user, ULONG bytes) {
  CopyCall call = {kernel, user, bytes, false};
  return TqmGuardedCall(CopyBody, &call);
}

NTSTATUS CopyToCaller(PVOID user, const void* kernel, ULONG bytes) {
  CopyCall call = {user, kernel, bytes, true};
  return TqmGuardedCall(CopyBody, &call);
}

NTSTATUS DispatchControl(PDEVICE_OBJECT device, PIRP irp) {
  // The child device has no command interface.
  if (IsChild(device)) return CompleteRequest(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
  auto* fdx = static_cast<FdoExtension*>(device->DeviceExtension);
  NTSTATUS status = AcquireRemoveLock(&fdx->removeLock);
  if (!NT_SUCCESS(status)) return CompleteRequest(irp, status, 0);
  // Undos of this process's mappings that another context asked for.
  RunDeferredUndos();

  PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
  const ULONG code = location->Parameters.DeviceIoControl.IoControlCode;
  const ULONG inLength = location->Parameters.DeviceIoControl.InputBufferLength;
  const ULONG outLength = location->Parameters.DeviceIoControl.OutputBufferLength;
  auto* record = static_cast<CommandRecord*>(irp->AssociatedIrp.SystemBuffer);
  ULONG_PTR information = 0;
  if (code != tqm::kCommandControlCode) {
    status = STATUS_INVALID_DEVICE_REQUEST;
  } else if (!record || inLength < tqm::kCommandRecordSize || outLength < tqm::kCommandRecordSize) {
    // A shorter record would be read or written past its end.
    status = STATUS_INVALID_PARAMETER;
  } else {
    const ULONG commandClass = record->Get32(Field::Class);
    const ULONG op = record->Get32(Field::SubOp);
    const ULONG state = PnpStateOf(fdx);
    bool pass = state == kStarted;
    if (state == kSurpriseRemoved && IsAllowedWhenSurpriseRemoved(commandClass, op)) {
      TQM_TRACE("DispatchControl SURPRISEREMOVED  CODE  %i\n", int(code));
      pass = true;
    }
    if (!pass) {
      status = STATUS_INVALID_DEVICE_REQUEST;
    } else {
      KeEnterCriticalRegion();
      ExAcquireResourceSharedLite(&fdx->adapterLock, TRUE);
      Adapter* adapter = fdx->adapter;
      if (!adapter) {
        status = STATUS_INVALID_PARAMETER;
      } else if (commandClass == tqm::CMD_CLASS_DRIVER) {
        status = DriverCommand(record);
      } else if (commandClass == tqm::CMD_CLASS_STREAM) {
        status = StreamCommand(adapter, record, location->FileObject);
      } else if (commandClass == tqm::CMD_CLASS_CONTROL) {
        status = ControlCommand(adapter, record, location->FileObject);
      } else {
        status = STATUS_INVALID_PARAMETER;
      }
      ExReleaseResourceLite(&fdx->adapterLock);
      KeLeaveCriticalRegion();
      information = outLength;
    }
  }
  ReleaseRemoveLock(&fdx->removeLock);
  return CompleteRequest(irp, status, information);
}
