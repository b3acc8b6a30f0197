// The companion stand-in as the simulated machine loads it: the Plug and Play
// manager starts TQMDRV for the virtual TQM27 on a hub, TQMDRV reports its
// child, and the manager loads the companion on the child. Everything the
// companion does goes through the real child's interface query and call-in.
#include <gtest/gtest.h>

#include <algorithm>

#include "companion/companion.h"
#include "tests/driver/core/driver_fixture.h"
#include "tests/driver/engine/engine_client.h"

namespace tqm::companion {
namespace {

using tqmdrv::testing::Client;
using tqmdrv::testing::DriverTest;
using tqmdrv::testing::NodeState;
using tqmdrv::testing::Slot;
using namespace tqm;
namespace Field = tqm::Field;

constexpr wchar_t kCompanionServicePath[] =
    L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\TqmCompanion";

class CompanionPnpTest : public DriverTest {
 protected:
  CompanionPnpTest() { RegisterDriver(machine_); }
  void SetUp() override {
    ASSERT_NE(Plug(), nullptr);
    const auto children = machine_.ChildDevices(Pdo());
    ASSERT_EQ(children.size(), 1u);
    child_ = children[0];
    companion_ = FindCompanion(child_);
    ASSERT_NE(companion_, nullptr) << "the companion was loaded on the child";
  }
  FdoExtension* Parent() const { return static_cast<FdoExtension*>(Pdo()->AttachedDevice->DeviceExtension); }
  tqm::usb::Tqm27Device& Device() { return port_->device(); }

  // The ASIO client's usual set-up: a shared buffer, eight halves, both
  // channels both ways; returns the buffer (halves by direction, channel, half).
  int32_t* StartAsio(Client& asio, ULONG period) {
    int32_t* shared = asio.AllocShared(period * 32);
    if (!shared) return nullptr;
    for (ULONG d = 0; d < 2; ++d)
      for (ULONG c = 0; c < 2; ++c)
        for (ULONG h = 0; h < 2; ++h)
          if (asio.RegisterHalf(d, c, h, shared + ((d * 2 + c) * 2 + h) * period) != STATUS_SUCCESS) return nullptr;
    if (asio.Activate(3, 3, true) != STATUS_SUCCESS) return nullptr;
    return shared;
  }
  ULONG Period() {
    ULONG block[8] = {};
    EXPECT_EQ(companion_->Call(kCompanionGetPeriodSize, block), STATUS_SUCCESS);
    return block[0];
  }

