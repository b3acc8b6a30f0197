// Events, waits, stalls and the passive-level locks (fast mutexes and
// shared/exclusive resources), all on the dispatcher (dispatcher.h): their
// states are read and changed only under its lock, and every blocking path
// goes through Dispatcher::Wait so that the clock sees who is blocked.
#include <map>
#include <set>

#include "platform/kernel/clock.h"
#include "platform/kernel/internal.h"

using namespace tqm::kernel;

namespace {

// 2026-01-01 00:00 UTC in 100 ns units since 1601: the machine's boot time.
constexpr int64_t kBootSystemTime = 134116992000000000LL;

bool Tracked() {
  PKTHREAD thread = Self().kthread;
  return thread && (thread->systemThread || thread->participant);
}

// The deadline of a kernel timeout: negative is relative, positive absolute
// system time, zero a poll; null waits without end.
int64_t DeadlineOf(const LARGE_INTEGER* timeout, int64_t now) {
  if (!timeout) return kNoDeadline;
  if (timeout->QuadPart <= 0) return now - timeout->QuadPart;
  return timeout->QuadPart - kBootSystemTime;
}

std::function<bool()> TakeSignal(DISPATCHER_HEADER* header) {
  return [header] {
    if (header->SignalState <= 0) return false;
    if (header->Type == kSynchronizationObject) header->SignalState = 0;
    return true;
  };
}

NTSTATUS WaitOn(const void* key, std::function<bool()> ready, const LARGE_INTEGER* timeout) {
  Machine& m = Machine::Current();
  std::unique_lock lock(m.dispatcher().mu);
  const int64_t now = m.clock().NowLocked();
  const int64_t deadline = DeadlineOf(timeout, now);
  if (deadline <= now) {
    return ready && ready() ? STATUS_SUCCESS : STATUS_TIMEOUT;
  }
  return m.dispatcher().Wait(lock, key, std::move(ready), deadline, Tracked());
}

// Blocks until the clock passes now + units (a stall or a delay).
void Sleep(int64_t units) {
  if (units <= 0) return;
  Machine& m = Machine::Current();
  if (m.clock().OnClockThread()) {
    // The clock's own work busy-waits: time passes with nothing else due run.
    m.clock().AdvanceFromClockThread(units);
    return;
  }
  std::unique_lock lock(m.dispatcher().mu);
  m.dispatcher().Wait(lock, nullptr, nullptr, m.clock().NowLocked() + units, Tracked());
}

}  // namespace

extern "C" {

VOID KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State) {
  Event->Header.Type = Type == NotificationEvent ? kNotificationObject : kSynchronizationObject;
  Event->Header.Signalling = 0;
  Event->Header.Size = sizeof(KEVENT);
  Event->Header.Reserved = 0;
  Event->Header.SignalState = State ? 1 : 0;
  Event->Header.WaitListHead.Flink = Event->Header.WaitListHead.Blink = &Event->Header.WaitListHead;
}

LONG KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait) {
  RequireIrql(DISPATCH_LEVEL, "KeSetEvent", __builtin_return_address(0));
  Dispatcher& d = Machine::Current().dispatcher();
  LONG previous;
  // An event that stands for a real one outside (the simulator's Win32
  // events) is also signalled there. Everything is read before the waiters
  // are released: a woken waiter may free the event at once (Windows allows
  // that, the dispatcher lock covers the whole call), so nothing of it is
  // touched afterwards. A hooked event is kept alive by its holder's reference.
  void (*onSignal)(void*) = nullptr;
  void* context = nullptr;
  {
    std::lock_guard lock(d.mu);
    if (Event->Header.Reserved == kSignalHookedEvent) {
      auto* hooked = reinterpret_cast<EventObject*>(Event);
      if (hooked->hookBeforeRelease) {
        hooked->onSignal(hooked->context);
      } else {
        onSignal = hooked->onSignal;
        context = hooked->context;
      }
    }
    previous = Event->Header.SignalState;
    Event->Header.SignalState = 1;
    d.KickLocked(&Event->Header);
  }
  if (onSignal) onSignal(context);
  InterleavePoint(InterleaveAt::SetEvent);
  return previous;
}

