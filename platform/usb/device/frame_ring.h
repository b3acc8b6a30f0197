// A fixed-capacity ring of stereo frames (two 32-bit samples each): the DAC's
// FIFO and the loopback delay line. Not locked: it lives inside the device,
// whose lock guards it.
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

#include "usb/device/descriptors.h"

namespace tqm::usb {

class FrameRing {
 public:
  explicit FrameRing(uint32_t capacityFrames)
      : samples_(size_t(capacityFrames) * kChannels), capacity_(capacityFrames) {}

  uint32_t Size() const { return size_; }
  uint32_t Capacity() const { return capacity_; }
  void Clear() { head_ = size_ = 0; }

  // Appends what fits; returns how many frames went in.
  uint32_t Push(const int32_t* frames, uint32_t count) {
    const uint32_t n = std::min(count, capacity_ - size_);
    for (uint32_t i = 0; i < n; ++i) {
      const size_t at = size_t((head_ + size_ + i) % capacity_) * kChannels;
      samples_[at] = frames[i * kChannels];
      samples_[at + 1] = frames[i * kChannels + 1];
    }
    size_ += n;
    return n;
  }

  uint32_t PushSilence(uint32_t count) {
    const uint32_t n = std::min(count, capacity_ - size_);
    for (uint32_t i = 0; i < n; ++i) {
      const size_t at = size_t((head_ + size_ + i) % capacity_) * kChannels;
      samples_[at] = samples_[at + 1] = 0;
    }
    size_ += n;
    return n;
  }

  // Takes up to `count` frames from the front; returns how many it took.
  uint32_t Pop(int32_t* frames, uint32_t count) {
    const uint32_t n = std::min(count, size_);
    for (uint32_t i = 0; i < n; ++i) {
      const size_t at = size_t((head_ + i) % capacity_) * kChannels;
      frames[i * kChannels] = samples_[at];
      frames[i * kChannels + 1] = samples_[at + 1];
    }
    head_ = (head_ + n) % capacity_;
    size_ -= n;
    return n;
  }

 private:
  std::vector<int32_t> samples_;
  uint32_t capacity_;
  uint32_t head_ = 0;
  uint32_t size_ = 0;
};

}  // namespace tqm::usb
