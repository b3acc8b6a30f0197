// The USB stack's synchronous URBs, sent by a client driver on the simulated
// kernel: descriptors and their parsing, configuration and interface
// selection, class requests, pipe requests, rejected requests, and when
// they complete: a few frames later by default, inside IoCallDriver when the
// port answers inline, rejected ones at once.
#include <gtest/gtest.h>

#include <cstdio>

#include "platform/kernel/machine.h"
#include "tests/platform/kernel/kernel_fixture.h"
#include "tests/platform/usb/usb_stack_fixture.h"
#include "tqm/identity.h"

namespace tqm::usb::testing {
namespace {

using UsbUrbTest = UsbStackTest;

TEST_F(UsbUrbTest, DescriptorsReadAndParseAsTheDriverReadsThem) {
  const auto device = client_->GetDescriptor(USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, 18);
  ASSERT_EQ(device.result.status, STATUS_SUCCESS);
  ASSERT_EQ(device.usbd, USBD_STATUS_SUCCESS);
  ASSERT_EQ(device.bytes.size(), 18u);
  const auto* d = reinterpret_cast<const USB_DEVICE_DESCRIPTOR*>(device.bytes.data());
  EXPECT_EQ(d->bDescriptorType, USB_DEVICE_DESCRIPTOR_TYPE);
  EXPECT_EQ(d->idVendor, kUsbVendorId);
  EXPECT_EQ(d->idProduct, kUsbProductId);

  std::vector<UCHAR> config = client_->ConfigurationDescriptor();
  ASSERT_GE(config.size(), 9u);
  auto* c = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(config.data());
  EXPECT_EQ(config.size(), c->wTotalLength);
  EXPECT_EQ(c->bNumInterfaces, 4);

  // Every interface and alternate setting the device has, found by the
  // library's parser with the other criteria left open.
  struct Row {
    LONG interface, alternate;
    bool present;
    UCHAR endpoints;
  } rows[] = {
      {0, 0, true, 2},   // HID: interrupt IN and OUT
      {1, 0, true, 0},   // audio control
      {2, 0, true, 0},   // record, zero bandwidth
      {2, 1, true, 1},   // record 16-bit
      {2, 2, true, 1},   // record 24-bit
      {2, 3, false, 0},  // no such record setting
      {3, 0, true, 0},   // playback, zero bandwidth
      {3, 1, false, 0},  // playback has no setting 1
      {3, 2, true, 1},   // playback 24-bit
      {3, 3, true, 1},   // playback 16-bit
      {4, 0, false, 0},  // no interface 4
  };
  for (const Row& row : rows) {
    PUSB_INTERFACE_DESCRIPTOR found =
        USBD_ParseConfigurationDescriptorEx(c, c, row.interface, row.alternate, -1, -1, -1);
    ASSERT_EQ(found != nullptr, row.present) << row.interface << "/" << row.alternate;
    if (!found) continue;
    EXPECT_EQ(found->bInterfaceNumber, row.interface);
    EXPECT_EQ(found->bAlternateSetting, row.alternate);
    EXPECT_EQ(found->bNumEndpoints, row.endpoints) << row.interface << "/" << row.alternate;
  }
  // The search starts where it is told: past interface 2's first setting it
  // finds the next one.
  PUSB_INTERFACE_DESCRIPTOR first = USBD_ParseConfigurationDescriptorEx(c, c, 2, -1, -1, -1, -1);
  ASSERT_NE(first, nullptr);
  PUSB_INTERFACE_DESCRIPTOR second =
      USBD_ParseConfigurationDescriptorEx(c, reinterpret_cast<UCHAR*>(first) + first->bLength, 2, -1, -1, -1, -1);
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(second->bAlternateSetting, 1);

  // Strings: the length byte first, then the whole string.
  for (UCHAR index : {d->iManufacturer, d->iProduct}) {
    const auto head = client_->GetDescriptor(USB_STRING_DESCRIPTOR_TYPE, index, 0, 4);
    ASSERT_EQ(head.usbd, USBD_STATUS_SUCCESS) << int(index);
    ASSERT_EQ(head.bytes.size(), 4u);
    const auto whole = client_->GetDescriptor(USB_STRING_DESCRIPTOR_TYPE, index, 0, head.bytes[0]);
    EXPECT_EQ(whole.bytes.size(), head.bytes[0]);
    EXPECT_EQ(whole.bytes[1], USB_STRING_DESCRIPTOR_TYPE);
  }
}

TEST_F(UsbUrbTest, ParserStopsAtMalformedDescriptors) {
  // A descriptor set whose second descriptor claims length 0, and one whose
  // interface descriptor runs past wTotalLength.
  UCHAR zeroLength[] = {9, 2, 20, 0, 1, 1, 0, 0x80, 50, 0, 4, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  UCHAR overrun[] = {9, 2, 14, 0, 1, 1, 0, 0x80, 50, 9, 4, 0, 0, 0};
  for (UCHAR* bytes : {zeroLength, overrun}) {
    auto* c = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(bytes);
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(c, c, -1, -1, -1, -1, -1), nullptr);
  }
}

TEST_F(UsbUrbTest, ConfigurationRequestIsSizedForEveryPipe) {
  std::vector<UCHAR> config = client_->ConfigurationDescriptor();
  auto* c = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(config.data());
  USBD_INTERFACE_LIST_ENTRY list[] = {
      {USBD_ParseConfigurationDescriptorEx(c, c, 0, 0, -1, -1, -1), nullptr},
      {USBD_ParseConfigurationDescriptorEx(c, c, 2, 2, -1, -1, -1), nullptr},
      {nullptr, nullptr}};
  PURB urb = USBD_CreateConfigurationRequestEx(c, list);
  ASSERT_NE(urb, nullptr);
  EXPECT_EQ(urb->UrbHeader.Function, URB_FUNCTION_SELECT_CONFIGURATION);
  EXPECT_EQ(urb->UrbHeader.Length, GET_SELECT_CONFIGURATION_REQUEST_SIZE(2, 3));
  EXPECT_EQ(urb->UrbSelectConfiguration.ConfigurationDescriptor, c);
  ASSERT_EQ(list[0].Interface, &urb->UrbSelectConfiguration.Interface);
  EXPECT_EQ(list[0].Interface->Length, GET_USBD_INTERFACE_SIZE(2));
  EXPECT_EQ(list[0].Interface->NumberOfPipes, 2u);
  EXPECT_EQ(reinterpret_cast<UCHAR*>(list[1].Interface),
            reinterpret_cast<UCHAR*>(list[0].Interface) + GET_USBD_INTERFACE_SIZE(2));
  EXPECT_EQ(list[1].Interface->InterfaceNumber, 2);
  EXPECT_EQ(list[1].Interface->AlternateSetting, 2);
  EXPECT_EQ(list[1].Interface->Pipes[0].MaximumTransferSize, USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE);
  ExFreePool(urb);
}

TEST_F(UsbUrbTest, SelectionsReturnThePipesOfEachSetting) {
  UsbClient::Selection config = client_->SelectConfiguration();
  ASSERT_EQ(config.usbd, USBD_STATUS_SUCCESS) << Hex(config.usbd);
  ASSERT_EQ(config.result.status, STATUS_SUCCESS);
  EXPECT_NE(config.handle, nullptr);
  ASSERT_EQ(config.pipes.size(), 4u);
  EXPECT_EQ(config.pipes[0].size(), 2u);  // HID interrupt pipes
  EXPECT_EQ(config.pipes[0][0].PipeType, UsbdPipeTypeInterrupt);
  EXPECT_EQ(config.pipes[2].size(), 0u);  // streaming at setting 0: no pipes
  EXPECT_EQ(config.pipes[3].size(), 0u);
  EXPECT_EQ(device().State().configuration, 1);

  struct Row {
    UCHAR interface, alternate;
    ULONG pipes;
    UCHAR endpoint;
    USHORT maxPacket;
  } rows[] = {
      {2, 1, 1, 0x82, 400},  // record 16-bit
      {2, 2, 1, 0x82, 600},  // record 24-bit
      {3, 2, 1, 0x03, 600},  // playback 24-bit
      {3, 3, 1, 0x03, 400},  // playback 16-bit
      {2, 0, 0, 0, 0},       // back to zero bandwidth: the pipe closes
      {3, 0, 0, 0, 0},
  };
  for (const Row& row : rows) {
    UsbClient::Selection s = client_->SelectAlternate(row.interface, row.alternate, row.pipes);
    ASSERT_EQ(s.usbd, USBD_STATUS_SUCCESS) << int(row.interface) << "/" << int(row.alternate) << " " << Hex(s.usbd);
    ASSERT_EQ(s.pipes.size(), 1u);
    ASSERT_EQ(s.pipes[0].size(), row.pipes);
    EXPECT_EQ(device().State().alternate[row.interface], row.alternate);
    if (row.pipes == 0) continue;
    const USBD_PIPE_INFORMATION& pipe = s.pipes[0][0];
    EXPECT_EQ(pipe.EndpointAddress, row.endpoint);
    EXPECT_EQ(pipe.PipeType, UsbdPipeTypeIsochronous);
    EXPECT_EQ(pipe.MaximumPacketSize, row.maxPacket);
    EXPECT_EQ(pipe.Interval, 1);
    EXPECT_NE(pipe.PipeHandle, nullptr);
  }

  // A setting the interface does not have, and an interface information too
  // short for the setting's pipe, both fail at once and change nothing.
  UsbClient::Selection missing = client_->SelectAlternate(3, 1, 1);
  EXPECT_EQ(missing.usbd, USBD_STATUS_INTERFACE_NOT_FOUND) << Hex(missing.usbd);
  EXPECT_EQ(missing.result.status, STATUS_INVALID_PARAMETER) << Hex(missing.result.status);
  UsbClient::Selection tooShort = client_->SelectAlternate(3, 2, 0);
  EXPECT_EQ(tooShort.usbd, USBD_STATUS_BUFFER_TOO_SMALL) << Hex(tooShort.usbd);
  EXPECT_EQ(device().State().alternate[3], 0);
}

// A bus without the periodic bandwidth refuses a streaming setting: the
// interface keeps the setting it had, setting 0 is still granted, and the
// same selection succeeds once the bandwidth is there.
TEST_F(UsbUrbTest, AStreamingSettingIsRefusedWithoutBandwidthUntilItIsThere) {
  ASSERT_EQ(client_->SelectConfiguration().usbd, USBD_STATUS_SUCCESS);
  port_->RefuseBandwidth(3, true);
  const auto refused = client_->SelectAlternate(3, 2, 1);
  EXPECT_EQ(refused.usbd, USBD_STATUS_NO_BANDWIDTH);
  EXPECT_FALSE(NT_SUCCESS(refused.result.status));
  EXPECT_EQ(device().State().alternate[3], 0u) << "the device was not asked to change";
  EXPECT_EQ(client_->SelectAlternate(3, 0, 0).usbd, USBD_STATUS_SUCCESS);
  EXPECT_EQ(client_->SelectAlternate(2, 2, 1).usbd, USBD_STATUS_SUCCESS) << "another interface is not refused";
  port_->RefuseBandwidth(3, false);
  const auto granted = client_->SelectAlternate(3, 2, 1);
  EXPECT_EQ(granted.usbd, USBD_STATUS_SUCCESS);
  EXPECT_EQ(device().State().alternate[3], 2u);
}

TEST_F(UsbUrbTest, UnconfigureSendsTheDeviceBackAndClosesThePipes) {
  auto [record, playback] = client_->StartStreaming(2, 2, 48000);
  ASSERT_EQ(device().State().configuration, 1);
  UrbBlock urb(offsetof(struct _URB_SELECT_CONFIGURATION, Interface));
  UsbBuildSelectConfigurationRequest(urb.get(), USHORT(urb.size()), nullptr);
  const SyncResult r = client_->Submit(urb.get());
  EXPECT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_EQ(urb->UrbHeader.Status, USBD_STATUS_SUCCESS);
  EXPECT_EQ(device().State().configuration, 0);
  // The old pipe handle is gone with the configuration.
  const auto reset = client_->PipeRequest(URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, record.PipeHandle);
  EXPECT_EQ(reset.usbd, USBD_STATUS_INVALID_PIPE_HANDLE) << Hex(reset.usbd);
  EXPECT_EQ(reset.result.status, STATUS_INVALID_PARAMETER);
}

TEST_F(UsbUrbTest, ClassRequestsChangeTheStateTheyReadBack) {
  client_->StartStreaming(1, 3, 48000);
  struct Row {
    const char* why;
    USHORT function;
    USHORT value, index;
    std::vector<UCHAR> data;
    USBD_STATUS usbd;
  } rows[] = {
      {"record rate", URB_FUNCTION_CLASS_ENDPOINT, 0x0100, 0x82, {0x44, 0xAC, 0x00}, USBD_STATUS_SUCCESS},
      {"playback rate", URB_FUNCTION_CLASS_ENDPOINT, 0x0100, 0x03, {0x00, 0x77, 0x01}, USBD_STATUS_SUCCESS},
      {"playback volume, channel 1", URB_FUNCTION_CLASS_INTERFACE, 0x0201, 0x1001, {0x00, 0xF6}, USBD_STATUS_SUCCESS},
      {"playback volume, channel 2", URB_FUNCTION_CLASS_INTERFACE, 0x0202, 0x1001, {0x80, 0xFF}, USBD_STATUS_SUCCESS},
      {"record volume, channel 1", URB_FUNCTION_CLASS_INTERFACE, 0x0201, 0x0E01, {0x00, 0x03}, USBD_STATUS_SUCCESS},
      {"playback mute", URB_FUNCTION_CLASS_INTERFACE, 0x0100, 0x1001, {1}, USBD_STATUS_SUCCESS},
      {"volume on the master channel is not a control", URB_FUNCTION_CLASS_INTERFACE, 0x0200, 0x1001, {0, 0},
       USBD_STATUS_STALL_PID},
      {"no such unit", URB_FUNCTION_CLASS_INTERFACE, 0x0201, 0x0701, {0, 0}, USBD_STATUS_STALL_PID},
      {"a rate the device lacks", URB_FUNCTION_CLASS_ENDPOINT, 0x0100, 0x82, {0x22, 0x56, 0x00}, USBD_STATUS_STALL_PID},
  };
  for (const Row& row : rows) {
    const auto set = client_->ClassRequest(row.function, false, 0x01, row.value, row.index, row.data);
    EXPECT_EQ(set.usbd, row.usbd) << row.why << ": " << Hex(set.usbd);
    EXPECT_EQ(set.result.status, USBD_SUCCESS(row.usbd) ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL) << row.why;
    if (!USBD_SUCCESS(row.usbd)) continue;
    // GET_CUR returns what SET_CUR stored.
    const auto get = client_->ClassRequest(row.function, true, 0x81, row.value, row.index,
                                           std::vector<UCHAR>(row.data.size(), 0xEE));
    EXPECT_EQ(get.usbd, USBD_STATUS_SUCCESS) << row.why;
    EXPECT_EQ(get.data, row.data) << row.why;
  }
  const DeviceState state = device().State();
  EXPECT_EQ(state.recordRate, 44100u);
  EXPECT_EQ(state.playbackRate, 96000u);
  EXPECT_EQ(state.playback.volume[0], int16_t(0xF600));
  EXPECT_EQ(state.playback.volume[1], int16_t(0xFF80));
  EXPECT_EQ(state.record.volume[0], 0x0300);
  EXPECT_TRUE(state.playback.mute);
  EXPECT_FALSE(state.record.mute);
}

// Control requests complete one to three frames after IoCallDriver by
// default, inside it when the port answers inline (Windows may do either).
TEST_F(UsbUrbTest, ControlRequestsCompleteLaterOrInsideByPortMode) {
  client_->StartStreaming(2, 2, 48000);
  struct Row {
    const char* why;
    std::function<SyncResult()> send;
  } rows[] = {
      {"device descriptor", [&] { return client_->GetDescriptor(1, 0, 0, 18).result; }},
      {"configuration descriptor", [&] { return client_->GetDescriptor(2, 0, 0, 9).result; }},
      {"string descriptor", [&] { return client_->GetDescriptor(3, 2, 0, 4).result; }},
      {"select configuration", [&] { return client_->SelectConfiguration().result; }},
      {"select interface", [&] { return client_->SelectAlternate(2, 1, 1).result; }},
      {"class request to an endpoint", [&] { return client_->SetRate(0x82, 44100).result; }},
      {"class request to an interface",
       [&] { return client_->ClassRequest(URB_FUNCTION_CLASS_INTERFACE, false, 1, 0x0100, 0x0E01, {1}).result; }},
      {"refused class request",
       [&] { return client_->ClassRequest(URB_FUNCTION_CLASS_INTERFACE, false, 1, 0x0300, 0x0E01, {1}).result; }},
      {"pipe reset", [&] {
         auto pipes = client_->SelectAlternate(2, 2, 1).pipes;
         return client_->PipeRequest(URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, pipes[0][0].PipeHandle).result;
       }},
      {"unknown pipe handle",
       [&] { return client_->PipeRequest(URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, (PVOID)0x1234).result; }},
  };
  for (const bool inline_ : {false, true}) {
    PortModes modes;
    modes.controlInline = inline_;
    port_->SetModes(modes);
    for (const Row& row : rows) {
      SCOPED_TRACE(std::string(row.why) + (inline_ ? ", inline" : ", later"));
      const SyncResult r = row.send();
      EXPECT_EQ(r.completedInside, inline_);
      EXPECT_EQ(r.returned, inline_ ? r.status : STATUS_PENDING) << Hex(r.returned);
      EXPECT_NE(r.status, STATUS_PENDING);
    }
  }
}

// A control request is carried out in the frame it completes in, one to three
// frames after it was sent (a seeded draw, so the delays vary): nothing of
// its answer is there before.
TEST_F(UsbUrbTest, ControlRequestsAreAnsweredOneToThreeFramesLater) {
  int seen[4] = {};
  for (int i = 0; i < 24; ++i) {
    SCOPED_TRACE("request " + std::to_string(i));
    UrbBlock urb(sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST));
    std::vector<UCHAR> buffer(18, 0xEE);
    UsbBuildGetDescriptorRequest(urb.get(), USHORT(urb.size()), USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, buffer.data(),
                                 nullptr, 18, nullptr);
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, client_->lower(), nullptr, 0, nullptr,
                                             0, TRUE, &done, &iosb);
    IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = urb.get();
    ASSERT_EQ(IoCallDriver(client_->lower(), irp), STATUS_PENDING);
    EXPECT_EQ(urb->UrbHeader.Status, USBD_STATUS_PENDING) << Hex(urb->UrbHeader.Status);
    int frames = 0;
    while (!KeReadStateEvent(&done) && frames < 10) {
      EXPECT_EQ(buffer[0], 0xEE) << "answered before it completed";
      Step(1);
      ++frames;
    }
    ASSERT_GE(frames, 1);
    ASSERT_LE(frames, 3);
    ++seen[frames];
    EXPECT_EQ(iosb.Status, STATUS_SUCCESS) << Hex(iosb.Status);
    EXPECT_EQ(buffer[0], 18);
    EXPECT_EQ(buffer[1], USB_DEVICE_DESCRIPTOR_TYPE);
  }
  EXPECT_GE((seen[1] > 0) + (seen[2] > 0) + (seen[3] > 0), 2)
      << "delays " << seen[1] << " x 1, " << seen[2] << " x 2, " << seen[3] << " x 3 frames";
}

