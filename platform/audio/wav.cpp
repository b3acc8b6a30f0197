// WAV reading and writing; see wav.h.
#include "audio/wav.h"

#include <cstring>
#include <fstream>
#include <iterator>

namespace tqm::audio {
namespace {

constexpr uint16_t kFormatPcm = 1;
constexpr uint16_t kFormatExtensible = 0xFFFE;
constexpr size_t kHeaderBytes = 44;
// A RIFF length field is 32 bits; the writer stops before the file outgrows it.
constexpr uint64_t kMaxDataBytes = 0xFFFFFFFFull - kHeaderBytes;

uint16_t Le16(const uint8_t* p) { return uint16_t(p[0] | (p[1] << 8)); }
uint32_t Le32(const uint8_t* p) {
  return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}
void Put16(std::vector<uint8_t>& out, uint16_t v) {
  out.push_back(uint8_t(v));
  out.push_back(uint8_t(v >> 8));
}
void Put32(std::vector<uint8_t>& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(uint8_t(v >> (8 * i)));
}
void Store32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (8 * i));
}

bool Fail(std::string* error, const char* why) {
  if (error) *error = why;
  return false;
}

std::vector<uint8_t> Header(const WavFormat& f, uint32_t dataBytes) {
  std::vector<uint8_t> h;
  h.reserve(kHeaderBytes);
  const uint32_t blockAlign = uint32_t(f.channels) * (f.bits / 8);
  h.insert(h.end(), {'R', 'I', 'F', 'F'});
  Put32(h, uint32_t(kHeaderBytes - 8 + dataBytes));
  h.insert(h.end(), {'W', 'A', 'V', 'E', 'f', 'm', 't', ' '});
  Put32(h, 16);
  Put16(h, kFormatPcm);
  Put16(h, f.channels);
  Put32(h, f.rate);
  Put32(h, f.rate * blockAlign);
  Put16(h, uint16_t(blockAlign));
  Put16(h, f.bits);
  h.insert(h.end(), {'d', 'a', 't', 'a'});
  Put32(h, dataBytes);
  return h;
}

// Packs samples at the file's width, little-endian, keeping the top bits.
void Pack(const WavFormat& f, std::span<const int32_t> samples, std::vector<uint8_t>& out) {
  const size_t width = f.bits / 8;
  out.resize(samples.size() * width);
  uint8_t* p = out.data();
  for (int32_t s : samples) {
    const uint32_t u = uint32_t(s);
    for (size_t b = 0; b < width; ++b) *p++ = uint8_t(u >> (32 - 8 * width + 8 * b));
  }
}

}  // namespace

bool IsSupportedWavFormat(const WavFormat& f) {
  return f.channels >= 1 && f.channels <= 32 && f.rate >= 1000 && f.rate <= 768000 &&
         (f.bits == 16 || f.bits == 24 || f.bits == 32);
}

std::optional<WavData> ParseWav(std::span<const uint8_t> bytes, std::string* error) {
  if (bytes.size() < 12 || std::memcmp(bytes.data(), "RIFF", 4) != 0 ||
      std::memcmp(bytes.data() + 8, "WAVE", 4) != 0) {
    Fail(error, "not a RIFF WAVE file");
    return std::nullopt;
  }
  WavData wav;
  bool haveFormat = false;
  size_t pos = 12;
  while (pos + 8 <= bytes.size()) {
    const uint8_t* chunk = bytes.data() + pos;
    const uint32_t declared = Le32(chunk + 4);
    const size_t available = bytes.size() - pos - 8;
    const uint8_t* body = chunk + 8;
    if (std::memcmp(chunk, "fmt ", 4) == 0) {
      if (declared < 16 || declared > available) {
        Fail(error, "format chunk too short");
        return std::nullopt;
      }
      uint16_t tag = Le16(body);
      if (tag == kFormatExtensible) {
        // The sub-format GUID's first two bytes carry the plain format tag.
        if (declared < 40) {
          Fail(error, "extensible format chunk too short");
          return std::nullopt;
        }
        tag = Le16(body + 24);
      }
      if (tag != kFormatPcm) {
        Fail(error, "not linear PCM");
        return std::nullopt;
      }
      wav.format.channels = Le16(body + 2);
      wav.format.rate = Le32(body + 4);
      wav.format.bits = Le16(body + 14);
      if (!IsSupportedWavFormat(wav.format) ||
          Le16(body + 12) != wav.format.channels * (wav.format.bits / 8)) {
        Fail(error, "unsupported channel count, rate or sample width");
        return std::nullopt;
      }
      haveFormat = true;
    } else if (std::memcmp(chunk, "data", 4) == 0) {
      if (!haveFormat) {
        Fail(error, "data chunk before format chunk");
        return std::nullopt;
      }
      const size_t width = wav.format.bits / 8;
      const size_t frameBytes = width * wav.format.channels;
      const size_t usable = std::min<size_t>(declared, available) / frameBytes * frameBytes;
      wav.samples.resize(usable / width);
      const uint8_t* p = body;
      for (int32_t& s : wav.samples) {
        uint32_t u = 0;
        for (size_t b = 0; b < width; ++b) u |= uint32_t(p[b]) << (32 - 8 * width + 8 * b);
        s = int32_t(u);
        p += width;
      }
      return wav;
    }
    if (declared > available) break;
    pos += 8 + size_t(declared) + (declared & 1);  // chunks are padded to even length
  }
  Fail(error, haveFormat ? "no data chunk" : "no format chunk");
  return std::nullopt;
}