VOID KeClearEvent(PRKEVENT Event) {
  RequireIrql(DISPATCH_LEVEL, "KeClearEvent", __builtin_return_address(0));
  Dispatcher& d = Machine::Current().dispatcher();
  std::lock_guard lock(d.mu);
  Event->Header.SignalState = 0;
}

LONG KeResetEvent(PRKEVENT Event) {
  RequireIrql(DISPATCH_LEVEL, "KeResetEvent", __builtin_return_address(0));
  Dispatcher& d = Machine::Current().dispatcher();
  std::lock_guard lock(d.mu);
  const LONG previous = Event->Header.SignalState;
  Event->Header.SignalState = 0;
  return previous;
}

LONG KeReadStateEvent(PRKEVENT Event) {
  RequireIrql(DISPATCH_LEVEL, "KeReadStateEvent", __builtin_return_address(0));
  Dispatcher& d = Machine::Current().dispatcher();
  std::lock_guard lock(d.mu);
  return Event->Header.SignalState;
}

NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                               BOOLEAN Alertable, PLARGE_INTEGER Timeout) {
  const void* caller = __builtin_return_address(0);
  const KIRQL irql = Self().irql;
  if (irql > DISPATCH_LEVEL || (irql == DISPATCH_LEVEL && (!Timeout || Timeout->QuadPart != 0))) {
    RaiseFault(FaultKind::WaitAtDispatchLevel,
          std::string("KeWaitForSingleObject at IRQL ") + std::to_string(irql) +
              (Timeout ? " with a timeout of " + std::to_string(Timeout->QuadPart) + " x 100 ns"
                       : " without a timeout"),
          caller);
  }
  auto* header = static_cast<DISPATCHER_HEADER*>(Object);
  const NTSTATUS status = WaitOn(header, TakeSignal(header), Timeout);
  // A driver that waited for its system thread's end may unload (threads.cpp).
  if (status == STATUS_SUCCESS) {
    if (header->Reserved == kThreadObject) static_cast<PKTHREAD>(Object)->waited = true;
  }
  return status;
}

NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                PLARGE_INTEGER Interval) {
  RequireIrql(APC_LEVEL, "KeDelayExecutionThread", __builtin_return_address(0));
  WaitOn(nullptr, nullptr, Interval);
  return STATUS_SUCCESS;
}

VOID KeStallExecutionProcessor(ULONG MicroSeconds) { Sleep(int64_t(MicroSeconds) * 10); }

ULONGLONG KeQueryInterruptTime(void) { return ULONGLONG(Machine::Current().clock().Now()); }

VOID KeQuerySystemTime(PLARGE_INTEGER CurrentTime) {
  CurrentTime->QuadPart = kBootSystemTime + Machine::Current().clock().Now();
}

// There are no asynchronous procedure calls on this machine, so a critical
// region has nothing to hold off; its depth is kept so that acquiring a
// resource outside one (where a suspend APC could freeze its owner) faults.
VOID KeEnterCriticalRegion(void) { ++Self().criticalRegion; }
VOID KeLeaveCriticalRegion(void) {
  if (Self().criticalRegion == 0) {
    RaiseFault(FaultKind::SpinLockMisuse, "KeLeaveCriticalRegion without KeEnterCriticalRegion",
               __builtin_return_address(0));
    return;
  }
  --Self().criticalRegion;
}

// ---- fast mutexes ----------------------------------------------------------------

VOID ExInitializeFastMutex(PFAST_MUTEX FastMutex) {
  FastMutex->Count = 1;
  FastMutex->Owner = nullptr;
  FastMutex->Contention = 0;
  FastMutex->OldIrql = PASSIVE_LEVEL;
  KeInitializeEvent(&FastMutex->Event, SynchronizationEvent, FALSE);
}

