// Private header of the simulated kernel: per-thread state, objects and
// handles, thread records, IRP records, and the verifier's helpers. One section
// per owning file.
#pragma once

#include <atomic>
#include <csetjmp>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <wdm.h>

#include "platform/kernel/dispatcher.h"
#include "platform/kernel/interleave.h"
#include "platform/kernel/machine.h"

namespace tqm::kernel {

struct IrpRecord;

// ---- irql.cpp: per-thread state ------------------------------------------------
//
// Every host thread that enters the kernel has an IRQL, a count of spin locks
// it holds, and a stack of frames naming the driver routine it is running (so
// that pool is charged to the right driver and a fault can say where).
// InterfaceCall: one driver calls a routine of a direct-call interface that
// another driver handed it; the callee's allocations are its own.
enum class FrameKind { DriverEntry, DriverUnload, Dispatch, Completion, Cancel, SystemThread, ClockWork, InterfaceCall };

struct Frame {
  FrameKind kind;
  PDRIVER_OBJECT driver;
  IrpRecord* irp;
  int level;             // the IRP stack level the routine works at
  const void* routine;   // for messages
  uint64_t token = 0;    // a dispatch call's ownership token (io_manager.cpp)
};

class Process;

struct ThreadState {
  ~ThreadState();
  Process* process = nullptr;  // the user process this thread runs in (process.h)
  KIRQL irql = PASSIVE_LEVEL;
  int spinLocksHeld = 0;
  ULONG_PTR lockTag = 0;  // this thread's mark in a held spin lock
  PKTHREAD kthread = nullptr;
  std::vector<Frame> frames;
  int criticalRegion = 0;                // KeEnterCriticalRegion depth
  std::vector<const void*> locksHeld;    // spin locks, fast mutexes, resources, in order
  // A fault the access-fault handler saw and could not report there (it may
  // not allocate): reported when the thread next lowers its IRQL or returns
  // from its routine.
  bool faultPending = false;
  char pendingWhat[160] = {};
};

ThreadState& Self();
PDRIVER_OBJECT CurrentDriver();
void SetIrql(KIRQL irql);
// A thread went from below DISPATCH_LEVEL to it or above: paged pool is
// paged out (pool.h).
void EnteredDispatchLevel();
// Reports the fault the access-fault handler left for this thread, if any.
void ReportPendingFault();

// The lock-order graph (irql.cpp): every lock a thread takes while it holds
// others adds an edge from each held lock to it; taking a lock from which a
// held one can be reached is an inversion, reported the first time. Locks
// are known by address: when pool or a device that held one goes, its locks
// are forgotten.
void NoteLockAcquired(const void* lock, const char* kind, const void* caller);
void NoteLockReleased(const void* lock);
void ForgetLocks(const void* begin, size_t bytes);

// Checks that a routine gave back the IRQL and the spin locks it was called
// with; reports what and which routine otherwise.
class RoutineCheck {
 public:
  RoutineCheck(FrameKind kind, PDRIVER_OBJECT driver, IrpRecord* irp, int level, const void* routine);
  ~RoutineCheck();
  // For a cancel routine, which must release the cancel spin lock it was given.
  void ExpectReleased(int locks, KIRQL irql) { spinLocksAfter_ -= locks; irqlAfter_ = irql; }

