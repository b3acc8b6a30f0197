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
  std::vector<int32_t> Play() {
    std::vector<int32_t> half(kPeriod * kChannels, 0);
    mixer_.FillPlaybackHalf(half.data(), kPeriod);
    return half;
  }

  void Record(int32_t base) {
    std::vector<int32_t> half(kPeriod * kChannels);
    for (uint32_t f = 0; f < kPeriod; ++f)
      for (uint32_t c = 0; c < kChannels; ++c) half[f * kChannels + c] = base + int32_t(c << 12 | f);
    mixer_.DistributeRecordHalf(half.data(), kPeriod);
  }

  std::vector<int32_t> rings_, queue_;
  std::vector<int32_t> client_[3][2][2][2];
  tqm::DeviceStatusBlock status_{};
  tqm::PatchTable patch_{};
  engine::PortMixer mixer_;
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

// Port 0's playback reaches port 2's record channel through the loop ring, one
// record period later and bit for bit.
TEST_F(PortMixerTest, LoopbackCarriesPlaybackIntoAnotherPortsRecord) {
  Open(0, kPlayback, 1);
  Open(2, kRecord, 0);
  Route(0, 1, 2, 0);
  Play();  // port 0 half 0 goes into ring (2, 0), slot 0
  Record(0);
  for (uint32_t f = 0; f < kPeriod; ++f)
    ASSERT_EQ(client_[2][kRecord][0][0][f], Tag(0, 1, 0, f)) << "frame " << f;
  EXPECT_EQ(mixer_.port(2).ringRead[kRecord][0], 1u);
  // the slot that was read is cleared for the next round
  EXPECT_EQ(mixer_.RingSlot(2, 0, 0)[5], 0);
}

// An empty ring (read index = write index) is read at the same slot again.
TEST_F(PortMixerTest, EmptyRingIsReadInPlace) {
  Open(2, kRecord, 0);
  Route(0, 0, 2, 0);  // fan-in set, but port 0 is not playing
  Record(0);
  Record(0);
  EXPECT_EQ(mixer_.port(2).ringRead[kRecord][0], 0u);
  for (uint32_t f = 0; f < kPeriod; ++f) ASSERT_EQ(client_[2][kRecord][0][1][f], 0) << "frame " << f;
}

// Port 3 taps the device input into port 1's record channel.
TEST_F(PortMixerTest, InputTapFeedsAnotherPortsRecord) {
  Open(1, kRecord, 0);
  Route(3, 1, 1, 0);
  Record(1000);  // tap writes device channel 1 into ring (1, 0) at its read index
  Record(0);     // port 1 now reads it
  for (uint32_t f = 0; f < kPeriod; ++f)
    ASSERT_EQ(client_[1][kRecord][0][1][f], 1000 + int32_t(1 << 12 | f)) << "frame " << f;
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

// The ASIO client's OutputReady halves are played in order; a period that finds
// the queue empty plays the client half itself, never an old slot.
TEST_F(PortMixerTest, OutputReadyQueueNeverReplaysAnOldSlot) {
  Open(2, kPlayback, 0);
  EXPECT_FALSE(mixer_.QueueOutputReady(0, kPeriod)) << "not armed before the first mix";
  Play();  // arms the queue

  // Ten periods with OutputReady in time; each half holds its period's number.
  for (int32_t period = 0; period < 10; ++period) {
    const uint32_t h = uint32_t(period) % 2;
    client_[2][kPlayback][0][h].assign(kPeriod, 100 + period);
    ASSERT_TRUE(mixer_.QueueOutputReady(h, kPeriod)) << "period " << period;
    EXPECT_EQ(Play()[0], 100 + period) << "period " << period;
  }
  // OutputReady is late: the client's own half plays (toggle is back at 1).
  client_[2][kPlayback][0][1].assign(kPeriod, -5);
  EXPECT_EQ(Play()[0], -5) << "an empty queue must not replay slot " << mixer_.queue().read;
  EXPECT_FALSE(mixer_.queue().Active());
}

TEST_F(PortMixerTest, OutputReadyRefusesBadHalvesAndAFullQueue) {
  Open(2, kPlayback, 0);
  Play();
  EXPECT_FALSE(mixer_.QueueOutputReady(2, kPeriod)) << "half index from the command record";
  for (int i = 0; i < 10; ++i) ASSERT_TRUE(mixer_.QueueOutputReady(0, kPeriod)) << i;
  EXPECT_FALSE(mixer_.QueueOutputReady(0, kPeriod)) << "eleventh slot";
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
