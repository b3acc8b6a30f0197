// What the companion's render stream plays, and the level conversion of its
// endpoints.
#include <cmath>
#include <limits>
#include <numbers>

#include "companion/companion.h"

namespace tqm::companion {

namespace {

// A tone has 24-bit resolution, the device's width: the engine passes the top
// 24 bits on unchanged.
constexpr double kToneFullScale = 8388607.0;
constexpr int32_t kToneShift = 256;

}  // namespace

int32_t WdmLevel(double db) {
  const double units = std::round(db * 65536.0);
  if (!(units > double(std::numeric_limits<int32_t>::min()))) return std::numeric_limits<int32_t>::min();
  if (units >= double(std::numeric_limits<int32_t>::max())) return std::numeric_limits<int32_t>::max();
  return int32_t(units);
}

Source Source::Silence() { return Source(); }

Source Source::Tone(double frequencyHz, double dbfs) {
  Source s;
  s.kind_ = Kind::Tone;
  s.frequency_ = frequencyHz;
  s.amplitude_ = std::min(1.0, std::pow(10.0, dbfs / 20.0)) * kToneFullScale;
  return s;
}

Source Source::Wav(std::shared_ptr<const audio::WavData> wav, bool repeat) {
  Source s;
  if (!wav || wav->format.channels == 0) return s;
  s.kind_ = Kind::Wav;
  s.wav_ = std::move(wav);
  s.repeat_ = repeat;
  return s;
}

std::optional<Source> Source::WavFile(const std::filesystem::path& path, bool repeat) {
  auto data = audio::ReadWavFile(path);
  if (!data) return std::nullopt;
  return Wav(std::make_shared<const audio::WavData>(std::move(*data)), repeat);
}

uint32_t Source::PreferredRate() const { return kind_ == Kind::Wav ? wav_->format.rate : 0; }

void Source::Render(int32_t* out, uint32_t frames, uint32_t rate) {
  switch (kind_) {
    case Kind::Silence:
      std::fill(out, out + size_t(frames) * kChannels, 0);
      return;
    case Kind::Tone: {
      const double step = rate ? 2.0 * std::numbers::pi * frequency_ / rate : 0.0;
      for (uint32_t i = 0; i < frames; ++i) {
        const int32_t v = int32_t(std::lround(amplitude_ * std::sin(phase_))) * kToneShift;
        out[2 * i] = out[2 * i + 1] = v;
        phase_ += step;
        if (phase_ >= 2.0 * std::numbers::pi) phase_ -= 2.0 * std::numbers::pi;
      }
      return;
    }
    case Kind::Wav: {
      const size_t channels = wav_->format.channels;
      const size_t total = wav_->Frames();
      for (uint32_t i = 0; i < frames; ++i) {
        if (frame_ >= total && repeat_ && total) frame_ = 0;
        if (frame_ >= total) {
          finished_ = true;
          out[2 * i] = out[2 * i + 1] = 0;
          continue;
        }
        const int32_t* f = &wav_->samples[frame_ * channels];
        out[2 * i] = f[0];
        out[2 * i + 1] = channels > 1 ? f[1] : f[0];
        ++frame_;
      }
      return;
    }
  }
}

}  // namespace tqm::companion
