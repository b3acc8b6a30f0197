// Interrupt transfers on the HID pipes through the USB stack: the two-report
// command exchange, a silent device, cancel, and a device that leaves with a
// read pending. These go on the bus, so they complete from the clock.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>

#include "tests/platform/usb/usb_stack_fixture.h"

namespace tqm::usb::testing {
namespace {

// One interrupt transfer sent down and left to complete when it will.
class InterruptRequest {
 public:
  InterruptRequest(PDEVICE_OBJECT lower, const USBD_PIPE_INFORMATION& pipe, std::vector<UCHAR> data)
      : urb_(sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER)), data_(std::move(data)) {
    KeInitializeEvent(&done_, NotificationEvent, FALSE);
    const bool in = pipe.EndpointAddress & 0x80;
    urb_->UrbHeader.Length = USHORT(urb_.size());
    urb_->UrbHeader.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    auto& r = urb_->UrbBulkOrInterruptTransfer;
    r.PipeHandle = pipe.PipeHandle;
    r.TransferFlags = in ? USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK : USBD_TRANSFER_DIRECTION_OUT;
    r.TransferBuffer = data_.data();
    r.TransferBufferLength = ULONG(data_.size());
    irp_ = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, lower, nullptr, 0, nullptr, 0, TRUE,
                                         &done_, &iosb_);
    IoGetNextIrpStackLocation(irp_)->Parameters.Others.Argument1 = urb_.get();
    returned_ = IoCallDriver(lower, irp_);
  }
  ~InterruptRequest() {
    if (!Done()) IoCancelIrp(irp_);  // a failed test leaves nothing pending behind
  }
  NTSTATUS returned() const { return returned_; }
  bool Done() { return KeReadStateEvent(&done_) != 0; }
  NTSTATUS status() const { return iosb_.Status; }
  USBD_STATUS usbd() { return urb_->UrbHeader.Status; }
  std::vector<UCHAR> Data() {
    return {data_.begin(), data_.begin() + urb_->UrbBulkOrInterruptTransfer.TransferBufferLength};
  }
  void Cancel() { IoCancelIrp(irp_); }

 private:
  UrbBlock urb_;
  std::vector<UCHAR> data_;
  KEVENT done_;
  IO_STATUS_BLOCK iosb_{};
  PIRP irp_ = nullptr;
  NTSTATUS returned_ = STATUS_SUCCESS;
};

std::vector<UCHAR> CommandReport(std::array<UCHAR, 5> command) {
  std::vector<UCHAR> report(kHidOutputReportBytes, 0);
  report[21] = 1;
  std::copy(command.begin(), command.end(), report.begin() + 22);
  return report;
}

class UsbInterruptTest : public UsbStackTest {
 protected:
  void SetUp() override {
    UsbClient::Selection config = client_->SelectConfiguration();
    ASSERT_EQ(config.usbd, USBD_STATUS_SUCCESS);
    ASSERT_EQ(config.pipes[0].size(), 2u);
    for (const auto& pipe : config.pipes[0]) (pipe.EndpointAddress & 0x80 ? hidIn_ : hidOut_) = pipe;
    ASSERT_EQ(hidIn_.EndpointAddress, kHidInEndpoint);
    ASSERT_EQ(hidOut_.EndpointAddress, kHidOutEndpoint);
  }
  USBD_PIPE_INFORMATION hidIn_{}, hidOut_{};
};

TEST_F(UsbInterruptTest, CommandReportIsAnsweredByOneInputReport) {
  const std::array<UCHAR, 5> commands[] = {{0x60, 0x60, 0, 0, 0}, {0x60, 0x20, 1, 2, 3}};
  for (const auto& command : commands) {
    SCOPED_TRACE(::testing::Message() << "command 0x" << std::hex << int(command[1]));
    InterruptRequest read(client_->lower(), hidIn_, std::vector<UCHAR>(64, 0xEE));
    EXPECT_EQ(read.returned(), STATUS_PENDING);
    Step(3);
    EXPECT_FALSE(read.Done()) << "no report before a command";
    InterruptRequest write(client_->lower(), hidOut_, CommandReport(command));
    EXPECT_EQ(write.returned(), STATUS_PENDING) << "the report goes out on the bus";
    Step(1);
    ASSERT_TRUE(write.Done());
    EXPECT_EQ(write.status(), STATUS_SUCCESS) << Hex(write.status());
    EXPECT_EQ(write.usbd(), USBD_STATUS_SUCCESS);
    Step(3);
    ASSERT_TRUE(read.Done());
    EXPECT_EQ(read.status(), STATUS_SUCCESS) << Hex(read.status());
    const std::vector<UCHAR> reply = read.Data();
    ASSERT_EQ(reply.size(), kHidInputReportBytes);
    EXPECT_EQ(reply[0], command[1]);
    EXPECT_TRUE(std::equal(command.begin(), command.end(), reply.begin() + 1));
  }
  EXPECT_EQ(device().HidCommands().size(), 2u);
}

TEST_F(UsbInterruptTest, ReadsWaitForASilentDeviceUntilCancelledOrGone) {
  DeviceFaults faults;
  faults.hidSilent = true;
  device().SetFaults(faults);
  struct Row {
    const char* why;
    bool unplug;  // else cancel
    NTSTATUS status;
    USBD_STATUS usbd;
  } rows[] = {
      {"the client gives up", false, STATUS_CANCELLED, USBD_STATUS_CANCELED},
      {"the device leaves the bus", true, STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.why);
    InterruptRequest write(client_->lower(), hidOut_, CommandReport({0x60, 0x60, 0, 0, 0}));
    InterruptRequest read(client_->lower(), hidIn_, std::vector<UCHAR>(64));
    Step(100);
    EXPECT_TRUE(write.Done());
    EXPECT_FALSE(read.Done()) << "a silent device answers nothing";
    if (row.unplug) {
      hub_.Unplug();
      Step(1);
    } else {
      read.Cancel();
      EXPECT_FALSE(read.Done()) << "a cancel completes the read at the next frame";
      Step(1);
    }
    ASSERT_TRUE(read.Done());
    EXPECT_EQ(read.status(), row.status) << Hex(read.status());
    EXPECT_EQ(read.usbd(), row.usbd) << Hex(read.usbd());
  }
}

}  // namespace
}  // namespace tqm::usb::testing
