// Transfer sizing; see transfer_sizing.h for the packet model.
#include "driver/engine/transfer_sizing.h"

#include "tqm/transfer_sizing.h"

namespace engine {

bool ComputeSchedule(const StreamFormat& format, TransferSchedule* schedule) {
  if (!IsSupportedRate(format.rate)) return false;
  const uint32_t k = tqm::FramesPerPacket(format.rate);
  // The rule the ASIO driver's latencies rely on lives in common/.
  const uint32_t packets = tqm::PlaybackPacketsPerRequest(format.rate, format.periodFrames);
  if (packets == 0) return false;

  TransferSchedule s{};
  s.framesPerPacket = k;
  s.playPackets = packets;
  s.playBaseFrames = packets * k;
  s.playPacketStride = format.playWidth * k * format.playChannels;
  s.playBytesPerRequest = packets * s.playPacketStride;
  s.recordPackets = 1;
  const uint32_t headroom = 2 + (format.rate == 44100 ? 2 : 0);
  s.recordPacketSize = (k + headroom) * format.recordWidth * format.recordChannels;
  s.recordBytesPerRequest = s.recordPacketSize;
  *schedule = s;
  return true;
}

}  // namespace engine
