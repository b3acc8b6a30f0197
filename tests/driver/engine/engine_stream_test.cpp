// The engine streaming against the virtual TQM27 in virtual time: every
// transfer is a real isochronous URB completed by the device's frame clock.
#include <memory>
#include <numeric>
#include <cstdint>
#include <optional>
#include <string>
#include <sstream>

#include "tests/driver/engine/engine_client.h"
#include "tests/driver/engine/engine_fixture.h"

namespace engine::testing {
namespace {

// A counting signal played on port 0 comes back through the device's
// loopback into port 0's record halves sample for sample, at the narrower of
// the two widths (record is 16-bit at 96 kHz), for every period from one
// packet's worth to 288 frames, multiples of the request size or not.
TEST(EngineLoopback, CountingSignalComesBackBitExact) {
  for (uint32_t rate : {44100u, 48000u, 96000u}) {
    const uint32_t k = rate / 1000;
    const uint32_t shortest = rate == 44100 ? 45 : k;
    const uint32_t bits = rate == 96000 ? 16 : 24;
    for (uint32_t period = shortest; period <= 288; ++period) {
      std::ostringstream label;
      label << rate << " Hz, period " << period;
      Rig rig;
      // A few milliseconds of delay line: the device's sample clock and the
      // packets' 44/45 pattern need not line up at every frame.
      rig.device().SelectLoopback(5 * k);
      StartWith(rig, rate, period);
      CountingClient client(rig.engine_, 0, 0, bits);
      OpenAll(rig.engine_, 0, 0);
      // Long enough for several periods after the loopback's lead-in.
      rig.Step(8 * period * 1000 / rate + 30);
      // The closes take a frame or two: the client lets go first.
      client.frozen = true;
      CloseAll(rig.engine_, 0, 0);
      const auto counters = rig.device().Counters();
      label << " (loopback dry frames " << counters.loopbackDryFrames << ", DAC underruns "
            << counters.dacUnderruns << ")";
      size_t checked = 0;
      for (uint32_t c = 0; c < 2; ++c) checked = ExpectCounting(client.recorded[c], c, bits, label.str());
      EXPECT_GE(checked, 3 * period) << label.str();
      // Word 1 names the half that finished: 0, 1, 0, 1, ...
      for (size_t i = 0; i < client.finishedHalves.size(); ++i)
        ASSERT_EQ(client.finishedHalves[i], i % 2) << label.str() << ", record period " << i;
      if (HasFailure()) return;
    }
  }
}

// Port 0's playback channel 0 routed into port 1's record channel 0 through
// the loop ring arrives complete and in order; port 1's channel 1 takes the
// device input through the input tap (port 3's channel-0 entry), which is
// port 0's channel 0 again through the device loopback.
TEST(EngineLoopback, RoutingThroughTheLoopRingsAndTheInputTap) {
  Rig rig;
  rig.device().SelectLoopback(0);
  StartWith(rig, 48000, 100);
  tqm::PatchTable patch{};
  patch.entry[0] = {1, 0, 1, 1, 0, 0, 0};  // port 0 ch 0 -> port 1 ch 0
  patch.entry[2] = {0, 1, 0, 0, 0, 0, 0};  // port 1 ch 0 reads its ring
  patch.entry[6] = {1, 0, 1, 1, 1, 0, 0};  // device input ch 0 -> port 1 ch 1
  patch.entry[3] = {0, 1, 0, 0, 0, 0, 0};  // port 1 ch 1 reads its ring
  // Routing arrives with a settings record, as the panel sends it.
  tqm::MixerSettings settings;
  rig.engine_->GetSettings(&settings);
  settings.patch = patch;
  rig.engine_->ApplySettings(&settings);
  CountingClient client(rig.engine_, 0, 1, 24);
  OpenAll(rig.engine_, 0, 1);
  rig.Step(300);
  client.frozen = true;
  CloseAll(rig.engine_, 0, 1);
  EXPECT_GE(ExpectCounting(client.recorded[0], 0, 24, "through the loop ring"), 1000u);
  // The tap carries the device's input channel 0: port 0's channel 0 again.
  EXPECT_GE(ExpectCounting(client.recorded[1], 0, 24, "through the input tap"), 1000u);
}

// The stack may hold finished transfers' completions back by a frame or two
// and deliver several at once. With more queued on the bus than the delay,
// the engine keeps both pipes fed: the counting signal still comes back
// through the device's loopback sample for sample, the DAC never runs dry
// and no ADC frame goes without a transfer.
TEST(EngineLoopback, LateAndBatchedCompletionsLoseNothing) {
  struct Row {
    uint32_t rate, period, requests, delay;
    const char* why;
  };
  const Row rows[] = {
      {48000, 48, 2, 1, "one-packet requests, two in flight, a frame late"},
      {44100, 96, 2, 1, "two-packet requests at 44.1 kHz"},
      {96000, 96, 3, 2, "three one-packet requests, two frames late"},
      {48000, 256, 4, 2, "five-packet requests"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.why);
    const uint32_t k = row.rate / 1000;
    const uint32_t bits = row.rate == 96000 ? 16 : 24;
    Rig rig;
    tqm::usb::PortModes modes = rig.port_->Modes();
    modes.completionDelayFrames = row.delay;
    modes.seed = 11;
    rig.port_->SetModes(modes);
    rig.device().SelectLoopback(5 * k);
    StartWith(rig, row.rate, row.period, row.requests);
    CountingClient client(rig.engine_, 0, 0, bits);
    OpenAll(rig.engine_, 0, 0);
    rig.Step(20);  // the streams are on the bus
    const auto before = rig.device().Counters();
    rig.Step(400);
    const auto after = rig.device().Counters();
    client.frozen = true;
    CloseAll(rig.engine_, 0, 0);
    EXPECT_EQ(after.dacUnderruns - before.dacUnderruns, 0u);
    EXPECT_EQ(after.inFramesLost - before.inFramesLost, 0u);
    EXPECT_EQ(after.outSizeMismatches - before.outSizeMismatches, 0u);
    size_t checked = 0;
    for (uint32_t c = 0; c < 2; ++c) checked = ExpectCounting(client.recorded[c], c, bits, row.why);
    EXPECT_GE(checked, size_t(300) * k) << "most of the run came back";
    for (size_t i = 0; i < client.finishedHalves.size(); ++i)
      ASSERT_EQ(client.finishedHalves[i], i % 2) << "record period " << i;
  }
}

// The round trip through the device's loopback, in frames: where the counting
// signal begins in the recorded stream.
size_t LoopDelay(const std::vector<int32_t>& recorded) {
  size_t first = 0;
  while (first < recorded.size() && recorded[first] == 0) ++first;
  return first;
}

// A stack that does not give the bus's frame number leaves the engine to
// start both pipes as soon as possible. Both first transfers then start
// after the controller's lead, and the round trip is the one the engine has
// when it names the start frame itself, for every draw of the lead.
TEST(EngineLoopback, StartingWithoutTheFrameNumberKeepsTheRoundTrip) {
  std::optional<size_t> named;
  for (uint64_t seed : {1u, 2u, 3u, 4u, 5u, 6u}) {
    for (bool refuse : {false, true}) {
      SCOPED_TRACE("seed " + std::to_string(seed) + (refuse ? ", no frame number" : ", frame number"));
      Rig rig;
      tqm::usb::PortModes modes = rig.port_->Modes();
      modes.seed = seed;
      rig.port_->SetModes(modes);
      rig.filter_->RefuseFrameNumber(refuse);
      rig.device().SelectLoopback(10);
      StartWith(rig, 48000, 96, 3);
      CountingClient client(rig.engine_, 0, 0, 24);
      OpenAll(rig.engine_, 0, 0);
      rig.Step(100);
      client.frozen = true;
      CloseAll(rig.engine_, 0, 0);
      ExpectCounting(client.recorded[0], 0, 24, "loop");
      const size_t delay = LoopDelay(client.recorded[0]);
      ASSERT_LT(delay, client.recorded[0].size()) << "the signal never came back";
      if (!named) named = delay;
      EXPECT_EQ(delay, *named);
    }
  }
}

// Where counter value 1 of channel 0's counting signal lies (or would lie) in
// the recorded stream, checking that the signal counts on without a gap from
// where it begins; SIZE_MAX when it never came back.
size_t CountingOrigin(const std::vector<int32_t>& recorded, const std::string& label) {
  size_t first = 0;
  while (first < recorded.size() && recorded[first] == 0) ++first;
  if (first == recorded.size()) return SIZE_MAX;
  const uint32_t start = SampleValue(recorded[first], 24);
  size_t errors = 0;
  for (size_t i = first; i < recorded.size(); ++i) {
    const uint32_t want = SampleValue(CountingSample(start + uint32_t(i - first), 0, 24), 24);
    if (SampleValue(recorded[i], 24) != want && ++errors <= 3)
      ADD_FAILURE() << label << " frame " << i << ": got 0x" << std::hex << SampleValue(recorded[i], 24)
                    << ", expected 0x" << want;
  }
  EXPECT_EQ(errors, 0u) << label;
  return first - (start - 1);
}

// A start held up past its start frame: the first transfers' packets for
// frames already gone end late (what they carried is not heard), the record
// side puts silence in their place and both pipes keep the frames they were
// given, so the round trip is the one of a start in time and the signal
// counts on without a gap from where it is heard.
TEST(EngineLoopback, AStartHeldUpPastItsFrameKeepsTheRoundTrip) {
  struct Row {
    ULONG age;  // frames between reading the frame number and the start
    const char* why;
  };
  const Row rows[] = {{0, "in time"},
                      {6, "two frames late"},
                      {15, "eleven frames late"},
                      {40, "thirty-six frames late: more than the failures a slot may have in a row"}};
  std::optional<size_t> inTime;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.why);
    Rig rig;
    rig.filter_->AgeFrameNumber(row.age);
    rig.device().SelectLoopback(10);
    StartWith(rig, 48000, 96, 3);
    CountingClient client(rig.engine_, 0, 0, 24);
    OpenAll(rig.engine_, 0, 0);
    rig.Step(150);
    client.frozen = true;
    CloseAll(rig.engine_, 0, 0);
    const size_t origin = CountingOrigin(client.recorded[0], row.why);
    ASSERT_NE(origin, SIZE_MAX) << "the signal never came back";
    if (!inTime) inTime = origin;
    EXPECT_EQ(origin, *inTime) << "the round trip moved";
    const TransferFaultCounters faults = rig.engine_->transferFaults(kRecord);
    EXPECT_EQ(faults.slotsRetired, 0u);
    if (row.age > 4) EXPECT_GT(faults.recordFramesFilled, 0u) << "silence for the late packets";
  }
}

