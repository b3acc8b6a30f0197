// One isochronous stream per direction: its requests, their completions and
// the sample work done in them.
//
// A PipeStream is created when streaming starts and freed when it stops. Its
// in-flight count holds one reference for the stream itself, one per request
// that is down in the stack or waiting to go down, one while a thread is
// passing requests down, and one while a completion calls the playback
// period callbacks; whoever drops it to zero sets the drain event, and
// that is the last time anything touches the stream before StopPipe frees it.
//
// A completion does its sample work and rebuilds its request under the
// direction's lock, queues the request, and passes queued requests down after
// releasing the lock. The stack may complete a request inside IoCallDriver
// (device gone, halted pipe, cancelled before it was queued); that completion
// runs on the same thread and takes the lock itself, which it can because
// nobody holds it. Only one thread passes a stream's requests down at a time,
// in the order they were built, so playback data reaches the bus in order.
#include "driver/engine/stream_engine.h"

#include "driver/engine/sample_loops.h"

namespace engine {

namespace {

constexpr ULONG kMaxPackets = 8;  // 288 frames at 44 per packet is 6


}  // namespace

NTSTATUS StreamEngine::StartPipe(PipeStream** out, ULONG direction, const USBD_PIPE_INFORMATION* pipe,
                                 ULONG startFrame) {
  // The caller reset the pipe.
  NTSTATUS status;
  PipeStream* s = new (kTagEngine) PipeStream();
  if (!s) return STATUS_INSUFFICIENT_RESOURCES;
  s->engine = this;
  s->direction = direction;
  s->inFlight = 1;  // the stream's own reference, dropped by StopPipe
  KeInitializeEvent(&s->drained, NotificationEvent, FALSE);
  s->endpoint = pipe->EndpointAddress;
  s->pipe = pipe->PipeHandle;
  s->pipeType = pipe->PipeType;
  s->timed = startFrame != 0;
  s->nextFrame = startFrame;
  ULONG slots = direction == kRecord ? kRecordRequests : requestCount();
  if (slots > kMaxRequests) slots = kMaxRequests;
  s->slots = slots;
  // Published before any request goes down: a completion may come at once.
  *out = s;
  ULONG started = 0;
  status = STATUS_SUCCESS;
  for (ULONG slot = 0; slot < slots; ++slot) {
    status = StartSlot(s, slot);
    if (NT_SUCCESS(status)) ++started;
  }
  if (started == 0 && slots != 0) {
    StopPipe(out);
    return NT_SUCCESS(status) ? STATUS_UNSUCCESSFUL : status;
  }
  return status;
}

NTSTATUS StreamEngine::StartSlot(PipeStream* s, ULONG slot) {
  TransferContext* c = new (kTagEngine) TransferContext();
  if (!c) return STATUS_INSUFFICIENT_RESOURCES;
  c->slot = slot;
  c->firstTransfer = slot == 0 && s->timed;
  c->stream = s;
  c->urbBytes = ULONG(GET_ISO_URB_SIZE(kMaxPackets));
  c->urb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPool, c->urbBytes, kTagEngine));
  c->irp = IoAllocateIrp(CCHAR(lower_->StackSize + 1), FALSE);
  if (!c->urb || !c->irp) {
    if (c->irp) IoFreeIrp(c->irp);
    FreeBlock(c->urb);
    delete c;
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  const bool record = s->direction == kRecord;
  c->buffer = record ? recordBuffers_[slot] : playBuffers_[slot];
  c->bufferBytes = record ? recordBufferBytes_ : playBufferBytes_;
  RtlZeroMemory(c->buffer, c->bufferBytes);
  s->contexts[slot] = c;

  KIRQL irql;
  KeAcquireSpinLock(LockOf(s->direction), &irql);
  InterlockedIncrement(&s->inFlight);
  Prepare(c);
  Send(s, c, irql);
  return STATUS_SUCCESS;
}

void StreamEngine::Prepare(TransferContext* c) {
  BuildIsochronous(c, c->stream->direction);
  IoReuseIrp(c->irp, STATUS_SUCCESS);
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(c->irp);
  next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
  next->Parameters.Others.Argument1 = c->urb;
  IoSetCompletionRoutine(c->irp, OnComplete, c, TRUE, TRUE, TRUE);
}

