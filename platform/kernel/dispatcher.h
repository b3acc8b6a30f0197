// The dispatcher: every blocking wait of the machine, and the count of system
// threads that are running.
//
// One lock (mu) guards the waiters, the dispatcher objects' signal states and
// the clock's state, as the kernel's dispatcher lock does. A wait is a
// WaitBlock on the waiter's stack: a key (the object waited on), a readiness
// test evaluated under mu (it also consumes what it takes: a synchronization
// event's signal, a free mutex), an optional deadline in clock units, and a
// condition variable the waiter sleeps on.
//
// Whoever makes a waiter runnable marks it satisfied under mu: Kick(key) after
// a signal, the clock when it passes a deadline. For a system thread the waker
// also counts it running again before it wakes, so the clock never sees the
// machine quiet while a woken thread has yet to run (see clock.h).
#pragma once

#include <climits>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <list>
#include <mutex>

#include <wdm.h>

namespace tqm::kernel {

constexpr int64_t kNoDeadline = INT64_MAX;

class Dispatcher {
 public:
  struct WaitBlock {
    const void* key = nullptr;
    std::function<bool()> ready;
    int64_t deadline = kNoDeadline;
    bool tracked = false;
    bool satisfied = false;
    bool released = false;  // the waiter may go on (see ReleaseDeferredLocked)
    NTSTATUS status = STATUS_SUCCESS;
    std::condition_variable cv;
  };

  std::mutex mu;
  // Wakes the clock thread and the threads in Clock::Step.
  std::condition_variable clockCv;

  // Blocks the calling thread until ready() holds (tested first) or the clock
  // passes the deadline. Returns STATUS_SUCCESS or STATUS_TIMEOUT.
  NTSTATUS Wait(std::unique_lock<std::mutex>& lock, const void* key, std::function<bool()> ready,
                int64_t deadline, bool tracked);
  // Satisfies, in arrival order, the waiters on key whose test now holds.
  void KickLocked(const void* key);
  // Satisfies every waiter whose deadline is at or before now.
  void ExpireLocked(int64_t now);
  int64_t NextDeadlineLocked() const;
  // Virtual time: a waiter that the clock's work satisfies (a signal from a
  // completion, a deadline passed by a stall) is counted running at once but
  // goes on only when the clock has finished the instant and calls this, as a
  // thread readied by a DPC runs once the DPCs are done: what it does never
  // lands in the middle of the instant's work, so virtual runs repeat.
  void ReleaseDeferredLocked();

  // System threads that are not blocked in a kernel wait.
  int running = 0;
  void ThreadStartedLocked() { ++running; }
  void ThreadEndedLocked();

 private:
  void SatisfyLocked(WaitBlock* block, NTSTATUS status);
  std::list<WaitBlock*> waiters_;
  std::list<WaitBlock*> deferred_;
};

}  // namespace tqm::kernel
