// The loop analyser on recordings made by hand: what it must call a clean
// loop, a repeated, skipped or lost period, and a corrupted frame.
#include <gtest/gtest.h>

#include <functional>
#include <vector>

#include "platform/sim/loop_signal.h"

namespace tqm::sim {
namespace {

struct Recording {
  std::vector<int32_t> left, right;
  void Silence(uint32_t frames) {
    left.insert(left.end(), frames, 0);
    right.insert(right.end(), frames, 0);
  }
  // Played frames [from, from + frames), as the loop carried them at `bits`.
  void Played(uint64_t from, uint32_t frames, uint32_t bits = 24) {
    const uint32_t keep = bits >= 32 ? 0xFFFFFFFFu : ~((1u << (32 - bits)) - 1);
    for (uint32_t i = 0; i < frames; ++i) {
      left.push_back(int32_t(uint32_t(LoopSample(from + i, 0)) & keep));
      right.push_back(int32_t(uint32_t(LoopSample(from + i, 1)) & keep));
    }
  }
};

TEST(LoopSignal, NoSampleIsSilentAndChannelsDiffer) {
  // Frames around the 16-bit counter's wraps, where the counter part is 0.
  for (uint64_t frame : {0ull, 65534ull, 65535ull, 131071ull, 26459999ull}) {
    EXPECT_NE(LoopSample(frame, 0), 0) << "frame " << frame;
    EXPECT_NE(LoopSample(frame, 1), 0) << "frame " << frame;
    EXPECT_NE(LoopSample(frame, 0), LoopSample(frame, 1)) << "frame " << frame;
    EXPECT_EQ(LoopSample(frame, 0) & 0xFF, 0) << "bits 7..0 are beyond the device's 24";
  }
}

TEST(LoopSignal, AnalyserTellsWhatHappenedToTheLoop) {
  struct Row {
    const char* why;
    std::function<void(Recording&)> make;
    uint32_t width;
    uint64_t firstLatency, latency, discontinuities, corrupted;
    bool exact;
  };
  const Row rows[] = {
      // The clean loop: 300 silent frames, then every played frame in order.
      {"clean", [](Recording& r) { r.Silence(300); r.Played(0, 2000); }, 24, 300, 300, 0, 0, true},
      // The first two periods of 128 never came back: the counter still
      // names the round trip.
      {"first periods dropped", [](Recording& r) { r.Silence(556); r.Played(256, 2000); }, 24, 300, 300, 0, 0, true},
      // A stale period in place of the next one (periods 0..3, then 2 again,
      // then 4 on): the recording jumps back, then forward; the round trip
      // grows by one period.
      {"stale period played",
       [](Recording& r) { r.Silence(300); r.Played(0, 512); r.Played(256, 128); r.Played(512, 1000); }, 24, 300, 428,
       2, 0, false},
      // A period skipped: one jump forward, the round trip shrinks.
      {"period skipped", [](Recording& r) { r.Silence(300); r.Played(0, 640); r.Played(896, 1000); }, 24, 300, 44, 1,
       0, false},
      // A period lost to silence mid-stream, then the signal resumes where
      // time has moved it: one discontinuity, the round trip unchanged.
      {"period lost to silence",
       [](Recording& r) { r.Silence(300); r.Played(0, 640); r.Silence(128); r.Played(768, 1000); }, 24, 300, 300, 1,
       0, false},
      // One frame with bit 10 flipped on the left: corrupted at 24 bits.
      {"bit error at 24 bits",
       [](Recording& r) { r.Silence(300); r.Played(0, 1000); r.left[700] ^= 1 << 10; }, 24, 300, 300, 0, 1, false},
      // The same recording compared at 16 bits: bit 10 is below the width.
      {"bit error below 16 bits",
       [](Recording& r) { r.Silence(300); r.Played(0, 1000); r.left[700] ^= 1 << 10; }, 16, 300, 300, 0, 0, true},
      // A loop that carried 16 bits is exact at 16 and corrupt at 24.
      {"16-bit loop at 16", [](Recording& r) { r.Silence(300); r.Played(0, 1000, 16); }, 16, 300, 300, 0, 0, true},
      {"16-bit loop at 24", [](Recording& r) { r.Silence(300); r.Played(0, 1000, 16); }, 24, 300, 300, 0, 1000, false},
      // Channels swapped: the left counter names frames not played yet, and
      // no played frame has left and right that way round.
      {"channels swapped",
       [](Recording& r) { r.Silence(300); r.Played(0, 1000); std::swap(r.left, r.right); }, 24, 999999, 999999, 0,
       1000, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.why);
    Recording rec;
    row.make(rec);
    LoopAnalyser analyser;
    // Fed in periods of 128, as the client hands them over.
    for (size_t at = 0; at < rec.left.size(); at += 128) {
      const uint32_t n = uint32_t(std::min<size_t>(128, rec.left.size() - at));
      analyser.Feed(rec.left.data() + at, rec.right.data() + at, n);
    }
    const LoopAnalyser::Faults& faults = analyser.faults(row.width);
    EXPECT_EQ(analyser.firstLatency().value_or(999999), row.firstLatency);
    EXPECT_EQ(analyser.latency(row.width).value_or(999999), row.latency);
    EXPECT_EQ(faults.discontinuities, row.discontinuities);
    EXPECT_EQ(faults.corrupted, row.corrupted);
    EXPECT_EQ(analyser.BitExact(row.width), row.exact);
  }
}

TEST(LoopSignal, SilenceOnlyMeasuresNothing) {
  std::vector<int32_t> zeros(4096, 0);
  LoopAnalyser analyser;
  analyser.Feed(zeros.data(), zeros.data(), 4096);
  EXPECT_FALSE(analyser.firstLatency().has_value());
  EXPECT_FALSE(analyser.BitExact(24)) << "a loop that never came back is not bit-exact";
}

}  // namespace
}  // namespace tqm::sim
