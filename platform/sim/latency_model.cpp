// The closed form of the loopback's round trip (latency_model.h).
#include "platform/sim/latency_model.h"

namespace tqm::sim {

namespace {

constexpr uint32_t kHalfLead = 2;

}  // namespace

LatencyPrediction PredictLatency(const PipelineShape& shape) {
  LatencyPrediction out;
  const uint32_t rate = shape.rate;
  if (rate != 44100 && rate != 48000 && rate != 96000) {
    out.why = "unsupported rate";
    return out;
  }
  const uint32_t k = rate / 1000;
  const uint32_t p = shape.periodFrames;
  const uint32_t n = rate == 44100 ? p / 45 : p / k;
  if (n == 0) {
    out.why = "period shorter than one packet";
    return out;
  }
  out.packetsPerRequest = n;
  out.baseFrames = n * k;
  out.halfLead = kHalfLead;
  out.frames = uint64_t(kHalfLead) * p + uint64_t(shape.requestCount) * out.baseFrames + shape.loopDelay;
  out.valid = true;
  return out;
}

}  // namespace tqm::sim
