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
// the pipeline dropped the first periods; every later frame must then be
// exactly the played frame that many frames earlier. Where one is not, the
// analyser counts the mismatch and takes the round trip anew from the frame's
// counter (a repeated or skipped period shifts it), so one glitch costs the
// frames it spoiled, not the rest of the run. Frames are compared at 16 and at
// 24 bits, so the caller picks the width the loop carried after the fact (the
// narrower of the two streams' widths).
#pragma once

#include <cstdint>
#include <optional>

namespace tqm::sim {

int32_t LoopSample(uint64_t frame, uint32_t channel);

class LoopAnalyser {
 public:
  // The next `frames` recorded frames of both channels (each a run of 32-bit
  // samples with stride 1).
  void Feed(const int32_t* left, const int32_t* right, uint32_t frames);

  uint64_t framesSeen() const { return frames_; }
  // Frames between a played frame and the same frame recorded, as it was
  // last (after any shift) and as it was first; none before the signal came
  // back.
  std::optional<uint64_t> latency() const { return latency_; }
  std::optional<uint64_t> firstLatency() const { return firstLatency_; }
  // Times the round trip changed (a period repeated, skipped or lost).
  uint64_t shifts() const { return shifts_; }
  // Frames compared since the signal came back.
  uint64_t framesCompared() const { return compared_; }
  // widthBits is 16 or 24.
  uint64_t mismatches(uint32_t widthBits) const { return widthBits <= 16 ? mismatches16_ : mismatches24_; }
  std::optional<uint64_t> firstMismatch(uint32_t widthBits) const {
    return widthBits <= 16 ? first16_ : first24_;
  }
  bool BitExact(uint32_t widthBits) const { return latency_ && compared_ > 0 && mismatches(widthBits) == 0; }

 private:
  uint64_t frames_ = 0;
  std::optional<uint64_t> latency_, firstLatency_;
  uint64_t shifts_ = 0;
  uint64_t compared_ = 0;
  uint64_t mismatches16_ = 0, mismatches24_ = 0;
  std::optional<uint64_t> first16_, first24_;
};

}  // namespace tqm::sim
