// The latency model against pipelines worked through by hand. Frame numbers
// count from the streams' first bus frame; playback request i completes at
// the end of frame (i + 1) * N - 1, record period k at the end of frame
// ceil((k + 1) * P / K) - 1, the OUT completion first.
#include <gtest/gtest.h>

#include "platform/sim/latency_model.h"

namespace tqm::sim {
namespace {

TEST(LatencyModel, PredictsTheRoundTripOfHandWorkedPipelines) {
  struct Row {
    const char* why;
    PipelineShape shape;
    bool valid;
    uint32_t packets, baseFrames, halfLead;
    uint64_t frames;
    uint32_t glitches, settledHalf;
  };
  const Row rows[] = {
      // 240 = 5 packets of 48: period k ends in frame 5k + 4, the mix of half
      // m in frame 5m + 4. Period 0 ends with the first completion, before
      // any mix, so the first mix takes client half 0 = period 0 (lead 1);
      // each later period is queued 5 frames before its mix. 240 + 2*240 + 32.
      {"48 kHz, 240, 2 requests", {48000, 240, 2, 32, 0}, true, 5, 240, 1, 752, 0, 0},
      // The same with 9 requests in flight: 240 + 9*240 + 32.
      {"48 kHz, 240, 9 requests", {48000, 240, 9, 32, 0}, true, 5, 240, 1, 2432, 0, 0},
      // 256 = 5 packets of 48 plus a carry: lead 1 from the start, until the
      // mix of half 13 (frame 69) and the end of period 12 (frame 69) fall in
      // one frame; the queue is empty at that mix, client half 0 still holds
      // period 10, and from then on the lead is 2: 2*256 + 2*240.
      {"48 kHz, 256, 2 requests", {48000, 256, 2, 0, 0}, true, 5, 240, 2, 992, 1, 13},
      // 64 = one packet of 48 plus a carry: the first mix (frame 1) comes
      // just before period 0 ends, plays silence and arms the queue; period 0
      // plays in half 2: 2*64 + 2*48.
      {"48 kHz, 64, 2 requests", {48000, 64, 2, 0, 0}, true, 1, 48, 2, 224, 0, 0},
      // 64 frames hold no 96 kHz packet: the engine refuses the period.
      {"96 kHz, 64", {96000, 64, 2, 0, 0}, false, 0, 0, 0, 0, 0, 0},
      // At 44.1 kHz a request needs 45 frames of room: 44 holds none.
      {"44.1 kHz, 44", {44100, 44, 2, 0, 0}, false, 0, 0, 0, 0, 0, 0},
      // 88.2 kHz is no rate of the device.
      {"88.2 kHz", {88200, 256, 2, 0, 0}, false, 0, 0, 0, 0, 0, 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.why);
    const LatencyPrediction p = PredictLatency(row.shape);
    EXPECT_EQ(p.valid, row.valid) << p.why;
    if (!row.valid) continue;
    EXPECT_EQ(p.packetsPerRequest, row.packets);
    EXPECT_EQ(p.baseFrames, row.baseFrames);
    EXPECT_EQ(p.halfLead, row.halfLead);
    EXPECT_EQ(p.frames, row.frames);
    EXPECT_EQ(p.glitches, row.glitches);
    EXPECT_EQ(p.settledHalf, row.settledHalf);
  }
}

}  // namespace
}  // namespace tqm::sim
