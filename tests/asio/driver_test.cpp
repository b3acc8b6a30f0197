// The driver object with one TQM27 on the simulated machine: what init
// finds, the names and shapes a host reads, the latencies, rate changes, the
// period callbacks, and notices the listener must ignore.
#include <gtest/gtest.h>

#include <windows.h>
#include <dbt.h>

#include <cmath>
#include <cstring>
#include <string>

#include "platform/bridge/tqmsim/control.h"
#include "tests/asio/asio_harness.h"
#include "tqm/command_record.h"
#include "tqm/identity.h"
#include "tqm/mixer_settings.h"
#include "tqm/win32/interface_table.h"

namespace {

using namespace asiotest;

// Sets the driver's period as the panel does (SetLatency with the busy check).
bool SetPeriod(uint32_t frames) {
  tqm::win32::InterfaceTable table;
  if (table.Open() < 1) return false;
  tqm::CommandRecord r = tqm::win32::MakeRecord(tqm::CMD_CLASS_CONTROL, tqm::ControlOp::SetLatency);
  r.Set32(tqm::Field::Latency, frames);
  r.Set32(tqm::Field::BusyCheck, 1);
  return tqm::win32::SendRecord(table.handle(table.count() - 1), r);
}

TEST(Driver, InitFindsTheDeviceAndReportsItsShape) {
  Host host;
  IASIO* d = CreateDriver();
  ASSERT_NE(d, nullptr);
  ASSERT_EQ(d->init(nullptr), ASIOTrue);
  long in = 0, out = 0;
  ASSERT_EQ(d->getChannels(&in, &out), ASE_OK);
  EXPECT_EQ(in, 2);
  EXPECT_EQ(out, 2);
  long minSize = 0, maxSize = 0, preferred = 0, granularity = -1;
  ASSERT_EQ(d->getBufferSize(&minSize, &maxSize, &preferred, &granularity), ASE_OK);
  EXPECT_EQ(minSize, 256);  // the driver's default period
  EXPECT_EQ(maxSize, minSize);
  EXPECT_EQ(preferred, minSize);
  EXPECT_EQ(granularity, 0);
  ASIOSampleRate rate = 0;
  ASSERT_EQ(d->getSampleRate(&rate), ASE_OK);
  EXPECT_EQ(rate, 44100.0);
  ASIOClockSource clocks[2];
  std::memset(clocks, 0x55, sizeof clocks);
  long sources = 2;
  ASSERT_EQ(d->getClockSources(clocks, &sources), ASE_OK);
  EXPECT_EQ(sources, 1);
  EXPECT_EQ(clocks[0].index, 0);
  EXPECT_EQ(clocks[0].associatedChannel, 0);
  EXPECT_EQ(clocks[0].associatedGroup, 0);
  EXPECT_EQ(clocks[0].isCurrentSource, ASIOTrue);
  EXPECT_STREQ(clocks[0].name, "ORU TQM27 Clock");
  EXPECT_EQ(d->setClockSource(0), ASE_OK);
  EXPECT_EQ(d->setClockSource(1), ASE_InvalidParameter);
  EXPECT_EQ(d->controlPanel(), ASE_OK);
  char message[256] = {};
  d->getErrorMessage(message);
  EXPECT_STREQ(message, "ORU TQM27 ASIO DRIVER");
  EXPECT_EQ(d->Release(), 0u);
}

struct FutureRow {
  const char* what;
  long selector;
  ASIOError expected;
};

class Future : public ::testing::TestWithParam<FutureRow> {};

TEST_P(Future, AnswersItsSelectors) {
  IASIO* d = CreateDriver();
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(d->future(GetParam().selector, nullptr), GetParam().expected) << "selector " << GetParam().selector;
  d->Release();
}

INSTANTIATE_TEST_SUITE_P(Rows, Future, ::testing::Values(
    FutureRow{"EnableTimeCodeRead", kAsioEnableTimeCodeRead, ASE_SUCCESS},
    FutureRow{"DisableTimeCodeRead", kAsioDisableTimeCodeRead, ASE_SUCCESS},
    FutureRow{"SetInputMonitor", kAsioSetInputMonitor, ASE_SUCCESS},
    FutureRow{"Transport", 4, ASE_NotPresent},  // transport control: not offered
    FutureRow{"Zero", 0, ASE_NotPresent},
    FutureRow{"Negative", -1, ASE_NotPresent}),
    RowWhat<::testing::TestParamInfo<FutureRow>>);

struct ChannelRow {
  const char* what;
  ASIOBool input;
  long channel;
  ASIOError expected;
  const char* name;
};

class ChannelInfo : public ::testing::TestWithParam<ChannelRow> {};

TEST_P(ChannelInfo, NamesThePairAndSide) {
  const ChannelRow& row = GetParam();
  IASIO* d = CreateDriver();
  ASSERT_NE(d, nullptr);
  ASSERT_EQ(d->init(nullptr), ASIOTrue);
  ASIOChannelInfo info{};
  info.channel = row.channel;
  info.isInput = row.input;
  ASSERT_EQ(d->getChannelInfo(&info), row.expected) << row.channel;
  if (row.expected == ASE_OK) {
    EXPECT_STREQ(info.name, row.name);
    EXPECT_EQ(info.isActive, ASIOTrue);
    EXPECT_EQ(info.channelGroup, 0);
    EXPECT_EQ(info.type, ASIOSTInt32LSB);
  }
  d->Release();
}

INSTANTIATE_TEST_SUITE_P(Rows, ChannelInfo, ::testing::Values(
    ChannelRow{"in0", ASIOTrue, 0, ASE_OK, "ORU TQM27 1/2:L"},
    ChannelRow{"in1", ASIOTrue, 1, ASE_OK, "ORU TQM27 1/2:R"},
    ChannelRow{"out0", ASIOFalse, 0, ASE_OK, "ORU TQM27 1/2:L"},
    ChannelRow{"out1", ASIOFalse, 1, ASE_OK, "ORU TQM27 1/2:R"},
    ChannelRow{"in2", ASIOTrue, 2, ASE_InvalidParameter, ""},  // one device: two channels each way
    ChannelRow{"out2", ASIOFalse, 2, ASE_InvalidParameter, ""},
    ChannelRow{"inNegative", ASIOTrue, -1, ASE_InvalidParameter, ""},
    ChannelRow{"isInput2", 2, 0, ASE_InvalidParameter, ""}),   // isInput is 0 or 1
    RowWhat<::testing::TestParamInfo<ChannelRow>>);

TEST(Driver, InitTwiceOpensOnce) {
  IASIO* d = CreateDriver();
  ASSERT_NE(d, nullptr);
  const uint64_t before = OpenHandles();
  ASSERT_EQ(d->init(nullptr), ASIOTrue);
  const uint64_t opened = OpenHandles();
  EXPECT_GT(opened, before);
  EXPECT_EQ(d->init(nullptr), ASIOTrue);
  EXPECT_EQ(OpenHandles(), opened);
  d->Release();
  EXPECT_EQ(OpenHandles(), before);
}

TEST(Driver, ASecondObjectCannotOpenWhileTheFirstLives) {
  Host host;
  Opened first;
  ASSERT_TRUE(OpenWithBuffers(host, &first));
  IASIO* second = CreateDriver();
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(second->init(nullptr), ASIOFalse);
  char message[256] = {};
  second->getErrorMessage(message);
  EXPECT_STREQ(message, "ORU TQM27 ASIO DRIVERASIO Open Fails");
  long in = 0, out = 0;
  EXPECT_EQ(second->getChannels(&in, &out), ASE_NotPresent);
  second->Release();
  // The first is untouched: it streams.
  ASSERT_EQ(first.driver->start(), ASE_OK);
  EXPECT_TRUE(WaitSwitches(host, 20));
  EXPECT_EQ(first.driver->stop(), ASE_OK);
  first.driver->Release();
}

// input = P + K and output = P + W x B - K, so that input + output is the
// round trip 2P + W x B + D less the device's loop delay D. The default
// period is 256 and the default request count W is 2.
struct LatencyRow {
  const char* what;
  double rate;
  long input;   // P + K
  long sum;     // 2P + W x B
};

class Latencies : public ::testing::TestWithParam<LatencyRow> {};

TEST_P(Latencies, AddUpToTheRoundTripLessTheLoopDelay) {
  const LatencyRow& row = GetParam();
  IASIO* d = CreateDriver();
  ASSERT_NE(d, nullptr);
  ASSERT_EQ(d->init(nullptr), ASIOTrue);
  ASSERT_EQ(d->setSampleRate(row.rate), ASE_OK);
  long in = 0, out = 0;
  ASSERT_EQ(d->getLatencies(&in, &out), ASE_OK);
  EXPECT_EQ(in, row.input) << row.rate;
  EXPECT_EQ(in + out, row.sum) << row.rate;
  d->Release();
}

INSTANTIATE_TEST_SUITE_P(Rows, Latencies, ::testing::Values(
    LatencyRow{"r44100", 44100, 256 + 44, 512 + 2 * 220},  // five packets of 44 per request
    LatencyRow{"r48000", 48000, 256 + 48, 512 + 2 * 240},  // five of 48
    LatencyRow{"r96000", 96000, 256 + 96, 512 + 2 * 192}), // two of 96
    RowWhat<::testing::TestParamInfo<LatencyRow>>);

TEST(Driver, RateChangeTellsTheHostAndLatenciesFollow) {
  Host host;
  Opened o;
  ASSERT_TRUE(OpenWithBuffers(host, &o));
  EXPECT_EQ(host.engineVersionAsked.size(), 1u);
  ASSERT_EQ(o.driver->setSampleRate(48000), ASE_OK);
  EXPECT_EQ(host.rateChanges.load(), 1);
  EXPECT_EQ(host.latencyChanges.load(), 1);
  // The same rate again changes nothing.
  ASSERT_EQ(o.driver->setSampleRate(48000), ASE_OK);
  EXPECT_EQ(host.rateChanges.load(), 1);
  ASIOSampleRate rate = 0;
  ASSERT_EQ(o.driver->getSampleRate(&rate), ASE_OK);
  EXPECT_EQ(rate, 48000.0);
  host.MarkClosed();
  o.driver->Release();
}

// Another client (the panel) changes the request count; the output latency
// grows by a request's frames per request, and the host hears of it, whether
// the change comes while it streams or between its getLatencies and its
// start (the latencies it was told are what the change is measured from).
class RequestCountChange : public ::testing::TestWithParam<bool> {};

TEST_P(RequestCountChange, TellsTheHost) {
  const bool beforeStart = GetParam();
  Host host;
  Opened o;
  ASSERT_TRUE(OpenWithBuffers(host, &o));
  long in = 0, out = 0;
  ASSERT_EQ(o.driver->getLatencies(&in, &out), ASE_OK);
  if (!beforeStart) {
    ASSERT_EQ(o.driver->start(), ASE_OK);
    ASSERT_TRUE(WaitSwitches(host, 5));
  }
  tqm::win32::InterfaceTable table;
  ASSERT_GE(table.Open(), 1);
  tqm::MixerSettings settings{};
  tqm::CommandRecord r = tqm::win32::MakeRecord(tqm::CMD_CLASS_CONTROL, tqm::ControlOp::GetSettings);
  r.SetSlot(tqm::Field::SettingsAddress, reinterpret_cast<uintptr_t>(&settings));
  ASSERT_TRUE(tqm::win32::SendRecord(table.handle(0), r));
  ASSERT_EQ(settings.requestCount, 2);
  settings.requestCount = 4;
  r = tqm::win32::MakeRecord(tqm::CMD_CLASS_CONTROL, tqm::ControlOp::ApplySettings);
  r.SetSlot(tqm::Field::SettingsAddress, reinterpret_cast<uintptr_t>(&settings));
  ASSERT_TRUE(tqm::win32::SendRecord(table.handle(0), r));
  table.CloseAll();
  if (beforeStart) ASSERT_EQ(o.driver->start(), ASE_OK);
  // A few hundred periods at most: the notice comes within one.
  long seen = host.switches.load();
  for (int tries = 0; tries < 30 && host.latencyChanges.load() == 0; ++tries) {
    seen += 10;
    if (!WaitSwitches(host, seen)) break;
  }
  EXPECT_EQ(host.latencyChanges.load(), 1);
  long in4 = 0, out4 = 0;
  ASSERT_EQ(o.driver->getLatencies(&in4, &out4), ASE_OK);
  EXPECT_EQ(in4, in);
  EXPECT_EQ(out4, out + 2 * 220);  // two more requests of five 44-frame packets
  EXPECT_EQ(o.driver->stop(), ASE_OK);
  host.MarkClosed();
  o.driver->Release();
}

INSTANTIATE_TEST_SUITE_P(Rows, RequestCountChange, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& i) {
                           return std::string(i.param ? "BeforeStart" : "WhileStreaming");
                         });

