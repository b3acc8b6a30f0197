// A small function driver on the simulated kernel for the USB stack's tests:
// its device sits on the TQM27's PDO and sends URBs down the way a USB
// function driver does. Synchronous requests go through IoCallDriver with a
// built request and report whether they completed before IoCallDriver
// returned (the stack completes control requests a few frames later unless
// its port is set to answer inline); the fixture then lets the clock run
// until they complete, with a generous time-out; isochronous streams keep requests in flight and resubmit them
// from their completion routines on the clock thread, holding a spin lock
// across the resubmitting IoCallDriver as the audio driver does.
#pragma once

#include <gtest/gtest.h>
#include <usb.h>
#include <usbdlib.h>
#include <usbioctl.h>
#include <wdm.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <optional>
#include <string>
#include <vector>

#include "platform/kernel/machine.h"
#include "usb/usb_hub.h"

namespace tqm::usb::testing {

// A status as the stack's tests print it.
inline std::string Hex(LONG status) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", unsigned(status));
  return text;
}

inline NTSTATUS ClientDispatch(PDEVICE_OBJECT, PIRP irp) {
  irp->IoStatus.Status = STATUS_SUCCESS;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_SUCCESS;
}

inline NTSTATUS ClientDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  for (PDRIVER_DISPATCH& d : driver->MajorFunction) d = ClientDispatch;
  return STATUS_SUCCESS;
}

// Lets the clock run until `event` is signalled or `limitMs` of machine time
// have passed: steps it in virtual time, waits in real time.
inline bool LetClockRun(kernel::Machine& machine, PRKEVENT event, uint32_t limitMs) {
  if (machine.clock().mode() == kernel::ClockMode::Virtual) {
    for (uint32_t i = 0; i < limitMs && !KeReadStateEvent(event); ++i) machine.clock().Step(1);
    return KeReadStateEvent(event) != 0;
  }
  LARGE_INTEGER timeout;
  timeout.QuadPart = -LONGLONG(limitMs) * 10000;
  return KeWaitForSingleObject(event, Executive, KernelMode, FALSE, &timeout) == STATUS_SUCCESS;
}

struct SyncResult {
  NTSTATUS returned;     // what IoCallDriver returned
  NTSTATUS status;       // the request's final status
  bool completedInside;  // the request was complete when IoCallDriver returned
};

// A URB in a zeroed, 8-byte aligned block of `size` bytes.
class UrbBlock {
 public:
  explicit UrbBlock(size_t size) : words_((size + 7) / 8 + 1, 0), size_(size) {}
  PURB get() { return reinterpret_cast<PURB>(words_.data()); }
  PURB operator->() { return get(); }
  size_t size() const { return size_; }

 private:
  std::vector<uint64_t> words_;
  size_t size_;
};

// The client device on the PDO.
class UsbClient {
 public:
  explicit UsbClient(kernel::Machine& machine, PDEVICE_OBJECT pdo) : machine_(machine) {
    NTSTATUS status;
    driver_ = machine.LoadDriver(ClientDriverEntry, L"UsbTestClient", &status);
    EXPECT_EQ(status, STATUS_SUCCESS);
    EXPECT_EQ(IoCreateDevice(driver_, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &fdo_), STATUS_SUCCESS);
    lower_ = IoAttachDeviceToDeviceStack(fdo_, pdo);
    fdo_->Flags &= ~DO_DEVICE_INITIALIZING;
  }
  // Sends from a device another driver attached to the PDO, through that
  // device's next lower device, without a device of its own.
  struct SendThrough {
    PDEVICE_OBJECT lower;
  };
  UsbClient(kernel::Machine& machine, SendThrough through) : machine_(machine), lower_(through.lower) {}
  ~UsbClient() {
    if (!fdo_) return;
    IoDetachDevice(lower_);
    IoDeleteDevice(fdo_);
    machine_.UnloadDriver(driver_);
  }

  PDEVICE_OBJECT lower() const { return lower_; }

