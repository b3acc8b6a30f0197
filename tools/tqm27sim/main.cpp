// tqm27sim: TQMDRV on the simulated machine, driven as its clients drive it.
//
//   tqm27sim stream [options]                 stream like an ASIO client, then report
//   tqm27sim ioctl CLASS SUBOP [FIELD=VALUE ...] [--state S] [--json]
//   tqm27sim scenario NAME [--json]           a named end-to-end run
//   tqm27sim serve --dir DIR [options]        serve Windows programs until SIGTERM/SIGINT
//
// Exit status: 0 when the run worked (a scenario passed), 1 when it did not,
// 2 for a usage error.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "platform/sim/raw_command.h"
#include "platform/sim/scenarios.h"
#include "platform/sim/serve.h"
#include "platform/sim/stream_session.h"

namespace {

using namespace tqm::sim;

const char kUsage[] =
    "usage:\n"
    "  tqm27sim stream [--rate HZ] [--period FRAMES] [--buffers N] [--seconds S]\n"
    "                  [--time real|virtual] [--input loopback[:DELAY]|sine[:HZ]|wav:FILE|silence]\n"
    "                  [--companion none|tone[:HZ]|wav:FILE|signal] [--route FROM:TO ...]\n"
    "                  [--client-delay FRAMES[:JITTER]] [--no-output-ready]\n"
    "                  [--restart rate:HZ@S|buffers:N@S|period:P@S ...] [--fail-requests PCT[:PCT]]\n"
    "                  [--completions two|playback-first|record-first]\n"
    "                  [--out DIR] [--json] [--quiet] [--debug]\n"
    "      --client-delay: the client finishes each period that long after its event\n"
    "      (plus 0..JITTER frames, pseudo-random); --no-output-ready: it never sends OutputReady\n"
    "      --restart: a change while streaming, S seconds after the start\n"
    "      --fail-requests: the bus fails that percentage of OUT[:IN] requests (pseudo-random)\n"
    "      --completions: each stream's completions on its own processor (two, the default), or\n"
    "      all on one, the playback's or the record's first\n"
    "      --companion: what the companion audio driver plays on port 0 (signal: the test\n"
    "      signal, for checking what InnerROUTE carries)\n"
    "      FROM is PORT.CHANNEL of a playback (port 3 = the device input), TO is\n"
    "      PORT.CHANNEL of a record channel, e.g. --route 3.0:2.1\n"
    "  tqm27sim ioctl CLASS SUBOP [FIELD=VALUE ...] [--state started|surprise-removed|stop-pending] [--json]\n"
    "      (stop-pending boots without the companion, which would veto QUERY_STOP)\n"
    "      FIELD is a byte offset (OFFSET:8 for an 8-byte slot) or a name (latency, busy, rate,\n"
    "      direction, channel, half, onoff, length, outmask, inmask, readyhalf, mapflag, event,\n"
    "      notify, ...); VALUE is a number or, for an event slot, new; mixer.N=VALUE sets word N\n"
    "      of the settings block of 3.1/3.2/3.9/3.21\n"
    "  tqm27sim scenario NAME [--json]      NAME: list, or one of the names it prints\n"
    "  tqm27sim serve --dir DIR [--time real|virtual] [--input loopback[:DELAY]|silence]\n"
    "                 [--companion none] [--unplugged] [--devices N] [--foreign-hid]\n"
    "                 [--other-version] [--debug]\n"
    "      boots the machine (real time by default; in virtual time a client's period work\n"
    "      holds the clock) with a TQM27 plugged in and serves Windows programs\n"
    "      (tqmsim.dll) until SIGTERM or SIGINT; the port is written to DIR/port; exits 1\n"
    "      when the verifier found a fault or the driver left pool behind; --devices plugs N\n"
    "      TQM27s (1..16, on hub ports 0..N-1); --foreign-hid adds\n"
    "      an unrelated HID device (another vendor) that refuses every open; --other-version\n"
    "      adds a device of the driver's interface class that answers Identify with 2.1\n";

int Usage(const std::string& why) {
  if (!why.empty()) std::fprintf(stderr, "tqm27sim: %s\n", why.c_str());
  std::fputs(kUsage, stderr);
  return 2;
}

bool ParseUnsigned(const std::string& text, uint32_t* out) {
  char* end = nullptr;
  const unsigned long v = std::strtoul(text.c_str(), &end, 0);
  if (text.empty() || *end) return false;
  *out = uint32_t(v);
  return true;
}

bool ParsePortChannel(const std::string& text, uint32_t* port, uint32_t* channel) {
  const size_t dot = text.find('.');
  return dot != std::string::npos && ParseUnsigned(text.substr(0, dot), port) &&
         ParseUnsigned(text.substr(dot + 1), channel) && *port < 4 && *channel < 2;
}

bool ParseInput(const std::string& text, DeviceInput* input) {
  const size_t colon = text.find(':');
  const std::string kind = text.substr(0, colon);
  const std::string arg = colon == std::string::npos ? "" : text.substr(colon + 1);
  if (kind == "loopback") {
    input->kind = InputKind::Loopback;
    return arg.empty() || ParseUnsigned(arg, &input->loopDelay);
  }
  if (kind == "sine") {
    input->kind = InputKind::Sine;
    uint32_t hz = 1000;
    if (!arg.empty() && !ParseUnsigned(arg, &hz)) return false;
    input->sineHz = hz;
    return true;
  }
  if (kind == "wav" && !arg.empty()) {
    input->kind = InputKind::Wav;
    input->wav = arg;
    return true;
  }
  if (kind == "silence" && arg.empty()) {
    input->kind = InputKind::Silence;
    return true;
  }
  return false;
}

bool ParseCompanion(const std::string& text, CompanionPlay* play) {
  const size_t colon = text.find(':');
  const std::string kind = text.substr(0, colon);
  const std::string arg = colon == std::string::npos ? "" : text.substr(colon + 1);
  if (kind == "none" && arg.empty()) {
    play->kind = CompanionPlay::Kind::None;
    return true;
  }
  if (kind == "signal" && arg.empty()) {
    play->kind = CompanionPlay::Kind::Signal;
    return true;
  }
  if (kind == "tone") {
    play->kind = CompanionPlay::Kind::Tone;
    uint32_t hz = 440;
    if (!arg.empty() && !ParseUnsigned(arg, &hz)) return false;
    play->toneHz = hz;
    return true;
  }
  if (kind == "wav" && !arg.empty()) {
    play->kind = CompanionPlay::Kind::Wav;
    play->wav = arg;
    return true;
  }
  return false;
}

int Stream(const std::vector<std::string>& args) {
  StreamOptions options;
  bool json = false, quiet = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    auto value = [&](std::string* out) {
      if (i + 1 >= args.size()) return false;
      *out = args[++i];
      return true;
    };
    std::string v;
    if (a == "--json") json = true;
    else if (a == "--quiet") quiet = true;
    else if (a == "--debug") options.echoDebugOutput = true;
    else if (a == "--rate" && value(&v) && ParseUnsigned(v, &options.rate)) continue;
    else if (a == "--period" && value(&v) && ParseUnsigned(v, &options.periodFrames)) continue;
    else if (a == "--buffers" && value(&v) && ParseUnsigned(v, &options.requestCount)) continue;
    else if (a == "--seconds" && value(&v)) options.seconds = std::atof(v.c_str());
    else if (a == "--time" && value(&v) && (v == "real" || v == "virtual"))
      options.clock = v == "real" ? tqm::kernel::ClockMode::Real : tqm::kernel::ClockMode::Virtual;
    else if (a == "--input" && value(&v) && ParseInput(v, &options.input)) continue;
    else if (a == "--companion" && value(&v) && ParseCompanion(v, &options.companion)) continue;
    else if (a == "--out" && value(&v)) options.outputDir = v;
    else if (a == "--no-output-ready") options.client.outputReady = false;
    else if (a == "--completions" && value(&v) && (v == "two" || v == "playback-first" || v == "record-first"))
      options.completions = v == "two"              ? tqm::usb::PortModes::Completions::TwoProcessors
                            : v == "playback-first" ? tqm::usb::PortModes::Completions::PlaybackFirst
                                                    : tqm::usb::PortModes::Completions::RecordFirst;
    else if (a == "--fail-requests" && value(&v)) {
      const size_t colon = v.find(':');
      const double out = std::atof(v.substr(0, colon).c_str());
      const double in = colon == std::string::npos ? out : std::atof(v.substr(colon + 1).c_str());
      if (out < 0 || out > 100 || in < 0 || in > 100)
        return Usage("--fail-requests takes a percentage or OUT:IN percentages: " + v);
      options.failOutPerMillion = uint32_t(out * 10000 + 0.5);
      options.failInPerMillion = uint32_t(in * 10000 + 0.5);
    }
    else if (a == "--client-delay" && value(&v)) {
      const size_t colon = v.find(':');
      if (!ParseUnsigned(v.substr(0, colon), &options.client.delayFrames) ||
          (colon != std::string::npos && !ParseUnsigned(v.substr(colon + 1), &options.client.jitterFrames)))
        return Usage("--client-delay takes FRAMES or FRAMES:JITTER: " + v);
    } else if (a == "--restart" && value(&v)) {
      const size_t colon = v.find(':'), at = v.find('@');
      StreamChange change;
      const std::string kind = v.substr(0, colon);
      if (kind == "rate") change.kind = StreamChange::Kind::Rate;
      else if (kind == "buffers") change.kind = StreamChange::Kind::Buffers;
      else if (kind == "period") change.kind = StreamChange::Kind::Period;
      else return Usage("--restart takes rate:HZ@S, buffers:N@S or period:P@S: " + v);
      if (colon == std::string::npos || at == std::string::npos || at < colon ||
          !ParseUnsigned(v.substr(colon + 1, at - colon - 1), &change.value))
        return Usage("--restart takes rate:HZ@S, buffers:N@S or period:P@S: " + v);
      change.atSeconds = std::atof(v.c_str() + at + 1);
      if (change.atSeconds <= 0) return Usage("--restart needs a positive time: " + v);
      options.changes.push_back(change);
    }
    else if (a == "--route" && value(&v)) {
      const size_t colon = v.find(':');
      Route r;
      if (colon == std::string::npos || !ParsePortChannel(v.substr(0, colon), &r.fromPort, &r.fromChannel) ||
          !ParsePortChannel(v.substr(colon + 1), &r.toPort, &r.toChannel))
        return Usage("a route is FROM:TO, each PORT.CHANNEL: " + v);
      options.routes.push_back(r);
    } else {
      return Usage("bad stream option: " + a);
    }
  }
  if (options.seconds <= 0) return Usage("--seconds must be positive");
  if (!quiet) {
    options.progress = [](double elapsedMs, const StreamCounters& c) {
      std::fprintf(stderr, "\r  %7.1f s  periods %llu  missed %llu   ", elapsedMs / 1000,
                   static_cast<unsigned long long>(c.periods), static_cast<unsigned long long>(c.missed));
      std::fflush(stderr);
    };
  }
  StreamReport report;
  const bool ok = RunStream(options, &report);
  if (!quiet) std::fputs("\n", stderr);
  std::cout << (json ? ReportJson(report) + "\n" : ReportText(report));
  return ok ? 0 : 1;
}

