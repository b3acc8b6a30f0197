// Seeded interleavings (interleave.h).
#include "platform/kernel/interleave.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>

#include "platform/kernel/internal.h"

namespace tqm::kernel {

namespace interleave_detail {
std::atomic<bool> on{false};
}  // namespace interleave_detail

namespace {

std::atomic<uint64_t> seed{0};
// Bumped by every new machine; a thread whose record is of an older one
// starts its stream again.
std::atomic<uint64_t> generation{0};
// Ordinals of the streams handed out in the current machine, by role.
enum Role : uint64_t { kSystemThread = 1, kClockProcessor = 2, kOtherThread = 3 };
std::atomic<uint64_t> nextOrdinal[4];

struct Stream {
  uint64_t generation = 0;
  uint64_t id = 0;
  uint64_t entries = 0;
};
thread_local Stream stream;

uint64_t Mix(uint64_t x) {
  x += 0x9E3779B97F4A7C15ULL;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ULL;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBULL;
  return x ^ (x >> 31);
}

uint64_t StreamId(Role role, uint64_t ordinal) { return uint64_t(role) << 32 | ordinal; }

// The stream of a thread that had none in this machine yet.
uint64_t FirstStream() {
  Role role = kOtherThread;
  for (const Frame& frame : Self().frames)
    if (frame.kind == FrameKind::ClockWork) role = kClockProcessor;
  return StreamId(role, nextOrdinal[role].fetch_add(1));
}

}  // namespace

InterleaveDelay InterleaveDraw(uint64_t s, uint64_t streamId, uint64_t entry) {
  const uint64_t r = Mix(Mix(s ^ Mix(streamId)) ^ entry);
  const uint64_t pick = r % 1000;
  const uint64_t spread = r >> 32;
  InterleaveDelay delay;
  // Mostly nothing or a yield; now and then a sleep long enough for another
  // thread to run a whole routine, rarely one that spans frames.
  if (pick < 600) return delay;
  if (pick < 850) {
    delay.kind = InterleaveDelay::Yield;
    return delay;
  }
  delay.kind = InterleaveDelay::Sleep;
  delay.microseconds = pick < 970 ? uint32_t(5 + spread % 96) : uint32_t(200 + spread % 1301);
  return delay;
}

bool TimedWaitersFirst(ClockMode mode, int64_t instant) {
  if (mode != ClockMode::Virtual || !interleave_detail::on.load(std::memory_order_relaxed)) return true;
  return (Mix(Mix(seed.load(std::memory_order_relaxed) ^ 0x636C6F636BULL) ^ uint64_t(instant)) & 1) != 0;
}

bool DeferWakes() {
  bool clockWork = false;
  for (const Frame& frame : Self().frames) clockWork |= frame.kind == FrameKind::ClockWork;
  if (!clockWork) return false;
  Machine* machine = Machine::CurrentOrNull();
  return machine && machine->clock().mode() == ClockMode::Virtual;
}

void SetInterleaveSeed(uint64_t value) {
  seed.store(value);
  interleave_detail::on.store(true);
}

void ClearInterleaveSeed() { interleave_detail::on.store(false); }

bool InterleaveSeed(uint64_t* value) {
  if (!interleave_detail::on.load()) return false;
  *value = seed.load();
  return true;
}

uint64_t InterleaveStreamOfThisThread() {
  return stream.generation == generation.load() ? stream.id : 0;
}

uint64_t InterleaveEntriesOfThisThread() {
  return stream.generation == generation.load() ? stream.entries : 0;
}

void InterleaveNewMachine() {
  static std::once_flag fromEnvironment;
  std::call_once(fromEnvironment, [] {
    const char* text = std::getenv("TQM_INTERLEAVE_SEED");
    if (!text || !*text) return;
    char* end = nullptr;
    const unsigned long long value = std::strtoull(text, &end, 0);
    if (*end) {
      std::fprintf(stderr, "TQM_INTERLEAVE_SEED=%s is not a number\n", text);
      std::abort();
    }
    SetInterleaveSeed(value);
    std::fprintf(stderr, "seeded interleavings: seed %llu\n", value);
  });
  for (auto& ordinal : nextOrdinal) ordinal.store(0);
  generation.fetch_add(1);
}

uint64_t InterleaveNextSystemStream() {
  return StreamId(kSystemThread, nextOrdinal[kSystemThread].fetch_add(1));
}

void InterleaveAdoptStream(uint64_t id) {
  stream = Stream{generation.load(), id, 0};
}

namespace interleave_detail {

void At(InterleaveAt) {
  const uint64_t now = generation.load(std::memory_order_relaxed);
  if (stream.generation != now) stream = Stream{now, FirstStream(), 0};
  const InterleaveDelay delay = InterleaveDraw(seed.load(std::memory_order_relaxed), stream.id, stream.entries++);
  switch (delay.kind) {
    case InterleaveDelay::None:
      break;
    case InterleaveDelay::Yield:
      std::this_thread::yield();
      break;
    case InterleaveDelay::Sleep:
      std::this_thread::sleep_for(std::chrono::microseconds(delay.microseconds));
      break;
  }
}

}  // namespace interleave_detail

}  // namespace tqm::kernel
