// asiohost: finds the driver in the registry list ASIO hosts read, creates it
// through COM as hosts do, streams a counting signal through the device's
// loopback and reports what came back.
//
//   asiohost [--driver NAME] [--seconds S] [--rate HZ] [--loop-delay D] [--json] [--list] [--installed]
//            [--out DIR]
//
// --out DIR writes what the host played (played.wav) and what it recorded
// (recorded.wav), 32-bit PCM, one channel per ASIO channel.
//
// --installed only creates the registered driver and initialises it, as a
// check of an installation: it prints init's result (and the driver's error
// text) and exits 0 when the object could be created.
//
// Every period the host writes a 16-bit frame counter (top bits) and the
// channel number (the byte below) into its output halves and reads its input
// halves. Once the signal comes back every recorded frame must be the played
// frame L frames earlier, bit for bit; L is the measured round trip, which
// must equal the reported input + output latency plus the device's own loop
// delay D. Exits 0 only when everything held.
#include <windows.h>
#include <objbase.h>

#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "asio/asio_interface.h"
#include "tqm/identity.h"

namespace {

struct Options {
  std::string driver = tqm::kAsioDriverName;
  double seconds = 10;
  double rate = 0;  // 0: keep the driver's
  long loopDelay = 32;
  bool json = false;
  bool list = false;
  bool installed = false;  // only create and init the registered driver
  std::string out;         // where the WAV files go; empty: none
};

// Frame x of channel c: the counter (x + 1) mod 2^16 in the top 16 bits, XORed
// with a pattern per channel so that a swap shows, and the channel's number
// in bits 15..8. A 16-bit stream carries the counter; a 24-bit one also the
// byte below it.
constexpr uint32_t kPattern[] = {0x0000, 0x5A5A, 0xA5A5, 0x3C3C, 0xC3C3, 0x6969, 0x9696, 0x0F0F};
int32_t Counting(uint32_t frame, long channel) {
  return int32_t((((frame + 1) & 0xFFFF) ^ kPattern[channel & 7]) << 16 | uint32_t(channel + 1) << 8);
}

// What the callbacks see; the driver calls them from its period thread.
struct Stream {
  IASIO* driver = nullptr;
  long period = 0;
  long inputs = 0, outputs = 0;
  std::vector<ASIOBufferInfo> infos;
  bool postOutput = false;
  uint64_t targetPeriods = 0;
  HANDLE done = nullptr;

