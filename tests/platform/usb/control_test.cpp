// Configuration, alternate settings and the audio class requests, sent as the
// setup packets a USB stack puts on the wire.
#include <gtest/gtest.h>

#include "usb_host.h"

namespace tqm::usb {
namespace {

using testing::UsbHost;

TEST(Configuration, InterfacesExistOnlyOnceConfigured) {
  UsbHost host;
  EXPECT_EQ(host.SelectAlt(kRecordInterface, 1), UsbStatus::Stall) << "before SET_CONFIGURATION";
  EXPECT_EQ(host.SetVolume(kPlaybackFeatureUnit, 1, 0), UsbStatus::Stall) << "before SET_CONFIGURATION";
  EXPECT_EQ(host.Configure(2), UsbStatus::Stall) << "there is only configuration 1";
  ASSERT_EQ(host.Configure(), UsbStatus::Ok);
  EXPECT_EQ(host.device.State().configuration, 1);
  EXPECT_EQ(host.In(0x80, 0x08, 0, 0, 1).data, std::vector<uint8_t>{1});

  ASSERT_EQ(host.SelectAlt(kRecordInterface, 2), UsbStatus::Ok);
  ASSERT_EQ(host.SelectAlt(kPlaybackInterface, 3), UsbStatus::Ok);
  // Unconfiguring (configuration 0) drops every interface back to setting 0.
  ASSERT_EQ(host.Configure(0), UsbStatus::Ok);
  const DeviceState s = host.device.State();
  EXPECT_EQ(s.configuration, 0);
  EXPECT_EQ(s.alternate[kRecordInterface], 0);
  EXPECT_EQ(s.alternate[kPlaybackInterface], 0);
}

TEST(Configuration, AlternateSettingsThatExistAndThoseThatDoNot) {
  struct Row {
    uint8_t interface, alternate;
    UsbStatus status;
    const char* why;
  } rows[] = {
      {2, 0, UsbStatus::Ok, "record zero bandwidth"},
      {2, 1, UsbStatus::Ok, "record 16-bit"},
      {2, 2, UsbStatus::Ok, "record 24-bit"},
      {2, 3, UsbStatus::Stall, "record has no setting 3"},
      {3, 0, UsbStatus::Ok, "playback zero bandwidth"},
      {3, 1, UsbStatus::Stall, "playback has no setting 1"},
      {3, 2, UsbStatus::Ok, "playback 24-bit"},
      {3, 3, UsbStatus::Ok, "playback 16-bit"},
      {0, 0, UsbStatus::Ok, "HID has one setting"},
      {0, 1, UsbStatus::Stall, "HID has one setting"},
      {1, 1, UsbStatus::Stall, "audio control has one setting"},
      {4, 0, UsbStatus::Stall, "there is no interface 4"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.why);
    UsbHost host;
    ASSERT_EQ(host.Configure(), UsbStatus::Ok);
    EXPECT_EQ(host.SelectAlt(row.interface, row.alternate), row.status);
    if (row.status == UsbStatus::Ok) {
      EXPECT_EQ(host.In(0x81, 0x0A, 0, row.interface, 1).data,
                std::vector<uint8_t>{row.alternate})
          << "GET_INTERFACE reads back the setting";
    } else if (row.interface < kInterfaceCount) {
      EXPECT_EQ(host.device.State().alternate[row.interface], 0) << "a refused setting changes nothing";
    }
  }
}

// Sampling frequency goes to an endpoint of the current setting; volume and
// mute to the feature units through interface 1, exactly as the driver
// addresses them.
TEST(ClassRequests, SetCurChangesStateAndGetCurReadsItBack) {
  UsbHost host;
  host.StartStreams(2, 2, 44100);
  DeviceState s = host.device.State();
  EXPECT_EQ(s.playbackRate, 44100u);
  EXPECT_EQ(s.recordRate, 44100u);

  struct RateRow {
    uint8_t endpoint;
    uint32_t rate;
    const char* why;
  } rates[] = {
      {0x03, 96000, "playback endpoint"},
      {0x82, 96000, "record endpoint"},
      {0x82, 48000, "record back to 48 kHz"},
  };
  for (const RateRow& row : rates) {
    SCOPED_TRACE(row.why);
    ASSERT_EQ(host.SetRate(row.endpoint, row.rate), UsbStatus::Ok);
    const testing::Reply r = host.GetRate(row.endpoint);
    ASSERT_EQ(r.status, UsbStatus::Ok);
    ASSERT_EQ(r.data.size(), 3u);
    EXPECT_EQ(uint32_t(r.data[0] | r.data[1] << 8 | r.data[2] << 16), row.rate);
  }
  s = host.device.State();
  EXPECT_EQ(s.playbackRate, 96000u);
  EXPECT_EQ(s.recordRate, 48000u) << "each endpoint keeps its own";

  struct VolumeRow {
    uint8_t unit, channel;
    uint16_t value;
    const char* why;
  } volumes[] = {
      {0x10, 1, 0xC900, "playback left at -55 dB (word 0)"},
      {0x10, 2, 0x0080, "playback right at +0.5 dB (word 111)"},
      {0x0E, 1, 0x0C00, "record left at +12 dB (word 104)"},
      {0x0E, 2, 0xD880, "record right at -39.5 dB (word 1)"},
  };
  for (const VolumeRow& row : volumes) {
    SCOPED_TRACE(row.why);
    ASSERT_EQ(host.SetVolume(row.unit, row.channel, row.value), UsbStatus::Ok);
    const testing::Reply r =
        host.In(0xA1, 0x81, uint16_t(0x0200 | row.channel), uint16_t(row.unit << 8 | 1), 2);
    ASSERT_EQ(r.status, UsbStatus::Ok);
    ASSERT_EQ(r.data.size(), 2u);
    EXPECT_EQ(r.data[0] | r.data[1] << 8, row.value);
  }
  s = host.device.State();
  EXPECT_EQ(uint16_t(s.playback.volume[0]), 0xC900);
  EXPECT_EQ(uint16_t(s.playback.volume[1]), 0x0080);
  EXPECT_EQ(uint16_t(s.record.volume[0]), 0x0C00);
  EXPECT_EQ(uint16_t(s.record.volume[1]), 0xD880);

  ASSERT_EQ(host.SetMute(0x10, true), UsbStatus::Ok);
  EXPECT_TRUE(host.device.State().playback.mute);
  EXPECT_FALSE(host.device.State().record.mute) << "units are independent";
  EXPECT_EQ(host.In(0xA1, 0x81, 0x0100, 0x1001, 1).data, std::vector<uint8_t>{1});
  ASSERT_EQ(host.SetMute(0x10, false), UsbStatus::Ok);
  ASSERT_EQ(host.SetMute(0x0E, true), UsbStatus::Ok);
  EXPECT_FALSE(host.device.State().playback.mute);
  EXPECT_TRUE(host.device.State().record.mute);
}

TEST(ClassRequests, ControlsTheDeviceDoesNotHaveStall) {
  struct Row {
    uint8_t requestType, request;
    uint16_t value, index;
    std::vector<uint8_t> data;
    const char* why;
  } rows[] = {
      {0x21, 0x01, 0x0300, 0x1001, {0}, "bass control (selector 3)"},
      {0x21, 0x01, 0x0200, 0x1001, {0, 0}, "volume on the master channel"},
      {0x21, 0x01, 0x0203, 0x1001, {0, 0}, "volume on channel 3"},
      {0x21, 0x01, 0x0101, 0x1001, {1}, "mute on channel 1"},
      {0x21, 0x01, 0x0100, 0x1001, {2}, "mute value other than 0 and 1"},
      {0x21, 0x01, 0x0201, 0x0F01, {0, 0}, "unit 0x0F does not exist"},
      {0x21, 0x01, 0x0201, 0x1002, {0, 0}, "unit 0x10 addressed through interface 2"},
      {0x21, 0x01, 0x0201, 0x1001, {0}, "volume with one data byte"},
      {0x21, 0x01, 0x0100, 0x1001, {0, 0}, "mute with two data bytes"},
      {0x21, 0x02, 0x0201, 0x1001, {0, 0}, "SET_MIN is not a request of this device"},
      {0x22, 0x01, 0x0100, 0x0081, {0x80, 0xBB, 0}, "sampling frequency of the HID endpoint"},
      {0x22, 0x01, 0x0100, 0x0082, {0x80, 0xBB}, "sampling frequency in 2 bytes"},
      {0x22, 0x01, 0x0200, 0x0082, {0x80, 0xBB, 0}, "pitch control (selector 2)"},
      {0x22, 0x01, 0x0100, 0x0082, {0x00, 0x7D, 0}, "32 kHz is not supported"},
      {0x22, 0x01, 0x0100, 0x0003, {0x88, 0x58, 0x01}, "88.2 kHz is not supported"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.why);
    UsbHost host;
    host.StartStreams(2, 2, 48000);
    const DeviceState before = host.device.State();
    EXPECT_EQ(host.Out(row.requestType, row.request, row.value, row.index, row.data),
              UsbStatus::Stall);
    const DeviceState after = host.device.State();
    EXPECT_EQ(after.playbackRate, before.playbackRate);
    EXPECT_EQ(after.recordRate, before.recordRate);
    EXPECT_EQ(after.playback.volume[0], before.playback.volume[0]);
    EXPECT_EQ(after.playback.mute, before.playback.mute);
  }
  // Reads of controls that do not exist stall the same way.
  UsbHost host;
  host.StartStreams(2, 2, 48000);
  EXPECT_EQ(host.In(0xA1, 0x82, 0x0201, 0x1001, 2).status, UsbStatus::Stall) << "GET_MIN";
  EXPECT_EQ(host.In(0xA1, 0x81, 0x0400, 0x0E01, 1).status, UsbStatus::Stall) << "GET_CUR treble";
}

TEST(ClassRequests, SamplingFrequencyNeedsTheEndpointsSetting) {
  UsbHost host;
  ASSERT_EQ(host.Configure(), UsbStatus::Ok);
  EXPECT_EQ(host.SetRate(0x82, 44100), UsbStatus::Stall) << "record at setting 0 has no endpoint";
  EXPECT_EQ(host.SetRate(0x03, 44100), UsbStatus::Stall) << "playback at setting 0 has no endpoint";
  ASSERT_EQ(host.SelectAlt(kRecordInterface, 1), UsbStatus::Ok);
  EXPECT_EQ(host.SetRate(0x82, 44100), UsbStatus::Ok);
  EXPECT_EQ(host.SetRate(0x03, 44100), UsbStatus::Stall);
  EXPECT_EQ(host.device.State().recordRate, 44100u);
  EXPECT_EQ(host.device.State().playbackRate, Tqm27Device::kDefaultRate);
}

TEST(ClassRequests, RefusedSamplingFrequencyKeepsTheOldRate) {
  UsbHost host;
  host.StartStreams(2, 2, 48000);
  DeviceFaults faults;
  faults.refuseSamplingFrequency = true;
  host.device.SetFaults(faults);
  EXPECT_EQ(host.SetRate(0x03, 96000), UsbStatus::Stall);
  EXPECT_EQ(host.SetRate(0x82, 96000), UsbStatus::Stall);
  const testing::Reply r = host.GetRate(0x82);
  ASSERT_EQ(r.data.size(), 3u);
  EXPECT_EQ(uint32_t(r.data[0] | r.data[1] << 8 | r.data[2] << 16), 48000u);
  EXPECT_EQ(host.device.State().playbackRate, 48000u);
  host.device.SetFaults({});
  EXPECT_EQ(host.SetRate(0x82, 96000), UsbStatus::Ok) << "accepted once the fault is lifted";
}

TEST(DeviceGone, EveryRequestFailsAsAVanishedDevice) {
  UsbHost host;
  host.StartStreams(2, 2, 48000);
  host.device.Unplug();
  EXPECT_EQ(host.Descriptor(0x01, 0, 18).status, UsbStatus::DeviceGone);
  EXPECT_EQ(host.SetRate(0x82, 48000), UsbStatus::DeviceGone);
  EXPECT_EQ(host.SetVolume(0x10, 1, 0), UsbStatus::DeviceGone);
  EXPECT_EQ(host.SelectAlt(kRecordInterface, 0), UsbStatus::DeviceGone);
  EXPECT_EQ(host.device.ClearHalt(kRecordEndpoint), UsbStatus::DeviceGone);
  std::vector<uint8_t> out(288), in(600);
  const FrameResult f = host.device.RunFrame({std::span<const uint8_t>(out), std::span<uint8_t>(in)});
  EXPECT_EQ(f.out, UsbStatus::DeviceGone);
  EXPECT_EQ(f.in, UsbStatus::DeviceGone);
  EXPECT_EQ(f.inLength, 0u);
  uint32_t length = 99;
  EXPECT_EQ(host.device.HidInput(in, &length), UsbStatus::DeviceGone);
  EXPECT_EQ(length, 0u);
  EXPECT_EQ(host.device.HidOutput(std::span<const uint8_t>(out).first(63)), UsbStatus::DeviceGone);
  EXPECT_TRUE(host.device.State().gone);
}

}  // namespace
}  // namespace tqm::usb
