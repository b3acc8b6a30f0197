// The companion's streams and endpoints against the stream engine, with the
// interface handed to it directly (the call-in goes straight to the engine's
// companion operations): what it plays comes back through the virtual TQM27's
// loopback sample for sample, its endpoint changes reach the feature units,
// and it gives its reference back.
#include <gtest/gtest.h>

#include <sstream>

#include "companion/companion.h"
#include "driver/engine/companion.h"
#include "tests/driver/engine/engine_client.h"
#include "tests/driver/engine/engine_fixture.h"

namespace tqm::companion {
namespace {

using engine::testing::CountingSample;
using engine::testing::ExpectCounting;
using engine::testing::Rig;

// What the adapter's call-in routine does: the Adapter pointer leads to the
// engine and the companion state.
struct FakeAdapter {
  engine::StreamEngine* engine;
  engine::CompanionState state;
  volatile LONG references;
};

NTSTATUS CallIn(PVOID adapter, ULONG operation, ULONG* arguments) {
  auto* a = static_cast<FakeAdapter*>(adapter);
  return engine::CompanionCall(a->engine, &a->state, operation, arguments);
}
void Reference(PVOID context) { InterlockedIncrement(&static_cast<FakeAdapter*>(context)->references); }
void Dereference(PVOID context) { InterlockedDecrement(&static_cast<FakeAdapter*>(context)->references); }

class Attached {
 public:
  explicit Attached(Rig& rig) : adapter_(std::make_unique<FakeAdapter>()) {
    std::memset(adapter_.get(), 0, sizeof(FakeAdapter));
    adapter_->engine = rig.engine_;
    adapter_->state.firstUse = 1;
    adapter_->references = 1;  // the query's
    TqmCompanionInterface itf{sizeof(TqmCompanionInterface), kCompanionInterfaceVersion, adapter_.get(),
                              Reference, Dereference, CallIn, adapter_.get(), 1};
    status = companion.Attach(itf, nullptr);
  }
  ~Attached() {
    companion.Quiesce();
    companion.Release();
  }
  LONG references() const { return adapter_->references; }
  const engine::CompanionState& state() const { return adapter_->state; }

