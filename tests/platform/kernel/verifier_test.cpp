// Each verifier fault of the kernel, provoked once the way a faulty driver
// would, recorded by the test's hook instead of aborting, and checked for what
// it says and where it points.
#include <deque>

#include "tests/platform/kernel/kernel_fixture.h"

namespace tqm::kernel::testing {

// Outside the anonymous namespace so that fault reports can name it.
KSPIN_LOCK routineLock;

NTSTATUS LockKeepingRoutine(PDEVICE_OBJECT, PIRP, PVOID) {
  KIRQL old;
  KeAcquireSpinLock(&routineLock, &old);
  return STATUS_SUCCESS;
}

namespace {

NTSTATUS Complete(PIRP irp, NTSTATUS status) {
  irp->IoStatus.Status = status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

VOID IgnoreCancel(PDEVICE_OBJECT, PIRP) {}

NTSTATUS LeakingDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  // The Adapter of a driver that forgets to free it.
  return ExAllocatePoolWithTag(NonPagedPool, 312, 0x3975724F /* "Oru9" */) ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
}

NTSTATUS StopTheWalk(PDEVICE_OBJECT, PIRP, PVOID) { return STATUS_MORE_PROCESSING_REQUIRED; }

VOID EndAtOnce(PVOID) { PsTerminateSystemThread(STATUS_SUCCESS); }

// What the leaking driver below makes in DriverEntry, for the test to give
// back after the unload check.
struct Left {
  PIRP irp = nullptr;
  PDEVICE_OBJECT device = nullptr;
  HANDLE thread = nullptr;
} left;

// A driver that keeps one of each resource the unload check counts: an IRP,
// a device object, a kernel handle (its thread's) and a system thread it never
// waits on.
NTSTATUS KeepingDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  left.irp = IoAllocateIrp(1, FALSE);
  NTSTATUS status = IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &left.device);
  if (NT_SUCCESS(status))
    status = PsCreateSystemThread(&left.thread, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, EndAtOnce, nullptr);
  return status;
}

void SendTo(TestStack& stack) {
  ControlRequest request(stack.top().device, kBufferedCode, nullptr, 0, nullptr, 0);
  IoCallDriver(stack.top().device, request.irp);
}

