// The settings record against the virtual TQM27: what an apply sends to the
// feature units, what the "Mixer" value holds afterwards, rate changes with
// and without streams, and the period and request-count bounds.
#include <climits>
#include <cstring>

#include "platform/kernel/registry.h"

#include "tests/driver/engine/engine_client.h"
#include "tests/driver/engine/engine_fixture.h"

namespace engine::testing {
namespace {

std::wstring DriverKey(Rig& rig) { return rig.machine_.DeviceKeyPath(rig.port_->pdo(), PLUGPLAY_REGKEY_DRIVER); }

void Store(Rig& rig, const void* data, size_t bytes) {
  rig.machine_.registry().CreateKey(DriverKey(rig));
  ASSERT_TRUE(rig.machine_.registry().SetValue(DriverKey(rig), L"Mixer", REG_DWORD, data, bytes));
}

std::optional<tqm::kernel::RegistryValue> StoredMixer(Rig& rig) {
  return rig.machine_.registry().GetValue(DriverKey(rig), L"Mixer");
}

bool Logged(Rig& rig, const std::string& text) {
  for (const auto& line : rig.machine_.DebugOutput())
    if (line.text == text) return true;
  return false;
}

tqm::MixerSettings Current(Rig& rig) {
  tqm::MixerSettings s;
  rig.engine_->GetSettings(&s);
  return s;
}

uint16_t Wire(int16_t v) { return uint16_t(v); }

ULONG Bit(uint32_t word) { return 1u << word; }

// Volume words reach the feature units by the half-dB law, saturating at the
// ends of what the 16-bit field can carry.
TEST(EngineSettings, VolumeLawAtTheFeatureUnits) {
  struct Row {
    int32_t play, record;
    uint16_t playWire, recordWire;
    const char* why;
  } rows[] = {
      {0, 104, 0xC900, 0x0C00, "bottom of playback, top of record"},
      {111, 80, 0x0080, 0x0000, "half a dB above unity; record unity"},
      {-1, -1, 0xC880, 0xD780, "a little below the bottom still follows the law"},
      {-400, INT_MIN, 0x8100, 0x8100, "far below: the quietest level, never a wrapped gain"},
      {1000, INT_MAX, 0x7F00, 0x7F00, "far above: the loudest level the field carries"},
  };
  Rig rig;
  ASSERT_EQ(rig.engine_->StartWithSettings(), STATUS_SUCCESS);
  for (const Row& r : rows) {
    tqm::MixerSettings s = Current(rig);
    s.playVolume[0] = s.playVolume[1] = r.play;
    s.recordVolume[0] = s.recordVolume[1] = r.record;
    s.force = 1;
    rig.engine_->ApplySettings(&s);
    const auto state = rig.device().State();
    for (int k = 0; k < 2; ++k) {
      EXPECT_EQ(Wire(state.playback.volume[k]), r.playWire)
          << r.why << ": playback word " << r.play << " sent 0x" << std::hex << Wire(state.playback.volume[k]);
      EXPECT_EQ(Wire(state.record.volume[k]), r.recordWire)
          << r.why << ": record word " << r.record << " sent 0x" << std::hex << Wire(state.record.volume[k]);
    }
    EXPECT_EQ(Current(rig).force, 0);
  }
}

// Out-of-range items are corrected, logged and stored corrected.
TEST(EngineSettings, CorrectedItemsAreLoggedAndStored) {
  Rig rig;
  ASSERT_EQ(rig.engine_->StartWithSettings(), STATUS_SUCCESS);
  tqm::MixerSettings s = Current(rig);
  s.requestCount = 12;
  s.rate = 22050;
  rig.engine_->ApplySettings(&s);
  EXPECT_TRUE(Logged(rig, "IRP worng 12\n"));
  EXPECT_TRUE(Logged(rig, "KHz worng 22050\n"));
  EXPECT_EQ(s.requestCount, 5);
  EXPECT_EQ(s.rate, 44100);
  EXPECT_EQ(rig.engine_->status()->requestCount, 5u);
  auto stored = StoredMixer(rig);
  ASSERT_TRUE(stored);
  EXPECT_EQ(stored->type, ULONG(REG_DWORD));
  ASSERT_EQ(stored->data.size(), tqm::kMixerSettingsSize);
  tqm::MixerSettings back;
  std::memcpy(&back, stored->data.data(), sizeof back);
  EXPECT_EQ(back.requestCount, 5);
  EXPECT_EQ(back.rate, 44100);
}

// Device start: the stored record is applied, then the hardware goes to
// 0 dB unmuted while the record keeps the stored levels; the record survives
// a stop and a start.
TEST(EngineSettings, StartSetsUnityAndKeepsStoredRecord) {
  Rig rig;
  ASSERT_EQ(rig.engine_->StartWithSettings(), STATUS_SUCCESS);
  tqm::MixerSettings s = Current(rig);
  s.playVolume[0] = 20;
  s.recordVolume[1] = 100;
  s.playMute = 1;
  s.rate = 48000;
  s.periodFrames = 48;  // set below through the period path
  rig.engine_->ApplySettings(&s);
  ASSERT_EQ(rig.engine_->SetPeriodSize(48, true), STATUS_SUCCESS);
  EXPECT_TRUE(rig.device().State().playback.mute);

  rig.engine_->StopDevice();
  ASSERT_EQ(rig.engine_->StartWithSettings(), STATUS_SUCCESS);
  const auto state = rig.device().State();
  for (int k = 0; k < 2; ++k) {
    EXPECT_EQ(state.playback.volume[k], 0) << "playback channel " << k + 1;
    EXPECT_EQ(state.record.volume[k], 0) << "record channel " << k + 1;
  }
  EXPECT_FALSE(state.playback.mute);
  EXPECT_FALSE(state.record.mute);
  const tqm::MixerSettings cur = Current(rig);
  EXPECT_EQ(cur.playVolume[0], 20);
  EXPECT_EQ(cur.recordVolume[1], 100);
  EXPECT_EQ(cur.playMute, 1);
  EXPECT_EQ(cur.rate, 48000);
  // A period of one packet at 48 kHz survives the restart.
  EXPECT_EQ(rig.engine_->status()->periodFrames, 48u);
  EXPECT_EQ(rig.engine_->status()->sampleRate, 48000u);
}

// A stored value longer than the record is ignored; a shorter one overlays
// only its own bytes.
TEST(EngineSettings, StoredValueLengths) {
  {
    Rig rig;
    std::vector<uint8_t> longer(tqm::kMixerSettingsSize + 4, 0);
    int32_t rate = 48000;
    std::memcpy(longer.data(), &rate, 4);
    Store(rig, longer.data(), longer.size());
    ASSERT_EQ(rig.engine_->StartWithSettings(), STATUS_SUCCESS);
    EXPECT_EQ(Current(rig).rate, 44100) << "a longer value is not a record";
    EXPECT_EQ(Current(rig).playVolume[0], tqm::kPlayVolumeUnity);
  }
  {
    Rig rig;
    const int32_t head[2] = {96000, 200};
    Store(rig, head, sizeof head);
    ASSERT_EQ(rig.engine_->StartWithSettings(), STATUS_SUCCESS);
    const tqm::MixerSettings cur = Current(rig);
    EXPECT_EQ(cur.rate, 96000);
    EXPECT_EQ(cur.periodFrames, 200);
    EXPECT_EQ(cur.requestCount, 2) << "the default behind the stored bytes";
    EXPECT_EQ(cur.recordVolume[0], tqm::kRecordVolumeUnity);
  }
}

// Periods hold one packet at the current rate and at most 288 frames.
TEST(EngineSettings, PeriodBounds) {
  struct Row {
    uint32_t rate, frames;
    NTSTATUS expected;
    const char* why;
  } rows[] = {
      {48000, 40, STATUS_INVALID_PARAMETER, "below one packet at 48 kHz"},
      {48000, 48, STATUS_SUCCESS, "exactly one packet"},
      {44100, 44, STATUS_INVALID_PARAMETER, "44 frames: a request without packets"},
      {44100, 45, STATUS_SUCCESS, "one 45-frame packet"},
      {44100, 289, STATUS_INVALID_PARAMETER, "a half holds 288 frames"},
      {48000, 289, STATUS_INVALID_PARAMETER, "a half holds 288 frames"},
      {96000, 289, STATUS_INVALID_PARAMETER, "a half holds 288 frames"},
      {96000, 95, STATUS_INVALID_PARAMETER, "below one packet at 96 kHz"},
      {96000, 288, STATUS_SUCCESS, "the longest period"},
  };
  for (const Row& r : rows) {
    Rig rig;
    ASSERT_EQ(rig.engine_->StartDevice(r.rate, 256, 2, 0), STATUS_SUCCESS);
    EXPECT_EQ(rig.engine_->SetPeriodSize(r.frames, false), r.expected) << r.why << " (" << r.rate << ", " << r.frames << ")";
    const uint32_t want = r.expected == STATUS_SUCCESS ? r.frames : 256;
    EXPECT_EQ(rig.engine_->status()->periodFrames, want) << r.why;
  }
  Rig rig;
  ASSERT_EQ(rig.engine_->StartDevice(48000, 256, 2, 0), STATUS_SUCCESS);
  ASSERT_EQ(rig.engine_->SetPeriodSize(64, false), STATUS_SUCCESS);
  EXPECT_EQ(rig.engine_->SetRate(96000, false), STATUS_INVALID_PARAMETER) << "64 frames hold no 96 kHz packet";
  EXPECT_EQ(rig.engine_->status()->sampleRate, 48000u);
}

// The request count stays within 2..9 whatever asks.
TEST(EngineSettings, RequestCountBounds) {
  Rig rig;
  ASSERT_EQ(rig.engine_->StartWithSettings(), STATUS_SUCCESS);
  for (uint32_t n : {0u, 1u, 10u, 0xFFFFFFFFu}) {
    EXPECT_EQ(rig.engine_->SetRequestCount(n), STATUS_INVALID_PARAMETER) << n;
    EXPECT_EQ(rig.engine_->status()->requestCount, 2u) << n;
  }
  EXPECT_EQ(rig.engine_->SetRequestCount(9), STATUS_SUCCESS);
  EXPECT_EQ(rig.engine_->status()->requestCount, 9u);
}

// Rate changes while streaming: the new rate reaches both endpoints, the
// interfaces follow the rule for the new rate, and the loopback plays on.
TEST(EngineSettings, RateChangeWhileStreaming) {
  Rig rig;
  rig.device().SelectLoopback(5 * 48);
  StartWith(rig, 48000, 96);
  CountingClient client(rig.engine_, 0, 0, 24);
  ASSERT_EQ(rig.engine_->SetRate(48000, true), STATUS_SUCCESS);
  OpenAll(rig.engine_, 0, 0);
  rig.Step(50);
  EXPECT_EQ(rig.engine_->playAlternate(), 3) << "16-bit playback at 48 kHz";
  rig.filter_->TakeEndpointRequests();
  ASSERT_EQ(rig.engine_->SetRate(44100, true), STATUS_SUCCESS);
  const std::vector<UCHAR> sent = rig.filter_->TakeEndpointRequests();
  EXPECT_EQ(sent, (std::vector<UCHAR>{kPlaybackEndpoint, kRecordEndpoint})) << "playback endpoint first, then record";
  EXPECT_TRUE(rig.engine_->Streaming());
  EXPECT_EQ(rig.engine_->playAlternate(), 2) << "the rule is evaluated for the new rate";
  EXPECT_EQ(rig.engine_->playWidth(), 3u);
  const auto state = rig.device().State();
  EXPECT_EQ(state.playbackRate, 44100u);
  EXPECT_EQ(state.recordRate, 44100u);
  EXPECT_EQ(state.alternate[kPlaybackInterface], 2);
  EXPECT_EQ(rig.engine_->status()->sampleRate, 44100u);
  EXPECT_EQ(Current(rig).rate, 44100);
  const uint32_t before = client.recordPeriods.load();
  rig.Step(100);
  EXPECT_GT(client.recordPeriods.load(), before + 20) << "record periods after the change";
  CloseAll(rig.engine_, 0, 0);
  EXPECT_EQ(rig.device().Counters().outSizeMismatches, 0u);
}

// A sampling frequency the device refuses leaves everything at the old rate,
// still streaming.
TEST(EngineSettings, RefusedRateKeepsOldRate) {
  Rig rig;
  StartWith(rig, 48000, 96);
  CountingClient client(rig.engine_, 0, 0, 24);
  OpenAll(rig.engine_, 0, 0);
  rig.Step(30);
  tqm::usb::DeviceFaults faults;
  faults.refuseSamplingFrequency = true;
  rig.device().SetFaults(faults);
  tqm::MixerSettings s = Current(rig);
  s.rate = 44100;
  rig.engine_->ApplySettings(&s);
  EXPECT_EQ(s.rate, 48000) << "the record reverts to the old rate";
  EXPECT_EQ(rig.engine_->SetRate(96000, false), STATUS_DEVICE_DATA_ERROR);
  EXPECT_EQ(rig.engine_->status()->sampleRate, 48000u);
  EXPECT_EQ(Current(rig).rate, 48000);
  EXPECT_TRUE(rig.engine_->Streaming());
  EXPECT_EQ(rig.device().State().recordRate, 48000u);
  const uint32_t before = client.recordPeriods.load();
  rig.Step(100);
  EXPECT_GT(client.recordPeriods.load(), before + 20);
  CloseAll(rig.engine_, 0, 0);
  EXPECT_EQ(rig.device().Counters().outSizeMismatches, 0u);
}

// ProposeRate keeps the current rate while anything streams or when the
// proposal is not a rate the device has.
TEST(EngineSettings, ProposeRate) {
  Rig rig;
  StartWith(rig, 48000, 96);
  EXPECT_EQ(rig.engine_->ProposeRate(0), 48000u);
  EXPECT_EQ(rig.engine_->ProposeRate(22050), 48000u);
  EXPECT_EQ(rig.engine_->ProposeRate(96000), 96000u);
  CountingClient client(rig.engine_, 0, 0, 24);
  OpenAll(rig.engine_, 0, 0);
  EXPECT_EQ(rig.engine_->ProposeRate(96000), 48000u);
  CloseAll(rig.engine_, 0, 0);
}

struct SlotCounter {
  std::atomic<uint32_t> slot0{0};
  static void Signal(void* context, ULONG slot) {
    if (slot == 0) static_cast<SlotCounter*>(context)->slot0++;
  }
};

// Two companion volume calls within 50 ms: one thread, one apply 50 ms after
// the first call, and both calls' changes reach the device — a lost volume
// change would leave the device at a level Windows does not show.
TEST(EngineApply, TwoCallsWithinFiftyMillisecondsBothApply) {
  Rig rig;
  SlotCounter slots;
  rig.engine_->SetNotifySink({SlotCounter::Signal, &slots});
  ASSERT_EQ(rig.engine_->StartWithSettings(), STATUS_SUCCESS);
  const uint32_t startSignals = slots.slot0.load();
  tqm::MixerSettings first = Current(rig);
  first.playVolume[0] = 50;
  rig.engine_->ScheduleApply(first, Bit(tqm::MixerWord::PlayVolumeLeft));
  rig.Step(20);
  tqm::MixerSettings second = Current(rig);
  second.recordVolume[0] = 60;
  rig.engine_->ScheduleApply(second, Bit(tqm::MixerWord::RecordVolumeLeft));
  EXPECT_EQ(slots.slot0.load(), startSignals + 1) << "one thread creation attempted";
  rig.Step(20);
  EXPECT_EQ(Current(rig).recordVolume[0], tqm::kRecordVolumeUnity) << "nothing applied before 50 ms";
  rig.Step(20);
  const tqm::MixerSettings cur = Current(rig);
  EXPECT_EQ(cur.recordVolume[0], 60);
  EXPECT_EQ(cur.playVolume[0], 50) << "the first call's change is kept";
  const auto state = rig.device().State();
  EXPECT_EQ(Wire(state.record.volume[0]), 0xF600) << "record word 60: -10 dB";
  EXPECT_EQ(Wire(state.playback.volume[0]), VolumeWireValue(50, kPlayback));
  // The apply stored the record, and a later call starts a new thread.
  auto stored = StoredMixer(rig);
  ASSERT_TRUE(stored);
  tqm::MixerSettings back;
  std::memcpy(&back, stored->data.data(), sizeof back);
  EXPECT_EQ(back.recordVolume[0], 60);
  EXPECT_EQ(back.playVolume[0], 50);
  second.recordVolume[0] = 70;
  rig.engine_->ScheduleApply(second, Bit(tqm::MixerWord::RecordVolumeLeft));
  EXPECT_EQ(slots.slot0.load(), startSignals + 2);
  rig.Step(60);
  EXPECT_EQ(Current(rig).recordVolume[0], 70);
  EXPECT_EQ(Current(rig).playVolume[0], 50);
}

// A volume call takes its words only: a rate, routing or request-count change
// made between the call and its apply 50 ms later survives the apply, and so
// does a call that sets a word back to its current value.
TEST(EngineApply, ChangesMadeBeforeTheApplySurvive) {
  struct Row {
    const char* name;
    void (*change)(tqm::MixerSettings*);
    bool (*kept)(const tqm::MixerSettings&);
  };
  const Row rows[] = {
      {"rate", [](tqm::MixerSettings* s) { s->rate = 96000; },
       [](const tqm::MixerSettings& s) { return s.rate == 96000; }},
      {"routing",
       [](tqm::MixerSettings* s) {
         s->patch.entry[tqm::RoutingEntryIndex(0, 1)].routed = 1;
         s->patch.entry[tqm::RoutingEntryIndex(0, 1)].targetPort = 2;
       },
       [](const tqm::MixerSettings& s) { return s.patch.entry[tqm::RoutingEntryIndex(0, 1)].targetPort == 2; }},
      {"request count", [](tqm::MixerSettings* s) { s->requestCount = 7; },
       [](const tqm::MixerSettings& s) { return s.requestCount == 7; }},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    Rig rig;
    ASSERT_EQ(rig.engine_->StartWithSettings(), STATUS_SUCCESS);
    tqm::MixerSettings volume = Current(rig);
    volume.playVolume[1] = 40;
    rig.engine_->ScheduleApply(volume, Bit(tqm::MixerWord::PlayVolumeRight));
    rig.Step(10);
    tqm::MixerSettings panel = Current(rig);
    r.change(&panel);
    rig.engine_->ApplySettings(&panel);
    EXPECT_TRUE(r.kept(Current(rig))) << "applied";
    rig.Step(60);
    const tqm::MixerSettings cur = Current(rig);
    EXPECT_TRUE(r.kept(cur)) << "survives the deferred apply";
    EXPECT_EQ(cur.playVolume[1], 40);
    tqm::MixerSettings back;
    auto stored = StoredMixer(rig);
    ASSERT_TRUE(stored);
    std::memcpy(&back, stored->data.data(), sizeof back);
    EXPECT_TRUE(r.kept(back)) << "stored";
  }
  // A call that puts a word back before the apply: the last call wins.
  Rig rig;
  ASSERT_EQ(rig.engine_->StartWithSettings(), STATUS_SUCCESS);
  tqm::MixerSettings s = Current(rig);
  s.recordMute = 1;
  rig.engine_->ScheduleApply(s, Bit(tqm::MixerWord::RecordMute));
  rig.Step(10);
  s.recordMute = 0;
  rig.engine_->ScheduleApply(s, Bit(tqm::MixerWord::RecordMute));
  rig.Step(60);
  EXPECT_EQ(Current(rig).recordMute, 0);
  EXPECT_FALSE(rig.device().State().record.mute);
}

// A thread that cannot be created is reported, signals slot 0 all the same,
// and leaves nothing pending: the next call creates one.
TEST(EngineApply, FailedThreadCreation) {
  Rig rig;
  SlotCounter slots;
  rig.engine_->SetNotifySink({SlotCounter::Signal, &slots});
  ASSERT_EQ(rig.engine_->StartWithSettings(), STATUS_SUCCESS);
  const uint32_t startSignals = slots.slot0.load();
  rig.machine_.FailEvery(tqm::kernel::FailurePoint::SystemThread);
  tqm::MixerSettings r = Current(rig);
  r.recordVolume[1] = 30;
  rig.engine_->ScheduleApply(r, Bit(tqm::MixerWord::RecordVolumeRight));
  EXPECT_TRUE(Logged(rig, "MyThreadStart ERROR PsCreateSystemThread \n"));
  EXPECT_EQ(slots.slot0.load(), startSignals + 1);
  rig.Step(60);
  EXPECT_EQ(Current(rig).recordVolume[1], tqm::kRecordVolumeUnity);
  rig.machine_.ClearFailures();
  rig.engine_->ScheduleApply(r, Bit(tqm::MixerWord::RecordVolumeRight));
  EXPECT_EQ(slots.slot0.load(), startSignals + 2);
  rig.Step(60);
  EXPECT_EQ(Current(rig).recordVolume[1], 30);
}

// A stop while an apply is pending waits for the apply to finish; the apply
// never runs against a stopped engine.
TEST(EngineApply, StopWaitsForPendingApply) {
  Rig rig;
  ASSERT_EQ(rig.engine_->StartWithSettings(), STATUS_SUCCESS);
  tqm::MixerSettings r = Current(rig);
  r.playVolume[1] = 90;
  rig.engine_->ScheduleApply(r, Bit(tqm::MixerWord::PlayVolumeRight));
  const uint64_t before = KeQueryInterruptTime();
  rig.engine_->StopDevice();
  const uint64_t waited = KeQueryInterruptTime() - before;
  EXPECT_GE(waited, 50 * 10000u) << "stop returned after " << waited / 10000 << " ms";
  EXPECT_EQ(Current(rig).playVolume[1], 90);
  EXPECT_EQ(Wire(rig.device().State().playback.volume[1]), VolumeWireValue(90, kPlayback));
}

}  // namespace
}  // namespace engine::testing

