// The engine's USB conversation with the virtual TQM27: reading the device,
// the configuration and alternate settings, the class requests as the device
// receives them, and the isochronous URBs as the stack receives them.
#include "tests/driver/engine/engine_fixture.h"

namespace engine::testing {
namespace {

TEST_F(EngineTest, StartReadsTheDeviceAndSelectsTheConfiguration) {
  ASSERT_EQ(engine_->StartDevice(48000, 256, 4, 1), STATUS_SUCCESS);
  const auto state = device().State();
  EXPECT_EQ(state.configuration, 1);
  for (size_t i = 0; i < state.alternate.size(); ++i) EXPECT_EQ(state.alternate[i], 0) << "interface " << i;
  EXPECT_EQ(engine_->playChannels(), 2u);
  EXPECT_EQ(engine_->recordChannels(), 2u);
  // Interfaces at setting 0: only the HID interface has pipes.
  for (ULONG i = 0; i < engine_->pipeCount(); ++i)
    EXPECT_NE(engine_->pipe(i)->PipeType, UsbdPipeTypeIsochronous) << "pipe " << i;
  const tqm::DeviceStatusBlock* s = engine_->status();
  EXPECT_EQ(s->sampleRate, 48000u);
  EXPECT_EQ(s->periodFrames, 256u);
  EXPECT_EQ(s->requestCount, 4u);
  EXPECT_EQ(s->meterEnable, 1u);
  EXPECT_EQ(s->kernelAddress, nullptr) << "a kernel address would reach the clients' mappings";
  EXPECT_EQ(engine_->schedule().playBytesPerRequest, 1440u) << "5 packets of 48 frames, 24-bit stereo";
}

TEST_F(EngineTest, SettingsOutOfRangeAreCorrectedAtStart) {
  ASSERT_EQ(engine_->StartDevice(22050, 20, 12, 0), STATUS_SUCCESS);
  EXPECT_EQ(engine_->status()->sampleRate, 44100u);
  EXPECT_EQ(engine_->status()->periodFrames, 288u);
  EXPECT_EQ(engine_->status()->requestCount, 9u);
}

// Descriptor replies that are short or of the wrong type are retried, three
// attempts in all, and then fail the start.
TEST(EngineStart, BadDescriptorRepliesAreRetriedThenFailTheStart) {
  struct Row {
    const char* why;
    tqm::usb::DeviceFaults faults;
    uint64_t urbs;  // requests the stack saw
  };
  tqm::usb::DeviceFaults shortConfig{};
  shortConfig.shortConfiguration = true;
  tqm::usb::DeviceFaults mistypedDevice{};
  mistypedDevice.mistypedDescriptor = USB_DEVICE_DESCRIPTOR_TYPE;
  tqm::usb::DeviceFaults mistypedConfig{};
  mistypedConfig.mistypedDescriptor = USB_CONFIGURATION_DESCRIPTOR_TYPE;
  const Row rows[] = {
      // device descriptor, 9-byte head, then the whole descriptor three times
      {"second configuration read short", shortConfig, 1 + 1 + 3},
      // the first read of all fails three times
      {"device descriptor mistyped", mistypedDevice, 3},
      {"configuration head mistyped", mistypedConfig, 1 + 3},
  };
  for (const Row& r : rows) {
    Rig rig;
    rig.device().SetFaults(r.faults);
    EXPECT_EQ(rig.engine_->StartDevice(48000, 256, 2, 0), STATUS_DEVICE_DATA_ERROR) << r.why;
    EXPECT_EQ(rig.port_->Counters().urbs, r.urbs) << r.why;
  }
}

TEST(EngineStart, FormatScanFromOtherDevices) {
  struct Row {
    const char* why;
    std::vector<UCHAR> config;
    NTSTATUS status;
    ULONG playChannels, recordChannels;
  };
  const Row rows[] = {
      // The record endpoint descriptors turned into another type: the record
      // format has no endpoint after it, so no record channels.
      {"no record endpoint",
       EditedConfiguration([](UCHAR* d, bool) {
         if (d[1] == USB_ENDPOINT_DESCRIPTOR_TYPE && d[2] == 0x82) d[1] = 0x25;
       }),
       STATUS_SUCCESS, 2, 0},
      // A compressed (type II) stream cannot be carried.
      {"format type II",
       EditedConfiguration([](UCHAR* d, bool streaming) {
         if (streaming && d[1] == 0x24 && d[2] == 2) d[3] = 2;
       }),
       STATUS_DEVICE_DATA_ERROR, 0, 0},
  };
  for (const Row& r : rows) {
    Rig rig;
    rig.filter_->AnswerConfiguration(r.config);
    EXPECT_EQ(rig.engine_->StartDevice(48000, 256, 2, 0), r.status) << r.why;
    EXPECT_EQ(rig.engine_->playChannels(), r.playChannels) << r.why;
    EXPECT_EQ(rig.engine_->recordChannels(), r.recordChannels) << r.why;
  }
}

TEST_F(EngineTest, StreamingSettingsFollowTheRateRule) {
  ASSERT_EQ(engine_->StartDevice(48000, 256, 2, 0), STATUS_SUCCESS);
  struct Row {
    const char* why;
    ULONG rate;
    bool playback16;
    UCHAR playAlt, recordAlt;
    ULONG playWidth, recordWidth;
  };
  const Row rows[] = {
      {"24-bit both ways", 48000, false, 2, 2, 3, 3},
      {"16-bit playback asked for at 48 kHz", 48000, true, 3, 2, 2, 3},
      {"the 16-bit flag counts only at 48 kHz", 44100, true, 2, 2, 3, 3},
      {"96 kHz records 16-bit", 96000, false, 2, 1, 3, 2},
  };
  for (const Row& r : rows) {
    engine_->SetPlayback16(r.playback16);
    engine_->ChooseFormat(r.rate);
    ASSERT_EQ(engine_->Resize(), STATUS_SUCCESS) << r.why;
    ASSERT_EQ(engine_->SelectStreaming(), STATUS_SUCCESS) << r.why;
    EXPECT_TRUE(engine_->configured()) << r.why;
    auto state = device().State();
    EXPECT_EQ(state.alternate[3], r.playAlt) << r.why;
    EXPECT_EQ(state.alternate[2], r.recordAlt) << r.why;
    EXPECT_EQ(engine_->playWidth(), r.playWidth) << r.why;
    EXPECT_EQ(engine_->recordWidth(), r.recordWidth) << r.why;
    int iso = 0;
    for (ULONG i = 0; i < engine_->pipeCount(); ++i) iso += engine_->pipe(i)->PipeType == UsbdPipeTypeIsochronous;
    EXPECT_EQ(iso, 2) << r.why;
    engine_->Deselect();
    state = device().State();
    EXPECT_FALSE(engine_->configured()) << r.why;
    EXPECT_EQ(state.alternate[3], 0) << r.why;
    EXPECT_EQ(state.alternate[2], 0) << r.why;
  }
  EXPECT_EQ(engine_->SelectAlternate(3, 7), STATUS_INVALID_PARAMETER) << "no such setting";
  EXPECT_EQ(engine_->SelectAlternate(6, 0), STATUS_INSUFFICIENT_RESOURCES) << "no such interface";
}

// A bus without the bandwidth for a streaming setting refuses it: the first
// open fails with its own status, nothing streams, both interfaces are back at
// setting 0 and the engine holds no more memory than before; once the
// bandwidth is there the same open streams.
TEST_F(EngineTest, AnOpenWithoutBusBandwidthFailsCleanlyAndSucceedsLater) {
  for (UCHAR refused : {UCHAR(kPlaybackInterface), UCHAR(kRecordInterface)}) {
    SCOPED_TRACE("interface " + std::to_string(refused) + " refused");
    StartWith(*this, 48000, 96, 3);
    const uint64_t blocks = machine_.pool().Usage(kTagEngine).blocks;
    port_->RefuseBandwidth(refused, true);
    EXPECT_EQ(engine_->OpenChannel(0, kPlayback, 0), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_FALSE(engine_->Streaming());
    EXPECT_FALSE(engine_->ChannelOpen(0, kPlayback, 0));
    EXPECT_FALSE(engine_->configured());
    const auto state = device().State();
    EXPECT_EQ(state.alternate[kPlaybackInterface], 0);
    EXPECT_EQ(state.alternate[kRecordInterface], 0);
    EXPECT_EQ(machine_.pool().Usage(kTagEngine).blocks, blocks) << "nothing of the failed start is left";
    bool told = false;
    for (const auto& line : machine_.DebugOutput()) told |= line.text.find("bandwidth") != std::string::npos;
    EXPECT_TRUE(told) << "the debug output names the cause";

    port_->RefuseBandwidth(refused, false);
    ASSERT_EQ(engine_->OpenChannel(0, kPlayback, 0), STATUS_SUCCESS);
    EXPECT_TRUE(engine_->Streaming());
    const uint64_t packets = device().Counters().inPackets;
    Step(50);
    EXPECT_GT(device().Counters().inPackets, packets + 40) << "the stream runs";
    EXPECT_EQ(engine_->CloseChannel(0, kPlayback, 0), STATUS_SUCCESS);
    engine_->StopDevice();
  }
}

TEST_F(EngineTest, SelectionBeforeTheConfigurationIsRefused) {
  EXPECT_EQ(engine_->SelectAlternate(3, 2), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(engine_->OpenChannel(2, 0, 0), STATUS_INVALID_DEVICE_STATE);
}

TEST_F(EngineTest, ClassRequestsReachTheDeviceWithTheirWireValues) {
  ASSERT_EQ(engine_->StartDevice(48000, 256, 2, 0), STATUS_SUCCESS);
  // The endpoints exist only in the streaming settings.
  ASSERT_EQ(engine_->SelectStreaming(), STATUS_SUCCESS);
  EXPECT_EQ(engine_->SetVolume(1, 0xC900, kPlayback), STATUS_SUCCESS);
  EXPECT_EQ(engine_->SetVolume(2, 0x0080, kPlayback), STATUS_SUCCESS);
  EXPECT_EQ(engine_->SetVolume(1, 0x0C00, kRecord), STATUS_SUCCESS);
  EXPECT_EQ(engine_->SetVolume(2, 0xD880, kRecord), STATUS_SUCCESS);
  EXPECT_EQ(engine_->SetMute(true, kRecord), STATUS_SUCCESS);
  EXPECT_EQ(engine_->SetSamplingFrequency(kPlaybackEndpoint, 44100), STATUS_SUCCESS);
  EXPECT_EQ(engine_->SetSamplingFrequency(kRecordEndpoint, 96000), STATUS_SUCCESS);
  auto state = device().State();
  EXPECT_EQ(uint16_t(state.playback.volume[0]), 0xC900);
  EXPECT_EQ(uint16_t(state.playback.volume[1]), 0x0080);
  EXPECT_EQ(uint16_t(state.record.volume[0]), 0x0C00);
  EXPECT_EQ(uint16_t(state.record.volume[1]), 0xD880);
  EXPECT_TRUE(state.record.mute);
  EXPECT_FALSE(state.playback.mute);
  EXPECT_EQ(state.playbackRate, 44100u);
  EXPECT_EQ(state.recordRate, 96000u);

  tqm::usb::DeviceFaults refuse{};
  refuse.refuseSamplingFrequency = true;
  device().SetFaults(refuse);
  EXPECT_EQ(engine_->SendRate(48000), STATUS_DEVICE_DATA_ERROR) << "a refused request is a device data error";
}

TEST(VolumeLaw, WireValuePerWord) {
  struct Row {
    LONG word;
    ULONG direction;
    USHORT wire;
    const char* why;
  };
  const Row rows[] = {
      {0, kPlayback, 0xC900, "playback floor: -55 dB"},
      {110, kPlayback, 0x0000, "playback unity"},
      {111, kPlayback, 0x0080, "odd word adds half a dB: +0.5 dB"},
      {1, kPlayback, 0xC980, "-54.5 dB"},
      {80, kRecord, 0x0000, "record unity"},
      {104, kRecord, 0x0C00, "record top: +12 dB"},
      {0, kRecord, 0xD800, "record floor: -40 dB"},
  };
  for (const Row& r : rows)
    EXPECT_EQ(VolumeWireValue(r.word, r.direction), r.wire) << r.why << " (word " << r.word << ")";
}

}  // namespace
}  // namespace engine::testing
