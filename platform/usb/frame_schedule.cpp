// The port's bus schedule: one queue per endpoint, worked once per 1 ms frame
// on the clock thread.
//
// Isochronous: a transfer is scheduled as soon as possible, right after the
// transfers pending on its pipe (even when their frames ran late: its own
// packets for frames already past then end late), or two to three frames
// ahead (a seeded draw per frame: the controller's schedule lead) when the
// pipe has nothing pending. A transfer may instead name its start frame,
// within the controller's window either side of the bus: its packets for
// frames already past end USBD_STATUS_ISO_NOT_ACCESSED_LATE without crossing
// the bus, the rest move in their frames, and one whose every frame is past
// fails at the next frame, as every request whose packets all failed does.
// Each frame gives the model the OUT packet at the head transfer's next
// offset (its length runs to the next packet's offset, the last packet's to the
// end of the transfer) and the IN room at the other head's next offset (up to
// the next offset and at most the pipe's maximum packet). A packet that fails
// counts in the transfer's ErrorCount and keeps its own status; a transfer
// whose every packet failed fails. A transfer completes after its last packet.
//
// Interrupt (the HID pipes): the head OUT transfer goes out whole in the next
// frame; the head IN transfer completes in the first frame the device answers
// with a report, and waits while it answers NAK.
//
// Injected request failures (FailRequests): a request drawn to fail at
// submission keeps its frames in the schedule, but none of its packets reaches
// the device; each ends USBD_STATUS_ISO_NOT_ACCESSED_BY_HW and the request
// fails after its last frame, as every request whose packets all failed does.
//
// On any pipe a STALL halts the pipe and ends every transfer on it; a vanished
// device ends every transfer.
//
// Cancel: a queued transfer carries a cancel routine. Whoever takes a transfer
// out of its queue first clears that routine; if the routine is already gone,
// the cancel routine is running and owns the IRP, so the transfer stays (marked
// cancelling, skipped by the frames) until the routine takes it. The routine
// completes it at once (cancelInline) or marks it cancelled, and the next
// frame completes it. An aborted transfer leaves the bus at once and
// completes at the next frame (unless abortInline).
//
// Completion timing: a finished isochronous transfer leaves its queue at once,
// but its completion may be held back up to PortModes::completionDelayFrames
// frames (a seeded draw per frame, the same for every pipe), as a late DPC
// holds it; those held for a frame complete first in its work, before its
// packets move, so several may arrive together. A pipe's completions never overtake each
// other: a cancel, an abort, a stall or a vanished device first completes
// what its pipe has held back.
//
// Each frame first completes what was held back for it, then what was
// cancelled or aborted before it, then the control requests due in it (in
// submission order), then moves the isochronous and interrupt packets.
#include <usbdlib.h>

#include <algorithm>
#include <cstddef>
#include <cstdio>

#include "platform/kernel/machine.h"

#include "usb/hub_driver.h"
#include "usb/tqm27_port.h"
#include "usb/usb_status.h"

