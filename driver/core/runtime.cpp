// The driver's C++ runtime: pool-backed allocation for driver objects and the
// few symbols the compiler expects from a runtime library. The kernel image has
// no C++ library; in the host build the program's own library supplies the
// global operators and only PoolObject's are ours.
#include "driver/kernel.h"

void* PoolObject::operator new(PoolSize size, ULONG tag) noexcept {
  return ExAllocatePoolWithTag(NonPagedPool, size, tag);
}

void PoolObject::operator delete(void* block) noexcept {
  if (block) ExFreePool(block);
}

void PoolObject::operator delete(void* block, ULONG) noexcept {
  if (block) ExFreePool(block);
}

#if defined(TQM_KERNEL_IMAGE)
// Deleting destructors of classes without their own operator delete refer to
// these. Every driver class derives from PoolObject, so they only return pool.
void operator delete(void* block) noexcept {
  if (block) ExFreePool(block);
}
void operator delete(void* block, PoolSize) noexcept {
  if (block) ExFreePool(block);
}

// A pure virtual call is a driver bug with no way to continue; stop the machine
// with a code that names it rather than run through a null slot.
extern "C" void __cxa_pure_virtual() {
  KeBugCheckEx(0xE2 /* MANUALLY_INITIATED_CRASH */, 0x54514D, 0x50565243 /* "PVRC" */, 0, 0);
}
#endif