  PDEVICE_OBJECT child_ = nullptr;
  Companion* companion_ = nullptr;
};

// The full start: TQMDRV's interface enabled, the child started with the
// companion on it, holding the one reference its query took; the interface
// it holds is the 64-bit record, version 1, instance 1.
TEST_F(CompanionPnpTest, LoadsOnTheChildAndHoldsTheInterface) {
  EXPECT_EQ(State(), NodeState::Started);
  EXPECT_TRUE(InterfaceEnabled());
  EXPECT_EQ(machine_.DeviceNodeState(child_), NodeState::Started);
  EXPECT_NE(machine_.FindDriverByServicePath(kCompanionServicePath), nullptr);
  EXPECT_TRUE(companion_->Attached());
  EXPECT_EQ(Parent()->interfaceReferences, 1);
  const TqmCompanionInterface& itf = companion_->Interface();
  EXPECT_EQ(itf.Size, sizeof(TqmCompanionInterface));
  EXPECT_EQ(itf.Version, 1);
  EXPECT_EQ(itf.Instance, 1u);
  EXPECT_EQ(itf.Context, Parent());
  EXPECT_NE(itf.Adapter, nullptr);
  EXPECT_EQ(Companions(), std::vector<Companion*>{companion_});
}

// A companion that keeps its interface through the queries: the parent
// refuses query-remove and query-stop (the child, asked first, agrees and is
// told of the cancel), and everything stays started with the reference still
// held.
TEST_F(CompanionPnpTest, HeldInterfaceRefusesQueryRemoveAndQueryStop) {
  companion_->SetKeepsInterface(true);
  EXPECT_FALSE(NT_SUCCESS(machine_.QueryRemoveDevice(Pdo(), true)));
  EXPECT_FALSE(NT_SUCCESS(machine_.QueryStopDevice(Pdo())));
  EXPECT_FALSE(NT_SUCCESS(machine_.RebalanceDevice(Pdo())));
  EXPECT_EQ(State(), NodeState::Started);
  EXPECT_EQ(machine_.DeviceNodeState(child_), NodeState::Started);
  EXPECT_TRUE(companion_->Attached());
  EXPECT_EQ(Parent()->interfaceReferences, 1);
  EXPECT_EQ(companion_->LetGoCount(), 0u);
  EXPECT_EQ(companion_->Play(Source::Tone(1000, -12)), STATUS_SUCCESS) << "and it still streams";
  companion_->StopPlay();
}

// An idle companion gives its interface back at query-remove and query-stop,
// so the parent agrees; the cancel takes the interface again and the
// companion streams as before.
TEST_F(CompanionPnpTest, IdleCompanionLetsGoAtTheQueryAndTakesTheInterfaceBackAtTheCancel) {
  HoldClock();
  auto queryRemove = [](tqm::kernel::Machine& m, PDEVICE_OBJECT pdo) { return m.QueryRemoveDevice(pdo, true); };
  const struct {
    const char* name;
    bool remove;
    NodeState pending;
  } rows[] = {{"query-remove", true, NodeState::RemovePending}, {"query-stop", false, NodeState::StopPending}};
  uint64_t round = 0;
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    ++round;
    const NTSTATUS query = row.remove ? queryRemove(machine_, Pdo()) : machine_.QueryStopDevice(Pdo());
    ASSERT_EQ(query, STATUS_SUCCESS);
    EXPECT_EQ(State(), row.pending);
    EXPECT_EQ(machine_.DeviceNodeState(child_), row.pending);
    EXPECT_FALSE(companion_->Attached());
    EXPECT_EQ(Parent()->interfaceReferences, 0) << "the reference was given back";
    EXPECT_EQ(companion_->LetGoCount(), round);
    EXPECT_EQ(companion_->Play(Source::Tone(440, -12)), STATUS_DEVICE_NOT_CONNECTED) << "nothing to play through";
    ASSERT_EQ(row.remove ? machine_.CancelRemoveDevice(Pdo()) : machine_.CancelStopDevice(Pdo()), STATUS_SUCCESS);
    EXPECT_EQ(State(), NodeState::Started);
    EXPECT_EQ(machine_.DeviceNodeState(child_), NodeState::Started);
    EXPECT_TRUE(companion_->Attached());
    EXPECT_EQ(Parent()->interfaceReferences, 1);
    EXPECT_EQ(companion_->TakeBackCount(), round);
    ASSERT_EQ(companion_->Play(Source::Tone(440, -12)), STATUS_SUCCESS);
    Step(30);
    // The count starts again with each stream.
    EXPECT_GT(companion_->PlayPeriods(), 0u) << "it streams again";
    companion_->StopPlay();
  }
}

// With the companion loaded and idle, a rebalance stops and starts the whole
// tree (the companion attaches again at its START), and a safe removal takes
// it down with nothing of its pool left.
TEST_F(CompanionPnpTest, IdleCompanionAllowsRebalanceAndSafeRemoval) {
  HoldClock();
  ASSERT_EQ(machine_.RebalanceDevice(Pdo()), STATUS_SUCCESS);
  EXPECT_EQ(State(), NodeState::Started);
  const auto children = machine_.ChildDevices(Pdo());
  ASSERT_EQ(children.size(), 1u);
  Companion* companion = FindCompanion(children[0]);
  ASSERT_NE(companion, nullptr);
  EXPECT_TRUE(companion->Attached());
  EXPECT_EQ(Parent()->interfaceReferences, 1);
  ASSERT_EQ(companion->Play(Source::Tone(440, -12)), STATUS_SUCCESS);
  Step(30);
  EXPECT_GT(companion->PlayPeriods(), 0u);
  companion->StopPlay();

  ASSERT_EQ(machine_.RequestRemoval(Pdo(), true), STATUS_SUCCESS);
  EXPECT_EQ(State(), NodeState::Removed);
  EXPECT_TRUE(Companions().empty());
  EXPECT_EQ(machine_.FindDriverByServicePath(kCompanionServicePath), nullptr) << "unloaded with its last device";
}

// While the companion streams through the interface it refuses the query
// itself (the device is busy): safe removal, query-stop and rebalance fail,
// the tree stays started and the stream goes on.
TEST_F(CompanionPnpTest, StreamingCompanionRefusesRemovalAndRebalance) {
  HoldClock();
  const struct {
    const char* name;
    bool play, record;
  } streams[] = {{"render", true, false}, {"capture", false, true}, {"both", true, true}};
  for (const auto& stream : streams) {
    SCOPED_TRACE(stream.name);
    if (stream.play) ASSERT_EQ(companion_->Play(Source::Tone(440, -12)), STATUS_SUCCESS);
    if (stream.record) ASSERT_EQ(companion_->StartRecord(), STATUS_SUCCESS);
    Step(10);
    EXPECT_EQ(machine_.RequestRemoval(Pdo(), true), STATUS_DEVICE_BUSY);
    EXPECT_EQ(machine_.QueryStopDevice(Pdo()), STATUS_DEVICE_BUSY);
    EXPECT_EQ(machine_.RebalanceDevice(Pdo()), STATUS_DEVICE_BUSY);
    EXPECT_EQ(State(), NodeState::Started);
    EXPECT_EQ(machine_.DeviceNodeState(child_), NodeState::Started);
    EXPECT_TRUE(companion_->Attached());
    EXPECT_EQ(Parent()->interfaceReferences, 1);
    EXPECT_EQ(companion_->LetGoCount(), 0u);
    const uint64_t play = companion_->PlayPeriods(), record = companion_->RecordPeriods();
    Step(30);
    if (stream.play) EXPECT_GT(companion_->PlayPeriods(), play) << "the render stream goes on";
    if (stream.record) EXPECT_GT(companion_->RecordPeriods(), record) << "the capture stream goes on";
    companion_->StopPlay();
    companion_->StopRecord();
  }
  // Idle again: the removal goes through.
  EXPECT_EQ(machine_.RequestRemoval(Pdo(), true), STATUS_SUCCESS);
}

// Unplugged while playing: the companion hears of it before TQMDRV (children
// first), closes its channels through the adapter that is still there, gives
// its reference back at REMOVE and unloads with nothing left in its pool.
TEST_F(CompanionPnpTest, UnplugWhilePlayingTakesTheChildDownFirst) {
  ASSERT_EQ(companion_->Play(Source::Tone(440, -6)), STATUS_SUCCESS);
  ASSERT_EQ(companion_->StartRecord(), STATUS_SUCCESS);
  HoldClock();
  Step(30);
  EXPECT_GT(companion_->PlayPeriods(), 0u);
  // A call into an adapter already gone, or pool left at unload, fails the
  // test through the sanitizers and the verifier.
  machine_.clock().RunFree(true);
  hub_->Unplug();
  EXPECT_EQ(FindCompanion(child_), nullptr) << "removed with the child";
  EXPECT_TRUE(Companions().empty());
  EXPECT_EQ(machine_.FindDriverByServicePath(kCompanionServicePath), nullptr) << "unloaded with its last device";
}

std::shared_ptr<const audio::WavData> CountingWav(uint32_t rate, uint32_t frames) {
  auto wav = std::make_shared<audio::WavData>();
  wav->format = {rate, 2, 24};
  for (uint32_t i = 0; i < frames; ++i)
    for (uint32_t c = 0; c < 2; ++c) wav->samples.push_back(engine::testing::CountingSample(i + 1, c, 24));
  return wav;
}

// What the companion plays on port 0 comes back through the device's
// loopback into its capture on port 1, sample for sample.
TEST_F(CompanionPnpTest, PlaybackComesBackThroughTheDeviceLoopback) {
  HoldClock();
  Device().SelectLoopback(5 * 48);
  companion_->SetStreamFormat(48000, false);
  ASSERT_EQ(companion_->Play(Source::Wav(CountingWav(48000, 48000), false)), STATUS_SUCCESS);
  ASSERT_EQ(companion_->StartRecord(), STATUS_SUCCESS);
  EXPECT_EQ(Device().State().playbackRate, 48000u) << "the format call set the rate";
  Step(200);
  companion_->StopRecord();
  companion_->StopPlay();
  const std::vector<int32_t> recorded = companion_->TakeRecorded();
  for (uint32_t c = 0; c < 2; ++c) {
    std::vector<int32_t> channel;
    for (size_t i = c; i < recorded.size(); i += 2) channel.push_back(recorded[i]);
    EXPECT_GE(engine::testing::ExpectCounting(channel, c, 24, "through the child"), 5000u);
  }
}

// Endpoint changes travel as SetWDMVolume through the child's call-in; the
// feature units follow 50 ms later; levels outside the hardware's range are
// stored as they are and logged with the system's own lines.
TEST_F(CompanionPnpTest, EndpointVolumeReachesTheDeviceFiftyMillisecondsLater) {
  HoldClock();
  struct Row {
    Flow flow;
    double left, right;
    uint16_t wire0, wire1;
    const char* line;
    const char* why;
  } rows[] = {
      {Flow::Render, -6.0, -6.0, 0xFA00, 0xFA00, nullptr, "-6 dB both channels"},
      {Flow::Render, -60.0, -55.0, 0xC400, 0xC900,
       "SetWDMVolume Volume OUT (Dev[0], Id[0], LM[-3932160] - vL[-10], RM[-3604480] - vR[0]) \n",
       "below -55 dB: a negative word, logged"},
      {Flow::Capture, 12.0, 0.0, 0x0C00, 0x0000, nullptr, "+12 dB: the record top"},
      {Flow::Capture, 12.0, -40.0, 0x0C00, 0xD800, nullptr, "-40 dB: the record bottom"},
  };
  for (const Row& r : rows) {
    machine_.ClearDebugOutput();
    ASSERT_TRUE(companion_->SetVolume(r.flow, r.left, r.right)) << r.why;
    Step(45);
    auto state = Device().State();
    const auto& before = r.flow == Flow::Render ? state.playback : state.record;
    EXPECT_FALSE(uint16_t(before.volume[0]) == r.wire0 && uint16_t(before.volume[1]) == r.wire1)
        << r.why << ": not before 50 ms";
    // Each channel's request then takes a few frames.
    Step(15);
    state = Device().State();
    const auto& unit = r.flow == Flow::Render ? state.playback : state.record;
    EXPECT_EQ(uint16_t(unit.volume[0]), r.wire0) << r.why << std::hex << ": 0x" << uint16_t(unit.volume[0]);
    EXPECT_EQ(uint16_t(unit.volume[1]), r.wire1) << r.why << std::hex << ": 0x" << uint16_t(unit.volume[1]);
    const auto lines = DebugLines();
    const size_t volumeLines = size_t(std::count_if(lines.begin(), lines.end(), [](const std::string& l) {
      return l.rfind("SetWDMVolume", 0) == 0;
    }));
    EXPECT_EQ(volumeLines, r.line ? 1u : 0u) << r.why;
    if (r.line) {
      EXPECT_EQ(CountLine(r.line), 1u) << r.why << ": expected " << r.line;
    }
  }
  ASSERT_TRUE(companion_->SetMute(Flow::Render, true));
  Step(55);
  EXPECT_TRUE(Device().State().playback.mute);
  tqm::MixerSettings settings;
  Client& panel = Open("panel");
  auto* block = static_cast<tqm::MixerSettings*>(panel.process().Allocate(sizeof settings));
  ASSERT_EQ(panel.Command(tqm::CMD_CLASS_CONTROL, tqm::ControlOp::GetSettings,
                          {tqmdrv::testing::Slot(tqm::Field::SettingsAddress, block)})
                .status,
            STATUS_SUCCESS);
  EXPECT_EQ(block->playVolume[0], -10) << "the panel reads the stored words";
  EXPECT_EQ(block->playMute, 1);
  EXPECT_EQ(block->recordVolume[1], 0);
}

// The companion and the ASIO client play at the same time: the device hears
// both mixed. Then the companion's stop-all stops the streams although the
// ASIO client's channels are still open.
TEST_F(CompanionPnpTest, MixedWithTheAsioClientThenStopAll) {
  HoldClock();
  Client& asio = Open("asio");
  const ULONG period = Period();
  int32_t* shared = StartAsio(asio, period);
  ASSERT_NE(shared, nullptr);
  // The ASIO client's playback halves hold a constant level; so does the
  // companion's source.
  constexpr int32_t kAsioLevel = 0x01000000, kCompanionLevel = 0x10000000;
  for (ULONG c = 0; c < 2; ++c)
    for (ULONG h = 0; h < 2; ++h) std::fill_n(shared + ((0 * 2 + c) * 2 + h) * period, period, kAsioLevel);
  auto wav = std::make_shared<audio::WavData>();
  wav->format = {48000, 2, 24};
  wav->samples.assign(2 * 48000, kCompanionLevel);
  Device().CaptureDacToBuffer();
  ASSERT_EQ(companion_->Play(Source::Wav(wav, false)), STATUS_SUCCESS);
  Step(100);
  const std::vector<int32_t> dac = Device().TakeDacCapture();
  const size_t mixed = size_t(std::count(dac.begin(), dac.end(), kAsioLevel + kCompanionLevel));
  const size_t companionOnly = size_t(std::count(dac.begin(), dac.end(), kCompanionLevel));
  EXPECT_GT(mixed, dac.size() * 3 / 4) << "of " << dac.size() << " samples at the DAC, " << companionOnly
                                   << " carried the companion alone";

  const uint64_t before = Device().Counters().inPackets;
  ULONG stop[8] = {kCompanionStopAll, 99, 0, 1000};  // selector and count are ignored
  ASSERT_EQ(companion_->Call(kCompanionCloseChannels, stop), STATUS_SUCCESS);
  const uint64_t stopped = Device().Counters().inPackets;
  Step(50);
  EXPECT_EQ(Device().Counters().inPackets, stopped) << "no transfer after the stop (" << before << " before)";
  companion_->StopPlay();
  EXPECT_EQ(asio.Activate(3, 3, false), STATUS_SUCCESS);
}

// InnerROUTE from the panel's settings: the companion's playback (port 0) is
// routed into the ASIO client's record (port 2) and arrives there unchanged,
// while the device input no longer reaches those channels.
TEST_F(CompanionPnpTest, InnerRouteTakesTheCompanionsPlaybackIntoTheAsioRecord) {
  HoldClock();
  Client& panel = Open("panel");
  Client& asio = Open("asio");
  const ULONG period = Period();
  auto* settings = static_cast<MixerSettings*>(panel.process().Allocate(sizeof(MixerSettings)));
  ASSERT_EQ(panel.Command(CMD_CLASS_CONTROL, ControlOp::GetSettings, {Slot(Field::SettingsAddress, settings)}).status,
            STATUS_SUCCESS);
  for (int32_t c = 0; c < 2; ++c) {
    settings->patch.entry[RoutingEntryIndex(0, c)] = {1, 0, 2, 1, c, 0, 0};  // port 0 ch c -> port 2 ch c
    settings->patch.entry[RoutingEntryIndex(2, c)] = {0, 1, 0, 0, 0, 0, 0};  // port 2 ch c reads its ring
  }
  ASSERT_EQ(panel.Command(CMD_CLASS_CONTROL, ControlOp::ApplySettings, {Slot(Field::SettingsAddress, settings)})
                .status,
            STATUS_SUCCESS);
  // The device input is silence; the companion plays a constant level.
  Device().SelectSilence();
  constexpr int32_t kCompanionLevel = 0x12345600;
  auto wav = std::make_shared<audio::WavData>();
  wav->format = {48000, 2, 24};
  wav->samples.assign(2 * 48000, kCompanionLevel);
  int32_t* shared = StartAsio(asio, period);
  ASSERT_NE(shared, nullptr);
  ASSERT_EQ(companion_->Play(Source::Wav(wav, false)), STATUS_SUCCESS);
  Step(100);
  for (ULONG c = 0; c < 2; ++c) {
    for (ULONG h = 0; h < 2; ++h) {
      const int32_t* half = shared + ((1 * 2 + c) * 2 + h) * period;
      const size_t routed = size_t(std::count(half, half + period, kCompanionLevel));
      EXPECT_EQ(routed, size_t(period)) << "record channel " << c << " half " << h;
    }
  }
  companion_->StopPlay();
  EXPECT_EQ(asio.Activate(3, 3, false), STATUS_SUCCESS);
}

// Plugging, streaming and unplugging again and again leaves nothing behind:
// the companion's pool is checked when its driver unloads with the device.
TEST_F(CompanionPnpTest, PlugStreamUnplugCycles) {
  for (int cycle = 0; cycle < 100; ++cycle) {
    if (cycle > 0) {
      ASSERT_NE(Plug(), nullptr) << "cycle " << cycle;
      const auto children = machine_.ChildDevices(Pdo());
      ASSERT_EQ(children.size(), 1u) << "cycle " << cycle;
      companion_ = FindCompanion(children[0]);
      ASSERT_NE(companion_, nullptr) << "cycle " << cycle;
    }
    ASSERT_EQ(companion_->Play(Source::Tone(1000, -20)), STATUS_SUCCESS) << "cycle " << cycle;
    ASSERT_EQ(companion_->StartRecord(), STATUS_SUCCESS) << "cycle " << cycle;
    HoldClock();
    Step(10 + cycle % 7);
    EXPECT_GT(companion_->RecordPeriods() + companion_->PlayPeriods(), 0u) << "cycle " << cycle;
    machine_.clock().RunFree(true);
    hub_->Unplug();
    ASSERT_TRUE(Companions().empty()) << "cycle " << cycle;
    if (HasFailure()) return;
  }
}

}  // namespace
}  // namespace tqm::companion
