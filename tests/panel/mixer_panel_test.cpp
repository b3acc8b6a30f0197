// MixerPanel against the driver on the simulated machine, under Wine: open
// and load, the factory default, the reconcile and what it sends, the poll of
// the status block, the latency, the mute and fader paths with and without an
// endpoint, and the clamping of everything that comes from outside.
#include "panel/mixer_panel.h"
#include "panel/driver_listener.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "level_scale.h"
#include "panel_bench.h"
#include "platform/bridge/tqmsim/control.h"
#include "tqm/command_record.h"
#include "tqm/status_block.h"

namespace tqm::panel::testing {
namespace {

class Mixer : public PanelBench {
 protected:
  void TearDown() override {
    mixer_.reset();
    PanelBench::TearDown();
  }

  MixerPanel& Make(std::unique_ptr<EndpointTable> endpoints = nullptr) {
    mixer_ = std::make_unique<MixerPanel>(main_, instance_, defaults_, std::move(endpoints));
    return *mixer_;
  }
  MixerPanel& MakeScripted() {
    return Make(std::make_unique<ScriptedEndpoints>(&script_, &calls_));
  }
  StatusBlockView Block() {
    return StatusBlockView(reinterpret_cast<void*>(address_), kNativeWide);
  }
  // A status block mapping of the test's own.
  void MapOwn() {
    uint64_t token = 0;
    ASSERT_NE(driver_.MapStatusBlock(1, token, address_), 0u);
  }
  int Calls(const std::string& what) const {
    int n = 0;
    for (const auto& c : calls_) n += c.what == what;
    return n;
  }
  // Shown, whatever the bench window itself is.
  static bool Visible(HWND control) {
    return control && (GetWindowLongW(control, GWL_STYLE) & WS_VISIBLE) != 0;
  }