VOID ExAcquireFastMutex(PFAST_MUTEX FastMutex) {
  const void* caller = __builtin_return_address(0);
  RequireIrql(APC_LEVEL, "ExAcquireFastMutex", caller);
  PKTHREAD me = KeGetCurrentThread();
  Machine& m = Machine::Current();
  {
    std::unique_lock lock(m.dispatcher().mu);
    if (FastMutex->Owner == me) {
      lock.unlock();
      RaiseFault(FaultKind::SpinLockMisuse, "fast mutex acquired again by its owner", caller);
      return;
    }
    auto take = [FastMutex] {
      if (FastMutex->Count != 1) return false;
      FastMutex->Count = 0;
      return true;
    };
    if (!take()) {
      ++FastMutex->Contention;
      m.dispatcher().Wait(lock, FastMutex, take, kNoDeadline, Tracked());
    }
    FastMutex->Owner = me;
    FastMutex->OldIrql = Self().irql;
  }
  Self().irql = APC_LEVEL;
  NoteLockAcquired(FastMutex, "fast mutex", caller);
}

VOID ExReleaseFastMutex(PFAST_MUTEX FastMutex) {
  // Released where it was acquired: at APC_LEVEL, which the acquire raised to.
  if (Self().irql != APC_LEVEL) {
    RaiseFault(FaultKind::IrqlTooHigh,
               "ExReleaseFastMutex called at IRQL " + std::to_string(Self().irql) + " (APC_LEVEL required)",
               __builtin_return_address(0));
  }
  Machine& m = Machine::Current();
  KIRQL old;
  {
    std::lock_guard lock(m.dispatcher().mu);
    if (FastMutex->Owner != KeGetCurrentThread()) {
      RaiseFault(FaultKind::SpinLockMisuse, "fast mutex released by a thread that does not own it",
            __builtin_return_address(0));
      return;
    }
    old = KIRQL(FastMutex->OldIrql);
    FastMutex->Owner = nullptr;
    FastMutex->Count = 1;
    m.dispatcher().KickLocked(FastMutex);
  }
  NoteLockReleased(FastMutex);
  Self().irql = old;
  InterleavePoint(InterleaveAt::LockRelease);
}

// ---- shared/exclusive resources ------------------------------------------------------

static std::map<PERESOURCE, std::multiset<PKTHREAD>>& SharedHolders();
static std::map<PERESOURCE, ULONG>& ExclusiveWaiters();

NTSTATUS ExInitializeResourceLite(PERESOURCE Resource) {
  RequireIrql(DISPATCH_LEVEL, "ExInitializeResourceLite", __builtin_return_address(0));
  {
    std::lock_guard lock(Machine::Current().dispatcher().mu);
    SharedHolders().erase(Resource);
    ExclusiveWaiters().erase(Resource);
  }
  memset(Resource, 0, sizeof(*Resource));
  KeInitializeEvent(&Resource->Gate, NotificationEvent, FALSE);
  return STATUS_SUCCESS;
}

// Shared holders by resource, so that a holder's recursive shared request is
// granted while an exclusive waiter keeps new sharers out. Under the
// dispatcher lock.
static BOOLEAN TakeResource(PERESOURCE r, BOOLEAN wait, bool exclusive);

static std::map<PERESOURCE, std::multiset<PKTHREAD>>& SharedHolders() {
  static std::map<PERESOURCE, std::multiset<PKTHREAD>> holders;
  return holders;
}

// Exclusive requests waiting, by resource; new sharers queue behind them.
static std::map<PERESOURCE, ULONG>& ExclusiveWaiters() {
  static std::map<PERESOURCE, ULONG> waiters;
  return waiters;
}

static BOOLEAN AcquireResource(PERESOURCE r, BOOLEAN wait, bool exclusive, const void* caller) {
  const char* name = exclusive ? "ExAcquireResourceExclusiveLite" : "ExAcquireResourceSharedLite";
  RequireIrql(APC_LEVEL, name, caller);
  if (Self().irql < APC_LEVEL && Self().criticalRegion == 0) {
    RaiseFault(FaultKind::CriticalRegionMissing,
               std::string(name) + " with normal kernel APCs enabled (no KeEnterCriticalRegion)", caller);
  }
  const BOOLEAN taken = TakeResource(r, wait, exclusive);
  if (taken) NoteLockAcquired(r, "resource", caller);
  return taken;
}

