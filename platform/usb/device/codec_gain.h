// The codec's digital volume: a USB Audio volume value (1/256 dB, 0x8000 for
// silence) and a mute flag become a Q30 factor applied to 32-bit samples.
// 0 dB is exactly 1 << 30, so an unattenuated path is bit-exact.
#pragma once

#include <cstdint>

namespace tqm::usb {

constexpr int16_t kVolumeSilence = int16_t(0x8000);
constexpr int64_t kUnityGain = int64_t(1) << 30;

int64_t GainFactor(int16_t volume, bool muted);

inline int32_t ApplyGain(int32_t sample, int64_t factor) {
  if (factor == kUnityGain) return sample;
  const int64_t v = (int64_t(sample) * factor) >> 30;
  if (v > INT32_MAX) return INT32_MAX;
  if (v < INT32_MIN) return INT32_MIN;
  return int32_t(v);
}

}  // namespace tqm::usb
