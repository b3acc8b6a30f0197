// The round trip of the loopback as the pipeline predicts it, in frames.
//
// A frame the stream client writes into its output half comes back in its
// record stream L frames later:
//
//     L = d * P + W * B + D
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
//   d  how many playback halves the engine's half sequence runs ahead of the
//      client's periods: client period k is played as engine half k + d.
//
// d follows from the start of the stream. Both streams start in one bus
// frame. Record period k ends in the frame whose IN packet completes
// (k + 1) * P record frames (the device's own count per millisecond); the
// client answers at once with its output half and OutputReady. Playback
// request i completes at the end of frame (i + 1) * N - 1; the completion that
// finds the next request would run past the current half carries the rest
// over and the next completion mixes the following half: from the queue of
// OutputReady halves while it holds one, else the client half by the port's
// toggle; the queue takes halves only once port 2 has been mixed once. In a
// frame the OUT completion runs before the IN completion. Playing these rules
// forward gives, for every engine half, the client period it carries; d is
// their difference once the start is over.
#pragma once

#include <cstdint>
#include <string>

namespace tqm::sim {

struct PipelineShape {
  uint32_t rate = 48000;
  uint32_t periodFrames = 256;  // P
  uint32_t requestCount = 2;    // W
  uint32_t loopDelay = 0;       // D
  // The device's frame number of the streams' first bus frame: at 44.1 kHz
  // the device's 44/45-frame pattern depends on it.
  uint64_t startFrame = 0;
};

struct LatencyPrediction {
  bool valid = false;           // false for a rate or period the engine refuses
  uint32_t packetsPerRequest = 0;  // N
  uint32_t baseFrames = 0;         // B
  uint32_t halfLead = 0;           // d
  uint64_t frames = 0;             // L
  // Engine halves after the first played period that do not carry the period
  // after their predecessor's (the queue was empty at the mix, so a stale
  // client half played): each is an audible repeat, and the loop is not
  // bit-exact. settledHalf is the engine half of the last one.
  uint32_t glitches = 0;
  uint32_t settledHalf = 0;
  std::string why;                 // when not valid
};

LatencyPrediction PredictLatency(const PipelineShape& shape);

}  // namespace tqm::sim
