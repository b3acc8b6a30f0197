// TQMDRV streaming while the bus fails a fraction of its isochronous
// requests, end to end through the command interface in virtual time: the
// stream survives, every period arrives, only the failed packets' frames are
// lost, and the machine is left clean.
#include <gtest/gtest.h>

#include <string>

#include "platform/sim/stream_session.h"

namespace tqm::sim {
namespace {

StreamOptions FailingStream(uint32_t rate, uint32_t period, double seconds, uint32_t outPpm, uint32_t inPpm) {
  StreamOptions o;
  o.rate = rate;
  o.periodFrames = period;
  o.requestCount = 2;
  o.seconds = seconds;
  o.clock = kernel::ClockMode::Virtual;
  o.input.kind = InputKind::Loopback;
  o.input.loopDelay = 32;
  o.progressMs = 0;
  o.companion.kind = CompanionPlay::Kind::None;
  o.failOutPerMillion = outPpm;
  o.failInPerMillion = inPpm;
  return o;
}

// Runs the stream on a machine of its own and checks the bus faults' figures
// and the machine's state after the device left.
void ExpectSurvives(const StreamOptions& o, StreamReport* report) {
  Simulator sim(SimulatorOptions{kernel::ClockMode::Virtual, false, true, true});
  ASSERT_NE(sim.Plug(), nullptr);
  {
    StreamSession session(sim, o);
    std::string error;
    ASSERT_TRUE(session.Begin(&error)) << error;
    session.RunFor(o.seconds * 1000);
    *report = session.End();
  }
  sim.Unplug();
  const StreamReport& r = *report;
  ASSERT_TRUE(r.error.empty()) << r.error;

  // Every period arrived, none late: the record stream kept time.
  const uint64_t expected = uint64_t(r.machineMs * o.rate / 1000) / o.periodFrames;
  EXPECT_LE(r.periodsDelivered, expected + 1);
  // The start selects both streaming settings, sets the rate of both
  // endpoints and resets both pipes before the first transfers go down: six
  // control requests of up to three frames each.
  const uint64_t startPeriods = (18 * uint64_t(o.rate) / 1000 + o.periodFrames - 1) / o.periodFrames;
  EXPECT_GE(r.periodsDelivered + 3 + startPeriods, expected) << "periods lost";
  EXPECT_EQ(r.periodsMissed, 0u);
  EXPECT_EQ(r.outputReadyFailures, 0u);

  // The bus failed what it was asked to, and the engine resubmitted each
  // failed request once, under its cause, giving up no slot.
  if (o.failOutPerMillion) EXPECT_GT(r.outRequestsFailed, 0u);
  if (o.failInPerMillion) EXPECT_GT(r.inRequestsFailed, 0u);
  EXPECT_EQ(r.outRetriesRequestFailed, r.outRequestsFailed);
  EXPECT_EQ(r.inRetriesRequestFailed, r.inRequestsFailed);
  EXPECT_EQ(r.outRetriesPacketErrors + r.inRetriesPacketErrors + r.outRetriesStalled + r.inRetriesStalled +
                r.outRetriesOther + r.inRetriesOther,
            0u);
  EXPECT_EQ(r.outSlotsRetired + r.inSlotsRetired, 0u);
  EXPECT_EQ(r.outRequestsGone + r.inRequestsGone, 0u);

  // Only the failed packets' frames are lost: the ADC frames of the failed IN
  // packets, filled with silence by the engine (48 per millisecond), and the
  // DAC's milliseconds without the failed OUT packets.
  const uint64_t k = o.rate / 1000;
  EXPECT_GE(r.inFramesLost, r.inPacketsFailed * k);
  EXPECT_LE(r.inFramesLost, r.inPacketsFailed * (o.rate % 1000 ? k + 1 : k));
  EXPECT_EQ(r.inFramesFilled, r.inFramesLost) << "silence for exactly the frames the device lost";
  EXPECT_LE(r.dacUnderruns, r.outPacketsFailed);
  EXPECT_EQ(r.framesRecorded, r.periodsDelivered * o.periodFrames);
  // The loop: each failed stretch is one silent gap after which the signal
  // goes on where time has moved it; no frame is corrupted, and the round
  // trip at the end is still the one the pipeline predicts. At 44.1 kHz a lost
  // OUT packet of 44 frames may stand where the device's clock made 45 (or
  // the other way round): the device's loop then hears one frame of silence
  // more or less than was lost, and the loop moves by that frame.
  EXPECT_TRUE(r.loopbackChecked);
  EXPECT_EQ(r.loopbackCorruptedFrames, 0u);
  ASSERT_TRUE(r.latencyMeasured.has_value());
  ASSERT_TRUE(r.latencyPredicted.has_value());
  if (o.rate % 1000 == 0) {
    EXPECT_LE(r.loopbackDiscontinuities, r.outRequestsFailed + r.inRequestsFailed);
    EXPECT_EQ(r.latencyMeasured, r.latencyPredicted);
  } else {
    EXPECT_LE(r.loopbackDiscontinuities, 2 * (r.outRequestsFailed + r.inRequestsFailed));
    const int64_t moved = int64_t(*r.latencyMeasured) - int64_t(*r.latencyPredicted);
    EXPECT_LE(uint64_t(moved < 0 ? -moved : moved), r.outRequestsFailed);
  }
  if (o.failOutPerMillion || o.failInPerMillion) {
    EXPECT_GT(r.loopbackDiscontinuities, 0u);
  }

  // Nothing leaks: the unload found all of TQMDRV's and the companion's pool
  // returned, and the verifier found no misuse.
  for (const auto& [tag, blocks] : sim.DriverPoolBlocks()) EXPECT_EQ(blocks, 0u) << "pool tag " << tag;
  for (const kernel::Fault& f : sim.Faults()) ADD_FAILURE() << "verifier: " << f.what << " in " << f.where;
}

// One request in a hundred fails on the bus, both ways, for a minute of
// machine time.
TEST(SystemStreamFaults, OnePercentOfRequestsFailForAMinute) {
  const StreamOptions o = FailingStream(48000, 256, 60, 10000, 10000);
  StreamReport r;
  ExpectSurvives(o, &r);
  // Figures for the record: 1 % of the minute's 12 000 playback and 60 000
  // record requests.
  std::printf("60 s at 1 %%: %llu periods, %llu OUT and %llu IN requests failed (%llu and %llu packets), "
              "%llu IN frames filled, %llu loop gaps, DAC underruns %llu\n",
              (unsigned long long)r.periodsDelivered, (unsigned long long)r.outRequestsFailed,
              (unsigned long long)r.inRequestsFailed, (unsigned long long)r.outPacketsFailed,
              (unsigned long long)r.inPacketsFailed, (unsigned long long)r.inFramesFilled,
              (unsigned long long)r.loopbackDiscontinuities, (unsigned long long)r.dacUnderruns);
  EXPECT_GT(r.outRequestsFailed, 60u);
  EXPECT_GT(r.inRequestsFailed, 300u);
}

// Other shapes, shorter: one direction at a time, a heavier rate, 44.1 kHz
// with its 44/45 packets.
TEST(SystemStreamFaults, FailuresInEitherDirectionAtEveryRate) {
  const struct {
    uint32_t rate, period, outPpm, inPpm;
  } rows[] = {
      {48000, 128, 50000, 0},
      {96000, 192, 0, 50000},
      {44100, 256, 20000, 20000},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(std::to_string(row.rate) + " Hz, period " + std::to_string(row.period) + ", OUT " +
                 std::to_string(row.outPpm) + " ppm, IN " + std::to_string(row.inPpm) + " ppm");
    StreamReport r;
    ExpectSurvives(FailingStream(row.rate, row.period, 5, row.outPpm, row.inPpm), &r);
    if (::testing::Test::HasFailure()) return;
  }
}

}  // namespace
}  // namespace tqm::sim
