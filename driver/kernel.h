// The kernel interfaces every driver file uses, and the driver's own runtime.
//
// In the Windows image (TQM_KERNEL_IMAGE) these are mingw-w64's DDK headers; in
// the host build they are the simulated kernel's headers of the same names and
// signatures. Driver code is the same in both: a name that exists only in the
// stand-in breaks the image build.
//
// Kernel rules for everything under driver/: no exceptions, RTTI or standard
// library; no objects with constructors at namespace scope, no function-local
// statics, no thread_local (nothing runs their initialisers in a kernel);
// frames under 1 KiB; allocation failure is an ordinary status.
#pragma once

#if defined(TQM_KERNEL_IMAGE)
// wdm.h defines these again after mingw's intrinsics header has.
#define __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#define __INTRINSIC_DEFINED_InterlockedBitTestAndReset
#endif

#include <ntddk.h>
#include <wdm.h>

#if defined(TQM_KERNEL_IMAGE)
// mingw-w64's DDK headers leave out the filtered debug print; ntoskrnl exports
// it with this signature.
#ifndef DPFLTR_IHVAUDIO_ID
#define DPFLTR_IHVAUDIO_ID 79
#endif
extern "C" NTSYSAPI ULONG __cdecl DbgPrintEx(ULONG ComponentId, ULONG Level, PCSTR Format, ...);
#endif

// Debug output of the driver: the audio vendor component at level 0.
#define TQM_TRACE(...) DbgPrintEx(DPFLTR_IHVAUDIO_ID, 0, __VA_ARGS__)

// Pool tags as the debugger shows them: the first character is the lowest byte.
constexpr ULONG PoolTag(const char (&text)[5]) {
  return ULONG(UCHAR(text[0])) | ULONG(UCHAR(text[1])) << 8 | ULONG(UCHAR(text[2])) << 16 |
         ULONG(UCHAR(text[3])) << 24;
}

constexpr ULONG kTagAdapter = PoolTag("Oru9");
constexpr ULONG kTagTransferMemory = PoolTag("Oru8");
constexpr ULONG kTagSharedBuffer = PoolTag("Oru2");
constexpr ULONG kTagPnp = PoolTag("Oru3");
constexpr ULONG kTagEngine = PoolTag("PcNw");

// ---- runtime (runtime.cpp) ---------------------------------------------------
//
// Driver objects live in tagged nonpaged pool. A class derives from PoolObject
// and is created with `new (tag) T(...)`: the result is null when the pool is
// exhausted (compiled with -fcheck-new, so no constructor runs on null) and every
// caller checks it. `delete` returns the block to the pool. There is no untagged
// `new` in the driver: the image does not link one.
using PoolSize = decltype(sizeof(0));

struct PoolObject {
  static void* operator new(PoolSize size, ULONG tag) noexcept;
  static void operator delete(void* block) noexcept;
  static void operator delete(void* block, ULONG tag) noexcept;
};

#if defined(TQM_KERNEL_IMAGE)
inline void* operator new(PoolSize, void* where) noexcept { return where; }
inline void operator delete(void*, void*) noexcept {}
#else
#include <new>
#endif
