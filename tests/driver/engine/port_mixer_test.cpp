// The period work of the engine driven as the completion routines drive it: one
// FillPlaybackHalf per playback period, one DistributeRecordHalf per record
// period, with client halves registered as the clients register them.
#include <gtest/gtest.h>

#include <vector>

#include "driver/engine/port_mixer.h"

namespace {

using engine::kPlayback;
using engine::kRecord;

constexpr uint32_t kPeriod = 64;
constexpr uint32_t kChannels = 2;

// Sample value that names its origin: port, channel, half and frame.
int32_t Tag(uint32_t port, uint32_t channel, uint32_t half, uint32_t frame) {
  return int32_t((port + 1) << 24 | (channel + 1) << 20 | (half + 1) << 16 | frame);
}

class PortMixerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    rings_.assign(engine::kRingBlockBytes / 4, 0);
    queue_.assign(engine::QueueBlockBytes(kChannels) / 4, 0);
    mixer_.Attach(rings_.data(), queue_.data(), kChannels, kChannels);
    mixer_.SetClientRecordChannels(kChannels);
    mixer_.SetStatusBlock(&status_);
    mixer_.SetPatch(&patch_);
    for (uint32_t p = 0; p < 3; ++p)  // port 3 has no client buffers
      for (uint32_t d = 0; d < 2; ++d)
        for (uint32_t c = 0; c < 2; ++c)
          for (uint32_t h = 0; h < 2; ++h) {
            std::vector<int32_t>& buf = client_[p][d][c][h];
            buf.assign(kPeriod, 0);
            if (d == kPlayback)
              for (uint32_t f = 0; f < kPeriod; ++f) buf[f] = Tag(p, c, h, f);
            ASSERT_TRUE(mixer_.RegisterHalf(p, d, c, h, {buf.data(), 1}));
          }
  }

  void Open(uint32_t port, uint32_t direction, uint32_t channel) {
    ASSERT_TRUE(mixer_.SetChannelOpen(port, direction, channel, true));
  }

  void Route(uint32_t port, uint32_t channel, uint32_t targetPort, uint32_t targetChannel) {
    tqm::RoutingEntry& e = patch_.entry[tqm::RoutingEntryIndex(port, channel)];
    e.routed = 1;
    e.targetPort = int32_t(targetPort);
    e.targetSide = 1;
    e.targetChannel = int32_t(targetChannel);
    ++patch_.entry[tqm::RoutingEntryIndex(targetPort, targetChannel)].fanIn;
  }

  // A fresh, zeroed interleaved device half: the engine clears a half after
  // playing it.
  // Fill f plays client period f - 1, as the engine numbers them.
  std::vector<int32_t> Play() {
    std::vector<int32_t> half(kPeriod * kChannels, 0);
    mixer_.FillPlaybackHalf(half.data(), kPeriod, engine::PeriodNumber(fills_++) - 1);
    return half;
  }

  void Record(int32_t base) {
    std::vector<int32_t> half(kPeriod * kChannels);
    for (uint32_t f = 0; f < kPeriod; ++f)
      for (uint32_t c = 0; c < kChannels; ++c) half[f * kChannels + c] = base + int32_t(c << 12 | f);
    mixer_.DistributeRecordHalf(half.data(), kPeriod, engine::PeriodNumber(periods_++));
  }

  std::vector<int32_t> rings_, queue_;
  std::vector<int32_t> client_[3][2][2][2];
  tqm::DeviceStatusBlock status_{};
  tqm::PatchTable patch_{};
  engine::PortMixer mixer_;
  uint32_t fills_ = 0, periods_ = 0;
};

