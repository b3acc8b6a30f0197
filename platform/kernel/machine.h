// The simulated machine: one Windows kernel in user space.
//
// A Machine owns the clock, the dispatcher, the pool, the registry, the object
// and handle tables, the drivers it loaded and the debug output. The kernel
// entry points of <wdm.h> act on the current machine: at most one exists at a
// time, from construction to destruction. Tests build device stacks directly
// (IoCreateDevice, IoAttachDeviceToDeviceStack, IoCallDriver), or let the
// Plug and Play manager build and drive them from the drivers registered for
// hardware identifiers. User processes (process.h) are the driver's clients.
//
// Lifecycle: construct, load drivers (directly, or by registering them for
// hardware identifiers and reporting devices), run, unload, destroy. The
// destructor ends the processes that are still running (their handles close),
// removes every device tree (drivers unload, so their leaks are reported),
// lets the clock run free until every system thread has ended, then stops it.
//
// The Plug and Play manager, the power manager's transitions and the user
// requests of processes send their IRPs from the calling thread and wait for
// them there: a test whose drivers need time to pass before they complete
// such a request lets the clock run free (or takes part in it) meanwhile.
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
#include <set>
#include <string>
#include <vector>

#include <wdm.h>

#include "platform/kernel/clock.h"

namespace tqm::kernel {

class Dispatcher;
class Pool;
class Registry;
class ObjectTable;
class Process;
struct PnpState;

// Where a device node is in the Plug and Play sequences.
enum class NodeState {
  Initialized,      // reported, its function driver added (or none registered)
  Started,
  StopPending,      // QUERY_STOP succeeded
  Stopped,          // STOP sent; START again to rebalance
  RemovePending,    // QUERY_REMOVE succeeded
  SurpriseRemoved,  // gone from the bus; REMOVE once its last handle closes
  Removed,
  Failed,           // AddDevice or START failed
};
const char* NodeStateName(NodeState state);

// A registered device interface as user mode enumerates it.
struct DeviceInterfaceInfo {
  std::wstring path;   // the symbolic link, "\\?\..." form
  GUID classGuid;
  bool enabled;        // IoSetDeviceInterfaceState(TRUE) and not disabled since
  bool present;        // its device is still there
};

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
  DeviceDeletedWhileReferenced,  // IoDeleteDevice while others still hold references to it
  ObjectReferenceLeak,      // an object referenced by handle still referenced at unload
  UserMappingMisuse,        // a user mapping unmapped from another process, or left
                            // in a process that exits
  UserAddressUnchecked,     // a user address reached outside the checked path (a probe
                            // outside a guarded call)
  PowerIrpMisuse,           // a power IRP completed without PoStartNextPowerIrp, or
                            // something else sent with PoCallDriver
  StackLeftAfterRemove,     // a device still attached above a PDO after REMOVE_DEVICE
  IrpNotCompleted,          // a dispatch routine returned a status other than STATUS_PENDING
                            // without completing its IRP
  ResourceLeakAtUnload,     // IRPs, device objects, kernel handles or system threads of the
                            // driver left at unload (a thread must have ended and been
                            // waited on)
  LockOrderInversion,       // two locks taken in the opposite order to an earlier pair
  CriticalRegionMissing,    // an ERESOURCE acquired with normal kernel APCs enabled
  PagedPoolAtDispatch,      // paged pool allocated or freed at DISPATCH_LEVEL or above
};

const char* FaultKindName(FaultKind kind);

// The IRQL check of a service that another simulated system component
// provides (the USB driver library's functions, the USB bus's requests):
// reports IrqlTooHigh, naming the service and its caller, when the calling
// thread runs above max; false then.
bool RequireServiceIrql(KIRQL max, const char* service, const void* caller);

struct Fault {
  FaultKind kind;
  std::string what;   // the misuse, with the objects involved
  std::string where;  // the driver routine or caller that did it
};

// Operations that failure injection can make fail.
enum class FailurePoint {
  PoolAllocation,
  IrpAllocation,
  MdlAllocation,
  UserMapping,
  SystemThread,
  DeviceCreation,  // IoCreateDevice
  DeviceAttach,    // IoAttachDeviceToDeviceStack
};

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
class Participation;

// A thread that starts a participating thread enrols it first: the machine
// counts it running from the enrolment on, so the clock cannot move between
// the start and the new thread's first step (it would move as far as the host
// happened to take to schedule the thread, and a virtual run would not
// repeat). The new thread adopts the enrolment with its Participation; one
// never adopted stops counting when it ends.
class Enrolment {
 public:
  explicit Enrolment(class Machine& machine);
  ~Enrolment();
  Enrolment(const Enrolment&) = delete;
  Enrolment& operator=(const Enrolment&) = delete;

