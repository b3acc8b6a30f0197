// The machine's single clock.
//
// Time is kept in 100 ns units since the machine booted, like the kernel's
// interrupt time. One clock thread owns it and performs all work that falls
// due (USB frames, the transfers they complete, timer expiries) at
// DISPATCH_LEVEL, one item at a time, in due order. The thread also ends the
// waits whose deadline has passed: a thread that stalls (KeStallExecutionProcessor)
// or waits with a timeout blocks until the clock passes its deadline, in both
// modes, so a 500 x 100 us stall lasts 50 ms of machine time in either.
//
// - Real time: the thread is paced by the wall clock (soaks, demos).
// - Virtual time: time advances only while a test steps it or lets it run
//   free. Before each advance the clock waits until every system thread of the
//   machine is blocked in a kernel wait, so that a thread woken at one instant
//   has reacted before the next: virtual runs are deterministic. The clock
//   advances from instant to instant: the next due work item, the next wait
//   deadline, or the next millisecond boundary, whichever comes first.
//   Step(n) returns once the work of those n milliseconds is done and the
//   system threads are quiet again.
// - Holds: while any Hold is alive the clock does not advance, in either mode
//   (a participant that must finish its period work first holds it).
//
// - Real time: the thread plays the host controller and its DPCs, which
//   preempt every thread of the host: it asks for a real-time priority above
//   the simulator's stream client (RealTimePriority says whether it got it)
//   and records how late it ran each instant after its wall-clock due time
//   (Lateness), so that a missed period can be told apart: machine, clock
//   or driver.
//
// Two processors: work runs on processor 0 (the clock thread) unless it is
// added for processor 1, whose own thread starts with its first item. At each
// instant both processors run their due items at DISPATCH_LEVEL, each in due
// order, at the same time as each other; the clock advances only when both are
// done, so an instant's work still ends before the next instant's begins.
// An item one processor adds for the other, due at the current instant, runs
// in that instant (the two take another round of it). Items of one instant on
// different processors overlap, and nothing orders them; the two processors do synchronise at instant
// boundaries (through the dispatcher's lock), so work of different instants is ordered.
//
// Work items due at the same instant run in the order they were added.
// Work items are registered with AddWork (one-shot or periodic) and removed
// with RemoveWork, which waits for a running item to finish unless called
// from the clock thread itself.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/kernel/latency_histogram.h"

namespace tqm::kernel {

class Dispatcher;

enum class ClockMode { Real, Virtual };

class Clock {
 public:
  static constexpr int64_t kUnitsPerMillisecond = 10000;  // 100 ns units

  Clock(Dispatcher& dispatcher, ClockMode mode);
  ~Clock();
  Clock(const Clock&) = delete;
  Clock& operator=(const Clock&) = delete;

  ClockMode mode() const { return mode_; }
  int64_t Now() const;
  // The same, for a caller that holds the dispatcher's lock.
  int64_t NowLocked() const;

  // Virtual time: advances n milliseconds and returns when their work is done.
  // Called by a test or the simulator, never by a system thread or clock work.
  void Step(uint32_t milliseconds);
  // Virtual time: lets the clock advance on its own as fast as the machine
  // allows (it still waits for system threads at every instant).
  void RunFree(bool on);

  class Hold {
   public:
    explicit Hold(Clock& clock);
    ~Hold();
    Hold(const Hold&) = delete;
    Hold& operator=(const Hold&) = delete;

   private:
    Clock& clock_;
  };

  using WorkId = uint64_t;
  // Runs fn at DISPATCH_LEVEL on the clock thread when the clock reaches
  // `first` (absolute, 100 ns units), then every `period` units when period > 0.
  static constexpr int kProcessors = 2;
  WorkId AddWork(int64_t first, int64_t period, std::function<void()> fn, int processor = 0);
  void RemoveWork(WorkId id);

  // The clock thread or the second processor's.
  bool OnClockThread() const;
  // Time passes on the clock thread itself while its work busy-waits.
  void AdvanceFromClockThread(int64_t units);

  // The real-time priority the thread runs at, above the stream client's
  // (os::RaiseToRealTime levels).
  static constexpr int kRealTimeLevel = 20;
  struct Priority {
    bool known = false;     // the thread has asked (real time only)
    bool realTime = false;  // and got it
    std::string refusal;    // the host's reason when it did not
  };
  Priority RealTimePriority() const;
  // Real time: how late each instant ran after its wall-clock due time.
  const LatencyHistogram& Lateness() const { return lateness_; }
  // Starts the record afresh (a run's first instant); a value recorded at
  // the same moment may be kept or lost.
  void ResetLateness() { lateness_.Reset(); }

  // Stops the thread; pending work is dropped.
  void Stop();

 private:
  friend class Dispatcher;
  void Run();
  bool MayAdvanceLocked() const;
  int64_t NextInstantLocked() const;
  // Runs the instant's due items of one processor.
  void RunDueWorkLocked(std::unique_lock<std::mutex>& lock, int processor);
  void RunSecondProcessor();

  struct Work {
    WorkId id;
    int64_t due;
    int64_t period;
    std::function<void()> fn;
    int processor;
  };

  Dispatcher& dispatcher_;
  const ClockMode mode_;
  // Guarded by the dispatcher's lock:
  int64_t now_ = 0;
  int64_t target_ = 0;
  bool freeRun_ = false;
  int holds_ = 0;
  bool busy_ = false;
  bool stopping_ = false;
  WorkId runningWork_[kProcessors] = {};
  // The second processor: the instants it was given and has finished.
  uint64_t instant_ = 0;
  uint64_t secondDone_ = 0;
  bool secondStarted_ = false;
  std::thread second_;
  std::thread::id secondId_;
  WorkId nextWorkId_ = 1;
  std::vector<Work> work_;
  std::chrono::steady_clock::time_point wallStart_;
  Priority priority_;
  LatencyHistogram lateness_;  // recorded by the clock thread only
  std::thread thread_;
  std::thread::id threadId_;
};

}  // namespace tqm::kernel
