// One stream run and its figures (stream_session.h).
#include "platform/sim/stream_session.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "companion/companion.h"
#include "driver/core/core.h"
#include "usb/device/descriptors.h"

namespace tqm::sim {

namespace {

// The machine's processor time so far, and the part of it the hypervisor
// gave to others ("steal", from the kernel's first cpu line); none where the
// host does not say.
std::optional<MachineTicks> ReadMachineTicks() {
  std::FILE* f = std::fopen("/proc/stat", "r");
  if (!f) return std::nullopt;
  unsigned long long v[8] = {};
  const int n = std::fscanf(f, "cpu %llu %llu %llu %llu %llu %llu %llu %llu", &v[0], &v[1], &v[2], &v[3], &v[4],
                            &v[5], &v[6], &v[7]);
  std::fclose(f);
  if (n != 8) return std::nullopt;
  MachineTicks t;
  for (unsigned long long x : v) t.total += x;
  t.stolen = v[7];
  return t;
}

double WallSeconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

std::string InputText(const DeviceInput& input) {
  switch (input.kind) {
    case InputKind::Loopback: return "loopback:" + std::to_string(input.loopDelay);
    case InputKind::Sine: return "sine:" + std::to_string(int(input.sineHz));
    case InputKind::Wav: return "wav:" + input.wav.string();
    case InputKind::Silence: return "silence";
  }
  return "";
}

std::string CompanionText(const CompanionPlay& play) {
  switch (play.kind) {
    case CompanionPlay::Kind::None: return "none";
    case CompanionPlay::Kind::Tone: return "tone:" + std::to_string(int(play.toneHz));
    case CompanionPlay::Kind::Wav: return "wav:" + play.wav.string();
    case CompanionPlay::Kind::Signal: return "signal";
  }
  return "";
}

// The loop signal as a clip the companion can play: `frames` stereo frames.
std::shared_ptr<audio::WavData> SignalClip(uint32_t rate, uint64_t frames) {
  auto clip = std::make_shared<audio::WavData>();
  clip->format = audio::WavFormat{rate, 2, 24};
  clip->samples.resize(frames * 2);
  for (uint64_t i = 0; i < frames; ++i) {
    clip->samples[2 * i] = LoopSample(i, 0);
    clip->samples[2 * i + 1] = LoopSample(i, 1);
  }
  return clip;
}

uint32_t AltBits(const usb::DeviceState& state, uint8_t interface) {
  const usb::StreamingAlt* alt = usb::FindStreamingAlt(interface, state.alternate[interface]);
  return alt ? alt->bitResolution : 0;
}

}  // namespace

bool StreamOptions::AnalyseRecording() const {
  if (input.kind == InputKind::Loopback && companion.kind == CompanionPlay::Kind::None) return true;
  for (const Route& r : routes)
    if (r.toPort == 2) return true;
  return false;
}

StreamSession::StreamSession(Simulator& sim, StreamOptions options)
    : sim_(sim), options_(std::move(options)), client_(std::make_unique<StreamClient>(sim)) {
  std::stable_sort(options_.changes.begin(), options_.changes.end(),
                   [](const StreamChange& a, const StreamChange& b) { return a.atSeconds < b.atSeconds; });
}

StreamSession::~StreamSession() {
  if (companion::Companion* companion = sim_.Companion()) companion->StopPlay();
  client_.reset();
  if (usb::Tqm27Port* port = sim_.port()) port->device().StopDacCapture();
}

bool StreamSession::ApplyPanelSettings(std::string* error) {
  const std::vector<std::wstring> paths = sim_.DriverInterfaces();
  if (paths.empty()) {
    *error = "the driver's device interface is not there";
    return false;
  }
  DeviceClient panel(sim_.machine(), "panel");
  if (!NT_SUCCESS(panel.Open(paths.back())) || !panel.Identify()) {
    *error = "the panel's part could not open the device";
    return false;
  }
  // The rate and buffer number first, through the settings record; then the
  // period as the panel's latency menu sets it, checked against the new rate.
  std::optional<MixerSettings> settings = panel.GetSettings();
  if (!settings) {
    *error = "GetSettings failed";
    return false;
  }
  settings->rate = int32_t(options_.rate);
  settings->requestCount = int32_t(options_.requestCount);
  for (const Route& r : options_.routes) {
    RoutingEntry& from = settings->patch.entry[RoutingEntryIndex(r.fromPort, r.fromChannel)];
    from.routed = 1;
    from.targetPort = int32_t(r.toPort);
    from.targetSide = 1;
    from.targetChannel = int32_t(r.toChannel);
    ++settings->patch.entry[RoutingEntryIndex(r.toPort, r.toChannel)].fanIn;
  }
  const CommandResult applied = panel.ApplySettings(*settings);
  if (!applied.ok()) {
    *error = "ApplySettings failed: " + StatusText(applied.status);
    return false;
  }
  const CommandResult latency = panel.SetLatency(options_.periodFrames, true);
  if (!latency.ok()) {
    *error = "SetLatency " + std::to_string(options_.periodFrames) + " refused at " + std::to_string(options_.rate) +
             " Hz: " + StatusText(latency.status);
    return false;
  }
  panel.Close();
  return true;
}

bool StreamSession::Begin(std::string* error) {
  usb::Tqm27Port* port = sim_.port();
  if (!port) {
    *error = "no TQM27 plugged in";
    return false;
  }
  usb::Tqm27Device& device = port->device();
  cpu_.emplace(sim_.machine());
  switch (options_.input.kind) {
    case InputKind::Loopback: device.SelectLoopback(options_.input.loopDelay); break;
    case InputKind::Sine: device.SelectSine(options_.input.sineHz, options_.input.sineDbfs); break;
    case InputKind::Silence: device.SelectSilence(); break;
    case InputKind::Wav:
      if (!device.SelectWavFile(options_.input.wav, true)) {
        *error = "cannot read " + options_.input.wav.string();
        return false;
      }
      break;
  }
  // The clock thread learns its CPU clock at its next instant; give it the
  // few milliseconds that takes before the stream's first snapshot.
  for (int i = 0; i < 50 && !cpu_->NowNs(); ++i) sim_.Run(1);
  if (!ApplyPanelSettings(error)) return false;
  rate_ = options_.rate;
  client_->SetBehaviour(options_.client);
  if (!client_->Open(error) || !client_->CreateBuffers(options_.rate, error)) return false;

  if (!options_.outputDir.empty()) {
    std::error_code ec;
    std::filesystem::create_directories(options_.outputDir, ec);
    const std::filesystem::path played = options_.outputDir / "played.wav";
    const std::filesystem::path recorded = options_.outputDir / "recorded.wav";
    if (!device.CaptureDacToWav(played) ||
        !recordWav_.Open(recorded, audio::WavFormat{options_.rate, 2, 24})) {
      *error = "cannot write WAV files in " + options_.outputDir.string();
      return false;
    }
    files_ = {played.string(), recorded.string()};
  }

  interleaved_.assign(size_t(client_->periodFrames()) * 2, 0);
  wallStart_ = WallSeconds();
  usb::PortModes modes = port->Modes();
  modes.completions = options_.completions;
  port->SetModes(modes);
  port->FailRequests(usb::kPlaybackEndpoint, {options_.failOutPerMillion, options_.failSeed});
  port->FailRequests(usb::kRecordEndpoint, {options_.failInPerMillion, options_.failSeed ^ 0x5A5A5A5Aull});
  auto atActivation = [this, &device, port] {
    // In virtual time the stream starts in the middle of a millisecond, with
    // no bus work beside it; the snapshots below are the stream's first instant.
    if (sim_.virtualTime()) sim_.RunToMidFrame();
    startCounters_ = device.Counters();
    startPort_ = port->Counters();
    for (uint32_t d = 0; d < 2; ++d) startFaults_[d] = ReadEngineFaults(d);
    startFrame_ = device.FrameNumber();
    startMs_ = sim_.NowMs();
    cpuStartNs_ = cpu_->NowNs();
    machineStart_ = ReadMachineTicks();
    sim_.machine().clock().ResetLateness();
  };
  if (!client_->Start([this](const PeriodBuffers& b) { OnPeriod(b); }, error, atActivation)) return false;
  if (options_.companion.kind != CompanionPlay::Kind::None && !StartCompanion(error)) return false;
  const usb::DeviceState state = device.State();
  const uint32_t play = AltBits(state, usb::kPlaybackInterface), record = AltBits(state, usb::kRecordInterface);
  // The device's loop carries the narrower stream's bits; the engine's own
  // loop (InnerROUTE) copies 32-bit samples, so all 24 of the signal.
  loopWidth_ = options_.input.kind == InputKind::Loopback ? std::min(play ? play : 24u, record ? record : 24u) : 24u;
  begun_ = true;
  return true;
}

bool StreamSession::StartCompanion(std::string* error) {
  companion::Companion* companion = sim_.Companion();
  if (!companion) {
    *error = "no companion driver is loaded on the child device";
    return false;
  }
  std::optional<companion::Source> source;
  switch (options_.companion.kind) {
    case CompanionPlay::Kind::None: return true;
    case CompanionPlay::Kind::Tone:
      source = companion::Source::Tone(options_.companion.toneHz, options_.companion.toneDbfs);
      break;
    case CompanionPlay::Kind::Wav:
      source = companion::Source::WavFile(options_.companion.wav, true);
      if (!source) {
        *error = "cannot read " + options_.companion.wav.string();
        return false;
      }
      break;
    case CompanionPlay::Kind::Signal:
      // Long enough for the run and what the pipeline holds; silence after.
      source = companion::Source::Wav(SignalClip(options_.rate, uint64_t((options_.seconds + 2) * options_.rate)),
                                      false);
      break;
  }
  // At the ASIO client's rate: the companion must not change it.
  companion->SetStreamFormat(options_.rate, false);
  const NTSTATUS status = companion->Play(std::move(*source));
  if (!NT_SUCCESS(status)) {
    *error = "the companion could not play: " + StatusText(status);
    return false;
  }
  return true;
}

void StreamSession::OnPeriod(const PeriodBuffers& b) {
  const uint64_t first = playedFrames_.load();
  for (uint32_t c = 0; c < 2; ++c)
    for (uint32_t i = 0; i < b.frames; ++i) b.output[c][i] = LoopSample(first + i, c);
  playedFrames_ = first + b.frames;
  const uint64_t mark = restartMark_.exchange(kNoMark);
  if (mark != kNoMark) analyser_.Restart(mark);
  if (options_.AnalyseRecording()) analyser_.Feed(b.input[0], b.input[1], b.frames);
  recordedFrames_ += b.frames;
  if (recordWav_.IsOpen()) {
    if (interleaved_.size() < size_t(b.frames) * 2) interleaved_.resize(size_t(b.frames) * 2);
    for (uint32_t i = 0; i < b.frames; ++i) {
      interleaved_[2 * i] = b.input[0][i];
      interleaved_[2 * i + 1] = b.input[1][i];
    }
    recordWav_.Append(std::span<const int32_t>(interleaved_.data(), size_t(b.frames) * 2));
  }
}

bool StreamSession::Change(const StreamChange& change, std::string* error) {
  // Everything the client plays from here on was played after the restart.
  restartMark_ = playedFrames_.load();
  switch (change.kind) {
    case StreamChange::Kind::Rate: {
      const CommandResult result = client_->device().SetSampleRate(change.value);
      if (!result.ok()) {
        *error = "SetSampleRate failed: " + StatusText(result.status);
        return false;
      }
      rate_ = change.value;
      break;
    }
    case StreamChange::Kind::Buffers: {
      DeviceClient panel(sim_.machine(), "panel");
      const std::vector<std::wstring> paths = sim_.DriverInterfaces();
      std::optional<MixerSettings> settings;
      if (paths.empty() || !NT_SUCCESS(panel.Open(paths.back())) || !(settings = panel.GetSettings())) {
        *error = "the panel could not read the settings";
        return false;
      }
      settings->requestCount = int32_t(change.value);
      const CommandResult applied = panel.ApplySettings(*settings);
      panel.Close();
      if (!applied.ok()) {
        *error = "ApplySettings failed: " + StatusText(applied.status);
        return false;
      }
      break;
    }
    case StreamChange::Kind::Sleep: {
      kernel::Machine& machine = sim_.machine();
      const NTSTATUS slept = machine.SetSystemPowerState(PowerSystemSleeping3);
      if (!NT_SUCCESS(slept)) {
        *error = "the system could not sleep: " + StatusText(slept);
        return false;
      }
      sim_.Run(change.value);
      const NTSTATUS woke = machine.SetSystemPowerState(PowerSystemWorking);
      if (!NT_SUCCESS(woke)) {
        *error = "the system could not wake: " + StatusText(woke);
        return false;
      }
      break;
    }
    case StreamChange::Kind::Period: {
      // The host resets: it stops, gives its buffers back, and makes new ones
      // at the period the panel set.
      client_->Stop();
      client_->DisposeBuffers();
      DeviceClient panel(sim_.machine(), "panel");
      const std::vector<std::wstring> paths = sim_.DriverInterfaces();
      if (paths.empty() || !NT_SUCCESS(panel.Open(paths.back()))) {
        *error = "the panel could not open the device";
        return false;
      }
      const CommandResult latency = panel.SetLatency(change.value, true);
      panel.Close();
      if (!latency.ok()) {
        *error = "SetLatency " + std::to_string(change.value) + " refused: " + StatusText(latency.status);
        return false;
      }
      if (!client_->CreateBuffers(rate_, error) ||
          !client_->Start([this](const PeriodBuffers& b) { OnPeriod(b); }, error))
        return false;
      break;
    }
  }
  if (usb::Tqm27Port* port = sim_.port()) {
    const usb::DeviceState state = port->device().State();
    const uint32_t play = AltBits(state, usb::kPlaybackInterface), record = AltBits(state, usb::kRecordInterface);
    if (options_.input.kind == InputKind::Loopback)
      loopWidth_ = std::min(loopWidth_, std::min(play ? play : 24u, record ? record : 24u));
  }
  ++changesMade_;
  return true;
}

void StreamSession::RunFor(double milliseconds) {
  const double step = options_.progressMs > 0 ? options_.progressMs : milliseconds;
  double done = 0;
  while (done < milliseconds) {
    double chunk = std::min(step, milliseconds - done);
    // Changes fall due at their machine time.
    if (nextChange_ < options_.changes.size()) {
      const double due = options_.changes[nextChange_].atSeconds * 1000 - (sim_.NowMs() - startMs_);
      if (due <= 0) {
        std::string error;
        if (!Change(options_.changes[nextChange_], &error) && changeError_.empty()) changeError_ = error;
        ++nextChange_;
        continue;
      }
      chunk = std::min(chunk, due);
    }
    const uint32_t ms = uint32_t(chunk + 0.5);
    sim_.Run(ms ? ms : 1);
    done += ms ? ms : 1;
    if (options_.progress) options_.progress(sim_.NowMs() - startMs_, client_->counters());
  }
}

StreamReport StreamSession::End() {
  StreamReport r;
  r.rate = rate_ ? rate_ : options_.rate;
  r.clientDelayFrames = options_.client.delayFrames;
  r.clientJitterFrames = options_.client.jitterFrames;
  r.outputReady = options_.client.outputReady;
  r.changesMade = changesMade_;
  r.timeMode = sim_.virtualTime() ? "virtual" : "real";
  r.input = InputText(options_.input);
  r.companion = CompanionText(options_.companion);
  if (!begun_) {
    r.error = "the stream did not start";
    return r;
  }
  usb::Tqm27Port* port = sim_.port();
  const usb::DeviceCounters end = port ? port->device().Counters() : startCounters_;
  const std::optional<int64_t> cpuEndNs = cpu_->NowNs();
  if (companion::Companion* companion = sim_.Companion()) {
    r.companionPeriods = companion->PlayPeriods();
    companion->StopPlay();
  }
  r.machineMs = sim_.NowMs() - startMs_;
  if (std::optional<StatusBlockView> block = client_->status()) {
    r.periodFrames = block->Read(StatusWord::PeriodFrames);
    r.requestCount = block->Read(StatusWord::RequestCount);
  }
  client_->Stop();
  r.wallSeconds = WallSeconds() - wallStart_;
  const StreamCounters counters = client_->counters();
  const uint32_t period = client_->periodFrames();
  client_->DisposeBuffers();
  client_->Close();
  if (port) port->device().StopDacCapture();
  recordWav_.Close();
  r.files = files_;

  r.periodsDelivered = counters.periods;
  r.periodsMissed = counters.missed;
  r.watchdogMax = counters.watchdogMax;
  r.emptyWakes = counters.emptyWakes;
  r.outputReadyFailures = counters.outputReadyFailures;
  r.dacUnderruns = end.dacUnderruns - startCounters_.dacUnderruns;
  r.dacOverruns = end.dacOverruns - startCounters_.dacOverruns;
  r.inFramesLost = end.inFramesLost - startCounters_.inFramesLost;
  r.outSizeMismatches = end.outSizeMismatches - startCounters_.outSizeMismatches;
  r.framesPlayed = end.outFrames - startCounters_.outFrames;
  r.deviceInFrames = end.inFrames - startCounters_.inFrames;
  r.framesRecorded = recordedFrames_.load();
  r.failOutPerMillion = options_.failOutPerMillion;
  r.failInPerMillion = options_.failInPerMillion;
  if (port) {
    const usb::PortCounters bus = port->Counters();
    r.outRequestsFailed = bus.failedOutRequests - startPort_.failedOutRequests;
    r.inRequestsFailed = bus.failedInRequests - startPort_.failedInRequests;
    r.outPacketsFailed = bus.failedOutPackets - startPort_.failedOutPackets;
    r.inPacketsFailed = bus.failedInPackets - startPort_.failedInPackets;
    r.requestsRefusedPoweredDown = bus.refusedPoweredDown - startPort_.refusedPoweredDown;
    r.requestsEndedByPowerDown = bus.endedByPowerDown - startPort_.endedByPowerDown;
  }
  {
    const EngineFaults out = ReadEngineFaults(engine::kPlayback), in = ReadEngineFaults(engine::kRecord);
    const EngineFaults& out0 = startFaults_[engine::kPlayback];
    const EngineFaults& in0 = startFaults_[engine::kRecord];
    r.outRetriesRequestFailed = out.requestFailed - out0.requestFailed;
    r.inRetriesRequestFailed = in.requestFailed - in0.requestFailed;
    r.outRetriesPacketErrors = out.packetErrors - out0.packetErrors;
    r.inRetriesPacketErrors = in.packetErrors - in0.packetErrors;
    r.outRetriesStalled = out.stalled - out0.stalled;
    r.inRetriesStalled = in.stalled - in0.stalled;
    r.outRetriesOther = out.other - out0.other;
    r.inRetriesOther = in.other - in0.other;
    r.outSlotsRetired = out.retired - out0.retired;
    r.inSlotsRetired = in.retired - in0.retired;
    r.outRequestsGone = out.gone - out0.gone;
    r.inRequestsGone = in.gone - in0.gone;
    r.inFramesFilled = in.filled - in0.filled;
    r.outputLatePeriods = out.late;
  }
  if (cpuStartNs_ && cpuEndNs && counters.periods)
    r.engineCpuPerPeriodUs = double(*cpuEndNs - *cpuStartNs_) / 1000.0 / double(counters.periods);

  if (!sim_.virtualTime()) {
    const kernel::LatencyHistogram& wake = client_->wakeLatency();
    r.wakeLatencyMedianUs = wake.PercentileUs(0.5);
    r.wakeLatencyP99Us = wake.PercentileUs(0.99);
    r.wakeLatencyMaxUs = wake.MaxUs();
    r.wakeLatencySamples = wake.count();
    const uint32_t rate = r.rate ? r.rate : 48000;
    r.wakesLaterThanPeriod = wake.CountAboveUs(uint64_t(period) * 1000000 / rate);
    const kernel::LatencyHistogram& late = sim_.machine().clock().Lateness();
    r.clockLatenessMedianUs = late.PercentileUs(0.5);
    r.clockLatenessP99Us = late.PercentileUs(0.99);
    r.clockLatenessMaxUs = late.MaxUs();
    r.clockInstants = late.count();
    r.clockInstantsLaterThan1ms = late.CountAboveUs(1000);
    const std::optional<MachineTicks> machineEnd = ReadMachineTicks();
    if (machineStart_ && machineEnd && machineEnd->total > machineStart_->total)
      r.machineStolenPercent = 100.0 * double(machineEnd->stolen - machineStart_->stolen) /
                               double(machineEnd->total - machineStart_->total);
    const kernel::Clock::Priority clock = sim_.machine().clock().RealTimePriority();
    if (clock.known) {
      r.clockRealTime = clock.realTime;
      r.clockPriorityRefusal = clock.refusal;
    }
    if (counters.priorityKnown) {
      r.clientRealTime = counters.realTime;
      r.clientPriorityRefusal = counters.priorityRefusal;
    }
  }
  if (options_.AnalyseRecording()) {
    r.loopbackChecked = true;
    r.loopbackWidthBits = loopWidth_;
    r.loopbackFramesCompared = analyser_.framesCompared();
    const LoopAnalyser::Faults& faults = analyser_.faults(loopWidth_);
    r.loopbackDiscontinuities = faults.discontinuities;
    r.loopbackCorruptedFrames = faults.corrupted;
    r.loopbackFirstFault = faults.first;
    r.loopbackFaultFrames = faults.where;
    r.loopbackBitExact = analyser_.BitExact(loopWidth_);
    r.latencyMeasured = analyser_.latency(loopWidth_);
    r.latencyFirst = analyser_.firstLatency();
  }
  if (options_.input.kind == InputKind::Loopback && options_.routes.empty() &&
      options_.companion.kind == CompanionPlay::Kind::None) {
    PipelineShape shape;
    shape.rate = r.rate;
    shape.periodFrames = r.periodFrames ? r.periodFrames : period;
    shape.requestCount = r.requestCount;
    shape.loopDelay = options_.input.loopDelay;
    const LatencyPrediction prediction = PredictLatency(shape);
    if (prediction.valid) {
      r.latencyPredicted = prediction.frames;
      r.latencyHalfLead = prediction.halfLead;
      r.packetsPerRequest = prediction.packetsPerRequest;
    }
  }
  if (!changeError_.empty()) r.error = "a change while streaming failed: " + changeError_;
  if (r.error.empty() && r.outSizeMismatches && !options_.allowOutSizeMismatch)
    r.error = std::to_string(r.outSizeMismatches) + " OUT packets of the wrong size for the rate";
  begun_ = false;
  return r;
}

// The engine's counters, read through TQMDRV's device extension on the
// TQM27's stack (zeros when the device or its engine is gone). They only grow
// while one engine lives; a new engine (a new device start) starts from zero.
StreamSession::EngineFaults StreamSession::ReadEngineFaults(uint32_t direction) const {
  EngineFaults f;
  PDEVICE_OBJECT pdo = sim_.pdo();
  if (!pdo || !pdo->AttachedDevice) return f;
  const auto* fdx = static_cast<const FdoExtension*>(pdo->AttachedDevice->DeviceExtension);
  if (!fdx || !fdx->adapter || !fdx->adapter->engine) return f;
  const engine::TransferFaultCounters c = fdx->adapter->engine->transferFaults(direction);
  f.requestFailed = c.requestFailed;
  f.packetErrors = c.packetErrors;
  f.stalled = c.stalled;
  f.other = c.otherErrors;
  f.retired = c.slotsRetired;
  f.gone = c.deviceGone;
  f.filled = c.recordFramesFilled;
  if (direction == engine::kPlayback) f.late = fdx->adapter->engine->lateOutputPeriods();
  return f;
}

bool RunStream(const StreamOptions& options, StreamReport* report) {
  SimulatorOptions simOptions;
  simOptions.clock = options.clock;
  simOptions.echoDebugOutput = options.echoDebugOutput;
  Simulator sim(simOptions);
  if (!sim.Plug()) {
    report->error = "the TQM27 could not be plugged in";
    return false;
  }
  bool ok;
  {
    StreamSession session(sim, options);
    std::string error;
    ok = session.Begin(&error);
    if (ok) session.RunFor(options.seconds * 1000);
    *report = session.End();
    if (!ok) report->error = error;
  }
  sim.Unplug();
  return ok;
}

}  // namespace tqm::sim