 private:
  FrameKind kind_;
  const void* routine_;
  KIRQL irqlAfter_;
  int spinLocksAfter_;
  size_t locksHeldAfter_;  // the lock-order list's length at entry
};

// ---- guarded_call_posix.cpp --------------------------------------------------------
// The access-fault handlers: guarded calls, held buffers, paging in (pool.h).
void InstallFaultHandlers();

// ---- verifier.cpp ----------------------------------------------------------------
std::string SymbolName(const void* address);
std::string DescribeDevice(PDEVICE_OBJECT device);
// "where" of a fault: the innermost driver routine, else the caller address.
std::string Where(const void* caller);
void RaiseFault(FaultKind kind, std::string what, const void* caller);
// Reports IrqlTooHigh when the current IRQL is above max.
bool RequireIrql(KIRQL max, const char* service, const void* caller);

// ---- objects.cpp: object headers and the handle table -----------------------------
//
// Every object a driver may reference (driver, device, thread, registry key)
// is allocated behind an ObjectHeader. The creator holds the first
// reference; the body is destroyed when the last one goes.
enum class ObjectType : uint32_t { Driver = 1, Device, Thread, Key, Event, File, Process };

struct ObjectHeader {
  static constexpr uint32_t kMagic = 0x4F626A48;  // "HjbO"
  uint32_t magic = kMagic;
  ObjectType type;
  std::atomic<int64_t> references{1};
  void (*destroy)(ObjectHeader* header);
  size_t bodySize;
};

constexpr size_t kObjectHeaderSize = (sizeof(ObjectHeader) + 15) & ~size_t(15);

void* CreateObject(ObjectType type, size_t bodySize, void (*destroy)(ObjectHeader*));
ObjectHeader* HeaderOf(const void* body);  // null when body is not an object
inline void* BodyOf(ObjectHeader* header) {
  return reinterpret_cast<char*>(header) + kObjectHeaderSize;
}
// Starts a thread of the kernel's own (a system worker): it runs `routine` at
// PASSIVE_LEVEL in the system process, charged to no driver, and counts for
// the clock as a system thread does. Callable up to DISPATCH_LEVEL.
void StartKernelThread(PKSTART_ROUTINE routine, PVOID context);
// Work items of a driver queued or whose routine runs, reported once
// (work_items.cpp). It first waits a while for them to end and drop their
// device reference: on Windows that reference defers the unload.
size_t OutstandingWorkItems(PDRIVER_OBJECT driver);
// References work items hold on a device object.
size_t WorkItemReferences(PDEVICE_OBJECT device);
void ReferenceObject(void* body);
void DereferenceObject(void* body);

class ObjectTable {
 public:
  ~ObjectTable();
  // A kernel handle to body (the handle takes a reference), charged to the
  // driver that runs (checked at its unload).
  HANDLE Insert(void* body);
  size_t HandlesOf(PDRIVER_OBJECT driver) const;
  // The referenced object, or null.
  void* Reference(HANDLE handle, ObjectType type);
  // The referenced object of any type, or null.
  void* ReferenceAny(HANDLE handle);
  NTSTATUS Close(HANDLE handle);
  size_t HandleCount() const;