int Ioctl(const std::vector<std::string>& args) {
  RawCommand command;
  bool json = false;
  std::vector<std::string> positional;
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--json") {
      json = true;
    } else if (args[i] == "--state") {
      if (i + 1 >= args.size()) return Usage("--state needs a value");
      const auto state = ParseDeviceState(args[++i]);
      if (!state) return Usage("unknown device state: " + args[i]);
      command.state = *state;
    } else {
      positional.push_back(args[i]);
    }
  }
  if (positional.size() < 2 || !ParseUnsigned(positional[0], &command.cls) ||
      !ParseUnsigned(positional[1], &command.subOp))
    return Usage("ioctl needs CLASS and SUBOP");
  for (size_t i = 2; i < positional.size(); ++i) {
    FieldAssignment f;
    std::string error;
    if (!ParseFieldAssignment(positional[i], &f, &error)) return Usage(error);
    command.fields.push_back(f);
  }
  RawReply reply;
  std::string error;
  if (!SendRawCommand(command, &reply, &error)) {
    std::fprintf(stderr, "tqm27sim: %s\n", error.c_str());
    return 1;
  }
  std::cout << (json ? RawReplyJson(command, reply) + "\n" : RawReplyText(command, reply));
  return 0;
}

int Scenario(const std::vector<std::string>& args) {
  bool json = false;
  std::string name;
  for (const std::string& a : args) {
    if (a == "--json") json = true;
    else if (name.empty()) name = a;
    else return Usage("one scenario at a time");
  }
  if (name.empty()) return Usage("scenario needs a NAME");
  if (name == "list") {
    for (const ScenarioInfo& s : Scenarios()) std::printf("%-28s %s\n", s.name, s.what);
    return 0;
  }
  const ScenarioInfo* info = FindScenario(name);
  if (!info) return Usage("no scenario named " + name + " (tqm27sim scenario list)");
  const ScenarioResult result = info->run();
  std::cout << (json ? ScenarioJson(*info, result) + "\n" : ScenarioText(*info, result));
  return result.pass ? 0 : 1;
}

