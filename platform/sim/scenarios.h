// Named end-to-end runs of the whole kernel side, each ending with a pass or
// fail and its figures: what `tqm27sim scenario NAME` runs and what the system
// tests check. Every scenario boots its own machine in virtual time, so its
// figures are the same on every run.
#pragma once

#include <string>
#include <vector>

namespace tqm::sim {

struct ScenarioResult {
  bool pass = false;
  // "name: value" lines, in the order they were measured.
  std::vector<std::pair<std::string, std::string>> figures;
  std::vector<std::string> failures;  // what did not hold
};

struct ScenarioInfo {
  const char* name;
  const char* what;
  ScenarioResult (*run)();
};

const std::vector<ScenarioInfo>& Scenarios();
const ScenarioInfo* FindScenario(const std::string& name);

// Plug, stream (virtual time, loopback), unplug `cycles` times on one machine;
// fails on any leak of the driver's pool, processes' handles or mappings.
ScenarioResult RunPlugCycles(unsigned cycles);

std::string ScenarioText(const ScenarioInfo& info, const ScenarioResult& result);
std::string ScenarioJson(const ScenarioInfo& info, const ScenarioResult& result);

}  // namespace tqm::sim
