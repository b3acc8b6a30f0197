// What a stream run leaves behind: the same report for the same virtual run,
// and WAV files that hold what the device played and what the client got.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <vector>

#include "audio/wav.h"
#include "platform/sim/loop_signal.h"
#include "platform/sim/stream_session.h"

namespace tqm::sim {
namespace {

StreamOptions Virtual48k(uint32_t period) {
  StreamOptions o;
  o.rate = 48000;
  o.periodFrames = period;
  o.requestCount = 3;
  o.seconds = 1;
  o.clock = kernel::ClockMode::Virtual;
  o.progressMs = 0;
  return o;
}

// What only the host machine decides: the time it took and the CPU it used.
StreamReport WithoutHostFigures(StreamReport r) {
  r.wallSeconds = 0;
  r.engineCpuPerPeriodUs.reset();
  return r;
}

TEST(SystemStreamOutput, AVirtualRunRepeatsExactly) {
  // 256 frames: a run with a start-up repeat, so its place must repeat too.
  StreamReport first, second;
  ASSERT_TRUE(RunStream(Virtual48k(256), &first)) << first.error;
  ASSERT_TRUE(RunStream(Virtual48k(256), &second)) << second.error;
  EXPECT_EQ(ReportJson(WithoutHostFigures(first)), ReportJson(WithoutHostFigures(second)));
  EXPECT_GT(first.periodsDelivered, 180u);
}

std::vector<int32_t> Channel(const audio::WavData& wav, uint32_t c) {
  std::vector<int32_t> out;
  for (size_t i = c; i < wav.samples.size(); i += wav.format.channels) out.push_back(wav.samples[i]);
  return out;
}

TEST(SystemStreamOutput, WavFilesHoldWhatWasPlayedAndRecorded) {
  const std::filesystem::path dir = std::filesystem::path(::testing::TempDir()) / "tqm27sim-wav";
  std::filesystem::remove_all(dir);
  StreamOptions o = Virtual48k(240);
  o.outputDir = dir;
  StreamReport report;
  ASSERT_TRUE(RunStream(o, &report)) << report.error;
  ASSERT_EQ(report.files.size(), 2u);

  std::string error;
  const std::optional<audio::WavData> recorded = audio::ReadWavFile(dir / "recorded.wav", &error);
  ASSERT_TRUE(recorded.has_value()) << error;
  EXPECT_EQ(recorded->format.rate, 48000u);
  EXPECT_EQ(recorded->Frames(), report.framesRecorded);
  LoopAnalyser fromFile;
  const std::vector<int32_t> left = Channel(*recorded, 0), right = Channel(*recorded, 1);
  fromFile.Feed(left.data(), right.data(), uint32_t(left.size()));
  EXPECT_TRUE(fromFile.BitExact(24)) << "the file holds the loop the client heard";
  EXPECT_EQ(fromFile.latency(24), report.latencyMeasured);

  // The DAC's output at 0 dB is the signal as sent, from the first OUT frame:
  // behind the silence of the requests put down at the start.
  const std::optional<audio::WavData> played = audio::ReadWavFile(dir / "played.wav", &error);
  ASSERT_TRUE(played.has_value()) << error;
  const std::vector<int32_t> dacLeft = Channel(*played, 0), dacRight = Channel(*played, 1);
  // Up to the last frame that is not silence: at the stop the client's
  // channels close first, and the playback stream runs on until its cancel
  // completes at the next frame, playing silence for them meanwhile.
  const uint64_t lead = 2 * 240 + 3 * 240;
  uint32_t heard = uint32_t(dacLeft.size());
  while (heard > 0 && dacLeft[heard - 1] == 0 && dacRight[heard - 1] == 0) --heard;
  LoopAnalyser dac;
  dac.Feed(dacLeft.data(), dacRight.data(), heard);
  EXPECT_TRUE(dac.BitExact(24)) << dac.faults(24).discontinuities << " discontinuities, "
                                << dac.faults(24).corrupted << " corrupted, first at "
                                << dac.faults(24).first.value_or(0) << " of " << heard;
  // Two periods of lead and three requests of 240 frames of silence.
  EXPECT_EQ(dac.firstLatency(), std::optional<uint64_t>(lead));
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace tqm::sim