void StreamEngine::Send(PipeStream* s, TransferContext* c, KIRQL irql) {
  PKSPIN_LOCK lock = LockOf(s->direction);
  s->pending[(s->pendingHead + s->pendingCount) % kMaxRequests] = c;
  ++s->pendingCount;
  if (s->sending) {
    KeReleaseSpinLock(lock, irql);
    return;
  }
  s->sending = true;
  InterlockedIncrement(&s->inFlight);  // the sender's reference
  ULONG dropped = 0;
  while (s->pendingCount) {
    TransferContext* next = s->pending[s->pendingHead];
    s->pendingHead = (s->pendingHead + 1) % kMaxRequests;
    --s->pendingCount;
    if (s->stopping) {
      ++dropped;
      continue;
    }
    next->inCall = true;
    KeReleaseSpinLock(lock, irql);
    IoCallDriver(lower_, next->irp);
    KeAcquireSpinLock(lock, &irql);
    next->inCall = false;
  }
  s->sending = false;
  KeReleaseSpinLock(lock, irql);
  for (ULONG i = 0; i < dropped; ++i) Retire(s);
  Retire(s);
}

void StreamEngine::Retire(PipeStream* s) {
  if (InterlockedDecrement(&s->inFlight) == 0) {
    KeSetEvent(&s->drained, IO_NO_INCREMENT, FALSE);
  }
}

// A request retires when its stream stops, when it was cancelled (stop,
// removal, an aborted pipe), when the device is no longer there and when it
// is out of D0. Every other failure is transient while the device is present
// (on Windows a late DPC leaves a request's packets not accessed by the
// controller): the slot goes down again, see Resubmit.
bool StreamEngine::ShouldRetire(PipeStream* s, PIRP irp, PURB urb) {
  if (s->stopping) return true;
  const NTSTATUS status = irp->IoStatus.Status;
  const USBD_STATUS usbd = urb->UrbHeader.Status;
  if (status == STATUS_CANCELLED || usbd == USBD_STATUS_CANCELED) return true;
  // A device out of D0 refuses everything until it is back: the streams
  // restart from the wake, not from here.
  if (status == STATUS_DEVICE_POWERED_OFF) return true;
  return DeviceGone(status, usbd);
}

bool StreamEngine::DeviceGone(NTSTATUS status, USBD_STATUS usbd) {
  return usbd == USBD_STATUS_DEVICE_GONE || status == STATUS_DEVICE_NOT_CONNECTED ||
         status == STATUS_NO_SUCH_DEVICE || status == STATUS_DEVICE_REMOVED || status == STATUS_DELETE_PENDING;
}

bool StreamEngine::Resubmit(TransferContext* c, PIRP irp) {
  TransferFaultCounters& f = faults_[c->stream->direction == kPlayback ? 0 : 1];
  const _URB_ISOCH_TRANSFER& t = c->urb->UrbIsochronousTransfer;
  const USBD_STATUS usbd = c->urb->UrbHeader.Status;
  const bool failed = !NT_SUCCESS(irp->IoStatus.Status) || !USBD_SUCCESS(usbd) ||
                      (t.NumberOfPackets != 0 && t.ErrorCount >= t.NumberOfPackets);
  if (!failed) {
    c->failures = c->lateFailures = 0;
    if (t.ErrorCount != 0) Count(&f.packetErrors);
    return true;
  }
  const bool late = AllPacketsLate(t);
  if (late ? ++c->lateFailures >= kMaxConsecutiveLateFailures : ++c->failures >= kMaxConsecutiveFailures) {
    Count(&f.slotsRetired);
    TQM_TRACE("TQMDRV: stream %u slot %u retired after %u failures (0x%08x)\n", c->stream->direction, c->slot,
              late ? c->lateFailures : c->failures, ULONG(usbd));
    return false;
  }
  if (usbd == USBD_STATUS_STALL_PID || usbd == USBD_STATUS_ENDPOINT_HALTED) Count(&f.stalled);
  else if (usbd == USBD_STATUS_ISOCH_REQUEST_FAILED || usbd == USBD_STATUS_ISO_NOT_ACCESSED_BY_HW ||
           usbd == USBD_STATUS_ISO_TD_ERROR || usbd == USBD_STATUS_ISO_NA_LATE_USBPORT ||
           usbd == USBD_STATUS_ISO_NOT_ACCESSED_LATE || usbd == USBD_STATUS_DEV_NOT_RESPONDING ||
           (USBD_SUCCESS(usbd) && t.ErrorCount != 0))
    Count(&f.requestFailed);
  else Count(&f.otherErrors);
  return true;
}