TEST_F(PortMixerTest, SinglePortPlaysItsHalvesInTurn) {
  Open(0, kPlayback, 0);
  Open(0, kPlayback, 1);
  for (uint32_t period = 0; period < 4; ++period) {
    const std::vector<int32_t> half = Play();
    for (uint32_t f = 0; f < kPeriod; ++f) {
      ASSERT_EQ(half[f * 2], Tag(0, 0, period % 2, f)) << "period " << period << " frame " << f;
      ASSERT_EQ(half[f * 2 + 1], Tag(0, 1, period % 2, f)) << "period " << period << " frame " << f;
    }
  }
}

TEST_F(PortMixerTest, TwoPortsMixAndAChannelWithoutSourcesStaysSilent) {
  Open(0, kPlayback, 0);
  Open(1, kPlayback, 0);
  const std::vector<int32_t> half = Play();
  for (uint32_t f = 0; f < kPeriod; ++f) {
    ASSERT_EQ(half[f * 2], Tag(0, 0, 0, f) + Tag(1, 0, 0, f)) << "frame " << f;
    ASSERT_EQ(half[f * 2 + 1], 0) << "channel 1 has no contribution, frame " << f;
  }
}

// A routed playback channel of a port whose mute switch is on silences the
// device channel for the whole period, lower ports' contributions included.
TEST_F(PortMixerTest, MutedRoutedPortSilencesTheDeviceChannel) {
  Open(0, kPlayback, 0);
  Open(1, kPlayback, 0);
  Route(1, 0, 2, 0);
  patch_.entry[tqm::RoutingEntryIndex(1, 0)].muted = 1;
  const std::vector<int32_t> half = Play();
  for (uint32_t f = 0; f < kPeriod; ++f) ASSERT_EQ(half[f * 2], 0) << "frame " << f;
}

// Port 0's playback reaches port 2's record channel through the loop ring, bit
// for bit, two record periods after the frame of its fill.
TEST_F(PortMixerTest, LoopbackCarriesPlaybackIntoAnotherPortsRecord) {
  Open(0, kPlayback, 1);
  Open(2, kRecord, 0);
  Route(0, 1, 2, 0);
  Record(0);
  Play();  // port 0 half 0 goes into ring (2, 0), slot 0
  Record(0);
  for (uint32_t f = 0; f < kPeriod; ++f) ASSERT_EQ(client_[2][kRecord][0][1][f], 0) << "frame " << f;
  Play();
  Record(0);
  for (uint32_t f = 0; f < kPeriod; ++f)
    ASSERT_EQ(client_[2][kRecord][0][0][f], Tag(0, 1, 0, f)) << "frame " << f;
}

// A ring nothing was written into for a period is heard as silence, never as
// what its slot held ten periods before.
TEST_F(PortMixerTest, ARingWithoutSourcesIsSilent) {
  Open(0, kPlayback, 0);
  Open(2, kRecord, 0);
  Route(0, 0, 2, 0);
  for (int k = 0; k < 3; ++k) {
    Record(0);
    Play();
  }
  ASSERT_TRUE(mixer_.SetChannelOpen(0, kPlayback, 0, false));  // port 0 stops playing
  for (int k = 0; k < 12; ++k) {
    Record(0);
    Play();
  }
  for (uint32_t h = 0; h < 2; ++h)
    for (uint32_t f = 0; f < kPeriod; ++f) ASSERT_EQ(client_[2][kRecord][0][h][f], 0) << "half " << h << " frame " << f;
}

// Port 3 taps the device input into port 1's record channel.
TEST_F(PortMixerTest, InputTapFeedsAnotherPortsRecord) {
  Open(1, kRecord, 0);
  Route(3, 1, 1, 0);
  Record(1000);  // the tap writes device channel 1 into ring (1, 0)
  Play();        // the next fill hands it over
  Record(0);
  Play();
  Record(0);  // port 1 reads it as the playback it was mixed with would be
  for (uint32_t f = 0; f < kPeriod; ++f)
    ASSERT_EQ(client_[1][kRecord][0][0][f], 1000 + int32_t(1 << 12 | f)) << "frame " << f;
}