namespace engine::testing {
namespace {

// A rate set while no channel is open is confirmed by the next open. A device
// that refuses it and runs another rate leaves the engine at the device's
// rate: the open fails, and the status block, the record and the widths name
// the rate that really runs; the next open streams at it.
TEST(EngineSettings, IdleRateRefusedAtOpen) {
  Rig rig;
  StartWith(rig, 48000, 96);
  CountingClient client(rig.engine_, 0, 0, 24);
  OpenAll(rig.engine_, 0, 0);  // the device runs 48 kHz
  CloseAll(rig.engine_, 0, 0);
  tqm::usb::DeviceFaults faults;
  faults.refuseSamplingFrequency = true;
  rig.device().SetFaults(faults);
  ASSERT_EQ(rig.engine_->SetRate(96000, false), STATUS_SUCCESS) << "idle: confirmed at the next open";
  EXPECT_EQ(rig.engine_->OpenChannel(0, kPlayback, 0), STATUS_DEVICE_DATA_ERROR);
  EXPECT_FALSE(rig.engine_->Streaming());
  EXPECT_FALSE(rig.engine_->AnyChannelOpen());
  EXPECT_EQ(rig.engine_->status()->sampleRate, 48000u);
  EXPECT_EQ(rig.engine_->rate(), 48000u);
  EXPECT_EQ(Current(rig).rate, 48000);
  EXPECT_EQ(rig.engine_->recordWidth(), 3u) << "the widths follow the rate that runs";
  EXPECT_EQ(rig.device().State().alternate[kRecordInterface], 0) << "the failed open left the interfaces idle";
  // The device still refuses every rate request, but runs 48 kHz: the engine
  // streams at it.
  const uint32_t before = client.recordPeriods.load();
  OpenAll(rig.engine_, 0, 0);
  rig.Step(100);
  EXPECT_NEAR(double(client.recordPeriods.load() - before), 100 * 48.0 / 96, 3.0);
  CloseAll(rig.engine_, 0, 0);
  EXPECT_EQ(rig.device().Counters().outSizeMismatches, 0u);
}

// The stream client's start with no channel open applies the settings but
// starts nothing; the first open starts the streams, the last close stops
// them, and the next open starts them again.
TEST(EngineSettings, StartStopWithoutChannelsStartsNothing) {
  Rig rig;
  StartWith(rig, 48000, 96);
  CountingClient client(rig.engine_, 0, 0, 24);
  EXPECT_EQ(rig.engine_->StartStop(true), STATUS_SUCCESS);
  EXPECT_FALSE(rig.engine_->Streaming());
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    const uint32_t before = client.recordPeriods.load();
    OpenAll(rig.engine_, 0, 0);
    EXPECT_TRUE(rig.engine_->Streaming());
    rig.Step(20);
    EXPECT_GE(client.recordPeriods.load(), before + 5);
    CloseAll(rig.engine_, 0, 0);
    EXPECT_FALSE(rig.engine_->Streaming());
    EXPECT_EQ(rig.device().State().alternate[kPlaybackInterface], 0);
  }
  // A stop and a start while a channel is open: the streams resume.
  OpenAll(rig.engine_, 0, 0);
  rig.engine_->StartStop(false);
  EXPECT_FALSE(rig.engine_->Streaming());
  EXPECT_EQ(rig.engine_->StartStop(true), STATUS_SUCCESS);
  EXPECT_TRUE(rig.engine_->Streaming());
  const uint32_t before = client.recordPeriods.load();
  rig.Step(20);
  EXPECT_GE(client.recordPeriods.load(), before + 5);
  CloseAll(rig.engine_, 0, 0);
  EXPECT_EQ(rig.device().Counters().outSizeMismatches, 0u);
}

}  // namespace
}  // namespace engine::testing

