// One TQM27 on a port of the simulated hub: its physical device object and the
// host side of the bus (what a host controller and its port driver do for it).
//
// The PDO answers IOCTL_INTERNAL_USB_SUBMIT_URB. Control requests
// (descriptors, selections, class and vendor requests, pipe reset, abort)
// complete one to three frames later from the clock thread, as Windows' stack
// may complete them: the request is carried out in the frame it completes in,
// so nothing of it is seen before. A cancelled transfer is only marked by its
// cancel routine and completes at the next frame; an abort completes first
// and the transfers it aborted at the frame after. PortModes puts each back
// inline (completed inside IoCallDriver or IoCancelIrp, aborted transfers
// before the abort), which Windows may also do: the driver must be right in
// both. The frame number and every request the stack rejects (vanished
// device, halted pipe, malformed URB) complete inside IoCallDriver, on the
// caller's thread. Isochronous transfers queue per pipe and complete from the clock
// thread: the port's frame work runs every millisecond at DISPATCH_LEVEL,
// hands the model one OUT packet and one IN packet room per frame, and
// completes a transfer after its last packet, or up to
// PortModes::completionDelayFrames later (see frame_schedule.cpp for the
// schedule lead, late packets and held-back completions). Interrupt transfers on the HID
// pipes also wait for the bus: an OUT report goes out in the next frame, an IN
// request completes in the first frame the device has a report for it. Both the IRP status and the URB
// status are set, as the real stack sets them, and every URB completes at
// DISPATCH_LEVEL, as from a host controller's DPC.
//
// Two processors: the frame work (the bus: packets, due control requests,
// cancels and aborts) runs on processor 0; what it completed is handed to the
// clock's two processors for the same instant, as DPCs queued to two
// processors: the playback (OUT) endpoint's transfers to processor 0, the
// record (IN) endpoint's to processor 1, so that the two pipes' completions
// overlap. Control requests and the HID pipes' transfers go together to the
// processor drawn per frame from the seed (PortModes::seed), so that over a
// run they meet each stream's completions on the other processor. Each
// processor completes its share in the order the bus finished it.
//
// Ownership: the UsbHub creates and destroys ports. A port owns its model and
// its frame work; the PDO's extension points at the port. The PDO is deleted
// when it has been removed (IRP_MN_REMOVE_DEVICE) after the device left the
// bus, or by the hub when it is destroyed.
//
// Locking: mutex_ guards the configuration, the pipes, the transfer queues
// and the list of handed-out completions. The completions handed to a
// processor take no lock of the port's before they complete (the port's
// lock would order the two processors' completions for ThreadSanitizer).
// It is never held while an IRP is completed (a completion routine may submit
// again) nor while a cancel routine is called; the model's own mutex is taken
// inside it, never the other way round.
#pragma once

#include <usb.h>
#include <wdm.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "platform/kernel/clock.h"
#include "usb/device/tqm27_device.h"

namespace tqm::kernel {
class Machine;
}

