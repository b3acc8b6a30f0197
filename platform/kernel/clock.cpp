// The clock thread (clock.h). Its state is guarded by the dispatcher's lock,
// each processor's round by that processor's own; work items run with neither
// held, at DISPATCH_LEVEL.
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

// Which clock's processor the calling thread is; set once by each processor's
// thread, so that asking takes no lock.
thread_local const Clock* tClock = nullptr;
thread_local int tProcessor = -1;
}  // namespace

Clock::Clock(Dispatcher& dispatcher, ClockMode mode)
    : dispatcher_(dispatcher), mode_(mode), wallStart_(std::chrono::steady_clock::now()) {
  thread_ = std::thread([this] {
    tClock = this;
    tProcessor = 0;
    Run();
  });
}

Clock::~Clock() { Stop(); }

void Clock::Stop() {
  {
    std::lock_guard lock(dispatcher_.mu);
    stopping_ = true;
    dispatcher_.clockCv.notify_all();
  }
  {
    Processor& second = processors_[1];
    std::lock_guard lock(second.mu);
    second.stop = true;
    second.cv.notify_all();
  }
  if (thread_.joinable()) thread_.join();
  if (second_.joinable()) second_.join();
}

int64_t Clock::Now() const { return NowLocked(); }

int64_t Clock::NowLocked() const {
  // Relaxed: the time is a value, not a hand-off; a reader learns nothing
  // else from it (and must not, for ThreadSanitizer's sake).
  const int64_t now = now_.load(std::memory_order_relaxed);
  if (mode_ == ClockMode::Virtual) return now;
  // In real time the clock is the wall clock; now_ is the last instant whose
  // work is done.
  const auto elapsed = std::chrono::steady_clock::now() - wallStart_;
  return std::max(now, int64_t(std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count() / 100));
}

bool Clock::OnClockThread() const { return tClock == this; }

int Clock::CurrentProcessor() const { return tClock == this ? tProcessor : -1; }

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
  target_ = std::max(target_, now_.load()) + int64_t(milliseconds) * kUnitsPerMillisecond;
  const int64_t target = target_;
  dispatcher_.clockCv.notify_all();
  dispatcher_.clockCv.wait(lock, [&] {
    return stopping_ || (now_ >= target && !busy_ && dispatcher_.running == 0);
  });
}

void Clock::RunFree(bool on) {
  std::lock_guard lock(dispatcher_.mu);
  freeRun_ = on;
  if (!on) target_ = now_.load();
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
    second_ = std::thread([this] {
      tClock = this;
      tProcessor = 1;
      RunSecondProcessor();
    });
  }
  dispatcher_.clockCv.notify_all();
  return id;
}

void Clock::RemoveWork(WorkId id) {
  {
    std::lock_guard lock(dispatcher_.mu);
    std::erase_if(work_, [id](const Work& w) { return w.id == id; });
  }
  // A round may hold it already: it is skipped there, and waited for when it
  // runs (not by its own processor, which is running it or is between items).
  const int self = CurrentProcessor();
  for (int p = 0; p < kProcessors; ++p) {
    Processor& proc = processors_[p];
    std::unique_lock lock(proc.mu);
    for (size_t i = proc.next; i < proc.round.size(); ++i)
      if (proc.round[i].id == id) proc.round[i].removed = true;
    if (p != self) proc.cv.wait(lock, [&] { return proc.running != id; });
  }
}

void Clock::AdvanceFromClockThread(int64_t units) {
  if (mode_ == ClockMode::Real) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::nanoseconds(units * 100);
    while (std::chrono::steady_clock::now() < until) std::this_thread::yield();
    return;
  }
  std::lock_guard lock(dispatcher_.mu);
  now_.store(now_.load() + units, std::memory_order_relaxed);
  dispatcher_.ExpireLocked(now_.load());
}

bool Clock::MayAdvanceLocked() const {
  if (holds_ > 0) return false;
  if (mode_ == ClockMode::Real) return true;
  return dispatcher_.running == 0 && (freeRun_ || now_.load() < target_);
}

int64_t Clock::NextInstantLocked() const {
  const int64_t now = now_.load();
  int64_t next = std::min(NextMillisecond(now), dispatcher_.NextDeadlineLocked());
  for (const Work& w : work_) next = std::min(next, w.due);
  if (mode_ == ClockMode::Virtual && !freeRun_) next = std::min(next, target_);
  return std::max(next, now);
}

