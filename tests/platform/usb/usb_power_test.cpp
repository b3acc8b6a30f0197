// The TQM27's port out of D0 and while the system sleeps: its frames stop,
// what is pending ends with an error and every new request is refused until
// the device is in D0 and the system works again.
#include <gtest/gtest.h>

#include <cstdio>

#include "tests/platform/usb/power_irp.h"
#include "tests/platform/usb/usb_stack_fixture.h"

namespace tqm::usb::testing {
namespace {

using UsbPowerTest = UsbStackTest;

TEST_F(UsbPowerTest, OutOfD0OrAsleepTheDeviceStopsAndRefusesUntilBackInD0) {
  struct Row {
    const char* why;
    POWER_STATE_TYPE type;
    ULONG down, up;
  };
  const Row rows[] = {
      {"device D3", DevicePowerState, PowerDeviceD3, PowerDeviceD0},
      {"device D2", DevicePowerState, PowerDeviceD2, PowerDeviceD0},
      {"system S3 (the device left in D0)", SystemPowerState, PowerSystemSleeping3, PowerSystemWorking},
      {"system S1", SystemPowerState, PowerSystemSleeping1, PowerSystemWorking},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.why);
    auto [record, playback] = client_->StartStreaming(2, 2, 48000);
    IsochStream in(client_->lower(), record, 4, 1, 100 * 6);
    IsochStream out(client_->lower(), playback, 3, 4, 48 * 6);
    in.Start();
    out.Start();
    Step(20);
    in.Take();
    out.Take();
    const PortCounters before = port_->Counters();

    // Every request pending when the power went ends with an error; the
    // client does not resubmit after an error, so none is left.
    EXPECT_EQ(SetPower(port_->pdo(), row.type, row.down), STATUS_SUCCESS);
    EXPECT_TRUE(port_->PoweredDown());
    EXPECT_EQ(in.InFlight(), 0);
    EXPECT_EQ(out.InFlight(), 0);
    for (IsochStream* s : {&in, &out}) {
      for (const auto& c : s->Take()) {
        EXPECT_EQ(c.status, STATUS_DEVICE_POWERED_OFF) << Hex(c.status);
        EXPECT_EQ(c.usbd, USBD_STATUS_DEV_NOT_RESPONDING) << Hex(c.usbd);
      }
    }
    EXPECT_EQ(port_->Counters().endedByPowerDown - before.endedByPowerDown, 7u);

    // No frame reaches the device: its clock stands and its DAC does not
    // count the missing packets as underruns.
    const DeviceCounters asleep = device().Counters();
    Step(50);
    EXPECT_EQ(device().Counters().frames, asleep.frames);
    EXPECT_EQ(device().Counters().dacUnderruns, asleep.dacUnderruns);

    // New requests are refused at once, before the stack reads their URB.
    in.Start();
    EXPECT_EQ(in.InFlight(), 0);
    const auto refused = in.Take();
    ASSERT_EQ(refused.size(), 4u);
    for (const auto& c : refused) {
      EXPECT_EQ(c.status, STATUS_DEVICE_POWERED_OFF) << Hex(c.status);
      EXPECT_EQ(c.usbd, USBD_STATUS_SUCCESS) << "the URB keeps what the client wrote: " << Hex(c.usbd);
    }
    const auto descriptor = client_->GetDescriptor(USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, 18);
    EXPECT_TRUE(descriptor.result.completedInside);
    EXPECT_EQ(descriptor.result.status, STATUS_DEVICE_POWERED_OFF) << Hex(descriptor.result.status);
    EXPECT_EQ(port_->Counters().refusedPoweredDown - before.refusedPoweredDown, 5u);

    // Back in D0 (or working): the bus runs and the pipes take transfers again.
    EXPECT_EQ(SetPower(port_->pdo(), row.type, row.up), STATUS_SUCCESS);
    EXPECT_FALSE(port_->PoweredDown());
    in.Start();
    Step(10);
    EXPECT_GT(device().Counters().frames, asleep.frames);
    const auto woke = in.Take();
    ASSERT_FALSE(woke.empty());
    EXPECT_EQ(woke.front().status, STATUS_SUCCESS) << Hex(woke.front().status);
    in.Stop();
  }
}

// Waking the system while the device stays in D3 keeps it refusing: both
// must be up.
TEST_F(UsbPowerTest, AWokenSystemWithTheDeviceInD3StillRefuses) {
  EXPECT_EQ(SetPower(port_->pdo(), DevicePowerState, PowerDeviceD3), STATUS_SUCCESS);
  EXPECT_EQ(SetPower(port_->pdo(), SystemPowerState, PowerSystemSleeping3), STATUS_SUCCESS);
  EXPECT_EQ(SetPower(port_->pdo(), SystemPowerState, PowerSystemWorking), STATUS_SUCCESS);
  EXPECT_TRUE(port_->PoweredDown());
  EXPECT_EQ(client_->GetDescriptor(USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, 18).result.status, STATUS_DEVICE_POWERED_OFF);
  EXPECT_EQ(SetPower(port_->pdo(), DevicePowerState, PowerDeviceD0), STATUS_SUCCESS);
  EXPECT_EQ(client_->GetDescriptor(USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, 18).usbd, USBD_STATUS_SUCCESS);
}

}  // namespace
}  // namespace tqm::usb::testing
