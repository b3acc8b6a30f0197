// The commands the driver object sends, as the simulated driver logged them:
// which, in what order, with which fields; and the calls that send none.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstring>
#include <functional>
#include <vector>

#include "platform/bridge/tqmsim/control.h"
#include "tests/asio/asio_harness.h"
#include "tqm/command_record.h"

namespace {

using namespace asiotest;
using tqm::CommandRecord;
namespace Field = tqm::Field;

uint32_t LogCount() {
  uint32_t count = 0;
  EXPECT_EQ(TqmSimCommandCount(0, &count), 0u);
  return count;
}

// The records this process sent since `from`; the host's outputReady from
// the period thread, which runs beside start and stop, left out on request.
std::vector<CommandRecord> Since(uint32_t from, bool withOutputReady = true) {
  std::vector<CommandRecord> records;
  for (uint32_t i = from, n = LogCount(); i < n; ++i) {
    TqmSimCommandEntry entry{};
    EXPECT_EQ(TqmSimCommand(0, i, &entry), 0u);
    if (!withOutputReady && entry.commandClass == tqm::CMD_CLASS_STREAM && entry.subOp == tqm::StreamOp::OutputReady)
      continue;
    CommandRecord r;
    std::memcpy(r.bytes, entry.record, sizeof r.bytes);
    records.push_back(r);
  }
  return records;
}

struct Op {
  uint32_t cls, subOp;
};

void ExpectOps(const std::vector<CommandRecord>& got, const std::vector<Op>& want, const char* what) {
  ASSERT_EQ(got.size(), want.size()) << what;
  for (size_t i = 0; i < want.size(); ++i) {
    EXPECT_EQ(got[i].Get32(Field::Class), want[i].cls) << what << ", command " << i;
    EXPECT_EQ(got[i].Get32(Field::SubOp), want[i].subOp) << what << ", command " << i;
  }
}

constexpr uint32_t D = tqm::CMD_CLASS_DRIVER, S = tqm::CMD_CLASS_STREAM, C = tqm::CMD_CLASS_CONTROL;

TEST(Commands, InitIdentifiesChecksHealthMapsAndReadsThePeriod) {
  const uint32_t from = LogCount();
  IASIO* d = CreateDriver();
  ASSERT_NE(d, nullptr);
  ASSERT_EQ(d->init(nullptr), ASIOTrue);
  const std::vector<CommandRecord> init = Since(from);
  ExpectOps(init, {{D, tqm::DriverOp::Identify}, {S, tqm::StreamOp::QueryStreamHealth},
                   {S, tqm::StreamOp::MapStatusBlock}, {C, tqm::ControlOp::GetLatency}}, "init");
  EXPECT_EQ(init[0].Get32(Field::VersionMajor), tqm::kProbeFill);
  EXPECT_EQ(init[0].Get32(Field::VersionMinor), tqm::kProbeFill);
  EXPECT_EQ(init[2].Get32(Field::MapFlag), 1u);
  const uint32_t before = LogCount();
  d->Release();
  // Release hands the mapping back with the address and cookie the driver gave.
  const std::vector<CommandRecord> release = Since(before);
  ExpectOps(release, {{S, tqm::StreamOp::MapStatusBlock}}, "release");
  EXPECT_EQ(release[0].Get32(Field::MapFlag), 0u);
  EXPECT_NE(release[0].GetSlot(Field::StatusAddress), 0u);
}

TEST(Commands, BuffersStartStopAndDisposeCarryTheirFields) {
  Host host;
  IASIO* d = CreateDriver();
  ASSERT_NE(d, nullptr);
  host.driver = d;
  ASSERT_EQ(d->init(nullptr), ASIOTrue);
  long period = 0, a, b, g;
  ASSERT_EQ(d->getBufferSize(&a, &b, &period, &g), ASE_OK);
  std::vector<ASIOBufferInfo> infos = host.AllChannels();
  uint32_t from = LogCount();
  ASSERT_EQ(d->createBuffers(infos.data(), long(infos.size()), period, &host.callbacks), ASE_OK);
  std::vector<CommandRecord> made = Since(from);
  // The period is read again, the SharedBuffer made, eight halves registered, the rate sent.
  ASSERT_EQ(made.size(), 1u + 1u + 8u + 1u);
  EXPECT_EQ(made[0].Get32(Field::SubOp), tqm::ControlOp::GetLatency);
  EXPECT_EQ(made[1].Get32(Field::SubOp), tqm::StreamOp::AllocSharedBuffer);
  EXPECT_EQ(made[1].Get32(Field::SharedLength), uint32_t(period) * 32);
  for (size_t i = 0; i < infos.size(); ++i) {
    for (uint32_t half = 0; half < 2; ++half) {
      const CommandRecord& r = made[2 + i * 2 + half];
      SCOPED_TRACE(testing::Message() << "info " << i << " half " << half);
      EXPECT_EQ(r.Get32(Field::SubOp), tqm::StreamOp::SetClientBuffer);
      EXPECT_EQ(r.Get32(Field::Direction), uint32_t(infos[i].isInput));
      EXPECT_EQ(r.Get32(Field::Channel), uint32_t(infos[i].channelNum % 2));
      EXPECT_EQ(r.Get32(Field::Half), half);
      EXPECT_EQ(r.GetSlot(Field::HalfAddress), reinterpret_cast<uintptr_t>(infos[i].buffers[half]));
      EXPECT_EQ(r.Get32(Field::Stride), 1u);
    }
  }
  EXPECT_EQ(made[10].Get32(Field::SubOp), tqm::StreamOp::SetSampleRate);
  EXPECT_EQ(made[10].Get32(Field::SampleRate), 44100u);

  // The host's probe sends nothing; the next outputReady names the half.
  from = LogCount();
  ASSERT_EQ(d->outputReady(), ASE_OK);
  EXPECT_EQ(LogCount(), from);
  ASSERT_EQ(d->outputReady(), ASE_OK);
  std::vector<CommandRecord> ready = Since(from);
  ExpectOps(ready, {{S, tqm::StreamOp::OutputReady}}, "outputReady");
  EXPECT_EQ(ready[0].Get32(Field::ReadyHalf), 0u);
  EXPECT_EQ(ready[0].Get32(Field::ReadyArg2), 1u);

  from = LogCount();
  ASSERT_EQ(d->start(), ASE_OK);
  std::vector<CommandRecord> started = Since(from, false);
  ExpectOps(started, {{S, tqm::StreamOp::SetPeriodEvent}, {S, tqm::StreamOp::ActivateChannels}}, "start");
  EXPECT_NE(started[0].GetSlot(Field::PeriodEvent), 0u);
  EXPECT_EQ(started[1].Get32(Field::OutputMask), 3u);
  EXPECT_EQ(started[1].Get32(Field::InputMask), 3u);
  EXPECT_EQ(started[1].Get32(Field::OnOff), 1u);
  ASSERT_TRUE(WaitSwitches(host, 5));
  from = LogCount();
  ASSERT_EQ(d->stop(), ASE_OK);
  host.MarkClosed();
  std::vector<CommandRecord> stopped = Since(from, false);
  ExpectOps(stopped, {{S, tqm::StreamOp::ActivateChannels}, {S, tqm::StreamOp::SetPeriodEvent}}, "stop");
  EXPECT_EQ(stopped[0].Get32(Field::OnOff), 0u);
  EXPECT_EQ(stopped[1].GetSlot(Field::PeriodEvent), 0u);

  from = LogCount();
  ASSERT_EQ(d->disposeBuffers(), ASE_OK);
  std::vector<CommandRecord> disposed = Since(from);
  ASSERT_EQ(disposed.size(), 8u + 1u);
  for (size_t i = 0; i < 8; ++i) EXPECT_EQ(disposed[i].GetSlot(Field::HalfAddress), 0u) << i;
  EXPECT_EQ(disposed[8].Get32(Field::SubOp), tqm::StreamOp::AllocSharedBuffer);
  EXPECT_EQ(disposed[8].Get32(Field::SharedLength), 0u);
  d->Release();
}

// Calls whose answer needs no device: they send nothing.
struct SilentRow {
  const char* what;
  std::function<ASIOError(IASIO*)> call;
  ASIOError expected;
};

class SendsNothing : public ::testing::TestWithParam<SilentRow> {};

TEST_P(SendsNothing, AnswersWithoutACommand) {
  const SilentRow& row = GetParam();
  IASIO* d = CreateDriver();
  ASSERT_NE(d, nullptr);
  ASSERT_EQ(d->init(nullptr), ASIOTrue);
  const uint32_t from = LogCount();
  EXPECT_EQ(row.call(d), row.expected) << row.what;
  EXPECT_EQ(LogCount(), from) << row.what;
  d->Release();
}

INSTANTIATE_TEST_SUITE_P(Rows, SendsNothing, ::testing::Values(
    SilentRow{"rate 88200", [](IASIO* d) { return d->setSampleRate(88200); }, ASE_NoClock},
    SilentRow{"the current rate again", [](IASIO* d) { return d->setSampleRate(44100); }, ASE_OK},
    SilentRow{"canSampleRate", [](IASIO* d) { return d->canSampleRate(96000); }, ASE_OK},
    SilentRow{"getSampleRate", [](IASIO* d) {
      ASIOSampleRate r;
      return d->getSampleRate(&r);
    }, ASE_OK},
    SilentRow{"getLatencies", [](IASIO* d) {
      long i, o;
      return d->getLatencies(&i, &o);
    }, ASE_OK},
    SilentRow{"the outputReady probe", [](IASIO* d) { return d->outputReady(); }, ASE_OK},
    SilentRow{"stop before start", [](IASIO* d) { return d->stop(); }, ASE_NotPresent}),
    RowWhat<::testing::TestParamInfo<SilentRow>>);

TEST(Commands, AfterRemovalNothingIsSent) {
  Host host;
  Opened o;
  ASSERT_TRUE(OpenWithBuffers(host, &o));
  ASSERT_EQ(o.driver->start(), ASE_OK);
  ASSERT_TRUE(WaitSwitches(host, 5));
  ASSERT_EQ(TqmSimUnplug(), 0u);
  const ULONGLONG end = GetTickCount64() + 5000;
  while (host.resetRequests.load() == 0 && GetTickCount64() < end) Sleep(5);
  ASSERT_EQ(host.resetRequests.load(), 1);
  host.MarkClosed();
  const uint32_t from = LogCount();
  long i, out;
  EXPECT_EQ(o.driver->stop(), ASE_NotPresent);
  EXPECT_EQ(o.driver->disposeBuffers(), ASE_NotPresent);
  EXPECT_EQ(o.driver->outputReady(), ASE_NotPresent);
  EXPECT_EQ(o.driver->setSampleRate(48000), ASE_NotPresent);
  EXPECT_EQ(o.driver->getChannels(&i, &out), ASE_NotPresent);
  EXPECT_EQ(o.driver->Release(), 0u);
  EXPECT_EQ(LogCount(), from);
}

}  // namespace