// The ADC's clock may drift against the bus: at 48 kHz the asynchronous
// record endpoint then sends a 49- or 47-frame packet now and then. The
// engine carries every frame it is sent, in order, whatever the packets'
// lengths: a counting input arrives in the client's record halves without a
// gap or a repeat, and in the same number of frames the device made.
TEST(EngineRecord, ADriftingRecordClockArrivesWhole) {
  for (int32_t ppm : {2500, -2500, 9000}) {
    SCOPED_TRACE(std::to_string(ppm) + " ppm");
    Rig rig;
    auto wav = std::make_shared<tqm::audio::WavData>();
    wav->format.channels = 2;
    wav->format.rate = 48000;
    wav->format.bits = 24;
    for (uint32_t i = 1; i <= 48000; ++i)
      for (uint32_t c = 0; c < 2; ++c) wav->samples.push_back(CountingSample(i, c, 24));
    rig.device().SelectWav(wav, false);
    rig.device().SetRecordDrift(ppm);
    StartWith(rig, 48000, 100, 3);
    CountingClient client(rig.engine_, 0, 0, 24);
    OpenAll(rig.engine_, 0, 0);
    const uint64_t framesBefore = rig.device().Counters().inFrames;
    const uint64_t packetsBefore = rig.device().Counters().inPackets;
    rig.Step(800);
    const auto counters = rig.device().Counters();
    client.frozen = true;
    CloseAll(rig.engine_, 0, 0);
    EXPECT_EQ(counters.inFramesLost, 0u);
    const uint64_t frames = counters.inFrames - framesBefore;
    const uint64_t packets = counters.inPackets - packetsBefore;
    // The drift shows in the packets: on average 48 (1 + ppm / 10^6) frames.
    EXPECT_NEAR(double(frames) / double(packets), 48.0 * (1 + ppm / 1e6), 0.01);
    for (uint32_t c = 0; c < 2; ++c) {
      const std::vector<int32_t>& got = client.recorded[c];
      // Everything the device sent, up to the last whole period, reached the client.
      EXPECT_GE(got.size() + 100, frames) << "channel " << c;
      EXPECT_LE(got.size(), frames) << "channel " << c;
      if (got.empty()) continue;
      // The input counts on from wherever the stream began.
      const uint32_t first = SampleValue(got[0], 24) ^ (c ? 0x2A5A : 0);
      size_t errors = 0;
      for (size_t i = 0; i < got.size(); ++i) {
        const uint32_t want = SampleValue(CountingSample(first + uint32_t(i), c, 24), 24);
        if (SampleValue(got[i], 24) != want && ++errors <= 3)
          ADD_FAILURE() << "channel " << c << " frame " << i << ": got 0x" << std::hex << SampleValue(got[i], 24)
                        << ", expected 0x" << want;
      }
      EXPECT_EQ(errors, 0u) << "channel " << c;
    }
  }
}