// A driver that holds a spin lock across IoCallDriver, with a completion
// routine that takes the same lock, meets the lock again on its own thread:
// the verifier reports it instead of the test passing by luck of timing.
TEST_F(UsbUrbTest, SpinLockHeldAcrossASynchronousRequestIsCaught) {
  // Only a stack that completes inside IoCallDriver brings the routine onto
  // the caller's own thread.
  PortModes modes;
  modes.controlInline = true;
  port_->SetModes(modes);
  kernel::testing::FaultRecorder faults(machine_);
  struct Context {
    KSPIN_LOCK lock;
    KEVENT done;
  } context;
  KeInitializeSpinLock(&context.lock);
  KeInitializeEvent(&context.done, NotificationEvent, FALSE);
  UrbBlock urb(sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST));
  UCHAR buffer[18];
  UsbBuildGetDescriptorRequest(urb.get(), USHORT(urb.size()), 1, 0, 0, buffer, nullptr, 18, nullptr);
  PIRP irp = IoAllocateIrp(client_->lower()->StackSize, FALSE);
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
  next->Parameters.Others.Argument1 = urb.get();
  IoSetCompletionRoutine(
      irp,
      [](PDEVICE_OBJECT, PIRP, PVOID c) -> NTSTATUS {
        auto* ctx = static_cast<Context*>(c);
        KeAcquireSpinLockAtDpcLevel(&ctx->lock);
        KeReleaseSpinLockFromDpcLevel(&ctx->lock);
        KeSetEvent(&ctx->done, IO_NO_INCREMENT, FALSE);
        return STATUS_MORE_PROCESSING_REQUIRED;
      },
      &context, TRUE, TRUE, TRUE);
  KIRQL irql = KeAcquireSpinLockRaiseToDpc(&context.lock);
  IoCallDriver(client_->lower(), irp);
  KeReleaseSpinLock(&context.lock, irql);
  const auto recorded = faults.Take();
  bool reacquired = false;
  for (const auto& f : recorded)
    reacquired |= f.kind == kernel::FaultKind::SpinLockMisuse && f.what.find("acquired again") != std::string::npos;
  EXPECT_TRUE(reacquired) << kernel::testing::FaultRecorder::Describe(recorded);
  EXPECT_NE(KeReadStateEvent(&context.done), 0);
  IoFreeIrp(irp);
}