// The engine's completions reach a period boundary on two processors: record
// period n is handed out in the same bus frame as fill n - 1, in either order.
// What a routed record channel hears must not depend on that order, or a loop
// that is exact for one ordering gains a period of silence when it flips.
TEST_F(PortMixerTest, LoopDelayDoesNotDependOnWhichSideOfABoundaryRunsFirst) {
  struct Row {
    const char* name;
    bool playback;  // port 0 playback channel 0 routes into port 2 record channel 0
    bool tap;       // port 3 taps device input channel 1 into the same ring
  };
  const Row rows[] = {
      {"playback into a record channel", true, false},
      {"device input into a record channel", false, true},
      {"both mixed into one ring", true, true},
  };
  // Each pattern names, per boundary, whether the fill runs first.
  const std::vector<std::vector<bool>> patterns = {
      std::vector<bool>(16, true), std::vector<bool>(16, false),
      {true, false, true, false, true, false, true, false, true, false, true, false, true, false, true, false},
      {true, true, true, true, true, false, false, true, false, false, false, true, true, false, true, true},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    std::vector<std::vector<int32_t>> reference;
    for (size_t k = 0; k < patterns.size(); ++k) {
      SCOPED_TRACE("ordering " + std::to_string(k));
      mixer_ = engine::PortMixer{};
      patch_ = {};
      SetUp();
      fills_ = periods_ = 0;
      Open(2, kRecord, 0);
      if (r.playback) {
        Open(0, kPlayback, 0);
        Route(0, 0, 2, 0);
      }
      if (r.tap) Route(3, 1, 2, 0);
      std::vector<std::vector<int32_t>> heard;
      auto fill = [&] {
        // Port 0 plays its half `toggle`; give every fill its own samples.
        std::vector<int32_t>& half = client_[0][kPlayback][0][fills_ % 2];
        for (uint32_t f = 0; f < kPeriod; ++f) half[f] = int32_t(fills_ << 16 | f);
        Play();
      };
      auto record = [&] {
        const uint32_t n = periods_;
        Record(int32_t(n + 1) << 24);
        heard.push_back(client_[2][kRecord][0][n % 2]);
      };
      record();  // boundary 0 has no fill
      for (size_t b = 1; b < patterns[k].size(); ++b) {
        if (patterns[k][b]) {
          fill();
          record();
        } else {
          record();
          fill();
        }
      }
      if (reference.empty()) {
        reference = heard;
        bool someSound = false;
        for (const std::vector<int32_t>& period : heard)
          for (int32_t v : period) someSound |= v != 0;
        EXPECT_TRUE(someSound) << "nothing came through the ring";
        continue;
      }
      for (size_t n = 0; n < heard.size(); ++n)
        ASSERT_EQ(heard[n], reference[n]) << "record period " << n;
    }
  }
}

// Entries come from any client's settings record: targets out of range count as
// not routed rather than indexing past the rings.
TEST_F(PortMixerTest, OutOfRangeTargetsAreNotRouted) {
  struct Row {
    int32_t port, channel;
  };
  const Row rows[] = {{4, 0}, {-1, 0}, {0, 2}, {0, -7}, {0x7FFFFFFF, 1}};
  Open(0, kPlayback, 0);
  Open(3, kPlayback, 0);
  uint32_t period = 0;
  for (const Row& r : rows) {
    tqm::RoutingEntry& e = patch_.entry[0];
    e.routed = 1;
    e.targetPort = r.port;
    e.targetChannel = r.channel;
    patch_.entry[tqm::RoutingEntryIndex(3, 0)] = e;  // the tap too
    e.muted = 1;                                     // muted only matters when routed
    const std::vector<int32_t> half = Play();
    Record(7);
    EXPECT_EQ(half[2], Tag(0, 0, period++ % 2, 1))
        << "target " << r.port << "/" << r.channel << " was treated as routed";
  }
}

