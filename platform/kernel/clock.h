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
//   the simulator's stream client, and so does processor 1's thread
//   (RealTimePriority says whether both got it)
//   and records how late it ran each instant after its wall-clock due time
//   (Lateness), so that a missed period can be told apart: machine, clock
//   or driver.
//
// Two processors: work runs on processor 0 (the clock thread) unless it is
// added for processor 1, whose own thread starts with its first item. Each
// instant runs in rounds. A round takes every item due by then, for both
// processors, in due order (items due at the same instant in the order they
// were added); each processor runs its share at DISPATCH_LEVEL while the
// other runs its own, and the round ends when both are done. An item added
// during a round for the current instant (by either processor, for either)
// runs in the next round of the same instant; the clock advances when a
// round finds nothing due.
//
// What orders what, for the work and for ThreadSanitizer alike: everything
// before a round happens before each of its items, and every item of a
// round happens before anything after the round, so instants (and rounds)
// are ordered as a bus frame's DPCs follow the frame before. Within a round
// the two processors share nothing of the clock's: each picks its items
// under a lock of its own, processor 1 reports the round's end through
// another lock taken only then, and reading the time takes no lock. So two
// items of one round on different processors are unordered unless they
// order themselves (a spin lock, an interlocked operation, a kernel object),
// and a race between them is a race. On a real machine DPCs of one frame on
// two processors are unordered in the same way; that the next frame's
// DPCs see all of this frame's is stricter than a real bus, which does not
// wait for a slow DPC, but it is what keeps a virtual run repeatable.
// RemoveWork and AddWork from an item do synchronise with the processor
// concerned, as cancelling a timer or queueing a DPC does.
//
// Work items due at the same instant run in the order they were added.
// Work items are registered with AddWork (one-shot or periodic) and removed
// with RemoveWork, which waits for a running item to finish unless called
// from the clock thread itself.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
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
  // Runs fn at DISPATCH_LEVEL on `processor` when the clock reaches `first`
  // (absolute, 100 ns units), then every `period` units when period > 0. A
  // `first` already reached runs in the current instant's next round (or the
  // next instant's first, from outside the clock's work).
  static constexpr int kProcessors = 2;
  WorkId AddWork(int64_t first, int64_t period, std::function<void()> fn, int processor = 0);
  void RemoveWork(WorkId id);

  // The clock thread or the second processor's (takes no lock).
  bool OnClockThread() const;
  // The processor the calling thread is (0 or 1), or -1 for any other thread.
  int CurrentProcessor() const;
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
  // Moves every item due by now into its processor's round, in due order, and
  // reschedules or drops it in work_; false when nothing is due.
  bool TakeRoundLocked();
  // Runs processor p's round; called by that processor without the
  // dispatcher's lock.
  void RunRound(int processor);
  void RunSecondProcessor();

  struct Work {
    WorkId id;
    int64_t due;
    int64_t period;
    std::function<void()> fn;
    int processor;
  };
  struct Item {
    WorkId id;
    std::function<void()> fn;
    bool removed = false;
  };
  // One processor's round. mu guards round, next, running and stop; only the
  // processor itself, the clock thread handing it a round, and RemoveWork
  // take it. cv wakes processor 1 for a round and RemoveWork for a finished
  // item.
  struct Processor {
    std::mutex mu;
    std::condition_variable cv;
    std::vector<Item> round;
    size_t next = 0;
    WorkId running = 0;
    uint64_t given = 0;  // rounds handed to it (processor 1)
    bool stop = false;
    // Processor 1's end of a round, taken only there and by the clock thread
    // waiting for it.
    std::mutex doneMu;
    std::condition_variable doneCv;
    uint64_t done = 0;
    bool exited = false;
  };

  Dispatcher& dispatcher_;
  const ClockMode mode_;
  // Written under the dispatcher's lock; read without it (Now() and
  // KeQueryInterruptTime from any thread take no lock, as reading the
  // interrupt time on Windows does not).
  std::atomic<int64_t> now_{0};
  // Guarded by the dispatcher's lock:
  int64_t target_ = 0;
  bool freeRun_ = false;
  int holds_ = 0;
  bool busy_ = false;
  bool stopping_ = false;
  bool secondStarted_ = false;
  std::thread second_;
  WorkId nextWorkId_ = 1;
  std::vector<Work> work_;
  Processor processors_[kProcessors];
  std::chrono::steady_clock::time_point wallStart_;
  Priority priority_;
  Priority secondPriority_;  // processor 1's, once its thread runs
  LatencyHistogram lateness_;  // recorded by the clock thread only
  std::thread thread_;
};

}  // namespace tqm::kernel
