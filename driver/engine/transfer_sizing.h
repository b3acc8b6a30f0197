// Transfer sizing and 44.1 kHz pacing of the isochronous streams.
//
// At full speed one packet crosses the bus per 1 ms frame. The record stream keeps
// single-packet requests so that a period boundary is seen within 1 ms; each
// record packet has room for K + 2 frames (K + 4 at 44.1 kHz, whose packets carry
// 44 or 45). The playback stream sends N packets of K frames per request, where N
// is the number of whole packets a period holds. 44.1 kHz is not a whole number
// of frames per millisecond: the pacer adds one frame to a request whenever ten
// milliseconds' worth of packets have gone by, which gives exactly 441 frames per
// 10 ms; the extra frame rides in the request's last packet, because playback
// packets are described by their offsets only and the last one takes the rest.
//
// The schedule is recomputed whenever the rate, period, width or channel count
// changes and before every start; the pacer lives in the playback completion
// path under the playback lock.
#pragma once

#include <stdint.h>

namespace engine {

struct StreamFormat {
  uint32_t rate;            // 44100, 48000 or 96000
  uint32_t periodFrames;    // P
  uint32_t playWidth;       // bytes per packed sample
  uint32_t playChannels;
  uint32_t recordWidth;
  uint32_t recordChannels;
};

struct TransferSchedule {
  uint32_t framesPerPacket;      // K = rate / 1000
  uint32_t playPackets;          // N packets per playback request
  uint32_t playBaseFrames;       // B = N * K
  uint32_t playPacketStride;     // bytes between playback packet offsets
  uint32_t playBytesPerRequest;  // N * stride (one frame more when the pacer says so)
  uint32_t recordPackets;        // 1
  uint32_t recordPacketSize;     // bytes
  uint32_t recordBytesPerRequest;
};

constexpr bool IsSupportedRate(uint32_t rate) {
  return rate == 44100 || rate == 48000 || rate == 96000;
}

// Fills the schedule for a format. Refuses (false, schedule untouched) a rate
// other than the three the device has, and a period too short to hold one
// playback packet, which would give playback requests without packets.
bool ComputeSchedule(const StreamFormat& format, TransferSchedule* schedule);

// The 44.1 kHz accumulator. One playback request is built per completion:
//   pacer.Advance();                 // before refilling
//   frames = pacer.CurrentFrames();  // B or B + 1
//   ... look ahead with NextFrames() to see whether the half has room ...
//   pacer.Wrap();                    // after the request is rebuilt
class Pacer {
 public:
  void Reset(const TransferSchedule& schedule, uint32_t rate) {
    accumulator_ = 0;
    packets_ = schedule.playPackets;
    baseFrames_ = schedule.playBaseFrames;
    paced_ = rate == 44100;
  }
  void Clear() { accumulator_ = 0; }
  void Advance() { accumulator_ += packets_; }
  bool ExtraFrameDue() const { return paced_ && accumulator_ >= 10; }
  uint32_t CurrentFrames() const { return baseFrames_ + (ExtraFrameDue() ? 1 : 0); }
  // The size of the request after this one, as the look-ahead needs it.
  uint32_t NextFrames() const {
    const uint32_t wrapped = accumulator_ >= 10 ? accumulator_ - 10 : accumulator_;
    return baseFrames_ + (paced_ && wrapped + packets_ >= 10 ? 1 : 0);
  }
  void Wrap() {
    if (accumulator_ > 9) accumulator_ -= 10;
  }
  uint32_t accumulator() const { return accumulator_; }

 private:
  uint32_t accumulator_ = 0;
  uint32_t packets_ = 0;
  uint32_t baseFrames_ = 0;
  bool paced_ = false;
};

}  // namespace engine