TEST_F(UsbUrbTest, MalformedRequestsAreRejectedAtOnce) {
  auto [record, playback] = client_->StartStreaming(2, 2, 48000);
  struct Row {
    const char* why;
    std::function<void(PURB)> build;
    size_t size;
    USBD_STATUS usbd;
    NTSTATUS status;
  } rows[] = {
      {"unknown function", [](PURB u) { u->UrbHeader.Function = 0x2F; }, 64, USBD_STATUS_INVALID_URB_FUNCTION,
       STATUS_INVALID_PARAMETER},
      {"descriptor request shorter than its structure",
       [](PURB u) { u->UrbHeader.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE; }, 40,
       USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER},
      {"isochronous transfer on a closed pipe",
       [](PURB u) {
         u->UrbHeader.Function = URB_FUNCTION_ISOCH_TRANSFER;
         u->UrbIsochronousTransfer.PipeHandle = (PVOID)0x42;
         u->UrbIsochronousTransfer.NumberOfPackets = 1;
       },
       GET_ISO_URB_SIZE(1), USBD_STATUS_INVALID_PIPE_HANDLE, STATUS_INVALID_PARAMETER},
      {"isochronous URB too short for its packets",
       [&](PURB u) {
         u->UrbHeader.Function = URB_FUNCTION_ISOCH_TRANSFER;
         u->UrbIsochronousTransfer.PipeHandle = record.PipeHandle;
         u->UrbIsochronousTransfer.NumberOfPackets = 10;
       },
       GET_ISO_URB_SIZE(4), USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER},
  };
  for (const Row& row : rows) {
    UrbBlock urb(row.size);
    urb->UrbHeader.Length = USHORT(row.size);
    row.build(urb.get());
    const SyncResult r = client_->Submit(urb.get());
    EXPECT_TRUE(r.completedInside) << row.why;
    EXPECT_EQ(urb->UrbHeader.Status, row.usbd) << row.why << ": " << Hex(urb->UrbHeader.Status);
    EXPECT_EQ(r.status, row.status) << row.why << ": " << Hex(r.status);
  }
}

