// IRQL per thread, spin locks, and the per-thread frames that say which driver
// routine a thread is running.
//
// A spin lock is the KSPIN_LOCK word itself: 0 when free, the owner's thread
// tag while held, so that a recursive acquire (a deadlock on a real machine)
// and a release by a non-owner are reported instead of hanging. Acquiring
// raises to DISPATCH_LEVEL; the per-thread count of held locks lets the
// verifier catch a routine that returns with one still held.

#include <algorithm>
#include <cstdio>
#include <set>

#include "platform/kernel/internal.h"
#include "platform/kernel/pool.h"

namespace tqm::kernel {

namespace {
std::atomic<ULONG_PTR> nextLockTag{1};
thread_local ThreadState self;

const char* FrameName(FrameKind kind) {
  switch (kind) {
    case FrameKind::DriverEntry: return "DriverEntry";
    case FrameKind::DriverUnload: return "DriverUnload";
    case FrameKind::Dispatch: return "dispatch routine";
    case FrameKind::Completion: return "completion routine";
    case FrameKind::Cancel: return "cancel routine";
    case FrameKind::SystemThread: return "system thread";
    case FrameKind::ClockWork: return "clock work";
    case FrameKind::InterfaceCall: return "interface routine";
  }
  return "routine";
}
}  // namespace

ThreadState& Self() {
  if (self.lockTag == 0) self.lockTag = nextLockTag.fetch_add(1);
  return self;
}

PDRIVER_OBJECT CurrentDriver() {
  ThreadState& t = Self();
  for (auto it = t.frames.rbegin(); it != t.frames.rend(); ++it) {
    if (it->driver) return it->driver;
  }
  return nullptr;
}

void SetIrql(KIRQL irql) {
  ThreadState& t = Self();
  const KIRQL old = t.irql;
  if (irql < old) ReportPendingFault();
  t.irql = irql;
  if (irql >= DISPATCH_LEVEL && old < DISPATCH_LEVEL) EnteredDispatchLevel();
}

void ReportPendingFault() {
  ThreadState& t = Self();
  if (!t.faultPending) return;
  t.faultPending = false;
  RaiseFault(FaultKind::PagedPoolAtDispatch, t.pendingWhat, nullptr);
}

void EnteredDispatchLevel() {
  if (Machine* m = Machine::CurrentOrNull()) m->pool().Trim();
}

#if defined(__SANITIZE_THREAD__)
extern "C" void AnnotateIgnoreSyncBegin(const char* file, int line);
extern "C" void AnnotateIgnoreSyncEnd(const char* file, int line);
extern "C" void AnnotateIgnoreReadsBegin(const char* file, int line);
extern "C" void AnnotateIgnoreReadsEnd(const char* file, int line);
extern "C" void AnnotateIgnoreWritesBegin(const char* file, int line);
extern "C" void AnnotateIgnoreWritesEnd(const char* file, int line);
#endif

namespace {
// The lock-order graph is the verifier's, not the machine's: its mutex must
// not order the threads that pass through it, or ThreadSanitizer would take
// every two nested acquisitions (and every pool free) for synchronised and
// miss the races between them. It neither sees the graph's mutex nor checks
// the graph's memory.
class GraphSection {
 public:
  explicit GraphSection(std::mutex& mu) : mu_(mu) {
#if defined(__SANITIZE_THREAD__)
    AnnotateIgnoreSyncBegin(__FILE__, __LINE__);
    AnnotateIgnoreReadsBegin(__FILE__, __LINE__);
    AnnotateIgnoreWritesBegin(__FILE__, __LINE__);
#endif
    mu_.lock();
  }
  ~GraphSection() {
    mu_.unlock();
#if defined(__SANITIZE_THREAD__)
    AnnotateIgnoreWritesEnd(__FILE__, __LINE__);
    AnnotateIgnoreReadsEnd(__FILE__, __LINE__);
    AnnotateIgnoreSyncEnd(__FILE__, __LINE__);
#endif
  }
  GraphSection(const GraphSection&) = delete;
  GraphSection& operator=(const GraphSection&) = delete;

