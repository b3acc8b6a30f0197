// Seeded interleavings: a test mode in which a thread may be held back at
// each kernel entry, so that clock work, system threads and client threads
// meet in orders a plain run rarely shows.
//
// At IoCallDriver and IoCompleteRequest (on entry) and after a lock release
// (spin lock, fast mutex, resource) or KeSetEvent, the thread draws from the
// seed, its stream and the number of entries it has made so far, and goes on,
// yields, or sleeps a few microseconds to a couple of milliseconds of wall
// time. The draw is a pure function (InterleaveDraw): the same seed gives
// every stream the same sequence of delays in every run.
//
// What that does and does not promise:
// - A stream is a thread's role and its ordinal in the machine: system
//   threads by creation order, the clock's processors and other threads
//   (tests, clients) by the order in which they first entered one of these
//   points. System threads keep their stream from run to run as long as they
//   are created in the same order; the clock's two processors and
//   concurrently started client threads may swap streams.
// - The delays are wall time. Which interleaving they produce depends on the
//   host's scheduler, so a seed explores a family of interleavings; it does
//   not replay one exactly. A failure found with a seed is likely, not
//   certain, to come back with it.
// - Virtual time is untouched: the clock still waits for every system thread
//   and participant before it advances, so a virtual run computes the same
//   results with or without the mode, and under any seed. The mode shakes
//   only the order of what runs within one instant, and every order of
//   real-time runs.
//
// Off by default. TQM_INTERLEAVE_SEED in the environment (read when the
// first machine is built) or SetInterleaveSeed turns it on; when off, each
// point costs one relaxed atomic load.
#pragma once

#include <atomic>
#include <cstdint>

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