  // Sends a request down and waits for it. Whether it completed inside
  // IoCallDriver is noted before the clock is let run to finish it: stepped
  // in virtual time, waited for (ten seconds at most) in real time.
  SyncResult Send(UCHAR major, ULONG code, PVOID argument1, UCHAR minor = 0) {
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    PIRP irp = IoBuildDeviceIoControlRequest(code, lower_, nullptr, 0, nullptr, 0, TRUE, &done, &iosb);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = major;
    next->MinorFunction = minor;
    next->Parameters.Others.Argument1 = argument1;
    if (major != IRP_MJ_INTERNAL_DEVICE_CONTROL) irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    SyncResult result;
    result.returned = IoCallDriver(lower_, irp);
    result.completedInside = KeReadStateEvent(&done) != 0;
    if (!result.completedInside) LetClockRun(machine_, &done, 10000);
    result.status = iosb.Status;
    return result;
  }

  SyncResult Submit(PURB urb) {
    return Send(IRP_MJ_INTERNAL_DEVICE_CONTROL, IOCTL_INTERNAL_USB_SUBMIT_URB, urb);
  }

  // ---- the requests a USB audio driver makes ----

  struct Descriptor {
    SyncResult result;
    USBD_STATUS usbd;
    std::vector<UCHAR> bytes;  // TransferBufferLength bytes as returned
  };
  Descriptor GetDescriptor(UCHAR type, UCHAR index, USHORT language, ULONG length,
                           USHORT function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE) {
    UrbBlock urb(sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST));
    std::vector<UCHAR> buffer(length, 0xEE);
    UsbBuildGetDescriptorRequest(urb.get(), USHORT(urb.size()), type, index, language, buffer.data(),
                                 nullptr, length, nullptr);
    urb->UrbHeader.Function = function;
    Descriptor d;
    d.result = Submit(urb.get());
    d.usbd = urb->UrbHeader.Status;
    buffer.resize(std::min<ULONG>(length, urb->UrbControlDescriptorRequest.TransferBufferLength));
    d.bytes = buffer;
    return d;
  }

  // The whole configuration descriptor, read the way the driver reads it.
  std::vector<UCHAR> ConfigurationDescriptor() {
    Descriptor head = GetDescriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, 9);
    EXPECT_EQ(head.bytes.size(), 9u);
    if (head.bytes.size() < 9) return {};
    const ULONG total = head.bytes[2] | head.bytes[3] << 8;
    return GetDescriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, total).bytes;
  }

  struct Selection {
    SyncResult result;
    USBD_STATUS usbd;
    USBD_CONFIGURATION_HANDLE handle = nullptr;
    std::vector<std::vector<USBD_PIPE_INFORMATION>> pipes;  // per interface
  };
  // Selects the configuration with every interface at setting 0.
  Selection SelectConfiguration() {
    config_ = ConfigurationDescriptor();
    auto* config = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(config_.data());
    std::vector<USBD_INTERFACE_LIST_ENTRY> list;
    for (LONG i = 0; i < config->bNumInterfaces; ++i)
      list.push_back({USBD_ParseConfigurationDescriptorEx(config, config, i, 0, -1, -1, -1), nullptr});
    list.push_back({nullptr, nullptr});
    Selection s;
    PURB urb = USBD_CreateConfigurationRequestEx(config, list.data());
    EXPECT_NE(urb, nullptr);
    s.result = Submit(urb);
    s.usbd = urb->UrbHeader.Status;
    s.handle = urb->UrbSelectConfiguration.ConfigurationHandle;
    for (size_t i = 0; i + 1 < list.size(); ++i) {
      PUSBD_INTERFACE_INFORMATION info = list[i].Interface;
      s.pipes.emplace_back(info->Pipes, info->Pipes + info->NumberOfPipes);
    }
    ExFreePool(urb);
    handle_ = s.handle;
    return s;
  }

  Selection SelectAlternate(UCHAR interface, UCHAR alternate, ULONG pipes) {
    const size_t size = GET_SELECT_INTERFACE_REQUEST_SIZE(pipes > 0 ? pipes : 1);
    UrbBlock urb(size);
    UsbBuildSelectInterfaceRequest(urb.get(), USHORT(size), handle_, interface, alternate);
    urb->UrbSelectInterface.Interface.Length = USHORT(GET_USBD_INTERFACE_SIZE(pipes));
    for (ULONG p = 0; p < pipes; ++p)
      urb->UrbSelectInterface.Interface.Pipes[p].MaximumTransferSize = 0xFFFFFFFF;
    Selection s;
    s.result = Submit(urb.get());
    s.usbd = urb->UrbHeader.Status;
    const auto& info = urb->UrbSelectInterface.Interface;
    if (USBD_SUCCESS(s.usbd)) s.pipes.emplace_back(info.Pipes, info.Pipes + info.NumberOfPipes);
    return s;
  }

  struct Control {
    SyncResult result;
    USBD_STATUS usbd;
    std::vector<UCHAR> data;
  };
  Control ClassRequest(USHORT function, bool in, UCHAR request, USHORT value, USHORT index,
                       std::vector<UCHAR> data) {
    UrbBlock urb(sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST));
    UsbBuildVendorRequest(urb.get(), function, USHORT(urb.size()),
                          in ? USBD_TRANSFER_DIRECTION_IN : USBD_TRANSFER_DIRECTION_OUT, 0, request, value,
                          index, data.data(), nullptr, ULONG(data.size()), nullptr);
    Control c;
    c.result = Submit(urb.get());
    c.usbd = urb->UrbHeader.Status;
    data.resize(urb->UrbControlVendorClassRequest.TransferBufferLength);
    c.data = data;
    return c;
  }
  Control SetRate(UCHAR endpoint, ULONG rate) {
    return ClassRequest(URB_FUNCTION_CLASS_ENDPOINT, false, 0x01, 0x0100, endpoint,
                        {UCHAR(rate), UCHAR(rate >> 8), UCHAR(rate >> 16)});
  }

  struct PipeResult {
    SyncResult result;
    USBD_STATUS usbd;
  };
  PipeResult PipeRequest(USHORT function, USBD_PIPE_HANDLE pipe) {
    UrbBlock urb(sizeof(struct _URB_PIPE_REQUEST));
    urb->UrbHeader.Function = function;
    urb->UrbHeader.Length = USHORT(urb.size());
    urb->UrbPipeRequest.PipeHandle = pipe;
    PipeResult r;
    r.result = Submit(urb.get());
    r.usbd = urb->UrbHeader.Status;
    return r;
  }

  // Configures the device and selects the streaming settings, then the rate.
  // Returns the record and playback pipes.
  std::pair<USBD_PIPE_INFORMATION, USBD_PIPE_INFORMATION> StartStreaming(UCHAR recordAlt,
                                                                         UCHAR playbackAlt, ULONG rate) {
    Selection config = SelectConfiguration();
    EXPECT_EQ(config.usbd, USBD_STATUS_SUCCESS);
    Selection play = SelectAlternate(3, playbackAlt, 1);
    Selection rec = SelectAlternate(2, recordAlt, 1);
    EXPECT_EQ(play.usbd, USBD_STATUS_SUCCESS);
    EXPECT_EQ(rec.usbd, USBD_STATUS_SUCCESS);
    EXPECT_EQ(SetRate(0x03, rate).usbd, USBD_STATUS_SUCCESS);
    EXPECT_EQ(SetRate(0x82, rate).usbd, USBD_STATUS_SUCCESS);
    if (play.pipes.empty() || rec.pipes.empty() || play.pipes[0].empty() || rec.pipes[0].empty())
      return {};
    return {rec.pipes[0][0], play.pipes[0][0]};
  }

 private:
  kernel::Machine& machine_;
  PDRIVER_OBJECT driver_ = nullptr;
  PDEVICE_OBJECT fdo_ = nullptr;
  PDEVICE_OBJECT lower_ = nullptr;
  std::vector<UCHAR> config_;
  USBD_CONFIGURATION_HANDLE handle_ = nullptr;
};

