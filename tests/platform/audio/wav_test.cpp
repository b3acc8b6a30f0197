// WAV files: what is written reads back, hostile files are refused or cut to
// what they really hold, and the virtual device plays from and records to them.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <unistd.h>

#include "audio/wav.h"
#include "usb/device/tqm27_device.h"

namespace tqm::audio {
namespace {

std::filesystem::path TempPath(const char* name) {
  return std::filesystem::temp_directory_path() /
         (std::string("tqm_wav_") + std::to_string(::getpid()) + "_" + name);
}

std::vector<int32_t> Ramp(size_t samples) {
  std::vector<int32_t> s(samples);
  uint32_t x = 12345;
  for (int32_t& v : s) v = int32_t(x = x * 2654435761u + 977);
  return s;
}

TEST(Wav, RoundTripKeepsTheTopBitsOfEachWidth) {
  struct Row {
    uint16_t channels, bits;
    uint32_t rate;
    const char* why;
  } rows[] = {
      {2, 16, 44100, "16-bit stereo"},
      {2, 24, 48000, "24-bit stereo, the DAC capture format"},
      {2, 32, 96000, "32-bit stereo keeps everything"},
      {1, 24, 48000, "mono"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.why);
    const WavFormat format{row.rate, row.channels, row.bits};
    const std::vector<int32_t> samples = Ramp(row.channels * 1001);
    const std::vector<uint8_t> image = EncodeWav(format, samples);
    EXPECT_EQ(image.size(), 44 + samples.size() * row.bits / 8);
    std::string error;
    const std::optional<WavData> back = ParseWav(image, &error);
    ASSERT_TRUE(back) << error;
    EXPECT_EQ(back->format.rate, row.rate);
    EXPECT_EQ(back->format.channels, row.channels);
    EXPECT_EQ(back->format.bits, row.bits);
    ASSERT_EQ(back->samples.size(), samples.size());
    const uint32_t mask = row.bits == 32 ? ~0u : ~0u << (32 - row.bits);
    for (size_t i = 0; i < samples.size(); ++i)
      ASSERT_EQ(uint32_t(back->samples[i]), uint32_t(samples[i]) & mask) << "sample " << i;

    const std::filesystem::path path = TempPath("roundtrip.wav");
    ASSERT_TRUE(WriteWavFile(path, format, samples));
    const std::optional<WavData> file = ReadWavFile(path, &error);
    ASSERT_TRUE(file) << error;
    EXPECT_EQ(file->samples, back->samples);
    std::filesystem::remove(path);
  }
}

TEST(Wav, HostileFiles) {
  const WavFormat format{48000, 2, 16};
  const std::vector<uint8_t> good = EncodeWav(format, Ramp(2 * 100));
  auto with = [&](auto edit) {
    std::vector<uint8_t> b = good;
    edit(b);
    return b;
  };
  struct Row {
    std::vector<uint8_t> bytes;
    bool parses;
    size_t frames;
    const char* why;
  } rows[] = {
      {good, true, 100, "well formed"},
      {std::vector<uint8_t>(good.begin(), good.begin() + 44 + 4 * 50 + 3), true, 50,
       "data cut mid-frame: the whole frames present"},
      {with([](auto& b) { b[40] = b[41] = b[42] = b[43] = 0xFF; }), true, 100,
       "data length beyond the file"},
      {with([](auto& b) { b[20] = 3; }), false, 0, "floating-point format tag"},
      {with([](auto& b) { b[34] = 12; }), false, 0, "12-bit samples"},
      {with([](auto& b) { b[22] = 0; }), false, 0, "zero channels"},
      {with([](auto& b) { b[32] = 6; }), false, 0, "block align disagrees with channels and width"},
      {with([](auto& b) { b[16] = 0xFF; b[17] = 0xFF; }), false, 0, "format chunk longer than the file"},
      {with([](auto& b) { std::memcpy(&b[8], "AVI ", 4); }), false, 0, "not WAVE"},
      {std::vector<uint8_t>(good.begin(), good.begin() + 36), false, 0, "no data chunk"},
      {std::vector<uint8_t>(good.begin(), good.begin() + 8), false, 0, "header only"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.why);
    std::string error;
    const std::optional<WavData> wav = ParseWav(row.bytes, &error);
    EXPECT_EQ(bool(wav), row.parses) << error;
    if (wav) {
      EXPECT_EQ(wav->Frames(), row.frames);
    }
  }

  // A chunk of odd length before the data is padded to an even length.
  std::vector<uint8_t> padded(good.begin(), good.begin() + 36);
  const uint8_t list[] = {'L', 'I', 'S', 'T', 3, 0, 0, 0, 'a', 'b', 'c', 0};
  padded.insert(padded.end(), std::begin(list), std::end(list));
  padded.insert(padded.end(), good.begin() + 36, good.end());
  const std::optional<WavData> wav = ParseWav(padded);
  ASSERT_TRUE(wav);
  EXPECT_EQ(wav->Frames(), 100u);
}

TEST(Wav, WriterCutShortStillParsesTheFramesWritten) {
  const std::filesystem::path path = TempPath("cut.wav");
  const std::filesystem::path copy = TempPath("cut_copy.wav");
  const std::vector<int32_t> samples = Ramp(2 * 48000);  // more than stdio buffers
  {
    WavWriter writer;
    ASSERT_TRUE(writer.Open(path, WavFormat{48000, 2, 24}));
    ASSERT_TRUE(writer.Append(samples));
    // The file as a crash would leave it: never closed, the tail still buffered.
    std::filesystem::copy_file(path, copy, std::filesystem::copy_options::overwrite_existing);
  }
  std::string error;
  const std::optional<WavData> cut = ReadWavFile(copy, &error);
  ASSERT_TRUE(cut) << error;
  EXPECT_GT(cut->Frames(), 0u);
  EXPECT_LE(cut->Frames(), 48000u);
  for (size_t i = 0; i < cut->samples.size(); ++i)
    ASSERT_EQ(uint32_t(cut->samples[i]), uint32_t(samples[i]) & 0xFFFFFF00u) << "sample " << i;
  const std::optional<WavData> closed = ReadWavFile(path, &error);
  ASSERT_TRUE(closed) << error;
  EXPECT_EQ(closed->Frames(), 48000u);
  std::filesystem::remove(path);
  std::filesystem::remove(copy);
}

// The device records a WAV file's samples and writes what its DAC plays.
TEST(Wav, DevicePlaysFromAndRecordsToFiles) {
  using namespace tqm::usb;
  const std::filesystem::path source = TempPath("source.wav");
  const std::filesystem::path sink = TempPath("sink.wav");
  const std::vector<int32_t> samples = Ramp(2 * 480);
  ASSERT_TRUE(WriteWavFile(source, WavFormat{48000, 2, 24}, samples));

  Tqm27Device device;
  auto control = [&](uint8_t type, uint8_t request, uint16_t value, uint16_t index,
                     std::vector<uint8_t> data) {
    return device.Control({type, request, value, index, uint16_t(data.size())}, data).status;
  };
  ASSERT_EQ(control(0x00, 0x09, 1, 0, {}), UsbStatus::Ok);
  ASSERT_EQ(control(0x01, 0x0B, 2, 3, {}), UsbStatus::Ok);
  ASSERT_EQ(control(0x01, 0x0B, 2, 2, {}), UsbStatus::Ok);
  ASSERT_TRUE(device.SelectWavFile(source, false));
  ASSERT_TRUE(device.CaptureDacToWav(sink));
  EXPECT_FALSE(device.SelectWavFile(TempPath("missing.wav"), false));

  std::vector<uint8_t> in(600), out(48 * 6);
  for (size_t i = 0; i < out.size(); ++i) out[i] = uint8_t(i * 7);
  std::vector<int32_t> recorded;
  for (int frame = 0; frame < 12; ++frame) {
    const FrameResult f = device.RunFrame({std::span<const uint8_t>(out), std::span<uint8_t>(in)});
    for (uint32_t at = 0; at + 3 <= f.inLength; at += 3)
      recorded.push_back(int32_t(uint32_t(in[at]) << 8 | uint32_t(in[at + 1]) << 16 | uint32_t(in[at + 2]) << 24));
  }
  device.StopDacCapture();
  ASSERT_EQ(recorded.size(), 2u * 576);
  for (size_t i = 0; i < samples.size(); ++i)
    ASSERT_EQ(uint32_t(recorded[i]), uint32_t(samples[i]) & 0xFFFFFF00u) << "sample " << i;
  for (size_t i = samples.size(); i < recorded.size(); ++i)
    ASSERT_EQ(recorded[i], 0) << "silence after the end, sample " << i;

  std::string error;
  const std::optional<WavData> played = ReadWavFile(sink, &error);
  ASSERT_TRUE(played) << error;
  EXPECT_EQ(played->format.rate, 48000u);
  EXPECT_EQ(played->Frames(), 11u * 48) << "the DAC started one millisecond after the first packet";
  // Every millisecond the same packet: the file repeats it at unity gain.
  for (size_t i = 0; i < played->samples.size(); ++i) {
    const size_t at = (i % 96) * 3;
    const uint32_t sent = uint32_t(out[at]) << 8 | uint32_t(out[at + 1]) << 16 | uint32_t(out[at + 2]) << 24;
    ASSERT_EQ(uint32_t(played->samples[i]), sent) << "sample " << i;
  }
  std::filesystem::remove(source);
  std::filesystem::remove(sink);
}

}  // namespace
}  // namespace tqm::audio
