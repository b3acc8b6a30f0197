// The engine's settings: the current record (what the hardware and the status
// block were last given) and the pending record (the companion's volume
// changes waiting for the deferred apply). Applying a record changes only the
// items that differ, or all of them when its force flag is set, and stores the
// result as the device key's "Mixer" value. Rate, request-count and period
// changes restart the streams when they must.
//
// Everything here runs at passive level under configLock_, a recursive
// resource: an apply calls the rate and request-count changes with it held.
// The registry is a convenience: a failure to read or write it changes
// nothing, the record in memory stays authoritative.
#include "driver/engine/stream_engine.h"

namespace engine {

namespace {

constexpr ULONG kRegistryAccess = 0x1F0000;
constexpr LONG kMinRequestCount = 2, kMaxRequestCount = 9;
constexpr LONG kFallbackRequestCount = 5;
constexpr LONG kFallbackRate = 44100;
// The deferred apply waits 50 ms in steps of 100 us.
constexpr ULONG kApplyStalls = 500, kApplyStallMicroseconds = 100;
// The words a deferred apply takes: mutes and volumes of both directions.
constexpr ULONG kDeferredWords = 0x3F0;  // words 4..9
// The header of the full value information, the name and the record. With a
// wider WCHAR the header and name take more than on the target; the buffer is
// sized from the structure as compiled.
constexpr ULONG kMixerNameChars = 5;
constexpr ULONG kQueryBytes =
    ULONG(FIELD_OFFSET(KEY_VALUE_FULL_INFORMATION, Name)) + (kMixerNameChars + 1) * sizeof(WCHAR) +
    tqm::kMixerSettingsSize + 8;


bool IsSupportedRateWord(LONG rate) { return rate == 44100 || rate == 48000 || rate == 96000; }

void MixerName(UNICODE_STRING* name) { RtlInitUnicodeString(name, L"Mixer"); }

}  // namespace

void StreamEngine::LockConfig() {
  KeEnterCriticalRegion();
  ExAcquireResourceExclusiveLite(&configLock_, TRUE);
}

void StreamEngine::UnlockConfig() {
  ExReleaseResourceLite(&configLock_);
  KeLeaveCriticalRegion();
}

void StreamEngine::SaveSettings() {
  if (!registryDevice_) return;
  HANDLE key = nullptr;
  if (!NT_SUCCESS(IoOpenDeviceRegistryKey(registryDevice_, PLUGPLAY_REGKEY_DRIVER, kRegistryAccess, &key)))
    return;
  UNICODE_STRING name;
  MixerName(&name);
  LockConfig();
  ZwSetValueKey(key, &name, 0, REG_DWORD, &current_, tqm::kMixerSettingsSize);
  UnlockConfig();
  ZwClose(key);
}

void StreamEngine::LoadSettings(tqm::MixerSettings* record) {
  if (!registryDevice_) return;
  HANDLE key = nullptr;
  if (!NT_SUCCESS(IoOpenDeviceRegistryKey(registryDevice_, PLUGPLAY_REGKEY_DRIVER, kRegistryAccess, &key)))
    return;
  UCHAR* buffer = static_cast<UCHAR*>(ExAllocatePoolWithTag(PagedPool, kQueryBytes, kTagEngine));
  if (buffer) {
    UNICODE_STRING name;
    MixerName(&name);
    ULONG got = 0;
    const NTSTATUS status = ZwQueryValueKey(key, &name, KeyValueFullInformation, buffer, kQueryBytes, &got);
    const auto* info = reinterpret_cast<const KEY_VALUE_FULL_INFORMATION*>(buffer);
    // A longer value is not ours; a shorter one overlays only the bytes it has.
    if (NT_SUCCESS(status) && info->DataLength <= tqm::kMixerSettingsSize &&
        info->DataOffset <= kQueryBytes && info->DataLength <= kQueryBytes - info->DataOffset)
      RtlCopyMemory(record, buffer + info->DataOffset, info->DataLength);
    ExFreePoolWithTag(buffer, kTagEngine);
  }
  ZwClose(key);
}

void StreamEngine::GetSettings(tqm::MixerSettings* out) {
  LockConfig();
  *out = current_;
  UnlockConfig();
}

void StreamEngine::ApplySettings(tqm::MixerSettings* n) {
  LockConfig();
  const bool force = n->force != 0;
  if (n->requestCount != current_.requestCount || force) {
    if (n->requestCount < kMinRequestCount || n->requestCount > kMaxRequestCount) {
      TQM_TRACE("IRP worng %d\n", int(n->requestCount));
      n->requestCount = kFallbackRequestCount;
    }
    // The count that runs already needs no restart, forced or not: a restart
    // is an audible gap.
    if (ULONG(n->requestCount) != requestCount() && !NT_SUCCESS(SetRequestCount(ULONG(n->requestCount))))
      n->requestCount = current_.requestCount;
  }
  if (!IsSupportedRateWord(n->rate)) {
    TQM_TRACE("KHz worng %d\n", int(n->rate));
    n->rate = kFallbackRate;
  }
  if (n->rate != current_.rate || force) {
    if (!NT_SUCCESS(SetRate(ULONG(n->rate), playback16_))) n->rate = current_.rate;
  }
  for (ULONG d = 0; d < kDirections; ++d) {
    const ULONG base = d == kPlayback ? tqm::MixerWord::PlayMute : tqm::MixerWord::RecordMute;
    int32_t* nw = n->words();
    const int32_t* cw = current_.words();
    for (ULONG k = 0; k < 2; ++k) {
      if (nw[base + 1 + k] != cw[base + 1 + k] || force) SetVolume(k + 1, VolumeWireValue(nw[base + 1 + k], d), d);
    }
    if (nw[base] != cw[base] || force) SetMute(nw[base] != 0, d);
  }
  n->force = 0;
  // The period and the meter switch are not applied from a record: it shows
  // the ones that run, so a stored record never names a period that never ran.
  n->periodFrames = LONG(periodFrames());
  n->meterEnable = LONG(ReadShared(&status_->meterEnable) != 0);
  current_ = *n;
  // The completions route by the table under their own locks: it changes
  // under both (playback first, the order in which they nest).
  KIRQL irql;
  KeAcquireSpinLock(&playLock_, &irql);
  KeAcquireSpinLockAtDpcLevel(&recordLock_);
  patch_ = current_.patch;
  KeReleaseSpinLockFromDpcLevel(&recordLock_);
  KeReleaseSpinLock(&playLock_, irql);
  SaveSettings();
  UnlockConfig();
}

void StreamEngine::SendLevels() {
  const int32_t* w = current_.words();
  for (ULONG d = 0; d < kDirections; ++d) {
    const ULONG base = d == kPlayback ? tqm::MixerWord::PlayMute : tqm::MixerWord::RecordMute;
    for (ULONG k = 0; k < 2; ++k) SetVolume(k + 1, VolumeWireValue(w[base + 1 + k], d), d);
    SetMute(w[base] != 0, d);
  }
}

NTSTATUS StreamEngine::SendRateToDevice(ULONG rate) {
  const ULONG old = this->rate();
  ChooseFormat(rate);
  NTSTATUS status = STATUS_SUCCESS;
  if (configured_) {
    SetSamplingFrequency(kPlaybackEndpoint, rate);
    status = SetSamplingFrequency(kRecordEndpoint, rate);
    if (!NT_SUCCESS(status)) {
      // The device keeps the old rate: so do the status block, the record and
      // the playback endpoint.
      SetSamplingFrequency(kPlaybackEndpoint, old);
      ChooseFormat(old);
      status = STATUS_DEVICE_DATA_ERROR;
    } else {
      confirmedRate_ = rate;
    }
  }
  // While idle the rate is confirmed when the next channel opens.
  if (NT_SUCCESS(status)) current_.rate = LONG(rate);
  Resize();
  Signal(0);
  return status;
}

NTSTATUS StreamEngine::SetRate(ULONG rate, bool playback16) {
  if (!IsSupportedRate(rate)) return STATUS_INVALID_PARAMETER;
  LockConfig();
  NTSTATUS status = STATUS_SUCCESS;
  const ULONG old = this->rate();
  // The current period must hold at least one packet at the new rate.
  if (MinPeriodFrames(rate) > periodFrames()) {
    status = STATUS_INVALID_PARAMETER;
  } else {
    const bool oldFlag = playback16_;
    playback16_ = playback16;
    if (rate == old) {
      UnlockConfig();
      return STATUS_SUCCESS;
    }
    if (!mixer_.AnyOpen() || !configured_) {
      status = SendRateToDevice(rate);
      if (!NT_SUCCESS(status)) playback16_ = oldFlag;
    } else {
      StopStreams();
      Deselect();
      ChooseFormat(rate);
      Resize();
      status = SelectStreaming();
      if (NT_SUCCESS(status)) status = SendRateToDevice(rate);
      if (!NT_SUCCESS(status)) {
        // Back to the old rate's interfaces; the device still runs at it.
        playback16_ = oldFlag;
        StopStreams();
        Deselect();
        ChooseFormat(old);
        Resize();
        SelectAndSendRate();
      }
      const NTSTATUS started = StartStreams();
      if (NT_SUCCESS(status)) status = started;
    }
  }
  UnlockConfig();
  return status;
}

ULONG StreamEngine::ProposeRate(ULONG rate) {
  // At any IRQL, from the companion: no lock, two words read whole.
  const ULONG current = this->rate();
  return (rate == 0 || ReadShared(&anyOpen_) || !IsSupportedRate(rate)) ? current : rate;
}

NTSTATUS StreamEngine::SetRequestCount(ULONG count) {
  // A pipe stream has ten request slots.
  if (count < ULONG(kMinRequestCount) || count > ULONG(kMaxRequestCount)) return STATUS_INVALID_PARAMETER;
  LockConfig();
  NTSTATUS status = STATUS_SUCCESS;
  if (!mixer_.AnyOpen() || !configured_) {
    SetRequestCountValue(count);
    current_.requestCount = LONG(count);
  } else {
    StopStreams();
    Deselect();
    SetRequestCountValue(count);
    current_.requestCount = LONG(count);
    Resize();
    status = SelectAndSendRate();
    if (NT_SUCCESS(status)) status = StartStreams();
  }
  UnlockConfig();
  return status;
}

NTSTATUS StreamEngine::SetPeriodSize(ULONG frames, bool refuseWhenActive) {
  LockConfig();
  NTSTATUS status = STATUS_SUCCESS;
  const ULONG rate = this->rate();
  if ((refuseWhenActive && mixer_.AnyOpen()) || frames < MinPeriodFrames(rate) || frames > kMaxPeriodFrames) {
    status = STATUS_INVALID_PARAMETER;
  } else {
    // The completions read the period and the sizing: running streams stop
    // and start again around the change.
    const bool wasStreaming = Streaming();
    if (wasStreaming) StopStreams();
    SetPeriodValue(frames);
    current_.periodFrames = LONG(frames);
    Resize();
    if (wasStreaming) status = StartStreams();
    SaveSettings();
  }
  UnlockConfig();
  return status;
}

NTSTATUS StreamEngine::StartWithSettings() {
  LockConfig();
  tqm::MixerSettings record = tqm::DriverMixerDefaults();
  LoadSettings(&record);
  NTSTATUS status = StartDevice(ULONG(record.rate), ULONG(record.periodFrames), ULONG(record.requestCount),
                                ULONG(record.meterEnable));
  if (NT_SUCCESS(status)) {
    // The record mirrors what the status block took; every item then differs
    // from the 0x0F fill, so the apply sends them all.
    record.periodFrames = current_.periodFrames;
    RtlFillMemory(&current_, 13 * sizeof(int32_t), 0x0F);
    ApplySettings(&record);
    SetVolume(1, 0x0000, kPlayback);
    SetVolume(2, 0x0000, kPlayback);
    SetMute(false, kPlayback);
    SetVolume(1, 0x0000, kRecord);
    SetVolume(2, 0x0000, kRecord);
    SetMute(false, kRecord);
  }
  UnlockConfig();
  return status;
}

void StreamEngine::ScheduleApply(const tqm::MixerSettings& record, ULONG wordMask) {
  LockConfig();
  if (tearingDown_) {
    UnlockConfig();
    return;
  }
  // Only the volumes and mutes wait for the apply; every call's changes are
  // kept until then.
  wordMask &= kDeferredWords;
  for (ULONG w = 0; w < 32; ++w) {
    if (wordMask & (1u << w)) pending_.words()[w] = record.words()[w];
  }
  pendingMask_ |= wordMask;
  if (!applyPending_) {
    // Marked here rather than in the thread: a second call before the thread
    // runs only updates the pending record.
    applyPending_ = true;
    // The thread before this one cleared applyPending_ under this lock, so it
    // is past its last use of the lock: waiting for its end here cannot
    // block on us.
    ReapApplyThread();
    if (InterlockedIncrement(&applyThreads_) == 1) KeClearEvent(&applyIdle_);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, nullptr, OBJ_KERNEL_HANDLE, nullptr, nullptr);
    HANDLE thread = nullptr;
    const NTSTATUS status =
        PsCreateSystemThread(&thread, THREAD_ALL_ACCESS, &attributes, nullptr, nullptr, ApplyThread, this);
    if (NT_SUCCESS(status)) {
      // The thread object is kept so that its end can be waited for: the
      // idle event is set before the thread has returned, and the driver may
      // not go while its code still runs.
      PVOID object = nullptr;
      if (NT_SUCCESS(ObReferenceObjectByHandle(thread, SYNCHRONIZE, nullptr, KernelMode, &object, nullptr)))
        applyThread_ = static_cast<PKTHREAD>(object);
      ZwClose(thread);
    } else {
      TQM_TRACE("MyThreadStart ERROR PsCreateSystemThread \n");
      applyPending_ = false;
      if (InterlockedDecrement(&applyThreads_) == 0) KeSetEvent(&applyIdle_, IO_NO_INCREMENT, FALSE);
    }
    Signal(0);
  }
  UnlockConfig();
}

