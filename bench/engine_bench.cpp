// The stream engine's CPU cost.
//
// Per-frame figures for the sample loops (unpack at 2 and 3 bytes, pack,
// saturating mix), one playback-half fill with all four ports open and
// routing on, one record-half distribution, and one second of 96 kHz stereo
// full duplex with a client on port 2:
//   BM_EngineSampleWorkSecond96k  the engine's own sample work for that
//                                 second (1000 record packets, 96000 frames
//                                 packed, every period filled and distributed),
//                                 as "core_percent" of one core;
//   BM_MachineSecond96k           the whole simulated machine running that
//                                 second in virtual time (engine, USB stack,
//                                 device model and the kernel's clock), as
//                                 "machine_core_percent": an upper bound for
//                                 the engine including its request handling.
#include <benchmark/benchmark.h>

#include <time.h>

#include <vector>

#include "driver/engine/port_mixer.h"
#include "driver/engine/sample_loops.h"
#include "tests/driver/engine/engine_client.h"
#include "tests/driver/engine/engine_fixture.h"

namespace {

using namespace engine;

double ProcessCpuSeconds() {
  timespec t;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

constexpr int kFrames = 288;

void BM_Unpack(benchmark::State& state) {
  const uint32_t width = uint32_t(state.range(0));
  std::vector<uint8_t> packed(kFrames * 2 * width, 0x5A);
  std::vector<int32_t> out(kFrames * 2);
  for (auto _ : state) {
    for (uint32_t c = 0; c < 2; ++c) UnpackSamples(out.data() + c, 2, packed.data() + c * width, 2, width, kFrames);
    benchmark::DoNotOptimize(out.data());
  }
  state.counters["ns_per_frame"] =
      benchmark::Counter(double(state.iterations()) * kFrames, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_Unpack)->Arg(2)->Arg(3);

void BM_Pack(benchmark::State& state) {
  const uint32_t width = uint32_t(state.range(0));
  std::vector<int32_t> in(kFrames * 2, 0x12345678);
  std::vector<uint8_t> packed(kFrames * 2 * width);
  for (auto _ : state) {
    for (uint32_t c = 0; c < 2; ++c) PackSamples(packed.data() + c * width, 2, width, in.data() + c, 2, kFrames);
    benchmark::DoNotOptimize(packed.data());
  }
  state.counters["ns_per_frame"] =
      benchmark::Counter(double(state.iterations()) * kFrames, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_Pack)->Arg(2)->Arg(3);

void BM_SaturatingMix(benchmark::State& state) {
  std::vector<int32_t> a(kFrames * 2), b(kFrames * 2);
  for (int i = 0; i < kFrames * 2; ++i) {
    a[i] = i * 0x01000000;
    b[i] = -i * 0x00F00000;
  }
  for (auto _ : state) {
    for (uint32_t c = 0; c < 2; ++c) MixSamples(a.data() + c, 2, b.data() + c, 2, kFrames);
    benchmark::DoNotOptimize(a.data());
  }
  state.counters["ns_per_frame"] =
      benchmark::Counter(double(state.iterations()) * kFrames, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_SaturatingMix);

// Four ports with both channels open each way, every playback channel routed
// into another port's record ring, meters on.
struct MixerRig {
  MixerRig() : rings(kRingBlockBytes / 4), queue(QueueBlockBytes(2) / 4), half(2 * kSlotSamples, 0x01000000) {
    for (auto& p : client) p.assign(2 * 2 * 2 * kSlotSamples, 0x00100000);
    status.meterEnable = 1;
    mixer.Attach(rings.data(), queue.data(), 2, 2);
    mixer.SetStatusBlock(&status);
    for (uint32_t port = 0; port < kPorts; ++port) {
      for (uint32_t c = 0; c < 2; ++c) {
        patch.entry[2 * port + c] = {1, 1, int32_t((port + 1) % kPorts), 1, int32_t(c), 0, 0};
        for (uint32_t d = 0; d < 2; ++d) {
          for (uint32_t h = 0; h < 2; ++h)
            mixer.RegisterHalf(port, d, c, h, {client[port].data() + ((d * 2 + c) * 2 + h) * kSlotSamples, 1});
          mixer.SetChannelOpen(port, d, c, true);
        }
      }
    }
    mixer.SetPatch(&patch);
    mixer.SetClientRecordChannels(2);
  }
  std::vector<int32_t> rings, queue, half;
  std::vector<int32_t> client[kPorts];
  tqm::DeviceStatusBlock status{};
  tqm::PatchTable patch{};
  PortMixer mixer;
};

void BM_FillPlaybackHalfFourPortsRouted(benchmark::State& state) {
  MixerRig rig;
  for (auto _ : state) {
    rig.mixer.FillPlaybackHalf(rig.half.data(), kFrames);
    benchmark::DoNotOptimize(rig.half.data());
  }
}
BENCHMARK(BM_FillPlaybackHalfFourPortsRouted);

void BM_DistributeRecordHalf(benchmark::State& state) {
  MixerRig rig;
  for (auto _ : state) {
    rig.mixer.DistributeRecordHalf(rig.half.data(), kFrames);
    benchmark::DoNotOptimize(rig.client[2].data());
  }
}
BENCHMARK(BM_DistributeRecordHalf);

// One second of the engine's sample work at 96 kHz, period 288, port 2
// open both ways: record packets of 96 frames unpacked at 16 bits, playback
// packed at 24 bits, every period filled and distributed.
void BM_EngineSampleWorkSecond96k(benchmark::State& state) {
  std::vector<int32_t> rings(kRingBlockBytes / 4), queue(QueueBlockBytes(2) / 4);
  std::vector<int32_t> halves(2 * 2 * kSlotSamples), client(2 * 2 * 2 * kSlotSamples);
  std::vector<uint8_t> in(96 * 4, 0x33), out(96 * 3 * 6);
  tqm::DeviceStatusBlock status{};
  PortMixer mixer;
  mixer.Attach(rings.data(), queue.data(), 2, 2);
  mixer.SetStatusBlock(&status);
  mixer.SetClientRecordChannels(2);
  for (uint32_t d = 0; d < 2; ++d)
    for (uint32_t c = 0; c < 2; ++c) {
      for (uint32_t h = 0; h < 2; ++h)
        mixer.RegisterHalf(kAsioPort, d, c, h, {client.data() + ((d * 2 + c) * 2 + h) * kSlotSamples, 1});
      mixer.SetChannelOpen(kAsioPort, d, c, true);
    }
  const double start = ProcessCpuSeconds();
  for (auto _ : state) {
    uint32_t recordPos = 0;
    for (int ms = 0; ms < 1000; ++ms) {
      for (uint32_t c = 0; c < 2; ++c)
        UnpackSamples(halves.data() + recordPos * 2 + c, 2, in.data() + c * 2, 2, 2, 96);
      recordPos += 96;
      if (recordPos >= 288) {
        recordPos = 0;
        mixer.DistributeRecordHalf(halves.data(), 288);
      }
      if (ms % 3 == 0) {  // one playback request of 3 packets every 3 ms
        for (uint32_t c = 0; c < 2; ++c)
          PackSamples(out.data() + c * 3, 2, 3, halves.data() + 2 * kSlotSamples + c, 2, 288);
        mixer.FillPlaybackHalf(halves.data() + 2 * kSlotSamples, 288);
      }
    }
    benchmark::DoNotOptimize(out.data());
  }
  state.counters["core_percent"] = 100.0 * (ProcessCpuSeconds() - start) / double(state.iterations());
}
BENCHMARK(BM_EngineSampleWorkSecond96k)->Unit(benchmark::kMillisecond);

// The whole machine streaming one second through the engine in virtual time.
void BM_MachineSecond96k(benchmark::State& state) {
  engine::testing::Rig rig;
  rig.device().SelectLoopback(480);
  if (rig.engine_->StartDevice(96000, 288, 2, 1) != STATUS_SUCCESS) {
    state.SkipWithError("device start failed");
    return;
  }
  engine::testing::CountingClient client(rig.engine_, kAsioPort, kAsioPort, 16);
  for (uint32_t c = 0; c < 2; ++c) {
    rig.engine_->OpenChannel(kAsioPort, kPlayback, c);
    rig.engine_->OpenChannel(kAsioPort, kRecord, c);
  }
  client.frozen = true;  // keep the client's own collecting out of the figure
  rig.Step(100);
  const double start = ProcessCpuSeconds();
  for (auto _ : state) rig.Step(1000);
  state.counters["machine_core_percent"] = 100.0 * (ProcessCpuSeconds() - start) / double(state.iterations());
  for (uint32_t c = 0; c < 2; ++c) {
    rig.engine_->CloseChannel(kAsioPort, kPlayback, c);
    rig.engine_->CloseChannel(kAsioPort, kRecord, c);
  }
}
BENCHMARK(BM_MachineSecond96k)->Unit(benchmark::kMillisecond)->Iterations(5);

}  // namespace

BENCHMARK_MAIN();
