// Seeded interleavings: a test mode in which a thread may be held back at
// each kernel entry, so that clock work, system threads and client threads
// meet in orders a plain run rarely shows; and the order of each virtual
// instant.
//
// Kernel entries: at IoCallDriver and IoCompleteRequest (on entry) and after
// a lock release (spin lock, fast mutex, resource) or KeSetEvent, the thread
// draws from the seed, its stream and the number of entries it has made so
// far, and goes on, yields, or sleeps 5 us to 1.5 ms of wall time. The draw
// is a pure function (InterleaveDraw): the same seed gives every stream the
// same sequence of delays in every run. A stream is a thread's role and its
// ordinal in the machine: system threads by creation order, the clock's
// processors and other threads (tests, clients) by the order in which they
// first passed a point, so those may swap streams between runs.
//
// Instants (virtual time): threads whose timed wait ends at an instant run to
// their next wait either before the instant's work or after it, never beside
// it; threads that the instant's work readies (a completion's KeSetEvent)
// run once the work is done (dispatcher.h). Off, timed waiters always go
// first; on, the seed and the instant pick the order, so the same seed gives
// the same order at every instant.
//
// What a seed guarantees:
// - The orders of the instants: exactly, in every virtual run.
// - The delays at kernel entries: the same sequence per stream, but in wall
//   time, so the interleaving they produce is the host scheduler's. A seed
//   explores a family of interleavings; a failure it finds is likely, not
//   certain, to come back with it. In virtual time these delays matter only
//   where threads let go at the same instant race each other, so a seeded
//   virtual run usually repeats and may not; off, a virtual run repeats.
//
// Off by default. TQM_INTERLEAVE_SEED in the environment (read when the
// first machine is built) or SetInterleaveSeed turns it on; when off, each
// point costs one relaxed atomic load.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/kernel/clock.h"

namespace tqm::kernel {

enum class InterleaveAt { CallDriver, CompleteRequest, SetEvent, LockRelease };

struct InterleaveDelay {
  enum Kind { None, Yield, Sleep } kind = None;
  uint32_t microseconds = 0;  // for Sleep
};

// The delay of a stream's entry-th point (counted from 0) under seed.
InterleaveDelay InterleaveDraw(uint64_t seed, uint64_t stream, uint64_t entry);

// Turns the mode on with seed, or off.
void SetInterleaveSeed(uint64_t seed);
void ClearInterleaveSeed();
// The seed when on.
bool InterleaveSeed(uint64_t* seed);

// The calling thread's stream and the points it has passed in this machine
// while the mode was on (0 and 0 before its first).
uint64_t InterleaveStreamOfThisThread();
uint64_t InterleaveEntriesOfThisThread();

// The order of an instant in virtual time: whether the threads whose timed
// wait ends at `instant` run to their next wait before the instant's work
// (true) or after it. Always true when the mode is off or in real time
// (where the woken threads run beside the work, as before); drawn from the
// seed and the instant when on, so a seed replays its orders exactly.
bool TimedWaitersFirst(ClockMode mode, int64_t instant);

// True while the calling thread runs the clock's work in virtual time: the
// waiters it satisfies go on when the instant is done (dispatcher.h).
bool DeferWakes();

// A new machine: every stream starts again (machine.cpp). The first call
// reads TQM_INTERLEAVE_SEED.
void InterleaveNewMachine();
// A system thread about to be created takes the next system stream; the new
// host thread adopts it before it runs (threads.cpp).
uint64_t InterleaveNextSystemStream();
void InterleaveAdoptStream(uint64_t stream);

namespace interleave_detail {
extern std::atomic<bool> on;
void At(InterleaveAt at);
}  // namespace interleave_detail

// A point where the calling thread may be held back.
inline void InterleavePoint(InterleaveAt at) {
  if (interleave_detail::on.load(std::memory_order_relaxed)) interleave_detail::At(at);
}

}  // namespace tqm::kernel
