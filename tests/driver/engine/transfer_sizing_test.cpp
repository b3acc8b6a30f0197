#include <gtest/gtest.h>

#include "driver/engine/transfer_sizing.h"
#include "tqm/transfer_sizing.h"

namespace {

TEST(TransferSizing, SchedulePerRateAndPeriod) {
  struct Row {
    uint32_t rate, period, playWidth, recordWidth;
    uint32_t packets, baseFrames, stride, playBytes, recordPacket;
    const char* why;
  };
  const Row rows[] = {
      // N = 256 / 48 = 5, B = 240, stride = 3 * 48 * 2 = 288, record (48 + 2) * 3 * 2
      {48000, 256, 3, 3, 5, 240, 288, 1440, 300, "48 kHz 24-bit, the worked example"},
      // N = 256 / 45 = 5 (packets may carry 45), B = 5 * 44, record (44 + 4) * 3 * 2
      {44100, 256, 3, 3, 5, 220, 264, 1320, 288, "44.1 kHz divides by 45"},
      // 96 kHz records 16-bit: N = 288 / 96 = 3, record (96 + 2) * 2 * 2
      {96000, 288, 3, 2, 3, 288, 576, 1728, 392, "96 kHz, record at 2 bytes"},
      // 16-bit playback at 48 kHz: stride 2 * 48 * 2
      {48000, 64, 2, 3, 1, 48, 192, 192, 300, "shortest period holding one packet"},
      {44100, 45, 3, 3, 1, 44, 264, 264, 288, "45 frames: one 44-frame packet"},
  };
  for (const Row& r : rows) {
    engine::TransferSchedule s{};
    ASSERT_TRUE(engine::ComputeSchedule({r.rate, r.period, r.playWidth, 2, r.recordWidth, 2}, &s))
        << r.why;
    EXPECT_EQ(s.playPackets, r.packets) << r.why;
    EXPECT_EQ(s.playBaseFrames, r.baseFrames) << r.why;
    EXPECT_EQ(s.playPacketStride, r.stride) << r.why;
    EXPECT_EQ(s.playBytesPerRequest, r.playBytes) << r.why;
    EXPECT_EQ(s.recordPacketSize, r.recordPacket) << r.why;
    EXPECT_EQ(s.recordBytesPerRequest, r.recordPacket) << r.why;
    EXPECT_EQ(s.recordPackets, 1u) << r.why;
  }
}

// The ASIO driver reports its latencies with the shared rule: it must give
// the request size the engine uses for every rate and every period.
TEST(TransferSizing, SharedRuleGivesTheEnginesRequestSize) {
  for (uint32_t rate : {44100u, 48000u, 96000u}) {
    for (uint32_t period = 1; period <= 2048; ++period) {
      engine::TransferSchedule s{};
      const bool sized = engine::ComputeSchedule({rate, period, 3, 2, 3, 2}, &s);
      EXPECT_EQ(sized ? s.playBaseFrames : 0u, tqm::PlaybackFramesPerRequest(rate, period))
          << rate << " Hz, period " << period;
      if (sized) EXPECT_EQ(s.framesPerPacket, tqm::FramesPerPacket(rate));
    }
  }
}

TEST(TransferSizing, RefusesRatesAndPeriodsWithoutAPacket) {
  struct Row {
    uint32_t rate, period;
    const char* why;
  };
  const Row rows[] = {
      {0, 256, "a zero rate would divide by zero further on"},
      {32000, 256, "the device has no 32 kHz"},
      {44100, 44, "44 frames at 44.1 kHz hold no 45-frame packet"},
      {48000, 47, "below one 48-frame packet"},
      {96000, 95, "below one 96-frame packet"},
  };
  for (const Row& r : rows) {
    engine::TransferSchedule s{};
    s.playPackets = 77;
    EXPECT_FALSE(engine::ComputeSchedule({r.rate, r.period, 3, 2, 3, 2}, &s)) << r.why;
    EXPECT_EQ(s.playPackets, 77u) << r.why << ": schedule changed on refusal";
  }
}

// Runs the pacer as the playback completions do and counts frames over a second.
TEST(Pacer, DeliversTheRateExactlyOverOneSecond) {
  struct Row {
    uint32_t rate, period;
  };
  const Row rows[] = {{44100, 256}, {44100, 288}, {44100, 64}, {44100, 45},
                      {48000, 256}, {96000, 288}, {96000, 100}};
  for (const Row& r : rows) {
    engine::TransferSchedule s{};
    ASSERT_TRUE(engine::ComputeSchedule({r.rate, r.period, 3, 2, 3, 2}, &s));
    engine::Pacer pacer;
    pacer.Reset(s, r.rate);
    uint64_t frames = 0, milliseconds = 0;
    while (milliseconds < 1000 * s.playPackets) {  // a whole number of requests
      pacer.Advance();
      const uint32_t predicted = pacer.NextFrames();
      frames += pacer.CurrentFrames();
      milliseconds += s.playPackets;
      pacer.Wrap();
      engine::Pacer probe = pacer;  // what the next completion will build
      probe.Advance();
      ASSERT_EQ(probe.CurrentFrames(), predicted) << "look-ahead disagrees at " << milliseconds << " ms";
    }
    EXPECT_EQ(frames, uint64_t(r.rate) * s.playPackets)
        << r.rate << " Hz, period " << r.period << ": frames over " << milliseconds << " ms";
  }
}

// 44.1 kHz, period 256: N = 5, B = 220; every second request carries 221, so ten
// requests carry 2205 frames (50 ms).
TEST(Pacer, AlternatesAt44100Period256) {
  engine::TransferSchedule s{};
  ASSERT_TRUE(engine::ComputeSchedule({44100, 256, 3, 2, 3, 2}, &s));
  engine::Pacer pacer;
  pacer.Reset(s, 44100);
  uint32_t total = 0;
  for (int i = 0; i < 10; ++i) {
    pacer.Advance();
    const uint32_t frames = pacer.CurrentFrames();
    EXPECT_EQ(frames, i % 2 ? 221u : 220u) << "request " << i;
    total += frames;
    pacer.Wrap();
  }
  EXPECT_EQ(total, 2205u);
}

}  // namespace