bool StreamEngine::AllPacketsLate(const _URB_ISOCH_TRANSFER& t) {
  if (t.NumberOfPackets == 0 || t.NumberOfPackets > kMaxPackets) return false;
  for (ULONG k = 0; k < t.NumberOfPackets; ++k) {
    const USBD_STATUS status = t.IsoPacket[k].Status;
    if (status != USBD_STATUS_ISO_NOT_ACCESSED_LATE && status != USBD_STATUS_ISO_NA_LATE_USBPORT) return false;
  }
  return true;
}

void StreamEngine::FillFailedPackets(TransferContext* c) {
  _URB_ISOCH_TRANSFER& t = c->urb->UrbIsochronousTransfer;
  if (t.ErrorCount == 0) return;
  const ULONG frameBytes = recordWidth_ * recordChannels_;
  const ULONG rate = this->rate();
  for (ULONG k = 0; k < t.NumberOfPackets && k < kMaxPackets; ++k) {
    USBD_ISO_PACKET_DESCRIPTOR& packet = t.IsoPacket[k];
    if (USBD_SUCCESS(packet.Status)) continue;
    // The device makes floor((n+1)R/1000) - floor(nR/1000) frames in bus
    // frame n (44 or 45 at 44.1 kHz); the stack set the transfer's start frame.
    const uint64_t n = uint64_t(t.StartFrame) + k;
    const ULONG frames = ULONG((n + 1) * rate / 1000 - n * rate / 1000);
    const ULONG offset = packet.Offset;
    if (offset > c->bufferBytes) continue;
    ULONG bytes = frames * frameBytes;
    if (bytes > schedule_.recordPacketSize) bytes = schedule_.recordPacketSize;
    if (bytes > c->bufferBytes - offset) bytes = c->bufferBytes - offset;
    RtlZeroMemory(c->buffer + offset, bytes);
    packet.Length = bytes;
    uint32_t* filled = &faults_[1].recordFramesFilled;
    if (frameBytes) WriteShared(filled, ReadShared(filled) + bytes / frameBytes);
  }
}

NTSTATUS StreamEngine::OnComplete(PDEVICE_OBJECT, PIRP irp, PVOID context) {
  TransferContext* c = static_cast<TransferContext*>(context);
  PipeStream* s = c->stream;
  StreamEngine* self = s->engine;
  const bool record = s->direction == kRecord;
  KIRQL irql;
  KeAcquireSpinLock(self->LockOf(s->direction), &irql);
  const bool first = c->firstTransfer;
  c->firstTransfer = false;
  if (first && !s->stopping && c->urb->UrbHeader.Status == USBD_STATUS_BAD_START_FRAME) {
    // The stack would not schedule the start frame (beyond its window): the
    // stream goes as soon as possible from now on, and its requests built
    // for frames behind this one come back refused and go again so.
    s->timed = false;
    self->Prepare(c);
    self->Send(s, c, irql);
    return STATUS_MORE_PROCESSING_REQUIRED;
  }
  if (ShouldRetire(s, irp, c->urb) || !self->Resubmit(c, irp)) {
    if (!s->stopping && DeviceGone(irp->IoStatus.Status, c->urb->UrbHeader.Status))
      self->Count(&self->faults_[record ? 1 : 0].deviceGone);
    else if (!s->stopping && irp->IoStatus.Status == STATUS_DEVICE_POWERED_OFF)
      self->Count(&self->faults_[record ? 1 : 0].poweredOff);
    KeReleaseSpinLock(self->LockOf(s->direction), irql);
    self->Retire(s);
    return STATUS_MORE_PROCESSING_REQUIRED;
  }
  bool period = false;
  if (record) {
    // A failed request still took its place in time: its packets' frames
    // are lost, and the record stream carries silence for them.
    self->FillFailedPackets(c);
    self->RecordCompleted(c, &period);
    self->Prepare(c);
    if (period) {
      self->Signal(1);
      // The record callbacks run under the record lock; what they register
      // is taken without it (see RegisterHalf).
      __atomic_store_n(&self->recordCallbackThread_, KeGetCurrentThread(), __ATOMIC_RELEASE);
      Call(self->ReadCallback(1, 2), 1, 2);
      Call(self->ReadCallback(1, 6), 1, 6);
      __atomic_store_n(&self->recordCallbackThread_, nullptr, __ATOMIC_RELEASE);
    }
  }
  // The playback callbacks run outside the lock, under a count of their own
  // on the stream: a stop waits for them, so no callback runs after the
  // stream's stop has returned.
  Callback playCallbacks[2] = {};
  if (!record) {
    self->PlaybackCompleted(c, &period);
    self->Prepare(c);
    self->pacer_.Wrap();
    if (period) {
      playCallbacks[0] = self->ReadCallback(0, 0);
      playCallbacks[1] = self->ReadCallback(0, 6);
      InterlockedIncrement(&s->inFlight);
    }
  }
  self->Send(s, c, irql);
  if (!record && period) {
    Call(playCallbacks[0], 0, 0);
    Call(playCallbacks[1], 0, 6);
    // Nothing of the stream or the request is touched after this.
    self->Retire(s);
  }
  return STATUS_MORE_PROCESSING_REQUIRED;
}

