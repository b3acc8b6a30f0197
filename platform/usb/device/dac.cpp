// The playback FIFO, codec volume and DAC sink; see dac.h.
#include "usb/device/dac.h"

#include <algorithm>

#include "usb/device/codec_gain.h"

namespace tqm::usb {

void Dac::Stop() {
  fifo_.Clear();
  state_ = State::Idle;
}

bool Dac::Receive(const int32_t* frames, uint32_t count) {
  return fifo_.Push(frames, count) == count;
}

bool Dac::Play(uint32_t count, bool received) {
  switch (state_) {
    case State::Idle:
      if (received) state_ = State::Priming;
      return false;
    case State::Priming:
      state_ = State::Running;
      break;
    case State::Starved:
      if (received) {
        state_ = State::Priming;
        Emit(nullptr, count);
        return false;
      }
      Emit(nullptr, count);
      return true;
    case State::Running:
      break;
  }
  scratch_.resize(size_t(count) * kChannels);
  const uint32_t got = fifo_.Pop(scratch_.data(), count);
  std::fill(scratch_.begin() + size_t(got) * kChannels, scratch_.end(), 0);
  Emit(scratch_.data(), count);
  if (got == count) return false;
  state_ = State::Starved;
  return true;
}

// Hands one millisecond of output to the sink; null means silence.
void Dac::Emit(const int32_t* frames, uint32_t count) {
  if (sink_ == Sink::None) return;
  size_t n = size_t(count) * kChannels;
  if (sink_ == Sink::Buffer) n = std::min(n, captureLimit_ - captured_.size());
  const size_t at = captured_.size();
  captured_.resize(at + n);
  int32_t* out = captured_.data() + at;
  for (size_t i = 0; i < n; ++i) {
    // The codec's converter has 24 bits: what lies below them is not played.
    const int32_t s = frames ? ApplyGain(frames[i], gain_[i % kChannels]) : 0;
    out[i] = int32_t(uint32_t(s) & 0xFFFFFF00u);
  }
  if (sink_ == Sink::Wav) {
    wav_.Append(captured_);
    captured_.clear();
  }
}

void Dac::CaptureToBuffer(uint32_t maxFrames) {
  wav_.Close();
  captured_.clear();
  captureLimit_ = size_t(maxFrames) * kChannels;
  sink_ = Sink::Buffer;
}

bool Dac::CaptureToWav(const std::filesystem::path& path, uint32_t rate) {
  captured_.clear();
  if (!wav_.Open(path, audio::WavFormat{rate, uint16_t(kChannels), 24})) {
    sink_ = Sink::None;
    return false;
  }
  sink_ = Sink::Wav;
  return true;
}

void Dac::StopCapture() {
  wav_.Close();
  sink_ = Sink::None;
}

std::vector<int32_t> Dac::TakeCapture() {
  std::vector<int32_t> out;
  if (sink_ == Sink::Buffer) out.swap(captured_);
  return out;
}

}  // namespace tqm::usb