TEST_F(EngineTest, PlaybackUrbsAt44100CarryTheExtraFrameInTheLastPacket) {
  StartWith(*this, 44100, 256);
  CountingClient client(engine_, 0, 0, 24);
  OpenAll(engine_, 0, 0);
  Step(100);
  CloseAll(engine_, 0, 0);
  std::vector<LoggedIsoch> play, record;
  for (auto& u : filter_->TakeLog()) (u.endpoint == 0x82 ? record : play).push_back(u);
  ASSERT_GE(play.size(), 12u);
  const ULONG frame = 3 * 2, stride = 44 * frame;
  // The two requests sent at start carry the base 220 frames; from then on
  // the accumulator gains 5 per request and every second one carries 221.
  for (size_t i = 0; i < play.size(); ++i) {
    const ULONG frames = i < 2 ? 220 : (i % 2 ? 221 : 220);
    EXPECT_EQ(play[i].length, frames * frame) << "request " << i;
    ASSERT_EQ(play[i].offsets.size(), 5u) << "request " << i;
    for (ULONG k = 0; k < 5; ++k) EXPECT_EQ(play[i].offsets[k], k * stride) << "request " << i;
    // The last packet takes what lies behind its offset: 44 or 45 frames.
    EXPECT_EQ(play[i].length - play[i].offsets[4], (frames - 4 * 44) * frame) << "request " << i;
    // Every request names its frames: the first the streams' common start
    // frame, each next one the frame after the last.
    EXPECT_EQ(play[i].flags, 0u) << "request " << i;
    if (i > 0) EXPECT_EQ(play[i].startFrame, play[i - 1].startFrame + 5) << "request " << i;
  }
  ULONG tenRequests = 0;
  for (size_t i = 2; i < 12; ++i) tenRequests += play[i].length / frame;
  EXPECT_EQ(tenRequests, 2205u) << "ten requests carry 2205 frames";
  for (size_t i = 0; i < record.size(); ++i) {
    EXPECT_EQ(record[i].length, 48u * frame) << "room for 48 frames in every record packet";
    EXPECT_EQ(record[i].flags, ULONG(USBD_TRANSFER_DIRECTION_IN));
    EXPECT_EQ(record[i].startFrame, play[0].startFrame + i) << "record request " << i;
  }
}