  std::unique_ptr<FakeAdapter> adapter_;
  Companion companion;
  NTSTATUS status;
};

std::shared_ptr<const audio::WavData> CountingWav(uint32_t rate, uint32_t frames, uint32_t bits) {
  auto wav = std::make_shared<audio::WavData>();
  wav->format = {rate, 2, 24};
  for (uint32_t i = 0; i < frames; ++i)
    for (uint32_t c = 0; c < 2; ++c) wav->samples.push_back(CountingSample(i + 1, c, bits));
  return wav;
}

std::vector<int32_t> Channel(const std::vector<int32_t>& interleaved, uint32_t c) {
  std::vector<int32_t> out;
  for (size_t i = c; i < interleaved.size(); i += 2) out.push_back(interleaved[i]);
  return out;
}

// A counting signal played through the render stream comes back through the
// device's loopback into the capture stream without a frame lost or repeated,
// for periods that are and are not multiples of the playback request.
TEST(CompanionOnEngine, PlayedSignalComesBackBitExact) {
  struct Row {
    uint32_t rate, period;
  } rows[] = {{48000, 48}, {48000, 100}, {48000, 256}, {44100, 45}, {44100, 288}, {96000, 96}};
  for (const Row& r : rows) {
    std::ostringstream label;
    label << r.rate << " Hz, period " << r.period;
    Rig rig;
    rig.device().SelectLoopback(5 * (r.rate / 1000));
    engine::testing::StartWith(rig, r.rate, r.period);
    Attached a(rig);
    ASSERT_EQ(a.status, STATUS_SUCCESS) << label.str();
    // The record side is 16-bit at 96 kHz: the signal counts at the narrower width.
    const uint32_t bits = r.rate == 96000 ? 16 : 24;
    ASSERT_EQ(a.companion.Play(Source::Wav(CountingWav(r.rate, r.rate, bits), false)), STATUS_SUCCESS)
        << label.str();
    ASSERT_EQ(a.companion.StartRecord(), STATUS_SUCCESS) << label.str();
    rig.Step(10 * r.period * 1000 / r.rate + 40);
    a.companion.StopRecord();
    a.companion.StopPlay();
    const std::vector<int32_t> recorded = a.companion.TakeRecorded();
    for (uint32_t c = 0; c < 2; ++c)
      EXPECT_GE(ExpectCounting(Channel(recorded, c), c, bits, label.str()), 5u * r.period) << label.str();
    EXPECT_GE(a.companion.RecordPeriods(), 10u) << label.str();
    EXPECT_GE(a.companion.PlayPeriods(), 9u) << label.str();
    EXPECT_FALSE(rig.engine_->Streaming()) << label.str();
    if (HasFailure()) return;
  }
}

// Each record period's callback copies the half the engine completed in that
// period (half 0 first), not the other one, which holds the period before.
TEST(CompanionOnEngine, CaptureCopiesTheHalfJustCompleted) {
  Rig rig;
  rig.device().SelectSine(1000, -6);
  engine::testing::StartWith(rig, 48000, 96);
  Attached a(rig);
  ASSERT_EQ(a.status, STATUS_SUCCESS);
  ASSERT_EQ(a.companion.StartRecord(), STATUS_SUCCESS);
  const engine::ClientPort& port = rig.engine_->mixer().port(1);
  for (uint64_t period = 1; period <= 4; ++period) {
    for (int ms = 0; ms < 10 && a.companion.RecordPeriods() < period; ++ms) rig.Step(1);
    ASSERT_EQ(a.companion.RecordPeriods(), period);
    const std::vector<int32_t> recorded = a.companion.TakeRecorded();
    ASSERT_EQ(recorded.size(), 2u * 96) << "period " << period;
    const uint32_t half = uint32_t(period - 1) % 2;
    size_t nonZero = 0;
    for (uint32_t c = 0; c < 2; ++c) {
      const engine::SampleRun& run = port.half[engine::kRecord][c][half];
      for (uint32_t i = 0; i < 96; ++i) {
        ASSERT_EQ(recorded[2 * i + c], run.address[i * run.stride])
            << "period " << period << " (half " << half << ") channel " << c << " frame " << i;
        nonZero += recorded[2 * i + c] != 0;
      }
    }
    EXPECT_GT(nonZero, 96u) << "period " << period << ": the sine is there";
  }
  a.companion.StopRecord();
}

// Endpoint changes: in range they are forwarded as SetWDMVolume and the
// feature units follow 50 ms later, and the observers hear of them; out of
// range nothing changes and nobody is told.
TEST(CompanionOnEngine, EndpointChangesReachTheDevice) {
  Rig rig;
  ASSERT_EQ(rig.engine_->StartWithSettings(), STATUS_SUCCESS);
  Attached a(rig);
  ASSERT_EQ(a.status, STATUS_SUCCESS);
  std::vector<std::pair<Flow, EndpointState>> seen;
  const int cookie = a.companion.AddObserver([&](Flow f, const EndpointState& s) { seen.emplace_back(f, s); });
  struct Row {
    Flow flow;
    double left, right;
    bool accepted;
    uint16_t wire0, wire1;  // the feature unit's channels 1 and 2 afterwards
    const char* why;
  } rows[] = {
      {Flow::Render, -6.0, -6.0, true, 0xFA00, 0xFA00, "-6 dB: playback word 98"},
      {Flow::Render, -0.5, -55.0, true, 0xFF80, 0xC900, "each channel its own level"},
      {Flow::Render, -60.0, -60.0, true, 0xC400, 0xC400, "below the hardware's bottom: sent as it is"},
      {Flow::Render, 0.5, 0.0, false, 0xC400, 0xC400, "above the render range: refused"},
      {Flow::Capture, 12.0, 6.0, true, 0x0C00, 0x0600, "+12 dB is the record top"},
      {Flow::Capture, -97.0, 0.0, false, 0x0C00, 0x0600, "below the capture range: refused"},
  };
  for (const Row& r : rows) {
    seen.clear();
    EXPECT_EQ(a.companion.SetVolume(r.flow, r.left, r.right), r.accepted) << r.why;
    // The apply comes 50 ms later, each channel a request of a few frames.
    rig.Step(60);
    const auto state = rig.device().State();
    const auto& unit = r.flow == Flow::Render ? state.playback : state.record;
    EXPECT_EQ(uint16_t(unit.volume[0]), r.wire0) << r.why << std::hex << ": 0x" << uint16_t(unit.volume[0]);
    EXPECT_EQ(uint16_t(unit.volume[1]), r.wire1) << r.why << std::hex << ": 0x" << uint16_t(unit.volume[1]);
    ASSERT_EQ(seen.size(), r.accepted ? 1u : 0u) << r.why;
    if (r.accepted) {
      EXPECT_EQ(seen[0].first, r.flow) << r.why;
      EXPECT_EQ(seen[0].second.levelDb[0], r.left) << r.why;
      EXPECT_EQ(seen[0].second.levelDb[1], r.right) << r.why;
    }
  }
  EXPECT_EQ(a.companion.Endpoint(Flow::Render).levelDb[0], -60.0) << "a refused change leaves the endpoint";
  ASSERT_TRUE(a.companion.SetMute(Flow::Capture, true));
  rig.Step(45);
  EXPECT_FALSE(rig.device().State().record.mute) << "not before 50 ms";
  rig.Step(10);
  EXPECT_TRUE(rig.device().State().record.mute);
  EXPECT_FALSE(rig.device().State().playback.mute);
  EXPECT_TRUE(a.companion.Endpoint(Flow::Capture).muted);
  a.companion.RemoveObserver(cookie);
  seen.clear();
  ASSERT_TRUE(a.companion.SetMute(Flow::Render, true));
  EXPECT_TRUE(seen.empty()) << "a removed observer is not told";
  // The engine's stop waits for the pending apply: let it run.
  rig.Step(60);
  EXPECT_TRUE(rig.device().State().playback.mute);
}

// The companion registers exactly its buffers and callbacks, and takes them
// back before it gives its reference back; after that nothing is called.
TEST(CompanionOnEngine, AttachAndQuiesce) {
  Rig rig;
  engine::testing::StartWith(rig, 48000, 96);
  auto a = std::make_unique<Attached>(rig);
  ASSERT_EQ(a->status, STATUS_SUCCESS);
  const auto& ports = rig.engine_->mixer();
  EXPECT_NE(ports.port(0).half[0][0][0].address, nullptr) << "render buffer on port 0";
  EXPECT_EQ(ports.port(0).half[0][1][1].address - ports.port(0).half[0][1][0].address,
            ptrdiff_t(kHalfBytes / sizeof(int32_t)));
  EXPECT_EQ(ports.port(0).half[0][0][0].stride, 2u);
  EXPECT_NE(ports.port(1).half[1][1][1].address, nullptr) << "capture buffer on port 1";
  EXPECT_EQ(ports.port(0).half[1][0][0].address, nullptr) << "port 0 records nothing";
  EXPECT_EQ(ports.port(1).half[0][0][0].address, nullptr) << "port 1 plays nothing";
  EXPECT_EQ(a->state().callbacks[0].enabled, 1u) << "playback slot (0, 0, 0)";
  EXPECT_EQ(a->state().callbacks[(16 * 1 + 0) * 16 + 2].enabled, 1u) << "record slot (1, 0, 2)";
  ASSERT_EQ(a->companion.Play(Source::Tone(1000, -6)), STATUS_SUCCESS);
  rig.Step(20);
  EXPECT_TRUE(rig.engine_->Streaming());
  a->companion.Quiesce();
  EXPECT_FALSE(rig.engine_->Streaming()) << "the render stream closed";
  EXPECT_EQ(ports.port(0).half[0][0][0].address, nullptr) << "buffers taken back";
  EXPECT_EQ(a->state().callbacks[0].enabled, 0u);
  EXPECT_EQ(a->references(), 1) << "the reference is held until release";
  ULONG block[8] = {};
  EXPECT_EQ(a->companion.Call(kCompanionGetPeriodSize, block), STATUS_DEVICE_NOT_CONNECTED);
  EXPECT_FALSE(a->companion.SetVolume(Flow::Render, 0, 0));
  EXPECT_EQ(a->companion.Play(Source::Silence()), STATUS_DEVICE_NOT_CONNECTED);
  a->companion.Release();
  EXPECT_EQ(a->references(), 0);
  a->companion.Release();
  EXPECT_EQ(a->references(), 0) << "given back once";
}

}  // namespace
}  // namespace tqm::companion