std::optional<WavData> ReadWavFile(const std::filesystem::path& path, std::string* error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    Fail(error, "cannot open file");
    return std::nullopt;
  }
  const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                                   std::istreambuf_iterator<char>());
  return ParseWav(bytes, error);
}

std::vector<uint8_t> EncodeWav(const WavFormat& format, std::span<const int32_t> samples) {
  const size_t whole = format.channels ? samples.size() / format.channels * format.channels : 0;
  std::vector<uint8_t> data;
  Pack(format, samples.first(whole), data);
  std::vector<uint8_t> file = Header(format, uint32_t(data.size()));
  file.insert(file.end(), data.begin(), data.end());
  return file;
}

bool WriteWavFile(const std::filesystem::path& path, const WavFormat& format,
                  std::span<const int32_t> samples) {
  WavWriter writer;
  return writer.Open(path, format) && writer.Append(samples) && writer.Close();
}

WavWriter::~WavWriter() { Close(); }

bool WavWriter::Open(const std::filesystem::path& path, const WavFormat& format) {
  Close();
  if (!IsSupportedWavFormat(format)) return false;
  file_ = std::fopen(path.c_str(), "wb");
  if (!file_) return false;
  format_ = format;
  frames_ = 0;
  // Until Close the data length says "as much as there is", which the parser
  // reads as the whole frames present.
  const std::vector<uint8_t> header = Header(format, uint32_t(kMaxDataBytes));
  if (std::fwrite(header.data(), 1, header.size(), file_) != header.size() ||
      std::fflush(file_) != 0) {
    std::fclose(file_);
    file_ = nullptr;
    return false;
  }
  return true;
}

bool WavWriter::Append(std::span<const int32_t> samples) {
  if (!file_) return false;
  const size_t frames = samples.size() / format_.channels;
  const uint64_t frameBytes = uint64_t(format_.channels) * (format_.bits / 8);
  if ((frames_ + frames) * frameBytes > kMaxDataBytes) return false;
  Pack(format_, samples.first(frames * format_.channels), scratch_);
  if (std::fwrite(scratch_.data(), 1, scratch_.size(), file_) != scratch_.size()) return false;
  frames_ += frames;
  return true;
}

bool WavWriter::Close() {
  if (!file_) return true;
  const uint32_t dataBytes = uint32_t(frames_ * format_.channels * (format_.bits / 8));
  uint8_t field[4];
  bool ok = true;
  Store32(field, uint32_t(kHeaderBytes - 8 + dataBytes));
  ok = ok && std::fseek(file_, 4, SEEK_SET) == 0 && std::fwrite(field, 1, 4, file_) == 4;
  Store32(field, dataBytes);
  ok = ok && std::fseek(file_, 40, SEEK_SET) == 0 && std::fwrite(field, 1, 4, file_) == 4;
  ok = std::fclose(file_) == 0 && ok;
  file_ = nullptr;
  return ok;
}

}  // namespace tqm::audio
