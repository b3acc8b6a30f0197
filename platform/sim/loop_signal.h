// The signal the simulator's stream client plays, and the analyser that finds
// it again in what the client records.
//
// Frame x of channel c carries a counter in its top 16 bits ((x + 1) mod 2^16,
// channel 1 XORed with a fixed pattern so a channel swap shows) and, in bits
// 15..8, a byte that changes with the counter's wraps, so a comparison at
// 24 bits sees more than the 16-bit counter. Bits 7..0 are zero: the device
// carries at most 24 bits. No sample is zero, so the silent lead-in of a
// recording (what the pipeline held before the first played frame came back)
// is told apart from the signal by value.
//
// From the first non-silent recorded frame the analyser reads which played
// frame it is (the counter), so the round trip in frames is known even when
// the pipeline dropped the first periods. Every later frame must be the
// played frame after its predecessor's. One that is not is either a
// discontinuity (it is exactly another played frame: a period repeated or
// skipped, which the analyser follows from there; or the start of a silent
// gap, a lost stretch, after which the signal is expected where time has
// moved it) or a corrupted frame (no played frame has those bits, including a
// frame whose counter names a frame not played yet). Frames are compared at 16
// and at 24 bits, so the caller picks the width the loop carried after the
// fact (the narrower of the two streams' widths).
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

namespace tqm::sim {

int32_t LoopSample(uint64_t frame, uint32_t channel);

class LoopAnalyser {
 public:
  // The next `frames` recorded frames of both channels (each a run of 32-bit
  // samples with stride 1).
  void Feed(const int32_t* left, const int32_t* right, uint32_t frames);
  // The streams restarted once the client had played `playedBefore` frames.
  // The recording may go on with the old sequence until it falls silent; the
  // first signal after the silence must be a frame played after the restart
  // (anything older was kept across it: a fault), and from there every frame
  // is checked again, at the new round trip.
  void Restart(uint64_t playedBefore);
  uint64_t restarts() const { return restarts_; }

  uint64_t framesSeen() const { return frames_; }
  // Frames between a played frame and the same frame recorded, as it is now
  // (following the recording at widthBits) and as it was when the signal
  // first came back; none before that.
  std::optional<uint64_t> latency(uint32_t widthBits) const {
    const Track& t = widthBits <= 16 ? track16_ : track24_;
    if (!t.next) return std::nullopt;
    return frames_ - *t.next;
  }
  std::optional<uint64_t> firstLatency() const { return firstLatency_; }
  // Frames compared since the signal came back.
  uint64_t framesCompared() const { return compared_; }

  // widthBits is 16 or 24.
  struct Faults {
    uint64_t discontinuities = 0;  // the recording jumped to another played frame or to silence
    uint64_t corrupted = 0;        // frames no played frame matches
    std::optional<uint64_t> first; // recorded frame of the first fault
    std::vector<uint64_t> where;   // recorded frames of the first few discontinuities
  };
  const Faults& faults(uint32_t widthBits) const { return widthBits <= 16 ? track16_.faults : track24_.faults; }
  bool BitExact(uint32_t widthBits) const {
    const Faults& f = faults(widthBits);
    return firstLatency_ && compared_ > 0 && f.discontinuities == 0 && f.corrupted == 0;
  }

 private:
  struct Track {
    Faults faults;
    std::optional<uint64_t> next;  // the played frame expected next
    bool silent = false;           // inside a silent gap
  };
  void Check(Track& track, uint32_t shift, const int32_t got[2], bool silent, uint64_t named);

  uint64_t frames_ = 0;
  uint64_t restarts_ = 0;
  // After a restart: the oldest frame the recording may bring back, and
  // whether the old sequence has ended (a silent frame was recorded).
  std::optional<uint64_t> relockFrom_;
  bool relockSilent_ = false;
  std::optional<uint64_t> firstLatency_;
  uint64_t compared_ = 0;
  Track track16_, track24_;
};

}  // namespace tqm::sim