// One isochronous stream of the client: `slots` requests of `packets` packets
// each, resubmitted from their completion routines while `running`.
class IsochStream {
 public:
  struct Completed {
    NTSTATUS status;
    USBD_STATUS usbd;
    ULONG startFrame;
    ULONG errorCount;
    std::vector<USBD_ISO_PACKET_DESCRIPTOR> packets;
    std::vector<UCHAR> data;  // IN: each packet's bytes, back to back
    int64_t completedAtMs;    // machine time when its completion routine ran
  };
  // Fills an OUT request's buffer and offsets before each submission; returns
  // the transfer length.
  using Filler = std::function<ULONG(UCHAR* buffer, _URB_ISOCH_TRANSFER& urb)>;

  IsochStream(PDEVICE_OBJECT lower, const USBD_PIPE_INFORMATION& pipe, ULONG slots, ULONG packets,
              ULONG stride, Filler filler = nullptr)
      : lower_(lower), pipe_(pipe), in_(pipe.EndpointAddress & 0x80), packets_(packets),
        stride_(stride), filler_(std::move(filler)) {
    KeInitializeSpinLock(&lock_);
    KeInitializeEvent(&drained_, NotificationEvent, TRUE);
    for (ULONG i = 0; i < slots; ++i) {
      auto slot = std::make_unique<Slot>();
      slot->owner = this;
      slot->urb = std::make_unique<UrbBlock>(GET_ISO_URB_SIZE(packets));
      slot->buffer.assign(size_t(packets) * stride + stride, 0);
      slot->irp = IoAllocateIrp(lower->StackSize, FALSE);
      slots_.push_back(std::move(slot));
    }
  }
  ~IsochStream() {
    Stop();
    for (auto& slot : slots_) IoFreeIrp(slot->irp);
  }