TEST(Verifier, EachFaultIsReportedWithWhatAndWhere) {
  struct Row {
    const char* why;
    std::function<void(Machine&)> provoke;
    std::vector<FaultKind> expected;
    const char* whatHas;
    const char* whereHas;
  };
  const Row rows[] = {
      {"wait at DISPATCH_LEVEL",
       [](Machine&) {
         KEVENT event;
         KeInitializeEvent(&event, NotificationEvent, TRUE);
         KIRQL old;
         KeRaiseIrql(DISPATCH_LEVEL, &old);
         KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
         KeLowerIrql(old);
       },
       {FaultKind::WaitAtDispatchLevel}, "at IRQL 2 without a timeout", "called from"},
      {"IRP completed twice",
       [](Machine& m) {
         TestStack stack(m, 1);
         stack[0].dispatch = [](PDEVICE_OBJECT, PIRP irp) {
           Complete(irp, STATUS_SUCCESS);
           return Complete(irp, STATUS_SUCCESS);
         };
         SendTo(stack);
       },
       {FaultKind::IrpCompletedTwice}, "completed again", "TestDispatch"},
      {"IRP completed after it was passed down",
       [](Machine& m) {
         TestStack stack(m, 2);
         PIRP queued = nullptr;
         stack[0].dispatch = [&](PDEVICE_OBJECT, PIRP irp) {
           IoMarkIrpPending(irp);
           queued = irp;
           return STATUS_PENDING;
         };
         stack[1].dispatch = [&](PDEVICE_OBJECT, PIRP irp) {
           IoSkipCurrentIrpStackLocation(irp);
           IoCallDriver(stack[1].lower, irp);
           irp->IoStatus.Status = STATUS_SUCCESS;
           IoCompleteRequest(irp, IO_NO_INCREMENT);  // the lower driver still owns it
           return STATUS_PENDING;
         };
         ControlRequest request(stack.top().device, kBufferedCode, nullptr, 0, nullptr, 0);
         IoCallDriver(stack.top().device, request.irp);
         Complete(queued, STATUS_SUCCESS);
       },
       {FaultKind::IrpNotOwned}, "after it passed it down", "TestDispatch"},
      {"STATUS_PENDING without marking",
       [](Machine& m) {
         TestStack stack(m, 1);
         PIRP queued = nullptr;
         stack[0].dispatch = [&](PDEVICE_OBJECT, PIRP irp) {
           queued = irp;
           return STATUS_PENDING;
         };
         ControlRequest request(stack.top().device, kBufferedCode, nullptr, 0, nullptr, 0);
         IoCallDriver(stack.top().device, request.irp);
         Complete(queued, STATUS_SUCCESS);
       },
       {FaultKind::PendingNotMarked}, "returned STATUS_PENDING", "TestDispatch"},
      {"marked pending but returned success",
       [](Machine& m) {
         TestStack stack(m, 1);
         stack[0].dispatch = [](PDEVICE_OBJECT, PIRP irp) {
           IoMarkIrpPending(irp);
           return Complete(irp, STATUS_SUCCESS);
         };
         SendTo(stack);
       },
       {FaultKind::MarkedButNotPending}, "marked", "TestDispatch"},
      {"spin lock held when the dispatch routine returns",
       [](Machine& m) {
         TestStack stack(m, 1);
         KSPIN_LOCK lock;
         KeInitializeSpinLock(&lock);
         stack[0].dispatch = [&](PDEVICE_OBJECT, PIRP irp) {
           KIRQL old;
           KeAcquireSpinLock(&lock, &old);
           return Complete(irp, STATUS_SUCCESS);
         };
         SendTo(stack);
       },
       {FaultKind::SpinLockHeldOnReturn, FaultKind::IrqlNotRestored}, "dispatch routine",
       "TestDispatch"},
      {"spin lock held when the completion routine returns",
       [](Machine& m) {
         TestStack stack(m, 2);
         KeInitializeSpinLock(&routineLock);
         stack[1].dispatch = [&](PDEVICE_OBJECT, PIRP irp) {
           IoCopyCurrentIrpStackLocationToNext(irp);
           IoSetCompletionRoutine(irp, LockKeepingRoutine, nullptr, TRUE, TRUE, TRUE);
           return IoCallDriver(stack[1].lower, irp);
         };
         SendTo(stack);
       },
       {FaultKind::SpinLockHeldOnReturn, FaultKind::IrqlNotRestored}, "completion routine",
       "LockKeepingRoutine"},
      {"pool left at unload",
       [](Machine& m) {
         NTSTATUS status;
         PDRIVER_OBJECT driver = m.LoadDriver(LeakingDriverEntry, L"Leaky", &status);
         m.UnloadDriver(driver);
       },
       {FaultKind::PoolLeakAtUnload}, "'Oru9' 1 block(s) 312 bytes", "after"},
      {"IRP sent past its last stack location",
       [](Machine& m) {
         TestStack stack(m, 1);
         stack[0].dispatch = [](PDEVICE_OBJECT device, PIRP irp) {
           IoCallDriver(device, irp);  // to itself: there is no location below
           return Complete(irp, STATUS_SUCCESS);
         };
         SendTo(stack);
       },
       {FaultKind::IrpMisuse}, "no stack location left", "TestDispatch"},
      {"IRP completed with its cancel routine set",
       [](Machine& m) {
         TestStack stack(m, 1);
         stack[0].dispatch = [](PDEVICE_OBJECT, PIRP irp) {
           IoSetCancelRoutine(irp, IgnoreCancel);
           return Complete(irp, STATUS_SUCCESS);
         };
         SendTo(stack);
       },
       {FaultKind::IrpMisuse}, "cancel routine still set", "TestDispatch"},
      {"driver-allocated IRP completed to the top",
       [](Machine& m) {
         TestStack stack(m, 1);
         PIRP irp = IoAllocateIrp(1, FALSE);
         IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
         IoCallDriver(stack[0].device, irp);
         IoFreeIrp(irp);
       },
       {FaultKind::IrpMisuse}, "must return STATUS_MORE_PROCESSING_REQUIRED", "TestDispatch"},
      {"freeing memory that is not pool",
       [](Machine&) {
         int local = 0;
         ExFreePool(&local);
       },
       {FaultKind::PoolMisuse}, "not an allocated pool block", "called from"},
      {"freeing pool with another tag",
       [](Machine&) {
         void* block = ExAllocatePoolWithTag(NonPagedPool, 8, 0x3975724F);
         ExFreePoolWithTag(block, 0x3875724F);
         ExFreePool(block);
       },
       {FaultKind::PoolMisuse}, "tagged 'Oru9' with tag 'Oru8'", "called from"},
      {"dispatch routine returns success without completing its IRP",
       [](Machine& m) {
         TestStack stack(m, 1);
         PIRP kept = nullptr;
         stack[0].dispatch = [&](PDEVICE_OBJECT, PIRP irp) {
           kept = irp;
           return STATUS_SUCCESS;
         };
         ControlRequest request(stack.top().device, kBufferedCode, nullptr, 0, nullptr, 0);
         IoCallDriver(stack.top().device, request.irp);
         Complete(kept, STATUS_SUCCESS);  // so that the IRP goes
       },
       {FaultKind::IrpNotCompleted}, "without completing it", "TestDispatch"},
      {"IRP, device, kernel handle and unwaited thread left at unload",
       [](Machine& m) {
         NTSTATUS status;
         PDRIVER_OBJECT driver = m.LoadDriver(KeepingDriverEntry, L"Keeping", &status);
         ASSERT_EQ(status, STATUS_SUCCESS);
         m.UnloadDriver(driver);
         IoFreeIrp(left.irp);
         ZwClose(left.thread);
       },
       {FaultKind::ResourceLeakAtUnload},
       "1 IRP(s) it allocated and never freed; 1 device object(s) it never deleted; 1 kernel handle(s) it never "
       "closed; 1 system thread(s) it never waited on",
       "after"},
      {"IRP reused while a driver below still has it",
       [](Machine& m) {
         TestStack stack(m, 1);
         PIRP queued = nullptr;
         stack[0].dispatch = [&](PDEVICE_OBJECT, PIRP irp) {
           IoMarkIrpPending(irp);
           queued = irp;
           return STATUS_PENDING;
         };
         PIRP irp = IoAllocateIrp(1, FALSE);
         IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
         IoSetCompletionRoutine(irp, StopTheWalk, nullptr, TRUE, TRUE, TRUE);
         IoCallDriver(stack[0].device, irp);
         IoReuseIrp(irp, STATUS_SUCCESS);
         Complete(queued, STATUS_SUCCESS);
         IoFreeIrp(irp);
       },
       {FaultKind::IrpMisuse}, "a driver below still has it", "called from"},
      {"buffered request completed with more Information than its output buffer",
       [](Machine& m) {
         TestStack stack(m, 1);
         stack[0].dispatch = [](PDEVICE_OBJECT, PIRP irp) {
           irp->IoStatus.Information = 16;
           return Complete(irp, STATUS_SUCCESS);
         };
         char out[8];
         ControlRequest request(stack.top().device, kBufferedCode, nullptr, 0, out, sizeof out);
         IoCallDriver(stack.top().device, request.irp);
       },
       {FaultKind::IrpMisuse}, "Information 16, more than its 8-byte output buffer", "TestDispatch"},
      {"two spin locks taken in both orders",
       [](Machine&) {
         KSPIN_LOCK a, b;
         KeInitializeSpinLock(&a);
         KeInitializeSpinLock(&b);
         KIRQL first, second;
         KeAcquireSpinLock(&a, &first);
         KeAcquireSpinLock(&b, &second);
         KeReleaseSpinLock(&b, second);
         KeReleaseSpinLock(&a, first);
         KeAcquireSpinLock(&b, &first);
         KeAcquireSpinLock(&a, &second);  // the inversion: a deadlock waiting for the right moment
         KeReleaseSpinLock(&a, second);
         KeReleaseSpinLock(&b, first);
       },
       {FaultKind::LockOrderInversion}, "spin lock", "called from"},
      {"a fast mutex and a resource taken in both orders",
       [](Machine&) {
         FAST_MUTEX mutex;
         ERESOURCE resource;
         ExInitializeFastMutex(&mutex);
         ExInitializeResourceLite(&resource);
         KeEnterCriticalRegion();
         ExAcquireResourceExclusiveLite(&resource, TRUE);
         ExAcquireFastMutex(&mutex);
         ExReleaseFastMutex(&mutex);
         ExReleaseResourceLite(&resource);
         ExAcquireFastMutex(&mutex);
         ExAcquireResourceExclusiveLite(&resource, TRUE);  // at APC_LEVEL: no critical region needed
         ExReleaseResourceLite(&resource);
         ExReleaseFastMutex(&mutex);
         KeLeaveCriticalRegion();
         ExDeleteResourceLite(&resource);
       },
       {FaultKind::LockOrderInversion}, "resource", "called from"},
      {"resource acquired outside a critical region",
       [](Machine&) {
         ERESOURCE resource;
         ExInitializeResourceLite(&resource);
         ExAcquireResourceSharedLite(&resource, TRUE);
         ExReleaseResourceLite(&resource);
         ExDeleteResourceLite(&resource);
       },
       {FaultKind::CriticalRegionMissing}, "ExAcquireResourceSharedLite with normal kernel APCs enabled",
       "called from"},
      {"paged pool freed at DISPATCH_LEVEL",
       [](Machine&) {
         void* block = ExAllocatePoolWithTag(PagedPool, 32, 0x3975724F);
         KIRQL old;
         KeRaiseIrql(DISPATCH_LEVEL, &old);
         ExFreePoolWithTag(block, 0x3975724F);
         KeLowerIrql(old);
       },
       {FaultKind::PagedPoolAtDispatch}, "paged pool block", "called from"},
      {"paged pool allocated at DISPATCH_LEVEL",
       [](Machine&) {
         KIRQL old;
         KeRaiseIrql(DISPATCH_LEVEL, &old);
         void* block = ExAllocatePoolWithTag(PagedPool, 32, 0x3975724F);
         KeLowerIrql(old);
         ExFreePoolWithTag(block, 0x3975724F);
       },
       {FaultKind::PagedPoolAtDispatch}, "ExAllocatePoolWithTag(PagedPool) at IRQL 2", "called from"},
      {"resource deleted while it is held",
       [](Machine&) {
         ERESOURCE resource;
         ExInitializeResourceLite(&resource);
         KeEnterCriticalRegion();
         ExAcquireResourceExclusiveLite(&resource, TRUE);
         ExDeleteResourceLite(&resource);
         ExReleaseResourceLite(&resource);
         KeLeaveCriticalRegion();
       },
       {FaultKind::ObjectMisuse}, "resource deleted while it is held", "called from"},
      {"releasing a spin lock that is not held",
       [](Machine&) {
         KSPIN_LOCK lock;
         KeInitializeSpinLock(&lock);
         KeReleaseSpinLock(&lock, PASSIVE_LEVEL);
       },
       {FaultKind::SpinLockMisuse}, "does not hold it", "called from"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.why);
    Machine machine;
    FaultRecorder recorder(machine);
    row.provoke(machine);
    const std::vector<Fault> faults = recorder.Take();
    ASSERT_EQ(faults.size(), row.expected.size()) << FaultRecorder::Describe(faults);
    for (size_t i = 0; i < faults.size(); ++i) EXPECT_EQ(faults[i].kind, row.expected[i]) << FaultRecorder::Describe(faults);
    EXPECT_NE(faults[0].what.find(row.whatHas), std::string::npos) << faults[0].what;
    EXPECT_NE(faults[0].where.find(row.whereHas), std::string::npos) << faults[0].where;
  }
}

