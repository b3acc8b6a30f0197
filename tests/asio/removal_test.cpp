// The device going away under a running host, and a stream that stalls.
#include <gtest/gtest.h>

#include <windows.h>

#include "platform/bridge/tqmsim/control.h"
#include "tests/asio/asio_harness.h"

namespace {

using namespace asiotest;

TEST(Removal, UnplugMidStreamAsksForAResetThenAnswersNotPresent) {
  Host host;
  Opened o;
  const uint64_t before = OpenHandles();
  ASSERT_TRUE(OpenWithBuffers(host, &o));
  ASSERT_EQ(o.driver->start(), ASE_OK);
  ASSERT_TRUE(WaitSwitches(host, 10));
  // This thread pumps no messages: the driver's listener has a thread of its own.
  const ULONGLONG pulled = GetTickCount64();
  ASSERT_EQ(TqmSimUnplug(), 0u);
  while (host.resetRequests.load() == 0 && GetTickCount64() - pulled < 5000) Sleep(5);
  ASSERT_EQ(host.resetRequests.load(), 1) << "no reset request within 5 s";
  EXPECT_NE(host.resetThread.load(), GetCurrentThreadId());
  std::printf("reset request %llu ms after the unplug\n",
              static_cast<unsigned long long>(host.resetAt.load() - pulled));
  // The stream is over and the device closed: nothing of it is left open.
  host.MarkClosed();
  EXPECT_EQ(OpenHandles(), before);
  const long switches = host.switches.load();
  EXPECT_EQ(o.driver->stop(), ASE_NotPresent);
  EXPECT_EQ(o.driver->disposeBuffers(), ASE_NotPresent);
  EXPECT_EQ(o.driver->start(), ASE_NotPresent);
  EXPECT_EQ(o.driver->outputReady(), ASE_NotPresent);
  EXPECT_EQ(o.driver->init(nullptr), ASIOFalse);
  Sleep(100);
  EXPECT_EQ(host.switches.load(), switches);
  EXPECT_EQ(host.callbacksAfterClose.load(), 0);
  EXPECT_EQ(host.resetRequests.load(), 1);
  EXPECT_EQ(o.driver->Release(), 0u);
  EXPECT_EQ(Library::CanUnloadNow(), S_OK);
  // The listener's window is gone with its notification.
  EXPECT_EQ(FindWindowW(L"ORUASIODeviceListener", nullptr), nullptr);
}

TEST(Removal, AfterReplugANewObjectStreams) {
  Host host;
  Opened o;
  ASSERT_TRUE(OpenWithBuffers(host, &o));
  ASSERT_EQ(o.driver->start(), ASE_OK);
  ASSERT_TRUE(WaitSwitches(host, 5));
  ASSERT_EQ(TqmSimUnplug(), 0u);
  const ULONGLONG pulled = GetTickCount64();
  while (host.resetRequests.load() == 0 && GetTickCount64() - pulled < 5000) Sleep(5);
  ASSERT_EQ(host.resetRequests.load(), 1);
  host.MarkClosed();
  o.driver->Release();

  ASSERT_EQ(TqmSimPlug(), 0u);
  Host again;
  Opened fresh;
  ASSERT_TRUE(OpenWithBuffers(again, &fresh));
  ASSERT_EQ(fresh.driver->start(), ASE_OK);
  EXPECT_TRUE(WaitSwitches(again, 20));
  EXPECT_EQ(fresh.driver->stop(), ASE_OK);
  again.MarkClosed();
  EXPECT_EQ(fresh.driver->disposeBuffers(), ASE_OK);
  fresh.driver->Release();
  EXPECT_EQ(again.callbacksAfterClose.load(), 0);
}

TEST(Stall, PeriodThreadAsksForAResetAndLeavesTheBuffersToTheHost) {
  Host host;
  Opened o;
  ASSERT_TRUE(OpenWithBuffers(host, &o));
  ASSERT_EQ(o.driver->start(), ASE_OK);
  ASSERT_TRUE(WaitSwitches(host, 5));
  // The machine's clock stops: no period comes any more.
  ASSERT_EQ(TqmSimRunFree(0), 0u);
  const ULONGLONG stalled = GetTickCount64();
  while (host.resetRequests.load() == 0 && GetTickCount64() - stalled < 5000) Sleep(5);
  ASSERT_EQ(host.resetRequests.load(), 1) << "no reset request within 5 s";
  const ULONGLONG after = host.resetAt.load() - stalled;
  std::printf("reset request %llu ms into the stall\n", static_cast<unsigned long long>(after));
  ASSERT_EQ(TqmSimRunFree(1), 0u);
  // The host resets: its buffers were still there to dispose of.
  EXPECT_EQ(o.driver->stop(), ASE_OK);
  host.MarkClosed();
  EXPECT_EQ(o.driver->disposeBuffers(), ASE_OK);
  EXPECT_EQ(o.driver->Release(), 0u);
  EXPECT_EQ(host.callbacksAfterClose.load(), 0);
}

}  // namespace