TEST_F(PortMixerTest, WatchdogCountsToTenAndStops) {
  Open(2, kRecord, 0);
  for (int period = 1; period <= 12; ++period) {
    Record(0);
    EXPECT_EQ(status_.watchdog, uint32_t(period < 10 ? period : 10)) << "period " << period;
  }
  status_.watchdog = 0;  // the ASIO client acknowledges
  Record(0);
  EXPECT_EQ(status_.watchdog, 1u);
}

TEST_F(PortMixerTest, PeaksFollowTheMeterSwitch) {
  Open(0, kPlayback, 0);
  Play();
  EXPECT_EQ(status_.outPeak[0], 0u) << "meters are off";
  status_.meterEnable = 1;
  Play();  // half 1: the largest looked-at frame is 32
  EXPECT_EQ(status_.outPeak[0], uint32_t(Tag(0, 0, 1, 32)));
}

// Port 2 is paired with the engine by period number: every client period is
// played exactly once, in order, one fill after the period that ends it, from
// the queue when the client answered with OutputReady, from its own half when
// it never does, as silence when it answers but was late — never a stale half.
TEST_F(PortMixerTest, AsioPeriodsPlayOnceInOrder) {
  struct Row {
    const char* name;
    bool outputReady;         // the client answers with OutputReady
    int skipFirstAnswer;      // the first answer is not sent (the ASIO driver's first call)
    int lateAt;               // this period's answer never comes (-1: none)
    bool runsAhead;           // the next period ends before the fill
    uint32_t joinAt;          // port 2 opens while this period runs
  };
  const Row rows[] = {
      {"answers every period", true, 0, -1, false, 0},
      {"never answers", false, 0, -1, false, 0},
      {"first answer not sent", true, 1, -1, false, 0},
      {"one answer missing", true, 0, 5, false, 0},
      {"next period ends before the fill", true, 0, -1, true, 0},
      {"joins running streams", true, 0, -1, false, 4},
  };
  constexpr int kPeriods = 12;
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    SetUp();
    fills_ = periods_ = 0;
    engine::PortMixer fresh;
    mixer_ = fresh;
    mixer_.Attach(rings_.data(), queue_.data(), kChannels, kChannels);
    mixer_.SetPatch(&patch_);
    for (uint32_t h = 0; h < 2; ++h)
      ASSERT_TRUE(mixer_.RegisterHalf(2, kPlayback, 0, h, {client_[2][kPlayback][0][h].data(), 1}));
    // Periods before the client joined.
    for (uint32_t k = 0; k < r.joinAt; ++k) {
      Record(0);
      Play();
    }
    ASSERT_TRUE(mixer_.SetChannelOpen(2, kPlayback, 0, true, engine::PeriodNumber(periods_)));
    EXPECT_EQ(Play()[0], 0) << "the first fill after joining has no period of the client";

    std::vector<int32_t> heard;
    auto answer = [&](int k) {
      const uint32_t h = uint32_t(k) % 2;
      client_[2][kPlayback][0][h].assign(kPeriod, 100 + k);
      const bool send = r.outputReady && k != r.lateAt && k - int(r.joinAt) >= r.skipFirstAnswer;
      if (send) ASSERT_TRUE(mixer_.QueueOutputReady(h, kPeriod, engine::PeriodNumber(periods_)));
    };
    int k = int(r.joinAt);
    Record(0);
    answer(k);
    for (; k < int(r.joinAt) + kPeriods; ++k) {
      if (r.runsAhead) {
        // Period k + 1 ends and is answered before the fill that plays k.
        Record(0);
        answer(k + 1);
        heard.push_back(Play()[0]);
      } else {
        heard.push_back(Play()[0]);
        Record(0);
        answer(k + 1);
      }
    }
    std::vector<int32_t> expected;
    for (int i = int(r.joinAt); i < int(r.joinAt) + kPeriods; ++i) expected.push_back(i == r.lateAt ? 0 : 100 + i);
    EXPECT_EQ(heard, expected);
    EXPECT_EQ(mixer_.pairing().latePeriods, r.lateAt >= 0 ? 1u : 0u);
  }
}