using VerifierDeathTest = ::testing::Test;

TEST(VerifierDeathTest, WithoutAHookAFaultStopsTheTestAndSaysWhatAndWhere) {
#if defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "death tests fork a multi-threaded process, which ThreadSanitizer refuses";
#endif
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        Machine machine;
        TestStack stack(machine, 1);
        stack[0].dispatch = [](PDEVICE_OBJECT, PIRP irp) {
          Complete(irp, STATUS_SUCCESS);
          return Complete(irp, STATUS_SUCCESS);
        };
        SendTo(stack);
      },
      "VERIFIER: IRP completed twice: IRP 0x[0-9a-f]+ completed again.*\n  where: in .*TestDispatch");
}

// Each kernel service checks the IRQL it is called at against the highest
// its documentation allows; called one level above, it reports IrqlTooHigh
// naming itself (and, the machine going on, still does its work).
TEST(Verifier, EachServiceChecksItsIrql) {
  struct Row {
    const char* service;  // as the fault names it
    KIRQL allowed;        // the highest IRQL the service may be called at
    std::function<void(KIRQL raiseTo)> call;  // raises to raiseTo around the one call
  };
  auto at = [](KIRQL irql, const std::function<void()>& body) {
    KIRQL old;
    KeRaiseIrql(irql, &old);
    body();
    KeLowerIrql(old);
  };
  const Row rows[] = {
      {"IoAllocateWorkItem", DISPATCH_LEVEL,
       [&](KIRQL irql) {
         TestStack stack(Machine::Current(), 1);
         PIO_WORKITEM item = nullptr;
         at(irql, [&] { item = IoAllocateWorkItem(stack[0].device); });
         IoFreeWorkItem(item);
       }},
      {"IoFreeWorkItem", DISPATCH_LEVEL,
       [&](KIRQL irql) {
         TestStack stack(Machine::Current(), 1);
         PIO_WORKITEM item = IoAllocateWorkItem(stack[0].device);
         at(irql, [&] { IoFreeWorkItem(item); });
       }},
      {"IoDetachDevice", PASSIVE_LEVEL,
       [&](KIRQL irql) {
         Machine& m = Machine::Current();
         TestStack stack(m, 1);
         at(irql, [&] { IoDetachDevice(stack[0].device); });
       }},
      {"IoGetAttachedDeviceReference", DISPATCH_LEVEL,
       [&](KIRQL irql) {
         TestStack stack(Machine::Current(), 1);
         PDEVICE_OBJECT top = nullptr;
         at(irql, [&] { top = IoGetAttachedDeviceReference(stack[0].device); });
         ObDereferenceObject(top);
       }},
      {"IoFreeIrp", DISPATCH_LEVEL,
       [&](KIRQL irql) {
         PIRP irp = IoAllocateIrp(1, FALSE);
         at(irql, [&] { IoFreeIrp(irp); });
       }},
      {"IoReuseIrp", DISPATCH_LEVEL,
       [&](KIRQL irql) {
         PIRP irp = IoAllocateIrp(1, FALSE);
         at(irql, [&] { IoReuseIrp(irp, STATUS_SUCCESS); });
         IoFreeIrp(irp);
       }},
      {"IoFreeMdl", DISPATCH_LEVEL,
       [&](KIRQL irql) {
         char buffer[64];
         PMDL mdl = IoAllocateMdl(buffer, sizeof buffer, FALSE, FALSE, nullptr);
         at(irql, [&] { IoFreeMdl(mdl); });
       }},
      {"MmBuildMdlForNonPagedPool", DISPATCH_LEVEL,
       [&](KIRQL irql) {
         void* block = ExAllocatePoolWithTag(NonPagedPool, 64, 0x3975724F);
         PMDL mdl = IoAllocateMdl(block, 64, FALSE, FALSE, nullptr);
         at(irql, [&] { MmBuildMdlForNonPagedPool(mdl); });
         IoFreeMdl(mdl);
         ExFreePool(block);
       }},
      {"KeClearEvent", DISPATCH_LEVEL,
       [&](KIRQL irql) {
         KEVENT event;
         KeInitializeEvent(&event, NotificationEvent, TRUE);
         at(irql, [&] { KeClearEvent(&event); });
       }},
      {"KeResetEvent", DISPATCH_LEVEL,
       [&](KIRQL irql) {
         KEVENT event;
         KeInitializeEvent(&event, NotificationEvent, TRUE);
         at(irql, [&] { KeResetEvent(&event); });
       }},
      {"KeReadStateEvent", DISPATCH_LEVEL,
       [&](KIRQL irql) {
         KEVENT event;
         KeInitializeEvent(&event, NotificationEvent, TRUE);
         at(irql, [&] { KeReadStateEvent(&event); });
       }},
      {"ExInitializeResourceLite", DISPATCH_LEVEL,
       [&](KIRQL irql) {
         ERESOURCE resource;
         at(irql, [&] { ExInitializeResourceLite(&resource); });
         ExDeleteResourceLite(&resource);
       }},
      {"ExDeleteResourceLite", DISPATCH_LEVEL,
       [&](KIRQL irql) {
         ERESOURCE resource;
         ExInitializeResourceLite(&resource);
         at(irql, [&] { ExDeleteResourceLite(&resource); });
       }},
      {"ObReferenceObject", DISPATCH_LEVEL,
       [&](KIRQL irql) {
         TestStack stack(Machine::Current(), 1);
         at(irql, [&] { ObReferenceObject(stack[0].device); });
         ObDereferenceObject(stack[0].device);
       }},
      {"ObDereferenceObject", DISPATCH_LEVEL,
       [&](KIRQL irql) {
         TestStack stack(Machine::Current(), 1);
         ObReferenceObject(stack[0].device);
         at(irql, [&] { ObDereferenceObject(stack[0].device); });
       }},
      {"PAGED_CODE", APC_LEVEL, [&](KIRQL irql) { at(irql, [] { PAGED_CODE(); }); }},
      {"PoSetPowerState", DISPATCH_LEVEL,
       [&](KIRQL irql) {
         TestStack stack(Machine::Current(), 1);
         POWER_STATE state;
         state.DeviceState = PowerDeviceD0;
         at(irql, [&] { PoSetPowerState(stack[0].device, DevicePowerState, state); });
       }},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.service);
    Machine machine;
    FaultRecorder recorder(machine);
    row.call(KIRQL(row.allowed == PASSIVE_LEVEL ? APC_LEVEL : HIGH_LEVEL));
    const auto faults = recorder.Take();
    ASSERT_EQ(faults.size(), 1u) << FaultRecorder::Describe(faults);
    EXPECT_EQ(faults[0].kind, FaultKind::IrqlTooHigh);
    EXPECT_NE(faults[0].what.find(std::string(row.service) + " called at IRQL"), std::string::npos)
        << faults[0].what;
    // At the highest IRQL it allows, the same call is no fault.
    row.call(row.allowed);
    const auto allowed = recorder.Take();
    EXPECT_TRUE(allowed.empty()) << FaultRecorder::Describe(allowed);
  }
}