TEST_F(EngineTest, PlaybackUrbsAt48000CarryTheBaseSize) {
  StartWith(*this, 48000, 256);
  CountingClient client(engine_, 0, 0, 24);
  OpenAll(engine_, 0, 0);
  Step(50);
  CloseAll(engine_, 0, 0);
  size_t n = 0;
  for (auto& u : filter_->TakeLog()) {
    if (u.endpoint != 0x03) continue;
    EXPECT_EQ(u.length, 1440u) << "request " << n << ": 5 packets of 48 frames";
    ++n;
  }
  EXPECT_GT(n, 10u);
}

TEST_F(EngineTest, ClosingTheLastChannelCancelsDrainsAndDeselects) {
  StartWith(*this, 48000, 256, 4);
  CountingClient client(engine_, 2, 2, 24);
  OpenAll(engine_, 2, 2);
  Step(30);
  EXPECT_NE(engine_->stream(kPlayback), nullptr);
  EXPECT_NE(engine_->stream(kRecord), nullptr);
  auto state = device().State();
  EXPECT_EQ(state.alternate[3], 2);
  EXPECT_EQ(state.alternate[2], 2);
  const uint64_t cancelledBefore = port_->Counters().cancelled;
  // Closing one channel of several keeps the streams running.
  EXPECT_EQ(engine_->CloseChannel(2, kPlayback, 0), STATUS_SUCCESS);
  EXPECT_NE(engine_->stream(kPlayback), nullptr);
  CloseAll(engine_, 2, 2);
  EXPECT_EQ(engine_->stream(kPlayback), nullptr);
  EXPECT_EQ(engine_->stream(kRecord), nullptr);
  // 4 playback and 10 record requests were in flight.
  EXPECT_EQ(port_->Counters().cancelled - cancelledBefore, 14u);
  state = device().State();
  EXPECT_EQ(state.alternate[3], 0);
  EXPECT_EQ(state.alternate[2], 0);
  EXPECT_FALSE(engine_->configured());
  // Streaming again after the stop works from a clean state.
  OpenAll(engine_, 2, 2);
  Step(20);
  EXPECT_NE(engine_->stream(kRecord), nullptr);
  CloseAll(engine_, 2, 2);
}