TEST(Driver, FailedRateChangeKeepsThePreviousRate) {
  Host host;
  IASIO* d = CreateDriver();
  ASSERT_NE(d, nullptr);
  ASSERT_EQ(d->init(nullptr), ASIOTrue);
  ASSERT_EQ(d->setSampleRate(48000), ASE_OK);
  // A period of 48 frames holds no 1 ms packet at 96 kHz: the driver refuses the rate.
  ASSERT_TRUE(SetPeriod(48));
  ASSERT_EQ(d->setSampleRate(96000), ASE_NoClock);
  char message[256] = {};
  d->getErrorMessage(message);
  EXPECT_STREQ(message, "ORU TQM27 ASIO DRIVERSample Rate Can't change to 96000Khz\nPlease setup by audio panel");
  ASIOSampleRate rate = 0;
  ASSERT_EQ(d->getSampleRate(&rate), ASE_OK);
  EXPECT_EQ(rate, 48000.0);
  // And the driver still takes a rate it can carry.
  EXPECT_EQ(d->setSampleRate(44100), ASE_OK);
  d->Release();
}

TEST(Driver, PeriodsHandTheEnginesHalfWithTimeInfoAndPositions) {
  Host host;
  Opened o;
  ASSERT_TRUE(OpenWithBuffers(host, &o));
  ASIOSamples position{1, 1};
  ASIOTimeStamp stamp{};
  ASSERT_EQ(o.driver->getSamplePosition(&position, &stamp), ASE_OK);
  EXPECT_EQ(position.hi, 0u);
  EXPECT_EQ(position.lo, 0u);
  ASSERT_EQ(o.driver->start(), ASE_OK);
  ASSERT_EQ(o.driver->getSamplePosition(&position, &stamp), ASE_OK);
  EXPECT_EQ(position.lo, 0u) << "before the first period";
  ASSERT_TRUE(WaitSwitches(host, 40));
  ASSERT_EQ(o.driver->stop(), ASE_OK);
  host.MarkClosed();
  const long n = host.switches.load();
  ASSERT_EQ(host.timeInfoSwitches.load(), n);
  for (long k = 0; k < n; ++k) {
    EXPECT_EQ(host.halves[k], k % 2) << "period " << k;
    EXPECT_EQ(host.timeFlags[k], kSystemTimeValid | kSamplePositionValid | kSampleRateValid) << "period " << k;
    EXPECT_EQ(host.timePositions[k], unsigned(k * o.period)) << "period " << k;
  }
  // One period behind the half last handed over.
  ASSERT_EQ(o.driver->getSamplePosition(&position, &stamp), ASE_OK);
  EXPECT_EQ(position.lo, unsigned((n - 2) * o.period));
  EXPECT_EQ(o.driver->disposeBuffers(), ASE_OK);
  EXPECT_EQ(host.callbacksAfterClose.load(), 0);
  EXPECT_EQ(host.maxInside.load(), 1);
  o.driver->Release();
}

