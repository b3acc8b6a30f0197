// Volume law of the codec; see codec_gain.h.
#include "usb/device/codec_gain.h"

#include <cmath>

namespace tqm::usb {

int64_t GainFactor(int16_t volume, bool muted) {
  if (muted || volume == kVolumeSilence) return 0;
  if (volume == 0) return kUnityGain;
  const double db = volume / 256.0;
  return std::llround(std::pow(10.0, db / 20.0) * double(kUnityGain));
}

}  // namespace tqm::usb