namespace tqm::usb {

namespace {

// A full-speed isochronous transfer spans at most 255 frames.
constexpr ULONG kMaxPackets = 255;
// How far ahead a transfer with a fixed start frame may be scheduled.
constexpr ULONG kStartFrameWindow = 1024;

ULONG PacketEnd(const _URB_ISOCH_TRANSFER& urb, ULONG k) {
  return k + 1 < urb.NumberOfPackets ? urb.IsoPacket[k + 1].Offset : urb.TransferBufferLength;
}

uint64_t Mix(uint64_t z) {  // splitmix64's finaliser
  z += 0x9E3779B97F4A7C15ull;
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

}  // namespace

// Queues a validated transfer, marked pending, with its cancel routine; called
// with mutex_ held.
void Tqm27Port::Enqueue(PIRP irp, PURB urb, UCHAR* buffer, Pipe& pipe, std::vector<Done>& done, bool failing) {
  Queue& queue = QueueFor(pipe.endpoint);
  urb->UrbHeader.Status = USBD_STATUS_PENDING;
  IoMarkIrpPending(irp);
  Transfer transfer{irp, urb, buffer, pipe.handle};
  transfer.failing = failing;
  transfer.outSum = OutSum(transfer);
  queue.push_back(transfer);
  IoSetCancelRoutine(irp, CancelTransfer);
  if (__atomic_load_n(&irp->Cancel, __ATOMIC_ACQUIRE) && IoSetCancelRoutine(irp, nullptr)) {
    // Cancelled before it was queued: it ends here.
    queue.pop_back();
    urb->UrbHeader.Status = USBD_STATUS_CANCELED;
    ++counters_.cancelled;
    done.push_back(Done{irp, STATUS_CANCELLED});
  }
}

// Called with mutex_ held. Either queues the transfer (*queued set, the return
// value is STATUS_PENDING) or leaves it for the caller to complete at once with
// the URB status it set.
NTSTATUS Tqm27Port::SubmitIsoch(PIRP irp, PURB urb, std::vector<Done>& done, bool* queued) {
  _URB_ISOCH_TRANSFER& r = urb->UrbIsochronousTransfer;
  auto reject = [&](USBD_STATUS status) {
    urb->UrbHeader.Status = status;
    return IrpStatusFor(status);
  };
  if (urb->UrbHeader.Length < offsetof(struct _URB_ISOCH_TRANSFER, IsoPacket))
    return reject(USBD_STATUS_INVALID_PARAMETER);
  const ULONG packets = r.NumberOfPackets;
  if (packets == 0 || packets > kMaxPackets ||
      urb->UrbHeader.Length < offsetof(struct _URB_ISOCH_TRANSFER, IsoPacket) +
                                  packets * sizeof(USBD_ISO_PACKET_DESCRIPTOR))
    return reject(USBD_STATUS_INVALID_PARAMETER);
  Pipe* pipe = FindPipe(r.PipeHandle);
  if (!pipe) return reject(USBD_STATUS_INVALID_PIPE_HANDLE);
  const bool in = USB_ENDPOINT_DIRECTION_IN(pipe->endpoint);
  if (pipe->type != UsbdPipeTypeIsochronous ||
      (USBD_TRANSFER_DIRECTION_FLAG(r.TransferFlags) == USBD_TRANSFER_DIRECTION_IN) != in)
    return reject(USBD_STATUS_INVALID_PARAMETER);
  UCHAR* buffer = TransferBuffer(r.TransferBuffer, r.TransferBufferMDL);
  if (!buffer || r.TransferBufferLength == 0) return reject(USBD_STATUS_INVALID_PARAMETER);
  for (ULONG k = 0; k < packets; ++k) {
    const ULONG offset = r.IsoPacket[k].Offset;
    const ULONG end = PacketEnd(r, k);
    if (offset > end || end > r.TransferBufferLength) return reject(USBD_STATUS_INVALID_PARAMETER);
    // An OUT packet larger than the endpoint takes would babble on the bus.
    if (!in && end - offset > pipe->maxPacket) return reject(USBD_STATUS_INVALID_PARAMETER);
  }
  if (pipe->halted) return reject(USBD_STATUS_STALL_PID);

  ULONG& nextFrame = nextFrame_[QueueIndex(pipe->endpoint)];
  const ULONG now = ULONG(device_.FrameNumber());
  const Queue& pending = QueueFor(pipe->endpoint);
  const bool empty = pending.empty();
  // Cancelled and aborted transfers are off the bus already.
  const bool idle = std::all_of(pending.begin(), pending.end(),
                                [](const Transfer& t) { return t.cancelling || t.aborted; });
  bool lateAllowed = true;
  if (r.TransferFlags & USBD_START_ISO_TRANSFER_ASAP) {
    // Behind what the pipe has pending, even when that ran late: the stream
    // keeps its frames, and its packets for frames already past end late.
    if (idle) {
      nextFrame = AsapStart(now);
      lateAllowed = false;
    }
  } else {
    // A fixed start frame lies within the controller's window either side of
    // the bus and does not overlap what the pipe has queued; the stack never
    // moves it. Its packets for frames already past (the frame `now` is
    // already being scheduled) are late and do not cross the bus.
    const int32_t ahead = int32_t(r.StartFrame - now);
    if (ahead < -int32_t(kStartFrameWindow) || ahead > int32_t(kStartFrameWindow) ||
        (!empty && int32_t(r.StartFrame - nextFrame) < 0))
      return reject(USBD_STATUS_BAD_START_FRAME);
    nextFrame = r.StartFrame;
  }
  r.StartFrame = nextFrame;
  nextFrame += packets;
  r.ErrorCount = 0;
  for (ULONG k = 0; k < packets; ++k) {
    r.IsoPacket[k].Status = USBD_STATUS_NOT_ACCESSED;
    if (in) r.IsoPacket[k].Length = 0;
  }
  const ULONG late = lateAllowed ? MarkLatePackets(r, now, in) : 0;
  Enqueue(irp, urb, buffer, *pipe, done, DrawFailure(pipe->endpoint));
  Queue& queue = QueueFor(pipe->endpoint);
  if (!queue.empty() && queue.back().irp == irp) queue.back().next = late;
  *queued = true;
  return STATUS_PENDING;
}

ULONG Tqm27Port::AsapStart(ULONG now) const {
  if (!modes_.asapLead) return now;
  // The controller's lead is its own, the same for every pipe in a frame:
  // drawn from the frame, not the pipe or the order of submission, so that
  // virtual runs repeat exactly.
  return now + 2 + ULONG(Mix(controlDraw_ ^ 0xA5A5ull << 40 ^ now) % 2);
}

ULONG Tqm27Port::MarkLatePackets(_URB_ISOCH_TRANSFER& r, ULONG now, bool in) {
  ULONG late = 0;
  while (late < r.NumberOfPackets && int32_t(r.StartFrame + late - now) < 1) {
    r.IsoPacket[late].Status = USBD_STATUS_ISO_NOT_ACCESSED_LATE;
    if (in) r.IsoPacket[late].Length = 0;
    ++r.ErrorCount;
    ++late;
  }
  return late;
}

void Tqm27Port::FailRequests(UCHAR endpoint, RequestFaults faults) {
  std::lock_guard lock(mutex_);
  const size_t q = QueueIndex(endpoint);
  failPerMillion_[q] = faults.perMillion > 1000000 ? 1000000 : faults.perMillion;
  // splitmix64 of the seed, so that nearby seeds give unrelated sequences.
  uint64_t z = faults.seed + 0x9E3779B97F4A7C15ull;
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  z ^= z >> 31;
  failState_[q] = z ? z : 1;
}

bool Tqm27Port::DrawFailure(UCHAR endpoint) {
  const size_t q = QueueIndex(endpoint);
  if (failPerMillion_[q] == 0) return false;
  uint64_t& x = failState_[q];  // xorshift64
  x ^= x << 13;
  x ^= x >> 7;
  x ^= x << 17;
  return x % 1000000 < failPerMillion_[q];
}

NTSTATUS Tqm27Port::SubmitInterrupt(PIRP irp, PURB urb, std::vector<Done>& done, bool* queued) {
  _URB_BULK_OR_INTERRUPT_TRANSFER& r = urb->UrbBulkOrInterruptTransfer;
  auto reject = [&](USBD_STATUS status) {
    urb->UrbHeader.Status = status;
    return IrpStatusFor(status);
  };
  if (urb->UrbHeader.Length < sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER))
    return reject(USBD_STATUS_INVALID_PARAMETER);
  Pipe* pipe = FindPipe(r.PipeHandle);
  if (!pipe) return reject(USBD_STATUS_INVALID_PIPE_HANDLE);
  const bool in = USB_ENDPOINT_DIRECTION_IN(pipe->endpoint);
  // Only the HID interface's interrupt pipes carry such transfers here.
  if (pipe->type != UsbdPipeTypeInterrupt ||
      (USBD_TRANSFER_DIRECTION_FLAG(r.TransferFlags) == USBD_TRANSFER_DIRECTION_IN) != in)
    return reject(USBD_STATUS_INVALID_PARAMETER);
  UCHAR* buffer = TransferBuffer(r.TransferBuffer, r.TransferBufferMDL);
  if (!buffer || r.TransferBufferLength == 0) return reject(USBD_STATUS_INVALID_PARAMETER);
  if (pipe->halted) return reject(USBD_STATUS_STALL_PID);
  Enqueue(irp, urb, buffer, *pipe, done);
  *queued = true;
  return STATUS_PENDING;
}

Tqm27Port::Transfer* Tqm27Port::Head(Queue& queue, ULONG frame) {
  for (Transfer& t : queue) {
    if (t.cancelling || t.aborted) continue;
    // A transfer waits on the bus until its start frame.
    if (t.urb->UrbHeader.Function == URB_FUNCTION_ISOCH_TRANSFER &&
        int32_t(t.urb->UrbIsochronousTransfer.StartFrame + t.next - frame) > 0)
      return nullptr;
    return &t;
  }
  return nullptr;
}

uint64_t Tqm27Port::OutSum(const Transfer& t) {
  if (t.urb->UrbHeader.Function != URB_FUNCTION_ISOCH_TRANSFER ||
      USBD_TRANSFER_DIRECTION_FLAG(t.urb->UrbIsochronousTransfer.TransferFlags) == USBD_TRANSFER_DIRECTION_IN)
    return 0;
  uint64_t sum = 0xCBF29CE484222325ull;
  const ULONG length = t.urb->UrbIsochronousTransfer.TransferBufferLength;
  for (ULONG i = 0; i < length; ++i) sum = (sum ^ t.buffer[i]) * 0x100000001B3ull;
  return sum;
}

void Tqm27Port::CheckOutBuffer(const Transfer& t) {
  if (!t.outSum || OutSum(t) == t.outSum) return;
  char what[96];
  std::snprintf(what, sizeof what, "isochronous OUT buffer of IRP %p changed after submission",
                static_cast<void*>(t.irp));
  machine_.ReportFault(kernel::FaultKind::IrpMisuse, what, "the USB stack, at completion");
}

void Tqm27Port::Retire(Queue& queue, Transfer* transfer, USBD_STATUS usbd, NTSTATUS status,
                       std::vector<Done>& done) {
  if (!IoSetCancelRoutine(transfer->irp, nullptr)) {
    transfer->cancelling = true;
    return;
  }
  CheckOutBuffer(*transfer);
  transfer->urb->UrbHeader.Status = usbd;
  ++counters_.completed;
  done.push_back(Done{transfer->irp, status});
  const auto it = std::find_if(queue.begin(), queue.end(), [&](const Transfer& t) { return &t == transfer; });
  queue.erase(it);
}

void Tqm27Port::FailQueue(Queue& queue, USBD_STATUS usbd, NTSTATUS status, std::vector<Done>& done) {
  for (auto it = queue.begin(); it != queue.end();) {
    if (it->cancelled) {
      // Its cancel routine ran and left it to the frames: it ends cancelled.
      it->urb->UrbHeader.Status = USBD_STATUS_CANCELED;
      done.push_back(Done{it->irp, STATUS_CANCELLED});
      it = queue.erase(it);
      continue;
    }
    if (it->cancelling || !IoSetCancelRoutine(it->irp, nullptr)) {
      it->cancelling = true;
      ++it;
      continue;
    }
    it->urb->UrbHeader.Status = usbd;
    done.push_back(Done{it->irp, status});
    it = queue.erase(it);
  }
}

void Tqm27Port::FailAll(USBD_STATUS usbd, NTSTATUS status, std::vector<Done>& done) {
  // Transfers that finished before complete as they finished, first.
  FlushCompletions(kQueues, done);
  for (const Control& c : controls_) {
    c.urb->UrbHeader.Status = usbd;
    ++counters_.rejected;
    done.push_back(Done{c.irp, status});
  }
  controls_.clear();
  for (Queue& queue : queues_) FailQueue(queue, usbd, status, done);
}

void Tqm27Port::RunDueControl(int64_t now, std::vector<Done>& done) {
  for (Queue& queue : queues_) {
    for (auto it = queue.begin(); it != queue.end();) {
      const bool aborted = !it->cancelled && it->aborted && !it->cancelling && IoSetCancelRoutine(it->irp, nullptr);
      if (it->cancelled || aborted) {
        FlushCompletions(size_t(&queue - queues_.data()), done);
        it->urb->UrbHeader.Status = USBD_STATUS_CANCELED;
        if (aborted) ++counters_.cancelled;
        done.push_back(Done{it->irp, STATUS_CANCELLED});
        it = queue.erase(it);
        continue;
      }
      // An aborted transfer whose cancel routine is running is the routine's.
      if (it->aborted) it->cancelling = true;
      ++it;
    }
  }
  // Every request due by now, in submission order; one not yet due does not
  // hold back a later one that is.
  for (auto it = controls_.begin(); it != controls_.end();) {
    if (now < it->due) {
      ++it;
      continue;
    }
    const Control c = *it;
    it = controls_.erase(it);
    std::vector<Done> aborted;  // only with abortInline: they go first
    const USBD_STATUS usbd = RunControl(c.urb, aborted);
    done.insert(done.end(), aborted.begin(), aborted.end());
    c.urb->UrbHeader.Status = usbd;
    if (!USBD_SUCCESS(usbd)) ++counters_.rejected;
    done.push_back(Done{c.irp, IrpStatusFor(usbd)});
  }
}

// The clock's frame work, at DISPATCH_LEVEL on processor 0; what it
// completes is handed to the two processors (tqm27_port.h).
void Tqm27Port::RunFrame() {
  const int64_t now = machine_.clock().Now();  // read outside mutex_
  CompleteHeld();
  {
    std::lock_guard lock(mutex_);
    if (disconnected_) {
      // Everything in flight ends as a vanished device's.
      FailAll(USBD_STATUS_DEVICE_GONE, STATUS_DEVICE_NOT_CONNECTED, frameDone_);
    } else if (PoweredDownLocked()) {
      // A suspended port: no frame reaches the device (device_power.cpp).
    } else {
      RunDueControl(now, frameDone_);
      RunIsochronous();
      RunInterrupt(kHidOutEndpoint);
      RunInterrupt(kHidInEndpoint);
    }
  }
  HandOut(frameDone_, ULONG(device_.FrameNumber()));
}

void Tqm27Port::RunIsochronous() {
  Queue& outQueue = QueueFor(kPlaybackEndpoint);
  Queue& inQueue = QueueFor(kRecordEndpoint);
  const ULONG frameNumber = ULONG(device_.FrameNumber());
  RetireSpent(outQueue, frameNumber);
  RetireSpent(inQueue, frameNumber);
  Transfer* out = Head(outQueue, frameNumber);
  Transfer* in = Head(inQueue, frameNumber);
  Pipe* inPipe = in ? FindPipe(in->pipe) : nullptr;
  FrameTransfers frame;
  // A failing request's packets never reach the device: the DAC goes without
  // them and the ADC's frames of those milliseconds have nowhere to go.
  if (out && !out->failing) {
    const _URB_ISOCH_TRANSFER& r = out->urb->UrbIsochronousTransfer;
    const ULONG offset = r.IsoPacket[out->next].Offset;
    frame.out = std::span<const uint8_t>(out->buffer + offset, PacketEnd(r, out->next) - offset);
  }
  if (in && !in->failing) {
    const _URB_ISOCH_TRANSFER& r = in->urb->UrbIsochronousTransfer;
    const ULONG offset = r.IsoPacket[in->next].Offset;
    const ULONG room = std::min<ULONG>(PacketEnd(r, in->next) - offset, inPipe ? inPipe->maxPacket : 0);
    frame.in = std::span<uint8_t>(in->buffer + offset, room);
  }
  // The frame runs whether or not transfers are pending: the device's clock
  // is the bus's.
  const FrameResult result = device_.RunFrame(frame);
  if ((out && result.out == UsbStatus::DeviceGone) || (in && result.in == UsbStatus::DeviceGone)) {
    FailAll(USBD_STATUS_DEVICE_GONE, STATUS_DEVICE_NOT_CONNECTED, frameDone_);
    return;
  }
  struct Side {
    Queue& queue;
    Transfer* transfer;
    UsbStatus status;
    bool in;
  };
  for (Side side : {Side{outQueue, out, result.out, false}, Side{inQueue, in, result.in, true}}) {
    Transfer* t = side.transfer;
    if (!t) continue;
    _URB_ISOCH_TRANSFER& r = t->urb->UrbIsochronousTransfer;
    USBD_ISO_PACKET_DESCRIPTOR& packet = r.IsoPacket[t->next];
    if (t->failing) {
      packet.Status = USBD_STATUS_ISO_NOT_ACCESSED_BY_HW;
      if (side.in) packet.Length = 0;
      ++r.ErrorCount;
      ++(side.in ? counters_.failedInPackets : counters_.failedOutPackets);
      if (++t->next < r.NumberOfPackets) continue;
      ++(side.in ? counters_.failedInRequests : counters_.failedOutRequests);
      RetireFinished(side.queue, t, USBD_STATUS_ISOCH_REQUEST_FAILED, STATUS_UNSUCCESSFUL, frameNumber);
      continue;
    }
    packet.Status = UsbdStatusFor(side.status);
    if (side.in) packet.Length = side.status == UsbStatus::Ok ? result.inLength : 0;
    if (side.status != UsbStatus::Ok) ++r.ErrorCount;
    ++t->next;
    if (side.status == UsbStatus::Stall) {
      // The endpoint halted: this and every later transfer on the pipe fail
      // until the pipe is reset.
      if (Pipe* pipe = FindPipe(t->pipe)) pipe->halted = true;
      FlushCompletions(size_t(&side.queue - queues_.data()), frameDone_);
      Retire(side.queue, t, USBD_STATUS_STALL_PID, STATUS_UNSUCCESSFUL, frameDone_);
      FailQueue(side.queue, USBD_STATUS_STALL_PID, STATUS_UNSUCCESSFUL, frameDone_);
      continue;
    }
    if (t->next < r.NumberOfPackets) continue;
    if (r.ErrorCount == r.NumberOfPackets)
      RetireFinished(side.queue, t, USBD_STATUS_ISOCH_REQUEST_FAILED, STATUS_UNSUCCESSFUL, frameNumber);
    else
      RetireFinished(side.queue, t, USBD_STATUS_SUCCESS, STATUS_SUCCESS, frameNumber);
  }
}

void Tqm27Port::RunInterrupt(UCHAR endpoint) {
  Queue& queue = QueueFor(endpoint);
  Transfer* t = Head(queue, ULONG(device_.FrameNumber()));
  if (!t) return;
  _URB_BULK_OR_INTERRUPT_TRANSFER& r = t->urb->UrbBulkOrInterruptTransfer;
  UsbStatus status;
  uint32_t length = 0;
  if (USB_ENDPOINT_DIRECTION_IN(endpoint)) {
    status = device_.HidInput(std::span<uint8_t>(t->buffer, r.TransferBufferLength), &length);
    if (status == UsbStatus::Nak) return;  // polled again next frame
  } else {
    status = device_.HidOutput(std::span<const uint8_t>(t->buffer, r.TransferBufferLength));
    length = r.TransferBufferLength;
  }
  if (status == UsbStatus::DeviceGone) {
    FailAll(USBD_STATUS_DEVICE_GONE, STATUS_DEVICE_NOT_CONNECTED, frameDone_);
    return;
  }
  const USBD_STATUS usbd = UsbdStatusFor(status);
  if (status == UsbStatus::Ok) r.TransferBufferLength = length;
  else r.TransferBufferLength = 0;
  Retire(queue, t, usbd, IrpStatusFor(usbd), frameDone_);
  if (status == UsbStatus::Stall) {
    if (Pipe* pipe = FindPipe(r.PipeHandle)) pipe->halted = true;
    FailQueue(queue, USBD_STATUS_STALL_PID, STATUS_UNSUCCESSFUL, frameDone_);
  }
}

void Tqm27Port::RetireSpent(Queue& queue, ULONG frame) {
  for (auto it = queue.begin(); it != queue.end();) {
    // Off the bus already (Head skips them too).
    if (it->cancelling || it->aborted) {
      ++it;
      continue;
    }
    if (it->urb->UrbHeader.Function != URB_FUNCTION_ISOCH_TRANSFER ||
        it->next < it->urb->UrbIsochronousTransfer.NumberOfPackets)
      return;
    // Out of the queue, or left to its running cancel routine (marked).
    RetireFinished(queue, &*it, USBD_STATUS_ISOCH_REQUEST_FAILED, STATUS_UNSUCCESSFUL, frame);
    it = queue.begin();
  }
}

void Tqm27Port::RetireFinished(Queue& queue, Transfer* transfer, USBD_STATUS usbd, NTSTATUS status,
                               ULONG frame) {
  const size_t q = size_t(&queue - queues_.data());
  const size_t before = frameDone_.size();
  Retire(queue, transfer, usbd, status, frameDone_);
  if (frameDone_.size() == before) return;  // its cancel routine owns it
  const uint32_t most = modes_.completionDelayFrames;
  ULONG due = frame;
  // One draw per frame for every pipe: a late DPC holds back all that its
  // frame finished.
  if (most) due += ULONG(Mix(controlDraw_ ^ 0x5A5Aull << 40 ^ frame) % (most + 1));
  // A pipe's completions keep their order: none overtakes one held back.
  const bool holding = std::any_of(held_.begin(), held_.end(), [&](const Held& h) { return h.queue == q; });
  if (holding && int32_t(lastDue_[q] - due) > 0) due = lastDue_[q];
  if (due == frame) return;
  lastDue_[q] = due;
  held_.push_back(Held{frameDone_.back(), due, q});
  frameDone_.pop_back();
}

void Tqm27Port::CompleteHeld() {
  {
    std::lock_guard lock(mutex_);
    TakeDueCompletions(ULONG(device_.FrameNumber()), heldDone_);
  }
  Complete(heldDone_);
}

void Tqm27Port::TakeDueCompletions(ULONG frame, std::vector<Done>& done) {
  for (auto it = held_.begin(); it != held_.end();) {
    if (int32_t(it->due - frame) > 0) {
      ++it;
      continue;
    }
    done.push_back(it->done);
    it = held_.erase(it);
  }
}

void Tqm27Port::FlushCompletions(size_t q, std::vector<Done>& done) {
  for (auto it = held_.begin(); it != held_.end();) {
    if (q != kQueues && it->queue != q) {
      ++it;
      continue;
    }
    done.push_back(it->done);
    it = held_.erase(it);
  }
}

void Tqm27Port::CancelTransfer(PDEVICE_OBJECT device, PIRP irp) {
  IoReleaseCancelSpinLock(irp->CancelIrql);
  static_cast<PortExtension*>(device->DeviceExtension)->port->Cancel(irp);
}

void Tqm27Port::Cancel(PIRP irp) {
  std::vector<Done> done;
  {
    std::lock_guard lock(mutex_);
    for (Queue& queue : queues_) {
      const auto it = std::find_if(queue.begin(), queue.end(), [&](const Transfer& t) { return t.irp == irp; });
      if (it == queue.end()) continue;
      if (!modes_.cancelInline) {
        // Off the bus now; the next frame completes it.
        it->cancelling = true;
        it->cancelled = true;
        ++counters_.cancelled;
        break;
      }
      FlushCompletions(size_t(&queue - queues_.data()), done);
      it->urb->UrbHeader.Status = USBD_STATUS_CANCELED;
      ++counters_.cancelled;
      done.push_back(Done{irp, STATUS_CANCELLED});
      queue.erase(it);
      break;
    }
  }
  Complete(done);
}

}  // namespace tqm::usb