TEST_F(EngineTest, StreamingAllocatesNothing) {
  StartWith(*this, 44100, 100, 9);
  CountingClient client(engine_, 0, 0, 24);
  OpenAll(engine_, 0, 0);
  Step(20);
  const uint64_t before = PoolAllocations();
  Step(500);
  EXPECT_EQ(PoolAllocations(), before) << "pool allocations while streaming";
  EXPECT_GT(client.recordPeriods.load(), 100u);
  CloseAll(engine_, 0, 0);
}

// The device leaves the bus from inside a record completion: the request the
// completion passes down next is rejected inside IoCallDriver, and its
// completion runs on the same thread while the first is still on the stack.
TEST_F(EngineTest, RequestRejectedInsideIoCallDriverRetiresCleanly) {
  StartWith(*this, 48000, 96);
  CountingClient client(engine_, 0, 0, 24);
  client.onThirdRecordPeriod = [this] { port_->Disconnect(); };
  OpenAll(engine_, 0, 0);
  Step(30);
  EXPECT_GE(port_->Counters().rejected, 1u) << "no request was rejected inside IoCallDriver";
  // Only each stream's own reference is left: every request retired.
  ASSERT_NE(engine_->stream(kRecord), nullptr);
  EXPECT_EQ(engine_->stream(kRecord)->inFlight, 1);
  EXPECT_EQ(engine_->stream(kPlayback)->inFlight, 1);
  EXPECT_EQ(client.recordPeriods.load(), 3u) << "periods after the device left";
  CloseAll(engine_, 0, 0);
  EXPECT_EQ(engine_->stream(kRecord), nullptr);
}

TEST_F(EngineTest, OpeningOnAVanishedDeviceFailsAndLeavesTheChannelClosed) {
  StartWith(*this, 48000, 256);
  port_->Disconnect();
  EXPECT_NE(engine_->OpenChannel(2, kRecord, 0), STATUS_SUCCESS);
  EXPECT_FALSE(engine_->mixer().IsOpen(2, kRecord, 0));
  EXPECT_FALSE(engine_->Streaming());
}

TEST_F(EngineTest, WatchdogClimbsToTenAndStays) {
  StartWith(*this, 48000, 96);
  CountingClient client(engine_, 2, 2, 24);
  ASSERT_EQ(engine_->OpenChannel(2, kRecord, 0), STATUS_SUCCESS);
  std::vector<uint32_t> seen;
  Step(5);  // the streams start a few frames ahead
  for (int i = 0; i < 15; ++i) {
    Step(2);
    seen.push_back(engine_->status()->watchdog);
  }
  EXPECT_GE(client.recordPeriods.load(), 14u);
  EXPECT_EQ(seen.back(), 10u);
  for (size_t i = 1; i < seen.size(); ++i) EXPECT_GE(seen[i], seen[i - 1]) << "step " << i;
  // The ASIO client clears it after a period it processed.
  engine_->status()->watchdog = 0;
  Step(2);
  EXPECT_EQ(engine_->status()->watchdog, 1u);
  EXPECT_EQ(engine_->CloseChannel(2, kRecord, 0), STATUS_SUCCESS);
}

