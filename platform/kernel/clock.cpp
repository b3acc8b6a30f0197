// The clock thread (clock.h). All of its state is guarded by the dispatcher's
// lock; work items run with the lock released, at DISPATCH_LEVEL.
#include "platform/kernel/clock.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "platform/kernel/dispatcher.h"
#include "platform/kernel/internal.h"
#include "platform/kernel/os.h"

namespace tqm::kernel {

namespace {
int64_t NextMillisecond(int64_t now) {
  return (now / Clock::kUnitsPerMillisecond + 1) * Clock::kUnitsPerMillisecond;
}
}  // namespace

Clock::Clock(Dispatcher& dispatcher, ClockMode mode)
    : dispatcher_(dispatcher), mode_(mode), wallStart_(std::chrono::steady_clock::now()) {
  thread_ = std::thread([this] { Run(); });
  std::lock_guard lock(dispatcher_.mu);
  threadId_ = thread_.get_id();
}

Clock::~Clock() { Stop(); }

void Clock::Stop() {
  {
    std::lock_guard lock(dispatcher_.mu);
    stopping_ = true;
    dispatcher_.clockCv.notify_all();
  }
  if (thread_.joinable()) thread_.join();
}

int64_t Clock::Now() const {
  std::lock_guard lock(dispatcher_.mu);
  return NowLocked();
}

int64_t Clock::NowLocked() const {
  if (mode_ == ClockMode::Virtual) return now_;
  // In real time the clock is the wall clock; now_ is the last instant whose
  // work is done.
  const auto elapsed = std::chrono::steady_clock::now() - wallStart_;
  return std::max(now_, int64_t(std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count() / 100));
}

bool Clock::OnClockThread() const {
  std::lock_guard lock(dispatcher_.mu);
  return std::this_thread::get_id() == threadId_;
}

void Clock::Step(uint32_t milliseconds) {
  if (mode_ != ClockMode::Virtual) {
    std::fprintf(stderr, "Clock::Step: the clock runs in real time\n");
    std::abort();
  }
  PKTHREAD caller = Self().kthread;
  if (std::this_thread::get_id() == threadId_ ||
      (caller && (caller->systemThread || caller->participant))) {
    // The clock waits for these threads and itself: stepping from one of them
    // could never return.
    std::fprintf(stderr, "Clock::Step: called from the clock thread, a system thread or a participant\n");
    std::abort();
  }
  std::unique_lock lock(dispatcher_.mu);
  target_ = std::max(target_, now_) + int64_t(milliseconds) * kUnitsPerMillisecond;
  const int64_t target = target_;
  dispatcher_.clockCv.notify_all();
  dispatcher_.clockCv.wait(lock, [&] {
    return stopping_ || (now_ >= target && !busy_ && dispatcher_.running == 0);
  });
}

void Clock::RunFree(bool on) {
  std::lock_guard lock(dispatcher_.mu);
  freeRun_ = on;
  if (!on) target_ = now_;
  dispatcher_.clockCv.notify_all();
}

Clock::Hold::Hold(Clock& clock) : clock_(clock) {
  std::lock_guard lock(clock_.dispatcher_.mu);
  ++clock_.holds_;
}

Clock::Hold::~Hold() {
  std::lock_guard lock(clock_.dispatcher_.mu);
  --clock_.holds_;
  clock_.dispatcher_.clockCv.notify_all();
}

Clock::WorkId Clock::AddWork(int64_t first, int64_t period, std::function<void()> fn) {
  std::lock_guard lock(dispatcher_.mu);
  const WorkId id = nextWorkId_++;
  work_.push_back(Work{id, first, period, std::move(fn)});
  dispatcher_.clockCv.notify_all();
  return id;
}

void Clock::RemoveWork(WorkId id) {
  std::unique_lock lock(dispatcher_.mu);
  std::erase_if(work_, [id](const Work& w) { return w.id == id; });
  if (std::this_thread::get_id() != threadId_) {
    dispatcher_.clockCv.wait(lock, [&] { return runningWork_ != id; });
  }
}

void Clock::AdvanceFromClockThread(int64_t units) {
  if (mode_ == ClockMode::Real) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::nanoseconds(units * 100);
    while (std::chrono::steady_clock::now() < until) std::this_thread::yield();
    return;
  }
  std::lock_guard lock(dispatcher_.mu);
  now_ += units;
  dispatcher_.ExpireLocked(now_);
}

bool Clock::MayAdvanceLocked() const {
  if (holds_ > 0) return false;
  if (mode_ == ClockMode::Real) return true;
  return dispatcher_.running == 0 && (freeRun_ || now_ < target_);
}

int64_t Clock::NextInstantLocked() const {
  int64_t next = std::min(NextMillisecond(now_), dispatcher_.NextDeadlineLocked());
  for (const Work& w : work_) next = std::min(next, w.due);
  if (mode_ == ClockMode::Virtual && !freeRun_) next = std::min(next, target_);
  return std::max(next, now_);
}

void Clock::RunDueWorkLocked(std::unique_lock<std::mutex>& lock) {
  // Due items in due order; an item may add or remove items while it runs.
  for (;;) {
    auto due = std::min_element(work_.begin(), work_.end(),
                                [](const Work& a, const Work& b) { return a.due < b.due; });
    if (due == work_.end() || due->due > now_) return;
    const WorkId id = due->id;
    std::function<void()> fn = due->fn;
    if (due->period > 0) {
      due->due += due->period;
    } else {
      work_.erase(due);
    }
    runningWork_ = id;
    lock.unlock();
    {
      SetIrql(DISPATCH_LEVEL);
      RoutineCheck check(FrameKind::ClockWork, nullptr, nullptr, 0, nullptr);
      fn();
    }
    SetIrql(PASSIVE_LEVEL);
    lock.lock();
    runningWork_ = 0;
    dispatcher_.clockCv.notify_all();
  }
}

Clock::Priority Clock::RealTimePriority() const {
  std::lock_guard lock(dispatcher_.mu);
  return priority_;
}

void Clock::Run() {
  if (mode_ == ClockMode::Real) {
    Priority priority;
    priority.known = true;
    priority.realTime = os::RaiseToRealTime(kRealTimeLevel, &priority.refusal);
    std::lock_guard lock(dispatcher_.mu);
    priority_ = std::move(priority);
  }
  std::unique_lock lock(dispatcher_.mu);
  while (!stopping_) {
    if (!MayAdvanceLocked()) {
      dispatcher_.clockCv.wait(lock);
      continue;
    }
    const int64_t next = NextInstantLocked();
    if (mode_ == ClockMode::Real) {
      const auto wallDue = wallStart_ + std::chrono::nanoseconds(next * 100);
      const auto wallNow = std::chrono::steady_clock::now();
      if (wallNow < wallDue) {
        dispatcher_.clockCv.wait_until(lock, wallDue);
        continue;
      }
      lateness_.RecordNs(std::chrono::duration_cast<std::chrono::nanoseconds>(wallNow - wallDue).count());
    }
    busy_ = true;
    now_ = next;
    dispatcher_.ExpireLocked(now_);
    RunDueWorkLocked(lock);
    busy_ = false;
    dispatcher_.clockCv.notify_all();
    if (freeRun_) {
      // Running free, the clock must still let others take the lock.
      lock.unlock();
      std::this_thread::yield();
      lock.lock();
    }
  }
}

}  // namespace tqm::kernel
