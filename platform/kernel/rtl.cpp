// Counted strings and the probes of user addresses.
//
// A user range must lie inside one buffer or mapping of the current process
// (process.h); the system process has none. A probe that fails raises, so it
// only makes sense inside a guarded call (driver/guarded_call.h); a probe
// outside one means the access after it is unprotected, and the verifier
// says so.
#include <cstdio>
#include <cwchar>

#include "platform/kernel/internal.h"
#include "platform/kernel/process.h"

namespace {

// The last range this thread probed: the copy that follows the probe inside
// the same guarded call reaches it through a remote process's connection, or
// with a single-threaded local process's held buffer opened for it. A copy
// consumes it.
struct RemoteProbe {
  tqm::kernel::Process* process;
  uintptr_t start;
  size_t bytes;
  bool write;
};
thread_local RemoteProbe lastRemoteProbe{};

void Probe(const void* address, SIZE_T length, ULONG alignment, bool write, const char* name, const void* caller) {
  using namespace tqm::kernel;
  if (!InsideGuardedCall()) {
    char text[128];
    std::snprintf(text, sizeof text, "%s(%p, %zu) outside a guarded call: the access that follows it is unchecked",
                  name, address, size_t(length));
    RaiseFault(FaultKind::UserAddressUnchecked, text, caller);
  }
  if (length == 0) return;
  const auto start = reinterpret_cast<uintptr_t>(address);
  if (alignment > 1 && (start & (alignment - 1)) != 0) ExRaiseStatus(STATUS_DATATYPE_MISALIGNMENT);
  Process* process = CurrentProcess();
  if (process && process->remote()) {
    if (!process->remote()->Accessible(start, length, write)) ExRaiseStatus(STATUS_ACCESS_VIOLATION);
    lastRemoteProbe = RemoteProbe{process, start, length, write};
    return;
  }
  if (!process || !process->Contains(address, length)) ExRaiseStatus(STATUS_ACCESS_VIOLATION);
  lastRemoteProbe = RemoteProbe{process, start, length, write};
}

bool InProbe(const RemoteProbe& p, const void* address, size_t bytes) {
  const auto at = reinterpret_cast<uintptr_t>(address);
  return at >= p.start && at - p.start <= p.bytes && bytes <= p.bytes - (at - p.start);
}

}  // namespace

using namespace tqm::kernel;

extern "C" {

VOID RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString) {
  DestinationString->Buffer = const_cast<PWSTR>(SourceString);
  if (!SourceString) {
    DestinationString->Length = DestinationString->MaximumLength = 0;
    return;
  }
  const size_t bytes = wcslen(SourceString) * sizeof(WCHAR);
  DestinationString->Length = USHORT(bytes);
  DestinationString->MaximumLength = USHORT(bytes + sizeof(WCHAR));
}

// Strings the kernel handed out (a registered interface's name) live in pool.
VOID RtlFreeUnicodeString(PUNICODE_STRING UnicodeString) {
  if (UnicodeString->Buffer) ExFreePool(UnicodeString->Buffer);
  UnicodeString->Buffer = nullptr;
  UnicodeString->Length = UnicodeString->MaximumLength = 0;
}

// The number of leading bytes that are equal.
SIZE_T RtlCompareMemory(const VOID* Source1, const VOID* Source2, SIZE_T Length) {
  const auto* a = static_cast<const unsigned char*>(Source1);
  const auto* b = static_cast<const unsigned char*>(Source2);
  SIZE_T same = 0;
  while (same < Length && a[same] == b[same]) ++same;
  return same;
}

void TqmRtlCopyMemory(void* Destination, const void* Source, size_t Length) {
  RemoteProbe& probe = lastRemoteProbe;
  if (probe.process && Length && probe.process == CurrentProcess()) {
    RemoteAddressSpace* remote = probe.process->remote();
    const RemoteProbe used = probe;
    if (!remote) {
      if (InProbe(used, used.write ? Destination : Source, Length)) {
        probe = RemoteProbe{};
        used.process->CopyChecked(Destination, Source, Length);
        return;
      }
      memcpy(Destination, Source, Length);
      return;
    }
    if (used.write && InProbe(used, Destination, Length)) {
      probe = RemoteProbe{};
      if (!remote->Write(reinterpret_cast<uintptr_t>(Destination), Source, Length))
        ExRaiseStatus(STATUS_ACCESS_VIOLATION);
      return;
    }
    if (!used.write && InProbe(used, Source, Length)) {
      probe = RemoteProbe{};
      if (!remote->Read(reinterpret_cast<uintptr_t>(Source), Destination, Length))
        ExRaiseStatus(STATUS_ACCESS_VIOLATION);
      return;
    }
  }
  memcpy(Destination, Source, Length);
}

VOID ProbeForRead(const VOID* Address, SIZE_T Length, ULONG Alignment) {
  Probe(Address, Length, Alignment, false, "ProbeForRead", __builtin_return_address(0));
}

VOID ProbeForWrite(PVOID Address, SIZE_T Length, ULONG Alignment) {
  Probe(Address, Length, Alignment, true, "ProbeForWrite", __builtin_return_address(0));
}

}  // extern "C"
