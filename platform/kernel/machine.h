// The simulated machine: one Windows kernel in user space.
//
// A Machine owns the clock, the dispatcher, the pool, the registry, the object
// and handle tables, the drivers it loaded and the debug output. The kernel
// entry points of <wdm.h> act on the current machine: at most one exists at a
// time, from construction to destruction. Tests build device stacks directly
// (IoCreateDevice, IoAttachDeviceToDeviceStack, IoCallDriver); the Plug and
// Play manager that comes later drives the same stacks.
//
// Lifecycle: construct, load drivers, run, unload, destroy. The destructor lets
// the clock run free until every system thread has ended, then stops it.
//
// The verifier turns kernel misuse into a Fault: by default it prints what and
// where (with the caller and a stack) and aborts the process, which fails the
// test that caused it; a test that provokes a fault on purpose installs a hook
// that records it instead.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <wdm.h>

#include "platform/kernel/clock.h"

namespace tqm::kernel {

class Dispatcher;
class Pool;
class Registry;
class ObjectTable;

enum class FaultKind {
  WaitAtDispatchLevel,      // a wait with a non-zero timeout at DISPATCH_LEVEL or above
  IrqlTooHigh,              // a passive-level service called at raised IRQL
  IrqlNotRestored,          // a routine returned at another IRQL than it was called at
  SpinLockHeldOnReturn,     // a dispatch, completion, cancel or thread routine kept a spin lock
  SpinLockMisuse,           // recursive acquire, release of a lock not held
  IrpCompletedTwice,        // completing an IRP that is already completed
  IrpNotOwned,              // completing an IRP that was passed down and is not back
  PendingNotMarked,         // STATUS_PENDING returned without IoMarkIrpPending
  MarkedButNotPending,      // IoMarkIrpPending but another status returned
  IrpMisuse,                // bad IRP handling: no stack location left, completed with
                            // STATUS_PENDING or a cancel routine set, driver-allocated IRP
                            // completed to the top, freed while in use
  PoolLeakAtUnload,         // pool of the driver still allocated when it unloads
  PoolMisuse,               // freeing a block that is not allocated, tag mismatch
  ObjectMisuse,             // reference count underflow, not an object, bad MDL
  RaiseOutsideGuard,        // an exception raised outside a guarded call
  BugCheck,                 // KeBugCheckEx
};

const char* FaultKindName(FaultKind kind);

struct Fault {
  FaultKind kind;
  std::string what;   // the misuse, with the objects involved
  std::string where;  // the driver routine or caller that did it
};

// Operations that failure injection can make fail.
enum class FailurePoint { PoolAllocation, IrpAllocation, MdlAllocation, UserMapping, SystemThread };

struct DebugLine {
  ULONG component;
  ULONG level;
  std::string text;
};

struct MachineOptions {
  ClockMode clock = ClockMode::Virtual;
  UCHAR wdmMajor = 6;  // the WDM version IoIsWdmVersionAvailable reports
  UCHAR wdmMinor = 1;
  bool echoDebugOutput = false;  // also write DbgPrintEx lines to stderr
};

// A host thread that drives the machine (a test, the simulator's client) can
// take part in virtual time like a system thread: while a Participation is
// alive, the clock advances only while this thread is blocked in a kernel
// wait. Such a thread lets the clock run free rather than stepping it.
class Participation {
 public:
  explicit Participation(class Machine& machine);
  ~Participation();
  Participation(const Participation&) = delete;
  Participation& operator=(const Participation&) = delete;

 private:
  class Machine& machine_;
};

class Machine {
 public:
  explicit Machine(MachineOptions options = {});
  ~Machine();
  Machine(const Machine&) = delete;
  Machine& operator=(const Machine&) = delete;

  // The machine the kernel entry points act on; aborts when there is none.
  static Machine& Current();
  static Machine* CurrentOrNull();

