// The stream report as text and as JSON (stream_session.h). The JSON field
// names are part of the simulator's interface (README): add fields, never
// rename them.
#include <cstdio>
#include <sstream>

#include "platform/sim/stream_session.h"

namespace tqm::sim {

namespace {

std::string Escaped(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (static_cast<unsigned char>(c) < 0x20) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04x", c);
      out += buf;
    } else {
      out += c;
    }
  }
  return out;
}

std::string Number(double v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.3f", v);
  return buf;
}

template <typename T>
std::string Optional(const std::optional<T>& v) {
  if (!v) return "null";
  if constexpr (std::is_floating_point_v<T>) return Number(*v);
  else return std::to_string(*v);
}

class JsonObject {
 public:
  void Raw(const char* name, const std::string& value) {
    out_ << (first_ ? "{" : ",") << "\"" << name << "\":" << value;
    first_ = false;
  }
  void Str(const char* name, const std::string& value) {
    std::string quoted(1, '"');
    quoted += Escaped(value);
    quoted += '"';
    Raw(name, quoted);
  }
  void Int(const char* name, uint64_t value) { Raw(name, std::to_string(value)); }
  void Bool(const char* name, bool value) { Raw(name, value ? "true" : "false"); }
  std::string Close() { return out_.str() + (first_ ? "{}" : "}"); }

 private:
  std::ostringstream out_;
  bool first_ = true;
};

}  // namespace

std::string ReportJson(const StreamReport& r) {
  JsonObject j;
  j.Bool("ok", r.error.empty());
  j.Str("error", r.error);
  j.Int("rate", r.rate);
  j.Int("periodFrames", r.periodFrames);
  j.Int("requestCount", r.requestCount);
  j.Str("timeMode", r.timeMode);
  j.Str("input", r.input);
  j.Str("companion", r.companion);
  j.Int("companionPeriods", r.companionPeriods);
  j.Raw("machineMs", Number(r.machineMs));
  j.Raw("wallSeconds", Number(r.wallSeconds));
  j.Int("periodsDelivered", r.periodsDelivered);
  j.Int("periodsMissed", r.periodsMissed);
  j.Int("watchdogMax", r.watchdogMax);
  j.Int("emptyWakes", r.emptyWakes);
  j.Int("outputReadyFailures", r.outputReadyFailures);
  j.Int("dacUnderruns", r.dacUnderruns);
  j.Int("dacOverruns", r.dacOverruns);
  j.Int("inFramesLost", r.inFramesLost);
  j.Int("outSizeMismatches", r.outSizeMismatches);
  j.Int("framesPlayed", r.framesPlayed);
  j.Int("deviceInFrames", r.deviceInFrames);
  j.Int("framesRecorded", r.framesRecorded);
  j.Bool("loopbackChecked", r.loopbackChecked);
  j.Bool("loopbackBitExact", r.loopbackBitExact);
  j.Int("loopbackWidthBits", r.loopbackWidthBits);
  j.Int("loopbackFramesCompared", r.loopbackFramesCompared);
  j.Int("loopbackDiscontinuities", r.loopbackDiscontinuities);
  j.Int("loopbackCorruptedFrames", r.loopbackCorruptedFrames);
  j.Raw("loopbackFirstFault", Optional(r.loopbackFirstFault));
  std::string where = "[";
  for (size_t i = 0; i < r.loopbackFaultFrames.size(); ++i) {
    if (i) where += ',';
    where += std::to_string(r.loopbackFaultFrames[i]);
  }
  j.Raw("loopbackFaultFrames", where + "]");
  j.Raw("latencyMeasuredFrames", Optional(r.latencyMeasured));
  j.Raw("latencyFirstFrames", Optional(r.latencyFirst));
  j.Raw("latencyPredictedFrames", Optional(r.latencyPredicted));
  j.Int("latencyHalfLead", r.latencyHalfLead);
  j.Int("glitchesPredicted", r.glitchesPredicted);
  j.Int("settledFramePredicted", r.settledFramePredicted);
  j.Int("packetsPerRequest", r.packetsPerRequest);
  j.Int("clientDelayFrames", r.clientDelayFrames);
  j.Int("clientJitterFrames", r.clientJitterFrames);
  j.Raw("outputReady", r.outputReady ? "true" : "false");
  j.Int("changesMade", r.changesMade);
  j.Int("outputLatePeriods", r.outputLatePeriods);
  j.Raw("engineCpuPerPeriodUs", Optional(r.engineCpuPerPeriodUs));
  j.Raw("wakeLatencyMedianUs", Optional(r.wakeLatencyMedianUs));
  j.Raw("wakeLatencyP99Us", Optional(r.wakeLatencyP99Us));
  j.Raw("wakeLatencyMaxUs", Optional(r.wakeLatencyMaxUs));
  j.Int("wakeLatencySamples", r.wakeLatencySamples);
  j.Int("wakesLaterThanPeriod", r.wakesLaterThanPeriod);
  j.Raw("clockLatenessMedianUs", Optional(r.clockLatenessMedianUs));
  j.Raw("clockLatenessP99Us", Optional(r.clockLatenessP99Us));
  j.Raw("clockLatenessMaxUs", Optional(r.clockLatenessMaxUs));
  j.Int("clockInstants", r.clockInstants);
  j.Int("clockInstantsLaterThan1ms", r.clockInstantsLaterThan1ms);
  j.Raw("clockRealTime", r.clockRealTime ? (*r.clockRealTime ? "true" : "false") : "null");
  j.Raw("clientRealTime", r.clientRealTime ? (*r.clientRealTime ? "true" : "false") : "null");
  j.Str("clockPriorityRefusal", r.clockPriorityRefusal);
  j.Str("clientPriorityRefusal", r.clientPriorityRefusal);
  j.Raw("machineStolenPercent", r.machineStolenPercent ? Number(*r.machineStolenPercent) : "null");
  j.Int("failOutPerMillion", r.failOutPerMillion);
  j.Int("failInPerMillion", r.failInPerMillion);
  j.Int("outRequestsFailed", r.outRequestsFailed);
  j.Int("inRequestsFailed", r.inRequestsFailed);
  j.Int("outPacketsFailed", r.outPacketsFailed);
  j.Int("inPacketsFailed", r.inPacketsFailed);
  j.Int("outRetriesRequestFailed", r.outRetriesRequestFailed);
  j.Int("inRetriesRequestFailed", r.inRetriesRequestFailed);
  j.Int("outRetriesPacketErrors", r.outRetriesPacketErrors);
  j.Int("inRetriesPacketErrors", r.inRetriesPacketErrors);
  j.Int("outRetriesStalled", r.outRetriesStalled);
  j.Int("inRetriesStalled", r.inRetriesStalled);
  j.Int("outRetriesOther", r.outRetriesOther);
  j.Int("inRetriesOther", r.inRetriesOther);
  j.Int("outSlotsRetired", r.outSlotsRetired);
  j.Int("inSlotsRetired", r.inSlotsRetired);
  j.Int("outRequestsGone", r.outRequestsGone);
  j.Int("inRequestsGone", r.inRequestsGone);
  j.Int("inFramesFilled", r.inFramesFilled);
  std::string files = "[";
  for (size_t i = 0; i < r.files.size(); ++i) {
    if (i) files += ',';
    files += '"';
    files += Escaped(r.files[i]);
    files += '"';
  }
  j.Raw("files", files + "]");
  return j.Close();
}