// A late OutputReady is tagged with the period it answers: it plays in its
// own period's place, or is dropped when that fill has passed.
TEST_F(PortMixerTest, LateOutputReadyAnswersItsOwnPeriod) {
  Open(2, kPlayback, 0);
  Play();  // fill 0: no client period yet
  Record(0);  // period 0 ends (half 0)
  client_[2][kPlayback][0][0].assign(kPeriod, 100);
  Record(0);  // period 1 ends (half 1) before the client answers period 0
  ASSERT_TRUE(mixer_.QueueOutputReady(0, kPeriod, engine::PeriodNumber(periods_)));
  EXPECT_EQ(mixer_.queue().tag[0], 0) << "half 0 answers period 0, not the running period 1";
  EXPECT_EQ(Play()[0], 100);
  // Period 1 is never answered, period 2 is; an answer to period 1 after its
  // fill has passed is dropped and period 2 still plays in place.
  Record(0);
  client_[2][kPlayback][0][0].assign(kPeriod, 102);
  ASSERT_TRUE(mixer_.QueueOutputReady(0, kPeriod, engine::PeriodNumber(periods_)));
  EXPECT_EQ(Play()[0], 0) << "period 1 unanswered: silence, not the half being written";
  client_[2][kPlayback][0][1].assign(kPeriod, 101);
  ASSERT_TRUE(mixer_.QueueOutputReady(1, kPeriod, engine::PeriodNumber(periods_)));
  EXPECT_EQ(Play()[0], 102);
  Record(0);
  EXPECT_EQ(Play()[0], 0) << "period 3 unanswered; the stale answer to period 1 is not played";
  EXPECT_EQ(mixer_.queue().fill, 0u) << "the stale answer was dropped";
  EXPECT_EQ(mixer_.pairing().latePeriods, 2u);
}

TEST_F(PortMixerTest, OutputReadyRefusesBadHalvesAndAFullQueue) {
  EXPECT_FALSE(mixer_.QueueOutputReady(0, kPeriod, 1)) << "no playback channel open";
  Open(2, kPlayback, 0);
  EXPECT_FALSE(mixer_.QueueOutputReady(0, kPeriod, 0)) << "no period handed out yet";
  EXPECT_FALSE(mixer_.QueueOutputReady(1, kPeriod, 1)) << "half 1 was not handed out yet";
  EXPECT_FALSE(mixer_.QueueOutputReady(2, kPeriod, 1)) << "half index from the command record";
  for (int i = 0; i < 10; ++i) ASSERT_TRUE(mixer_.QueueOutputReady(0, kPeriod, 1)) << i;
  EXPECT_FALSE(mixer_.QueueOutputReady(0, kPeriod, 1)) << "eleventh slot";
  EXPECT_EQ(mixer_.queue().fill, 10u);
}

TEST_F(PortMixerTest, RegistrationAndOpenRefuseOutOfRangeIndexes) {
  struct Row {
    uint32_t port, direction, channel, half;
  };
  const Row rows[] = {{4, 0, 0, 0}, {0, 2, 0, 0}, {0, 0, 2, 0}, {0, 0, 0, 2}};
  int32_t sample = 0;
  for (const Row& r : rows) {
    EXPECT_FALSE(mixer_.RegisterHalf(r.port, r.direction, r.channel, r.half, {&sample, 1}))
        << r.port << "/" << r.direction << "/" << r.channel << "/" << r.half;
    if (r.half == 0) {
      EXPECT_FALSE(mixer_.SetChannelOpen(r.port, r.direction, r.channel, true));
    }
  }
  EXPECT_FALSE(mixer_.AnyOpen());
}

}  // namespace