TEST_F(EngineTest, StatusBlockWordsWhileStreaming) {
  ASSERT_EQ(engine_->StartDevice(48000, 256, 2, 1), STATUS_SUCCESS);
  CountingClient client(engine_, 0, 0, 24);
  std::vector<ULONG> slots;
  engine_->SetNotifySink({[](void* context, ULONG slot) { static_cast<std::vector<ULONG>*>(context)->push_back(slot); },
                          &slots});
  OpenAll(engine_, 0, 0);
  Step(100);
  EXPECT_EQ(engine_->status()->kernelAddress, nullptr);
  EXPECT_NE(engine_->status()->outPeak[0], 0u) << "meters enabled and a signal playing";
  ASSERT_FALSE(slots.empty());
  EXPECT_EQ(slots[0], 0u) << "slot 0 at stream start";
  EXPECT_EQ(size_t(std::count(slots.begin(), slots.end(), 1u)), size_t(client.recordPeriods.load()))
      << "slot 1 at every record period";
  CloseAll(engine_, 0, 0);
  EXPECT_EQ(engine_->status()->outPeak[0], 0u) << "peaks read 0 once stopped";
}

}  // namespace
}  // namespace engine::testing

namespace engine::testing {
namespace {

// OutputReady answers a period the client was handed: none before the first
// one, none without a playback channel; a second channel opening keeps what
// the first one queued.
TEST_F(EngineTest, OutputReadyAnswersDeliveredPeriodsOnly) {
  StartWith(*this, 48000, 96);
  CountingClient client(engine_, 2, 2, 24);
  EXPECT_FALSE(engine_->OutputReady(0)) << "no playback channel open";
  ASSERT_EQ(engine_->OpenChannel(2, kPlayback, 0), STATUS_SUCCESS);
  EXPECT_FALSE(engine_->OutputReady(0)) << "no period handed out yet";
  Step(10);
  ASSERT_GT(client.recordPeriods.load(), 0u);
  EXPECT_TRUE(engine_->OutputReady(engine_->status()->recordHalf));
  EXPECT_EQ(engine_->mixer().queue().fill, 1u);
  ASSERT_EQ(engine_->OpenChannel(2, kPlayback, 1), STATUS_SUCCESS);
  EXPECT_EQ(engine_->mixer().queue().fill, 1u) << "the client's second channel keeps its queue";
  EXPECT_EQ(engine_->CloseChannel(2, kPlayback, 1), STATUS_SUCCESS);
  EXPECT_EQ(engine_->CloseChannel(2, kPlayback, 0), STATUS_SUCCESS);
  EXPECT_FALSE(engine_->OutputReady(0)) << "no playback channel open";
}

TEST_F(EngineTest, DeviceStopUnconfiguresTheDevice) {
  StartWith(*this, 48000, 256);
  CountingClient client(engine_, 0, 0, 24);
  OpenAll(engine_, 0, 0);
  Step(20);
  engine_->StopDevice();
  EXPECT_FALSE(engine_->Streaming());
  EXPECT_EQ(device().State().configuration, 0) << "unconfigured at stop";
  EXPECT_EQ(engine_->pipeCount(), 0u);
  EXPECT_EQ(engine_->OpenChannel(0, kRecord, 0), STATUS_INVALID_DEVICE_STATE) << "nothing opens after the stop";
}

}  // namespace
}  // namespace engine::testing

namespace engine::testing {
namespace {

// The status block is mapped into clients, which can write it: a period, rate
// or request count written there (here one that would size requests without
// packets) is never taken, and the block shows the engine's values again at
// the next period.
TEST_F(EngineTest, StatusBlockWritesDoNotReachTheEngine) {
  StartWith(*this, 44100, 96);
  CountingClient client(engine_, 0, 0, 24);
  OpenAll(engine_, 0, 0);
  Step(20);
  tqm::DeviceStatusBlock* block = engine_->status();
  block->periodFrames = 44;  // 44.1 kHz packets carry up to 45 frames
  block->sampleRate = 0x7FFFFFFF;
  block->requestCount = 0;
  const uint32_t before = client.recordPeriods.load();
  Step(5);
  EXPECT_EQ(block->periodFrames, 96u) << "republished within a period";
  EXPECT_EQ(block->sampleRate, 44100u);
  EXPECT_EQ(block->requestCount, 2u);
  block->periodFrames = 3000;
  Step(40);
  EXPECT_NEAR(double(client.recordPeriods.load() - before), 45 * 44.1 / 96, 1.0) << "periods run on at 96 frames";
  EXPECT_EQ(block->periodFrames, 96u);
  EXPECT_EQ(engine_->periodFrames(), 96u);
  CloseAll(engine_, 0, 0);
  EXPECT_EQ(device().Counters().outSizeMismatches, 0u);
}

}  // namespace
}  // namespace engine::testing
