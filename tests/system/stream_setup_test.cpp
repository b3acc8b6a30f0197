// Stream runs that cannot be made say why, and a run shares the device with
// the companion audio driver as the ASIO client shares it with Windows audio.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "platform/sim/device_client.h"
#include "platform/sim/stream_session.h"

namespace tqm::sim {
namespace {

StreamOptions Virtual(uint32_t rate, uint32_t period) {
  StreamOptions o;
  o.rate = rate;
  o.periodFrames = period;
  o.seconds = 0.5;
  o.clock = kernel::ClockMode::Virtual;
  o.progressMs = 0;
  return o;
}

TEST(SystemStreamSetup, RunsThatCannotBeMadeSayWhy) {
  struct Row {
    const char* why;
    std::function<void(StreamOptions&)> change;
    const char* said;  // part of the error
  };
  const Row rows[] = {
      // 88.2 kHz is no rate of the device: the settings record is refused or
      // corrected, and the rate call fails.
      {"unsupported rate", [](StreamOptions& o) { o.rate = 88200; }, "88200"},
      // 64 frames hold no 96 kHz packet: the panel's latency call is refused.
      {"period below one packet", [](StreamOptions& o) { o.rate = 96000; }, "SetLatency 64 refused at 96000 Hz"},
      // More than a half of 512 frames: refused too.
      {"period beyond the menu", [](StreamOptions& o) { o.periodFrames = 600; }, "SetLatency 600 refused"},
      // Files that are not there.
      {"missing input file",
       [](StreamOptions& o) {
         o.input.kind = InputKind::Wav;
         o.input.wav = "/nonexistent/in.wav";
       },
       "cannot read /nonexistent/in.wav"},
      {"missing companion file",
       [](StreamOptions& o) {
         o.companion.kind = CompanionPlay::Kind::Wav;
         o.companion.wav = "/nonexistent/companion.wav";
       },
       "cannot read /nonexistent/companion.wav"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.why);
    StreamOptions o = Virtual(48000, 64);
    row.change(o);
    StreamReport report;
    EXPECT_FALSE(RunStream(o, &report));
    EXPECT_NE(report.error.find(row.said), std::string::npos) << "error: " << report.error;
    EXPECT_EQ(report.periodsDelivered, 0u);
    EXPECT_NE(ReportJson(report).find("\"ok\":false"), std::string::npos);
  }
}

TEST(SystemStreamSetup, TheCompanionPlaysBesideTheAsioClient) {
  // A tone from Windows audio on port 0 while the ASIO client streams on
  // port 2: both are fed every period, and the device plays their mix
  // without a gap.
  StreamOptions o = Virtual(48000, 240);
  o.seconds = 1;
  o.companion.kind = CompanionPlay::Kind::Tone;
  StreamReport report;
  ASSERT_TRUE(RunStream(o, &report)) << report.error;
  // Both streams start 5 ms after the channels open (the start's control
  // requests, then their common start frame): 995 ms of streaming.
  EXPECT_EQ(report.periodsDelivered, 199u);
  EXPECT_GE(report.companionPeriods, 198u);
  EXPECT_LE(report.companionPeriods, 201u);
  EXPECT_EQ(report.periodsMissed, 0u);
  EXPECT_EQ(report.dacUnderruns, 0u);
  EXPECT_EQ(report.framesPlayed, 995u * 48);
  EXPECT_FALSE(report.loopbackChecked) << "the device's loop carries the mix, not the client's signal alone";
}

// The status block is mapped read-write into the client: what it writes into
// the words the engine publishes (period, rate, request count) steers
// nothing. A client scribbling on them every millisecond for a second, and a
// GetSettings aimed at its own mapping, leave the stream exact, the kernel's
// memory intact (the verifier and the pool's guards would end the run), and
// the words right again within a period.
TEST(SystemStreamSetup, StatusBlockScribblesSteerNothing) {
  SimulatorOptions simOptions;
  simOptions.clock = kernel::ClockMode::Virtual;
  Simulator sim(simOptions);
  ASSERT_NE(sim.Plug(), nullptr);
  StreamOptions o = Virtual(48000, 256);
  StreamReport report;
  std::optional<StatusBlockView> block;
  {
    StreamSession session(sim, o);
    std::string error;
    ASSERT_TRUE(session.Begin(&error)) << error;
    block = session.client().status();
    ASSERT_TRUE(block);
    session.RunFor(100);
    const uint32_t scribbles[][3] = {{3000, 0x7FFFFFFF, 0}, {0, 0, 0xFFFFFFFF}, {1, 1, 12}};
    for (int ms = 0; ms < 1000; ++ms) {
      const uint32_t* values = scribbles[ms % 3];
      block->Write(StatusWord::PeriodFrames, values[0]);
      block->Write(StatusWord::SampleRate, values[1]);
      block->Write(StatusWord::RequestCount, values[2]);
      if (ms == 500) {
        // GetSettings aimed at the client's mapping: the simulated process
        // maps the block's bytes only, so the 276-byte record does not fit and
        // the checked copy refuses it (Windows would write it into the page,
        // which holds nothing else); either way nothing of the engine moves.
        CommandRecord r = DeviceClient::Record(CMD_CLASS_CONTROL, ControlOp::GetSettings);
        r.SetSlot(Field::SettingsAddress, uint64_t(reinterpret_cast<uintptr_t>(session.client().statusBlockAddress())));
        const CommandResult sent = session.client().device().Send(r);
        EXPECT_EQ(sent.status, STATUS_ACCESS_VIOLATION) << StatusText(sent.status);
      }
      session.RunFor(1);
    }
    session.RunFor(6);  // one period
    EXPECT_EQ(block->Read(StatusWord::PeriodFrames), 256u);
    EXPECT_EQ(block->Read(StatusWord::SampleRate), 48000u);
    EXPECT_EQ(block->Read(StatusWord::RequestCount), 2u);
    session.RunFor(100);
    report = session.End();
  }
  sim.Unplug();
  EXPECT_TRUE(report.loopbackBitExact) << report.loopbackDiscontinuities << " discontinuities, "
                                       << report.loopbackCorruptedFrames << " corrupted";
  EXPECT_EQ(report.latencyMeasured, report.latencyPredicted);
  EXPECT_EQ(report.outSizeMismatches, 0u);
  EXPECT_EQ(report.dacUnderruns, 0u);
  for (const auto& [tag, blocks] : sim.DriverPoolBlocks()) EXPECT_EQ(blocks, 0u) << tag;
}

// A real-time run says how promptly the client woke after each period event
// and how late the clock ran its instants, and whether each got a real-time
// priority; a virtual run has no wall clock to be late for and reports none.
TEST(SystemStreamSetup, RealTimeRunsReportWakeAndClockFigures) {
  for (const kernel::ClockMode mode : {kernel::ClockMode::Virtual, kernel::ClockMode::Real}) {
    const bool real = mode == kernel::ClockMode::Real;
    SCOPED_TRACE(real ? "real time" : "virtual time");
    StreamOptions o = Virtual(48000, 256);
    o.clock = mode;
    StreamReport r;
    ASSERT_TRUE(RunStream(o, &r)) << r.error;
    ASSERT_GT(r.periodsDelivered, 0u);
    const std::string json = ReportJson(r);
    if (!real) {
      EXPECT_FALSE(r.wakeLatencyP99Us || r.clockLatenessP99Us || r.clockRealTime || r.clientRealTime);
      EXPECT_EQ(r.wakeLatencySamples, 0u);
      EXPECT_NE(json.find("\"wakeLatencyP99Us\":null"), std::string::npos) << json;
      EXPECT_NE(json.find("\"machineStolenPercent\":null"), std::string::npos) << json;
      continue;
    }
    // Signals that meet one wait share a sample, and a signal that comes
    // between a wake and its look at the stamps goes with that wake, so a
    // loaded machine may time a few wakes fewer than it handled, never more.
    EXPECT_GT(r.wakeLatencySamples, 0u);
    EXPECT_LE(r.wakeLatencySamples, r.periodsDelivered);
    ASSERT_TRUE(r.wakeLatencyMedianUs && r.wakeLatencyP99Us && r.wakeLatencyMaxUs);
    EXPECT_LE(*r.wakeLatencyMedianUs, *r.wakeLatencyP99Us);
    EXPECT_LE(*r.wakeLatencyP99Us, *r.wakeLatencyMaxUs);
    EXPECT_GT(r.clockInstants, 0u);
    ASSERT_TRUE(r.clockLatenessMedianUs && r.clockLatenessP99Us && r.clockLatenessMaxUs);
    EXPECT_LE(*r.clockLatenessMedianUs, *r.clockLatenessP99Us);
    EXPECT_LE(*r.clockLatenessP99Us, *r.clockLatenessMaxUs);
    ASSERT_TRUE(r.clockRealTime && r.clientRealTime);
#if defined(__linux__)
    // The host's kernel counts what its hypervisor took, on a bare machine 0.
    ASSERT_TRUE(r.machineStolenPercent.has_value());
    EXPECT_GE(*r.machineStolenPercent, 0.0);
    EXPECT_LE(*r.machineStolenPercent, 100.0);
#endif
    EXPECT_EQ(*r.clockRealTime, r.clockPriorityRefusal.empty()) << r.clockPriorityRefusal;
    EXPECT_EQ(*r.clientRealTime, r.clientPriorityRefusal.empty()) << r.clientPriorityRefusal;
    EXPECT_NE(json.find("\"wakeLatencyP99Us\":" + std::to_string(*r.wakeLatencyP99Us) + ","), std::string::npos)
        << json;
    EXPECT_NE(json.find("\"clockLatenessMaxUs\":" + std::to_string(*r.clockLatenessMaxUs) + ","),
              std::string::npos)
        << json;
  }
}

// The device reads every OUT packet against its rate: packets of another
// size (here the device was moved to 44.1 kHz behind the driver's back, so
// 48-frame packets no longer fit) fail the run unless the run allows them.
TEST(SystemStreamSetup, OutPacketsOfTheWrongSizeFailTheRun) {
  for (const bool allow : {false, true}) {
    SCOPED_TRACE(allow ? "allowed" : "by default");
    Simulator sim;
    ASSERT_NE(sim.Plug(), nullptr);
    StreamOptions o = Virtual(48000, 256);
    o.allowOutSizeMismatch = allow;
    StreamReport r;
    {
      StreamSession session(sim, o);
      std::string error;
      ASSERT_TRUE(session.Begin(&error)) << error;
      session.RunFor(50);
      std::vector<uint8_t> rate = {0x44, 0xAC, 0x00};
      ASSERT_EQ(sim.port()->device().Control(usb::SetupPacket{0x22, 0x01, 0x0100, 0x03, 3}, rate).status,
                usb::UsbStatus::Ok);
      session.RunFor(50);
      r = session.End();
    }
    sim.Unplug();
    EXPECT_GT(r.outSizeMismatches, 0u);
    if (allow) {
      EXPECT_TRUE(r.error.empty()) << r.error;
    } else {
      EXPECT_NE(r.error.find("OUT packets of the wrong size"), std::string::npos) << r.error;
    }
  }
}

}  // namespace
}  // namespace tqm::sim
