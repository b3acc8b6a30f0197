// The CPU time of a machine's clock thread, the thread that runs the bus's
// frame work at DISPATCH_LEVEL: the virtual device's milliseconds and the
// completions of the driver's transfers.
//
// The clock thread is the kernel's own; a one-shot work item run on it learns
// its CPU clock, which any thread may read afterwards. Host builds only.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>

#include "platform/kernel/machine.h"

namespace tqm::sim {

class ClockThreadCpu {
 public:
  // Queues the work item; it runs at the clock's next instant.
  explicit ClockThreadCpu(kernel::Machine& machine);
  // Nanoseconds of CPU the clock thread has used; none before the work item
  // ran or after the thread ended.
  std::optional<int64_t> NowNs() const;

 private:
  struct State;
  std::shared_ptr<State> state_;
};

}  // namespace tqm::sim
