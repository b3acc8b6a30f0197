// The loop signal and its analyser (loop_signal.h).
#include "platform/sim/loop_signal.h"

namespace tqm::sim {

namespace {

constexpr uint32_t kRightPattern = 0x2A5A;
constexpr uint64_t kCounterSpan = 1u << 16;
constexpr size_t kPlacesKept = 16;

uint32_t Counter(int32_t sample, uint32_t channel) {
  return ((uint32_t(sample) >> 16) ^ (channel ? kRightPattern : 0)) & 0xFFFF;
}

bool Same(uint64_t played, const int32_t got[2], uint32_t shift) {
  for (uint32_t c = 0; c < 2; ++c)
    if ((uint32_t(LoopSample(played, c)) >> shift) != (uint32_t(got[c]) >> shift)) return false;
  return true;
}

}  // namespace

int32_t LoopSample(uint64_t frame, uint32_t channel) {
  const uint64_t n = frame + 1;
  uint32_t counter = uint32_t(n % kCounterSpan);
  if (channel) counter ^= kRightPattern;
  // The low bit of the epoch byte is always set: no sample is ever zero.
  const uint32_t epoch = (uint32_t((n / kCounterSpan) * 37 + channel * 101) & 0x7F) << 1 | 1;
  return int32_t(counter << 16 | epoch << 8);
}

void LoopAnalyser::Check(Track& track, uint32_t shift, const int32_t got[2], bool silent, uint64_t named) {
  Faults& f = track.faults;
  auto discontinuity = [&] {
    if (!f.first) f.first = frames_;
    ++f.discontinuities;
    if (f.where.size() < kPlacesKept) f.where.push_back(frames_);
  };
  if (silent) {
    // A lost stretch: counted once, and time goes on under it.
    if (!track.silent) discontinuity();
    track.silent = true;
    ++*track.next;
    return;
  }
  track.silent = false;
  if (Same(*track.next, got, shift)) {
    ++*track.next;
    return;
  }
  // Another played frame (the counter names it, within 2^16 frames before
  // the recording position), or bits no played frame has.
  const uint64_t back = (frames_ % kCounterSpan + kCounterSpan - named) % kCounterSpan;
  if (back <= frames_ && Same(frames_ - back, got, shift)) {
    discontinuity();
    track.next = frames_ - back + 1;
    return;
  }
  if (!f.first) f.first = frames_;
  ++f.corrupted;
  ++*track.next;
}

void LoopAnalyser::Restart(uint64_t playedBefore) {
  ++restarts_;
  relockFrom_ = playedBefore;
  relockSilent_ = false;
}

void LoopAnalyser::Feed(const int32_t* left, const int32_t* right, uint32_t frames) {
  for (uint32_t i = 0; i < frames; ++i, ++frames_) {
    const int32_t got[2] = {left[i], right[i]};
    const bool silent = got[0] == 0 && got[1] == 0;
    // The played frame the counter names, modulo 2^16.
    const uint64_t named = (Counter(got[0], 0) + kCounterSpan - 1) % kCounterSpan;
    if (relockFrom_ && firstLatency_) {
      if (silent) {
        relockSilent_ = true;
        continue;  // the restarted pipeline's lead-in
      }
      if (!relockSilent_) {
        // Still the stream from before the restart, recorded before it.
        ++compared_;
        Check(track16_, 16, got, silent, named);
        Check(track24_, 8, got, silent, named);
        continue;
      }
      const uint64_t roundTrip = (frames_ % kCounterSpan + kCounterSpan - named) % kCounterSpan;
      if (roundTrip > frames_ || frames_ - roundTrip < *relockFrom_) {
        // Played before the restart and heard after it, or no played frame.
        ++compared_;
        for (Track* t : {&track16_, &track24_}) {
          if (!t->faults.first) t->faults.first = frames_;
          ++t->faults.corrupted;
        }
        continue;
      }
      track16_.next = track24_.next = frames_ - roundTrip;
      track16_.silent = track24_.silent = false;
      relockFrom_.reset();
    }
    if (!firstLatency_) {
      if (silent) continue;  // still the lead-in
      const uint64_t roundTrip = (frames_ % kCounterSpan + kCounterSpan - named) % kCounterSpan;
      if (roundTrip > frames_ || (relockFrom_ && frames_ - roundTrip < *relockFrom_)) {
        // Names a frame not played yet (nothing to lock on), or one played
        // before a restart and heard after it.
        ++compared_;
        for (Track* t : {&track16_, &track24_}) {
          if (!t->faults.first) t->faults.first = frames_;
          ++t->faults.corrupted;
        }
        continue;
      }
      firstLatency_ = roundTrip;
      relockFrom_.reset();
      track16_.next = track24_.next = frames_ - roundTrip;
    }
    ++compared_;
    Check(track16_, 16, got, silent, named);
    Check(track24_, 8, got, silent, named);
  }
}

}  // namespace tqm::sim
