// One stream run as tqm27sim and the system tests make it: the panel's part
// (latency, buffer number, routing through the command interface), the stream
// client playing the loop signal and recording, the device's input, and the
// figures of the run (StreamReport).
//
// A StreamSession works on a Simulator whose TQM27 is plugged in and started:
// Begin sets up and starts streaming, RunFor lets machine time pass, End
// stops and tears down in order and returns the report. RunStream does the
// whole run on a simulator of its own.
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "audio/wav.h"
#include "platform/sim/clock_cpu.h"
#include "platform/sim/latency_model.h"
#include "platform/sim/loop_signal.h"
#include "platform/sim/simulator.h"
#include "platform/sim/stream_client.h"
#include "usb/device/tqm27_device.h"

namespace tqm::sim {

enum class InputKind { Loopback, Sine, Wav, Silence };

struct DeviceInput {
  InputKind kind = InputKind::Loopback;
  uint32_t loopDelay = 32;  // frames
  double sineHz = 1000;
  double sineDbfs = -6;
  std::filesystem::path wav;
};

// What the companion audio driver plays on port 0 while the stream runs, as
// a Windows application playing through it would.
struct CompanionPlay {
  enum class Kind { None, Tone, Wav, Signal };
  Kind kind = Kind::None;
  double toneHz = 440;
  double toneDbfs = -12;
  std::filesystem::path wav;
  // Signal: the loop signal itself, so what reaches a client through
  // InnerROUTE can be checked frame by frame.
};

// One InnerROUTE cable: the playback of (port, channel) — port 3 is the
// device input — feeds record channel `toChannel` of `toPort`.
struct Route {
  uint32_t fromPort, fromChannel, toPort, toChannel;
};

// A change while streaming, at machine time `atSeconds` after the channels
// were activated: a new rate (the client's SetSampleRate), a new buffer number
// (the panel's ApplySettings), a new period (the panel's SetLatency; the
// client resets as an ASIO host does: stop, new buffers, start) or a sleep of
// the system (S3 for `value` milliseconds of machine time, then working; the
// client keeps running, as an application does across a sleep).
struct StreamChange {
  enum class Kind { Rate, Buffers, Period, Sleep };
  Kind kind = Kind::Rate;
  uint32_t value = 0;
  double atSeconds = 0;
};

struct StreamOptions {
  uint32_t rate = 48000;
  uint32_t periodFrames = 256;
  uint32_t requestCount = 2;  // the buffer number
  double seconds = 5;
  DeviceInput input;
  CompanionPlay companion;
  std::vector<Route> routes;
  ClientBehaviour client;
  std::vector<StreamChange> changes;
  // Isochronous requests the bus fails, per direction, in millionths
  // (10000 = 1 %), drawn pseudo-randomly from failSeed.
  uint32_t failOutPerMillion = 0;
  uint32_t failInPerMillion = 0;
  uint64_t failSeed = 1;
  // Who completes each frame's transfers (the two processors by default).
  usb::PortModes::Completions completions = usb::PortModes::Completions::TwoProcessors;
  // Look for the played signal in the recording: with the device's loopback
  // while the companion plays nothing into it, and when routes feed port 2's
  // record channels (the engine's own loop); the prediction is made for the
  // plain device loopback only.
  bool AnalyseRecording() const;
  // An OUT packet whose size does not fit the device's rate (44 or 45 frames
  // at 44.1 kHz, rate / 1000 otherwise) fails the run unless allowed.
  bool allowOutSizeMismatch = false;
  std::filesystem::path outputDir;  // empty: no WAV files
  kernel::ClockMode clock = kernel::ClockMode::Real;
  bool echoDebugOutput = false;
  // Called about every progressMs of machine time while the stream runs.
  std::function<void(double elapsedMs, const StreamCounters&)> progress;
  double progressMs = 1000;
};

// The machine's processor time in the host's ticks, all and stolen.
struct MachineTicks {
  uint64_t total = 0, stolen = 0;
};

struct StreamReport {
  // What ran.
  uint32_t rate = 0;
  uint32_t periodFrames = 0;   // status word 0 while streaming
  uint32_t requestCount = 0;   // status word 5 while streaming
  std::string timeMode;        // "real" or "virtual"
  std::string input;           // "loopback:32", "sine:1000", ...
  std::string companion;       // "none", "tone:440", "wav:FILE", "signal"
  uint64_t companionPeriods = 0;  // playback periods the companion filled
  uint32_t clientDelayFrames = 0, clientJitterFrames = 0;
  bool outputReady = true;        // the client answered with OutputReady
  uint32_t changesMade = 0;       // restarts while streaming that were carried out
  double machineMs = 0;        // machine time from activation to the stop
  double wallSeconds = 0;
  // Periods.
  uint64_t periodsDelivered = 0;
  uint64_t periodsMissed = 0;
  uint32_t watchdogMax = 0;
  uint64_t emptyWakes = 0;  // wakes that found the watchdog at 0
  uint64_t outputReadyFailures = 0;
  // Periods the engine played as silence for the client because its
  // OutputReady had not come in time (since the last stream start).
  uint64_t outputLatePeriods = 0;
  // The device's counters over the run.
  uint64_t dacUnderruns = 0;
  uint64_t dacOverruns = 0;
  uint64_t inFramesLost = 0;
  uint64_t outSizeMismatches = 0;
  uint64_t framesPlayed = 0;    // frames the device took in OUT packets
  uint64_t deviceInFrames = 0;  // frames the device sent in IN packets
  uint64_t framesRecorded = 0;  // frames the client received
  // Failed requests: what the bus failed (injected), per direction, and what
  // the engine did with them: resubmitted by cause, slots given up after
  // repeated failures, requests of a vanished device retired; and the frames
  // of silence the engine put in place of failed IN packets.
  uint32_t failOutPerMillion = 0, failInPerMillion = 0;
  uint64_t outRequestsFailed = 0, inRequestsFailed = 0;
  uint64_t outPacketsFailed = 0, inPacketsFailed = 0;
  uint64_t outRetriesRequestFailed = 0, inRetriesRequestFailed = 0;
  uint64_t outRetriesPacketErrors = 0, inRetriesPacketErrors = 0;
  uint64_t outRetriesStalled = 0, inRetriesStalled = 0;
  uint64_t outRetriesOther = 0, inRetriesOther = 0;
  uint64_t outSlotsRetired = 0, inSlotsRetired = 0;
  uint64_t outRequestsGone = 0, inRequestsGone = 0;
  uint64_t inFramesFilled = 0;
  // Requests the bus refused at once because the device was out of D0 or the
  // system slept, and requests that were pending when it went down.
  uint64_t requestsRefusedPoweredDown = 0, requestsEndedByPowerDown = 0;
  // The loopback.
  bool loopbackChecked = false;
  bool loopbackBitExact = false;
  uint32_t loopbackWidthBits = 0;
  uint64_t loopbackFramesCompared = 0;
  uint64_t loopbackDiscontinuities = 0;    // a period repeated, skipped or lost
  uint64_t loopbackCorruptedFrames = 0;    // frames no played frame matches
  std::optional<uint64_t> loopbackFirstFault;  // recorded frame
  std::vector<uint64_t> loopbackFaultFrames;   // recorded frames of the first discontinuities
  std::optional<uint64_t> latencyMeasured;  // the round trip at the end
  std::optional<uint64_t> latencyFirst;     // the round trip when the signal first came back
  std::optional<uint64_t> latencyPredicted;
  uint32_t latencyHalfLead = 0;
  uint32_t glitchesPredicted = 0;
  // The recorded frame where the model expects the loop to return to the
  // played sequence for good: the start of the engine half after its last
  // predicted glitch (0 without one).
  uint64_t settledFramePredicted = 0;
  uint32_t packetsPerRequest = 0;
  // CPU of the clock thread per period (microseconds), which runs the bus's
  // frame work: the virtual device and the driver's completions.
  std::optional<double> engineCpuPerPeriodUs;
  // Real time only (null in virtual time): how late the stream client's
  // period thread ran after each period event, and how late the clock thread
  // ran each instant after its wall-clock due time, in microseconds; the
  // periods whose wake took longer than a period and the instants more than
  // a millisecond late. With the watchdog's misses they say whether a missed
  // period was the machine's (both late), the clock's (the clock late, the
  // wakes prompt) or the driver's and client's (neither late).
  std::optional<uint64_t> wakeLatencyMedianUs, wakeLatencyP99Us, wakeLatencyMaxUs;
  uint64_t wakeLatencySamples = 0, wakesLaterThanPeriod = 0;
  std::optional<uint64_t> clockLatenessMedianUs, clockLatenessP99Us, clockLatenessMaxUs;
  uint64_t clockInstants = 0, clockInstantsLaterThan1ms = 0;
  // Whether the clock thread and the client's period thread run at a
  // real-time priority (null in virtual time), and the host's reasons when not.
  std::optional<bool> clockRealTime, clientRealTime;
  std::string clockPriorityRefusal, clientPriorityRefusal;
  // Real time, on a virtual machine: the share of the machine's processor
  // time its hypervisor gave to other guests during the run. A run that
  // misses periods while it is high was the host's, whatever else it shows.
  std::optional<double> machineStolenPercent;
  std::vector<std::string> files;  // WAV files written
  std::string error;               // set when the run could not be made
};

class StreamSession {
 public:
  StreamSession(Simulator& sim, StreamOptions options);
  ~StreamSession();
  StreamSession(const StreamSession&) = delete;
  StreamSession& operator=(const StreamSession&) = delete;

