// The engine's USB conversation with the virtual TQM27: reading the device,
// the configuration and alternate settings, the class requests as the device
// receives them, and the isochronous URBs as the stack receives them.
#include "tests/driver/engine/engine_client.h"
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

// Descriptor sets a firmware revision or a relative of the device may present:
// the engine must start on each and stream the counting signal bit-exact.
using DescriptorList = std::vector<std::vector<UCHAR>>;

DescriptorList SplitConfiguration() {
  const auto image = tqm::usb::ConfigurationDescriptor();
  DescriptorList out;
  for (size_t at = 0; at + 1 < image.size() && image[at] >= 2; at += image[at])
    out.emplace_back(image.begin() + at, image.begin() + at + image[at]);
  return out;
}

std::vector<UCHAR> JoinConfiguration(const DescriptorList& list) {
  std::vector<UCHAR> bytes;
  for (const auto& d : list) bytes.insert(bytes.end(), d.begin(), d.end());
  bytes[2] = UCHAR(bytes.size());
  bytes[3] = UCHAR(bytes.size() >> 8);
  return bytes;
}

bool IsInterface(const std::vector<UCHAR>& d, int number = -1) {
  return d[1] == USB_INTERFACE_DESCRIPTOR_TYPE && (number < 0 || d[2] == number);
}

// The descriptors of interface `number`, from its first setting to the next
// interface: [first, end).
std::pair<size_t, size_t> InterfaceBlock(const DescriptorList& list, UCHAR number) {
  size_t first = 0;
  while (first < list.size() && !IsInterface(list[first], number)) ++first;
  size_t end = first;
  while (end < list.size() && (end == first || !IsInterface(list[end]) || list[end][2] == number)) ++end;
  return {first, end};
}

std::vector<UCHAR> RenumberedEntities() {
  DescriptorList list = SplitConfiguration();
  int interface = -1;
  for (auto& d : list) {
    if (IsInterface(d)) interface = d[2];
    if (d[1] != 0x24) continue;
    if (interface == 1) {
      if (d[2] == 0x02) d[3] += 0x20;                // input terminal id
      if (d[2] == 0x03) d[3] += 0x20, d[7] += 0x20;  // output terminal id, its source
      if (d[2] == 0x06) d[3] += 0x20, d[4] += 0x20;  // feature unit id, its source
    } else if (d[2] == 0x01) {
      d[3] += 0x20;  // the streaming interface's terminal link
    }
  }
  return JoinConfiguration(list);
}

std::vector<UCHAR> ReorderedInterfacesAndEndpoints() {
  DescriptorList list = SplitConfiguration();
  // The HID interface's endpoints the other way round.
  const auto hid = InterfaceBlock(list, 0);
  std::vector<size_t> endpoints;
  for (size_t i = hid.first; i < hid.second; ++i)
    if (list[i][1] == USB_ENDPOINT_DESCRIPTOR_TYPE) endpoints.push_back(i);
  std::swap(list[endpoints.at(0)], list[endpoints.at(1)]);
  // Playback's interface before record's.
  const auto record = InterfaceBlock(list, 2), playback = InterfaceBlock(list, 3);
  DescriptorList reordered(list.begin(), list.begin() + record.first);
  reordered.insert(reordered.end(), list.begin() + playback.first, list.begin() + playback.second);
  reordered.insert(reordered.end(), list.begin() + record.first, list.begin() + record.second);
  reordered.insert(reordered.end(), list.begin() + playback.second, list.end());
  return JoinConfiguration(reordered);
}

std::vector<UCHAR> ExtraMonoAlternates() {
  DescriptorList list = SplitConfiguration();
  // A mono 16-bit setting after the ones the engine selects, on both
  // streaming interfaces (the device never gets asked for them).
  auto mono = [](UCHAR interface, UCHAR setting, UCHAR endpoint, UCHAR attributes, UCHAR terminal) {
    return DescriptorList{
        {9, USB_INTERFACE_DESCRIPTOR_TYPE, interface, setting, 1, 0x01, 0x02, 0x00, 0},
        {7, 0x24, 0x01, terminal, 1, 0x01, 0x00},
        {17, 0x24, 0x02, 1, 1, 2, 16, 3, 0x44, 0xAC, 0x00, 0x80, 0xBB, 0x00, 0x00, 0x77, 0x01},
        {9, USB_ENDPOINT_DESCRIPTOR_TYPE, endpoint, attributes, 200, 0, 1, 0, 0},
        {7, 0x25, 0x01, 0x01, 0, 0, 0},
    };
  };
  const auto playback = InterfaceBlock(list, 3);
  const DescriptorList play = mono(3, 4, 0x03, 0x09, 0x01);
  list.insert(list.begin() + playback.second, play.begin(), play.end());
  const auto record = InterfaceBlock(list, 2);
  const DescriptorList rec = mono(2, 3, 0x82, 0x05, 0x06);
  list.insert(list.begin() + record.second, rec.begin(), rec.end());
  return JoinConfiguration(list);
}

TEST(EngineStart, OtherDescriptorSetsStartAndStreamBitExact) {
  struct Row {
    const char* why;
    std::vector<UCHAR> config;
  };
  const Row rows[] = {
      {"other terminal and unit ids", RenumberedEntities()},
      {"interfaces and endpoints in another order", ReorderedInterfacesAndEndpoints()},
      {"extra mono settings after the stereo ones", ExtraMonoAlternates()},
  };
  for (const Row& row : rows) {
    for (const uint32_t rate : {48000u, 96000u}) {
      const std::string label = std::string(row.why) + ", " + std::to_string(rate) + " Hz";
      const uint32_t bits = rate == 96000 ? 16 : 24;
      Rig rig;
      rig.filter_->AnswerConfiguration(row.config);
      rig.device().SelectLoopback(5 * rate / 1000);
      ASSERT_EQ(rig.engine_->StartDevice(rate, 96, 2, 0), STATUS_SUCCESS) << label;
      EXPECT_EQ(rig.engine_->playChannels(), 2u) << label;
      EXPECT_EQ(rig.engine_->recordChannels(), 2u) << label;
      CountingClient client(rig.engine_, 0, 0, bits);
      OpenAll(rig.engine_, 0, 0);
      rig.Step(60);
      client.frozen = true;
      CloseAll(rig.engine_, 0, 0);
      size_t checked = 0;
      for (uint32_t c = 0; c < 2; ++c) checked = ExpectCounting(client.recorded[c], c, bits, label);
      EXPECT_GE(checked, 20u * 96) << label;
      EXPECT_EQ(rig.device().Counters().outSizeMismatches, 0u) << label;
    }
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