 private:
  friend class Participation;
  class Machine& machine_;
  bool adopted_ = false;  // under the dispatcher lock
};

class Participation {
 public:
  explicit Participation(class Machine& machine);
  // Takes over the running count of an enrolment made for this thread.
  Participation(class Machine& machine, Enrolment& enrolment);
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
  // Calls DriverUnload and checks that none of the driver's pool, IRPs,
  // device objects and kernel handles are left, and that every system thread
  // it started has ended and been waited on (KeWaitForSingleObject on the
  // thread object).
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

  // ---- processes (process.cpp) ----
  // A new user process; the machine owns it until it ends.
  Process& StartProcess(std::string name);
  std::vector<Process*> Processes() const;
  // Resolves a user handle of process to a referenced object (null if none).
  // The default looks in the process's own table; the simulator's windows
  // build installs one that wraps real Win32 events (MakeSignalHookedEvent).
  using UserHandleResolver = std::function<void*(Process& process, HANDLE handle)>;
  void SetUserHandleResolver(UserHandleResolver resolver);
  void* ResolveUserHandle(Process& process, HANDLE handle);

  // ---- Plug and Play manager (pnp_manager.cpp) ----
  //
  // Device nodes follow Windows' rules. A node is started by: QUERY_ID
  // (device, hardware and instance identifiers), loading the driver registered
  // for the first matching hardware identifier and calling its AddDevice,
  // QUERY_CAPABILITIES, START_DEVICE, then QUERY_DEVICE_RELATIONS(BusRelations)
  // whose list creates and starts the child nodes. Requests go to the top of
  // the node's stack and are waited for on the calling thread. Children are
  // queried, stopped and removed before their parent. The manager frees what
  // it is handed (identifier strings, relation lists, dereferencing the listed
  // devices), so a pool check at unload sees only the driver's own blocks. A
  // driver the manager loaded is unloaded when its last device is gone.
  //
  // Every sequence below is one step, so a test or the simulator can stop part
  // way (leave a device stop-pending) and go on later. Each returns the status
  // the device stack gave, or STATUS_INVALID_DEVICE_STATE when the node is not
  // in a state where the step applies.
  //
  // For a bus driver (the USB hub): report the PDO of a new child or the loss
  // of one by changing what BusRelations returns and calling
  // IoInvalidateDeviceRelations(busDevice, BusRelations); the manager queues
  // the enumeration and runs it at ProcessDeviceRelations (the simulator calls
  // that from its main loop, tests after they plug or unplug). A new PDO in
  // the list is started as above; a started child missing from it gets
  // SURPRISE_REMOVAL, and REMOVE_DEVICE once its last handle is closed. The bus
  // driver deletes a missing child's PDO when that REMOVE reaches it.
  void RegisterDriver(const std::wstring& hardwareId, PDRIVER_INITIALIZE entry,
                      const std::wstring& serviceName);
  // A root-enumerated device with one hardware identifier: the manager's own
  // PDO, started as above. Null with *status when it could not be started.
  PDEVICE_OBJECT CreateRootDevice(const std::wstring& hardwareId, NTSTATUS* status);
  NTSTATUS QueryStopDevice(PDEVICE_OBJECT pdo);   // QUERY_STOP; CANCEL_STOP on a veto
  NTSTATUS CancelStopDevice(PDEVICE_OBJECT pdo);
  NTSTATUS StopDevice(PDEVICE_OBJECT pdo);        // after QueryStopDevice
  NTSTATUS StartDevice(PDEVICE_OBJECT pdo);       // again after a stop
  // QUERY_STOP, STOP, START: what a resource rebalance does.
  NTSTATUS RebalanceDevice(PDEVICE_OBJECT pdo);
  // Open handles veto a removal unless the applications close them when they
  // are told (closeHandlesOnNotice: each is closed in its own process); then
  // QUERY_REMOVE to the subtree, with CANCEL_REMOVE to the queried ones when
  // one refuses.
  NTSTATUS QueryRemoveDevice(PDEVICE_OBJECT pdo, bool closeHandlesOnNotice);
  NTSTATUS CancelRemoveDevice(PDEVICE_OBJECT pdo);
  NTSTATUS RemoveDevice(PDEVICE_OBJECT pdo);      // after QueryRemoveDevice
  // QueryRemoveDevice then RemoveDevice: an orderly removal (device manager).
  NTSTATUS RequestRemoval(PDEVICE_OBJECT pdo, bool closeHandlesOnNotice);
  // The device is gone (unplugged): SURPRISE_REMOVAL to the subtree, REMOVE
  // once the last handle to it is closed.
  NTSTATUS SurpriseRemoveDevice(PDEVICE_OBJECT pdo);
  // Runs the enumerations IoInvalidateDeviceRelations queued, and delivers
  // pending interface notifications.
  void ProcessDeviceRelations();
  // Of the node whose PDO is pdo (any device of its stack will do).
  NodeState DeviceNodeState(PDEVICE_OBJECT device) const;
  std::vector<PDEVICE_OBJECT> ChildDevices(PDEVICE_OBJECT device) const;
  PDEVICE_OBJECT FindDeviceByInstancePath(const std::wstring& instancePath) const;
  std::wstring InstancePath(PDEVICE_OBJECT device) const;
  const DEVICE_CAPABILITIES* Capabilities(PDEVICE_OBJECT device) const;
  size_t OpenHandleCount(PDEVICE_OBJECT device) const;

