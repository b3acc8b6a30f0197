// The pipeline model behind PredictLatency (latency_model.h): the start of a
// stream played forward frame by frame, with the rules of the engine's
// playback and record sides and the client's answer to each period.
#include "platform/sim/latency_model.h"

#include <algorithm>
#include <deque>
#include <vector>

namespace tqm::sim {

namespace {

constexpr uint32_t kQueueSlots = 10;
constexpr int64_t kSilence = -1;

// Frames the device's sample clock moves in absolute frame n.
uint32_t DeviceFramesIn(uint32_t rate, uint64_t n) {
  return uint32_t((n + 1) * rate / 1000 - n * rate / 1000);
}

}  // namespace

LatencyPrediction PredictLatency(const PipelineShape& shape) {
  LatencyPrediction out;
  const uint32_t rate = shape.rate;
  if (rate != 44100 && rate != 48000 && rate != 96000) {
    out.why = "unsupported rate";
    return out;
  }
  const bool paced = rate == 44100;
  const uint32_t k = rate / 1000;
  const uint32_t p = shape.periodFrames;
  const uint32_t n = paced ? p / 45 : p / k;
  if (n == 0) {
    out.why = "period shorter than one packet";
    return out;
  }
  const uint32_t b = n * k;
  out.packetsPerRequest = n;
  out.baseFrames = b;

  // Playback side.
  uint64_t consumed = 0;     // engine playback frames taken by completions
  uint32_t accumulator = 0;  // the 44.1 kHz pacer
  uint64_t nextBoundary = p; // end of the engine half being played
  bool halfFinished = false;
  // Port 2 and its output-ready queue.
  std::deque<int64_t> queue;
  bool armed = false;
  uint32_t toggle = 0;
  int64_t clientHalf[2] = {kSilence, kSilence};
  // Record side.
  uint64_t recorded = 0;
  uint64_t nextPeriod = 0;

  std::vector<int64_t> played;  // played[m - 1]: client period in engine half m
  const uint64_t frames = std::max<uint64_t>(2000, 64ull * p / k + 4ull * n);
  uint64_t completion = 0;
  for (uint64_t f = 0; f < frames; ++f) {
    // The OUT completion of the frame, if a request ends in it.
    if ((completion + 1) * n - 1 == f) {
      if (halfFinished) {
        int64_t source;
        if (!queue.empty()) {
          source = queue.front();
          queue.pop_front();
        } else {
          source = clientHalf[toggle];
        }
        toggle ^= 1;
        armed = true;
        played.push_back(source);
        halfFinished = false;
      }
      accumulator += n;
      consumed += b + (paced && accumulator >= 10 ? 1 : 0);
      const uint32_t wrapped = accumulator >= 10 ? accumulator - 10 : accumulator;
      const uint32_t next = b + (paced && wrapped + n >= 10 ? 1 : 0);
      if (consumed + next >= nextBoundary) {
        halfFinished = true;
        nextBoundary += p;
      }
      if (accumulator > 9) accumulator -= 10;
      ++completion;
    }
    // Then the IN packet, and the periods it completes.
    recorded += DeviceFramesIn(rate, shape.startFrame + f);
    while (recorded >= (nextPeriod + 1) * p) {
      const uint32_t half = uint32_t(nextPeriod % 2);
      clientHalf[half] = int64_t(nextPeriod);
      if (armed && queue.size() < kQueueSlots) queue.push_back(int64_t(nextPeriod));
      ++nextPeriod;
    }
  }

  if (played.empty() || played.back() == kSilence) {
    out.why = "no client period reached the playback side";
    return out;
  }
  const int64_t lead = int64_t(played.size()) - played.back();
  // A glitch is an engine half that does not carry the period after the
  // latest one played: a stale client half played again (the queue was empty
  // at the mix), or a period skipped.
  int64_t latest = kSilence;
  for (size_t i = 0; i < played.size(); ++i) {
    if (played[i] == kSilence && latest == kSilence) continue;
    if (latest != kSilence && played[i] != latest + 1) {
      ++out.glitches;
      out.settledHalf = uint32_t(i + 1);
    }
    latest = std::max(latest, played[i]);
  }
  out.halfLead = uint32_t(lead);
  out.frames = uint64_t(lead) * p + uint64_t(shape.requestCount) * b + shape.loopDelay;
  out.valid = true;
  return out;
}

}  // namespace tqm::sim
