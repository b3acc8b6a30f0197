// The stream engine on the simulated machine with a virtual TQM27 plugged in.
//
// Between the engine and the TQM27's PDO sits a small filter device: it
// passes every request down unchanged, logs the isochronous URBs it passes
// (so a test sees exactly what the engine sent), and can answer the
// configuration-descriptor reads itself with altered bytes, for devices the
// virtual TQM27 does not model (no record endpoint, a format type II stream).
#pragma once

#include <optional>
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

#include "driver/engine/stream_engine.h"
#include "platform/kernel/machine.h"
#include "platform/kernel/pool.h"
#include "usb/device/descriptors.h"
#include "usb/usb_hub.h"

namespace engine::testing {

struct LoggedIsoch {
  UCHAR endpoint;
  ULONG length;
  ULONG flags;
  std::vector<ULONG> offsets;
  ULONG startFrame;  // as the engine sent it
};

class Filter {
 public:
  Filter(tqm::kernel::Machine& machine, PDEVICE_OBJECT pdo) : machine_(machine) {
    NTSTATUS status;
    driver_ = machine.LoadDriver(DriverEntry, L"EngineTestFilter", &status);
    EXPECT_EQ(status, STATUS_SUCCESS);
    EXPECT_EQ(IoCreateDevice(driver_, sizeof(Filter*), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device_),
              STATUS_SUCCESS);
    *static_cast<Filter**>(device_->DeviceExtension) = this;
    lower_ = IoAttachDeviceToDeviceStack(device_, pdo);
    device_->Flags &= ~DO_DEVICE_INITIALIZING;
  }
  ~Filter() {
    IoDetachDevice(lower_);
    IoDeleteDevice(device_);
    machine_.UnloadDriver(driver_);
  }

  PDEVICE_OBJECT device() const { return device_; }
  void AnswerConfiguration(std::vector<UCHAR> bytes) { config_ = std::move(bytes); }
  void RefuseFrameNumber(bool refuse) { refuseFrameNumber_ = refuse; }
  // The frame number reaches the caller `frames` old, as when its thread was
  // held up between reading it and using it.
  void AgeFrameNumber(ULONG frames) { frameAge_ = frames; }
  // The endpoints of the class requests to endpoints (sampling frequency), in order.
  std::vector<UCHAR> TakeEndpointRequests() {
    std::lock_guard lock(mu_);
    return std::exchange(endpointRequests_, {});
  }
  std::vector<LoggedIsoch> TakeLog() {
    std::lock_guard lock(mu_);
    return std::exchange(log_, {});
  }

 private:
  static NTSTATUS DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    for (PDRIVER_DISPATCH& d : driver->MajorFunction) d = Dispatch;
    return STATUS_SUCCESS;
  }
  static NTSTATUS Dispatch(PDEVICE_OBJECT device, PIRP irp) {
    Filter* self = *static_cast<Filter**>(device->DeviceExtension);
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
    if (location->MajorFunction == IRP_MJ_INTERNAL_DEVICE_CONTROL &&
        location->Parameters.DeviceIoControl.IoControlCode == IOCTL_INTERNAL_USB_SUBMIT_URB) {
      PURB urb = static_cast<PURB>(location->Parameters.Others.Argument1);
      if (self->Answer(urb)) {
        irp->IoStatus.Status = STATUS_SUCCESS;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
      }
      self->Log(urb);
      if (self->frameAge_ && urb->UrbHeader.Function == URB_FUNCTION_GET_CURRENT_FRAME_NUMBER) {
        // The stack answers inside the call; the caller reads the number
        // once the call has returned, by then this many frames old.
        IoSkipCurrentIrpStackLocation(irp);
        const NTSTATUS status = IoCallDriver(self->lower_, irp);
        urb->UrbGetCurrentFrameNumber.FrameNumber -= self->frameAge_;
        return status;
      }
    }
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(self->lower_, irp);
  }

  bool Answer(PURB urb) {
    if (refuseFrameNumber_ && urb->UrbHeader.Function == URB_FUNCTION_GET_CURRENT_FRAME_NUMBER) {
      // A stack that does not say: every transfer must then go as soon as possible.
      urb->UrbHeader.Status = USBD_STATUS_INVALID_URB_FUNCTION;
      return true;
    }
    if (config_.empty() || urb->UrbHeader.Function != URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE) return false;
    auto& r = urb->UrbControlDescriptorRequest;
    if (r.DescriptorType != USB_CONFIGURATION_DESCRIPTOR_TYPE) return false;
    const ULONG n = std::min<ULONG>(r.TransferBufferLength, ULONG(config_.size()));
    std::memcpy(r.TransferBuffer, config_.data(), n);
    r.TransferBufferLength = n;
    urb->UrbHeader.Status = USBD_STATUS_SUCCESS;
    return true;
  }

  void Log(PURB urb) {
    if (urb->UrbHeader.Function == URB_FUNCTION_CLASS_ENDPOINT) {
      std::lock_guard lock(mu_);
      endpointRequests_.push_back(UCHAR(urb->UrbControlVendorClassRequest.Index));
      return;
    }
    if (urb->UrbHeader.Function != URB_FUNCTION_ISOCH_TRANSFER) return;
    const auto& t = urb->UrbIsochronousTransfer;
    LoggedIsoch entry{UCHAR(t.TransferFlags & USBD_TRANSFER_DIRECTION_IN ? 0x82 : 0x03), t.TransferBufferLength,
                      t.TransferFlags, {}, t.StartFrame};
    for (ULONG k = 0; k < t.NumberOfPackets; ++k) entry.offsets.push_back(t.IsoPacket[k].Offset);
    std::lock_guard lock(mu_);
    log_.push_back(std::move(entry));
  }