  const MachineOptions& options() const { return options_; }
  Clock& clock() { return *clock_; }
  Pool& pool() { return *pool_; }
  Registry& registry() { return *registry_; }
  Dispatcher& dispatcher() { return *dispatcher_; }
  ObjectTable& objects() { return *objects_; }

  // ---- drivers ----
  // Creates the driver object and its service key
  // "\Registry\Machine\System\CurrentControlSet\Services\<serviceName>", calls
  // DriverEntry at PASSIVE_LEVEL and returns the driver, or null with *status
  // set when DriverEntry failed (the driver object is gone then).
  PDRIVER_OBJECT LoadDriver(PDRIVER_INITIALIZE entry, const std::wstring& serviceName,
                            NTSTATUS* status);
  // Calls DriverUnload and checks that none of the driver's pool is left.
  void UnloadDriver(PDRIVER_OBJECT driver);
  // True once ZwUnloadDriver named the driver's service; the Plug and Play
  // manager unloads it when its last device is gone.
  bool UnloadRequested(PDRIVER_OBJECT driver) const;
  void RequestUnload(PDRIVER_OBJECT driver);
  PDRIVER_OBJECT FindDriverByServicePath(const std::wstring& path) const;

  // A physical device object gets a device node: its instance path names its
  // registry keys (IoOpenDeviceRegistryKey).
  void RegisterPhysicalDevice(PDEVICE_OBJECT pdo, const std::wstring& instancePath);
  // The registry path of a device node's key (PLUGPLAY_REGKEY_DEVICE or
  // PLUGPLAY_REGKEY_DRIVER) for any device of its stack; empty if none.
  std::wstring DeviceKeyPath(PDEVICE_OBJECT device, ULONG keyType) const;

  // ---- verifier ----
  using FaultHook = std::function<void(const Fault&)>;
  void SetFaultHook(FaultHook hook);
  void ReportFault(FaultKind kind, std::string what, std::string where);

  // ---- failure injection ----
  // Makes the nth next attempt (1 = the very next) of the operation fail;
  // FailEvery makes every attempt fail until Clear.
  void FailNth(FailurePoint point, uint64_t n);
  void FailEvery(FailurePoint point);
  void ClearFailures();
  // Counts an attempt; true when it must fail.
  bool ShouldFail(FailurePoint point);
  uint64_t Attempts(FailurePoint point) const;

  // ---- system threads (threads.cpp) ----
  void AdoptThread(PKTHREAD thread);
  // Joins the system threads that have ended.
  void ReapThreads();

  // ---- debug output ----
  void AddDebugLine(ULONG component, ULONG level, std::string text);
  std::vector<DebugLine> DebugOutput() const;
  void ClearDebugOutput();

 private:
  struct DriverRecord {
    PDRIVER_OBJECT driver;
    std::wstring servicePath;
    bool unloadRequested = false;
  };
  struct DeviceNode {
    std::wstring instancePath;
    unsigned driverKeyIndex;
  };
  struct Injection {
    uint64_t attempts = 0;
    uint64_t failAt = 0;  // attempt number that fails; 0 = none
    bool every = false;
  };

  MachineOptions options_;
  std::unique_ptr<Dispatcher> dispatcher_;
  std::unique_ptr<Clock> clock_;
  std::unique_ptr<Pool> pool_;
  std::unique_ptr<Registry> registry_;
  std::unique_ptr<ObjectTable> objects_;

  mutable std::mutex mu_;  // drivers, device nodes, failure injection, hook, debug output
  std::vector<DriverRecord> drivers_;
  std::map<PDEVICE_OBJECT, DeviceNode> deviceNodes_;
  unsigned nextDriverKeyIndex_ = 0;
  std::map<FailurePoint, Injection> injections_;
  FaultHook faultHook_;
  std::vector<DebugLine> debugOutput_;
  std::mutex threadsMu_;
  std::vector<PKTHREAD> threads_;
};

}  // namespace tqm::kernel