  std::atomic<bool> stopped{false};
  std::atomic<uint64_t> callbacksAfterStop{0};
  uint64_t switches = 0;
  uint64_t timeInfoSwitches = 0;
  uint64_t played = 0;       // frames written
  uint64_t recorded = 0;     // frames read
  bool locked = false;
  uint32_t expect = 0;
  uint64_t compared = 0, corrupt = 0, corrupt16 = 0, discontinuities = 0, nonSilentBeforeLock = 0;
  long firstLatency = -1, lastLatency = -1;
  uint64_t resets = 0, latencyChanges = 0, rateChanges = 0;
  // Periods the host never saw: the recording jumped ahead by whole periods
  // (the driver hands the latest half to a period thread that woke late).
  uint64_t missed = 0;
  std::string firstFault;
  bool keep = false;  // keep the samples for the WAV files
  std::vector<int32_t> playedSamples, recordedSamples;  // interleaved by channel
};

Stream g_stream;

void Period(long half) {
  Stream& s = g_stream;
  if (s.stopped.load()) {
    s.callbacksAfterStop.fetch_add(1);
    return;
  }
  ++s.switches;
  // Input first: what came back.
  for (long f = 0; f < s.period; ++f, ++s.recorded) {
    for (const ASIOBufferInfo& info : s.infos) {
      if (!info.isInput) continue;
      const int32_t v = static_cast<const int32_t*>(info.buffers[half])[f];
      if (!s.locked && info.channelNum == 0 && v != 0) {
        s.locked = true;
        s.expect = (uint32_t(v) >> 16) - 1;
      }
      if (!s.locked) {
        if (v != 0) ++s.nonSilentBeforeLock;
        continue;
      }
      const int32_t want = Counting(s.expect, info.channelNum);
      // The same frame as a 16-bit stream carries it: the byte below is 0.
      if (uint32_t(v) != (uint32_t(want) & 0xFFFF0000u)) ++s.corrupt16;
      if (v != want) {
        if (s.corrupt++ == 0) {
          char text[160];
          std::snprintf(text, sizeof text, "recorded frame %llu channel %ld: %08X, expected %08X",
                        static_cast<unsigned long long>(s.recorded), info.channelNum, unsigned(v), unsigned(want));
          s.firstFault = text;
        }
        // Follow the signal where it went, to count jumps rather than frames.
        if (info.channelNum == 0 && v != 0 && (uint32_t(v) >> 16) != ((s.expect + 1) & 0xFFFF)) {
          ++s.discontinuities;
          const uint32_t ahead = ((uint32_t(v) >> 16) - 1 - s.expect) & 0xFFFF;
          if (ahead < 0x8000 && s.period && ahead % uint32_t(s.period) == 0) s.missed += ahead / uint32_t(s.period);
          s.expect = (uint32_t(v) >> 16) - 1;
        }
      }
    }
    if (s.keep)
      for (const ASIOBufferInfo& info : s.infos)
        if (info.isInput) s.recordedSamples.push_back(static_cast<const int32_t*>(info.buffers[half])[f]);
    if (s.locked) {
      const long latency = long((uint32_t(s.recorded) - s.expect) & 0xFFFF);
      s.expect &= 0xFFFF;
      if (s.firstLatency < 0) s.firstLatency = latency;
      s.lastLatency = latency;
      ++s.compared;
      ++s.expect;
    }
  }
  for (long f = 0; f < s.period; ++f, ++s.played)
    for (const ASIOBufferInfo& info : s.infos)
      if (!info.isInput) {
        const int32_t v = Counting(uint32_t(s.played), info.channelNum);
        static_cast<int32_t*>(info.buffers[half])[f] = v;
        if (s.keep) s.playedSamples.push_back(v);
      }
  if (s.postOutput) s.driver->outputReady();
  if (s.switches == s.targetPeriods) SetEvent(s.done);
}

void BufferSwitch(long half, ASIOBool) { Period(half); }

ASIOTime* BufferSwitchTimeInfo(ASIOTime* time, long half, ASIOBool) {
  if (!g_stream.stopped.load()) ++g_stream.timeInfoSwitches;
  Period(half);
  return time;
}

void SampleRateDidChange(ASIOSampleRate) { ++g_stream.rateChanges; }

long AsioMessage(long selector, long value, void*, double*) {
  switch (selector) {
    case kAsioSelectorSupported:
      return value == kAsioEngineVersion || value == kAsioSupportsTimeInfo || value == kAsioResetRequest ||
             value == kAsioLatenciesChanged;
    case kAsioEngineVersion:
      return 2;
    case kAsioSupportsTimeInfo:
      return 1;
    case kAsioResetRequest:
      // A host resets at once; this one ends its run and reports it.
      ++g_stream.resets;
      if (g_stream.done) SetEvent(g_stream.done);
      return 1;
    case kAsioLatenciesChanged:
      ++g_stream.latencyChanges;
      return 1;
    default:
      return 0;
  }
}

struct Report {
  bool ok = true;
  std::string error;
  std::vector<std::string> drivers;
  std::string name;
  double rate = 0;
  long inputs = 0, outputs = 0, inputLatency = 0, outputLatency = 0, period = 0;
  std::vector<std::string> channelNames;
  double seconds = 0;
};

// The width the loop carried every frame exactly at: 24 bits, or 16 when
// every frame came back as a 16-bit stream carries it; 0 when neither.
int LoopWidth(const Stream& s) {
  if (!s.locked || s.nonSilentBeforeLock || s.discontinuities) return 0;
  if (s.corrupt == 0) return 24;
  return s.corrupt16 == 0 ? 16 : 0;
}

void Fail(Report& r, const std::string& what) {
  if (r.ok) r.error = what;
  r.ok = false;
}

std::string Quote(const std::string& s) {
  std::string out = "\"";
  for (char c : s) {
    if (c == '"' || c == '\\') out += '\\';
    if (c == '\n') {
      out += "\\n";
      continue;
    }
    out += c;
  }
  return out + "\"";
}

std::vector<std::string> ListDrivers() {
  std::vector<std::string> names;
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\ASIO", 0, KEY_READ, &key) != ERROR_SUCCESS) return names;
  char name[256];
  for (DWORD i = 0;; ++i) {
    DWORD length = sizeof name;
    if (RegEnumKeyExA(key, i, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
    names.emplace_back(name, length);
  }
  RegCloseKey(key);
  return names;
}

bool DriverClassId(const std::string& driver, CLSID* clsid) {
  const std::string path = "SOFTWARE\\ASIO\\" + driver;
  char text[64] = {};
  DWORD size = sizeof text - 1;
  if (RegGetValueA(HKEY_LOCAL_MACHINE, path.c_str(), "CLSID", RRF_RT_REG_SZ, nullptr, text, &size) != ERROR_SUCCESS)
    return false;
  wchar_t wide[64];
  MultiByteToWideChar(CP_ACP, 0, text, -1, wide, 64);
  return SUCCEEDED(CLSIDFromString(wide, clsid));
}

void Run(const Options& o, Report& r) {
  r.drivers = ListDrivers();
  CLSID clsid;
  if (!DriverClassId(o.driver, &clsid)) return Fail(r, "no ASIO driver named \"" + o.driver + "\" is registered");
  IASIO* driver = nullptr;
  HRESULT hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, clsid, reinterpret_cast<void**>(&driver));
  if (FAILED(hr) || !driver) {
    char text[64];
    std::snprintf(text, sizeof text, "CoCreateInstance failed: 0x%08lX", static_cast<unsigned long>(hr));
    return Fail(r, text);
  }
  Stream& s = g_stream;
  s.driver = driver;
  char name[64] = {};
  driver->getDriverName(name);
  r.name = name;
  auto check = [&](ASIOError e, const char* call) {
    if (e == ASE_OK) return true;
    Fail(r, std::string(call) + " returned " + std::to_string(e));
    return false;
  };
  if (o.installed) {
    const ASIOBool opened = driver->init(GetDesktopWindow());
    char text[256] = {};
    driver->getErrorMessage(text);
    std::printf("driver \"%s\" created; init %s: %s\n", name, opened ? "succeeded" : "failed", text);
    driver->Release();
    return;
  }
  if (!driver->init(GetDesktopWindow())) {
    char text[256] = {};
    driver->getErrorMessage(text);
    Fail(r, std::string("init failed: ") + text);
    driver->Release();
    return;
  }
  long minSize = 0, maxSize = 0, granularity = 0;
  bool good = check(driver->getChannels(&s.inputs, &s.outputs), "getChannels") &&
              check(driver->getBufferSize(&minSize, &maxSize, &s.period, &granularity), "getBufferSize");
  if (good && o.rate > 0) {
    good = check(driver->canSampleRate(o.rate), "canSampleRate") &&
           check(driver->setSampleRate(o.rate), "setSampleRate");
  }
  if (good) good = check(driver->getSampleRate(&r.rate), "getSampleRate");
  if (good && o.rate > 0 && r.rate != o.rate) {
    Fail(r, "getSampleRate does not return the rate just set");
    good = false;
  }
  if (good) good = check(driver->getLatencies(&r.inputLatency, &r.outputLatency), "getLatencies");
  r.inputs = s.inputs;
  r.outputs = s.outputs;
  r.period = s.period;
  for (long input = 0; good && input < 2; ++input) {
    for (long c = 0; good && c < (input ? s.inputs : s.outputs); ++c) {
      ASIOChannelInfo info{};
      info.channel = c;
      info.isInput = input;
      good = check(driver->getChannelInfo(&info), "getChannelInfo");
      if (good) r.channelNames.push_back(std::string(input ? "in " : "out ") + info.name);
      if (good && info.type != ASIOSTInt32LSB) {
        Fail(r, "a channel is not 32-bit LSB");
        good = false;
      }
    }
  }
  ASIOCallbacks callbacks{BufferSwitch, SampleRateDidChange, AsioMessage, BufferSwitchTimeInfo};
  if (good) {
    for (long c = 0; c < s.inputs; ++c) s.infos.push_back({ASIOTrue, c, {nullptr, nullptr}});
    for (long c = 0; c < s.outputs; ++c) s.infos.push_back({ASIOFalse, c, {nullptr, nullptr}});
    good = check(driver->createBuffers(s.infos.data(), long(s.infos.size()), s.period, &callbacks), "createBuffers");
  }
  if (good) {
    // As hosts do: one call tells whether the driver takes outputReady.
    s.postOutput = driver->outputReady() == ASE_OK;
    s.targetPeriods = uint64_t(std::ceil(o.seconds * r.rate / double(s.period)));
    s.keep = !o.out.empty();
    if (s.keep) {
      s.playedSamples.reserve(size_t(s.targetPeriods * uint64_t(s.period) * uint64_t(s.outputs)));
      s.recordedSamples.reserve(size_t(s.targetPeriods * uint64_t(s.period) * uint64_t(s.inputs)));
    }
    s.done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    good = check(driver->start(), "start");
    if (good) {
      // Wall-time bound: ten times the stream's length and 20 s more.
      const DWORD bound = DWORD(o.seconds * 10000) + 20000;
      if (WaitForSingleObject(s.done, bound) != WAIT_OBJECT_0) Fail(r, "the stream stopped delivering periods");
      if (s.resets) Fail(r, "the driver asked for a reset after " + std::to_string(s.switches) + " periods");
      check(driver->stop(), "stop");
      s.stopped.store(true);
    }
    // Anything the driver calls after stop returned is a fault.
    Sleep(50);
    check(driver->disposeBuffers(), "disposeBuffers");
    CloseHandle(s.done);
  }
  driver->Release();
  r.seconds = double(s.switches) * double(s.period) / (r.rate > 0 ? r.rate : 1);
  if (!r.ok) return;
  if (s.callbacksAfterStop) Fail(r, "the driver called the host after stop returned");
  if (!s.locked) Fail(r, "the signal never came back");
  if (LoopWidth(s) == 0) Fail(r, "the loopback is not bit-exact: " + s.firstFault);
  const long reported = r.inputLatency + r.outputLatency + o.loopDelay;
  if (s.locked && (s.firstLatency != reported || s.lastLatency != reported))
    Fail(r, "measured round trip " + std::to_string(s.lastLatency) + " frames, reported " +
                std::to_string(r.inputLatency) + " + " + std::to_string(r.outputLatency) + " + loop delay " +
                std::to_string(o.loopDelay) + " = " + std::to_string(reported));
}

// A 32-bit PCM WAV file of interleaved samples.
bool WriteWav(const std::string& path, const std::vector<int32_t>& samples, long channels, double rate) {
  if (channels <= 0) return false;
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return false;
  auto le32 = [&](uint32_t v) { std::fwrite(&v, 4, 1, f); };
  auto le16 = [&](uint16_t v) { std::fwrite(&v, 2, 1, f); };
  const uint32_t data = uint32_t(samples.size() * 4);
  std::fwrite("RIFF", 1, 4, f);
  le32(36 + data);
  std::fwrite("WAVEfmt ", 1, 8, f);
  le32(16);
  le16(1);  // PCM
  le16(uint16_t(channels));
  le32(uint32_t(rate));
  le32(uint32_t(rate) * uint32_t(channels) * 4);
  le16(uint16_t(channels * 4));
  le16(32);
  std::fwrite("data", 1, 4, f);
  le32(data);
  const bool written = std::fwrite(samples.data(), 4, samples.size(), f) == samples.size();
  return std::fclose(f) == 0 && written;
}

void Print(const Options& o, const Report& r) {
  const Stream& s = g_stream;
  const int width = LoopWidth(s);
  const bool exact = width != 0;
  if (o.json) {
    std::printf("{\"ok\":%s,\"error\":%s,\"driver\":%s,\"rate\":%.0f,\"periodFrames\":%ld,\"inputs\":%ld,"
                "\"outputs\":%ld,\"inputLatency\":%ld,\"outputLatency\":%ld,\"loopDelay\":%ld,"
                "\"latencyReportedFrames\":%ld,\"latencyMeasuredFrames\":%ld,\"latencyFirstFrames\":%ld,"
                "\"periods\":%llu,\"bufferSwitches\":%llu,\"timeInfoSwitches\":%llu,\"seconds\":%.3f,"
                "\"outputReady\":%s,\"loopbackBitExact\":%s,\"loopbackWidthBits\":%d,\"loopbackFramesCompared\":%llu,"
                "\"loopbackCorruptedFrames\":%llu,\"loopbackDiscontinuities\":%llu,\"callbacksAfterStop\":%llu,"
                "\"resetRequests\":%llu,\"latencyChanges\":%llu,\"missedPeriods\":%llu}\n",
                r.ok ? "true" : "false", Quote(r.error).c_str(), Quote(r.name).c_str(), r.rate, r.period, r.inputs,
                r.outputs, r.inputLatency, r.outputLatency, o.loopDelay, r.inputLatency + r.outputLatency + o.loopDelay,
                s.lastLatency, s.firstLatency, static_cast<unsigned long long>(s.switches),
                static_cast<unsigned long long>(s.switches), static_cast<unsigned long long>(s.timeInfoSwitches),
                r.seconds, s.postOutput ? "true" : "false", exact ? "true" : "false", width,
                static_cast<unsigned long long>(s.compared), static_cast<unsigned long long>(width == 16 ? s.corrupt16 : s.corrupt),
                static_cast<unsigned long long>(s.discontinuities), static_cast<unsigned long long>(s.callbacksAfterStop),
                static_cast<unsigned long long>(s.resets), static_cast<unsigned long long>(s.latencyChanges),
                static_cast<unsigned long long>(s.missed));
    return;
  }
  std::printf("ASIO drivers registered:");
  for (const std::string& d : r.drivers) std::printf(" \"%s\"", d.c_str());
  std::printf("\ndriver            %s\n", r.name.c_str());
  std::printf("rate              %.0f Hz, period %ld frames, %ld in / %ld out\n", r.rate, r.period, r.inputs, r.outputs);
  for (const std::string& n : r.channelNames) std::printf("channel           %s\n", n.c_str());
  std::printf("latency reported  input %ld + output %ld frames (+ loop delay %ld = %ld)\n", r.inputLatency,
              r.outputLatency, o.loopDelay, r.inputLatency + r.outputLatency + o.loopDelay);
  std::printf("latency measured  %ld frames (first %ld)\n", s.lastLatency, s.firstLatency);
  std::printf("periods           %llu buffer switches (%llu with time info), %.3f s, outputReady %s\n",
              static_cast<unsigned long long>(s.switches), static_cast<unsigned long long>(s.timeInfoSwitches),
              r.seconds, s.postOutput ? "used" : "not offered");
  std::printf("missed periods    %llu\n", static_cast<unsigned long long>(s.missed));
  std::printf("loopback          %s at %d bits: %llu frames compared, %llu corrupted, %llu jumps\n",
              exact ? "bit-exact" : "NOT bit-exact", width ? width : 24, static_cast<unsigned long long>(s.compared),
              static_cast<unsigned long long>(width == 16 ? s.corrupt16 : s.corrupt),
              static_cast<unsigned long long>(s.discontinuities));
  std::printf("after stop        %llu callbacks\n", static_cast<unsigned long long>(s.callbacksAfterStop));
  std::printf("result            %s%s%s\n", r.ok ? "PASS" : "FAIL", r.ok ? "" : ": ", r.error.c_str());
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto next = [&]() -> const char* { return i + 1 < argc ? argv[++i] : ""; };
    if (a == "--driver") o.driver = next();
    else if (a == "--seconds") o.seconds = std::atof(next());
    else if (a == "--rate") o.rate = std::atof(next());
    else if (a == "--loop-delay") o.loopDelay = std::atol(next());
    else if (a == "--json") o.json = true;
    else if (a == "--list") o.list = true;
    else if (a == "--installed") o.installed = true;
    else if (a == "--out") o.out = next();
    else {
      std::fprintf(stderr,
                   "usage: asiohost [--driver NAME] [--seconds S] [--rate HZ] [--loop-delay D] [--json] [--list] "
                   "[--installed] [--out DIR]\n");
      return 2;
    }
  }
  if (o.list) {
    for (const std::string& d : ListDrivers()) std::printf("%s\n", d.c_str());
    return 0;
  }
  CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  Report r;
  Run(o, r);
  if (o.installed) {
    if (!r.ok) std::printf("%s\n", r.error.c_str());
    CoUninitialize();
    return r.ok ? 0 : 1;
  }
  if (!o.out.empty() && r.inputs > 0) {
    const bool played = WriteWav(o.out + "/played.wav", g_stream.playedSamples, r.outputs, r.rate);
    const bool recorded = WriteWav(o.out + "/recorded.wav", g_stream.recordedSamples, r.inputs, r.rate);
    if (!played || !recorded) Fail(r, "the WAV files could not be written to " + o.out);
  }
  Print(o, r);
  CoUninitialize();
  return r.ok ? 0 : 1;
}