TEST(Driver, PlainSwitchWhenTheHostHasNoTimeInfo) {
  Host host;
  host.answerTimeInfo = false;
  Opened o;
  ASSERT_TRUE(OpenWithBuffers(host, &o));
  ASSERT_EQ(o.driver->start(), ASE_OK);
  ASSERT_TRUE(WaitSwitches(host, 10));
  ASSERT_EQ(o.driver->stop(), ASE_OK);
  host.MarkClosed();
  EXPECT_EQ(host.timeInfoSwitches.load(), 0);
  o.driver->Release();
}

// A device-change broadcast as Windows sends it to the listener window.
LRESULT SendRemoval(const GUID& cls, const std::wstring& path) {
  HWND listener = FindWindowW(L"ORUASIODeviceListener", nullptr);
  if (!listener) return -1;
  std::vector<uint8_t> block(sizeof(DEV_BROADCAST_DEVICEINTERFACE_W) + path.size() * sizeof(wchar_t));
  auto* b = reinterpret_cast<DEV_BROADCAST_DEVICEINTERFACE_W*>(block.data());
  b->dbcc_size = DWORD(block.size());
  b->dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
  b->dbcc_classguid = cls;
  std::memcpy(b->dbcc_name, path.c_str(), (path.size() + 1) * sizeof(wchar_t));
  return SendMessageW(listener, WM_DEVICECHANGE, DBT_DEVICEREMOVECOMPLETE, reinterpret_cast<LPARAM>(b));
}

