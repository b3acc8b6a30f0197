// The kernel functions the driver calls, with the signatures it calls them by.
// This file is compiled against the simulated kernel's headers (host build)
// and against the DDK's (windows build); each assertion holds only where the
// header declares the function exactly so, which keeps the two sets of
// headers identical for everything the driver uses. Inline and macro forms
// (stack locations, interlocked operations) are checked by compiling the
// driver itself in both builds.
#include "driver/kernel.h"

#include <ntstrsafe.h>

namespace {

template <typename A, typename B>
struct Same {
  static constexpr bool value = false;
};
template <typename A>
struct Same<A, A> {
  static constexpr bool value = true;
};

#define TQM_SIGNATURE(name, result, ...) \
  static_assert(Same<decltype(&name), result (*)(__VA_ARGS__)>::value, #name " is not declared as the driver uses it")

TQM_SIGNATURE(IoIsWdmVersionAvailable, BOOLEAN, UCHAR, UCHAR);
TQM_SIGNATURE(IoCreateDevice, NTSTATUS, PDRIVER_OBJECT, ULONG, PUNICODE_STRING, DEVICE_TYPE, ULONG, BOOLEAN,
              PDEVICE_OBJECT*);
TQM_SIGNATURE(IoDeleteDevice, VOID, PDEVICE_OBJECT);
TQM_SIGNATURE(IoAttachDeviceToDeviceStack, PDEVICE_OBJECT, PDEVICE_OBJECT, PDEVICE_OBJECT);
TQM_SIGNATURE(IoDetachDevice, VOID, PDEVICE_OBJECT);
TQM_SIGNATURE(IoGetAttachedDeviceReference, PDEVICE_OBJECT, PDEVICE_OBJECT);
TQM_SIGNATURE(IofCallDriver, NTSTATUS, PDEVICE_OBJECT, PIRP);
TQM_SIGNATURE(IofCompleteRequest, VOID, PIRP, CCHAR);
TQM_SIGNATURE(IoAllocateIrp, PIRP, CCHAR, BOOLEAN);
TQM_SIGNATURE(IoFreeIrp, VOID, PIRP);
TQM_SIGNATURE(IoReuseIrp, VOID, PIRP, NTSTATUS);
TQM_SIGNATURE(IoBuildDeviceIoControlRequest, PIRP, ULONG, PDEVICE_OBJECT, PVOID, ULONG, PVOID, ULONG, BOOLEAN,
              PKEVENT, PIO_STATUS_BLOCK);
TQM_SIGNATURE(IoCancelIrp, BOOLEAN, PIRP);
TQM_SIGNATURE(IoAcquireCancelSpinLock, VOID, PKIRQL);
TQM_SIGNATURE(IoReleaseCancelSpinLock, VOID, KIRQL);
TQM_SIGNATURE(IoAllocateMdl, PMDL, PVOID, ULONG, BOOLEAN, BOOLEAN, PIRP);
TQM_SIGNATURE(IoFreeMdl, VOID, PMDL);
TQM_SIGNATURE(IoOpenDeviceRegistryKey, NTSTATUS, PDEVICE_OBJECT, ULONG, ACCESS_MASK, PHANDLE);
TQM_SIGNATURE(MmBuildMdlForNonPagedPool, VOID, PMDL);
TQM_SIGNATURE(MmMapLockedPagesSpecifyCache, PVOID, PMDL, KPROCESSOR_MODE, MEMORY_CACHING_TYPE, PVOID, ULONG,
              MM_PAGE_PRIORITY);
TQM_SIGNATURE(MmUnmapLockedPages, VOID, PVOID, PMDL);
TQM_SIGNATURE(ExAllocatePoolWithTag, PVOID, POOL_TYPE, SIZE_T, ULONG);
TQM_SIGNATURE(ExFreePoolWithTag, VOID, PVOID, ULONG);
TQM_SIGNATURE(ExFreePool, VOID, PVOID);
TQM_SIGNATURE(ExInitializeFastMutex, VOID, PFAST_MUTEX);
TQM_SIGNATURE(ExAcquireFastMutex, VOID, PFAST_MUTEX);
TQM_SIGNATURE(ExReleaseFastMutex, VOID, PFAST_MUTEX);
TQM_SIGNATURE(ExInitializeResourceLite, NTSTATUS, PERESOURCE);
TQM_SIGNATURE(ExAcquireResourceSharedLite, BOOLEAN, PERESOURCE, BOOLEAN);
TQM_SIGNATURE(ExAcquireResourceExclusiveLite, BOOLEAN, PERESOURCE, BOOLEAN);
TQM_SIGNATURE(ExReleaseResourceLite, VOID, PERESOURCE);
TQM_SIGNATURE(ExDeleteResourceLite, NTSTATUS, PERESOURCE);
TQM_SIGNATURE(KeInitializeEvent, VOID, PRKEVENT, EVENT_TYPE, BOOLEAN);
TQM_SIGNATURE(KeSetEvent, LONG, PRKEVENT, KPRIORITY, BOOLEAN);
TQM_SIGNATURE(KeClearEvent, VOID, PRKEVENT);
TQM_SIGNATURE(KeResetEvent, LONG, PRKEVENT);
TQM_SIGNATURE(KeReadStateEvent, LONG, PRKEVENT);
TQM_SIGNATURE(KeWaitForSingleObject, NTSTATUS, PVOID, KWAIT_REASON, KPROCESSOR_MODE, BOOLEAN, PLARGE_INTEGER);
TQM_SIGNATURE(KeDelayExecutionThread, NTSTATUS, KPROCESSOR_MODE, BOOLEAN, PLARGE_INTEGER);
TQM_SIGNATURE(KeGetCurrentIrql, KIRQL);
TQM_SIGNATURE(KeInitializeSpinLock, VOID, PKSPIN_LOCK);
TQM_SIGNATURE(KeAcquireSpinLockRaiseToDpc, KIRQL, PKSPIN_LOCK);
TQM_SIGNATURE(KeReleaseSpinLock, VOID, PKSPIN_LOCK, KIRQL);
TQM_SIGNATURE(KeAcquireSpinLockAtDpcLevel, VOID, PKSPIN_LOCK);
TQM_SIGNATURE(KeReleaseSpinLockFromDpcLevel, VOID, PKSPIN_LOCK);
TQM_SIGNATURE(KeStallExecutionProcessor, VOID, ULONG);
TQM_SIGNATURE(KeEnterCriticalRegion, VOID);
TQM_SIGNATURE(KeLeaveCriticalRegion, VOID);
TQM_SIGNATURE(KeGetCurrentThread, PKTHREAD);
TQM_SIGNATURE(KeBugCheckEx, VOID, ULONG, ULONG_PTR, ULONG_PTR, ULONG_PTR, ULONG_PTR);
TQM_SIGNATURE(PsCreateSystemThread, NTSTATUS, PHANDLE, ULONG, POBJECT_ATTRIBUTES, HANDLE, PCLIENT_ID,
              PKSTART_ROUTINE, PVOID);
TQM_SIGNATURE(PsTerminateSystemThread, NTSTATUS, NTSTATUS);
TQM_SIGNATURE(ObfReferenceObject, LONG_PTR, PVOID);
TQM_SIGNATURE(ObfDereferenceObject, LONG_PTR, PVOID);
TQM_SIGNATURE(ZwClose, NTSTATUS, HANDLE);
TQM_SIGNATURE(ZwSetValueKey, NTSTATUS, HANDLE, PUNICODE_STRING, ULONG, ULONG, PVOID, ULONG);
TQM_SIGNATURE(ZwQueryValueKey, NTSTATUS, HANDLE, PUNICODE_STRING, KEY_VALUE_INFORMATION_CLASS, PVOID, ULONG,
              PULONG);
TQM_SIGNATURE(ZwUnloadDriver, NTSTATUS, PUNICODE_STRING);
TQM_SIGNATURE(RtlInitUnicodeString, VOID, PUNICODE_STRING, PCWSTR);
TQM_SIGNATURE(RtlFreeUnicodeString, VOID, PUNICODE_STRING);
TQM_SIGNATURE(ProbeForRead, VOID, const VOID*, SIZE_T, ULONG);
TQM_SIGNATURE(ProbeForWrite, VOID, PVOID, SIZE_T, ULONG);
TQM_SIGNATURE(ExRaiseStatus, VOID, NTSTATUS);
TQM_SIGNATURE(RtlStringCchPrintfW, NTSTATUS, NTSTRSAFE_PWSTR, size_t, NTSTRSAFE_PCWSTR, ...);
TQM_SIGNATURE(DbgPrintEx, ULONG, ULONG, ULONG, PCSTR, ...);

}  // namespace
