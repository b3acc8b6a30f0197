// The ADC's test signals; see adc_source.h.
#include "usb/device/adc_source.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace tqm::usb {

AdcSource AdcSource::Silence() { return AdcSource(); }

AdcSource AdcSource::Sine(double frequencyHz, double dbfs) {
  AdcSource s;
  s.kind_ = Kind::Sine;
  s.frequency_ = frequencyHz;
  s.amplitude_ = std::min(1.0, std::pow(10.0, dbfs / 20.0)) * 2147483647.0;
  return s;
}

AdcSource AdcSource::Wav(std::shared_ptr<const audio::WavData> wav, bool repeat) {
  AdcSource s;
  if (!wav || wav->Frames() == 0) return s;
  s.kind_ = Kind::Wav;
  s.wav_ = std::move(wav);
  s.repeat_ = repeat;
  return s;
}

void AdcSource::Render(int32_t* frames, uint32_t count, uint32_t rate) {
  switch (kind_) {
    case Kind::Silence:
      std::fill(frames, frames + 2 * size_t(count), 0);
      return;
    case Kind::Sine: {
      const double step = 2 * std::numbers::pi * frequency_ / rate;
      for (uint32_t i = 0; i < count; ++i) {
        frames[2 * i] = int32_t(std::lrint(amplitude_ * std::sin(phase_)));
        frames[2 * i + 1] = int32_t(std::lrint(amplitude_ * std::cos(phase_)));
        phase_ += step;
        if (phase_ >= 2 * std::numbers::pi) phase_ -= 2 * std::numbers::pi;
      }
      return;
    }
    case Kind::Wav: {
      const size_t channels = wav_->format.channels;
      const size_t total = wav_->Frames();
      for (uint32_t i = 0; i < count; ++i) {
        if (position_ >= total && repeat_) position_ = 0;
        if (position_ >= total) {
          frames[2 * i] = frames[2 * i + 1] = 0;
          continue;
        }
        const int32_t* f = wav_->samples.data() + position_ * channels;
        frames[2 * i] = f[0];
        frames[2 * i + 1] = channels > 1 ? f[1] : f[0];
        ++position_;
      }
      return;
    }
  }
}

}  // namespace tqm::usb