namespace engine::testing {
namespace {

// The adapter's teardown: an apply scheduled before it finishes first (its
// volume reaches the device), one scheduled after it is not taken.
TEST(EngineApply, TeardownWaitsForTheApplyAndRefusesNewOnes) {
  Rig rig;
  SlotCounter slots;
  rig.engine_->SetNotifySink({SlotCounter::Signal, &slots});
  ASSERT_EQ(rig.engine_->StartWithSettings(), STATUS_SUCCESS);
  tqm::MixerSettings r = Current(rig);
  r.playVolume[0] = 70;
  rig.engine_->ScheduleApply(r, Bit(tqm::MixerWord::PlayVolumeLeft));
  rig.engine_->StopForTeardown();
  EXPECT_EQ(Current(rig).playVolume[0], 70);
  EXPECT_EQ(Wire(rig.device().State().playback.volume[0]), VolumeWireValue(70, kPlayback));
  const uint32_t signals = slots.slot0.load();
  r.playVolume[0] = 20;
  rig.engine_->ScheduleApply(r, Bit(tqm::MixerWord::PlayVolumeLeft));
  rig.Step(60);
  EXPECT_EQ(Current(rig).playVolume[0], 70) << "no apply after the teardown began";
  EXPECT_EQ(slots.slot0.load(), signals) << "no thread was created";
}

}  // namespace
}  // namespace engine::testing