  void Start() {
    running_ = true;
    KeClearEvent(&drained_);
    for (auto& slot : slots_) {
      inFlight_.fetch_add(1);
      KIRQL irql = KeAcquireSpinLockRaiseToDpc(&lock_);
      Send(*slot);
      KeReleaseSpinLock(&lock_, irql);
    }
  }

  // Cancels every request in flight and lets the clock run until all have
  // come back (a cancelled request completes at the next frame unless the
  // stack cancels inline), `waitMs` of machine time at most.
  void Stop(uint32_t waitMs = 1000) {
    Cancel();
    // Counted, not only the event: a request refused at Start may have set
    // it while others went down after it.
    kernel::Machine& machine = kernel::Machine::Current();
    for (uint32_t waited = 0; inFlight_.load() > 0 && waited < waitMs; waited += 10) {
      KeClearEvent(&drained_);
      if (inFlight_.load() == 0) break;
      LetClockRun(machine, &drained_, 10);
    }
    EXPECT_EQ(inFlight_.load(), 0) << "requests still in flight";
  }
  // Cancels every request in flight, without waiting for them.
  void Cancel() {
    // The flag changes under the lock the completion routines resubmit under:
    // a request passed down before this point is cancelled below, none after.
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&lock_);
    running_ = false;
    KeReleaseSpinLock(&lock_, irql);
    for (auto& slot : slots_) IoCancelIrp(slot->irp);
  }

  void SetRunning(bool running) { running_ = running; }
  // The first request goes down for this bus frame instead of as soon as
  // possible; the others follow as soon as possible.
  void SetFirstStartFrame(ULONG frame) { firstStartFrame_ = frame; }
  int InFlight() const { return inFlight_.load(); }
  // Completed requests in completion order.
  std::vector<Completed> Take() {
    std::lock_guard lock(mu_);
    return std::exchange(completed_, {});
  }
  std::vector<PIRP> Irps() const {
    std::vector<PIRP> irps;
    for (auto& slot : slots_) irps.push_back(slot->irp);
    return irps;
  }

 private:
  struct Slot {
    IsochStream* owner;
    PIRP irp;
    std::unique_ptr<UrbBlock> urb;
    std::vector<UCHAR> buffer;
  };

  // Builds the URB and passes the request down, with lock_ held.
  void Send(Slot& slot) {
    PURB urb = slot.urb->get();
    std::memset(urb, 0, slot.urb->size());
    _URB_ISOCH_TRANSFER& r = urb->UrbIsochronousTransfer;
    urb->UrbHeader.Length = USHORT(slot.urb->size());
    urb->UrbHeader.Function = URB_FUNCTION_ISOCH_TRANSFER;
    r.PipeHandle = pipe_.PipeHandle;
    r.TransferFlags = USBD_START_ISO_TRANSFER_ASAP | (in_ ? USBD_TRANSFER_DIRECTION_IN : 0);
    if (firstStartFrame_) {
      r.TransferFlags &= ~ULONG(USBD_START_ISO_TRANSFER_ASAP);
      r.StartFrame = *firstStartFrame_;
      firstStartFrame_.reset();
    }
    r.TransferBuffer = slot.buffer.data();
    r.NumberOfPackets = packets_;
    for (ULONG k = 0; k < packets_; ++k) {
      r.IsoPacket[k].Offset = k * stride_;
      if (in_) r.IsoPacket[k].Length = stride_;
    }
    r.TransferBufferLength = packets_ * stride_;
    if (filler_) r.TransferBufferLength = filler_(slot.buffer.data(), r);
    IoReuseIrp(slot.irp, STATUS_SUCCESS);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(slot.irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = urb;
    IoSetCompletionRoutine(slot.irp, Completion, &slot, TRUE, TRUE, TRUE);
    sender_.store(KeGetCurrentThread());
    IoCallDriver(lower_, slot.irp);
    sender_.store(nullptr);
  }

  static NTSTATUS Completion(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    Slot& slot = *static_cast<Slot*>(context);
    IsochStream& self = *slot.owner;
    const _URB_ISOCH_TRANSFER& r = slot.urb->get()->UrbIsochronousTransfer;
    Completed c{irp->IoStatus.Status, r.Hdr.Status, r.StartFrame, r.ErrorCount, {}, {},
                kernel::Machine::Current().clock().Now() / kernel::Clock::kUnitsPerMillisecond};
    c.packets.assign(r.IsoPacket, r.IsoPacket + r.NumberOfPackets);
    if (self.in_ && NT_SUCCESS(c.status)) {
      for (const auto& p : c.packets)
        c.data.insert(c.data.end(), slot.buffer.data() + p.Offset, slot.buffer.data() + p.Offset + p.Length);
    }
    {
      std::lock_guard lock(self.mu_);
      self.completed_.push_back(std::move(c));
    }
    // The driver's rule: only a successful request goes down again, and the
    // stream's lock is held from before the state is read until after the
    // request is passed down. A request the stack refused inside our own
    // IoCallDriver comes back here with the lock already held by this thread.
    const bool nested = self.sender_.load() == KeGetCurrentThread();
    if (!nested) KeAcquireSpinLockAtDpcLevel(&self.lock_);
    if (!nested && self.running_ && NT_SUCCESS(irp->IoStatus.Status)) {
      self.Send(slot);
      KeReleaseSpinLockFromDpcLevel(&self.lock_);
      return STATUS_MORE_PROCESSING_REQUIRED;
    }
    if (!nested) KeReleaseSpinLockFromDpcLevel(&self.lock_);
    if (self.inFlight_.fetch_sub(1) == 1) KeSetEvent(&self.drained_, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
  }

  PDEVICE_OBJECT lower_;
  USBD_PIPE_INFORMATION pipe_;
  bool in_;
  ULONG packets_;
  ULONG stride_;
  std::optional<ULONG> firstStartFrame_;
  Filler filler_;
  KSPIN_LOCK lock_;
  KEVENT drained_;
  std::atomic<bool> running_{false};
  std::atomic<int> inFlight_{0};
  std::atomic<PKTHREAD> sender_{nullptr};  // the thread inside Send's IoCallDriver
  std::vector<std::unique_ptr<Slot>> slots_;
  std::mutex mu_;
  std::vector<Completed> completed_;
};

// A machine with the hub, a plugged TQM27 and the client on its PDO.
class UsbStackTest : public ::testing::Test {
 protected:
  UsbStackTest() : machine_(), hub_(machine_), port_(hub_.Plug()) {
    client_ = std::make_unique<UsbClient>(machine_, port_->pdo());
  }
  ~UsbStackTest() override { client_.reset(); }

  Tqm27Device& device() { return port_->device(); }
  void Step(uint32_t ms) { machine_.clock().Step(ms); }

  kernel::Machine machine_;
  UsbHub hub_;
  Tqm27Port* port_;
  std::unique_ptr<UsbClient> client_;
};

}  // namespace tqm::usb::testing