namespace tqm::usb {

// Host-side figures a test can read back.
struct PortCounters {
  uint64_t urbs = 0;                  // URBs submitted
  uint64_t rejected = 0;              // completed at once with an error
  uint64_t completed = 0;             // transfers completed by the bus, from the clock
  uint64_t cancelled = 0;             // cancelled or aborted
  // Isochronous requests failed by injection (FailRequests) on the OUT and
  // IN endpoints, and the packets in them.
  uint64_t failedOutRequests = 0;
  uint64_t failedInRequests = 0;
  uint64_t failedOutPackets = 0;
  uint64_t failedInPackets = 0;
  // While the device is not in D0 or the system sleeps: requests refused at
  // once, and pending ones the power-down ended.
  uint64_t refusedPoweredDown = 0;
  uint64_t endedByPowerDown = 0;
};

// Isochronous requests the host controller fails, as it does when its
// schedule was serviced late (a late DPC): none of the request's packets
// crosses the bus, each ends USBD_STATUS_ISO_NOT_ACCESSED_BY_HW, and the
// request completes with USBD_STATUS_ISOCH_REQUEST_FAILED and
// STATUS_UNSUCCESSFUL in the frame of its last packet. Which requests fail
// is a deterministic pseudo-random draw per submitted request, from `seed`.
struct RequestFaults {
  uint32_t perMillion = 0;  // the fraction of requests that fail, in millionths
  uint64_t seed = 1;
};

// How the stack completes what it answers without waiting for a transfer's
// frames, and when the bus's transfers start and are seen to end. The
// defaults are the later of what Windows may do.
struct PortModes {
  bool controlInline = false;  // control requests complete inside IoCallDriver
  bool cancelInline = false;   // a cancelled transfer completes inside IoCancelIrp
  bool abortInline = false;    // aborted transfers complete inside the abort, before it
  // An ASAP transfer on a pipe with nothing queued starts two or three frames
  // after the current one, as a host controller's schedule lead makes it;
  // false starts it in the current frame.
  bool asapLead = true;
  // A finished isochronous transfer's completion reaches its driver up to
  // this many frames after its last packet (the host controller's DPC ran
  // late), several in one frame when they pile up; each pipe's completions
  // keep their order. 0 completes each at the end of its last frame. Off by
  // default: the output pairing's round trip has no slack for a record
  // completion that comes after the playback completion of its frame.
  uint32_t completionDelayFrames = 0;
  uint64_t seed = 1;  // draws the control delays, the ASAP leads and the completion delays
  // Who completes a frame's transfers: the two processors (see Tqm27Port),
  // or processor 0 alone with one stream's all before the other's, as a
  // single DPC may: a fixed order for tests that pin one.
  enum class Completions { TwoProcessors, PlaybackFirst, RecordFirst };
  Completions completions = Completions::TwoProcessors;
};

class Tqm27Port {
 public:
  // Creates the PDO with `driver` (the hub's) and starts the frame work.
  // `number` is the hub port's (1 the first): the device has no serial
  // number, so its instance is named after it.
  Tqm27Port(kernel::Machine& machine, PDRIVER_OBJECT driver, NTSTATUS* status, uint32_t number = 1);
  ~Tqm27Port();
  Tqm27Port(const Tqm27Port&) = delete;
  Tqm27Port& operator=(const Tqm27Port&) = delete;

  PDEVICE_OBJECT pdo() const { return pdo_; }
  Tqm27Device& device() { return device_; }
  PortCounters Counters() const;
  // Fails a fraction of the isochronous requests submitted on `endpoint`
  // (0x03 or 0x82) from now on; perMillion 0 stops it.
  void FailRequests(UCHAR endpoint, RequestFaults faults);
  // Applies to requests submitted and cancels made from now on.
  void SetModes(const PortModes& modes);
  PortModes Modes() const;
  // While set, selecting an alternate setting of `interface` that has an
  // isochronous endpoint fails with USBD_STATUS_NO_BANDWIDTH, as when other
  // devices hold the bus's periodic bandwidth; setting 0 is always granted.
  void RefuseBandwidth(UCHAR interface, bool refuse);

  // The device leaves the bus: the model goes away, and from the next frame on
  // every pending transfer completes as a vanished device's, as does every new
  // request at once.
  void Disconnect();
  // True once the device has left the bus.
  bool Disconnected() const;
  // True while the PDO has been removed and not started again.
  bool Removed() const;
  // True once the PDO has been deleted (removed after the device left).
  bool Deleted() const;
  // Deletes the PDO if it still exists (the hub's teardown).
  void DeletePdo();
  // The device state the capabilities name for every sleeping system state
  // (D3 by default; PowerDeviceUnspecified for a bus that leaves them open).
  void SetSleepDeviceState(DEVICE_POWER_STATE state) { sleepDeviceState_ = state; }
  // The power requests that reached the PDO since the last call, in order:
  // "SET S0" for a system SET_POWER to PowerSystemWorking, "QUERY D3" for a
  // device QUERY_POWER to PowerDeviceD3.
  std::vector<std::string> TakePowerLog();

  // True while the device is out of D0 or the system is in S1..S5: its frames
  // have stopped and every request is refused.
  bool PoweredDown() const;

  // The PDO's dispatch, reached through the hub driver's routines.
  NTSTATUS Dispatch(PIRP irp);

 private:
  struct Pipe {
    USBD_PIPE_HANDLE handle;
    UCHAR interface;
    UCHAR endpoint;
    USBD_PIPE_TYPE type;
    USHORT maxPacket;
    bool halted = false;  // the host saw a STALL; cleared by a pipe reset
  };
  // An isochronous or interrupt transfer waiting for the bus.
  struct Transfer {
    PIRP irp;
    PURB urb;
    UCHAR* buffer;
    USBD_PIPE_HANDLE pipe;
    ULONG next = 0;           // isochronous: the packet the next frame moves
    bool cancelling = false;  // its cancel routine owns it now
    bool cancelled = false;   // cancelled, completes at the next frame (with cancelling)
    bool aborted = false;     // its pipe was aborted: off the bus, completes at the next frame
    bool failing = false;     // injected: no packet of it crosses the bus
    uint64_t outSum = 0;      // isochronous OUT: its bytes at submission
  };
  using Queue = std::deque<Transfer>;
  static constexpr size_t kQueues = 32;  // per endpoint number and direction
  struct Done {
    PIRP irp;
    NTSTATUS status;
  };
  // A control request waiting for the frame it completes in: the one that
  // runs at machine time `due` (from the clock, not the frame counter, which
  // a thread woken at a frame's instant may read before or after that frame).
  struct Control {
    PIRP irp;
    PURB urb;
    int64_t due;
  };

