// The round trip of the loopback as the pipeline predicts it, in frames.
//
// A frame the stream client writes into its output half comes back in its
// record stream L frames later:
//
//     L = 2 * P + W * B + D
//
//   P  the period (status word 0);
//   W  playback requests in flight (status word 5), each of N packets and
//      B = N * K frames (K = rate / 1000, 44 at 44.1 kHz; N = P / K, P / 45 at
//      44.1 kHz). The W requests put down at stream start carry silence, so
//      every played frame reaches the bus W * B frames behind its place in the
//      engine's playback stream;
//   D  the device's loopback delay: the first OUT frame comes back as the
//      (D + 1)-th frame captured in the millisecond it arrived in, and both
//      streams start in the same bus frame;
//   2  the engine's lead in halves: it numbers record periods and playback
//      fills from the stream start, and fill f (engine half f + 1; half 0 is
//      silence) plays client period f - 1, the one the client finished a whole
//      period before. Client period k is played as engine half k + 2, for
//      every rate, period and request count, whether the client answers with
//      OutputReady, answers late, or never does.
#pragma once

#include <cstdint>
#include <string>

namespace tqm::sim {

struct PipelineShape {
  uint32_t rate = 48000;
  uint32_t periodFrames = 256;  // P
  uint32_t requestCount = 2;    // W
  uint32_t loopDelay = 0;       // D
};

struct LatencyPrediction {
  bool valid = false;              // false for a rate or period the engine refuses
  uint32_t packetsPerRequest = 0;  // N
  uint32_t baseFrames = 0;         // B
  uint32_t halfLead = 0;           // the lead in halves (2)
  uint64_t frames = 0;             // L
  std::string why;                 // when not valid
};

LatencyPrediction PredictLatency(const PipelineShape& shape);

}  // namespace tqm::sim