// Faults of the device reach the client as the statuses a driver checks.
TEST_F(UsbUrbTest, DescriptorAndRequestFaultsReachTheClient) {
  client_->StartStreaming(2, 2, 48000);
  DeviceFaults faults;
  faults.refuseSamplingFrequency = true;
  device().SetFaults(faults);
  const auto refused = client_->SetRate(0x82, 44100);
  EXPECT_EQ(refused.usbd, USBD_STATUS_STALL_PID) << Hex(refused.usbd);
  EXPECT_EQ(refused.result.status, STATUS_UNSUCCESSFUL) << Hex(refused.result.status);
  EXPECT_EQ(device().State().recordRate, 48000u);

  // The configuration's second read comes back short: the request succeeds
  // with fewer bytes than asked for, which the driver must notice itself.
  faults = {};
  faults.shortConfiguration = true;
  device().SetFaults(faults);
  const auto head = client_->GetDescriptor(2, 0, 0, 9);
  ASSERT_EQ(head.bytes.size(), 9u);
  const ULONG total = head.bytes[2] | head.bytes[3] << 8;
  const auto whole = client_->GetDescriptor(2, 0, 0, total);
  EXPECT_EQ(whole.usbd, USBD_STATUS_SUCCESS);
  EXPECT_LT(whole.bytes.size(), total);

  faults = {};
  faults.mistypedDescriptor = USB_DEVICE_DESCRIPTOR_TYPE;
  device().SetFaults(faults);
  const auto mistyped = client_->GetDescriptor(1, 0, 0, 18);
  EXPECT_EQ(mistyped.usbd, USBD_STATUS_SUCCESS);
  ASSERT_EQ(mistyped.bytes.size(), 18u);
  EXPECT_NE(mistyped.bytes[1], USB_DEVICE_DESCRIPTOR_TYPE);
}

