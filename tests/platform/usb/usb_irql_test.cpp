// The IRQL each USB driver library function and each internal USB request
// may be called or sent at: above it the verifier faults (IrqlTooHigh, naming
// the function or request), at it the same call is no fault.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "tests/platform/kernel/kernel_fixture.h"
#include "tests/platform/usb/usb_stack_fixture.h"

namespace tqm::usb::testing {
namespace {

using kernel::FaultKind;
using kernel::testing::FaultRecorder;

class UsbIrqlTest : public UsbStackTest {
 protected:
  // Builds the request at PASSIVE_LEVEL (building one is passive-only) and
  // sends it at `irql`; a request the stack left pending is let finish.
  void SendAt(KIRQL irql, ULONG code, PVOID argument1) {
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    PDEVICE_OBJECT lower = client_->lower();
    PIRP irp = IoBuildDeviceIoControlRequest(code, lower, nullptr, 0, nullptr, 0, TRUE, &done, &iosb);
    ASSERT_NE(irp, nullptr);
    IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = argument1;
    KIRQL old;
    KeRaiseIrql(irql, &old);
    const NTSTATUS returned = IoCallDriver(lower, irp);
    KeLowerIrql(old);
    for (int i = 0; returned == STATUS_PENDING && i < 1000 && !KeReadStateEvent(&done); ++i) Step(1);
    EXPECT_NE(KeReadStateEvent(&done), 0) << "the request completed";
  }
  // A URB of `size` bytes with only its header filled.
  void SendUrbAt(KIRQL irql, USHORT function, size_t size) {
    UrbBlock urb(size);
    urb->UrbHeader.Length = USHORT(size);
    urb->UrbHeader.Function = function;
    SendAt(irql, IOCTL_INTERNAL_USB_SUBMIT_URB, urb.get());
  }
};

TEST_F(UsbIrqlTest, EachLibraryFunctionAndRequestChecksItsIrql) {
  std::vector<UCHAR> bytes = client_->ConfigurationDescriptor();
  ASSERT_FALSE(bytes.empty());
  auto* config = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(bytes.data());
  ULONG portStatus = 0;

  struct Row {
    const char* name;  // as the fault names it
    KIRQL highest;     // the highest IRQL it may be called or sent at
    std::function<void(KIRQL)> call;
  };
  const Row rows[] = {
      // Pageable: below DISPATCH_LEVEL.
      {"USBD_ParseDescriptors", APC_LEVEL,
       [&](KIRQL irql) {
         KIRQL old;
         KeRaiseIrql(irql, &old);
         PUSB_COMMON_DESCRIPTOR found =
             USBD_ParseDescriptors(config, config->wTotalLength, config, USB_INTERFACE_DESCRIPTOR_TYPE);
         KeLowerIrql(old);
         EXPECT_NE(found, nullptr);
       }},
      {"USBD_ParseConfigurationDescriptorEx", APC_LEVEL,
       [&](KIRQL irql) {
         KIRQL old;
         KeRaiseIrql(irql, &old);
         PUSB_INTERFACE_DESCRIPTOR found = USBD_ParseConfigurationDescriptorEx(config, config, 2, 1, -1, -1, -1);
         KeLowerIrql(old);
         EXPECT_NE(found, nullptr);
       }},
      // Allocates nonpaged pool: up to DISPATCH_LEVEL.
      {"USBD_CreateConfigurationRequestEx", DISPATCH_LEVEL,
       [&](KIRQL irql) {
         USBD_INTERFACE_LIST_ENTRY list[2] = {
             {USBD_ParseConfigurationDescriptorEx(config, config, 1, 0, -1, -1, -1), nullptr}, {nullptr, nullptr}};
         KIRQL old;
         KeRaiseIrql(irql, &old);
         PURB urb = USBD_CreateConfigurationRequestEx(config, list);
         KeLowerIrql(old);
         // Above its IRQL the call is refused once reported.
         EXPECT_EQ(urb != nullptr, irql <= DISPATCH_LEVEL);
         if (urb) ExFreePool(urb);
       }},
      // The stack waits for the bus inside these: passive only. A null
      // configuration unconfigures, which the device takes at any time.
      {"URB_FUNCTION_SELECT_CONFIGURATION request", PASSIVE_LEVEL,
       [&](KIRQL irql) { SendUrbAt(irql, URB_FUNCTION_SELECT_CONFIGURATION, sizeof(struct _URB_SELECT_CONFIGURATION)); }},
      {"URB_FUNCTION_SELECT_INTERFACE request", PASSIVE_LEVEL,
       [&](KIRQL irql) { SendUrbAt(irql, URB_FUNCTION_SELECT_INTERFACE, GET_SELECT_INTERFACE_REQUEST_SIZE(1)); }},
      {"URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL request", PASSIVE_LEVEL,
       [&](KIRQL irql) {
         SendUrbAt(irql, URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, sizeof(struct _URB_PIPE_REQUEST));
       }},
      {"URB_FUNCTION_SYNC_RESET_PIPE request", PASSIVE_LEVEL,
       [&](KIRQL irql) { SendUrbAt(irql, URB_FUNCTION_SYNC_RESET_PIPE, sizeof(struct _URB_PIPE_REQUEST)); }},
      {"URB_FUNCTION_SYNC_CLEAR_STALL request", PASSIVE_LEVEL,
       [&](KIRQL irql) { SendUrbAt(irql, URB_FUNCTION_SYNC_CLEAR_STALL, sizeof(struct _URB_PIPE_REQUEST)); }},
      {"IOCTL_INTERNAL_USB_GET_PORT_STATUS request", PASSIVE_LEVEL,
       [&](KIRQL irql) { SendAt(irql, IOCTL_INTERNAL_USB_GET_PORT_STATUS, &portStatus); }},
      {"IOCTL_INTERNAL_USB_RESET_PORT request", PASSIVE_LEVEL,
       [&](KIRQL irql) { SendAt(irql, IOCTL_INTERNAL_USB_RESET_PORT, nullptr); }},
      {"IOCTL_INTERNAL_USB_CYCLE_PORT request", PASSIVE_LEVEL,
       [&](KIRQL irql) { SendAt(irql, IOCTL_INTERNAL_USB_CYCLE_PORT, nullptr); }},
      // Transfers and the requests a completion routine may need: up to
      // DISPATCH_LEVEL (null pipe handles are refused after the check).
      {"URB_FUNCTION_ABORT_PIPE request", DISPATCH_LEVEL,
       [&](KIRQL irql) { SendUrbAt(irql, URB_FUNCTION_ABORT_PIPE, sizeof(struct _URB_PIPE_REQUEST)); }},
      {"URB_FUNCTION_ISOCH_TRANSFER request", DISPATCH_LEVEL,
       [&](KIRQL irql) { SendUrbAt(irql, URB_FUNCTION_ISOCH_TRANSFER, GET_ISO_URB_SIZE(1)); }},
      {"URB_FUNCTION_GET_CURRENT_FRAME_NUMBER request", DISPATCH_LEVEL,
       [&](KIRQL irql) {
         SendUrbAt(irql, URB_FUNCTION_GET_CURRENT_FRAME_NUMBER, sizeof(struct _URB_GET_CURRENT_FRAME_NUMBER));
       }},
      {"URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE request", DISPATCH_LEVEL,
       [&](KIRQL irql) {
         UrbBlock urb(sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST));
         UCHAR buffer[18];
         UsbBuildGetDescriptorRequest(urb.get(), USHORT(urb.size()), USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, buffer,
                                      nullptr, sizeof buffer, nullptr);
         SendAt(irql, IOCTL_INTERNAL_USB_SUBMIT_URB, urb.get());
       }},
      {"URB_FUNCTION_CLASS_ENDPOINT request", DISPATCH_LEVEL,
       [&](KIRQL irql) {
         UrbBlock urb(sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST));
         UCHAR rate[3] = {0x44, 0xAC, 0x00};  // 44100 Hz
         UsbBuildVendorRequest(urb.get(), URB_FUNCTION_CLASS_ENDPOINT, USHORT(urb.size()),
                               USBD_TRANSFER_DIRECTION_OUT, 0, 0x01, 0x0100, 0x82, rate, nullptr, sizeof rate,
                               nullptr);
         SendAt(irql, IOCTL_INTERNAL_USB_SUBMIT_URB, urb.get());
       }},
  };
  FaultRecorder recorder(machine_);
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    // A request allowed at DISPATCH_LEVEL cannot be sent higher: IoCallDriver
    // itself stops at DISPATCH_LEVEL. Those rows check that the request's
    // own limit is not lower than documented.
    const bool request = std::string(row.name).find(" request") != std::string::npos;
    if (!request || row.highest < DISPATCH_LEVEL) {
      row.call(KIRQL(row.highest == DISPATCH_LEVEL ? HIGH_LEVEL : DISPATCH_LEVEL));
      const auto faults = recorder.Take();
      ASSERT_EQ(faults.size(), 1u) << FaultRecorder::Describe(faults);
      EXPECT_EQ(faults[0].kind, FaultKind::IrqlTooHigh);
      EXPECT_NE(faults[0].what.find(std::string(row.name) + " called at IRQL"), std::string::npos)
          << faults[0].what;
    }
    row.call(row.highest);
    const auto allowed = recorder.Take();
    EXPECT_TRUE(allowed.empty()) << FaultRecorder::Describe(allowed);
  }
}

}  // namespace
}  // namespace tqm::usb::testing
