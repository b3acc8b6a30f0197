// WAV files of linear PCM: what the virtual device plays from and records to,
// and what the simulator writes for people to listen to.
//
// Samples cross this interface in the system's one sample container: signed
// 32-bit, interleaved, audio in the most significant bits. Reading widens 16- and
// 24-bit files into it; writing keeps the top bits of the file's width. The
// parser takes untrusted bytes: every chunk length is checked against what is
// there, and a data chunk that claims more than the file holds is cut to the
// whole frames present.
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace tqm::audio {

struct WavFormat {
  uint32_t rate = 48000;
  uint16_t channels = 2;
  uint16_t bits = 24;  // 16, 24 or 32
};

struct WavData {
  WavFormat format;
  std::vector<int32_t> samples;  // interleaved, MSB-aligned
  size_t Frames() const { return format.channels ? samples.size() / format.channels : 0; }
};

bool IsSupportedWavFormat(const WavFormat& format);

// Parses a whole file image. On failure returns nothing and, when asked, says why.
std::optional<WavData> ParseWav(std::span<const uint8_t> bytes, std::string* error = nullptr);
std::optional<WavData> ReadWavFile(const std::filesystem::path& path, std::string* error = nullptr);

// The complete file image of `samples` (whole frames) in `format`.
std::vector<uint8_t> EncodeWav(const WavFormat& format, std::span<const int32_t> samples);
bool WriteWavFile(const std::filesystem::path& path, const WavFormat& format,
                  std::span<const int32_t> samples);

// Streams samples to a file as they come; the header's lengths are brought up to
// date by Close (and by the destructor), so a file cut short by a crash still
// parses up to the last whole frame written.
class WavWriter {
 public:
  WavWriter() = default;
  ~WavWriter();
  WavWriter(const WavWriter&) = delete;
  WavWriter& operator=(const WavWriter&) = delete;

  bool Open(const std::filesystem::path& path, const WavFormat& format);
  bool Append(std::span<const int32_t> samples);  // whole frames
  bool Close();
  bool IsOpen() const { return file_ != nullptr; }
  uint64_t FramesWritten() const { return frames_; }

 private:
  std::FILE* file_ = nullptr;
  WavFormat format_;
  uint64_t frames_ = 0;
  std::vector<uint8_t> scratch_;
};

}  // namespace tqm::audio
