// TQMDRV streaming end to end: the stream client on the command interface,
// the engine, the USB stack and the virtual TQM27 looping its output back to
// its input, in virtual time so every figure is exact.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <string>

#include "platform/sim/device_client.h"
#include "platform/sim/stream_session.h"

namespace tqm::sim {
namespace {

StreamOptions VirtualStream(uint32_t rate, uint32_t period, uint32_t requests, uint32_t delay = 32) {
  StreamOptions o;
  o.rate = rate;
  o.periodFrames = period;
  o.requestCount = requests;
  o.clock = kernel::ClockMode::Virtual;
  o.input.kind = InputKind::Loopback;
  o.input.loopDelay = delay;
  o.progressMs = 0;
  return o;
}

std::string Shape(const StreamOptions& o) {
  return std::to_string(o.rate) + " Hz, period " + std::to_string(o.periodFrames) + ", " +
         std::to_string(o.requestCount) + " requests, delay " + std::to_string(o.input.loopDelay);
}

// Rates and the menu periods each allows: from one packet's worth up (45
// frames at 44.1 kHz, where a request needs room for a 45-frame packet).
struct RatePeriods {
  uint32_t rate;
  uint32_t minimum;
};
constexpr RatePeriods kRates[] = {{44100, 45}, {48000, 48}, {96000, 96}};
constexpr uint32_t kMenuPeriods[] = {64, 96, 128, 144, 192, 240, 256, 288};

// Every shape, with three kinds of client: one that answers at once with
// OutputReady, one that finishes half a period after the event, and one that
// never sends OutputReady. Each period is heard exactly once, in order, and
// the round trip is 2P + W*B + D whatever the shape or the client.
TEST(SystemStream, LoopbackAtEveryRateMenuPeriodAndBufferNumber) {
  struct Client {
    const char* name;
    bool halfPeriodLate;
    bool outputReady;
  };
  constexpr Client kClients[] = {{"instant", false, true}, {"half a period late", true, true},
                                 {"without OutputReady", false, false}};
  unsigned runs = 0;
  for (const Client& client : kClients) {
    for (const RatePeriods& r : kRates) {
      for (uint32_t period : kMenuPeriods) {
        if (period < r.minimum) continue;
        for (uint32_t requests : {2u, 9u}) {
          StreamOptions o = VirtualStream(r.rate, period, requests);
          o.seconds = 0.5;
          o.client.delayFrames = client.halfPeriodLate ? period / 2 : 0;
          o.client.outputReady = client.outputReady;
          SCOPED_TRACE(Shape(o) + ", client " + client.name);
          StreamReport report;
          ASSERT_TRUE(RunStream(o, &report)) << report.error;
          ++runs;
          EXPECT_EQ(report.periodFrames, period);
          EXPECT_EQ(report.requestCount, requests);
          EXPECT_EQ(report.periodsMissed, 0u);
          EXPECT_EQ(report.dacUnderruns, 0u);
          EXPECT_EQ(report.dacOverruns, 0u);
          EXPECT_EQ(report.inFramesLost, 0u);
          EXPECT_EQ(report.outputReadyFailures, 0u);
          EXPECT_EQ(report.loopbackWidthBits, r.rate == 96000 ? 16u : 24u) << "the record stream is 16-bit at 96 kHz";
          EXPECT_TRUE(report.loopbackBitExact) << report.loopbackDiscontinuities << " discontinuities, "
                                               << report.loopbackCorruptedFrames << " corrupted frames, first at "
                                               << report.loopbackFirstFault.value_or(0);
          EXPECT_EQ(report.loopbackDiscontinuities, 0u);
          EXPECT_GT(report.loopbackFramesCompared, report.framesRecorded / 2);
          ASSERT_TRUE(report.latencyMeasured.has_value()) << "the signal never came back";
          ASSERT_TRUE(report.latencyPredicted.has_value());
          EXPECT_EQ(*report.latencyMeasured, *report.latencyPredicted);
          EXPECT_EQ(report.latencyFirst, report.latencyMeasured) << "the round trip never moves";
        }
      }
    }
  }
  EXPECT_EQ(runs, 3u * 2u * (8 + 8 + 7));
}

// A rate, buffer-number or period change while streaming restarts the
// streams: from the first frame after the restart the loop is exact again at
// the new round trip, and nothing played before the restart is heard after it.
TEST(SystemStream, RestartsWhileStreamingStartClean) {
  struct Row {
    const char* name;
    uint32_t rate, period, requests;
    std::vector<StreamChange> changes;
    uint32_t rateAfter, periodAfter, requestsAfter;
  };
  using K = StreamChange::Kind;
  const Row rows[] = {
      {"rate 48000 to 96000", 48000, 256, 2, {{K::Rate, 96000, 0.3}}, 96000, 256, 2},
      {"rate 96000 to 44100", 96000, 192, 3, {{K::Rate, 44100, 0.3}}, 44100, 192, 3},
      {"buffer number 2 to 9", 44100, 256, 2, {{K::Buffers, 9, 0.3}}, 44100, 256, 9},
      {"period 256 to 96", 48000, 256, 2, {{K::Period, 96, 0.3}}, 48000, 96, 2},
      {"all three", 44100, 128, 2, {{K::Rate, 48000, 0.2}, {K::Buffers, 5, 0.4}, {K::Period, 288, 0.6}}, 48000, 288,
       5},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    StreamOptions o = VirtualStream(row.rate, row.period, row.requests);
    o.seconds = 1;
    o.changes = row.changes;
    StreamReport report;
    ASSERT_TRUE(RunStream(o, &report)) << report.error;
    EXPECT_EQ(report.changesMade, row.changes.size());
    EXPECT_EQ(report.rate, row.rateAfter);
    EXPECT_EQ(report.periodFrames, row.periodAfter);
    EXPECT_EQ(report.requestCount, row.requestsAfter);
    EXPECT_TRUE(report.loopbackBitExact) << report.loopbackDiscontinuities << " discontinuities, "
                                         << report.loopbackCorruptedFrames << " corrupted frames, first at "
                                         << report.loopbackFirstFault.value_or(0);
    EXPECT_EQ(report.loopbackCorruptedFrames, 0u) << "a frame from before a restart was heard after it";
    ASSERT_TRUE(report.latencyMeasured && report.latencyPredicted);
    EXPECT_EQ(*report.latencyMeasured, *report.latencyPredicted);
    EXPECT_EQ(report.outSizeMismatches, 0u);
  }
}

// A sleep of the system while streaming: the driver stops its streams before
// the device goes to D3 and starts them again once it is back in D0. The bus
// is never asked for a transfer while the device is down (it would refuse it),
// nothing was left pending when it went down, the loop is bit-exact again
// after the wake at the pipeline's round trip, and the machine is left clean.
TEST(SystemStream, SleepAndWakeRestartTheStreamsClean) {
  struct Row {
    uint32_t rate, period, requests;
  };
  const Row rows[] = {{44100, 256, 2}, {48000, 192, 3}, {96000, 96, 2}};
  for (const Row& row : rows) {
    SCOPED_TRACE(std::to_string(row.rate) + " Hz");
    StreamOptions o = VirtualStream(row.rate, row.period, row.requests);
    o.seconds = 1;
    o.changes = {{StreamChange::Kind::Sleep, 300, 0.4}};
    StreamReport report;
    ASSERT_TRUE(RunStream(o, &report)) << report.error;
    EXPECT_EQ(report.changesMade, 1u);
    EXPECT_EQ(report.requestsEndedByPowerDown, 0u) << "transfers still pending when the device went to D3";
    EXPECT_EQ(report.requestsRefusedPoweredDown, 0u) << "requests sent to the device while it was down";
    EXPECT_EQ(report.outSlotsRetired + report.inSlotsRetired, 0u);
    // The streams ran again after the wake: every period of the time awake
    // arrived, less what the two starts took (each selects both streaming
    // settings, sets both rates and resets both pipes before the first
    // transfers go down: six control requests of up to three frames).
    const double awakeMs = report.machineMs - 300;
    const uint64_t expected = uint64_t(awakeMs * row.rate / 1000) / row.period;
    const uint64_t startPeriods = (18 * uint64_t(row.rate) / 1000 + row.period - 1) / row.period;
    EXPECT_GE(report.periodsDelivered + 2 * startPeriods + 3, expected) << report.periodsDelivered << " periods";
    EXPECT_LE(report.periodsDelivered, expected + 1);
    EXPECT_TRUE(report.loopbackBitExact) << report.loopbackDiscontinuities << " discontinuities, "
                                         << report.loopbackCorruptedFrames << " corrupted frames, first at "
                                         << report.loopbackFirstFault.value_or(0);
    EXPECT_EQ(report.loopbackCorruptedFrames, 0u) << "a frame from before the sleep was heard after it";
    ASSERT_TRUE(report.latencyMeasured && report.latencyPredicted);
    EXPECT_EQ(*report.latencyMeasured, *report.latencyPredicted);
    EXPECT_EQ(report.outSizeMismatches, 0u);
  }
}

// A forced apply of the panel's record with the running buffer number changes
// nothing that runs: no restart, no gap in the loop.
TEST(SystemStream, ForcedApplyWithTheRunningCountDoesNotRestart) {
  SimulatorOptions simOptions;
  simOptions.clock = kernel::ClockMode::Virtual;
  Simulator sim(simOptions);
  ASSERT_NE(sim.Plug(), nullptr);
  StreamOptions o = VirtualStream(48000, 256, 3);
  StreamReport report;
  {
    StreamSession session(sim, o);
    std::string error;
    ASSERT_TRUE(session.Begin(&error)) << error;
    session.RunFor(300);
    DeviceClient panel(sim.machine(), "panel");
    ASSERT_TRUE(NT_SUCCESS(panel.Open(sim.DriverInterfaces().back())));
    std::optional<MixerSettings> settings = panel.GetSettings();
    ASSERT_TRUE(settings);
    settings->force = 1;
    ASSERT_TRUE(panel.ApplySettings(*settings).ok());
    panel.Close();
    session.RunFor(300);
    report = session.End();
  }
  sim.Unplug();
  EXPECT_TRUE(report.loopbackBitExact) << report.loopbackDiscontinuities << " discontinuities";
  EXPECT_EQ(report.latencyFirst, report.latencyMeasured);
  EXPECT_EQ(report.latencyMeasured, report.latencyPredicted);
}

// The round trip moves frame for frame with the device's loopback delay, and
// nothing else changes: 240 frames at 48 kHz in two requests of 5 packets is
// two periods of lead and 2 x 240 frames of requests, 960 frames.
TEST(SystemStream, MeasuredLatencyIsThePredictedOneForEveryDelay) {
  for (uint32_t delay : {0u, 1u, 47u, 48u, 1000u}) {
    StreamOptions o = VirtualStream(48000, 240, 2, delay);
    o.seconds = 0.5;
    SCOPED_TRACE(Shape(o));
    StreamReport report;
    ASSERT_TRUE(RunStream(o, &report)) << report.error;
    EXPECT_TRUE(report.loopbackBitExact);
    EXPECT_EQ(report.latencyMeasured.value_or(0), 960u + delay);
    EXPECT_EQ(report.latencyPredicted.value_or(0), 960u + delay);
  }
}

// The playback completion that fills a device half and the record completion
// that hands the ASIO client the output half it plays from fall in one bus
// frame, in either order (on two processors, in both). Whichever runs first,
// a client that never answers with OutputReady is heard bit for bit two
// halves later, as the latency reported to it says; with the record side
// first the client used to overwrite the half before the fill read it.
TEST(SystemStream, OutputPairingHoldsWhicheverStreamCompletesFirst) {
  using Completions = usb::PortModes::Completions;
  struct Row {
    const char* what;
    Completions completions;
  };
  const Row orders[] = {
      {"playback first", Completions::PlaybackFirst},
      {"record first", Completions::RecordFirst},
      {"two processors", Completions::TwoProcessors},
  };
  // Shapes whose request and period boundaries meet in one frame.
  const StreamOptions shapes[] = {VirtualStream(48000, 96, 2), VirtualStream(96000, 192, 9)};
  for (const Row& order : orders) {
    for (const StreamOptions& shape : shapes) {
      for (bool outputReady : {false, true}) {
        StreamOptions o = shape;
        o.seconds = 0.3;
        o.completions = order.completions;
        o.client.outputReady = outputReady;
        SCOPED_TRACE(Shape(o) + ", " + order.what + (outputReady ? ", OutputReady" : ", no OutputReady"));
        StreamReport report;
        ASSERT_TRUE(RunStream(o, &report)) << report.error;
        EXPECT_EQ(report.periodsMissed, 0u);
        EXPECT_TRUE(report.loopbackBitExact) << report.loopbackDiscontinuities << " discontinuities";
        ASSERT_TRUE(report.latencyMeasured.has_value()) << "the signal never came back";
        EXPECT_EQ(report.latencyMeasured, report.latencyPredicted);
      }
    }
  }
}

// Ten minutes at 44.1 kHz: the device sends exactly 441 frames per 10 ms and
// the client receives every one of them; the playback side's distance to the
// record side is the same at the end as after one minute (no drift).
TEST(SystemStream, TenMinutesAt44100DeliverEveryFrameWithoutDrift) {
#if defined(__SANITIZE_THREAD__)
  // Drift is arithmetic, not a race: the shorter concurrent runs are the
  // thread checker's, and ten minutes under it take most of its lane.
  GTEST_SKIP() << "ten minutes of stream run in the host build";
#endif
  const auto wallStart = std::chrono::steady_clock::now();
  SimulatorOptions simOptions;
  simOptions.clock = kernel::ClockMode::Virtual;
  Simulator sim(simOptions);
  ASSERT_NE(sim.Plug(), nullptr);
  StreamOptions o = VirtualStream(44100, 240, 2);
  StreamReport report;
  int64_t distanceAfterAMinute = 0;
  usb::DeviceCounters minute, end;
  {
    StreamSession session(sim, o);
    std::string error;
    ASSERT_TRUE(session.Begin(&error)) << error;
    session.RunFor(60000);
    minute = sim.port()->device().Counters();
    distanceAfterAMinute = int64_t(minute.outFrames) - int64_t(minute.inFrames);
    // The streams start a few milliseconds after the channels open (the
    // control requests of the start, then their common start frame); from
    // then on 441 frames every 10 ms.
    EXPECT_LE(double(minute.inFrames), 60000 * 44.1);
    EXPECT_GE(double(minute.inFrames), 59970 * 44.1);
    session.RunFor(540000);
    end = sim.port()->device().Counters();
    report = session.End();
  }
  sim.Unplug();
  const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wallStart).count();
  std::printf("ten minutes of virtual time at 44.1 kHz took %.1f s of wall time\n", wall);
  // Ten minutes, and the control requests of the stop's first steps.
  EXPECT_GE(report.machineMs, 600000.0);
  EXPECT_LT(report.machineMs, 600000.0 + 30);
  EXPECT_NEAR(double(end.inFrames - minute.inFrames), 540000 * 44.1, 1.0) << "nine minutes, exactly";
  EXPECT_EQ(report.framesRecorded, report.periodsDelivered * 240);
  EXPECT_LT(report.deviceInFrames - report.framesRecorded, 240u) << "every frame but the last partial period";
  EXPECT_EQ(int64_t(report.framesPlayed) - int64_t(report.deviceInFrames), distanceAfterAMinute)
      << "the playback side drifted against the record side";
  // The two requests put down at the start carry 220 frames each, before the
  // 44.1 kHz pacing begins: the playback side stays that far behind.
  EXPECT_LE(std::abs(distanceAfterAMinute), 220);
  EXPECT_EQ(report.periodsMissed, 0u);
  EXPECT_EQ(report.dacUnderruns, 0u);
  EXPECT_EQ(report.dacOverruns, 0u);
  EXPECT_EQ(report.inFramesLost, 0u);
  EXPECT_EQ(report.outSizeMismatches, 0u);
  EXPECT_EQ(report.loopbackCorruptedFrames, 0u);
  EXPECT_EQ(report.latencyMeasured, report.latencyPredicted);
}

}  // namespace
}  // namespace tqm::sim
