// The named end-to-end runs (scenarios.h). Each builds its machine in virtual
// time, streams like the ASIO client with the loopback as the device's input,
// does what users do to a running stream, and checks what the clients see.
#include "platform/sim/scenarios.h"

#include <atomic>
#include <functional>
#include <sstream>

#include "platform/kernel/pool.h"
#include "platform/sim/device_client.h"
#include "platform/sim/simulator.h"
#include "platform/sim/stream_session.h"

namespace tqm::sim {

namespace {

class Checks {
 public:
  explicit Checks(ScenarioResult& r) : r_(r) {}
  template <typename T>
  void Figure(const std::string& name, const T& value) {
    std::ostringstream o;
    o << value;
    r_.figures.emplace_back(name, o.str());
  }
  bool Expect(bool holds, const std::string& what) {
    if (!holds) r_.failures.push_back(what);
    return holds;
  }
  void Finish(const Simulator& sim) {
    for (const kernel::Fault& f : sim.Faults())
      r_.failures.push_back(std::string("verifier: ") + kernel::FaultKindName(f.kind) + ": " + f.what + " in " +
                            f.where);
    r_.pass = r_.failures.empty();
  }

 private:
  ScenarioResult& r_;
};

SimulatorOptions ScenarioMachine() {
  SimulatorOptions o;
  o.clock = kernel::ClockMode::Virtual;
  o.recordFaults = true;
  return o;
}

// 240 frames at 48 kHz is five whole packets per period: the stream starts
// without the start-up repeat that 256 frames shows, so the loopback is
// bit-exact from its first frame.
StreamOptions ScenarioStream() {
  StreamOptions o;
  o.rate = 48000;
  o.periodFrames = 240;
  o.requestCount = 2;
  o.clock = kernel::ClockMode::Virtual;
  o.progress = nullptr;
  return o;
}

// A control client as the panel is one: its own process and handle.
std::unique_ptr<DeviceClient> OpenPanel(Simulator& sim) {
  auto panel = std::make_unique<DeviceClient>(sim.machine(), "panel");
  const std::vector<std::wstring> paths = sim.DriverInterfaces();
  if (paths.empty() || !NT_SUCCESS(panel->Open(paths.back()))) return nullptr;
  return panel;
}

void StreamFigures(Checks& c, const StreamReport& r, const std::string& prefix) {
  c.Figure(prefix + "periods delivered", r.periodsDelivered);
  c.Figure(prefix + "periods missed", r.periodsMissed);
  c.Figure(prefix + "DAC underruns", r.dacUnderruns);
}

bool NoDriverPool(Checks& c, const Simulator& sim, const std::string& when) {
  bool clean = true;
  for (const auto& [tag, blocks] : sim.DriverPoolBlocks()) {
    if (blocks) {
      c.Expect(false, when + ": " + std::to_string(blocks) + " pool blocks of tag " + tag + " remain");
      clean = false;
    }
  }
  return clean;
}

// The frame of most scenarios: a machine in virtual time with the TQM27
// plugged in; the body runs on it; then the device is unplugged, and the
// driver's pool and the verifier's faults are checked.
ScenarioResult OnPluggedDevice(const std::function<void(Checks&, Simulator&)>& body) {
  ScenarioResult result;
  Checks c(result);
  Simulator sim(ScenarioMachine());
  if (c.Expect(sim.Plug() != nullptr, "the TQM27 was plugged in")) {
    body(c, sim);
    sim.Unplug();
    NoDriverPool(c, sim, "after unplug");
  }
  c.Finish(sim);
  return result;
}

ScenarioResult RateChange() {
  return OnPluggedDevice([](Checks& c, Simulator& sim) {
    std::unique_ptr<DeviceClient> panel = OpenPanel(sim);
    HANDLE rateEvent = panel ? panel->CreateEvent(false, false) : nullptr;
    if (c.Expect(panel && panel->SetRateEvent(rateEvent).ok(), "the panel registered its rate event")) {
      StreamSession session(sim, ScenarioStream());
      std::string error;
      if (c.Expect(session.Begin(&error), "the stream started: " + error)) {
        session.RunFor(500);
        // Slot 0 fired at the stream's start; take that signal first.
        panel->WaitForEvent(rateEvent, 0);
        const uint64_t before = session.client().counters().periods;
        const CommandResult changed = session.client().device().SetSampleRate(96000);
        c.Expect(changed.ok(), "SetSampleRate 96000 succeeded: " + StatusText(changed.status));
        session.RunFor(500);
        const uint64_t after = session.client().counters().periods - before;
        const uint32_t word2 = session.client().status() ? session.client().status()->Read(StatusWord::SampleRate) : 0;
        const usb::DeviceState device = sim.port()->device().State();
        const bool heard = panel->WaitForEvent(rateEvent, 0) == STATUS_SUCCESS;
        const StreamReport report = session.End();
        c.Figure("periods before the change", before);
        c.Figure("periods in the 500 ms after it", after);
        c.Figure("status word 2 after", word2);
        c.Figure("device playback rate", device.playbackRate);
        c.Figure("device record rate", device.recordRate);
        c.Figure("rate event signalled", heard ? "yes" : "no");
        c.Expect(word2 == 96000, "the client reads 96000 Hz in status word 2");
        c.Expect(device.playbackRate == 96000 && device.recordRate == 96000, "the device runs at 96000 Hz");
        c.Expect(heard, "the rate event (slot 0) was signalled after the change");
        // 500 ms at 96 kHz is 200 periods of 240 frames; the restart costs a few.
        c.Expect(after >= 160, "the stream went on at the new rate");
        c.Expect(report.error.empty(), "the stream ended cleanly: " + report.error);
      }
    }
    if (panel) panel->Close();
  });
}

ScenarioResult LatencyRefused() {
  return OnPluggedDevice([](Checks& c, Simulator& sim) {
    StreamSession session(sim, ScenarioStream());
    std::string error;
    if (c.Expect(session.Begin(&error), "the stream started: " + error)) {
      session.RunFor(300);
      std::unique_ptr<DeviceClient> panel = OpenPanel(sim);
      const CommandResult refused = panel ? panel->SetLatency(128, true) : CommandResult{STATUS_UNSUCCESSFUL, 0};
      const uint32_t latency = panel ? panel->GetLatency().value_or(0) : 0;
      if (panel) panel->Close();
      session.RunFor(300);
      const StreamReport report = session.End();
      c.Figure("SetLatency 128 while streaming", StatusText(refused.status));
      c.Figure("GetLatency after", latency);
      StreamFigures(c, report, "");
      c.Figure("loopback", report.loopbackBitExact ? "bit-exact" : "not bit-exact");
      c.Expect(refused.status == STATUS_INVALID_PARAMETER, "the latency change was refused with STATUS_INVALID_PARAMETER");
      c.Expect(latency == 240, "the period stayed 240 frames");
      c.Expect(report.periodFrames == 240, "status word 0 stayed 240");
      c.Expect(report.periodsMissed == 0, "no period was missed");
      c.Expect(report.loopbackBitExact, "the loopback stayed bit-exact");
    }
  });
}

ScenarioResult BufferChange() {
  return OnPluggedDevice([](Checks& c, Simulator& sim) {
    StreamSession session(sim, ScenarioStream());
    std::string error;
    if (c.Expect(session.Begin(&error), "the stream started: " + error)) {
      session.RunFor(300);
      std::unique_ptr<DeviceClient> panel = OpenPanel(sim);
      std::optional<MixerSettings> settings = panel ? panel->GetSettings() : std::nullopt;
      CommandResult applied{STATUS_UNSUCCESSFUL, 0};
      if (settings) {
        settings->requestCount = 6;
        applied = panel->ApplySettings(*settings);
      }
      if (panel) panel->Close();
      const uint64_t before = session.client().counters().periods;
      session.RunFor(500);
      const uint64_t after = session.client().counters().periods - before;
      const StreamReport report = session.End();
      c.Figure("ApplySettings with buffer number 6", StatusText(applied.status));
      c.Figure("status word 5 after", report.requestCount);
      c.Figure("periods in the 500 ms after it", after);
      StreamFigures(c, report, "");
      c.Expect(applied.ok(), "the settings were applied");
      c.Expect(report.requestCount == 6, "the engine keeps 6 playback requests in flight");
      c.Expect(after >= 80, "the stream went on after the change");  // 100 periods in 500 ms
      c.Expect(report.periodsMissed == 0, "no period was missed");
    }
  });
}

ScenarioResult SurpriseRemoval() {
  ScenarioResult result;
  Checks c(result);
  Simulator sim(ScenarioMachine());
  if (c.Expect(sim.Plug() != nullptr, "the TQM27 was plugged in")) {
    std::unique_ptr<DeviceClient> panel = OpenPanel(sim);
    HANDLE removal = panel ? panel->CreateEvent(false, false) : nullptr;
    c.Expect(panel && panel->SetRemovalEvent(removal).ok(), "the panel registered its removal event");
    auto session = std::make_unique<StreamSession>(sim, ScenarioStream());
    std::string error;
    if (c.Expect(session->Begin(&error), "the stream started: " + error)) {
      // The stream client's device listener: told when the interface goes.
      std::atomic<int> removals{0};
      const int cookie = sim.machine().RegisterInterfaceNotification(
          session->client().device().process(), DriverInterfaceClass(),
          [&removals](bool arrival, const std::wstring&) {
            if (!arrival) ++removals;
          });
      session->RunFor(300);
      sim.Unplug();
      const std::optional<kernel::NodeState> afterUnplug = sim.DeviceState();
      c.Figure("device node after unplug", afterUnplug ? kernel::NodeStateName(*afterUnplug) : "gone");
      c.Figure("interface removals told to the client", removals.load());
      c.Expect(removals.load() == 1, "the client was told the interface went away");
      const bool earlySignal = panel && panel->WaitForEvent(removal, 0) == STATUS_SUCCESS;
      // The client closes down as it does on removal, and so does the panel.
      const StreamReport report = session->End();
      session.reset();
      sim.machine().UnregisterInterfaceNotification(cookie);
      if (panel) panel->Close();
      sim.Run(10);
      const std::optional<kernel::NodeState> afterClose = sim.DeviceState();
      const bool lateSignal = panel && panel->WaitForEvent(removal, 0) == STATUS_SUCCESS;
      const bool signalled = earlySignal || lateSignal;
      c.Figure("slot 6 signalled before the handles closed", earlySignal ? "yes" : "no");
      c.Figure("slot 6 signalled once they had", lateSignal ? "yes" : "no");
      c.Figure("periods before the removal", report.periodsDelivered);
      c.Figure("device node after the handles closed", afterClose ? kernel::NodeStateName(*afterClose) : "gone");
      size_t mappings = 0;
      for (kernel::Process* p : sim.machine().Processes()) mappings += p->MappingCount();
      c.Figure("user mappings left in the processes", mappings);
      c.Expect(mappings == 0, "no user mapping was left behind");
      c.Expect(!afterClose || *afterClose == kernel::NodeState::Removed, "REMOVE came once the handles closed");
      c.Expect(signalled, "slot 6 was signalled at the removal");
      c.Expect(report.periodsDelivered > 50, "the stream ran before the removal");
    }
    panel.reset();
    NoDriverPool(c, sim, "after the removal");
  }
  c.Finish(sim);
  return result;
}

ScenarioResult ClientTakeover() {
  return OnPluggedDevice([](Checks& c, Simulator& sim) {
    StreamSession session(sim, ScenarioStream());
    std::string error;
    if (c.Expect(session.Begin(&error), "the stream started: " + error)) {
      session.RunFor(200);
      // A second host while the first is healthy: refused.
      StreamClient second(sim, "second host");
      std::string refusal;
      const bool refused = !second.Open(&refusal);
      c.Figure("second host while the first answers", refused ? refusal : "opened");
      c.Expect(refused, "the second host was refused while the first answers");
      // The first host hangs: ten periods later the watchdog says so.
      session.client().SetResponsive(false);
      session.RunFor(100);  // 20 periods of 240 frames
      const uint32_t watchdog = session.client().status()->Read(StatusWord::Watchdog);
      c.Figure("watchdog after 100 ms without answers", watchdog);
      c.Expect(watchdog == kWatchdogLimit, "the watchdog climbed to 10 and stopped there");
      std::string takeover;
      const bool opened = second.Open(&takeover) && second.CreateBuffers(48000, &takeover);
      c.Figure("second host after the hang", opened ? "opened, buffers made" : takeover);
      c.Expect(opened, "the second host took the engine over");
      second.DisposeBuffers();
      second.Close();
      session.client().SetResponsive(true);
      session.End();
    }
  });
}

ScenarioResult InnerRouteLoop() {
  return OnPluggedDevice([](Checks& c, Simulator& sim) {
    StreamOptions o = ScenarioStream();
    // The device hears nothing; the engine loops the client's playback
    // channels into its own record channels through the loop rings.
    o.input.kind = InputKind::Silence;
    o.routes = {{2, 0, 2, 0}, {2, 1, 2, 1}};
    StreamSession session(sim, o);
    std::string error;
    if (c.Expect(session.Begin(&error), "the stream started: " + error)) {
      session.RunFor(1000);
      const StreamReport report = session.End();
      StreamFigures(c, report, "");
      c.Figure("loop", report.loopbackBitExact ? "bit-exact at 24 bits" : "not bit-exact");
      c.Figure("round trip (frames)", report.latencyMeasured ? std::to_string(*report.latencyMeasured) : "none");
      c.Expect(report.loopbackBitExact, "the routed playback came back bit-exact in the record channels");
      c.Expect(report.latencyMeasured && *report.latencyMeasured % o.periodFrames == 0,
               "the engine's loop delays by whole periods");
      c.Expect(report.periodsMissed == 0, "no period was missed");
    }
  });
}

ScenarioResult InnerRouteCompanion() {
  ScenarioResult result;
  Checks c(result);
  Simulator sim(ScenarioMachine());
  if (c.Expect(sim.Plug() != nullptr, "the TQM27 was plugged in") &&
      c.Expect(sim.Companion() != nullptr, "the companion driver loaded on the child device")) {
    StreamOptions o = ScenarioStream();
    // Windows audio plays the test signal through the companion (port 0);
    // the panel's cables take its two channels into the ASIO client's record
    // channels, while the device hears nothing.
    o.input.kind = InputKind::Silence;
    o.companion.kind = CompanionPlay::Kind::Signal;
    o.routes = {{0, 0, 2, 0}, {0, 1, 2, 1}};
    StreamSession session(sim, o);
    std::string error;
    if (c.Expect(session.Begin(&error), "the stream started: " + error)) {
      session.RunFor(1000);
      const StreamReport report = session.End();
      StreamFigures(c, report, "");
      c.Figure("companion playback periods", report.companionPeriods);
      c.Figure("loop", report.loopbackBitExact ? "bit-exact at 24 bits" : "not bit-exact");
      c.Figure("round trip (frames)", report.latencyMeasured ? std::to_string(*report.latencyMeasured) : "none");
      c.Expect(report.companionPeriods >= 190, "the companion played all along");  // 200 periods in 1 s
      c.Expect(report.loopbackBitExact, "the companion's playback reached the ASIO client's record bit-exact");
      c.Expect(report.periodsMissed == 0, "no period was missed");
    }
    sim.Unplug();
    NoDriverPool(c, sim, "after unplug");
  }
  c.Finish(sim);
  return result;
}

ScenarioResult PlugCycles() { return RunPlugCycles(10); }

}  // namespace

ScenarioResult RunPlugCycles(unsigned cycles) {
  ScenarioResult result;
  Checks c(result);
  Simulator sim(ScenarioMachine());
  unsigned bitExact = 0, completed = 0;
  uint64_t periods = 0;
  for (unsigned i = 0; i < cycles; ++i) {
    const std::string label = "cycle " + std::to_string(i + 1);
    if (!c.Expect(sim.Plug() != nullptr, label + ": the TQM27 was plugged in")) break;
    {
      StreamOptions options = ScenarioStream();
      StreamSession session(sim, options);
      std::string error;
      if (!c.Expect(session.Begin(&error), label + ": the stream started: " + error)) break;
      session.RunFor(200);
      const StreamReport report = session.End();
      periods += report.periodsDelivered;
      bitExact += report.loopbackBitExact ? 1 : 0;
      c.Expect(report.loopbackBitExact, label + ": the loopback was bit-exact");
    }
    sim.Unplug();
    if (!c.Expect(sim.pdo() == nullptr, label + ": the device was removed")) break;
    if (!NoDriverPool(c, sim, label)) break;
    for (kernel::Process* p : sim.machine().Processes())
      c.Expect(p->MappingCount() == 0, label + ": process '" + p->name() + "' keeps a mapping");
    ++completed;
  }
  c.Figure("cycles completed", completed);
  c.Figure("cycles bit-exact", bitExact);
  c.Figure("periods delivered in all", periods);
  c.Figure("pool allocations in all", sim.machine().pool().AllocationCount());
  c.Finish(sim);
  return result;
}

const std::vector<ScenarioInfo>& Scenarios() {
  static const std::vector<ScenarioInfo> list = {
      {"rate-change", "48 kHz to 96 kHz while streaming: the client hears the new rate", RateChange},
      {"latency-refused", "the panel's latency change is refused while streaming", LatencyRefused},
      {"buffer-change", "the buffer number changes from 2 to 6 while streaming", BufferChange},
      {"surprise-removal", "the TQM27 is pulled mid-stream; the clients close, REMOVE comes, nothing leaks",
       SurpriseRemoval},
      {"client-takeover", "a second ASIO host is refused, then takes over once the first hangs", ClientTakeover},
      {"innerroute-companion", "InnerROUTE takes the companion's playback into the ASIO client's record",
       InnerRouteCompanion},
      {"innerroute-loop", "InnerROUTE loops the ASIO client's playback into its own record channels",
       InnerRouteLoop},
      {"plug-cycles", "ten plug, stream, unplug cycles without a leak", PlugCycles},
  };
  return list;
}

const ScenarioInfo* FindScenario(const std::string& name) {
  for (const ScenarioInfo& s : Scenarios())
    if (name == s.name) return &s;
  return nullptr;
}

std::string ScenarioText(const ScenarioInfo& info, const ScenarioResult& r) {
  std::ostringstream o;
  o << "scenario " << info.name << ": " << info.what << "\n";
  for (const auto& [name, value] : r.figures) o << "  " << name << ": " << value << "\n";
  for (const std::string& f : r.failures) o << "  FAILED: " << f << "\n";
  o << (r.pass ? "PASS " : "FAIL ") << info.name << "\n";
  return o.str();
}

std::string ScenarioJson(const ScenarioInfo& info, const ScenarioResult& r) {
  auto quote = [](const std::string& s) {
    std::string out = "\"";
    for (char ch : s) {
      if (ch == '"' || ch == '\\') out += '\\';
      out += ch;
    }
    return out + "\"";
  };
  std::ostringstream o;
  o << "{\"scenario\":" << quote(info.name) << ",\"pass\":" << (r.pass ? "true" : "false") << ",\"figures\":{";
  for (size_t i = 0; i < r.figures.size(); ++i)
    o << (i ? "," : "") << quote(r.figures[i].first) << ":" << quote(r.figures[i].second);
  o << "},\"failures\":[";
  for (size_t i = 0; i < r.failures.size(); ++i) o << (i ? "," : "") << quote(r.failures[i]);
  o << "]}";
  return o.str();
}

}  // namespace tqm::sim
