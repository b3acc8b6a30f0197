// Counted strings and the probes of user addresses.
//
// A user range must lie below the highest user address and outside the
// kernel's pool; the simulated processes to come narrow this to their own
// mappings. A probe that fails raises, so it only makes sense inside a
// guarded call (driver/guarded_call.h).
#include <cwchar>

#include "platform/kernel/internal.h"
#include "platform/kernel/pool.h"

namespace {
constexpr uintptr_t kUserProbeAddress = 0x7FFFFFFF0000ULL;

void Probe(const void* address, SIZE_T length, ULONG alignment) {
  if (length == 0) return;
  const auto start = reinterpret_cast<uintptr_t>(address);
  if (alignment > 1 && (start & (alignment - 1)) != 0) ExRaiseStatus(STATUS_DATATYPE_MISALIGNMENT);
  const uintptr_t end = start + length;
  if (end < start || end > kUserProbeAddress ||
      tqm::kernel::Machine::Current().pool().Contains(address, 1)) {
    ExRaiseStatus(STATUS_ACCESS_VIOLATION);
  }
}
}  // namespace

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

VOID ProbeForRead(const VOID* Address, SIZE_T Length, ULONG Alignment) {
  Probe(Address, Length, Alignment);
}

VOID ProbeForWrite(PVOID Address, SIZE_T Length, ULONG Alignment) {
  Probe(Address, Length, Alignment);
}

}  // extern "C"