bool Clock::TakeRoundLocked() {
  const int64_t now = now_.load();
  // Due items in due order; at the same due time, in the order they were
  // added (work_ keeps that order).
  std::vector<size_t> due;
  for (size_t i = 0; i < work_.size(); ++i)
    if (work_[i].due <= now) due.push_back(i);
  if (due.empty()) return false;
  std::stable_sort(due.begin(), due.end(), [&](size_t a, size_t b) { return work_[a].due < work_[b].due; });
  for (size_t i : due) {
    Processor& proc = processors_[work_[i].processor];
    std::lock_guard lock(proc.mu);
    proc.round.push_back(Item{work_[i].id, work_[i].fn});
  }
  for (size_t i : due)
    if (work_[i].period > 0) work_[i].due += work_[i].period;
  std::erase_if(work_, [now](const Work& w) { return w.period <= 0 && w.due <= now; });
  return true;
}

void Clock::RunRound(int processor) {
  Processor& proc = processors_[processor];
  for (;;) {
    std::function<void()> fn;
    {
      std::lock_guard lock(proc.mu);
      while (proc.next < proc.round.size() && proc.round[proc.next].removed) ++proc.next;
      if (proc.next == proc.round.size()) {
        proc.round.clear();
        proc.next = 0;
        return;
      }
      Item& item = proc.round[proc.next++];
      proc.running = item.id;
      fn = std::move(item.fn);
    }
    {
      SetIrql(DISPATCH_LEVEL);
      RoutineCheck check(FrameKind::ClockWork, nullptr, nullptr, 0, nullptr);
      fn();
    }
    SetIrql(PASSIVE_LEVEL);
    std::lock_guard lock(proc.mu);
    proc.running = 0;
    proc.cv.notify_all();
  }
}

void Clock::RunSecondProcessor() {
  if (mode_ == ClockMode::Real) {
    Priority priority;
    priority.known = true;
    priority.realTime = os::RaiseToRealTime(kRealTimeLevel, &priority.refusal);
    if (!priority.realTime) priority.refusal = "processor 1: " + priority.refusal;
    std::lock_guard lock(dispatcher_.mu);
    secondPriority_ = std::move(priority);
  }
  Processor& proc = processors_[1];
  uint64_t seen = 0;
  for (;;) {
    {
      std::unique_lock lock(proc.mu);
      proc.cv.wait(lock, [&] { return proc.stop || proc.given != seen; });
      if (proc.stop) {
        // A round handed over as the clock stops is dropped.
        std::lock_guard doneLock(proc.doneMu);
        proc.exited = true;
        proc.doneCv.notify_all();
        return;
      }
      seen = proc.given;
    }
    RunRound(1);
    std::lock_guard lock(proc.doneMu);
    proc.done = seen;
    proc.doneCv.notify_all();
  }
}

Clock::Priority Clock::RealTimePriority() const {
  std::lock_guard lock(dispatcher_.mu);
  if (!secondPriority_.known || secondPriority_.realTime || !priority_.realTime) return priority_;
  return secondPriority_;
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
    now_.store(next, std::memory_order_relaxed);
    // Threads whose wait ends at this instant run to their next wait before
    // the instant's work, or after it, never beside it (interleave.h); the
    // threads the work readies go on once it is done.
    const bool waitersFirst = TimedWaitersFirst(mode_, next);
    if (waitersFirst) {
      dispatcher_.ExpireLocked(next);
      if (mode_ == ClockMode::Virtual)
        dispatcher_.clockCv.wait(lock, [&] { return stopping_ || dispatcher_.running == 0; });
    }
    // The instant's rounds, until one finds nothing due (work added during a
    // round for the instant gets the next).
    while (!stopping_ && TakeRoundLocked()) {
      Processor& second = processors_[1];
      uint64_t given = 0;
      {
        std::lock_guard secondLock(second.mu);
        if (!second.round.empty()) {
          given = ++second.given;
          second.cv.notify_all();
        }
      }
      lock.unlock();
      RunRound(0);
      if (given) {
        std::unique_lock doneLock(second.doneMu);
        second.doneCv.wait(doneLock, [&] { return second.done == given || second.exited; });
      }
      lock.lock();
    }
    if (!waitersFirst) dispatcher_.ExpireLocked(next);
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
