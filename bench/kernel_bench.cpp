// The simulated kernel's hot paths as the streaming engine uses them: an IRP
// round trip through a two-device stack with completion routines, and a spin
// lock acquire/release pair. Both run thousands of times a second per stream.
#include <benchmark/benchmark.h>
#include <wdm.h>

#include "platform/kernel/machine.h"

namespace {

using tqm::kernel::Machine;

PDEVICE_OBJECT lowerDevice;
PDEVICE_OBJECT upperDevice;

NTSTATUS LowerDispatch(PDEVICE_OBJECT, PIRP irp) {
  irp->IoStatus.Status = STATUS_SUCCESS;
  irp->IoStatus.Information = 0;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_SUCCESS;
}

NTSTATUS PassOn(PDEVICE_OBJECT, PIRP irp, PVOID) {
  if (irp->PendingReturned) IoMarkIrpPending(irp);
  return STATUS_SUCCESS;
}

NTSTATUS UpperDispatch(PDEVICE_OBJECT, PIRP irp) {
  IoCopyCurrentIrpStackLocationToNext(irp);
  IoSetCompletionRoutine(irp, PassOn, nullptr, TRUE, TRUE, TRUE);
  return IoCallDriver(lowerDevice, irp);
}

NTSTATUS KeepIrp(PDEVICE_OBJECT, PIRP, PVOID context) {
  ++*static_cast<int64_t*>(context);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS BenchDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = LowerDispatch;
  return STATUS_SUCCESS;
}

NTSTATUS FilterDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = UpperDispatch;
  return STATUS_SUCCESS;
}

void IrpRoundTripTwoDeviceStack(benchmark::State& state) {
  Machine machine;
  NTSTATUS status;
  PDRIVER_OBJECT lowerDriver = machine.LoadDriver(BenchDriverEntry, L"BenchLower", &status);
  PDRIVER_OBJECT upperDriver = machine.LoadDriver(FilterDriverEntry, L"BenchUpper", &status);
  IoCreateDevice(lowerDriver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &lowerDevice);
  IoCreateDevice(upperDriver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &upperDevice);
  IoAttachDeviceToDeviceStack(upperDevice, lowerDevice);
  // The engine's way: its own IRP, one location more than the stack, reused.
  PIRP irp = IoAllocateIrp(CCHAR(upperDevice->StackSize), FALSE);
  int64_t completions = 0;
  for (auto _ : state) {
    IoReuseIrp(irp, STATUS_SUCCESS);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    IoSetCompletionRoutine(irp, KeepIrp, &completions, TRUE, TRUE, TRUE);
    benchmark::DoNotOptimize(IoCallDriver(upperDevice, irp));
  }
  if (completions != int64_t(state.iterations())) state.SkipWithError("lost completions");
  IoFreeIrp(irp);
  IoDetachDevice(lowerDevice);
  IoDeleteDevice(upperDevice);
  IoDeleteDevice(lowerDevice);
  machine.UnloadDriver(upperDriver);
  machine.UnloadDriver(lowerDriver);
}
BENCHMARK(IrpRoundTripTwoDeviceStack);

void SpinLockAcquireRelease(benchmark::State& state) {
  Machine machine;
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  for (auto _ : state) {
    KIRQL old;
    KeAcquireSpinLock(&lock, &old);
    benchmark::ClobberMemory();
    KeReleaseSpinLock(&lock, old);
  }
}
BENCHMARK(SpinLockAcquireRelease);

}  // namespace

BENCHMARK_MAIN();
