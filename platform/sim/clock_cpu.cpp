// The clock thread's CPU clock (clock_cpu.h).
#include "platform/sim/clock_cpu.h"

#include <pthread.h>
#include <time.h>

namespace tqm::sim {

struct ClockThreadCpu::State {
  std::atomic<bool> known{false};
  clockid_t clock{};
};

ClockThreadCpu::ClockThreadCpu(kernel::Machine& machine) : state_(std::make_shared<State>()) {
  std::shared_ptr<State> state = state_;
  machine.clock().AddWork(machine.clock().Now(), 0, [state] {
    if (pthread_getcpuclockid(pthread_self(), &state->clock) == 0) state->known = true;
  });
}

std::optional<int64_t> ClockThreadCpu::NowNs() const {
  if (!state_->known) return std::nullopt;
  timespec t;
  if (clock_gettime(state_->clock, &t) != 0) return std::nullopt;
  return int64_t(t.tv_sec) * 1000000000 + t.tv_nsec;
}

}  // namespace tqm::sim