 private:
  std::mutex& mu_;
};

struct LockGraph {
  std::mutex mu;
  std::map<const void*, std::set<const void*>> after;  // lock -> locks taken while it was held
  std::set<std::pair<const void*, const void*>> reported;
};
LockGraph& Graph() {
  static LockGraph graph;
  return graph;
}

bool ReachesLocked(LockGraph& g, const void* from, const void* to) {
  std::vector<const void*> work{from};
  std::set<const void*> seen;
  while (!work.empty()) {
    const void* at = work.back();
    work.pop_back();
    if (at == to) return true;
    if (!seen.insert(at).second) continue;
    auto it = g.after.find(at);
    if (it != g.after.end()) work.insert(work.end(), it->second.begin(), it->second.end());
  }
  return false;
}
}  // namespace

void NoteLockAcquired(const void* lock, const char* kind, const void* caller) {
  ThreadState& t = Self();
  const bool recursive = std::find(t.locksHeld.begin(), t.locksHeld.end(), lock) != t.locksHeld.end();
  std::string inversion;
  if (!recursive && !t.locksHeld.empty()) {
    LockGraph& g = Graph();
    GraphSection guard(g.mu);
    for (const void* held : t.locksHeld) {
      if (held == lock) continue;
      if (ReachesLocked(g, lock, held) && g.reported.insert({held, lock}).second) {
        char text[160];
        std::snprintf(text, sizeof text, "%s %p taken while holding %p, which was earlier taken while holding it", kind,
                      lock, held);
        inversion = text;
      }
      g.after[held].insert(lock);
    }
  }
  t.locksHeld.push_back(lock);
  if (!inversion.empty())
    RaiseFault(FaultKind::LockOrderInversion, inversion + " (the two paths can deadlock)", caller);
}

void NoteLockReleased(const void* lock) {
  ThreadState& t = Self();
  for (auto it = t.locksHeld.rbegin(); it != t.locksHeld.rend(); ++it) {
    if (*it != lock) continue;
    t.locksHeld.erase(std::next(it).base());
    return;
  }
}

void ForgetLocks(const void* begin, size_t bytes) {
  LockGraph& g = Graph();
  GraphSection guard(g.mu);
  if (g.after.empty()) return;
  const auto from = reinterpret_cast<uintptr_t>(begin);
  auto inside = [from, bytes](const void* p) {
    const auto at = reinterpret_cast<uintptr_t>(p);
    return at >= from && at - from < bytes;
  };
  for (auto it = g.after.begin(); it != g.after.end();) {
    if (inside(it->first)) {
      it = g.after.erase(it);
      continue;
    }
    for (auto l = it->second.begin(); l != it->second.end();) l = inside(*l) ? it->second.erase(l) : std::next(l);
    ++it;
  }
  for (auto it = g.reported.begin(); it != g.reported.end();)
    it = inside(it->first) || inside(it->second) ? g.reported.erase(it) : std::next(it);
}

RoutineCheck::RoutineCheck(FrameKind kind, PDRIVER_OBJECT driver, IrpRecord* irp, int level,
                           const void* routine)
    : kind_(kind), routine_(routine) {
  ThreadState& t = Self();
  irqlAfter_ = t.irql;
  spinLocksAfter_ = t.spinLocksHeld;
  locksHeldAfter_ = t.locksHeld.size();
  t.frames.push_back(Frame{kind, driver, irp, level, routine});
}

RoutineCheck::~RoutineCheck() {
  ReportPendingFault();
  ThreadState& t = Self();
  t.frames.pop_back();
  if (t.spinLocksHeld == spinLocksAfter_ && t.irql == irqlAfter_) return;
  std::string name = FrameName(kind_);
  if (routine_) {
    name += ' ';
    name += SymbolName(routine_);
  }
  if (t.spinLocksHeld > spinLocksAfter_) {
    RaiseFault(FaultKind::SpinLockHeldOnReturn,
          name + " returned holding " + std::to_string(t.spinLocksHeld - spinLocksAfter_) +
              " spin lock(s)",
          routine_);
    t.spinLocksHeld = spinLocksAfter_;
    // The kept locks are forgotten by this thread too, so that a later lock
    // at the same address is not taken for a recursive acquire.
    if (t.locksHeld.size() > locksHeldAfter_) t.locksHeld.resize(locksHeldAfter_);
  }
  if (t.irql != irqlAfter_) {
    RaiseFault(FaultKind::IrqlNotRestored,
          name + " returned at IRQL " + std::to_string(t.irql) + ", called at " +
              std::to_string(irqlAfter_),
          routine_);
    t.irql = irqlAfter_;
  }
}

}  // namespace tqm::kernel