  NTSTATUS DispatchPnp(PIRP irp);
  NTSTATUS DispatchPower(PIRP irp);
  NTSTATUS DispatchInternal(PIRP irp);
  NTSTATUS SubmitUrb(PIRP irp, PURB urb);
  NTSTATUS Finish(PIRP irp, PURB urb, USBD_STATUS usbd);
  // Power (device_power.cpp). A SET_POWER the PDO carries out; mutex_ held.
  // Leaving D0 or the working state ends what is pending into `done`.
  void SetPower(bool system, int state, std::vector<Done>& done);
  bool PoweredDownLocked() const { return devicePower_ != PowerDeviceD0 || systemAsleep_; }
  // Refuses an internal request while powered down: true when it did.
  bool RefusePoweredDown(PIRP irp, NTSTATUS* status);
  // Carries out a control request; mutex_ held. Aborted transfers go to `done`
  // (abortInline) or are marked for the next frame.
  USBD_STATUS RunControl(PURB urb, std::vector<Done>& done);
  // Transfers cancelled or aborted before this frame, then the control
  // requests due by machine time `now`, in order; mutex_ held.
  void RunDueControl(int64_t now, std::vector<Done>& done);
  // The interface descriptor of the selected configuration, or null.
  PUSB_INTERFACE_DESCRIPTOR FindInterface(UCHAR number, UCHAR alternate);
  // Whether an endpoint of the interface (up to the next interface) is isochronous.
  bool HasIsochronousEndpoint(PUSB_INTERFACE_DESCRIPTOR descriptor);

  // Synchronous requests; each returns the URB status. Called with mutex_ held.
  USBD_STATUS GetDescriptor(PURB urb);
  USBD_STATUS ControlRequest(PURB urb, UCHAR recipient, UCHAR type);
  USBD_STATUS SelectConfiguration(PURB urb);
  USBD_STATUS SelectInterface(PURB urb);
  USBD_STATUS ResetPipe(PURB urb);
  USBD_STATUS AbortPipe(PURB urb, std::vector<Done>& done);
  bool FillInterface(PUSB_INTERFACE_DESCRIPTOR descriptor, PUSBD_INTERFACE_INFORMATION info,
                     ULONG room, USBD_STATUS* status);
  void ClosePipes(int interface);  // -1: all
  bool InterfaceBusy(int interface) const;
  Pipe* FindPipe(USBD_PIPE_HANDLE handle);
  UCHAR* TransferBuffer(PVOID buffer, PMDL mdl);