void StreamEngine::RecordCompleted(TransferContext* c, bool* period) {
  _URB_ISOCH_TRANSFER& t = c->urb->UrbIsochronousTransfer;
  // Gather the packets' bytes to the front of the buffer.
  ULONG bytes = 0;
  for (ULONG k = 0; k < t.NumberOfPackets && k < kMaxPackets; ++k) {
    const ULONG offset = t.IsoPacket[k].Offset;
    ULONG length = t.IsoPacket[k].Length;
    if (offset > c->bufferBytes) continue;
    if (length > c->bufferBytes - offset) length = c->bufferBytes - offset;
    if (offset != bytes) RtlMoveMemory(c->buffer + bytes, c->buffer + offset, length);
    bytes += length;
  }
  const ULONG channels = recordChannels_;
  const ULONG frameBytes = recordWidth_ * channels;
  const ULONG periodFrames = this->periodFrames();
  if (frameBytes == 0 || periodFrames == 0) return;
  ULONG frames = bytes / frameBytes;
  const UCHAR* src = c->buffer;
  // A packet may finish the half and start the next one.
  while (frames) {
    if (recordPosition_ >= periodFrames) recordPosition_ = 0;
    ULONG take = periodFrames - recordPosition_;
    if (take > frames) take = frames;
    int32_t* half = recordHalves_[recordHalf_] + recordPosition_ * channels;
    for (ULONG ch = 0; ch < channels; ++ch)
      UnpackSamples(half + ch, channels, src + ch * recordWidth_, channels, recordWidth_, int32_t(take));
    src += take * frameBytes;
    frames -= take;
    recordPosition_ += take;
    if (recordPosition_ == periodFrames) {
      const ULONG finished = recordHalf_;
      recordPosition_ = 0;
      const uint32_t number = ReadShared(&recordPeriods_);
      // The client gets output half `finished` back now; a fill on the other
      // processor may not yet have played what it holds; the fill and the
      // input tap may write the same ring slot (port_mixer.h).
      KeAcquireSpinLockAtDpcLevel(&latchLock_);
      mixer_.LatchAsioHalf(finished, periodFrames, PeriodNumber(number) - 2);
      // Clients follow the status block: it shows what runs at every period,
      // whatever a client wrote into its mapping.
      Publish();
      WriteShared(&status_->recordHalf, finished);
      recordHalf_ ^= 1;
      mixer_.DistributeRecordHalf(recordHalves_[finished], periodFrames, PeriodNumber(number));
      KeReleaseSpinLockFromDpcLevel(&latchLock_);
      WriteShared(&recordPeriods_, number + 1);
      *period = true;
    }
  }
}