  bool Begin(std::string* error);
  // Lets machine time pass while the stream runs, with progress.
  void RunFor(double milliseconds);
  StreamReport End();

  StreamClient& client() { return *client_; }
  const StreamOptions& options() const { return options_; }

 private:
  bool ApplyPanelSettings(std::string* error);
  // Carries out one change while streaming.
  bool Change(const StreamChange& change, std::string* error);
  bool StartCompanion(std::string* error);
  void OnPeriod(const PeriodBuffers& buffers);

  Simulator& sim_;
  StreamOptions options_;
  std::unique_ptr<StreamClient> client_;
  std::optional<ClockThreadCpu> cpu_;
  LoopAnalyser analyser_;  // fed by the period thread; read after Stop
  std::vector<std::string> files_;
  audio::WavWriter recordWav_;
  std::vector<int32_t> interleaved_;
  // The loop signal's position: frames the client played and recorded, over
  // resets of the client. Written by the period thread.
  std::atomic<uint64_t> playedFrames_{0};
  std::atomic<uint64_t> recordedFrames_{0};
  // A restart the period thread hands to the analyser before its next period.
  static constexpr uint64_t kNoMark = ~0ull;
  std::atomic<uint64_t> restartMark_{kNoMark};
  uint32_t rate_ = 0;  // the rate now, after changes
  size_t nextChange_ = 0;
  uint32_t changesMade_ = 0;
  std::string changeError_;
  usb::DeviceCounters startCounters_;
  usb::PortCounters startPort_;
  // The engine's failed-request counters at the start ([0] playback, [1] record).
  struct EngineFaults {
    uint64_t requestFailed = 0, packetErrors = 0, stalled = 0, other = 0, retired = 0, gone = 0, filled = 0;
    uint64_t late = 0;  // periods port 2 played as silence: OutputReady came late
  };
  EngineFaults startFaults_[2];
  EngineFaults ReadEngineFaults(uint32_t direction) const;
  uint64_t startFrame_ = 0;
  double startMs_ = 0;
  double wallStart_ = 0;
  std::optional<int64_t> cpuStartNs_;
  std::optional<MachineTicks> machineStart_;
  uint32_t loopWidth_ = 24;
  bool begun_ = false;
};

bool RunStream(const StreamOptions& options, StreamReport* report);

// The report as text lines and as one JSON object.
std::string ReportText(const StreamReport& report);
std::string ReportJson(const StreamReport& report);

}  // namespace tqm::sim