TEST(Listener, IgnoresRemovalsOfOtherClassesAndOtherInterfaces) {
  Host host;
  Opened o;
  ASSERT_TRUE(OpenWithBuffers(host, &o));
  ASSERT_EQ(o.driver->start(), ASE_OK);
  ASSERT_TRUE(WaitSwitches(host, 5));
  tqm::win32::InterfaceTable table;
  ASSERT_GE(table.Open(), 1);
  const std::wstring ours = table.path(0);
  table.CloseAll();
  const GUID other = {0x4D36E96C, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};
  ASSERT_NE(SendRemoval(other, ours), -1) << "no listener window";
  ASSERT_NE(SendRemoval(tqm::win32::DriverInterfaceClass(), L"\\\\?\\USB#VID_0000&PID_0000#1#{other}"), -1);
  const long seen = host.switches.load();
  EXPECT_TRUE(WaitSwitches(host, seen + 10));
  EXPECT_EQ(host.resetRequests.load(), 0);
  long in = 0, out = 0;
  EXPECT_EQ(o.driver->getChannels(&in, &out), ASE_OK);
  EXPECT_EQ(o.driver->stop(), ASE_OK);
  host.MarkClosed();
  EXPECT_EQ(o.driver->disposeBuffers(), ASE_OK);
  o.driver->Release();
}

}  // namespace