static BOOLEAN TakeResource(PERESOURCE r, BOOLEAN wait, bool exclusive) {
  PKTHREAD me = KeGetCurrentThread();
  Machine& m = Machine::Current();
  std::unique_lock lock(m.dispatcher().mu);
  std::function<bool()> take;
  if (exclusive) {
    take = [r, me] {
      if (r->ActiveCount == 0) {
        r->Flag |= ResourceOwnedExclusive;
        r->OwnerThread = me;
        r->ActiveCount = 1;
        return true;
      }
      if ((r->Flag & ResourceOwnedExclusive) && r->OwnerThread == me) {
        r->ActiveCount = r->ActiveCount + 1;
        return true;
      }
      return false;
    };
  } else {
    // The exclusive owner may also acquire shared: that nests its ownership.
    // A thread that already shares it gets it again; anyone else waits while
    // an exclusive request is queued, so writers are not starved.
    take = [r, me] {
      auto& holders = SharedHolders()[r];
      const bool nests = r->OwnerThread == me || holders.count(me) != 0;
      auto waiting = ExclusiveWaiters().find(r);
      const bool writerQueued = waiting != ExclusiveWaiters().end() && waiting->second != 0;
      if (nests || (!(r->Flag & ResourceOwnedExclusive) && !writerQueued)) {
        r->ActiveCount = r->ActiveCount + 1;
        if (r->OwnerThread != me) holders.insert(me);
        return true;
      }
      return false;
    };
  }
  if (take()) return TRUE;
  if (!wait) return FALSE;
  ++r->ContentionCount;
  if (exclusive) ++ExclusiveWaiters()[r];
  m.dispatcher().Wait(lock, r, take, kNoDeadline, Tracked());
  if (exclusive) {
    if (--ExclusiveWaiters()[r] == 0) ExclusiveWaiters().erase(r);
    m.dispatcher().KickLocked(r);
  }
  return TRUE;
}

BOOLEAN ExAcquireResourceSharedLite(PERESOURCE Resource, BOOLEAN Wait) {
  return AcquireResource(Resource, Wait, false, __builtin_return_address(0));
}

BOOLEAN ExAcquireResourceExclusiveLite(PERESOURCE Resource, BOOLEAN Wait) {
  return AcquireResource(Resource, Wait, true, __builtin_return_address(0));
}

VOID ExReleaseResourceLite(PERESOURCE Resource) {
  const void* caller = __builtin_return_address(0);
  RequireIrql(DISPATCH_LEVEL, "ExReleaseResourceLite", caller);
  Machine& m = Machine::Current();
  std::unique_lock lock(m.dispatcher().mu);
  if (Resource->ActiveCount <= 0 ||
      ((Resource->Flag & ResourceOwnedExclusive) && Resource->OwnerThread != KeGetCurrentThread())) {
    RaiseFault(FaultKind::SpinLockMisuse, "resource released by a thread that does not hold it", caller);
    return;
  }
  Resource->ActiveCount = Resource->ActiveCount - 1;
  if (Resource->OwnerThread != KeGetCurrentThread()) {
    auto it = SharedHolders().find(Resource);
    if (it != SharedHolders().end()) {
      auto holder = it->second.find(KeGetCurrentThread());
      if (holder != it->second.end()) it->second.erase(holder);
      if (it->second.empty()) SharedHolders().erase(it);
    }
  }
  if (Resource->ActiveCount == 0) {
    Resource->Flag &= ~ResourceOwnedExclusive;
    Resource->OwnerThread = nullptr;
  }
  m.dispatcher().KickLocked(Resource);
  lock.unlock();
  NoteLockReleased(Resource);
  InterleavePoint(InterleaveAt::LockRelease);
}

NTSTATUS ExDeleteResourceLite(PERESOURCE Resource) {
  RequireIrql(DISPATCH_LEVEL, "ExDeleteResourceLite", __builtin_return_address(0));
  Machine& m = Machine::Current();
  std::lock_guard lock(m.dispatcher().mu);
  if (Resource->ActiveCount != 0) {
    RaiseFault(FaultKind::ObjectMisuse, "resource deleted while it is held", __builtin_return_address(0));
  }
  SharedHolders().erase(Resource);
  ExclusiveWaiters().erase(Resource);
  ForgetLocks(Resource, sizeof *Resource);
  return STATUS_SUCCESS;
}

}  // extern "C"
