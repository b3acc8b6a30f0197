// The stream engine's life and its clients: device start and stop, the carve
// of the transfer memory, opening and closing client channels, starting and
// stopping both streams, the output-ready hand-over. All of it runs at passive
// level except OutputReady, which takes the playback lock.
#include "driver/engine/stream_engine.h"

#include "driver/engine/sample_loops.h"

namespace engine {

namespace {

// Both streams' first transfers go down for the bus frame this far ahead of
// the current one: room to put every request down before it comes.
constexpr ULONG kStartLeadFrames = 4;

}  // namespace

StreamEngine::StreamEngine(PDEVICE_OBJECT lower, UCHAR* memory, ULONG sizeValue, tqm::DeviceStatusBlock* status)
    : lower_(lower), memory_(memory), sizeValue_(sizeValue), status_(status) {
  KeInitializeSpinLock(&playLock_);
  KeInitializeSpinLock(&recordLock_);
  KeInitializeSpinLock(&latchLock_);
  KeInitializeSpinLock(&callbackLock_);
  KeInitializeSpinLock(&pendingLock_);
  ExInitializeResourceLite(&configLock_);
  KeInitializeEvent(&applyIdle_, NotificationEvent, TRUE);
  current_ = tqm::DriverMixerDefaults();
  pending_ = current_;
  patch_ = current_.patch;
  mixer_.SetPatch(&patch_);
  // Word 12 keeps its pointer-sized place, but no kernel address reaches the
  // clients' mappings.
  status_->kernelAddress = nullptr;
}

StreamEngine::~StreamEngine() {
  StopDevice();
  ExDeleteResourceLite(&configLock_);
}

void StreamEngine::SetPeriodCallback(ULONG a, ULONG c, PeriodCallback fn, void* context) {
  if (a >= 2 || c >= 16) return;
  CallbackSlot& slot = callbacks_[a][c];
  KIRQL irql;
  KeAcquireSpinLock(&callbackLock_, &irql);
  const uint32_t sequence = __atomic_load_n(&slot.sequence, __ATOMIC_RELAXED);
  __atomic_store_n(&slot.sequence, sequence + 1, __ATOMIC_RELAXED);
  __atomic_thread_fence(__ATOMIC_RELEASE);
  __atomic_store_n(&slot.fn, fn, __ATOMIC_RELAXED);
  __atomic_store_n(&slot.context, context, __ATOMIC_RELAXED);
  __atomic_store_n(&slot.sequence, sequence + 2, __ATOMIC_RELEASE);
  KeReleaseSpinLock(&callbackLock_, irql);
}

Callback StreamEngine::ReadCallback(ULONG a, ULONG c) const {
  const CallbackSlot& slot = callbacks_[a][c];
  for (;;) {
    const uint32_t before = __atomic_load_n(&slot.sequence, __ATOMIC_ACQUIRE);
    Callback callback;
    callback.fn = __atomic_load_n(&slot.fn, __ATOMIC_RELAXED);
    callback.context = __atomic_load_n(&slot.context, __ATOMIC_RELAXED);
    __atomic_thread_fence(__ATOMIC_ACQUIRE);
    if (!(before & 1) && __atomic_load_n(&slot.sequence, __ATOMIC_RELAXED) == before) return callback;
  }
}

bool StreamEngine::RegisterHalf(ULONG port, ULONG direction, ULONG channel, ULONG half, SampleRun run) {
  if (direction >= kDirections || port >= kPorts || channel >= kPortChannels || half >= kHalves) return false;
  if (__atomic_load_n(&recordCallbackThread_, __ATOMIC_ACQUIRE) == KeGetCurrentThread()) {
    // Inside the record callback, with the record lock held by this thread.
    if (direction == kRecord) return mixer_.RegisterHalf(port, direction, channel, half, run);
    // The playback lock may not be taken inside the record lock: the
    // playback side takes the half over at its next period.
    KeAcquireSpinLockAtDpcLevel(&pendingLock_);
    pendingPlay_[port][channel][half] = PendingHalf{true, run};
    InterlockedExchange(&pendingAny_, 1);
    KeReleaseSpinLockFromDpcLevel(&pendingLock_);
    return true;
  }
  KIRQL irql;
  KeAcquireSpinLock(LockOf(direction), &irql);
  if (direction == kPlayback) {
    // A registration now replaces one still waiting.
    KeAcquireSpinLockAtDpcLevel(&pendingLock_);
    pendingPlay_[port][channel][half].set = false;
    KeReleaseSpinLockFromDpcLevel(&pendingLock_);
  }
  const bool ok = mixer_.RegisterHalf(port, direction, channel, half, run);
  KeReleaseSpinLock(LockOf(direction), irql);
  return ok;
}

void StreamEngine::ApplyPendingHalves() {
  if (!InterlockedExchange(&pendingAny_, 0)) return;
  KeAcquireSpinLockAtDpcLevel(&pendingLock_);
  for (ULONG p = 0; p < kPorts; ++p)
    for (ULONG c = 0; c < kPortChannels; ++c)
      for (ULONG h = 0; h < kHalves; ++h) {
        PendingHalf& pending = pendingPlay_[p][c][h];
        if (!pending.set) continue;
        mixer_.RegisterHalf(p, kPlayback, c, h, pending.run);
        pending.set = false;
      }
  KeReleaseSpinLockFromDpcLevel(&pendingLock_);
}

bool StreamEngine::ChannelOpen(ULONG port, ULONG direction, ULONG channel) {
  KIRQL irql;
  KeAcquireSpinLock(&playLock_, &irql);
  const bool open = mixer_.IsOpen(port, direction, channel);
  KeReleaseSpinLock(&playLock_, irql);
  return open;
}

bool StreamEngine::AnyChannelOpen() {
  KIRQL irql;
  KeAcquireSpinLock(&playLock_, &irql);
  const bool open = mixer_.AnyOpen();
  KeReleaseSpinLock(&playLock_, irql);
  return open;
}

bool StreamEngine::PortOpen(ULONG port) {
  KIRQL irql;
  KeAcquireSpinLock(&playLock_, &irql);
  const bool open = mixer_.PortHasOpen(port);
  KeReleaseSpinLock(&playLock_, irql);
  return open;
}

void StreamEngine::Signal(ULONG slot) {
  if (notify_.signal) notify_.signal(notify_.context, slot);
}


NTSTATUS StreamEngine::StartDevice(ULONG rate, ULONG periodFrames, ULONG requestCount, ULONG meterEnable) {
  NTSTATUS status = ReadDevice();
  if (!NT_SUCCESS(status)) return status;
  if (!IsSupportedRate(rate)) rate = 44100;
  // A period shorter than one packet would give requests without packets.
  if (periodFrames < MinPeriodFrames(rate) || periodFrames > kMaxPeriodFrames) periodFrames = kMaxPeriodFrames;
  if (requestCount < 2 || requestCount > 9) requestCount = 9;
  SetPeriodValue(periodFrames);
  SetRateValue(rate);
  SetRequestCountValue(requestCount);
  WriteShared(&status_->recordHalf, 0);
  WriteShared(&status_->watchdog, 0);
  WriteShared(&status_->meterEnable, meterEnable);
  status_->kernelAddress = nullptr;
  // The current record mirrors what the status block took.
  current_.rate = LONG(rate);
  current_.periodFrames = LONG(periodFrames);
  current_.requestCount = LONG(requestCount);
  current_.meterEnable = LONG(meterEnable);

  if (!ringBlock_) ringBlock_ = static_cast<int32_t*>(ExAllocatePoolWithTag(NonPagedPool, kRingBlockBytes, kTagEngine));
  const ULONG queueBytes = QueueBlockBytes(playChannels_ ? playChannels_ : 1);
  if (!queueBlock_) queueBlock_ = static_cast<int32_t*>(ExAllocatePoolWithTag(NonPagedPool, queueBytes, kTagEngine));
  if (!ringBlock_ || !queueBlock_) return STATUS_INSUFFICIENT_RESOURCES;
  RtlZeroMemory(ringBlock_, kRingBlockBytes);
  RtlZeroMemory(queueBlock_, queueBytes);
  if (!Carve()) return STATUS_DEVICE_DATA_ERROR;
  mixer_.Attach(ringBlock_, queueBlock_, playChannels_, recordChannels_);
  mixer_.SetStatusBlock(status_);
  mixer_.SetClientRecordChannels(clientRecordChannels_);
  ChooseFormat(rate);
  return Resize();
}

bool StreamEngine::Carve() {
  // Per channel one 2048-byte block for each of: ten playback and ten record
  // transfer buffers, two playback and two record halves, the carry buffer.
  // With two channels each way the blocks fill the engine memory exactly; a
  // device with more channels does not fit.
  const ULONG blocks = 13 * playChannels_ + 12 * recordChannels_;
  if (blocks * kChannelBlockBytes > kEngineMemoryBytes) return false;
  UCHAR* p = memory_;
  playBufferBytes_ = playChannels_ * kChannelBlockBytes;
  recordBufferBytes_ = recordChannels_ * kChannelBlockBytes;
  for (UCHAR*& buffer : playBuffers_) {
    buffer = p;
    p += playBufferBytes_;
  }
  for (UCHAR*& buffer : recordBuffers_) {
    buffer = p;
    p += recordBufferBytes_;
  }
  for (int32_t*& half : playHalves_) {
    half = reinterpret_cast<int32_t*>(p);
    p += playBufferBytes_;
  }
  for (int32_t*& half : recordHalves_) {
    half = reinterpret_cast<int32_t*>(p);
    p += recordBufferBytes_;
  }
  carry_ = reinterpret_cast<int32_t*>(p);
  RtlZeroMemory(memory_, kEngineMemoryBytes);
  carved_ = true;
  return true;
}

void StreamEngine::StopDevice() {
  // A pending apply talks to the device and the record: it finishes first.
  WaitForApply();
  LockConfig();
  StopStreams();
  if (configDescriptor_) Unconfigure();
  configured_ = false;
  FreeInterfaces();
  FreeBlock(deviceDescriptor_);
  FreeBlock(configDescriptor_);
  deviceDescriptor_ = configDescriptor_ = nullptr;
  configHandle_ = nullptr;
  mixer_.Attach(nullptr, nullptr, playChannels_, recordChannels_);
  FreeBlock(ringBlock_);
  FreeBlock(queueBlock_);
  ringBlock_ = queueBlock_ = nullptr;
  carved_ = false;
  UnlockConfig();
}

void StreamEngine::Publish() {
  WriteShared(&status_->periodFrames, ReadShared(&period_));
  WriteShared(&status_->sampleRate, ReadShared(&rate_));
  WriteShared(&status_->requestCount, ReadShared(&requestCount_));
}

void StreamEngine::SetPeriodValue(ULONG frames) {
  WriteShared(&period_, frames);
  Publish();
}

void StreamEngine::SetRateValue(ULONG rate) {
  WriteShared(&rate_, rate);
  Publish();
}

void StreamEngine::SetRequestCountValue(ULONG count) {
  WriteShared(&requestCount_, count);
  Publish();
}

ULONG StreamEngine::lateOutputPeriods() {
  KIRQL irql;
  KeAcquireSpinLock(&playLock_, &irql);
  const ULONG late = mixer_.pairing().latePeriods;
  KeReleaseSpinLock(&playLock_, irql);
  return late;
}

void StreamEngine::ChooseFormat(ULONG rate) {
  // The completions read the widths and the sizing: they change only while
  // the streams are stopped.
  if (Streaming()) {
    TQM_TRACE("TQMDRV: format change refused while streaming\n");
    return;
  }
  if (rate == 48000 && playback16_) {
    playAlternate_ = 3;
    playWidth_ = 2;
  } else {
    playAlternate_ = 2;
    playWidth_ = 3;
  }
  if (rate == 96000) {
    recordAlternate_ = 1;
    recordWidth_ = 2;
  } else {
    recordAlternate_ = 2;
    recordWidth_ = 3;
  }
  SetRateValue(rate);
}

NTSTATUS StreamEngine::Resize() {
  if (Streaming()) {
    TQM_TRACE("TQMDRV: resize refused while streaming\n");
    return STATUS_INVALID_DEVICE_STATE;
  }
  StreamFormat format;
  format.rate = rate();
  format.periodFrames = periodFrames();
  format.playWidth = playWidth_;
  format.playChannels = playChannels_;
  format.recordWidth = recordWidth_;
  format.recordChannels = recordChannels_;
  if (!ComputeSchedule(format, &schedule_)) return STATUS_INVALID_PARAMETER;
  pacer_.Reset(schedule_, format.rate);
  playPosition_ = recordPosition_ = 0;
  return STATUS_SUCCESS;
}

void StreamEngine::ResetPositions() {
  playHalf_ = recordHalf_ = 0;
  playPosition_ = recordPosition_ = 0;
  carryFrames_ = 0;
  playHalfFinished_ = false;
  pacer_.Clear();
}

NTSTATUS StreamEngine::StartStreams() {
  if (Streaming()) return STATUS_INVALID_PARAMETER;
  // Sizing refuses periods shorter than one packet; a request without packets
  // would never complete.
  if (schedule_.playPackets == 0 || schedule_.recordPackets == 0) return STATUS_INVALID_PARAMETER;
  // A start or restart begins clean: nothing played before it is heard after
  // it, and port 2 is paired from period 0 again.
  {
    KIRQL irql;
    KeAcquireSpinLock(&playLock_, &irql);
    KeAcquireSpinLockAtDpcLevel(&recordLock_);
    ResetPositions();
    for (int32_t* half : playHalves_)
      if (half) RtlZeroMemory(half, playBufferBytes_);
    if (carry_) RtlZeroMemory(carry_, playBufferBytes_);
    // A narrower record width fills only the top bytes of each sample: the
    // low bytes must be zero, not what the last stream left there.
    for (int32_t* half : recordHalves_)
      if (half) RtlZeroMemory(half, recordBufferBytes_);
    mixer_.RestartPairing();
    ApplyPendingHalves();
    WriteShared(&recordPeriods_, 0);
    fills_ = 0;
    KeReleaseSpinLockFromDpcLevel(&recordLock_);
    KeReleaseSpinLock(&playLock_, irql);
  }
  WriteShared(&status_->watchdog, 0);
  WriteShared(&status_->recordHalf, 0);
  mixer_.ClearPeaks();
  Publish();
  Signal(0);

  const USBD_PIPE_INFORMATION* in = nullptr;
  const USBD_PIPE_INFORMATION* out = nullptr;
  for (ULONG i = 0; i < pipeCount_; ++i) {
    const USBD_PIPE_INFORMATION* p = pipes_[i];
    if (p->PipeType != UsbdPipeTypeIsochronous) continue;
    if (p->EndpointAddress & 0x80) {
      if (!in) in = p;
    } else if (!out) {
      out = p;
    }
  }
  if (!in && !out) return STATUS_INVALID_PARAMETER;
  // Both pipes are reset first and their first transfers scheduled for the
  // same bus frame a few frames ahead, so the record and playback streams
  // start together whatever the time between the two starts.
  NTSTATUS status = STATUS_SUCCESS;
  if (in) status = ResetPipe(in->PipeHandle);
  if (NT_SUCCESS(status) && out) status = ResetPipe(out->PipeHandle);
  if (!NT_SUCCESS(status)) return status;
  ULONG startFrame = 0;
  if (CurrentFrame(&startFrame)) startFrame += kStartLeadFrames;
  else startFrame = 0;
  if (in) {
    status = StartPipe(&recordStream_, kRecord, in, startFrame);
    if (!recordStream_) return status;
  }
  if (out) {
    status = StartPipe(&playStream_, kPlayback, out, startFrame);
    if (!NT_SUCCESS(status)) StopStreams();
  }
  return status;
}

NTSTATUS StreamEngine::StartStop(bool on) {
  if (!on) {
    StopAllStreams();
    return STATUS_SUCCESS;
  }
  LockConfig();
  NTSTATUS status = STATUS_SUCCESS;
  tqm::MixerSettings record = current_;
  ApplySettings(&record);
  // Streams run only while a channel is open: with none, the first open
  // starts them; a resume after a stop starts them again here.
  if (!Streaming() && carved_ && mixer_.AnyOpen()) status = ConfigureAndStart();
  UnlockConfig();
  return status;
}

NTSTATUS StreamEngine::ConfigureAndStart() {
  ChooseFormat(rate());
  NTSTATUS status = Resize();
  if (NT_SUCCESS(status)) status = SelectAndSendRate();
  if (NT_SUCCESS(status)) status = StartStreams();
  return status;
}

void StreamEngine::PowerDown() {
  LockConfig();
  // A second power-down without a wake between keeps what ran before the first.
  if (!poweredDown()) resumeStreams_ = Streaming();
  StopStreams();
  WriteShared(&powerDowns_, ReadShared(&powerDowns_) + 1);
  WriteShared(&poweredDown_, 1);
  UnlockConfig();
}

NTSTATUS StreamEngine::PowerUp(ULONG downs) {
  LockConfig();
  NTSTATUS status = STATUS_SUCCESS;
  if (ReadShared(&powerDowns_) != downs) {
    // The device went down again after this wake began: the next wake restarts.
    UnlockConfig();
    return STATUS_SUCCESS;
  }
  WriteShared(&poweredDown_, 0);
  // As after a stop: the device takes the interfaces and its rate again first
  // (it need not keep them across a suspend).
  if (resumeStreams_ && !Streaming() && carved_ && mixer_.AnyOpen()) {
    status = ConfigureAndStart();
    if (!NT_SUCCESS(status)) TQM_TRACE("TQMDRV: streams not restarted after the wake (0x%08x)\n", ULONG(status));
  }
  // The levels follow the restart, so that it waits for none of their requests.
  SendLevels();
  resumeStreams_ = false;
  UnlockConfig();
  return status;
}

void StreamEngine::StopStreams() {
  StopPipe(&playStream_);
  StopPipe(&recordStream_);
  mixer_.ClearPeaks();
}

void StreamEngine::StopAllStreams() {
  LockConfig();
  StopStreams();
  UnlockConfig();
}

bool StreamEngine::SetOpen(ULONG port, ULONG direction, ULONG channel, bool open) {
  // The completions read the open masks and toggles under their own locks
  // while other channels keep streaming; the bookkeeping takes both (playback
  // first, the one order in which they nest).
  KIRQL irql;
  KeAcquireSpinLock(&playLock_, &irql);
  KeAcquireSpinLockAtDpcLevel(&recordLock_);
  const bool wasOpen = mixer_.AnyOpen();
  mixer_.SetChannelOpen(port, direction, channel, open, PeriodNumber(ReadShared(&recordPeriods_)));
  const bool nowOpen = mixer_.AnyOpen();
  WriteShared(&anyOpen_, nowOpen ? 1 : 0);
  KeReleaseSpinLockFromDpcLevel(&recordLock_);
  KeReleaseSpinLock(&playLock_, irql);
  return open ? wasOpen : nowOpen;
}

NTSTATUS StreamEngine::OpenChannel(ULONG port, ULONG direction, ULONG channel) {
  LockConfig();
  const NTSTATUS status = OpenChannelLocked(port, direction, channel);
  UnlockConfig();
  return status;
}

NTSTATUS StreamEngine::CloseChannel(ULONG port, ULONG direction, ULONG channel) {
  LockConfig();
  const NTSTATUS status = CloseChannelLocked(port, direction, channel);
  UnlockConfig();
  return status;
}

NTSTATUS StreamEngine::OpenChannelLocked(ULONG port, ULONG direction, ULONG channel) {
  if (!carved_) return STATUS_INVALID_DEVICE_STATE;
  if (port >= kPorts || direction >= kDirections || channel >= kPortChannels) return STATUS_INVALID_PARAMETER;
  if (SetOpen(port, direction, channel, true)) return STATUS_SUCCESS;
  ChooseFormat(rate());
  NTSTATUS status = Resize();
  // A rate set while idle is confirmed here: a device that refuses it leaves
  // the engine at the rate the device runs, and the open fails.
  if (NT_SUCCESS(status)) status = SelectAndSendRate();
  if (NT_SUCCESS(status)) status = StartStreams();
  if (!NT_SUCCESS(status)) {
    SetOpen(port, direction, channel, false);
    Deselect();
  }
  return status;
}

void StreamEngine::ClearPlaybackState() {
  // The streams are stopped; OutputReady may still come from a client.
  KIRQL irql;
  KeAcquireSpinLock(&playLock_, &irql);
  KeAcquireSpinLockAtDpcLevel(&recordLock_);
  for (UCHAR* buffer : playBuffers_)
    if (buffer) RtlZeroMemory(buffer, playBufferBytes_);
  for (int32_t* half : playHalves_)
    if (half) RtlZeroMemory(half, playBufferBytes_);
  mixer_.ClearRings();
  mixer_.ClearQueue();
  ResetPositions();
  KeReleaseSpinLockFromDpcLevel(&recordLock_);
  KeReleaseSpinLock(&playLock_, irql);
}

NTSTATUS StreamEngine::CloseChannelLocked(ULONG port, ULONG direction, ULONG channel) {
  if (port >= kPorts || direction >= kDirections || channel >= kPortChannels) return STATUS_INVALID_PARAMETER;
  if (!SetOpen(port, direction, channel, false)) {
    // The streams stop before their buffers are cleared: the completions
    // still running until the drain would otherwise read them.
    const bool hadPlayback = playStream_ != nullptr;
    StopStreams();
    if (hadPlayback) ClearPlaybackState();
    Deselect();
    playHalfFinished_ = false;
  }
  // Under the direction's lock: a client releasing its buffer unregisters the
  // halves under it first, so a half seen here is still there.
  const ULONG periodFrames = this->periodFrames();
  KIRQL irql;
  KeAcquireSpinLock(LockOf(direction), &irql);
  const ClientPort& p = mixer_.port(port);
  for (ULONG h = 0; h < kHalves; ++h) {
    const SampleRun& run = p.half[direction][channel][h];
    ClearSamples(run.address, run.stride, int32_t(periodFrames));
  }
  KeReleaseSpinLock(LockOf(direction), irql);
  return STATUS_SUCCESS;
}

bool StreamEngine::OutputReady(ULONG clientHalf) {
  KIRQL irql;
  KeAcquireSpinLock(&playLock_, &irql);
  const bool queued =
      mixer_.QueueOutputReady(clientHalf, periodFrames(), PeriodNumber(ReadShared(&recordPeriods_)));
  KeReleaseSpinLock(&playLock_, irql);
  return queued;
}

}  // namespace engine