// The PDO answers Plug and Play, power and the other requests a function
// driver passes down as a bus driver does.
TEST_F(UsbUrbTest, PhysicalDeviceAnswersAsABusDriver) {
  struct Row {
    const char* why;
    UCHAR major, minor;
    NTSTATUS expected;
  } rows[] = {
      {"start", IRP_MJ_PNP, IRP_MN_START_DEVICE, STATUS_SUCCESS},
      {"query stop", IRP_MJ_PNP, IRP_MN_QUERY_STOP_DEVICE, STATUS_SUCCESS},
      {"query remove", IRP_MJ_PNP, IRP_MN_QUERY_REMOVE_DEVICE, STATUS_SUCCESS},
      {"cancel remove", IRP_MJ_PNP, IRP_MN_CANCEL_REMOVE_DEVICE, STATUS_SUCCESS},
      {"a request the bus does not handle keeps its status", IRP_MJ_PNP, IRP_MN_QUERY_INTERFACE,
       STATUS_NOT_SUPPORTED},
      {"set power", IRP_MJ_POWER, IRP_MN_SET_POWER, STATUS_SUCCESS},
      {"query power", IRP_MJ_POWER, IRP_MN_QUERY_POWER, STATUS_SUCCESS},
      {"wait wake is not supported: status kept", IRP_MJ_POWER, IRP_MN_WAIT_WAKE, STATUS_NOT_SUPPORTED},
      {"system control passes back unchanged", IRP_MJ_SYSTEM_CONTROL, 0, STATUS_NOT_SUPPORTED},
      {"cleanup", IRP_MJ_CLEANUP, 0, STATUS_SUCCESS},
  };
  for (const Row& row : rows) {
    const SyncResult r = client_->Send(row.major, 0, nullptr, row.minor);
    EXPECT_TRUE(r.completedInside) << row.why;
    EXPECT_EQ(r.status, row.expected) << row.why << ": " << Hex(r.status);
  }
}

}  // namespace
}  // namespace tqm::usb::testing