  int32_t defaults_ = 0;
  std::unique_ptr<MixerPanel> mixer_;
  ScriptedEndpoints::Script script_;
  std::vector<ScriptedEndpoints::Call> calls_;
  uint64_t address_ = 0;
};

TEST_F(Mixer, WithoutTheDeviceOpenFindsNothingAndEveryOperationDoesNothing) {
  ASSERT_EQ(TqmSimUnplug(), 0u);
  driver_.CloseAll();
  MixerPanel& m = Make();
  EXPECT_EQ(m.Open(), 0);
  EXPECT_FALSE(m.hasLink());
  EXPECT_FALSE(Visible(m.strip(0).fader));
  EXPECT_FALSE(Visible(m.strip(1).mute));
  EXPECT_EQ(m.Poll(), 0);
  EXPECT_EQ(m.ApplySettings(), 0);
  EXPECT_FALSE(m.SetLatency(128));
  EXPECT_EQ(m.QueryLatency(), 0u);
  m.ToggleMeter();
  EXPECT_FALSE(m.MeterEnabled());
  ASSERT_EQ(TqmSimPlug(), 0u);
  ASSERT_TRUE(WaitFor([&] { return driver_.Enumerate() == 1; }));
}

TEST_F(Mixer, FirstOpenWithAnEmptyRegistryAppliesTheFactoryDefault) {
  MixerPanel& m = MakeScripted();
  ASSERT_EQ(m.Open(), 1);
  EXPECT_TRUE(m.mapped());
  for (int s = 0; s < 2; ++s) {
    EXPECT_TRUE(Visible(m.strip(s).fader)) << s;
    EXPECT_TRUE(Visible(m.strip(s).mute)) << s;
    EXPECT_TRUE(Visible(m.strip(s).meterLeft)) << s;
  }
  // Latency 256, the driver told; the panel's defaults otherwise.
  EXPECT_EQ(driver_.GetLatency(), 256u);
  EXPECT_EQ(m.current().mixer.periodFrames, 256);
  EXPECT_EQ(m.current().mixer.requestCount, 3);
  EXPECT_EQ(m.current().wheelStep, 1);
  const MixerSettings d = DriverSettings();
  EXPECT_EQ(d.requestCount, 3);
  EXPECT_EQ(d.playVolume[0], 110);
  EXPECT_EQ(d.recordVolume[1], 80);
  EXPECT_EQ(d.force, 0);
  // The endpoints are looked for first, then both set to 0 dB and
  // unmuted: input first, then output.
  ASSERT_GE(calls_.size(), 6u);
  EXPECT_EQ(calls_[0].what, "Search");
  EXPECT_EQ(calls_[1].what, "RegisterListeners");
  const ScriptedEndpoints::Call* sets = &calls_[2];
  EXPECT_EQ(sets[0].what, "SetLevels");
  EXPECT_EQ(sets[0].flow, 1);
  EXPECT_EQ(sets[0].left, 0.0f);
  EXPECT_EQ(sets[1].what, "SetMute");
  EXPECT_EQ(sets[1].mute, 0);
  EXPECT_EQ(sets[2].what, "SetLevels");
  EXPECT_EQ(sets[2].flow, 0);
  EXPECT_EQ(sets[3].what, "SetMute");
  // The load ends with the shadow equal to the current copy.
  EXPECT_EQ(std::memcmp(&m.shadow(), &m.current(), sizeof(PanelSettings)), 0);
  // The controls show the settings.
  int left = 0, right = 0;
  m.strip(0).FaderPositions(left, right);
  EXPECT_EQ(left, 110);
  EXPECT_EQ(right, 110);
  m.strip(1).FaderPositions(left, right);
  EXPECT_EQ(left, 80);
  EXPECT_EQ(std::wstring(m.labelText(0)), L"0dB");
}

TEST_F(Mixer, StoredSettingsAreUsedAndTheDriverGetsThem) {
  PanelSettings stored = PanelDefaults();
  stored.wheelStep = 4;
  stored.mixer.periodFrames = 192;
  stored.mixer.requestCount = 5;
  stored.mixer.playVolume[0] = 100;
  stored.mixer.playVolume[1] = 90;
  stored.mixer.recordMute = 1;
  StoreRaw(L"Mixer", REG_BINARY, &stored, sizeof stored);
  MixerPanel& m = Make();
  ASSERT_EQ(m.Open(), 1);
  EXPECT_EQ(m.current().wheelStep, 4);
  EXPECT_EQ(driver_.GetLatency(), 192u);
  const MixerSettings d = DriverSettings();
  EXPECT_EQ(d.requestCount, 5);
  EXPECT_EQ(d.playVolume[0], 100);
  EXPECT_EQ(d.playVolume[1], 90);
  EXPECT_EQ(d.recordMute, 1);
  EXPECT_EQ(m.strip(1).MuteChecked(), 1);
  // The label shows the last position set: the right one of the output strip.
  EXPECT_EQ(std::wstring(m.labelText(0)), L"-10.0dB");
}

// Every out-of-range field of a stored record, and what the panel makes of it.
TEST_F(Mixer, StoredSettingsAreClampedBeforeAnyControlOrTheDriverSeesThem) {
  PanelSettings stored = PanelDefaults();
  stored.wheelStep = 3;
  stored.mixer.rate = 12345;
  stored.mixer.requestCount = 12;
  stored.mixer.playMute = 7;
  stored.mixer.playVolume[0] = 500;
  stored.mixer.playVolume[1] = -20;
  stored.mixer.recordVolume[0] = 105;
  stored.mixer.recordVolume[1] = 2000;
  stored.mixer.meterEnable = 3;
  stored.mixer.patch.entry[2] = RoutingEntry{1, 0, 9, 1, 5, 0, 0};
  StoreRaw(L"Mixer", REG_BINARY, &stored, sizeof stored);
  MixerPanel& m = Make();
  ASSERT_EQ(m.Open(), 1);
  const PanelSettings& c = m.current();
  EXPECT_EQ(c.wheelStep, 1);
  EXPECT_EQ(c.mixer.rate, 44100);
  EXPECT_EQ(c.mixer.requestCount, 9);
  EXPECT_EQ(c.mixer.playMute, 1);
  EXPECT_EQ(c.mixer.playVolume[0], 110);
  EXPECT_EQ(c.mixer.playVolume[1], 0);
  EXPECT_EQ(c.mixer.recordVolume[0], 104);
  EXPECT_EQ(c.mixer.meterEnable, 1);
  EXPECT_EQ(c.mixer.patch.entry[2].targetPort, 3);
  EXPECT_EQ(c.mixer.patch.entry[2].targetChannel, 1);
  int left = 0, right = 0;
  m.strip(0).FaderPositions(left, right);
  EXPECT_EQ(left, 110);
  EXPECT_EQ(right, 0);
  EXPECT_EQ(std::wstring(m.labelText(0)), L"-55.0dB");
  EXPECT_EQ(std::wstring(m.labelText(1)), L"+12.0dB");
  EXPECT_EQ(DriverSettings().requestCount, 9);
  EXPECT_TRUE(m.MeterEnabled()) << "the stored switch reaches the status block";
}

TEST_F(Mixer, StoredValueOfTheWrongTypeOrSizeGivesTheFactoryDefault) {
  struct Row {
    DWORD type;
    DWORD size;
    const char* why;
  };
  const Row rows[] = {
      {REG_DWORD, 4, "another type"},
      {REG_BINARY, 300, "longer than the record"},
  };
  for (const Row& r : rows) {
    std::vector<uint8_t> bytes(r.size, 0x22);
    StoreRaw(L"Mixer", r.type, bytes.data(), r.size);
    driver_.SetLatency(128, 1);
    MixerPanel& m = Make();
    ASSERT_EQ(m.Open(), 1) << r.why;
    EXPECT_EQ(driver_.GetLatency(), 256u) << r.why;
    EXPECT_EQ(m.current().wheelStep, 1) << r.why;
    mixer_.reset();
  }
}

TEST_F(Mixer, ShortStoredValueTakesTheMissingBytesFromTheDefaults) {
  PanelSettings stored = PanelDefaults();
  stored.wheelStep = 8;
  stored.mixer.periodFrames = 144;
  stored.mixer.playVolume[0] = 60;  // byte 24: not covered by a 20-byte value
  StoreRaw(L"Mixer", REG_BINARY, &stored, 20);
  MixerPanel& m = Make();
  ASSERT_EQ(m.Open(), 1);
  EXPECT_EQ(m.current().wheelStep, 8);
  EXPECT_EQ(driver_.GetLatency(), 144u);
  EXPECT_EQ(m.current().mixer.playVolume[0], 110) << "from the defaults";
}

TEST_F(Mixer, DefaultsRequestedIgnoresTheStoredValueOnceOnly) {
  PanelSettings stored = PanelDefaults();
  stored.mixer.periodFrames = 192;
  StoreRaw(L"Mixer", REG_BINARY, &stored, sizeof stored);
  defaults_ = 1;
  MixerPanel& m = Make();
  ASSERT_EQ(m.Open(), 1);
  EXPECT_EQ(defaults_, 0);
  EXPECT_EQ(driver_.GetLatency(), 256u);
  // The next load (the device plugged in again) reads the registry again.
  m.Close();
  ASSERT_EQ(m.Open(), 1);
  EXPECT_EQ(driver_.GetLatency(), 192u);
}

TEST_F(Mixer, ReconcileWithoutDifferencesSendsNothing) {
  MixerPanel& m = Make();
  ASSERT_EQ(m.Open(), 1);
  // The driver's volume changed behind the panel's back: a reconcile that
  // finds nothing different must not send the panel's settings over it.
  ChangeDriverSettings([](MixerSettings& s) { s.playVolume[0] = 33; });
  const uint32_t before = CommandsLogged();
  m.Reconcile();
  EXPECT_TRUE(CommandsSince(before).empty()) << "the driver saw a command";
  EXPECT_EQ(DriverSettings().playVolume[0], 33);
  // One difference: the whole record goes.
  m.current().mixer.recordVolume[1] = 70;
  m.Reconcile();
  const MixerSettings d = DriverSettings();
  EXPECT_EQ(d.recordVolume[1], 70);
  EXPECT_EQ(d.playVolume[0], 110);
  int left = 0, right = 0;
  m.strip(1).FaderPositions(left, right);
  EXPECT_EQ(right, 70);
  EXPECT_EQ(std::wstring(m.labelText(1)), L"-5.0dB");
}

TEST_F(Mixer, DriverRateChangeIsFollowedWithinOneTickAndAppliedBack) {
  MixerPanel& m = Make();
  ASSERT_EQ(m.Open(), 1);
  ASSERT_EQ(m.current().mixer.rate, 44100);
  ASSERT_TRUE(driver_.SetSampleRate(48000));
  MapOwn();
  ASSERT_TRUE(WaitFor([&] { return Block().Read(StatusWord::SampleRate) == 48000; }));
  // Changed behind the panel's back: the apply that follows the rate change
  // sends the panel's copy, which overwrites it.
  ChangeDriverSettings([](MixerSettings& s) { s.playVolume[1] = 44; });
  const size_t hidBefore = HidCommands().size();
  const uint32_t before = CommandsLogged();
  EXPECT_EQ(m.Poll(), 1);
  const auto sent = CommandsSince(before);
  EXPECT_EQ(sent.size(), 1u);
  EXPECT_EQ(Count(sent, CMD_CLASS_CONTROL, ControlOp::ApplySettings), 1) << "one ApplySettings follows";
  // The HID exchange ran: its two command reports reached the device.
  const auto hid = HidCommands();
  ASSERT_EQ(hid.size(), hidBefore + 2);
  EXPECT_EQ(hid[hidBefore], std::make_pair(uint8_t(0x60), uint8_t(0x60)));
  EXPECT_EQ(hid[hidBefore + 1], std::make_pair(uint8_t(0x60), uint8_t(0x20)));
  EXPECT_EQ(m.current().mixer.rate, 48000);
  EXPECT_EQ(m.shadow().mixer.rate, 48000);
  const MixerSettings d = DriverSettings();
  EXPECT_EQ(d.rate, 48000);
  EXPECT_EQ(d.playVolume[1], 110) << "no ApplySettings followed the rate change";
  // Nothing new on the next tick.
  EXPECT_EQ(m.Poll(), 0);
}

TEST_F(Mixer, DriverBufferNumberChangeIsTakenWithoutAnApply) {
  MixerPanel& m = Make();
  ASSERT_EQ(m.Open(), 1);
  MapOwn();
  ChangeDriverSettings([](MixerSettings& s) { s.requestCount = 6; });
  ASSERT_TRUE(WaitFor([&] { return Block().Read(StatusWord::RequestCount) == 6; }));
  ChangeDriverSettings([](MixerSettings& s) { s.playVolume[1] = 44; });
  EXPECT_EQ(m.Poll(), 1);
  EXPECT_EQ(m.current().mixer.requestCount, 6);
  EXPECT_EQ(m.shadow().mixer.requestCount, 6);
  EXPECT_EQ(m.CurrentBufferNumber(), 6);
  EXPECT_EQ(DriverSettings().playVolume[1], 44) << "a buffer-number change applies nothing";
  const uint32_t before = CommandsLogged();
  EXPECT_EQ(m.Poll(), 0);
  EXPECT_TRUE(CommandsSince(before).empty()) << "a poll without changes sends nothing";
}

TEST_F(Mixer, StatusBlockValuesOutOfRangeAreClampedInThePoll) {
  MixerPanel& m = Make();
  ASSERT_EQ(m.Open(), 1);
  MapOwn();
  // A client may write any word of its mapping (only the engine's next
  // period puts it right): the panel must not take it as it stands.
  Block().Write(StatusWord::RequestCount, 40);
  m.Poll();
  EXPECT_EQ(m.current().mixer.requestCount, 9);
  EXPECT_EQ(m.CurrentBufferNumber(), 9);
  Block().Write(StatusWord::RequestCount, 0xFFFFFFFF);
  m.Poll();
  EXPECT_EQ(m.CurrentBufferNumber(), 2);
  Block().Write(StatusWord::SampleRate, 7);
  m.Poll();
  EXPECT_EQ(m.current().mixer.rate, 44100);
}

TEST_F(Mixer, AFailedGetLatencyKeepsTheLastKnownLatency) {
  MixerPanel& m = Make();
  ASSERT_EQ(m.Open(), 1);
  ASSERT_EQ(m.QueryLatency(), 256u);
  driver_.CloseAll();
  ASSERT_EQ(TqmSimUnplug(), 0u);
  EXPECT_EQ(m.QueryLatency(), 0u);
  EXPECT_EQ(m.current().mixer.periodFrames, 256);
  EXPECT_EQ(m.shadow().mixer.periodFrames, 256);
  m.Close();
  ASSERT_EQ(TqmSimPlug(), 0u);
  ASSERT_TRUE(WaitFor([&] { return driver_.Enumerate() == 1; }));
}

TEST_F(Mixer, LatencyIsRefusedWhileAStreamClientHasAChannelOpen) {
  MixerPanel& m = Make();
  ASSERT_EQ(m.Open(), 1);
  StartStreamClient();
  EXPECT_FALSE(m.SetLatency(96));
  EXPECT_EQ(m.QueryLatency(), 256u);
  EXPECT_EQ(m.current().mixer.periodFrames, 256) << "the refused value does not stay";
  StopStreamClient();
  EXPECT_TRUE(m.SetLatency(96));
  EXPECT_EQ(m.QueryLatency(), 96u);
}

TEST_F(Mixer, LatencyTooSmallForTheRateIsRefused) {
  MixerPanel& m = Make();
  ASSERT_EQ(m.Open(), 1);
  ASSERT_TRUE(driver_.SetSampleRate(96000));
  MapOwn();
  ASSERT_TRUE(WaitFor([&] { return Block().Read(StatusWord::SampleRate) == 96000; }));
  EXPECT_FALSE(m.SetLatency(64));
  EXPECT_EQ(m.QueryLatency(), 256u);
}

TEST_F(Mixer, LoadWhileAStreamRunsTakesRateLatencyAndBufferNumberFromTheDriver) {
  ASSERT_TRUE(driver_.SetLatency(128, 1));
  ChangeDriverSettings([](MixerSettings& s) { s.requestCount = 4; });
  ASSERT_TRUE(driver_.SetSampleRate(48000));
  MapOwn();
  ASSERT_TRUE(WaitFor([&] { return Block().Read(StatusWord::SampleRate) == 48000; }));
  StartStreamClient();
  struct Row {
    bool stored;
    const char* why;
  };
  for (const Row& r : {Row{true, "stored record"}, Row{false, "factory default"}}) {
    ClearRegistry();
    if (r.stored) {
      PanelSettings stored = PanelDefaults();
      stored.mixer.rate = 96000;
      stored.mixer.periodFrames = 288;
      stored.mixer.requestCount = 8;
      stored.mixer.playVolume[0] = 90;
      StoreRaw(L"Mixer", REG_BINARY, &stored, sizeof stored);
    }
    MixerPanel& m = Make();
    ASSERT_EQ(m.Open(), 1) << r.why;
    EXPECT_EQ(m.current().mixer.rate, 48000) << r.why;
    EXPECT_EQ(m.current().mixer.periodFrames, 128) << r.why;
    EXPECT_EQ(m.current().mixer.requestCount, 4) << r.why;
    const MixerSettings d = DriverSettings();
    EXPECT_EQ(d.rate, 48000) << r.why;
    EXPECT_EQ(d.requestCount, 4) << r.why;
    EXPECT_EQ(driver_.GetLatency(), 128u) << r.why;
    EXPECT_EQ(Block().Read(StatusWord::SampleRate), 48000u) << r.why;
    if (r.stored) {
      EXPECT_EQ(d.playVolume[0], 90) << "the rest of the stored record applies";
    }
    mixer_.reset();
  }
}

TEST_F(Mixer, MuteWithoutAnEndpointGoesToTheDriver) {
  for (bool scripted : {false, true}) {
    script_.sets = false;  // an endpoint table whose calls fail
    MixerPanel& m = scripted ? MakeScripted() : Make();
    ASSERT_EQ(m.Open(), 1);
    for (int strip = 0; strip < 2; ++strip) {
      for (int32_t want : {1, 0}) {
        m.ToggleMute(strip);
        m.Reconcile();
        const MixerSettings d = DriverSettings();
        EXPECT_EQ(strip == 0 ? d.playMute : d.recordMute, want) << "strip " << strip << " scripted " << scripted;
        EXPECT_EQ(m.strip(strip).MuteChecked(), want) << "strip " << strip;
      }
    }
    mixer_.reset();
  }
}

TEST_F(Mixer, MuteThroughAnEndpointLeavesTheDriverToIt) {
  MixerPanel& m = MakeScripted();
  ASSERT_EQ(m.Open(), 1);
  calls_.clear();
  m.ToggleMute(1);
  ASSERT_EQ(Calls("SetMute"), 1);
  EXPECT_EQ(calls_.back().flow, 1);
  EXPECT_EQ(calls_.back().mute, 1);
  EXPECT_EQ(m.current().mixer.recordMute, 1);
}

TEST_F(Mixer, FaderMovesGoToTheEndpointInDecibelsAndWithoutOneToTheDriver) {
  MixerPanel& m = MakeScripted();
  ASSERT_EQ(m.Open(), 1);
  calls_.clear();
  m.strip(0).SetFader(98, 90);
  m.OnFaderMoved(0);
  ASSERT_EQ(Calls("SetLevels"), 1);
  EXPECT_EQ(calls_[0].flow, 0);
  EXPECT_EQ(calls_[0].left, -6.0f);
  EXPECT_EQ(calls_[0].right, -10.0f);
  EXPECT_EQ(m.current().mixer.playVolume[0], 98);
  // A failing endpoint: searched again, listeners again, the driver gets it.
  script_.sets = false;
  calls_.clear();
  m.strip(1).SetFader(60, 100);
  m.OnFaderMoved(1);
  EXPECT_EQ(Calls("Search"), 1);
  EXPECT_EQ(Calls("RegisterListeners"), 1);
  const MixerSettings d = DriverSettings();
  EXPECT_EQ(d.recordVolume[0], 60);
  EXPECT_EQ(d.recordVolume[1], 100);
}

TEST_F(Mixer, EndpointLevelsAreReadIntoTheSettingsAsComputed) {
  script_.levels[0][0] = -60.0f;  // below the output fader: position -10
  script_.levels[0][1] = -6.0f;
  script_.levels[1][0] = 12.0f;
  script_.levels[1][1] = -0.25f;  // round(-0.5) = -1
  script_.mutes[1] = 1;
  MixerPanel& m = MakeScripted();
  ASSERT_EQ(m.Open(), 1);
  EXPECT_EQ(m.current().mixer.playVolume[0], -10);
  EXPECT_EQ(m.current().mixer.playVolume[1], 98);
  EXPECT_EQ(m.current().mixer.recordVolume[0], 104);
  EXPECT_EQ(m.current().mixer.recordVolume[1], 79);
  EXPECT_EQ(m.current().mixer.recordMute, 1);
}

TEST_F(Mixer, EndpointThatCannotBeReadKeepsTheStripsValues) {
  script_.reads = false;
  MixerPanel& m = MakeScripted();
  ASSERT_EQ(m.Open(), 1);
  EXPECT_EQ(m.current().mixer.playVolume[0], 110);
  EXPECT_EQ(m.current().mixer.recordVolume[0], 80);
}

TEST_F(Mixer, EndpointChangeMovesTheStripUnlessTheButtonIsHeld) {
  MixerPanel& m = MakeScripted();
  ASSERT_EQ(m.Open(), 1);
  script_.levels[0][0] = script_.levels[0][1] = -6.0f;
  m.SetButtonHeld(true);
  m.OnEndpointChanged(0);
  int left = 0, right = 0;
  m.strip(0).FaderPositions(left, right);
  EXPECT_EQ(left, 110) << "held: the fader keeps its position";
  m.SetButtonHeld(false);
  m.OnEndpointChanged(0);
  m.strip(0).FaderPositions(left, right);
  EXPECT_EQ(left, 98);
  EXPECT_EQ(right, 98);
  EXPECT_EQ(std::wstring(m.labelText(0)), L"-6.0dB");
  EXPECT_EQ(m.current().mixer.playVolume[0], 98);
  EXPECT_EQ(DriverSettings().playVolume[0], 110) << "nothing is sent until the next reconcile";
  m.Reconcile();
  EXPECT_EQ(DriverSettings().playVolume[0], 98);
}

TEST_F(Mixer, MeterSwitchOffSetsTheMetersToZero) {
  MixerPanel& m = Make();
  ASSERT_EQ(m.Open(), 1);
  ASSERT_FALSE(m.MeterEnabled());
  m.ToggleMeter();
  m.Reconcile();
  EXPECT_TRUE(m.MeterEnabled());
  EXPECT_EQ(m.current().mixer.meterEnable, 1);
  EXPECT_EQ(DriverSettings().meterEnable, 1);
  // On: the poll shows the peaks (silence rests at 0 from rest).
  m.Poll();
  for (int k = 0; k < MixerPanel::kMeters; ++k) EXPECT_EQ(m.meterShown(MixerPanel::Meter(k)), 0) << k;
  m.ToggleMeter();
  m.Reconcile();
  EXPECT_FALSE(m.MeterEnabled());
  for (int k = 0; k < MixerPanel::kMeters; ++k) EXPECT_EQ(m.meterShown(MixerPanel::Meter(k)), 0) << k;
}

TEST_F(Mixer, WheelStepAndBufferNumberAreStoredOnlyWhenTheyDiffer) {
  MixerPanel& m = Make();
  ASSERT_EQ(m.Open(), 1);
  EXPECT_FALSE(m.SetWheelStep(1));
  EXPECT_TRUE(m.SetWheelStep(8));
  EXPECT_EQ(m.current().wheelStep, 8);
  EXPECT_FALSE(m.SetBufferNumber(3));
  EXPECT_TRUE(m.SetBufferNumber(7));
  m.Reconcile();
  EXPECT_EQ(DriverSettings().requestCount, 7);
}

TEST_F(Mixer, CloseReleasesTheMappingAndEveryHandle) {
  const uint64_t before = MachineHandles();
  MixerPanel& m = Make();
  for (int round = 0; round < 3; ++round) {
    ASSERT_EQ(m.Open(), 1) << round;
    EXPECT_GT(MachineHandles(), before) << round;
    m.Close();
    EXPECT_FALSE(m.hasLink()) << round;
    EXPECT_FALSE(m.mapped()) << round;
    EXPECT_EQ(MachineHandles(), before) << round;
  }
}

TEST_F(Mixer, StopEventReleasesTheMappingAndThePollStops) {
  MixerPanel& m = Make();
  ASSERT_EQ(m.Open(), 1);
  m.ReleaseStatusMapping();
  EXPECT_FALSE(m.mapped());
  EXPECT_TRUE(m.hasLink());
  EXPECT_EQ(m.Poll(), 0);
  m.ToggleMeter();
  EXPECT_FALSE(m.MeterEnabled());
  EXPECT_EQ(m.CurrentBufferNumber(), 3) << "the shadow's buffer number";
}

TEST_F(Mixer, SurpriseRemovalWhileMappedLeavesNoFault) {
  MixerPanel& m = Make();
  ASSERT_EQ(m.Open(), 1);
  driver_.CloseAll();
  ASSERT_EQ(TqmSimUnplug(), 0u);
  m.Poll();
  m.Reconcile();
  m.ReleaseStatusMapping();
  m.Close();
  ASSERT_EQ(TqmSimPlug(), 0u);
  ASSERT_TRUE(WaitFor([&] { return driver_.Enumerate() == 1; }));
}

}  // namespace
}  // namespace tqm::panel::testing

