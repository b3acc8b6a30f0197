// The loop signal and its analyser (loop_signal.h).
#include "platform/sim/loop_signal.h"

namespace tqm::sim {

namespace {

constexpr uint32_t kRightPattern = 0x2A5A;
constexpr uint64_t kCounterSpan = 1u << 16;

uint32_t Counter(int32_t sample, uint32_t channel) {
  return ((uint32_t(sample) >> 16) ^ (channel ? kRightPattern : 0)) & 0xFFFF;
}

}  // namespace

int32_t LoopSample(uint64_t frame, uint32_t channel) {
  const uint64_t n = frame + 1;
  uint32_t counter = uint32_t(n % kCounterSpan);
  if (channel) counter ^= kRightPattern;
  // The low bit of the epoch byte is always set: no sample is ever zero.
  const uint32_t epoch = (uint32_t((n / kCounterSpan) * 37 + channel * 101) & 0x7F) << 1 | 1;
  return int32_t(counter << 16 | epoch << 8);
}

void LoopAnalyser::Feed(const int32_t* left, const int32_t* right, uint32_t frames) {
  for (uint32_t i = 0; i < frames; ++i, ++frames_) {
    const int32_t got[2] = {left[i], right[i]};
    const bool silent = got[0] == 0 && got[1] == 0;
    if (!latency_ && silent) continue;  // still the lead-in
    // The counter names the played frame modulo 2^16; the round trip is far
    // shorter than that.
    const uint64_t named = (Counter(got[0], 0) + kCounterSpan - 1) % kCounterSpan;
    const uint64_t roundTrip = (frames_ % kCounterSpan + kCounterSpan - named) % kCounterSpan;
    if (!latency_) firstLatency_ = latency_ = roundTrip;
    ++compared_;
    bool same16 = frames_ >= *latency_, same24 = same16;
    if (same16) {
      const uint64_t played = frames_ - *latency_;
      for (uint32_t c = 0; c < 2; ++c) {
        const uint32_t want = uint32_t(LoopSample(played, c)), have = uint32_t(got[c]);
        same16 = same16 && (want >> 16) == (have >> 16);
        same24 = same24 && (want >> 8) == (have >> 8);
      }
    }
    if (!same16) {
      ++mismatches16_;
      if (!first16_) first16_ = frames_;
      if (!silent && roundTrip != *latency_) {
        latency_ = roundTrip;
        ++shifts_;
      }
    }
    if (!same24) {
      ++mismatches24_;
      if (!first24_) first24_ = frames_;
    }
  }
}

}  // namespace tqm::sim
