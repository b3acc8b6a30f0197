// What the panel accepts as settings: every field that comes from the
// registry, the driver or the status block is brought into range, and a
// short stored record takes its missing bytes from the defaults.
#include "settings_rules.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace tqm::panel {
namespace {

struct ScalarRow {
  int32_t in;
  int32_t out;
  const char* why;
};

TEST(SettingsRules, WheelStepIsOneOfTheMenuSteps) {
  const ScalarRow rows[] = {
      {1, 1, "menu step"}, {2, 2, "menu step"}, {4, 4, "menu step"}, {8, 8, "menu step"},
      {0, 1, "no step: the default"}, {3, 1, "between menu steps: the default"},
      {16, 1, "beyond the menu"}, {-8, 1, "negative"},
  };
  for (const ScalarRow& r : rows) EXPECT_EQ(ClampWheelStep(r.in), r.out) << r.in << ": " << r.why;
}

TEST(SettingsRules, RateBecomesTheNearestDeviceRate) {
  const ScalarRow rows[] = {
      {44100, 44100, "device rate"}, {48000, 48000, "device rate"}, {96000, 96000, "device rate"},
      {0, 44100, "nothing published yet"}, {-1, 44100, "negative"},
      {46049, 44100, "below the midpoint 46050"}, {46050, 48000, "at the midpoint"},
      {71999, 48000, "below the midpoint 72000"}, {72000, 96000, "at the midpoint"},
      {2147483647, 96000, "largest word"},
  };
  for (const ScalarRow& r : rows) EXPECT_EQ(ClampRate(r.in), r.out) << r.in << ": " << r.why;
}

TEST(SettingsRules, BufferNumberStaysInTheMenu) {
  const ScalarRow rows[] = {
      {2, 2, "lowest menu item"}, {9, 9, "highest menu item"}, {5, 5, "inside"},
      {1, 2, "below"}, {0, 2, "none"}, {-7, 2, "negative"}, {10, 9, "above"}, {0x7FFFFFFF, 9, "largest"},
  };
  for (const ScalarRow& r : rows) EXPECT_EQ(ClampBufferNumber(r.in), r.out) << r.in << ": " << r.why;
}

TEST(SettingsRules, EveryFieldOfAHostileRecordComesIntoRange) {
  PanelSettings s{};
  std::memset(&s, 0xA5, sizeof s);  // every word 0xA5A5A5A5, a large negative number
  s.mixer.playVolume[0] = 200;      // above the output fader
  s.mixer.recordVolume[1] = 105;    // one above the input fader
  s.mixer.patch.entry[3].targetPort = 9;
  s.mixer.patch.entry[4].targetChannel = 2;
  s.mixer.patch.entry[5].fanIn = 99;
  ClampPanelSettings(s);
  EXPECT_EQ(s.wheelStep, 1);
  EXPECT_EQ(s.mixer.rate, 44100);
  EXPECT_EQ(s.mixer.requestCount, 2);
  EXPECT_EQ(s.mixer.playMute, 1) << "non-zero means muted";
  EXPECT_EQ(s.mixer.recordMute, 1);
  EXPECT_EQ(s.mixer.playVolume[0], 110);
  EXPECT_EQ(s.mixer.playVolume[1], 0);
  EXPECT_EQ(s.mixer.recordVolume[0], 0);
  EXPECT_EQ(s.mixer.recordVolume[1], 104);
  EXPECT_EQ(s.mixer.meterEnable, 1);
  EXPECT_EQ(s.mixer.force, 0) << "only the load's last apply carries the force flag";
  for (int e = 0; e < static_cast<int>(kRoutingEntryCount); ++e) {
    const RoutingEntry& entry = s.mixer.patch.entry[e];
    EXPECT_GE(entry.targetPort, 0) << "entry " << e;
    EXPECT_LE(entry.targetPort, 3) << "entry " << e;
    EXPECT_GE(entry.targetChannel, 0) << "entry " << e;
    EXPECT_LE(entry.targetChannel, 1) << "entry " << e;
    EXPECT_GE(entry.fanIn, 0) << "entry " << e;
    EXPECT_LE(entry.fanIn, 8) << "entry " << e;
  }
  EXPECT_EQ(s.mixer.patch.entry[3].targetPort, 3);
  EXPECT_EQ(s.mixer.patch.entry[4].targetChannel, 1);
  EXPECT_EQ(s.mixer.patch.entry[5].fanIn, 8);
}

TEST(SettingsRules, InRangeRecordIsLeftAsItIs) {
  PanelSettings s = PanelDefaults();
  s.wheelStep = 4;
  s.mixer.rate = 96000;
  s.mixer.periodFrames = 288;
  s.mixer.requestCount = 9;
  s.mixer.playVolume[0] = 0;
  s.mixer.recordVolume[1] = 104;
  s.mixer.playMute = 1;
  s.mixer.patch.entry[1] = RoutingEntry{1, 0, 2, 1, 1, 0, -1};
  s.mixer.patch.entry[5].fanIn = 1;
  const PanelSettings before = s;
  ClampPanelSettings(s);
  EXPECT_EQ(std::memcmp(&s, &before, sizeof s), 0);
}

TEST(SettingsRules, LatencyIsNotTheClampsBusiness) {
  PanelSettings s = PanelDefaults();
  for (int32_t latency : {0, 100, 12345, -4}) {
    s.mixer.periodFrames = latency;
    ClampPanelSettings(s);
    EXPECT_EQ(s.mixer.periodFrames, latency);
  }
}

TEST(SettingsRules, ShortStoredRecordTakesTheRestFromTheDefaults) {
  const PanelSettings defaults = PanelDefaults();
  struct Row {
    size_t length;
    const char* why;
  };
  const Row rows[] = {
      {0, "empty value: all defaults"},
      {4, "only the wheel step"},
      {10, "a word cut in half: its missing half from the defaults"},
      {100, "part of the patch table"},
      {279, "one byte short"},
      {280, "whole record"},
  };
  for (const Row& r : rows) {
    std::vector<uint8_t> stored(280);
    PanelSettings source = PanelDefaults();
    source.wheelStep = 2;
    source.mixer.rate = 48000;
    source.mixer.periodFrames = 192;
    source.mixer.playVolume[0] = 50;
    source.mixer.meterEnable = 1;
    std::memcpy(stored.data(), &source, sizeof source);
    const PanelSettings got = StoredPanelSettings(stored.data(), r.length);
    const auto* g = reinterpret_cast<const uint8_t*>(&got);
    const auto* d = reinterpret_cast<const uint8_t*>(&defaults);
    for (size_t i = 0; i < 280; ++i) {
      const uint8_t want = i < r.length ? stored[i] : d[i];
      ASSERT_EQ(g[i], want) << r.why << " (length " << r.length << "), byte " << i;
    }
  }
}

TEST(SettingsRules, StoredRecordIsClamped) {
  PanelSettings stored = PanelDefaults();
  stored.wheelStep = 3;
  stored.mixer.requestCount = 12;
  stored.mixer.playVolume[1] = -5;
  const PanelSettings got = StoredPanelSettings(&stored, sizeof stored);
  EXPECT_EQ(got.wheelStep, 1);
  EXPECT_EQ(got.mixer.requestCount, 9);
  EXPECT_EQ(got.mixer.playVolume[1], 0);
}

}  // namespace
}  // namespace tqm::panel
