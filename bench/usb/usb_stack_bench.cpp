// What the USB stack and the virtual TQM27 together cost in real time: a
// machine with its clock on the wall clock streams full duplex at 96 kHz
// (record 16-bit, playback 24-bit, as the driver runs 96 kHz) through URBs that
// a client driver keeps in flight and resubmits from its completion routines.
// One iteration is one wall-clock second; "core_percent" is the process's CPU
// time in it (clock thread: frames, the model, completions) as a share of one
// core. The idle machine's figure is the clock's own cost (it wakes every
// millisecond), which the stack and the device add to.
#include <benchmark/benchmark.h>

#include <time.h>

#include <chrono>
#include <thread>

#include "tests/platform/usb/usb_stack_fixture.h"

namespace {

using namespace tqm::usb;
using namespace tqm::usb::testing;

double ProcessCpuSeconds() {
  timespec t;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

// The CPU share of the process over the benchmark's wall-clock seconds.
void MeasureSeconds(benchmark::State& state) {
  double cpu = 0, wall = 0;
  for (auto _ : state) {
    const double cpuStart = ProcessCpuSeconds();
    const auto wallStart = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(1));
    cpu += ProcessCpuSeconds() - cpuStart;
    wall += std::chrono::duration<double>(std::chrono::steady_clock::now() - wallStart).count();
  }
  state.counters["core_percent"] = 100.0 * cpu / wall;
}

// The floor: a machine whose clock runs with nothing to do.
void BM_IdleMachineRealTime(benchmark::State& state) {
  tqm::kernel::Machine machine(tqm::kernel::MachineOptions{tqm::kernel::ClockMode::Real});
  MeasureSeconds(state);
}
BENCHMARK(BM_IdleMachineRealTime)->Iterations(2)->Unit(benchmark::kMillisecond);

// A plugged, configured device whose frames run with no transfer pending.
void BM_PluggedIdleRealTime(benchmark::State& state) {
  tqm::kernel::Machine machine(tqm::kernel::MachineOptions{tqm::kernel::ClockMode::Real});
  UsbHub hub(machine);
  Tqm27Port* port = hub.Plug();
  auto client = std::make_unique<UsbClient>(machine, port->pdo());
  client->StartStreaming(1, 2, 96000);
  MeasureSeconds(state);
  client.reset();
}
BENCHMARK(BM_PluggedIdleRealTime)->Iterations(2)->Unit(benchmark::kMillisecond);

// "stack_device_percent" is the share above the same machine idling just
// before: what the stack and the device add to the clock's own cost.
void BM_FullDuplex96kRealTime(benchmark::State& state) {
  tqm::kernel::Machine machine(tqm::kernel::MachineOptions{tqm::kernel::ClockMode::Real});
  const double idleCpuStart = ProcessCpuSeconds();
  const auto idleWallStart = std::chrono::steady_clock::now();
  std::this_thread::sleep_for(std::chrono::seconds(1));
  const double idlePercent =
      100.0 * (ProcessCpuSeconds() - idleCpuStart) /
      std::chrono::duration<double>(std::chrono::steady_clock::now() - idleWallStart).count();
  UsbHub hub(machine);
  Tqm27Port* port = hub.Plug();
  auto client = std::make_unique<UsbClient>(machine, port->pdo());
  auto [record, playback] = client->StartStreaming(1, 2, 96000);
  port->device().SelectSine(997, -6);
  {
    IsochStream in(client->lower(), record, 4, 8, 100 * 4);
    IsochStream out(client->lower(), playback, 4, 8, 96 * 6);
    in.Start();
    out.Start();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    MeasureSeconds(state);
    state.counters["stack_device_percent"] = double(state.counters["core_percent"]) - idlePercent;
    out.Stop(2000);
    in.Stop(2000);
    state.counters["in_frames_lost"] = double(port->device().Counters().inFramesLost);
    state.counters["dac_underruns"] = double(port->device().Counters().dacUnderruns);
  }
  client.reset();
}
BENCHMARK(BM_FullDuplex96kRealTime)->Iterations(3)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