  // Transfers on the bus (frame_schedule.cpp).
  NTSTATUS SubmitIsoch(PIRP irp, PURB urb, std::vector<Done>& done, bool* queued);
  NTSTATUS SubmitInterrupt(PIRP irp, PURB urb, std::vector<Done>& done, bool* queued);
  void Enqueue(PIRP irp, PURB urb, UCHAR* buffer, Pipe& pipe, std::vector<Done>& done, bool failing = false);
  // The bytes of an isochronous OUT transfer, summed (FNV-1a): the buffer is
  // the stack's from submission to completion, so a change in between is the
  // submitting driver's fault, reported when the transfer completes.
  static uint64_t OutSum(const Transfer& transfer);
  void CheckOutBuffer(const Transfer& transfer);
  // Draws whether the next request on the endpoint fails; mutex_ held.
  bool DrawFailure(UCHAR endpoint);
  // The first frame of an ASAP transfer on a pipe with nothing queued, seen
  // at frame `now`; mutex_ held.
  ULONG AsapStart(ULONG now) const;
  // Marks the packets of a new transfer whose frames are already past (before
  // `now` + 1) late and returns how many; mutex_ held.
  static ULONG MarkLatePackets(_URB_ISOCH_TRANSFER& urb, ULONG now, bool in);
  // Completion timing (frame_schedule.cpp), mutex_ held. RetireFinished takes
  // an isochronous transfer whose last packet went in `frame` out of its
  // queue and either completes it with this frame or holds it back for a
  // later one; TakeDueCompletions moves what is held back for `frame` or
  // earlier to `done`, in order; FlushCompletions moves what is held back for
  // queue `q` (every queue when q is kQueues) at once, before anything else
  // of that pipe completes.
  void RetireFinished(Queue& queue, Transfer* transfer, USBD_STATUS usbd, NTSTATUS status, ULONG frame);
  void TakeDueCompletions(ULONG frame, std::vector<Done>& done);
  // The clock's frame work, first of all: completes the transfers held back
  // for this frame, as a late DPC does while the frame's packets still move,
  // so what they resubmit joins their pipes behind what is queued.
  void CompleteHeld();
  void FlushCompletions(size_t q, std::vector<Done>& done);
  // Retires, at `frame`, the head transfers of `queue` that have no packet
  // left to move (every one of them was late).
  void RetireSpent(Queue& queue, ULONG frame);
  void RunFrame();
  void RunIsochronous();
  void RunInterrupt(UCHAR endpoint);
  void FailAll(USBD_STATUS usbd, NTSTATUS status, std::vector<Done>& done);
  static size_t QueueIndex(UCHAR endpoint) { return (endpoint & 0x0F) | (endpoint & 0x80 ? 16 : 0); }
  Queue& QueueFor(UCHAR endpoint) { return queues_[QueueIndex(endpoint)]; }
  // The transfer the bus serves next in `frame`: none while the first one waits
  // for its start frame.
  Transfer* Head(Queue& queue, ULONG frame);
  // Takes a transfer out of its queue for completion unless its cancel routine
  // already owns it.
  void Retire(Queue& queue, Transfer* transfer, USBD_STATUS usbd, NTSTATUS status,
              std::vector<Done>& done);
  void FailQueue(Queue& queue, USBD_STATUS usbd, NTSTATUS status, std::vector<Done>& done);
  static void CancelTransfer(PDEVICE_OBJECT device, PIRP irp);
  void Cancel(PIRP irp);
  static void Complete(std::vector<Done>& done);
  // Hands the frame's completions to the processors (see the top); clears
  // `done`. Called by the frame work without mutex_.
  void HandOut(std::vector<Done>& done, ULONG frame);
  // The processor a completion goes to: by endpoint for the isochronous
  // pipes, `shared` for the rest.
  static int ProcessorFor(PIRP irp, int shared);
  // Completions handed to a processor, claimed once: by the processor's item
  // or, when the port goes first, by its destructor.
  struct Handed {
    std::atomic<bool> taken{false};
    std::vector<Done> done;
  };
  static void CompleteAtDispatch(PIRP irp);

  kernel::Machine& machine_;
  Tqm27Device device_;
  PDEVICE_OBJECT pdo_ = nullptr;
  DEVICE_POWER_STATE sleepDeviceState_ = PowerDeviceD3;
  std::vector<std::string> powerLog_;  // under mutex_
  kernel::Clock::WorkId frameWork_ = 0;
  const uint32_t number_;

  mutable std::mutex mutex_;
  bool disconnected_ = false;  // the device left the bus
  bool removed_ = false;       // IRP_MN_REMOVE_DEVICE reached the PDO
  bool deleted_ = false;
  DEVICE_POWER_STATE devicePower_ = PowerDeviceD0;
  bool systemAsleep_ = false;
  UCHAR configuration_ = 0;
  std::vector<UCHAR> configDescriptor_;  // the selected configuration's descriptor set
  std::vector<Pipe> pipes_;
  uintptr_t nextHandle_ = 1;
  std::array<Queue, kQueues> queues_;
  std::array<ULONG, kQueues> nextFrame_{};  // first free frame of each isochronous schedule
  PortCounters counters_;
  // Injected request failures per queue, and each queue's generator state.
  std::array<uint32_t, kQueues> failPerMillion_{};
  std::array<uint64_t, kQueues> failState_{};
  std::vector<Done> frameDone_;  // the clock thread's completions, reused
  // Completions handed out and their clock work, under mutex_; a frame drops
  // those already claimed.
  std::vector<std::pair<kernel::Clock::WorkId, std::shared_ptr<Handed>>> handed_;
  PortModes modes_;
  uint64_t controlDraw_ = 0;      // the mixed seed of the control delays
  std::deque<Control> controls_;  // in submission order
  // Finished transfers whose completion is held back, in retirement order.
  struct Held {
    Done done;
    ULONG due;  // the frame whose work completes it
    size_t queue;
  };
  std::deque<Held> held_;
  std::vector<Done> heldDone_;  // the clock thread's, reused
  std::array<ULONG, kQueues> lastDue_{};  // each queue's latest due frame
  uint32_t bandwidthRefused_ = 0;         // bit i: interface i is refused
};

}  // namespace tqm::usb
