// What the virtual TQM27 costs the machine that simulates it: one iteration is
// one second of full-duplex 96 kHz streaming (1000 frames, 96 frames each way
// per frame; record 16-bit, playback 24-bit as the driver runs 96 kHz). The
// "core_percent" counter is the share of one core the device needs in real
// time: the thread's CPU time per simulated second.
#include <benchmark/benchmark.h>

#include <time.h>

#include <vector>

#include "usb/device/tqm27_device.h"

namespace {

using namespace tqm::usb;

void Control(Tqm27Device& device, uint8_t type, uint8_t request, uint16_t value, uint16_t index,
             std::vector<uint8_t> data) {
  device.Control({type, request, value, index, uint16_t(data.size())}, data);
}

void Start(Tqm27Device& device) {
  Control(device, 0x00, 0x09, 1, 0, {});
  Control(device, 0x01, 0x0B, 2, kPlaybackInterface, {});
  Control(device, 0x01, 0x0B, 1, kRecordInterface, {});
  Control(device, 0x22, 0x01, 0x0100, kPlaybackEndpoint, {0x00, 0x77, 0x01});
  Control(device, 0x22, 0x01, 0x0100, kRecordEndpoint, {0x00, 0x77, 0x01});
  // Half a dB down on playback so that the codec's multiply is in the cost.
  Control(device, 0x21, 0x01, 0x0201, 0x1001, {0x80, 0xFF});
  Control(device, 0x21, 0x01, 0x0202, 0x1001, {0x80, 0xFF});
}

double ThreadCpuSeconds() {
  timespec t;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

void RunSecond(benchmark::State& state, Tqm27Device& device, bool drainCapture) {
  std::vector<uint8_t> out(96 * 6), in(100 * 6);
  for (size_t i = 0; i < out.size(); ++i) out[i] = uint8_t(i * 13);
  const double start = ThreadCpuSeconds();
  for (auto _ : state) {
    for (int frame = 0; frame < 1000; ++frame) {
      const FrameResult f = device.RunFrame({std::span<const uint8_t>(out), std::span<uint8_t>(in)});
      benchmark::DoNotOptimize(f);
    }
    if (drainCapture) benchmark::DoNotOptimize(device.TakeDacCapture());
  }
  const double simulatedSeconds = double(state.iterations());
  state.counters["core_percent"] = 100.0 * (ThreadCpuSeconds() - start) / simulatedSeconds;
}

void BM_FullDuplex96kLoopbackCaptured(benchmark::State& state) {
  Tqm27Device device;
  Start(device);
  device.SelectLoopback(96);
  device.CaptureDacToBuffer();
  RunSecond(state, device, true);
}
BENCHMARK(BM_FullDuplex96kLoopbackCaptured)->Unit(benchmark::kMillisecond);

void BM_FullDuplex96kSine(benchmark::State& state) {
  Tqm27Device device;
  Start(device);
  device.SelectSine(997, -6);
  RunSecond(state, device, false);
}
BENCHMARK(BM_FullDuplex96kSine)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