tqm::sim::BridgeServer* servingNow = nullptr;

void StopServing(int) {
  if (servingNow) servingNow->Stop();
}

int Serve(const std::vector<std::string>& args) {
  ServeOptions options;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--dir" && i + 1 < args.size()) options.dir = args[++i];
    else if (a == "--companion" && i + 1 < args.size() && args[i + 1] == "none") options.companion = false, ++i;
    else if (a == "--unplugged") options.plug = false;
    else if (a == "--time" && i + 1 < args.size() && (args[i + 1] == "real" || args[i + 1] == "virtual"))
      options.clock = args[++i] == "real" ? tqm::kernel::ClockMode::Real : tqm::kernel::ClockMode::Virtual;
    else if (a == "--input" && i + 1 < args.size()) {
      DeviceInput input;
      if (!ParseInput(args[++i], &input) || (input.kind != InputKind::Loopback && input.kind != InputKind::Silence))
        return Usage("serve's input is loopback[:DELAY] or silence");
      options.loopback = input.kind == InputKind::Loopback;
      options.loopDelay = input.loopDelay;
    }
    else if (a == "--debug") options.echoDebugOutput = true;
    else if (a == "--foreign-hid") options.foreignHid = true;
    else if (a == "--other-version") options.otherVersion = true;
    else if (a == "--devices" && i + 1 < args.size()) {
      const int n = std::atoi(args[++i].c_str());
      if (n < 1 || n > 16) return Usage("serve's --devices is 1..16");
      options.devices = uint32_t(n);
    }
    else return Usage("bad serve option: " + a);
  }
  if (options.dir.empty()) return Usage("serve needs --dir DIR");
  BridgeServer server(options);
  servingNow = &server;
  struct sigaction action {};
  action.sa_handler = StopServing;
  sigemptyset(&action.sa_mask);
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);
  const int status = server.Run();
  signal(SIGTERM, SIG_DFL);
  signal(SIGINT, SIG_DFL);
  servingNow = nullptr;
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return Usage("");
  const std::string command = argv[1];
  const std::vector<std::string> args(argv + 2, argv + argc);
  if (command == "stream") return Stream(args);
  if (command == "ioctl") return Ioctl(args);
  if (command == "scenario") return Scenario(args);
  if (command == "serve") return Serve(args);
  if (command == "--help" || command == "help") return Usage(""), 0;
  return Usage("unknown command " + command);
}
