// The named end-to-end runs of tqm27sim, each a test, and the hundred
// plug/stream/unplug cycles.
#include <gtest/gtest.h>

#include "platform/sim/scenarios.h"

namespace tqm::sim {
namespace {

TEST(SystemScenario, EveryScenarioPasses) {
  for (const ScenarioInfo& info : Scenarios()) {
    SCOPED_TRACE(info.name);
    const ScenarioResult result = info.run();
    for (const std::string& failure : result.failures) ADD_FAILURE() << failure;
    EXPECT_TRUE(result.pass) << ScenarioText(info, result);
    EXPECT_FALSE(result.figures.empty()) << "a scenario reports what it measured";
  }
}

TEST(SystemScenario, AHundredPlugStreamUnplugCyclesLeakNothing) {
  const ScenarioResult result = RunPlugCycles(100);
  for (const std::string& failure : result.failures) ADD_FAILURE() << failure;
  EXPECT_TRUE(result.pass);
  for (const auto& [name, value] : result.figures) {
    if (name == "cycles completed" || name == "cycles bit-exact") {
      EXPECT_EQ(value, "100") << name;
    }
  }
}

}  // namespace
}  // namespace tqm::sim
