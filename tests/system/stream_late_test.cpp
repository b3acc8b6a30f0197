// Clients that answer their periods late or not at all, in virtual time, so
// every count is exact: the watchdog word, the health the driver reports, and
// what the engine plays for a period whose answer did not come.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "audio/wav.h"
#include "platform/sim/device_client.h"
#include "platform/sim/stream_session.h"

namespace tqm::sim {
namespace {


// 240 frames at 48 kHz: a period ends every 5 ms, on a bus frame, so any
// 5n ms of machine time holds exactly n period ends.
constexpr uint32_t kRate = 48000, kPeriod = 240, kPeriodMs = 5;

// What the device played between the first and the last frame of the loop
// signal (which is never zero): the frames of silence, and in how many runs.
struct Gaps {
  uint64_t silentFrames = 0;
  uint32_t runs = 0;
};

Gaps SilenceInside(const audio::WavData& played) {
  const uint32_t channels = played.format.channels;
  const size_t frames = played.samples.size() / channels;
  auto silent = [&](size_t f) {
    for (uint32_t c = 0; c < channels; ++c)
      if (played.samples[f * channels + c] != 0) return false;
    return true;
  };
  size_t first = 0, last = frames;
  while (first < frames && silent(first)) ++first;
  while (last > first && silent(last - 1)) --last;
  Gaps gaps;
  for (size_t f = first; f < last; ++f) {
    if (!silent(f)) continue;
    if (f == first || !silent(f - 1)) ++gaps.runs;
    ++gaps.silentFrames;
  }
  return gaps;
}

StreamOptions LateStream() {
  StreamOptions o;
  o.rate = kRate;
  o.periodFrames = kPeriod;
  o.requestCount = 2;
  o.clock = kernel::ClockMode::Virtual;
  o.input.kind = InputKind::Loopback;
  o.progressMs = 0;
  return o;
}

// A client that stops answering for n periods and then answers again. While
// it is silent the watchdog word counts the periods it let pass, up to 10 and
// no further, and the health query calls it gone exactly from the tenth. Its
// output-ready queue runs empty: each period it did not answer is played as
// silence and counted. A client that never sent OutputReady is played from
// its own halves instead: the engine cannot tell that it is late.
TEST(SystemStreamLate, AClientThatStopsAnsweringIsCountedAndHeardAsSilence) {
  struct Row {
    uint32_t silentPeriods;
    bool outputReady;
  };
  const Row rows[] = {{1, true}, {4, true}, {9, true}, {10, true}, {25, true}, {4, false}, {25, false}};
  for (const Row& row : rows) {
    SCOPED_TRACE(std::to_string(row.silentPeriods) + " periods unanswered" +
                 (row.outputReady ? "" : ", without OutputReady"));
    SimulatorOptions simOptions;
    simOptions.clock = kernel::ClockMode::Virtual;
    Simulator sim(simOptions);
    ASSERT_NE(sim.Plug(), nullptr);
    StreamOptions o = LateStream();
    o.client.outputReady = row.outputReady;
    const std::filesystem::path dir = std::filesystem::path(::testing::TempDir()) / "tqm27sim-late";
    std::filesystem::remove_all(dir);
    o.outputDir = dir;
    StreamReport report;
    {
      StreamSession session(sim, o);
      std::string error;
      ASSERT_TRUE(session.Begin(&error)) << error;
      session.RunFor(20 * kPeriodMs);
      StreamClient& client = session.client();
      ASSERT_TRUE(client.status());
      EXPECT_EQ(client.status()->Read(StatusWord::Watchdog), 0u) << "cleared after every answered period";
      client.SetResponsive(false);
      for (uint32_t n = 1; n <= row.silentPeriods; ++n) {
        session.RunFor(kPeriodMs);
        const uint32_t expected = std::min(n, kWatchdogLimit);
        EXPECT_EQ(client.status()->Read(StatusWord::Watchdog), expected) << "after " << n << " periods";
        EXPECT_EQ(client.device().QueryStreamHealth(), std::optional<uint32_t>(expected < kWatchdogLimit ? 1 : 0))
            << "after " << n << " periods";
      }
      client.SetResponsive(true);
      session.RunFor(40 * kPeriodMs);
      EXPECT_EQ(client.device().QueryStreamHealth(), std::optional<uint32_t>(1)) << "healthy again";
      report = session.End();
    }
    sim.Unplug();
    // The wake after the silence finds the unanswered periods and its own in
    // the word, which stops at 10.
    EXPECT_EQ(report.watchdogMax, std::min(row.silentPeriods + 1, kWatchdogLimit));
    EXPECT_EQ(report.periodsMissed, std::min(row.silentPeriods, kWatchdogLimit - 1));
    EXPECT_EQ(report.outputLatePeriods, row.outputReady ? row.silentPeriods : 0u);
    // The device played the unanswered periods as silence, in one piece,
    // and nothing else; the halves of a client without OutputReady instead.
    std::string error;
    const std::optional<audio::WavData> played = audio::ReadWavFile(dir / "played.wav", &error);
    ASSERT_TRUE(played.has_value()) << error;
    const Gaps gaps = SilenceInside(*played);
    EXPECT_EQ(gaps.silentFrames, row.outputReady ? uint64_t(row.silentPeriods) * kPeriod : 0u);
    EXPECT_EQ(gaps.runs, row.outputReady ? 1u : 0u);
    std::filesystem::remove_all(dir);
  }
}

// A client that finishes each period up to one period after its event is in
// time: the engine plays period k's answer a whole period later, so nothing
// is late, no period is missed, every wake finds its own period in the
// watchdog, and the loop is exact at the predicted round trip. Finishing at
// the very instant the next period ends still counts: the client's timer and
// the bus frame fall due together, and the timer goes first.
TEST(SystemStreamLate, AnswersUpToOnePeriodLateAreInTime) {
  struct Row {
    const char* why;
    uint32_t delayFrames, jitterFrames;
  };
  const Row rows[] = {
      {"at once", 0, 0},
      {"half a period late", kPeriod / 2, 0},
      {"a frame short of a period", kPeriod - 1, 0},
      {"exactly a period late", kPeriod, 0},
      {"a quarter to a whole period late", kPeriod / 4, kPeriod * 3 / 4},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.why);
    StreamOptions o = LateStream();
    o.seconds = 0.5;
    o.client.delayFrames = row.delayFrames;
    o.client.jitterFrames = row.jitterFrames;
    StreamReport report;
    ASSERT_TRUE(RunStream(o, &report)) << report.error;
    EXPECT_GT(report.periodsDelivered, 95u);
    EXPECT_EQ(report.periodsMissed, 0u);
    EXPECT_EQ(report.watchdogMax, 1u);
    EXPECT_EQ(report.emptyWakes, 0u);
    EXPECT_EQ(report.outputLatePeriods, 0u);
    EXPECT_TRUE(report.loopbackBitExact) << report.loopbackDiscontinuities << " discontinuities";
    ASSERT_TRUE(report.latencyMeasured && report.latencyPredicted);
    EXPECT_EQ(*report.latencyMeasured, *report.latencyPredicted);
  }
}

}  // namespace
}  // namespace tqm::sim
