// The guarded call on the host (driver/guarded_call.h).
//
// Each guarded call records a jump point on a per-thread chain. ExRaiseStatus
// jumps to the innermost one with its status. An access fault (SIGSEGV or
// SIGBUS) inside a guarded call does the same with STATUS_ACCESS_VIOLATION
// only when the address lies in a reservation of the current process (a
// buffer or mapping, live or retired), as Windows catches only user-mode
// faults there: any other address (pool, a guard page, freed or quarantined
// pool, the system process's thread touching anything) is a bug check
// (PAGE_FAULT_IN_NONPAGED_AREA), reported to the verifier; when a test
// records it, the guard is left with STATUS_ACCESS_VIOLATION so the test goes
// on. A fault on a buffer that a single-threaded process holds during its
// kernel call (process.h) is a kernel access that bypassed the checked copy:
// it is reported, the buffer is released and the access runs again. Outside
// a guarded call a raise is a verifier fault, and any other signal goes to
// the handler that was installed before ours. The jump abandons the body's
// frames, so the thread's frame stack is put back to what it was when the
// call began (an IRQL raised or a lock taken inside stays, and the routine
// checks report it).
//
// The same handler pages paged pool back in (pool.h): a fault on a trimmed
// page of paged pool makes the page accessible and runs the access again,
// in or outside a guarded call; at DISPATCH_LEVEL or above the access is
// reported (PagedPoolAtDispatch), as Windows would bug check
// (IRQL_NOT_LESS_OR_EQUAL): when the thread next lowers its IRQL or returns
// from its routine, since the handler may not allocate. The handlers are installed by the first guarded
// call or the first paged pool allocation, whichever comes first.
#include <setjmp.h>
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "driver/guarded_call.h"
#include "platform/kernel/internal.h"
#include "platform/kernel/pool.h"
#include "platform/kernel/process.h"

namespace {

struct Guard {
  sigjmp_buf jump;
  Guard* outer;
};

thread_local Guard* innermost = nullptr;
thread_local NTSTATUS raised = STATUS_SUCCESS;
struct sigaction previousSegv, previousBus;

void OnFault(int signal, siginfo_t* info, void* context) {
  using namespace tqm::kernel;
  const void* address = info->si_addr;
  if (Machine* m = Machine::CurrentOrNull()) {
    bool trimmed = false;
    if (m->pool().PageIn(address, &trimmed)) {
      // Reported when the thread lowers its IRQL or its routine returns:
      // nothing here may allocate. The first such touch is the one told.
      ThreadState& t = Self();
      if (t.irql >= DISPATCH_LEVEL && !t.faultPending) {
        std::snprintf(t.pendingWhat, sizeof t.pendingWhat,
                      "IRQL_NOT_LESS_OR_EQUAL: paged pool at %p touched at IRQL %d (it may be paged out)", address,
                      int(t.irql));
        t.faultPending = true;
      }
      return;
    }
  }
  Process* process = CurrentProcess();
  if (Machine* m = Machine::CurrentOrNull()) {
    for (Process* p : process ? std::vector<Process*>{process} : m->Processes()) {
      if (!p->ReleaseHeldAt(address)) continue;
      char text[160];
      std::snprintf(text, sizeof text, "the kernel touched %p, a buffer of process '%s', outside the checked copy%s",
                    address, p->name().c_str(), p == process ? "" : " and outside its context");
      RaiseFault(FaultKind::UserAddressUnchecked, text, nullptr);
      return;
    }
  }
  if (Guard* guard = innermost) {
    if (!process || !process->Reserves(address)) {
      char text[160];
      std::snprintf(text, sizeof text,
                    "PAGE_FAULT_IN_NONPAGED_AREA: a guarded call touched %p, which is not a user address of %s",
                    address, process ? ("process '" + process->name() + "'").c_str() : "the system process");
      RaiseFault(FaultKind::BugCheck, text, nullptr);
    }
    raised = STATUS_ACCESS_VIOLATION;
    siglongjmp(guard->jump, 1);
  }
  // Not ours: let the previous handler (or the default action) have it when
  // the faulting instruction runs again.
  sigaction(signal, signal == SIGSEGV ? &previousSegv : &previousBus, nullptr);
}

void InstallHandlers() {
  struct sigaction action {};
  action.sa_sigaction = OnFault;
  action.sa_flags = SA_SIGINFO | SA_NODEFER;
  sigemptyset(&action.sa_mask);
  sigaction(SIGSEGV, &action, &previousSegv);
  sigaction(SIGBUS, &action, &previousBus);
}

std::once_flag installed;

}  // namespace

using namespace tqm::kernel;

bool tqm::kernel::InsideGuardedCall() { return innermost != nullptr; }

void tqm::kernel::InstallFaultHandlers() { std::call_once(installed, InstallHandlers); }

extern "C" {

NTSTATUS TqmGuardedCall(TqmGuardedBody* body, PVOID context) {
  InstallFaultHandlers();
  ThreadState& t = Self();
  const size_t frames = t.frames.size();
  Guard guard;
  guard.outer = innermost;
  if (sigsetjmp(guard.jump, 1) == 0) {
    innermost = &guard;
    const NTSTATUS status = body(context);
    innermost = guard.outer;
    return status;
  }
  innermost = guard.outer;
  t.frames.resize(frames);
  return raised;
}

VOID ExRaiseStatus(NTSTATUS Status) {
  if (Guard* guard = innermost) {
    raised = Status;
    siglongjmp(guard->jump, 1);
  }
  char text[64];
  std::snprintf(text, sizeof text, "ExRaiseStatus(0x%08X) outside a guarded call", unsigned(Status));
  RaiseFault(FaultKind::RaiseOutsideGuard, text, __builtin_return_address(0));
  std::abort();
}

}  // extern "C"
