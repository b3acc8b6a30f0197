// System threads and thread objects.
//
// A system thread is a host thread that runs its start routine at
// PASSIVE_LEVEL, charged to the driver that created it. It counts as running
// for the clock (clock.h) from creation until it ends, except while it is
// blocked in a kernel wait. PsTerminateSystemThread leaves the start routine
// by a jump back to the thread's base frame. When it ends, its thread object
// is signalled. The machine keeps a reference to every thread it started and
// joins them (the ended ones at each new creation, the rest at destruction).
// Host threads that are not system threads (a test's own) get a thread object
// on first use.
#include <new>

#include "platform/kernel/internal.h"

namespace tqm::kernel {

namespace {

void DestroyThread(ObjectHeader* header) {
  auto* thread = static_cast<PKTHREAD>(BodyOf(header));
  thread->~_KTHREAD();
}

PKTHREAD NewThreadObject(bool system) {
  void* body = CreateObject(ObjectType::Thread, sizeof(_KTHREAD), DestroyThread);
  auto* thread = new (body) _KTHREAD();
  KeInitializeEvent(reinterpret_cast<PRKEVENT>(&thread->Header), NotificationEvent, FALSE);
  thread->Header.Reserved = kThreadObject;
  thread->systemThread = system;
  return thread;
}

void ThreadMain(PKTHREAD thread) {
  ThreadState& t = Self();
  t.kthread = thread;
  t.irql = PASSIVE_LEVEL;
  {
    RoutineCheck check(FrameKind::SystemThread, thread->owner, nullptr, 0,
                       reinterpret_cast<const void*>(thread->start));
    const size_t frames = t.frames.size();
#if defined(_WIN32)
    if (setjmp(thread->exit) == 0) thread->start(thread->context);
#else
    if (sigsetjmp(thread->exit, 0) == 0) thread->start(thread->context);
#endif
    t.frames.resize(frames);
  }
  Machine& m = Machine::Current();
  {
    std::lock_guard lock(m.dispatcher().mu);
    thread->Header.SignalState = 1;
    m.dispatcher().KickLocked(&thread->Header);
    m.dispatcher().ThreadEndedLocked();
  }
  t.kthread = nullptr;
  DereferenceObject(thread);
}

}  // namespace

Participation::Participation(Machine& machine) : machine_(machine) {
  PKTHREAD thread = KeGetCurrentThread();
  std::lock_guard lock(machine_.dispatcher().mu);
  thread->participant = true;
  machine_.dispatcher().ThreadStartedLocked();
}

Participation::Participation(Machine& machine, Enrolment& enrolment) : machine_(machine) {
  PKTHREAD thread = KeGetCurrentThread();
  std::lock_guard lock(machine_.dispatcher().mu);
  thread->participant = true;
  if (enrolment.adopted_) {
    machine_.dispatcher().ThreadStartedLocked();
  } else {
    enrolment.adopted_ = true;
  }
}

Enrolment::Enrolment(Machine& machine) : machine_(machine) {
  std::lock_guard lock(machine_.dispatcher().mu);
  machine_.dispatcher().ThreadStartedLocked();
}

Enrolment::~Enrolment() {
  std::lock_guard lock(machine_.dispatcher().mu);
  if (!adopted_) machine_.dispatcher().ThreadEndedLocked();
}

Participation::~Participation() {
  PKTHREAD thread = KeGetCurrentThread();
  std::lock_guard lock(machine_.dispatcher().mu);
  thread->participant = false;
  machine_.dispatcher().ThreadEndedLocked();
}

ThreadState::~ThreadState() {
  if (kthread && !kthread->systemThread) DereferenceObject(kthread);
}

void StartKernelThread(PKSTART_ROUTINE routine, PVOID context) {
  Machine& m = Machine::Current();
  // Joining ended threads is for callers that may block.
  if (Self().irql == PASSIVE_LEVEL) m.ReapThreads();
  PKTHREAD thread = NewThreadObject(true);  // the running thread's reference
  thread->owner = nullptr;
  thread->start = routine;
  thread->context = context;
  ReferenceObject(thread);  // the machine's, until it joins the thread
  {
    std::lock_guard lock(m.dispatcher().mu);
    m.dispatcher().ThreadStartedLocked();
  }
  thread->host = std::thread(ThreadMain, thread);
  m.AdoptThread(thread);
}

}  // namespace tqm::kernel

using namespace tqm::kernel;

extern "C" {

PKTHREAD KeGetCurrentThread(void) {
  ThreadState& t = Self();
  if (!t.kthread) t.kthread = NewThreadObject(false);
  return t.kthread;
}

NTSTATUS PsCreateSystemThread(PHANDLE ThreadHandle, ULONG DesiredAccess,
                              POBJECT_ATTRIBUTES ObjectAttributes, HANDLE ProcessHandle,
                              PCLIENT_ID ClientId, PKSTART_ROUTINE StartRoutine,
                              PVOID StartContext) {
  RequireIrql(PASSIVE_LEVEL, "PsCreateSystemThread", __builtin_return_address(0));
  Machine& m = Machine::Current();
  if (m.ShouldFail(FailurePoint::SystemThread)) return STATUS_INSUFFICIENT_RESOURCES;
  m.ReapThreads();
  PKTHREAD thread = NewThreadObject(true);  // this reference belongs to the running thread
  thread->owner = CurrentDriver();
  thread->start = StartRoutine;
  thread->context = StartContext;
  *ThreadHandle = m.objects().Insert(thread);
  if (ClientId) {
    ClientId->UniqueProcess = reinterpret_cast<HANDLE>(4);
    ClientId->UniqueThread = thread;
  }
  ReferenceObject(thread);  // the machine's, until it joins the thread
  {
    std::lock_guard lock(m.dispatcher().mu);
    m.dispatcher().ThreadStartedLocked();
  }
  const uint64_t stream = InterleaveNextSystemStream();
  thread->host = std::thread([thread, stream] {
    InterleaveAdoptStream(stream);
    ThreadMain(thread);
  });
  m.AdoptThread(thread);
  return STATUS_SUCCESS;
}

NTSTATUS PsTerminateSystemThread(NTSTATUS ExitStatus) {
  PKTHREAD thread = Self().kthread;
  if (!thread || !thread->systemThread) {
    RaiseFault(FaultKind::ObjectMisuse, "PsTerminateSystemThread outside a system thread",
          __builtin_return_address(0));
    return STATUS_INVALID_PARAMETER;
  }
  RequireIrql(PASSIVE_LEVEL, "PsTerminateSystemThread", __builtin_return_address(0));
  thread->exitStatus = ExitStatus;
#if defined(_WIN32)
  longjmp(thread->exit, 1);
#else
  siglongjmp(thread->exit, 1);
#endif
}

}  // extern "C"
