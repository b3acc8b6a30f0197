// The guarded call on the host (driver/guarded_call.h).
//
// Each guarded call records a jump point on a per-thread chain. ExRaiseStatus
// jumps to the innermost one with its status; an access fault (SIGSEGV or
// SIGBUS) inside a guarded call does the same with STATUS_ACCESS_VIOLATION.
// Outside a guarded call a raise is a verifier fault, and a signal goes to
// the handler that was installed before ours. The jump abandons the body's
// frames, so the thread's frame stack is put back to what it was when the
// call began (an IRQL raised or a lock taken inside stays, and the routine
// checks report it).
#include <setjmp.h>
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "driver/guarded_call.h"
#include "platform/kernel/internal.h"

namespace {

struct Guard {
  sigjmp_buf jump;
  Guard* outer;
};

thread_local Guard* innermost = nullptr;
thread_local NTSTATUS raised = STATUS_SUCCESS;
struct sigaction previousSegv, previousBus;

void OnFault(int signal, siginfo_t* info, void* context) {
  if (Guard* guard = innermost) {
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

extern "C" {

NTSTATUS TqmGuardedCall(TqmGuardedBody* body, PVOID context) {
  std::call_once(installed, InstallHandlers);
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
