// Hosts that call out of order, with bad arguments, or that misbehave in
// their callbacks. Every row checks the result and that no callback arrives
// after the stop, dispose or Release that ended the stream returned.
#include <gtest/gtest.h>

#include <windows.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <thread>

#include "platform/bridge/tqmsim/control.h"
#include "tests/asio/asio_harness.h"

namespace {

using namespace asiotest;

enum class State { Constructed, FailedInit, Initialized, Buffers, Started, Removed };

const char* Name(State s) {
  switch (s) {
    case State::Constructed: return "constructed";
    case State::FailedInit: return "after a failed init";
    case State::Initialized: return "initialized";
    case State::Buffers: return "buffers created";
    case State::Started: return "started";
    case State::Removed: return "after removal";
  }
  return "?";
}

// Brings a fresh driver into a state; false when it could not.
bool Reach(Host& host, State state, Opened* o) {
  switch (state) {
    case State::Constructed:
      o->driver = CreateDriver();
      host.driver = o->driver;
      return o->driver != nullptr;
    case State::FailedInit:
      // No device on the machine: init must fail.
      if (TqmSimUnplug() != 0) return false;
      o->driver = CreateDriver();
      host.driver = o->driver;
      return o->driver && o->driver->init(nullptr) == ASIOFalse;
    case State::Initialized:
      o->driver = CreateDriver();
      host.driver = o->driver;
      return o->driver && o->driver->init(nullptr) == ASIOTrue;
    case State::Buffers:
      return OpenWithBuffers(host, o);
    case State::Started:
      return OpenWithBuffers(host, o) && o->driver->start() == ASE_OK && WaitSwitches(host, 3);
    case State::Removed: {
      if (!OpenWithBuffers(host, o) || o->driver->start() != ASE_OK || !WaitSwitches(host, 3)) return false;
      if (TqmSimUnplug() != 0) return false;
      const ULONGLONG end = GetTickCount64() + 5000;
      while (host.resetRequests.load() == 0 && GetTickCount64() < end) Sleep(5);
      return host.resetRequests.load() == 1;
    }
  }
  return false;
}

struct Call {
  const char* name;
  std::function<ASIOError(IASIO*, Host&, Opened&)> run;
};

const Call kStart{"start", [](IASIO* d, Host&, Opened&) { return d->start(); }};
const Call kStop{"stop", [](IASIO* d, Host&, Opened&) { return d->stop(); }};
const Call kDispose{"disposeBuffers", [](IASIO* d, Host&, Opened&) { return d->disposeBuffers(); }};
const Call kChannels{"getChannels", [](IASIO* d, Host&, Opened&) {
  long i, o;
  return d->getChannels(&i, &o);
}};
const Call kLatencies{"getLatencies", [](IASIO* d, Host&, Opened&) {
  long i, o;
  return d->getLatencies(&i, &o);
}};
const Call kBufferSize{"getBufferSize", [](IASIO* d, Host&, Opened&) {
  long a, b, c, e;
  return d->getBufferSize(&a, &b, &c, &e);
}};
const Call kCanRate{"canSampleRate", [](IASIO* d, Host&, Opened&) { return d->canSampleRate(48000); }};
const Call kGetRate{"getSampleRate", [](IASIO* d, Host&, Opened&) {
  ASIOSampleRate r;
  return d->getSampleRate(&r);
}};
const Call kSetRate{"setSampleRate", [](IASIO* d, Host&, Opened&) { return d->setSampleRate(48000); }};
const Call kPosition{"getSamplePosition", [](IASIO* d, Host&, Opened&) {
  ASIOSamples s;
  ASIOTimeStamp t;
  return d->getSamplePosition(&s, &t);
}};
const Call kChannelInfo{"getChannelInfo", [](IASIO* d, Host&, Opened&) {
  ASIOChannelInfo info{};
  return d->getChannelInfo(&info);
}};
const Call kCreate{"createBuffers", [](IASIO* d, Host& h, Opened&) {
  static std::vector<ASIOBufferInfo> infos;
  infos = h.AllChannels();
  return d->createBuffers(infos.data(), long(infos.size()), 256, &h.callbacks);
}};
const Call kOutputReady{"outputReady (after the probe)", [](IASIO* d, Host&, Opened&) {
  d->outputReady();
  return d->outputReady();
}};
const Call kInit{"init", [](IASIO* d, Host&, Opened&) { return ASIOError(d->init(nullptr)); }};
const Call kNullChannels{"getChannels(null)", [](IASIO* d, Host&, Opened&) {
  long i;
  return d->getChannels(&i, nullptr);
}};
const Call kNullLatencies{"getLatencies(null)", [](IASIO* d, Host&, Opened&) {
  long i;
  return d->getLatencies(nullptr, &i);
}};
const Call kNullBufferSize{"getBufferSize(null)", [](IASIO* d, Host&, Opened&) {
  long a, b, c;
  return d->getBufferSize(&a, &b, &c, nullptr);
}};
const Call kNullRate{"getSampleRate(null)", [](IASIO* d, Host&, Opened&) { return d->getSampleRate(nullptr); }};
const Call kNullPosition{"getSamplePosition(null)", [](IASIO* d, Host&, Opened&) {
  ASIOSamples s;
  return d->getSamplePosition(&s, nullptr);
}};
const Call kNullChannelInfo{"getChannelInfo(null)", [](IASIO* d, Host&, Opened&) { return d->getChannelInfo(nullptr); }};
const Call kNullClocks{"getClockSources(null)", [](IASIO* d, Host&, Opened&) {
  ASIOClockSource c;
  return d->getClockSources(&c, nullptr);
}};
// stop twice: the second finds nothing running.
const Call kStopTwice{"stop twice", [](IASIO* d, Host& h, Opened&) {
  if (d->stop() != ASE_OK) return ASE_HWMalfunction;
  h.MarkClosed();
  return d->stop();
}};
// A second createBuffers leaves the first set: the stream still runs on it.
const Call kCreateTwiceThenStream{"createBuffers twice, then stream", [](IASIO* d, Host& h, Opened&) {
  std::vector<ASIOBufferInfo> again = h.AllChannels();
  const ASIOError second = d->createBuffers(again.data(), long(again.size()), 256, &h.callbacks);
  if (second != ASE_InvalidMode) return second;
  if (d->start() != ASE_OK || !WaitSwitches(h, 10) || d->stop() != ASE_OK) return ASE_HWMalfunction;
  return second;
}};

struct Row {
  State state;
  const Call* call;
  ASIOError expected;
};

class Hostile : public ::testing::TestWithParam<Row> {};

TEST_P(Hostile, AnswersAndLeavesNoCallbackBehind) {
  const Row& row = GetParam();
  Host host;
  Opened o;
  ASSERT_TRUE(Reach(host, row.state, &o)) << Name(row.state);
  EXPECT_EQ(row.call->run(o.driver, host, o), row.expected) << row.call->name << " " << Name(row.state);
  // Whatever still runs ends now; nothing may call the host afterwards.
  o.driver->stop();
  host.MarkClosed();
  o.driver->disposeBuffers();
  Sleep(30);
  EXPECT_EQ(o.driver->Release(), 0u);
  EXPECT_EQ(host.callbacksAfterClose.load(), 0) << row.call->name << " " << Name(row.state);
  EXPECT_LE(host.maxInside.load(), 1);
}

std::vector<Row> Rows() {
  std::vector<Row> rows;
  const Call* everything[] = {&kStart, &kStop, &kDispose, &kChannels, &kLatencies, &kBufferSize, &kCanRate,
                              &kGetRate, &kSetRate, &kPosition, &kChannelInfo, &kCreate, &kOutputReady};
  // Before init, after a failed init and after removal every call answers
  // ASE_NotPresent and touches no device.
  for (State s : {State::Constructed, State::FailedInit, State::Removed})
    for (const Call* c : everything) rows.push_back({s, c, ASE_NotPresent});
  rows.push_back({State::Removed, &kInit, ASIOFalse});
  rows.push_back({State::Initialized, &kInit, ASIOTrue});
  // Out of order.
  rows.push_back({State::Initialized, &kStart, ASE_NotPresent});
  rows.push_back({State::Initialized, &kStop, ASE_NotPresent});
  rows.push_back({State::Initialized, &kDispose, ASE_InvalidMode});
  rows.push_back({State::Buffers, &kStop, ASE_InvalidMode});
  rows.push_back({State::Buffers, &kCreateTwiceThenStream, ASE_InvalidMode});
  rows.push_back({State::Started, &kStart, ASE_InvalidMode});
  rows.push_back({State::Started, &kStopTwice, ASE_InvalidMode});
  rows.push_back({State::Started, &kDispose, ASE_OK});
  rows.push_back({State::Started, &kCreate, ASE_InvalidMode});
  // Null output pointers.
  for (const Call* c : {&kNullChannels, &kNullLatencies, &kNullBufferSize, &kNullRate, &kNullPosition,
                        &kNullChannelInfo, &kNullClocks})
    rows.push_back({State::Initialized, c, ASE_InvalidParameter});
  return rows;
}

std::string RowName(const ::testing::TestParamInfo<Row>& info) {
  return Identifier(std::string(Name(info.param.state)) + "_" + info.param.call->name);
}

INSTANTIATE_TEST_SUITE_P(Rows, Hostile, ::testing::ValuesIn(Rows()), RowName);

// ---- createBuffers with each bad argument: nothing changes ----

struct CreateRow {
  const char* what;
  std::function<void(std::vector<ASIOBufferInfo>&, ASIOCallbacks&, long&, long&, bool&, bool&)> spoil;
  ASIOError expected;
};

class BadCreate : public ::testing::TestWithParam<CreateRow> {};

TEST_P(BadCreate, IsRefusedBeforeAnythingChanges) {
  const CreateRow& row = GetParam();
  Host host;
  Opened o;
  ASSERT_TRUE(Reach(host, State::Initialized, &o));
  long period = 0, a, b, c;
  ASSERT_EQ(o.driver->getBufferSize(&a, &b, &period, &c), ASE_OK);
  std::vector<ASIOBufferInfo> infos = host.AllChannels();
  ASIOCallbacks callbacks = host.callbacks;
  long n = long(infos.size()), size = period;
  bool nullInfos = false, nullCallbacks = false;
  row.spoil(infos, callbacks, n, size, nullInfos, nullCallbacks);
  EXPECT_EQ(o.driver->createBuffers(nullInfos ? nullptr : infos.data(), n, size,
                                    nullCallbacks ? nullptr : &callbacks),
            row.expected)
      << row.what;
  EXPECT_EQ(host.engineVersionAsked.size(), 0u) << "the host was called: " << row.what;
  // Nothing was made: a good call now succeeds and streams.
  std::vector<ASIOBufferInfo> good = host.AllChannels();
  ASSERT_EQ(o.driver->createBuffers(good.data(), long(good.size()), period, &host.callbacks), ASE_OK) << row.what;
  o.driver->outputReady();
  ASSERT_EQ(o.driver->start(), ASE_OK);
  EXPECT_TRUE(WaitSwitches(host, 5));
  EXPECT_EQ(o.driver->stop(), ASE_OK);
  host.MarkClosed();
  EXPECT_EQ(o.driver->Release(), 0u);
  EXPECT_EQ(host.callbacksAfterClose.load(), 0);
}

using Infos = std::vector<ASIOBufferInfo>;
INSTANTIATE_TEST_SUITE_P(Rows, BadCreate, ::testing::Values(
    CreateRow{"null infos", [](Infos&, ASIOCallbacks&, long&, long&, bool& ni, bool&) { ni = true; },
              ASE_InvalidParameter},
    CreateRow{"null callbacks", [](Infos&, ASIOCallbacks&, long&, long&, bool&, bool& nc) { nc = true; },
              ASE_InvalidParameter},
    CreateRow{"null bufferSwitch", [](Infos&, ASIOCallbacks& cb, long&, long&, bool&, bool&) { cb.bufferSwitch = nullptr; },
              ASE_InvalidParameter},
    CreateRow{"no channels", [](Infos&, ASIOCallbacks&, long& n, long&, bool&, bool&) { n = 0; }, ASE_InvalidParameter},
    CreateRow{"negative count", [](Infos&, ASIOCallbacks&, long& n, long&, bool&, bool&) { n = -1; },
              ASE_InvalidParameter},
    CreateRow{"isInput 2", [](Infos& i, ASIOCallbacks&, long&, long&, bool&, bool&) { i[3].isInput = 2; },
              ASE_InvalidParameter},
    CreateRow{"negative channel", [](Infos& i, ASIOCallbacks&, long&, long&, bool&, bool&) { i[2].channelNum = -1; },
              ASE_InvalidParameter},
    CreateRow{"duplicate channel", [](Infos& i, ASIOCallbacks&, long&, long&, bool&, bool&) { i[1].channelNum = 0; },
              ASE_InvalidParameter},
    CreateRow{"size other than the period", [](Infos&, ASIOCallbacks&, long&, long& s, bool&, bool&) { s += 1; },
              ASE_InvalidMode},
    CreateRow{"size 0", [](Infos&, ASIOCallbacks&, long&, long& s, bool&, bool&) { s = 0; }, ASE_InvalidMode}),
    RowWhat<::testing::TestParamInfo<CreateRow>>);

TEST(CreateBuffers, StopsAtTheFirstChannelBeyondTheCount) {
  Host host;
  Opened o;
  ASSERT_TRUE(Reach(host, State::Initialized, &o));
  long period = 0, a, b, c;
  ASSERT_EQ(o.driver->getBufferSize(&a, &b, &period, &c), ASE_OK);
  // Input 2 does not exist with one device: it and every later info are left.
  std::vector<ASIOBufferInfo> infos = {{ASIOTrue, 0, {}}, {ASIOTrue, 2, {}}, {ASIOFalse, 0, {}}};
  ASSERT_EQ(o.driver->createBuffers(infos.data(), 3, period, &host.callbacks), ASE_OK);
  EXPECT_NE(infos[0].buffers[0], nullptr);
  EXPECT_EQ(infos[1].buffers[0], nullptr);
  EXPECT_EQ(infos[2].buffers[0], nullptr);
  EXPECT_EQ(o.driver->disposeBuffers(), ASE_OK);
  // Also for the first info: ASE_OK with no buffers.
  std::vector<ASIOBufferInfo> none = {{ASIOFalse, 2, {}}, {ASIOTrue, 0, {}}};
  EXPECT_EQ(o.driver->createBuffers(none.data(), 2, period, &host.callbacks), ASE_OK);
  EXPECT_EQ(none[1].buffers[0], nullptr);
  EXPECT_EQ(o.driver->disposeBuffers(), ASE_OK);
  host.MarkClosed();
  o.driver->Release();
}

// ---- rates ----

class BadRate : public ::testing::TestWithParam<double> {};

TEST_P(BadRate, IsNoClockAndChangesNothing) {
  const double rate = GetParam();
  Host host;
  Opened o;
  ASSERT_TRUE(Reach(host, State::Initialized, &o));
  ASIOSampleRate before = 0, after = 0;
  ASSERT_EQ(o.driver->getSampleRate(&before), ASE_OK);
  EXPECT_EQ(o.driver->canSampleRate(rate), ASE_NoClock) << rate;
  EXPECT_EQ(o.driver->setSampleRate(rate), ASE_NoClock) << rate;
  ASSERT_EQ(o.driver->getSampleRate(&after), ASE_OK);
  EXPECT_EQ(after, before) << rate;
  o.driver->Release();
}

INSTANTIATE_TEST_SUITE_P(Rows, BadRate, ::testing::Values(
    0.0, -1.0, std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity(),
    -std::numeric_limits<double>::infinity(), 1e7, 88200.0, 44100.5, -44100.0));

class GoodRate : public ::testing::TestWithParam<double> {};

TEST_P(GoodRate, CanThenSetThenGetAgree) {
  const double rate = GetParam();
  Host host;
  Opened o;
  ASSERT_TRUE(Reach(host, State::Initialized, &o));
  ASSERT_EQ(o.driver->canSampleRate(rate), ASE_OK);
  ASSERT_EQ(o.driver->setSampleRate(rate), ASE_OK);
  ASIOSampleRate now = 0;
  ASSERT_EQ(o.driver->getSampleRate(&now), ASE_OK);
  EXPECT_EQ(now, rate);
  o.driver->Release();
}

INSTANTIATE_TEST_SUITE_P(Rows, GoodRate, ::testing::Values(44100.0, 48000.0, 96000.0));

// ---- hosts that misbehave in their callbacks ----

// Runs a stopped clock by hand, so that a host that does not answer its
// periods with outputReady holds nothing.
struct SteppedClock {
  SteppedClock() { EXPECT_EQ(TqmSimRunFree(0), 0u); }
  ~SteppedClock() { TqmSimRunFree(1); }
};

TEST(HostileHost, NeverCallsOutputReady) {
  Host host;
  host.postOutput = false;
  Opened o;
  ASSERT_TRUE(Reach(host, State::Buffers, &o));
  // The start's control requests complete as the machine's frames pass, so
  // the clock runs for it; the periods after it are stepped.
  ASSERT_EQ(o.driver->start(), ASE_OK);
  {
    SteppedClock clock;
    EXPECT_TRUE(StepUntilSwitches(host, 30));
  }
  // The clock runs again for the stop: the transfers it aborts end at the
  // next frame, as on Windows.
  EXPECT_EQ(o.driver->stop(), ASE_OK);
  host.MarkClosed();
  EXPECT_EQ(o.driver->disposeBuffers(), ASE_OK);
  EXPECT_EQ(o.driver->Release(), 0u);
  EXPECT_EQ(host.callbacksAfterClose.load(), 0);
  EXPECT_EQ(host.resetRequests.load(), 0);
}

TEST(HostileHost, SwitchLongerThanAPeriodIsNeverReentered) {
  Host host;
  Opened o;
  ASSERT_TRUE(Reach(host, State::Buffers, &o));
  host.switchSleepMs = 15;  // a period of 256 frames at 44.1 kHz is 5.8 ms
  ASSERT_EQ(o.driver->start(), ASE_OK);
  {
    SteppedClock clock;
    // Machine time runs on while the host sits in its switch.
    std::atomic<bool> stepping{true};
    std::thread stepper([&] {
      while (stepping.load()) {
        TqmSimStep(1);
        Sleep(1);
      }
    });
    EXPECT_TRUE(WaitSwitches(host, 20));
    stepping.store(false);
    stepper.join();
  }
  // The stop's aborted transfers end at the next frame: the clock runs for it
  // (a step from this process would wait behind the stop's own request).
  EXPECT_EQ(o.driver->stop(), ASE_OK);
  host.MarkClosed();
  EXPECT_EQ(host.maxInside.load(), 1);
  EXPECT_EQ(o.driver->disposeBuffers(), ASE_OK);
  EXPECT_EQ(o.driver->Release(), 0u);
  EXPECT_EQ(host.callbacksAfterClose.load(), 0);
}

TEST(HostileHost, FreesItsCallbacksRecordAfterCreateBuffers) {
  Host host;
  Opened o;
  ASSERT_TRUE(Reach(host, State::Initialized, &o));
  long period = 0, a, b, c;
  ASSERT_EQ(o.driver->getBufferSize(&a, &b, &period, &c), ASE_OK);
  auto* callbacks = new ASIOCallbacks(host.callbacks);
  std::vector<ASIOBufferInfo> infos = host.AllChannels();
  ASSERT_EQ(o.driver->createBuffers(infos.data(), long(infos.size()), period, callbacks), ASE_OK);
  std::memset(callbacks, 0xCD, sizeof *callbacks);
  delete callbacks;
  o.driver->outputReady();
  ASSERT_EQ(o.driver->start(), ASE_OK);
  EXPECT_TRUE(WaitSwitches(host, 20));
  EXPECT_EQ(o.driver->stop(), ASE_OK);
  host.MarkClosed();
  EXPECT_EQ(o.driver->Release(), 0u);
  EXPECT_EQ(host.callbacksAfterClose.load(), 0);
}

TEST(HostileHost, AsioMessageMayBeNull) {
  Host host;
  host.callbacks.asioMessage = nullptr;
  Opened o;
  ASSERT_TRUE(Reach(host, State::Buffers, &o));
  ASSERT_EQ(o.driver->start(), ASE_OK);
  EXPECT_TRUE(WaitSwitches(host, 10));
  // Without asioMessage there is no time-info mode.
  EXPECT_EQ(host.timeInfoSwitches.load(), 0);
  EXPECT_EQ(o.driver->stop(), ASE_OK);
  host.MarkClosed();
  EXPECT_EQ(o.driver->Release(), 0u);
}

TEST(HostileHost, ReleasesFromAnotherThreadWhileStreaming) {
  Host host;
  Opened o;
  ASSERT_TRUE(Reach(host, State::Started, &o));
  ASSERT_TRUE(WaitSwitches(host, 10));
  ULONG left = 99;
  std::thread releaser([&] { left = o.driver->Release(); });
  releaser.join();
  host.MarkClosed();
  EXPECT_EQ(left, 0u);
  Sleep(50);
  EXPECT_EQ(host.callbacksAfterClose.load(), 0);
  EXPECT_EQ(Library::CanUnloadNow(), S_OK);
}

// stop, disposeBuffers and Release from inside the host's switch (the period
// thread itself) return without waiting for that thread, and end the stream.
struct InsideRow {
  const char* what;
  std::function<void(IASIO*)> call;
  bool released;
};

class InsideSwitch : public ::testing::TestWithParam<InsideRow> {};

TEST_P(InsideSwitch, EndsTheStreamWithoutWaitingForItself) {
  const InsideRow& row = GetParam();
  Host host;
  Opened o;
  ASSERT_TRUE(Reach(host, State::Buffers, &o));
  HANDLE called = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  host.inSwitch = [&](long period) {
    if (period != 5) return;
    row.call(o.driver);
    host.MarkClosed();
    SetEvent(called);
  };
  ASSERT_EQ(o.driver->start(), ASE_OK);
  ASSERT_EQ(WaitForSingleObject(called, 10000), WAIT_OBJECT_0) << row.what;
  Sleep(50);
  EXPECT_EQ(host.callbacksAfterClose.load(), 0) << row.what;
  EXPECT_EQ(host.switches.load(), 6) << row.what;
  if (!row.released) EXPECT_EQ(o.driver->Release(), 0u);
  CloseHandle(called);
}

INSTANTIATE_TEST_SUITE_P(Rows, InsideSwitch, ::testing::Values(
    InsideRow{"stop", [](IASIO* d) { d->stop(); }, false},
    InsideRow{"disposeBuffers", [](IASIO* d) { d->disposeBuffers(); }, false},
    InsideRow{"Release", [](IASIO* d) { d->Release(); }, true}),
    RowWhat<::testing::TestParamInfo<InsideRow>>);

}  // namespace
