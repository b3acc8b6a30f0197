// The engine with the clock thread running free: completions on the clock
// thread race the test thread's opens and closes, the cancels and the drain.
// Run under ThreadSanitizer by the concurrent label.
#include <chrono>
#include <sstream>
#include <thread>

#include "tests/driver/engine/engine_client.h"
#include "tests/driver/engine/engine_fixture.h"

namespace engine::testing {
namespace {

// Waits for the client's record periods; a stream that stopped delivering
// fails the test with the engine's transfer counters instead of hanging it.
void WaitForPeriods(Rig& rig, CountingClient& client, uint32_t periods) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (client.recordPeriods.load() < periods) {
    if (std::chrono::steady_clock::now() > end) {
      std::ostringstream o;
      for (ULONG d : {kPlayback, kRecord}) {
        const TransferFaultCounters f = rig.engine_->transferFaults(d);
        o << (d == kPlayback ? " playback:" : " record:") << " failed " << f.requestFailed << ", stalled "
          << f.stalled << ", other " << f.otherErrors << ", retired " << f.slotsRetired << ", gone " << f.deviceGone
          << ", powered off " << f.poweredOff << ";";
      }
      ADD_FAILURE() << "the stream stopped at record period " << client.recordPeriods.load() << " of " << periods
                    << ":" << o.str();
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

// The counting signal survives the loopback while the clock runs on its own
// thread, and closing the channels one by one from another thread, while
// requests complete, stops cleanly.
TEST(EngineConcurrent, LoopbackWithTheClockRunningAndClosesRacingCompletions) {
  struct Row {
    uint32_t rate, period;
    const char* why;
  };
  const Row rows[] = {
      {48000, 100, "period not a multiple of the request"},
      {44100, 45, "one packet per period at 44.1 kHz"},
      {96000, 288, "16-bit record"},
  };
  for (const Row& r : rows) {
    std::ostringstream label;
    label << r.rate << " Hz, period " << r.period << ": " << r.why;
    Rig rig({}, RigClock::TestThreadRaces);
    rig.device().SelectLoopback(5 * (r.rate / 1000));
    StartWith(rig, r.rate, r.period, 3);
    const uint32_t bits = r.rate == 96000 ? 16 : 24;
    CountingClient client(rig.engine_, 2, 2, bits);
    OpenAll(rig.engine_, 2, 2);
    rig.machine_.clock().RunFree(true);
    WaitForPeriods(rig, client, 40);
    // Two more periods: the clock thread has seen the freeze in its callbacks.
    client.frozen = true;
    WaitForPeriods(rig, client, client.recordPeriods.load() + 2);
    CloseAll(rig.engine_, 2, 2);
    rig.machine_.clock().RunFree(false);
    EXPECT_FALSE(rig.engine_->Streaming()) << label.str();
    for (uint32_t c = 0; c < 2; ++c) EXPECT_GE(ExpectCounting(client.recorded[c], c, bits, label.str()), 10u * r.period);
  }
}

// Opening and closing again and again while the clock runs: each start
// resets the pipes and each stop drains, without leaking a request.
TEST(EngineConcurrent, RepeatedStartAndStopWhileTheClockRuns) {
  Rig rig({}, RigClock::TestThreadRaces);
  StartWith(rig, 48000, 64, 2);
  CountingClient client(rig.engine_, 2, 2, 24);
  client.frozen = true;  // only the opens and closes race the completions here
  rig.machine_.clock().RunFree(true);
  for (int i = 0; i < 20; ++i) {
    ASSERT_EQ(rig.engine_->OpenChannel(2, kRecord, 0), STATUS_SUCCESS) << "round " << i;
    ASSERT_EQ(rig.engine_->OpenChannel(2, kPlayback, 1), STATUS_SUCCESS) << "round " << i;
    std::this_thread::sleep_for(std::chrono::milliseconds(i % 3));
    EXPECT_EQ(rig.engine_->CloseChannel(2, kPlayback, 1), STATUS_SUCCESS) << "round " << i;
    EXPECT_EQ(rig.engine_->CloseChannel(2, kRecord, 0), STATUS_SUCCESS) << "round " << i;
    EXPECT_FALSE(rig.engine_->Streaming()) << "round " << i;
  }
  rig.machine_.clock().RunFree(false);
}

// Closing one channel each way while the clock runs leaves the other
// channel's signal whole: no frame of it lost or repeated around the close.
TEST(EngineConcurrent, ClosingSomeChannelsKeepsTheOthersExact) {
  for (int round = 0; round < 5; ++round) {
    const std::string label = "round " + std::to_string(round);
    Rig rig({}, RigClock::TestThreadRaces);
    rig.device().SelectLoopback(240);
    StartWith(rig, 48000, 100, 3);
    CountingClient client(rig.engine_, 2, 2, 24);
    OpenAll(rig.engine_, 2, 2);
    rig.machine_.clock().RunFree(true);
    WaitForPeriods(rig, client, 20 + round);
    // The client lets go of channel 0 first; two periods later its callbacks
    // no longer touch it.
    client.channels = 2;
    WaitForPeriods(rig, client, client.recordPeriods.load() + 2);
    EXPECT_EQ(rig.engine_->CloseChannel(2, kPlayback, 0), STATUS_SUCCESS) << label;
    EXPECT_EQ(rig.engine_->CloseChannel(2, kRecord, 0), STATUS_SUCCESS) << label;
    WaitForPeriods(rig, client, client.recordPeriods.load() + 30);
    client.frozen = true;
    WaitForPeriods(rig, client, client.recordPeriods.load() + 2);
    EXPECT_EQ(rig.engine_->CloseChannel(2, kPlayback, 1), STATUS_SUCCESS) << label;
    EXPECT_EQ(rig.engine_->CloseChannel(2, kRecord, 1), STATUS_SUCCESS) << label;
    rig.machine_.clock().RunFree(false);
    EXPECT_GE(ExpectCounting(client.recorded[1], 1, 24, label), 4000u) << label;
  }
}

// Rate, period and request-count changes from two threads, and a third
// opening and closing a channel, while the clock runs and requests complete:
// the configuration lock keeps one change from stopping or resizing the
// streams under another, and each change restarts them cleanly.
TEST(EngineConcurrent, ConfigurationChangesRaceEachOtherAndTheCompletions) {
  Rig rig({}, RigClock::TestThreadRaces);
  StartWith(rig, 48000, 128, 3);
  CountingClient client(rig.engine_, 2, 2, 24);
  client.frozen = true;  // the changes, not the signal, are under test here
  OpenAll(rig.engine_, 2, 2);
  rig.machine_.clock().RunFree(true);
  std::thread rates([&] {
    for (int i = 0; i < 12; ++i) {
      const ULONG rate = i % 2 ? 48000 : 44100;
      EXPECT_EQ(rig.engine_->SetRate(rate, false), STATUS_SUCCESS) << "rate " << rate;
    }
  });
  std::thread sizes([&] {
    for (int i = 0; i < 12; ++i) {
      EXPECT_EQ(rig.engine_->SetPeriodSize(64 + 16 * i, false), STATUS_SUCCESS) << "round " << i;
      EXPECT_EQ(rig.engine_->SetRequestCount(2 + i % 8), STATUS_SUCCESS) << "round " << i;
    }
  });
  for (int i = 0; i < 12; ++i) {
    EXPECT_EQ(rig.engine_->OpenChannel(1, kRecord, 0), STATUS_SUCCESS) << "round " << i;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_EQ(rig.engine_->CloseChannel(1, kRecord, 0), STATUS_SUCCESS) << "round " << i;
  }
  rates.join();
  sizes.join();
  EXPECT_TRUE(rig.engine_->Streaming());
  const uint32_t before = client.recordPeriods.load();
  WaitForPeriods(rig, client, before + 10);
  const auto state = rig.device().State();
  // The engine writes the words at every period: read them whole.
  tqm::DeviceStatusBlock* block = rig.engine_->status();
  EXPECT_EQ(state.recordRate, ReadShared(&block->sampleRate));
  EXPECT_EQ(ReadShared(&block->periodFrames), 64u + 16 * 11);
  EXPECT_EQ(ReadShared(&block->requestCount), 2u + 11 % 8);
  CloseAll(rig.engine_, 2, 2);
  rig.machine_.clock().RunFree(false);
  EXPECT_FALSE(rig.engine_->Streaming());
}

}  // namespace
}  // namespace engine::testing
