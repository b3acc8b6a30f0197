// The companion's controls racing its own period callbacks: the clock runs
// free on its thread, so the callbacks fill and copy halves while other
// threads switch sources, take what was recorded and move the endpoints.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "companion/companion.h"
#include "tests/driver/core/driver_fixture.h"

namespace tqm::companion {
namespace {

class CompanionConcurrentTest : public tqmdrv::testing::DriverTest {
 protected:
  CompanionConcurrentTest() { RegisterDriver(machine_); }
};

TEST_F(CompanionConcurrentTest, ControlsRaceThePeriodCallbacks) {
  ASSERT_NE(Plug(), nullptr);
  const auto children = machine_.ChildDevices(Pdo());
  ASSERT_EQ(children.size(), 1u);
  Companion* companion = FindCompanion(children[0]);
  ASSERT_NE(companion, nullptr);
  ASSERT_EQ(companion->Play(Source::Tone(1000, -6)), STATUS_SUCCESS);
  ASSERT_EQ(companion->StartRecord(), STATUS_SUCCESS);

  std::atomic<bool> done{false};
  std::atomic<size_t> notified{0};
  companion->AddObserver([&](Flow, const EndpointState&) { ++notified; });
  std::thread sources([&] {
    for (int i = 0; !done.load(); ++i) {
      EXPECT_EQ(companion->Play(i % 2 ? Source::Tone(440 + i, -12) : Source::Silence()), STATUS_SUCCESS);
      std::this_thread::yield();
    }
  });
  size_t recorded = 0;
  for (int i = 0; i < 200; ++i) {
    recorded += companion->TakeRecorded().size();
    EXPECT_TRUE(companion->SetVolume(i % 2 ? Flow::Render : Flow::Capture, -0.5 * (i % 40), -0.5 * (i % 30)));
    if (i % 50 == 49) {
      companion->StopRecord();
      ASSERT_EQ(companion->StartRecord(), STATUS_SUCCESS) << "round " << i;
    }
    std::this_thread::yield();
  }
  while (companion->RecordPeriods() < 4) std::this_thread::yield();
  done = true;
  sources.join();
  companion->StopPlay();
  companion->StopRecord();
  recorded += companion->TakeRecorded().size();
  EXPECT_GT(recorded, 0u);
  EXPECT_EQ(notified.load(), 200u);
}

}  // namespace
}  // namespace tqm::companion