std::string ReportText(const StreamReport& r) {
  std::ostringstream o;
  if (!r.error.empty()) o << "error: " << r.error << "\n";
  if (!r.error.empty() && r.periodsDelivered == 0) return o.str();
  o << "stream        " << r.rate << " Hz, period " << r.periodFrames << " frames, buffer number "
    << r.requestCount << ", " << r.timeMode << " time, input " << r.input << ", companion " << r.companion << "\n";
  o << "ran           " << Number(r.machineMs / 1000) << " s of machine time in " << Number(r.wallSeconds)
    << " s\n";
  o << "periods       " << r.periodsDelivered << " delivered, " << r.periodsMissed << " missed (watchdog max "
    << r.watchdogMax;
  if (r.emptyWakes) o << ", " << r.emptyWakes << " wakes found it at 0";
  if (r.outputLatePeriods) o << ", " << r.outputLatePeriods << " played as silence: OutputReady late";
  o << ")\n";
  o << "device        " << r.dacUnderruns << " DAC underruns, " << r.dacOverruns << " DAC overruns, "
    << r.inFramesLost << " IN frames lost\n";
  if (r.companionPeriods) o << "companion     " << r.companionPeriods << " playback periods filled\n";
  if (r.clientDelayFrames || r.clientJitterFrames || !r.outputReady)
    o << "client        answers " << r.clientDelayFrames << "+" << r.clientJitterFrames << " frames after the event, "
      << (r.outputReady ? "with" : "without") << " OutputReady\n";
  const uint64_t outRetries =
      r.outRetriesRequestFailed + r.outRetriesPacketErrors + r.outRetriesStalled + r.outRetriesOther;
  const uint64_t inRetries = r.inRetriesRequestFailed + r.inRetriesPacketErrors + r.inRetriesStalled + r.inRetriesOther;
  if (r.failOutPerMillion || r.failInPerMillion || r.outRequestsFailed || r.inRequestsFailed || outRetries ||
      inRetries || r.outSlotsRetired || r.inSlotsRetired || r.outRequestsGone || r.inRequestsGone) {
    o << "bus faults    " << r.outRequestsFailed << " OUT and " << r.inRequestsFailed << " IN requests failed ("
      << r.outPacketsFailed << " and " << r.inPacketsFailed << " packets), " << r.inFramesFilled
      << " IN frames filled with silence\n";
    o << "resubmitted   OUT " << outRetries << " (" << r.outRetriesRequestFailed << " failed, "
      << r.outRetriesPacketErrors << " packet errors, " << r.outRetriesStalled << " stalled, " << r.outRetriesOther
      << " other), IN " << inRetries << " (" << r.inRetriesRequestFailed << " failed, " << r.inRetriesPacketErrors
      << " packet errors, " << r.inRetriesStalled << " stalled, " << r.inRetriesOther << " other)\n";
    o << "retired       " << r.outSlotsRetired << " OUT and " << r.inSlotsRetired
      << " IN slots after repeated failures; " << r.outRequestsGone << " OUT and " << r.inRequestsGone
      << " IN requests of a vanished device\n";
  }
  if (r.changesMade) o << "changes       " << r.changesMade << " restarts while streaming\n";
  o << "frames        " << r.framesPlayed << " played, " << r.framesRecorded << " recorded ("
    << r.deviceInFrames << " sent by the device)\n";
  if (r.loopbackChecked && !r.latencyFirst) {
    o << "loopback      no played frame came back\n";
  } else if (r.loopbackChecked) {
    o << "loopback      " << (r.loopbackBitExact ? "bit-exact" : "NOT bit-exact") << " at "
      << r.loopbackWidthBits << " bits over " << r.loopbackFramesCompared << " frames";
    if (!r.loopbackBitExact)
      o << " (" << r.loopbackDiscontinuities << " discontinuities, " << r.loopbackCorruptedFrames
        << " corrupted frames, first at recorded frame " << Optional(r.loopbackFirstFault) << ")";
    o << "\n";
    o << "latency       " << Optional(r.latencyMeasured) << " frames measured";
    if (r.latencyFirst != r.latencyMeasured) o << " (" << Optional(r.latencyFirst) << " at first)";
    if (r.latencyPredicted) {
      o << ", " << *r.latencyPredicted << " predicted (half lead " << r.latencyHalfLead << ", "
        << r.packetsPerRequest << " packets per request";
      o << ")";
    }
    o << "\n";
  }
  if (r.wakeLatencyMaxUs || r.clockLatenessMaxUs) {
    o << "client wake   " << Optional(r.wakeLatencyMedianUs) << " / " << Optional(r.wakeLatencyP99Us) << " / "
      << Optional(r.wakeLatencyMaxUs) << " us (median / 99th / max) after the period event, "
      << r.wakesLaterThanPeriod << " of " << r.wakeLatencySamples << " later than a period\n";
    o << "clock         " << Optional(r.clockLatenessMedianUs) << " / " << Optional(r.clockLatenessP99Us) << " / "
      << Optional(r.clockLatenessMaxUs) << " us late (median / 99th / max), " << r.clockInstantsLaterThan1ms
      << " of " << r.clockInstants << " instants more than 1 ms late\n";
  }
  if (r.clockRealTime || r.clientRealTime) {
    auto priority = [](const std::optional<bool>& granted, const std::string& refusal) -> std::string {
      if (!granted) return "n/a";
      return *granted ? "real-time" : "normal (refused: " + refusal + ")";
    };
    o << "priority      clock " << priority(r.clockRealTime, r.clockPriorityRefusal) << ", client "
      << priority(r.clientRealTime, r.clientPriorityRefusal) << "\n";
  }
  if (r.machineStolenPercent)
    o << "machine       " << Number(*r.machineStolenPercent) << " % of the processor time stolen by the hypervisor\n";
  o << "engine CPU    " << (r.engineCpuPerPeriodUs ? Number(*r.engineCpuPerPeriodUs) + " us" : "n/a")
    << " per period (clock thread)\n";
  for (const std::string& f : r.files) o << "wrote         " << f << "\n";
  return o.str();
}

}  // namespace tqm::sim