namespace tqm::panel::testing {
namespace {

TEST_F(Mixer, MetersFollowThePeaksOfAStreamFromTheNextTick) {
  ASSERT_EQ(TqmSimSetInput(2, 1000), 0u);  // a sine at -6 dBFS into the device's input
  MixerPanel& m = Make();
  ASSERT_EQ(m.Open(), 1);
  StartStreamClient();
  m.Poll();
  EXPECT_EQ(m.meterShown(MixerPanel::kInLeft), 0) << "the meter switch is off";
  m.ToggleMeter();
  m.Reconcile();
  ASSERT_TRUE(WaitFor([&] {
    m.Poll();
    return m.meterShown(MixerPanel::kInLeft) > 0 && m.meterShown(MixerPanel::kInRight) > 0;
  })) << "the input meters never lit";
  // -6 dBFS: a peak near 2^30, level 129, display 114 (rest to 128 scale).
  EXPECT_GE(m.meterShown(MixerPanel::kInLeft), 100);
  EXPECT_LE(m.meterShown(MixerPanel::kInLeft), 128);
  // The switch cleared in the status block by another: the meters keep
  // their last values until it is set again.
  MapOwn();
  Block().Write(StatusWord::MeterEnable, 0);
  const int held = m.meterShown(MixerPanel::kInLeft);
  for (int i = 0; i < 5; ++i) m.Poll();
  EXPECT_EQ(m.meterShown(MixerPanel::kInLeft), held);
  Block().Write(StatusWord::MeterEnable, 1);
  m.ToggleMeter();
  m.Reconcile();
  for (int k = 0; k < MixerPanel::kMeters; ++k) EXPECT_EQ(m.meterShown(MixerPanel::Meter(k)), 0) << k;
}

// The listeners against the driver's own events, with a window of the
// test's that records what they post.
class Listener : public PanelBench {
 protected:
  static constexpr UINT kStopped = WM_APP + 7;
  int Posted(WPARAM generation) {
    Pump();
    MSG msg;
    int n = 0;
    while (PeekMessageW(&msg, main_, kStopped, kStopped, PM_REMOVE)) n += msg.wParam == generation;
    return n;
  }
};

TEST_F(Listener, StopListenerPostsWhenTheDriverSignalsRemovalAndStopsWithoutTheDriver) {
  DriverEventListener stop;
  ASSERT_TRUE(stop.Start(driver_, ControlOp::SetRemovalEvent, main_, kStopped, 41));
  EXPECT_TRUE(stop.running());
  // The driver signals its stop event when it tears the device down: after
  // a surprise removal, once the last handle is closed.
  ASSERT_EQ(TqmSimUnplug(), 0u);
  driver_.CloseAll();
  int posted = 0;
  ASSERT_TRUE(WaitFor([&] {
    MSG msg;
    while (PeekMessageW(&msg, main_, kStopped, kStopped, PM_REMOVE)) posted += msg.wParam == 41;
    return posted > 0;
  })) << "the driver's stop event never reached the window";
  EXPECT_EQ(posted, 1);
  // No driver to take the registration back: the listener stops all the same.
  stop.Stop(&driver_);
  EXPECT_FALSE(stop.running());
  ASSERT_EQ(TqmSimPlug(), 0u);
  ASSERT_TRUE(WaitFor([&] { return driver_.Enumerate() == 1; }));
}

TEST_F(Listener, AStoppedListenerNeverActsAgain) {
  DriverEventListener stop;
  ASSERT_TRUE(stop.Start(driver_, ControlOp::SetRemovalEvent, main_, kStopped, 7));
  stop.Stop(&driver_);
  EXPECT_FALSE(stop.running());
  driver_.CloseAll();
  ASSERT_EQ(TqmSimUnplug(), 0u);
  Sleep(200);
  EXPECT_EQ(Posted(7), 0);
  ASSERT_EQ(TqmSimPlug(), 0u);
  ASSERT_TRUE(WaitFor([&] { return driver_.Enumerate() == 1; }));
}

TEST_F(Listener, RateListenerOnlyWaitsAndRestartingKeepsOneThread) {
  DriverEventListener rate;
  const int threads = ThreadsOfThisProcess();
  ASSERT_TRUE(rate.Start(driver_, ControlOp::SetRateEvent, nullptr, 0, 1));
  EXPECT_EQ(ThreadsOfThisProcess(), threads + 1);
  ASSERT_TRUE(rate.Start(driver_, ControlOp::SetRateEvent, nullptr, 0, 2));
  EXPECT_EQ(ThreadsOfThisProcess(), threads + 1) << "the first thread ended before the second started";
  ASSERT_TRUE(driver_.SetSampleRate(48000));
  Sleep(100);
  EXPECT_TRUE(rate.running());
  rate.Stop(&driver_);
  EXPECT_FALSE(rate.running());
  EXPECT_EQ(ThreadsOfThisProcess(), threads);
}

TEST_F(Listener, StartFailsCleanlyWithoutADevice) {
  DeviceLink none;  // enumerated nothing: every command fails
  DriverEventListener stop;
  EXPECT_FALSE(stop.Start(none, ControlOp::SetRemovalEvent, main_, kStopped, 3));
  EXPECT_FALSE(stop.running());
}

}  // namespace
}  // namespace tqm::panel::testing
