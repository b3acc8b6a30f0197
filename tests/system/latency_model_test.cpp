// The latency model: L = 2P + W*B + D for every shape the engine takes, and
// refusals for the shapes it does not.
#include <gtest/gtest.h>

#include "platform/sim/latency_model.h"

namespace tqm::sim {
namespace {

TEST(LatencyModel, PredictsTheRoundTrip) {
  struct Row {
    const char* why;
    PipelineShape shape;
    bool valid;
    uint32_t packets, baseFrames;
    uint64_t frames;
  };
  const Row rows[] = {
      // 256 = 5 packets of 48 plus a carry: 2*256 + 2*240 + 32.
      {"48 kHz, 256, 2 requests", {48000, 256, 2, 32}, true, 5, 240, 1024},
      // A period that is a multiple of B keeps the same lead: 2*240 + 2*240 + 32.
      {"48 kHz, 240, 2 requests", {48000, 240, 2, 32}, true, 5, 240, 992},
      {"48 kHz, 240, 9 requests", {48000, 240, 9, 32}, true, 5, 240, 2672},
      // At 44.1 kHz a packet counts 44 frames and a request needs room for 45:
      // 256 / 45 = 5 packets, B = 220: 2*256 + 2*220.
      {"44.1 kHz, 256, 2 requests", {44100, 256, 2, 0}, true, 5, 220, 952},
      {"96 kHz, 96, 2 requests", {96000, 96, 2, 32}, true, 1, 96, 416},
      // 64 frames hold no 96 kHz packet: the engine refuses the period.
      {"96 kHz, 64", {96000, 64, 2, 0}, false, 0, 0, 0},
      // At 44.1 kHz a request needs 45 frames of room: 44 holds none.
      {"44.1 kHz, 44", {44100, 44, 2, 0}, false, 0, 0, 0},
      // 88.2 kHz is no rate of the device.
      {"88.2 kHz", {88200, 256, 2, 0}, false, 0, 0, 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.why);
    const LatencyPrediction p = PredictLatency(row.shape);
    EXPECT_EQ(p.valid, row.valid) << p.why;
    if (!row.valid) continue;
    EXPECT_EQ(p.packetsPerRequest, row.packets);
    EXPECT_EQ(p.baseFrames, row.baseFrames);
    EXPECT_EQ(p.halfLead, 2u);
    EXPECT_EQ(p.frames, row.frames);
  }
}

}  // namespace
}  // namespace tqm::sim
