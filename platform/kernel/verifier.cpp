// The verifier's reporting: what went wrong, and where (the innermost driver
// routine the thread is running, and the caller of the kernel service).
#include <cstdio>
#include <cstdlib>

#include "platform/kernel/internal.h"
#include "platform/kernel/os.h"

namespace tqm::kernel {

const char* FaultKindName(FaultKind kind) {
  switch (kind) {
    case FaultKind::WaitAtDispatchLevel: return "wait at DISPATCH_LEVEL";
    case FaultKind::IrqlTooHigh: return "IRQL too high";
    case FaultKind::IrqlNotRestored: return "IRQL not restored";
    case FaultKind::SpinLockHeldOnReturn: return "spin lock held on return";
    case FaultKind::SpinLockMisuse: return "lock misuse";
    case FaultKind::IrpCompletedTwice: return "IRP completed twice";
    case FaultKind::IrpNotOwned: return "IRP completed by a driver that does not own it";
    case FaultKind::PendingNotMarked: return "STATUS_PENDING without IoMarkIrpPending";
    case FaultKind::MarkedButNotPending: return "IoMarkIrpPending without STATUS_PENDING";
    case FaultKind::IrpMisuse: return "IRP misuse";
    case FaultKind::PoolLeakAtUnload: return "pool leaked at unload";
    case FaultKind::PoolMisuse: return "pool misuse";
    case FaultKind::ObjectMisuse: return "object misuse";
    case FaultKind::RaiseOutsideGuard: return "exception outside a guarded call";
    case FaultKind::BugCheck: return "bug check";
    case FaultKind::DeviceDeletedWhileReferenced: return "device deleted while referenced";
    case FaultKind::ObjectReferenceLeak: return "object reference kept past unload";
    case FaultKind::UserMappingMisuse: return "user mapping misuse";
    case FaultKind::UserAddressUnchecked: return "user address reached unchecked";
    case FaultKind::PowerIrpMisuse: return "power IRP misuse";
    case FaultKind::StackLeftAfterRemove: return "device stack left after REMOVE_DEVICE";
    case FaultKind::IrpNotCompleted: return "IRP neither completed nor pending";
    case FaultKind::ResourceLeakAtUnload: return "resources left at unload";
    case FaultKind::LockOrderInversion: return "lock order inversion";
    case FaultKind::CriticalRegionMissing: return "resource acquired outside a critical region";
    case FaultKind::PagedPoolAtDispatch: return "paged pool at DISPATCH_LEVEL";
  }
  return "fault";
}

std::string SymbolName(const void* address) { return os::SymbolName(address); }

std::string DescribeDevice(PDEVICE_OBJECT device) {
  char text[96];
  if (!device) return "no device";
  std::snprintf(text, sizeof text, "device %p (driver %p)", static_cast<void*>(device),
                static_cast<void*>(device->DriverObject));
  return text;
}

std::string Where(const void* caller) {
  std::string where;
  ThreadState& t = Self();
  for (auto it = t.frames.rbegin(); it != t.frames.rend(); ++it) {
    if (it->routine) {
      where = "in " + SymbolName(it->routine);
      break;
    }
  }
  if (caller) where += (where.empty() ? "called from " : ", called from ") + SymbolName(caller);
  return where;
}

void RaiseFault(FaultKind kind, std::string what, const void* caller) {
  Machine* m = Machine::CurrentOrNull();
  std::string where = Where(caller);
  if (m) {
    m->ReportFault(kind, std::move(what), std::move(where));
    return;
  }
  std::fprintf(stderr, "VERIFIER: %s: %s (%s), with no machine\n", FaultKindName(kind),
               what.c_str(), where.c_str());
  std::abort();
}

bool RequireIrql(KIRQL max, const char* service, const void* caller) {
  const KIRQL irql = Self().irql;
  if (irql <= max) return true;
  RaiseFault(FaultKind::IrqlTooHigh,
        std::string(service) + " called at IRQL " + std::to_string(irql) + " (at most " +
            std::to_string(max) + " allowed)",
        caller);
  return false;
}

bool RequireServiceIrql(KIRQL max, const char* service, const void* caller) {
  return RequireIrql(max, service, caller);
}

}  // namespace tqm::kernel

using namespace tqm::kernel;

extern "C" VOID KeBugCheckEx(ULONG BugCheckCode, ULONG_PTR P1, ULONG_PTR P2, ULONG_PTR P3,
                             ULONG_PTR P4) {
  char text[160];
  std::snprintf(text, sizeof text, "KeBugCheckEx(0x%X, 0x%zX, 0x%zX, 0x%zX, 0x%zX)",
                unsigned(BugCheckCode), size_t(P1), size_t(P2), size_t(P3), size_t(P4));
  RaiseFault(FaultKind::BugCheck, text, __builtin_return_address(0));
  // A bug check never returns, even when a test records it.
  std::abort();
}
