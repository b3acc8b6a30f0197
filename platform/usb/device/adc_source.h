// What the TQM27's analog input hears when it is not looped back from its own
// output: silence, a sine, or a WAV file. The device owns one source and asks it
// for the frames of each millisecond while the record interface streams; the
// loopback is not a source of this kind because it depends on the playback
// stream (the device keeps its delay line itself).
#pragma once

#include <cstdint>
#include <memory>

#include "audio/wav.h"

namespace tqm::usb {

class AdcSource {
 public:
  static AdcSource Silence();
  // Left carries sin, right cos (so a swapped pair shows), at `dbfs` peak.
  static AdcSource Sine(double frequencyHz, double dbfs);
  // Plays the file's first two channels (a mono file on both), at the device's
  // rate whatever the file's; after the end it repeats or falls silent.
  static AdcSource Wav(std::shared_ptr<const audio::WavData> wav, bool repeat);

  // Renders `count` stereo frames at `rate` into `frames`.
  void Render(int32_t* frames, uint32_t count, uint32_t rate);

 private:
  enum class Kind { Silence, Sine, Wav };
  Kind kind_ = Kind::Silence;
  double frequency_ = 0;
  double amplitude_ = 0;
  double phase_ = 0;  // radians, kept in [0, 2 pi)
  std::shared_ptr<const audio::WavData> wav_;
  bool repeat_ = false;
  size_t position_ = 0;  // next frame of the file
};

}  // namespace tqm::usb