  tqm::kernel::Machine& machine_;
  PDRIVER_OBJECT driver_ = nullptr;
  PDEVICE_OBJECT device_ = nullptr;
  PDEVICE_OBJECT lower_ = nullptr;
  std::vector<UCHAR> config_;
  bool refuseFrameNumber_ = false;
  ULONG frameAge_ = 0;
  std::mutex mu_;
  std::vector<LoggedIsoch> log_;
  std::vector<UCHAR> endpointRequests_;
};

// The virtual TQM27's configuration descriptor with `edit` applied to every
// descriptor in it (pointer to its first byte).
template <typename Edit>
std::vector<UCHAR> EditedConfiguration(Edit edit) {
  const auto span = tqm::usb::ConfigurationDescriptor();
  std::vector<UCHAR> bytes(span.begin(), span.end());
  bool streaming = false;
  for (size_t at = bytes[0]; at + 1 < bytes.size() && bytes[at] >= 2; at += bytes[at]) {
    if (bytes[at + 1] == USB_INTERFACE_DESCRIPTOR_TYPE) streaming = bytes[at + 5] == 1 && bytes[at + 6] == 2;
    edit(&bytes[at], streaming);
  }
  return bytes;
}

// One machine with the device, the filter and an engine on it. Only one
// machine may exist at a time.
//
// The stack completes control requests, cancels and aborts later, as it does
// by default. In virtual time the test thread takes part in the clock: time
// moves only while it waits in the kernel (in a request the engine sends, or
// in Step), so a run repeats exactly.
//
// The concurrent tests want the clock to run free against the test thread
// (RigClock::TestThreadRaces): the clock stays still until they let it run,
// and since nothing would move it while a request waited, the stack then
// answers control requests, cancels and aborts inline (legal on Windows too).
enum class RigClock { Participates, TestThreadRaces };

class Rig {
 public:
  explicit Rig(tqm::kernel::MachineOptions options = {}, RigClock use = RigClock::Participates)
      : machine_(options), hub_(machine_), port_(hub_.Plug()) {
    const bool virtualTime = machine_.clock().mode() == tqm::kernel::ClockMode::Virtual;
    if (virtualTime && use == RigClock::Participates) {
      participation_.emplace(machine_);
      machine_.clock().RunFree(true);
    } else if (virtualTime) {
      tqm::usb::PortModes inline_;
      inline_.controlInline = inline_.cancelInline = inline_.abortInline = true;
      port_->SetModes(inline_);
    }
    filter_ = std::make_unique<Filter>(machine_, port_->pdo());
    memory_ = static_cast<UCHAR*>(
        ExAllocatePoolWithTag(NonPagedPool, engine::kTransferMemoryBytes, kTagTransferMemory));
    std::memset(memory_, 0xA5, engine::kTransferMemoryBytes);
    engine_ = new (kTagEngine) engine::StreamEngine(filter_->device(), memory_, 81920,
                                                    reinterpret_cast<tqm::DeviceStatusBlock*>(memory_ + engine::kEngineMemoryBytes));
    engine_->SetRegistryDevice(port_->pdo());
  }
  ~Rig() {
    delete engine_;
    ExFreePoolWithTag(memory_, kTagTransferMemory);
    filter_.reset();
    participation_.reset();
  }

  tqm::usb::Tqm27Device& device() { return port_->device(); }
  void Step(uint32_t ms) {
    if (!participation_) return machine_.clock().Step(ms);
    LARGE_INTEGER interval;
    interval.QuadPart = -int64_t(ms) * tqm::kernel::Clock::kUnitsPerMillisecond;
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
  }
  uint64_t PoolAllocations() { return machine_.pool().AllocationCount(); }

  tqm::kernel::Machine machine_;
  std::optional<tqm::kernel::Participation> participation_;
  tqm::usb::UsbHub hub_;
  tqm::usb::Tqm27Port* port_;
  std::unique_ptr<Filter> filter_;
  UCHAR* memory_ = nullptr;
  engine::StreamEngine* engine_ = nullptr;
};

class EngineTest : public ::testing::Test, public Rig {};

// Opens both channels of both directions of the client's ports.
inline void OpenAll(StreamEngine* e, uint32_t playPort, uint32_t recordPort) {
  for (uint32_t c = 0; c < 2; ++c) {
    ASSERT_EQ(e->OpenChannel(playPort, kPlayback, c), STATUS_SUCCESS);
    ASSERT_EQ(e->OpenChannel(recordPort, kRecord, c), STATUS_SUCCESS);
  }
}
inline void CloseAll(StreamEngine* e, uint32_t playPort, uint32_t recordPort) {
  for (uint32_t c = 0; c < 2; ++c) {
    EXPECT_EQ(e->CloseChannel(playPort, kPlayback, c), STATUS_SUCCESS);
    EXPECT_EQ(e->CloseChannel(recordPort, kRecord, c), STATUS_SUCCESS);
  }
}

// Starts the device with a rate, period and request count (without the
// stored settings).
inline void StartWith(Rig& rig, uint32_t rate, uint32_t period, uint32_t requests = 2) {
  ASSERT_EQ(rig.engine_->StartDevice(rate, period, requests, 0), STATUS_SUCCESS);
  ASSERT_EQ(rig.engine_->periodFrames(), period);
  ASSERT_EQ(rig.engine_->status()->periodFrames, period);
}


}  // namespace engine::testing