// Paged pool is paged out whenever a thread enters DISPATCH_LEVEL: touching it
// there faults, touching it below pages it back in without a fault, and
// nonpaged pool is never paged out.
TEST(Verifier, PagedPoolTouchedAtDispatchLevelFaults) {
  struct Row {
    const char* why;
    POOL_TYPE type;
    std::function<void(volatile char*)> touch;
    bool faults;
  };
  auto raised = [](KIRQL irql, const std::function<void()>& body) {
    KIRQL old;
    KeRaiseIrql(irql, &old);
    body();
    KeLowerIrql(old);
  };
  KSPIN_LOCK lock = 0;
  const Row rows[] = {
      {"read at DISPATCH_LEVEL", PagedPool, [&](volatile char* p) { raised(DISPATCH_LEVEL, [&] { (void)p[0]; }); },
       true},
      {"written under a spin lock", PagedPool,
       [&](volatile char* p) {
         KIRQL old;
         KeAcquireSpinLock(&lock, &old);
         p[100] = 1;
         KeReleaseSpinLock(&lock, old);
       },
       true},
      {"read after a raise, back at PASSIVE_LEVEL", PagedPool,
       [&](volatile char* p) {
         raised(DISPATCH_LEVEL, [] {});
         (void)p[0];
       },
       false},
      {"written at APC_LEVEL after a raise", PagedPool,
       [&](volatile char* p) {
         raised(DISPATCH_LEVEL, [] {});
         raised(APC_LEVEL, [&] { p[0] = 2; });
       },
       false},
      {"nonpaged pool at DISPATCH_LEVEL", NonPagedPool,
       [&](volatile char* p) { raised(DISPATCH_LEVEL, [&] { p[0] = 3; }); }, false},
      {"a large paged block at DISPATCH_LEVEL", PagedPool,
       [&](volatile char* p) { raised(DISPATCH_LEVEL, [&] { (void)p[2 * PAGE_SIZE]; }); }, true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.why);
    Machine machine;
    FaultRecorder recorder(machine);
    const size_t bytes = std::string(row.why).find("large") != std::string::npos ? 3 * PAGE_SIZE : 200;
    auto* block = static_cast<volatile char*>(ExAllocatePoolWithTag(row.type, bytes, 0x3975724F));
    ASSERT_NE(block, nullptr);
    row.touch(block);
    const auto faults = recorder.Take();
    if (row.faults) {
      ASSERT_EQ(faults.size(), 1u) << FaultRecorder::Describe(faults);
      EXPECT_EQ(faults[0].kind, FaultKind::PagedPoolAtDispatch);
      EXPECT_NE(faults[0].what.find("touched at IRQL 2"), std::string::npos) << faults[0].what;
    } else {
      EXPECT_TRUE(faults.empty()) << FaultRecorder::Describe(faults);
    }
    // The pool's own check of the block's guard bytes pages it in first.
    ExFreePool(const_cast<char*>(block));
    const auto atFree = recorder.Take();
    EXPECT_TRUE(atFree.empty()) << FaultRecorder::Describe(atFree);
  }
}