void StreamEngine::ApplyThread(PVOID context) {
  StreamEngine* self = static_cast<StreamEngine*>(context);
  for (ULONG i = 0; i < kApplyStalls; ++i) KeStallExecutionProcessor(kApplyStallMicroseconds);
  self->LockConfig();
  // The changes go over the record current now: a rate, routing or request
  // count set in the last 50 ms stays.
  tqm::MixerSettings record = self->current_;
  for (ULONG w = 0; w < 32; ++w) {
    if (self->pendingMask_ & (1u << w)) record.words()[w] = self->pending_.words()[w];
  }
  self->pendingMask_ = 0;
  self->applyPending_ = false;
  self->ApplySettings(&record);
  self->UnlockConfig();
  // The engine may be gone once the count reaches zero: nothing of it is
  // touched after the event.
  if (InterlockedDecrement(&self->applyThreads_) == 0) KeSetEvent(&self->applyIdle_, IO_NO_INCREMENT, FALSE);
  PsTerminateSystemThread(STATUS_SUCCESS);
}

void StreamEngine::StopForTeardown() {
  LockConfig();
  tearingDown_ = true;
  UnlockConfig();
  // An apply thread takes the configuration lock: wait for it outside.
  WaitForApply();
  LockConfig();
  StopStreams();
  UnlockConfig();
}

void StreamEngine::WaitForApply() {
  KeWaitForSingleObject(&applyIdle_, Executive, KernelMode, FALSE, nullptr);
  LockConfig();
  ReapApplyThread();
  UnlockConfig();
}

// Under configLock_, with no apply pending: the last apply thread has cleared
// applyPending_ and left the lock, so only its return is left to wait for.
void StreamEngine::ReapApplyThread() {
  if (!applyThread_) return;
  KeWaitForSingleObject(applyThread_, Executive, KernelMode, FALSE, nullptr);
  ObDereferenceObject(applyThread_);
  applyThread_ = nullptr;
}

}  // namespace engine
