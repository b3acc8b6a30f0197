// The clock thread (clock.h). All of its state is guarded by the dispatcher's
// lock; work items run with the lock released, at DISPATCH_LEVEL.
#include "platform/kernel/clock.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "platform/kernel/dispatcher.h"
#include "platform/kernel/interleave.h"
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
  if (second_.joinable()) second_.join();
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
  const auto self = std::this_thread::get_id();
  return self == threadId_ || (secondStarted_ && self == secondId_);
}

void Clock::Step(uint32_t milliseconds) {
  if (mode_ != ClockMode::Virtual) {
    std::fprintf(stderr, "Clock::Step: the clock runs in real time\n");
    std::abort();
  }
  PKTHREAD caller = Self().kthread;
  if (OnClockThread() ||
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

Clock::WorkId Clock::AddWork(int64_t first, int64_t period, std::function<void()> fn, int processor) {
  if (processor < 0 || processor >= kProcessors) {
    std::fprintf(stderr, "Clock::AddWork: no processor %d\n", processor);
    std::abort();
  }
  std::lock_guard lock(dispatcher_.mu);
  const WorkId id = nextWorkId_++;
  work_.push_back(Work{id, first, period, std::move(fn), processor});
  if (processor == 1 && !secondStarted_ && !stopping_) {
    secondStarted_ = true;
    // It begins with the instant after the one now running, if any.
    secondDone_ = instant_;
    second_ = std::thread([this] { RunSecondProcessor(); });
    secondId_ = second_.get_id();
  }
  dispatcher_.clockCv.notify_all();
  return id;
}

void Clock::RemoveWork(WorkId id) {
  std::unique_lock lock(dispatcher_.mu);
  std::erase_if(work_, [id](const Work& w) { return w.id == id; });
  const auto self = std::this_thread::get_id();
  for (int p = 0; p < kProcessors; ++p) {
    const bool own = p == 0 ? self == threadId_ : (secondStarted_ && self == secondId_);
    if (!own) dispatcher_.clockCv.wait(lock, [&] { return runningWork_[p] != id; });
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

void Clock::RunDueWorkLocked(std::unique_lock<std::mutex>& lock, int processor) {
  // Due items in due order; an item may add or remove items while it runs.
  for (;;) {
    auto due = work_.end();
    for (auto it = work_.begin(); it != work_.end(); ++it)
      if (it->processor == processor && (due == work_.end() || it->due < due->due)) due = it;
    if (due == work_.end() || due->due > now_) return;
    const WorkId id = due->id;
    std::function<void()> fn = due->fn;
    if (due->period > 0) {
      due->due += due->period;
    } else {
      work_.erase(due);
    }
    runningWork_[processor] = id;
    lock.unlock();
    {
      SetIrql(DISPATCH_LEVEL);
      RoutineCheck check(FrameKind::ClockWork, nullptr, nullptr, 0, nullptr);
      fn();
    }
    SetIrql(PASSIVE_LEVEL);
    lock.lock();
    runningWork_[processor] = 0;
    dispatcher_.clockCv.notify_all();
  }
}

void Clock::RunSecondProcessor() {
  std::unique_lock lock(dispatcher_.mu);
  for (;;) {
    dispatcher_.clockCv.wait(lock, [&] { return stopping_ || secondDone_ != instant_; });
    if (stopping_) return;
    RunDueWorkLocked(lock, 1);
    secondDone_ = instant_;
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
    // Threads whose wait ends at this instant run to their next wait before
    // the instant's work, or after it, never beside it (interleave.h).
    const bool waitersFirst = TimedWaitersFirst(mode_, now_);
    if (waitersFirst) {
      dispatcher_.ExpireLocked(now_);
      if (mode_ == ClockMode::Virtual)
        dispatcher_.clockCv.wait(lock, [&] { return stopping_ || dispatcher_.running == 0; });
    }
    // The instant ends when both processors are done with it, and neither
    // has work due that the other added meanwhile (which gets another round
    // of the same instant).
    for (;;) {
      ++instant_;
      if (secondStarted_) dispatcher_.clockCv.notify_all();
      RunDueWorkLocked(lock, 0);
      if (!secondStarted_) break;
      dispatcher_.clockCv.wait(lock, [&] { return stopping_ || secondDone_ == instant_; });
      if (stopping_ || !std::any_of(work_.begin(), work_.end(), [&](const Work& w) { return w.due <= now_; })) break;
    }
    if (!waitersFirst) dispatcher_.ExpireLocked(now_);
    dispatcher_.ReleaseDeferredLocked();
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