  // ---- device interfaces (device_interfaces.cpp) ----
  // Every interface ever registered in the class, present or not, in
  // registration order.
  std::vector<DeviceInterfaceInfo> DeviceInterfaces(const GUID& classGuid) const;
  // Arrival (enabled) and removal (disabled) of interfaces of a class, told to
  // process on its own thread context at the end of the Plug and Play step
  // that caused it. Returns a cookie for Unregister.
  using InterfaceNotification = std::function<void(bool arrival, const std::wstring& path)>;
  int RegisterInterfaceNotification(Process& process, const GUID& classGuid,
                                    InterfaceNotification notify);
  void UnregisterInterfaceNotification(int cookie);

  // ---- power manager (power_manager.cpp) ----
  // A system transition: to sleep, QUERY_POWER then SET_POWER(system) to every
  // started stack, children before parents; back to working, SET_POWER to
  // parents first. Returns the first refusal of a query (the transition is
  // then not made) or success.
  NTSTATUS SetSystemPowerState(SYSTEM_POWER_STATE state);
  SYSTEM_POWER_STATE SystemPowerState() const;
  // What PoSetPowerState last reported for device (PowerDeviceD0 before).
  DEVICE_POWER_STATE DevicePowerState(PDEVICE_OBJECT device) const;
  void RecordDevicePowerState(PDEVICE_OBJECT device, DEVICE_POWER_STATE state);

  // ---- object references (objects.cpp) ----
  // Work items of any driver queued or whose routine has not yet returned
  // and dropped its device reference (work_items.cpp).
  size_t WorkItemsOutstanding() const;
  // References a driver took with ObReferenceObjectByHandle, so that unload
  // can report the ones it never gave back.
  void NoteHandleReference(PDRIVER_OBJECT driver, void* object);
  void NoteDereference(PDRIVER_OBJECT driver, void* object);

  PnpState& pnp() { return *pnp_; }
  // The process object of kernel threads (IoGetCurrentProcess outside a process).
  PEPROCESS SystemProcess() const { return systemProcess_; }

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
  void CheckResourcesAtUnload(PDRIVER_OBJECT driver);
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
  struct NodeKeys {
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
  std::unique_ptr<PnpState> pnp_;
  PEPROCESS systemProcess_ = nullptr;

  mutable std::mutex mu_;  // drivers, device nodes, failure injection, hook, debug output
  std::vector<DriverRecord> drivers_;
  std::map<PDEVICE_OBJECT, NodeKeys> deviceNodes_;
  unsigned nextDriverKeyIndex_ = 0;
  std::map<FailurePoint, Injection> injections_;
  FaultHook faultHook_;
  std::vector<DebugLine> debugOutput_;
  std::mutex threadsMu_;
  std::vector<PKTHREAD> threads_;       // started, not yet joined
  std::vector<PKTHREAD> endedThreads_;  // joined, kept for their driver's unload check

  mutable std::mutex processMu_;  // processes, resolver, power states, handle references
  std::vector<std::unique_ptr<Process>> processes_;
  ULONG nextProcessId_ = 0x100;
  UserHandleResolver resolver_;
  SYSTEM_POWER_STATE systemPower_ = PowerSystemWorking;
  std::map<PDEVICE_OBJECT, DEVICE_POWER_STATE> devicePower_;
  std::map<PDRIVER_OBJECT, std::multiset<void*>> handleReferences_;
};

}  // namespace tqm::kernel
