// Requests that come back with an error while the engine streams: transient
// failures go down again (counted by cause), a slot that fails again and again
// is given up, cancelled requests and those of a vanished device or of one
// out of D0 retire. Every failure here is made by the USB stack under the
// engine: injected request failures, a halted endpoint, a device that leaves
// the bus or is suspended; and the engine's own stop before D3 and restart
// after it.
#include "tests/driver/engine/engine_client.h"
#include "tests/driver/engine/engine_fixture.h"
#include "tests/platform/usb/power_irp.h"
#include "usb/tqm27_port.h"

namespace engine::testing {
namespace {

uint64_t OutstandingBlocks(Rig& rig) {
  uint64_t blocks = 0;
  for (const auto& [tag, usage] : rig.machine_.pool().UsageByTag()) blocks += usage.blocks;
  return blocks;
}

// Checks a recorded channel of the loopback: every frame is either silence or
// the counting signal at its place in time (the value of the first non-silent
// frame fixes the offset), so frames may be missing but never shifted,
// repeated or corrupted. Returns the silent frames after the first signal.
size_t ExpectCountingOrSilence(const std::vector<int32_t>& samples, uint32_t channel, uint32_t bits) {
  size_t first = 0;
  while (first < samples.size() && samples[first] == 0) ++first;
  if (first == samples.size()) {
    ADD_FAILURE() << "channel " << channel << ": only silence";
    return 0;
  }
  const uint32_t mask = (1u << bits) - 1;
  // The first frame heard is counter value v; frame i then holds v + (i - first).
  uint32_t v = 0;
  for (uint32_t candidate = 1; candidate < 1u << 20; ++candidate)
    if (samples[first] == CountingSample(candidate, channel, bits)) {
      v = candidate;
      break;
    }
  EXPECT_NE(v, 0u) << "channel " << channel << ": the first frame is not the signal";
  size_t silent = 0, wrong = 0;
  for (size_t i = first; i < samples.size(); ++i) {
    if (samples[i] == 0) {
      ++silent;
      continue;
    }
    const uint32_t expected = SampleValue(CountingSample(uint32_t(v + i - first), channel, bits), bits) & mask;
    if (SampleValue(samples[i], bits) != expected && ++wrong <= 3)
      ADD_FAILURE() << "channel " << channel << " frame " << i << ": got 0x" << std::hex
                    << SampleValue(samples[i], bits) << " expected 0x" << expected;
  }
  EXPECT_EQ(wrong, 0u) << "channel " << channel;
  return silent;
}

struct FailureCase {
  const char* name;
  uint32_t rate;
  uint32_t period;
  uint32_t requests;
  uint32_t outPerMillion;
  uint32_t inPerMillion;
};

// Failed requests go down again: both streams keep every slot, every record
// period arrives on time (the record stream carries silence for the frames
// the failed IN packets lost), the loopback is the signal in place or
// silence, each failure is counted once under its cause, and nothing is
// allocated or left behind.
TEST(EngineFaults, FailedRequestsAreResubmittedAndOnlyTheirFramesAreLost) {
  const FailureCase cases[] = {
      {"5% both ways, 48 kHz", 48000, 256, 2, 50000, 50000},
      {"10% IN only, 44.1 kHz", 44100, 128, 3, 0, 100000},
      {"10% OUT only, 96 kHz", 96000, 192, 4, 100000, 0},
  };
  for (const FailureCase& row : cases) {
    SCOPED_TRACE(row.name);
    Rig rig;
    rig.device().SelectLoopback(3 * (row.rate / 1000));
    StartWith(rig, row.rate, row.period, row.requests);
    rig.port_->FailRequests(0x03, {row.outPerMillion, 7});
    rig.port_->FailRequests(0x82, {row.inPerMillion, 11});
    const uint32_t bits = row.rate == 96000 ? 16 : 24;
    CountingClient client(rig.engine_, 0, 0, bits);
    const uint64_t blocksBefore = OutstandingBlocks(rig);
    const uint64_t startFrame = rig.device().FrameNumber();
    OpenAll(rig.engine_, 0, 0);
    // The opens select the streaming settings and set the rate, each a
    // request that takes a frame or more: the ADC cannot run before them.
    const uint64_t openFrames = rig.device().FrameNumber() - startFrame;
    rig.Step(20);
    const uint64_t allocations = rig.PoolAllocations();
    rig.Step(2000);
    EXPECT_EQ(rig.PoolAllocations(), allocations) << "allocations while streaming";
    // Every slot is still down in the stack (one reference each, plus the stream's own).
    EXPECT_EQ(rig.engine_->stream(kRecord)->inFlight, LONG(1 + kRecordRequests));
    EXPECT_EQ(rig.engine_->stream(kPlayback)->inFlight, LONG(1 + row.requests));
    // Every period the device's frames make arrives: the ADC ran from the
    // first IN frame on.
    const uint64_t elapsed = rig.device().FrameNumber() - startFrame;
    const uint64_t adcFrames = elapsed * row.rate / 1000;
    const uint64_t periods = client.recordPeriods.load();
    EXPECT_LE(periods * row.period, adcFrames);
    EXPECT_GE((periods + 2) * row.period + (10 + openFrames) * row.rate / 1000, adcFrames)
        << "record periods fell behind time";
    client.frozen = true;
    CloseAll(rig.engine_, 0, 0);
    EXPECT_EQ(rig.engine_->stream(kRecord), nullptr);
    EXPECT_EQ(OutstandingBlocks(rig), blocksBefore) << "blocks left after the stop";

    const tqm::usb::PortCounters port = rig.port_->Counters();
    const TransferFaultCounters out = rig.engine_->transferFaults(kPlayback);
    const TransferFaultCounters in = rig.engine_->transferFaults(kRecord);
    EXPECT_EQ(out.requestFailed, port.failedOutRequests);
    EXPECT_EQ(in.requestFailed, port.failedInRequests);
    if (row.outPerMillion) EXPECT_GT(port.failedOutRequests, 0u);
    if (row.inPerMillion) EXPECT_GT(port.failedInRequests, 20u);
    for (const TransferFaultCounters& f : {out, in}) {
      EXPECT_EQ(f.slotsRetired, 0u);
      EXPECT_EQ(f.deviceGone, 0u);
      EXPECT_EQ(f.stalled + f.otherErrors + f.packetErrors, 0u);
    }
    // Each failed IN packet became one millisecond of silence.
    const uint32_t k = row.rate / 1000;
    EXPECT_GE(in.recordFramesFilled, port.failedInPackets * k);
    EXPECT_LE(in.recordFramesFilled, port.failedInPackets * (k + 1));

    // The loopback: the signal in place, silence where frames were lost.
    size_t silent = 0;
    for (uint32_t c = 0; c < 2; ++c) silent = ExpectCountingOrSilence(client.recorded[c], c, bits);
    const uint64_t lostOut = port.failedOutPackets * (k + 1);
    const uint64_t lostIn = in.recordFramesFilled;
    EXPECT_LE(silent, lostOut + lostIn) << "silence beyond the failed packets' frames";
    if (row.inPerMillion || row.outPerMillion) EXPECT_GT(silent, 0u);
    if (::testing::Test::HasFailure()) return;
  }
}

// A halted endpoint fails every request at once, also each one passed down
// again: each slot goes down again a bounded number of times, then retires and
// is counted; the other direction streams on, and the stop finds nothing left.
TEST(EngineFaults, ASlotThatFailsAgainAndAgainRetiresAfterTheBound) {
  struct Row {
    const char* name;
    UCHAR endpoint;
    ULONG direction;
  };
  for (const Row row : {Row{"record", 0x82, kRecord}, Row{"playback", 0x03, kPlayback}}) {
    SCOPED_TRACE(row.name);
    Rig rig;
    rig.device().SelectLoopback(32);
    StartWith(rig, 48000, 96, 3);
    CountingClient client(rig.engine_, 0, 0, 24);
    OpenAll(rig.engine_, 0, 0);
    rig.Step(30);
    const uint32_t periodsBefore = client.recordPeriods.load();
    rig.device().HaltEndpoint(row.endpoint);
    rig.Step(50);
    const ULONG slots = row.direction == kRecord ? kRecordRequests : 3;
    const TransferFaultCounters f = rig.engine_->transferFaults(row.direction);
    EXPECT_EQ(f.slotsRetired, slots);
    EXPECT_EQ(f.stalled, slots * (kMaxConsecutiveFailures - 1));
    EXPECT_EQ(f.deviceGone, 0u);
    EXPECT_EQ(rig.engine_->stream(row.direction)->inFlight, 1) << "requests left in the halted direction";
    const ULONG other = row.direction == kRecord ? kPlayback : kRecord;
    EXPECT_EQ(rig.engine_->transferFaults(other).slotsRetired, 0u);
    EXPECT_EQ(rig.engine_->stream(other)->inFlight, LONG(1 + (other == kRecord ? kRecordRequests : 3)));
    if (row.direction == kPlayback) EXPECT_GT(client.recordPeriods.load(), periodsBefore + 10);
    client.frozen = true;
    CloseAll(rig.engine_, 0, 0);
    EXPECT_FALSE(rig.engine_->Streaming());
  }
}

// A device that leaves the bus ends both streams: its requests retire, counted
// as the vanished device's, and none goes down again.
TEST_F(EngineTest, RequestsOfAVanishedDeviceRetireAndAreNotResubmitted) {
  StartWith(*this, 48000, 96, 2);
  port_->FailRequests(0x82, {20000, 3});
  CountingClient client(engine_, 0, 0, 24);
  OpenAll(engine_, 0, 0);
  Step(40);
  const uint64_t urbs = port_->Counters().urbs;
  port_->Disconnect();
  Step(20);
  const uint32_t periods = client.recordPeriods.load();
  Step(20);
  EXPECT_EQ(client.recordPeriods.load(), periods);
  EXPECT_EQ(engine_->stream(kRecord)->inFlight, 1);
  EXPECT_EQ(engine_->stream(kPlayback)->inFlight, 1);
  EXPECT_EQ(engine_->transferFaults(kRecord).deviceGone, kRecordRequests);
  EXPECT_EQ(engine_->transferFaults(kPlayback).deviceGone, 2u);
  EXPECT_EQ(engine_->transferFaults(kRecord).slotsRetired, 0u);
  // Only the requests already built went down after the device left.
  EXPECT_LE(port_->Counters().urbs, urbs + kRecordRequests + 2);
  client.frozen = true;
  CloseAll(engine_, 0, 0);
}

using tqm::usb::testing::SetPdoPower;

// A device the bus suspends under the streaming engine (the engine was not
// told): its pending requests come back refused for power and retire; none is
// passed down again only to be refused at once, which would repeat until the
// slots were given up.
TEST_F(EngineTest, RequestsEndedForPowerRetireAndAreNotResubmitted) {
  StartWith(*this, 48000, 96, 2);
  CountingClient client(engine_, 0, 0, 24);
  OpenAll(engine_, 0, 0);
  Step(40);
  ASSERT_EQ(SetPdoPower(port_->pdo(), PowerDeviceD3), STATUS_SUCCESS);
  Step(20);
  const tqm::usb::PortCounters bus = port_->Counters();
  EXPECT_EQ(bus.endedByPowerDown, kRecordRequests + 2);
  EXPECT_EQ(bus.refusedPoweredDown, 0u) << "requests resubmitted against the suspended device";
  EXPECT_EQ(engine_->transferFaults(kRecord).poweredOff, kRecordRequests);
  EXPECT_EQ(engine_->transferFaults(kPlayback).poweredOff, 2u);
  for (ULONG d : {kPlayback, kRecord}) {
    EXPECT_EQ(engine_->transferFaults(d).slotsRetired, 0u);
    EXPECT_EQ(engine_->transferFaults(d).requestFailed + engine_->transferFaults(d).otherErrors, 0u);
    EXPECT_EQ(engine_->stream(d)->inFlight, 1);
  }
  client.frozen = true;
  ASSERT_EQ(SetPdoPower(port_->pdo(), PowerDeviceD0), STATUS_SUCCESS);
  CloseAll(engine_, 0, 0);
  EXPECT_FALSE(engine_->Streaming());
}

// The driver's own way: the streams stop before the device leaves D0, nothing
// is sent while it is down, and the wake starts them again, clean; a wake
// that a later power-down overtook starts nothing.
TEST_F(EngineTest, PowerDownStopsTheStreamsAndPowerUpStartsThemAgain) {
  StartWith(*this, 44100, 128, 3);
  CountingClient client(engine_, 0, 0, 24);
  OpenAll(engine_, 0, 0);
  Step(40);
  engine_->PowerDown();
  EXPECT_FALSE(engine_->Streaming());
  EXPECT_TRUE(engine_->poweredDown());
  ASSERT_EQ(SetPdoPower(port_->pdo(), PowerDeviceD3), STATUS_SUCCESS);
  EXPECT_FALSE(NT_SUCCESS(engine_->SetVolume(0, 0, kPlayback))) << "a command while the device is down";
  Step(30);
  const uint32_t periods = client.recordPeriods.load();
  EXPECT_EQ(port_->Counters().endedByPowerDown, 0u) << "requests still pending when the device went down";
  EXPECT_EQ(port_->Counters().refusedPoweredDown, 0u) << "requests sent while the device was down";

  ASSERT_EQ(SetPdoPower(port_->pdo(), PowerDeviceD0), STATUS_SUCCESS);
  EXPECT_EQ(engine_->PowerUp(engine_->PowerDownCount()), STATUS_SUCCESS);
  EXPECT_TRUE(engine_->Streaming());
  EXPECT_EQ(engine_->status()->recordHalf, 0u);
  Step(40);
  EXPECT_GT(client.recordPeriods.load(), periods + 5);

  const ULONG downs = engine_->PowerDownCount();
  engine_->PowerDown();
  EXPECT_EQ(engine_->PowerUp(downs), STATUS_SUCCESS);
  EXPECT_FALSE(engine_->Streaming()) << "a stale wake restarted the streams";
  EXPECT_TRUE(engine_->poweredDown());
  EXPECT_EQ(engine_->PowerUp(engine_->PowerDownCount()), STATUS_SUCCESS);
  EXPECT_TRUE(engine_->Streaming());
  EXPECT_EQ(port_->Counters().refusedPoweredDown, 0u);
  client.frozen = true;
  CloseAll(engine_, 0, 0);
}

// A level changed while the device is down is kept in the record and reaches
// the feature units with the wake.
TEST_F(EngineTest, LevelsChangedWhileTheDeviceIsDownReachItAtTheWake) {
  ASSERT_EQ(engine_->StartWithSettings(), STATUS_SUCCESS);
  engine_->PowerDown();
  ASSERT_EQ(SetPdoPower(port_->pdo(), PowerDeviceD3), STATUS_SUCCESS);
  tqm::MixerSettings record;
  engine_->GetSettings(&record);
  record.playVolume[1] = 70;
  record.recordMute = 1;
  engine_->ApplySettings(&record);
  ASSERT_EQ(SetPdoPower(port_->pdo(), PowerDeviceD0), STATUS_SUCCESS);
  EXPECT_EQ(engine_->PowerUp(engine_->PowerDownCount()), STATUS_SUCCESS);
  const auto state = device().State();
  EXPECT_EQ(uint16_t(state.playback.volume[1]), VolumeWireValue(70, kPlayback));
  EXPECT_TRUE(state.record.mute);
  EXPECT_EQ(port_->Counters().refusedPoweredDown, 0u);
}

// Requests cancelled by the stop retire as they always did: nothing is
// counted as a failure and the stop drains every slot.
TEST_F(EngineTest, CancelledRequestsRetireWithoutCounting) {
  StartWith(*this, 44100, 128, 4);
  CountingClient client(engine_, 0, 0, 24);
  OpenAll(engine_, 0, 0);
  Step(60);
  client.frozen = true;
  CloseAll(engine_, 0, 0);
  EXPECT_GT(port_->Counters().cancelled, 0u);
  for (ULONG d : {kPlayback, kRecord}) {
    const TransferFaultCounters f = engine_->transferFaults(d);
    EXPECT_EQ(f.requestFailed + f.packetErrors + f.stalled + f.otherErrors + f.slotsRetired + f.deviceGone, 0u);
  }
}

}  // namespace
}  // namespace engine::testing
