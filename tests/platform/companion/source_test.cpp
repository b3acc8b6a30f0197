// The companion's render sources and its level conversion, on their own.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <numbers>
#include <memory>
#include <vector>

#include "companion/companion.h"

namespace tqm::companion {
namespace {

// Endpoint levels in dB reach SetWDMVolume in 1/65536 dB, rounded.
TEST(WdmLevel, Conversion) {
  struct Row {
    double db;
    int32_t level;
    const char* why;
  } rows[] = {
      {0.0, 0, "unity"},
      {-55.0, -3604480, "the bottom of playback: -55 x 65536"},
      {12.0, 786432, "the top of record"},
      {12.5, 819200, "half a dB above the top of record"},
      {-6.5, -425984, "half-dB steps are exact"},
      {-0.1, -6554, "-6553.6 rounds to the nearest unit"},
      {1.0 / 131072, 1, "half a unit rounds away from zero"},
      {-96.0, -6291456, "the render endpoint's bottom"},
      {-1e9, INT_MIN, "far below saturates"},
      {1e9, INT_MAX, "far above saturates"},
      {-INFINITY, INT_MIN, "silence as minus infinity"},
  };
  for (const Row& r : rows) EXPECT_EQ(WdmLevel(r.db), r.level) << r.why << " (" << r.db << " dB)";
}

std::vector<int32_t> Render(Source& s, uint32_t frames, uint32_t rate) {
  std::vector<int32_t> out(size_t(frames) * 2, 0x5A5A5A5A);
  s.Render(out.data(), frames, rate);
  return out;
}

// A tone is a 24-bit sine on both channels with the amplitude its dBFS gives,
// continuing across calls without a jump.
TEST(Source, Tone) {
  struct Row {
    double hz, dbfs;
    uint32_t rate;
    double peak;  // expected largest 24-bit value
    const char* why;
  } rows[] = {
      {1000, 0, 48000, 8388607, "full scale: 48 samples per cycle hit the crest"},
      {1000, -6.0206, 48000, 4194304, "-6.02 dBFS is half the amplitude"},
      {441, -20, 44100, 838861, "-20 dBFS is a tenth; 100 samples per cycle"},
      {1000, 6, 48000, 8388607, "above full scale is held at full scale"},
  };
  for (const Row& r : rows) {
    Source s = Source::Tone(r.hz, r.dbfs);
    std::vector<int32_t> all;
    for (int call = 0; call < 5; ++call) {
      auto part = Render(s, 97, r.rate);  // an odd size, so periods do not line up with cycles
      all.insert(all.end(), part.begin(), part.end());
    }
    double peak = 0;
    for (size_t i = 0; i < all.size(); i += 2) {
      ASSERT_EQ(all[i], all[i + 1]) << r.why << ": frame " << i / 2 << " channels differ";
      ASSERT_EQ(all[i] & 0xFF, 0) << r.why << ": frame " << i / 2 << " has bits below 24";
      const double v = all[i] / 256.0;
      peak = std::max(peak, std::abs(v));
      const double expected = std::round(std::min(1.0, std::pow(10.0, r.dbfs / 20)) * 8388607 *
                                         std::sin(2 * std::numbers::pi * r.hz * double(i / 2) / r.rate));
      ASSERT_NEAR(v, expected, 2.0) << r.why << ": frame " << i / 2;
    }
    EXPECT_NEAR(peak, r.peak, r.peak * 0.002) << r.why;
  }
}

std::shared_ptr<const audio::WavData> Wav(uint16_t channels, std::vector<int32_t> samples) {
  auto wav = std::make_shared<audio::WavData>();
  wav->format = {48000, channels, 24};
  wav->samples = std::move(samples);
  return wav;
}

// A WAV plays its frames in order: mono on both channels, the first two of
// more; once through, then silence, or again from the start when it repeats.
TEST(Source, Wav) {
  struct Row {
    uint16_t channels;
    std::vector<int32_t> samples;
    bool repeat;
    uint32_t frames;
    std::vector<int32_t> expected;
    bool finished;
    const char* why;
  } rows[] = {
      {2, {1, -1, 2, -2}, false, 3, {1, -1, 2, -2, 0, 0}, true, "stereo, then silence"},
      {1, {7, 8}, false, 2, {7, 7, 8, 8}, false, "mono on both channels; the last frame is not the end yet"},
      {3, {1, 2, 3, 4, 5, 6}, true, 5, {1, 2, 4, 5, 1, 2, 4, 5, 1, 2}, false, "three channels: the first two, repeating"},
      {2, {}, true, 2, {0, 0, 0, 0}, true, "an empty file repeats as silence"},
  };
  for (const Row& r : rows) {
    Source s = Source::Wav(Wav(r.channels, r.samples), r.repeat);
    EXPECT_EQ(Render(s, r.frames, 48000), r.expected) << r.why;
    EXPECT_EQ(s.Finished(), r.finished) << r.why;
    EXPECT_EQ(s.PreferredRate(), 48000u) << r.why;
  }
  Source silence = Source::Silence();
  EXPECT_EQ(Render(silence, 2, 44100), (std::vector<int32_t>{0, 0, 0, 0}));
  EXPECT_EQ(silence.PreferredRate(), 0u);
  EXPECT_FALSE(Source::WavFile("/nonexistent/file.wav", false).has_value());
}

}  // namespace
}  // namespace tqm::companion