using namespace tqm::kernel;

extern "C" {

KIRQL KeGetCurrentIrql(void) { return Self().irql; }

KIRQL KfRaiseIrql(KIRQL NewIrql) {
  ThreadState& t = Self();
  const KIRQL old = t.irql;
  if (NewIrql < old) {
    RaiseFault(FaultKind::IrqlTooHigh,
          "KeRaiseIrql to " + std::to_string(NewIrql) + " from higher IRQL " + std::to_string(old),
          __builtin_return_address(0));
  }
  t.irql = NewIrql;
  if (NewIrql >= DISPATCH_LEVEL && old < DISPATCH_LEVEL) EnteredDispatchLevel();
  return old;
}

VOID TqmPagedCode(void) {
  const void* caller = __builtin_return_address(0);
  const KIRQL irql = Self().irql;
  if (irql <= APC_LEVEL) return;
  RaiseFault(FaultKind::IrqlTooHigh,
             "PAGED_CODE called at IRQL " + std::to_string(irql) + " (pageable code: " + SymbolName(caller) + ")",
             caller);
}

VOID KeLowerIrql(KIRQL NewIrql) {
  ReportPendingFault();
  ThreadState& t = Self();
  if (NewIrql > t.irql) {
    RaiseFault(FaultKind::IrqlTooHigh,
          "KeLowerIrql to " + std::to_string(NewIrql) + " from lower IRQL " +
              std::to_string(t.irql),
          __builtin_return_address(0));
  }
  t.irql = NewIrql;
}

static void AcquireSpinLock(PKSPIN_LOCK lock, const void* caller) {
  ThreadState& t = Self();
  ULONG_PTR expected = 0;
  while (!__atomic_compare_exchange_n(lock, &expected, t.lockTag, false, __ATOMIC_ACQUIRE,
                                      __ATOMIC_RELAXED)) {
    if (expected == t.lockTag) {
      RaiseFault(FaultKind::SpinLockMisuse, "spin lock acquired again by the thread that holds it",
            caller);
      ++t.spinLocksHeld;
      return;
    }
    std::this_thread::yield();
    expected = 0;
  }
  ++t.spinLocksHeld;
  NoteLockAcquired(lock, "spin lock", caller);
}

static void ReleaseSpinLock(PKSPIN_LOCK lock, const void* caller) {
  ThreadState& t = Self();
  if (__atomic_load_n(lock, __ATOMIC_RELAXED) != t.lockTag) {
    RaiseFault(FaultKind::SpinLockMisuse, "spin lock released by a thread that does not hold it",
          caller);
    return;
  }
  __atomic_store_n(lock, ULONG_PTR(0), __ATOMIC_RELEASE);
  --t.spinLocksHeld;
  NoteLockReleased(lock);
}

KIRQL KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK SpinLock) {
  ThreadState& t = Self();
  const void* caller = __builtin_return_address(0);
  RequireIrql(DISPATCH_LEVEL, "KeAcquireSpinLock", caller);
  const KIRQL old = t.irql;
  t.irql = DISPATCH_LEVEL;
  if (old < DISPATCH_LEVEL) EnteredDispatchLevel();
  AcquireSpinLock(SpinLock, caller);
  return old;
}

VOID KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql) {
  ReportPendingFault();
  ReleaseSpinLock(SpinLock, __builtin_return_address(0));
  Self().irql = NewIrql;
  InterleavePoint(InterleaveAt::LockRelease);
}

VOID KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock) {
  const void* caller = __builtin_return_address(0);
  if (Self().irql < DISPATCH_LEVEL) {
    RaiseFault(FaultKind::SpinLockMisuse, "KeAcquireSpinLockAtDpcLevel below DISPATCH_LEVEL", caller);
  }
  AcquireSpinLock(SpinLock, caller);
}

VOID KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock) {
  ReportPendingFault();
  ReleaseSpinLock(SpinLock, __builtin_return_address(0));
  InterleavePoint(InterleaveAt::LockRelease);
}

}  // extern "C"
