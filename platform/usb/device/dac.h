// The TQM27's playback side behind the OUT endpoint: a FIFO that the OUT packets
// fill and the DAC drains at the device's own pace, the codec volume, and the
// sink that keeps what the DAC played.
//
// The DAC starts one millisecond after the first packet arrives, so that the
// host's 44/45-frame packet phase and the device's own never meet with an empty
// FIFO. A millisecond in which the running DAC finds fewer frames than it must
// play is an underrun: it plays silence for the missing frames and, until data
// comes back, every further millisecond is an underrun too; when data returns it
// waits one millisecond again before playing. Frames that do not fit in the FIFO
// are dropped; each packet that lost frames is an overrun.
//
// Owned by the device and guarded by its lock.
#pragma once

#include <cstdint>
#include <filesystem>
#include <vector>

#include "audio/wav.h"
#include "usb/device/frame_ring.h"

namespace tqm::usb {

class Dac {
 public:
  static constexpr uint32_t kFifoFrames = 1024;

  Dac() : fifo_(kFifoFrames) {}

  // The playback interface stopped streaming: empty FIFO, DAC idle.
  void Stop();
  // Takes one OUT packet's frames; false when some were dropped.
  bool Receive(const int32_t* frames, uint32_t count);
  // Runs one millisecond in which the DAC plays `count` frames; `received` says
  // whether a packet arrived in it. True when the millisecond was an underrun.
  bool Play(uint32_t count, bool received);

  void SetGain(int64_t left, int64_t right) {
    gain_[0] = left;
    gain_[1] = right;
  }

  // The buffer keeps at most `maxFrames` frames between takes; later frames
  // are dropped, so a capture nobody drains cannot eat the machine's memory.
  void CaptureToBuffer(uint32_t maxFrames);
  bool CaptureToWav(const std::filesystem::path& path, uint32_t rate);
  void StopCapture();
  std::vector<int32_t> TakeCapture();
  uint32_t FifoFrames() const { return fifo_.Size(); }

 private:
  enum class State { Idle, Priming, Running, Starved };
  enum class Sink { None, Buffer, Wav };

  void Emit(const int32_t* frames, uint32_t count);

  FrameRing fifo_;
  State state_ = State::Idle;
  int64_t gain_[2] = {int64_t(1) << 30, int64_t(1) << 30};
  Sink sink_ = Sink::None;
  std::vector<int32_t> captured_;
  size_t captureLimit_ = 0;  // samples
  audio::WavWriter wav_;
  std::vector<int32_t> scratch_;
};

}  // namespace tqm::usb