 private:
  mutable std::mutex mu_;
  uint64_t next_ = 1;
  std::map<HANDLE, void*> handles_;
  std::map<HANDLE, PDRIVER_OBJECT> owners_;
};

// ---- io_manager.cpp: IRP records ------------------------------------------------
//
// The I/O manager's private part of an IRP lives in front of it in the same
// block. Its lock guards the state, the generation and the per-level records;
// the IRP itself belongs to whichever driver owns it, as in the kernel.
enum class IrpOrigin { Allocated, Built };
enum class IrpState { Idle, InDriver, Walking, Completed, Freed };

struct LevelRecord {
  bool dispatched = false;  // a dispatch routine was called at this level
  bool returned = false;    // and has returned
  NTSTATUS status = 0;      // what it returned
  bool walked = false;      // the completion walk has passed this level
  bool marked = false;      // the level was marked pending when the walk passed
  const void* routine = nullptr;
  PDEVICE_OBJECT device = nullptr;
  uint64_t token = 0;       // the latest dispatch call at this level
};

struct IrpRecord {
  static constexpr uint32_t kMagic = 0x49727052;  // "RprI"
  uint32_t magic = kMagic;
  IrpOrigin origin;
  std::atomic<int> references{1};
  std::mutex mu;
  IrpState state = IrpState::Idle;
  uint64_t generation = 0;  // counts sends and completion walks
  uint64_t owner = 0;       // token of the dispatch call that owns the IRP; 0 = none
  PDRIVER_OBJECT allocator = nullptr;
  // The walk is in the allocator's own completion routine (on any thread):
  // the IRP is the allocator's again, and it may free it from another thread
  // as long as that routine returns STATUS_MORE_PROCESSING_REQUIRED.
  bool inAllocatorCompletion = false;
  std::vector<LevelRecord> levels;  // index = stack level (1..StackCount)
  IO_STACK_LOCATION* locations = nullptr;
  // Buffered device control: where the output goes back to.
  PVOID userOutput = nullptr;
  ULONG userOutputLength = 0;
  bool copyBack = false;
  Process* userProcess = nullptr;  // the process a user request came from
  // Called when the IRP has come back to the top, before it is released (a
  // requested power IRP's completion function, the manager's own requests).
  void (*atTop)(PIRP irp, void* context) = nullptr;
  void* atTopContext = nullptr;
  int powerStarts = 0;  // PoStartNextPowerIrp calls on this power IRP
  PIRP irp = nullptr;
};

IrpRecord* RecordOf(PIRP irp, const void* caller);
// An IRP the I/O manager builds for its own requests (Plug and Play, power,
// user requests): it completes to the top like a built device control.
PIRP NewKernelIrp(CCHAR stackSize);
// What a driver still has at unload: IRPs it allocated, devices it created.
size_t AllocatedIrps(PDRIVER_OBJECT driver);
size_t DevicesOf(PDRIVER_OBJECT driver);
// True while a device object exists (its last reference has not gone).
bool DeviceAlive(PDEVICE_OBJECT device);

// ---- guarded calls -----------------------------------------------------------------
// True while the thread runs inside TqmGuardedCall (always true where that
// cannot be known: the image's assembly scope in the windows build).
bool InsideGuardedCall();

// ---- process.cpp: user events ------------------------------------------------------
// DISPATCHER_HEADER.Reserved of an event object whose KeSetEvent calls a hook.
constexpr UCHAR kSignalHookedEvent = 1;
// DISPATCHER_HEADER.Reserved of a thread object.
constexpr UCHAR kThreadObject = 2;
struct EventObject {
  KEVENT event;
  void (*onSignal)(void*);
  void (*onDestroy)(void*);
  void* context;
  bool hookBeforeRelease;  // onSignal runs under the dispatcher lock, before any waiter wakes
};

// Stack walks under the I/O manager's stack lock.
PDEVICE_OBJECT BottomOfStack(PDEVICE_OBJECT device);
PDEVICE_OBJECT TopOfStack(PDEVICE_OBJECT device);
std::vector<PDRIVER_OBJECT> DriversOfStack(PDEVICE_OBJECT bottom);
bool DriverHasDevices(PDRIVER_OBJECT driver);
// Sends a kernel IRP (NewKernelIrp) to device and waits for it to come back
// to the top; returns its final status (*iosb has the Information too).
NTSTATUS CallAndWait(PDEVICE_OBJECT device, PIRP irp, IO_STATUS_BLOCK* iosb);

}  // namespace tqm::kernel

// The process object IoGetCurrentProcess returns: the system process (no
// Process behind it) or a simulated user process.
struct _KPROCESS {
  tqm::kernel::Process* process;
  ULONG id;
};

// The thread object. Drivers see only PKTHREAD; waiting on it waits for the
// thread to end.
struct _KTHREAD {
  DISPATCHER_HEADER Header;
  bool systemThread;
  bool participant;      // counted by the clock like a system thread (machine.h)
  PDRIVER_OBJECT owner;  // the driver that created it
  std::atomic<bool> waited{false};  // a wait on the ended thread was satisfied
  PKSTART_ROUTINE start;
  PVOID context;
  NTSTATUS exitStatus;
#if defined(_WIN32)
  jmp_buf exit;
#else
  sigjmp_buf exit;
#endif
  std::thread host;
};

namespace tqm::kernel {
// Dispatcher object types (DISPATCHER_HEADER.Type).
constexpr UCHAR kNotificationObject = 0;   // stays signalled; releases all waiters
constexpr UCHAR kSynchronizationObject = 1;  // releases one waiter and resets
}  // namespace tqm::kernel