void StreamEngine::PlaybackCompleted(TransferContext* c, bool* period) {
  const ULONG channels = playChannels_;
  const ULONG width = playWidth_;
  const ULONG periodFrames = this->periodFrames();
  ApplyPendingHalves();
  if (playHalfFinished_) {
    // Fill f plays the client period before the last one handed out.
    KeAcquireSpinLockAtDpcLevel(&latchLock_);
    mixer_.FillPlaybackHalf(playHalves_[playHalf_], periodFrames, PeriodNumber(fills_) - 1);
    KeReleaseSpinLockFromDpcLevel(&latchLock_);
    ++fills_;
    playHalfFinished_ = false;
  }
  pacer_.Advance();
  const ULONG frames = pacer_.CurrentFrames();
  UCHAR* out = c->buffer;
  const ULONG frameBytes = width * channels;
  ULONG carried = carryFrames_ < frames ? carryFrames_ : frames;
  if (carryFrames_) {
    for (ULONG ch = 0; ch < channels; ++ch) {
      PackSamples(out + ch * width, channels, width, carry_ + ch, channels, int32_t(carried));
      PackSamples(out + carried * frameBytes + ch * width, channels, width, playHalves_[playHalf_] + ch,
                  channels, int32_t(frames - carried));
    }
    carryFrames_ = 0;
    playPosition_ = frames - carried;
  } else {
    const int32_t* half = playHalves_[playHalf_] + playPosition_ * channels;
    for (ULONG ch = 0; ch < channels; ++ch)
      PackSamples(out + ch * width, channels, width, half + ch, channels, int32_t(frames));
    playPosition_ += frames;
  }
  // Look ahead: when the next request would run past the half, the rest of
  // the half leads it from the carry buffer and the next half begins.
  if (playPosition_ + pacer_.NextFrames() < periodFrames) return;
  const ULONG rest = playPosition_ < periodFrames ? periodFrames - playPosition_ : 0;
  CopySamples(carry_, 1, playHalves_[playHalf_] + playPosition_ * channels, 1, int32_t(rest * channels));
  carryFrames_ = rest;
  playPosition_ = 0;
  const ULONG left = playHalf_;
  playHalf_ ^= 1;
  playHalfFinished_ = true;
  // Channels nobody contributes to next time play silence.
  ClearSamples(playHalves_[left], 1, int32_t(channels * kSlotSamples));
  *period = true;
}

void StreamEngine::StopPipe(PipeStream** slot) {
  PipeStream* s = *slot;
  if (!s) return;
  // Nothing goes down once `stopping` is set. Requests in the stack are
  // cancelled; one that is being passed down at this moment completes on the
  // bus within its few milliseconds and retires then.
  PIRP cancel[kMaxRequests];
  ULONG cancels = 0;
  KIRQL irql;
  KeAcquireSpinLock(LockOf(s->direction), &irql);
  s->stopping = true;
  for (ULONG i = 0; i < s->slots; ++i)
    if (s->contexts[i] && !s->contexts[i]->inCall) cancel[cancels++] = s->contexts[i]->irp;
  KeReleaseSpinLock(LockOf(s->direction), irql);
  for (ULONG i = 0; i < cancels; ++i) IoCancelIrp(cancel[i]);
  Retire(s);
  bool drained = false;
  for (ULONG round = 0; round < kDrainRounds && !drained; ++round) {
    LARGE_INTEGER timeout;
    timeout.QuadPart = -LONGLONG(kDrainRoundMs) * 10000;
    drained = KeWaitForSingleObject(&s->drained, Executive, KernelMode, FALSE, &timeout) == STATUS_SUCCESS;
  }
  *slot = nullptr;
  // The last count may have dropped in a completion routine on another
  // processor that is still returning: it touches neither the stream nor its
  // request any more, and the request is ours again (it returned, or will
  // return, STATUS_MORE_PROCESSING_REQUIRED).
  if (!drained) {
    // Requests the stack still holds after cancel and four seconds: their
    // memory stays with them rather than being freed under the stack.
    TQM_TRACE("TQMDRV: stream %u did not drain\n", s->direction);
    return;
  }
  for (ULONG i = 0; i < s->slots; ++i) {
    TransferContext* c = s->contexts[i];
    if (!c) continue;
    IoFreeIrp(c->irp);
    FreeBlock(c->urb);
    delete c;
  }
  delete s;
}

}  // namespace engine