TEST(VerifierDeathTest, ARaiseOutsideAGuardedCallStopsTheMachine) {
#if defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "death tests fork a multi-threaded process, which ThreadSanitizer refuses";
#endif
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  // Nothing would catch the exception on Windows either: even a test's hook
  // does not let the machine go on.
  EXPECT_DEATH(
      {
        Machine machine;
        FaultRecorder recorder(machine);
        ExRaiseStatus(STATUS_INVALID_PARAMETER);
      },
      "");
  EXPECT_DEATH(
      {
        Machine machine;
        ExRaiseStatus(STATUS_INVALID_PARAMETER);
      },
      "VERIFIER: exception outside a guarded call: ExRaiseStatus\\(0xC000000D\\) outside a guarded call");
}

TEST(Verifier, PassiveServicesRefuseRaisedIrql) {
  Machine machine;
  FaultRecorder recorder(machine);
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  HANDLE thread = nullptr;
  // Thread creation is refused as a fault and, the machine going on, still made.
  const NTSTATUS status = PsCreateSystemThread(&thread, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr,
                                               [](PVOID) {}, nullptr);
  KeLowerIrql(old);
  const auto faults = recorder.Take();
  ASSERT_EQ(faults.size(), 1u) << FaultRecorder::Describe(faults);
  EXPECT_EQ(faults[0].kind, FaultKind::IrqlTooHigh);
  EXPECT_NE(faults[0].what.find("PsCreateSystemThread called at IRQL 2"), std::string::npos)
      << faults[0].what;
  if (NT_SUCCESS(status)) ZwClose(thread);
}

}  // namespace
}  // namespace tqm::kernel::testing
