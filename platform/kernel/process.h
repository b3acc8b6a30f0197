// Simulated user processes: the clients of the driver (the control panel, the
// ASIO driver, a test acting as either).
//
// A Process has an id, a handle table (the events it creates and the devices
// it opens), an address space (buffers it allocates and the user mappings the
// kernel makes into it) and a kernel process object that IoGetCurrentProcess
// returns while one of its threads is in the kernel. A host thread runs in a
// process while a ProcessScope is alive; the calls below that enter the
// kernel (Open, DeviceIoControl, CloseHandle, Exit) take one themselves.
//
// Addresses: a range is valid in a process when it lies inside one of its
// buffers or mappings; the probes check that against the current process, so
// A's mapping is not a valid address for B even though both live in this one
// host process. A buffer or mapping that goes away is left reserved and
// inaccessible until the machine ends, so a stale user address faults loudly
// when touched instead of reaching memory that was reused.
//
// Handles: a user handle is resolved in its process's own table. The machine's
// handle resolver can be replaced (Machine::SetUserHandleResolver): the
// simulator's windows build resolves real Win32 events there and signals them
// through an event object made with MakeSignalHookedEvent.
//
// Remote processes: a process whose memory lives in another host process (a
// Windows program that reaches the machine through the bridge) is given a
// RemoteAddressSpace. Its probes ask the client whether the range is
// accessible, the copy after a probe reads or writes the client's memory
// through it (RtlCopyMemory), and its user mappings are views the client maps
// of the pool arena's file; its buffers are the client's own, never Allocate.
//
// Lifecycle: Machine::StartProcess makes one; Exit (or destruction of the
// machine) closes its handles in its own context, reports user mappings the
// driver left in it, and retires its address space. The machine owns it.
// One lock per process guards its tables; no kernel call is made under it.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include <wdm.h>

namespace tqm::kernel {

class Machine;

// The memory of a remote process, reached through its connection. Every call
// may come from any thread; a false return (or null) is what a dead
// connection gives too.
class RemoteAddressSpace {
 public:
  virtual ~RemoteAddressSpace() = default;
  // True when every byte of the range may be read (and written, with write).
  virtual bool Accessible(uint64_t address, size_t bytes, bool write) = 0;
  virtual bool Read(uint64_t address, void* to, size_t bytes) = 0;
  virtual bool Write(uint64_t address, const void* from, size_t bytes) = 0;
  // Maps `bytes` of the pool arena from `arenaOffset` (whole pages) into the
  // client; the user address of the first byte, or 0.
  virtual uint64_t Map(uint64_t arenaOffset, size_t bytes) = 0;
  virtual void Unmap(uint64_t address) = 0;
};

class Process {
 public:
  Process(Machine& machine, ULONG id, std::string name);
  ~Process();
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  ULONG id() const { return id_; }
  const std::string& name() const { return name_; }
  PEPROCESS object() const { return object_; }
  bool exited() const;

  // Makes this a remote process (before any request of it); the space must
  // outlive the process.
  void SetRemote(RemoteAddressSpace* remote) { remote_ = remote; }
  RemoteAddressSpace* remote() const { return remote_; }

  // A test client that promises to run one thread at a time in this process
  // (before any request of it). While that thread is in the kernel (Open,
  // DeviceIoControl, CloseHandle, Exit), the process's buffers are held
  // inaccessible: the kernel reaches them only through the checked copy (a
  // probe inside a guarded call, then RtlCopyMemory) and the I/O manager's
  // own copies, and any other access by the kernel is reported as
  // UserAddressUnchecked (the access is then let through). Page protection
  // is process-wide on the host, so a second thread of the client touching
  // its buffers meanwhile would fault: hence the promise. A remote process
  // needs none of this: its memory is in another host process, where the
  // kernel cannot reach it except through its connection.
  void SetSingleThreaded(bool on) { singleThreaded_ = on; }

  // ---- address space ----
  // A zero-filled buffer valid in this process only; null when out of memory.
  void* Allocate(size_t bytes);
  void Free(void* buffer);
  // True when [address, address + bytes) lies in one buffer or mapping.
  bool Contains(const void* address, size_t bytes) const;
  size_t MappingCount() const;
  // True when address lies in a reservation of this process, live or
  // retired (a freed buffer, an undone mapping): an access fault there is a
  // user-mode fault, which a guarded call turns into a status.
  bool Reserves(const void* address) const;
  // Called from the access-fault handler: true when address lies in a buffer
  // held during a kernel call, which is then released for the rest of the
  // call so that the access can go on.
  bool ReleaseHeldAt(const void* address);
  // The kernel's own access to held buffers (the checked copy, the I/O
  // manager's copy-back): copies with the range's buffer accessible.
  void CopyChecked(void* to, const void* from, size_t bytes);

  // ---- handles ----
  // An event object in this process's handle table.
  HANDLE CreateEventHandle(bool manualReset, bool initialState);
  // An event made with MakeSignalHookedEvent, into this table: the handle
  // takes over the caller's reference.
  HANDLE AddEventHandle(PKEVENT hookedEvent);
  bool EventSignalled(HANDLE event) const;
  // Opens a device interface by its symbolic link: IRP_MJ_CREATE with a new
  // FILE_OBJECT on the top of the device's stack. Null with *status on failure.
  HANDLE Open(const std::wstring& interfacePath, NTSTATUS* status);
  // METHOD_BUFFERED device control, waited for. *returned gets the bytes the
  // driver reported (copied back to out only when the status is not an error).
  NTSTATUS DeviceIoControl(HANDLE file, ULONG code, const void* in, ULONG inLength, void* out,
                           ULONG outLength, ULONG* returned);
  // Closing a device handle sends IRP_MJ_CLEANUP (in this process) and, when
  // the file object's last reference goes, IRP_MJ_CLOSE.
  NTSTATUS CloseHandle(HANDLE handle);
  size_t HandleCount() const;

  // Ends the process: every handle is closed in its context, then user
  // mappings the kernel left in it are reported and retired. Also what a crash
  // of the client amounts to.
  void Exit();

  // ---- kernel side (process.cpp, mdl.cpp) ----
  // The referenced object behind a handle of this table, any type; null if none.
  void* ReferenceHandle(HANDLE handle) const;
  // Maps arena pages into this process; the user address of the first byte.
  void* MapPages(const std::vector<uintptr_t>& pages, ULONG byteOffset, PMDL mdl);
  // False when address is not a mapping of mdl in this process.
  bool UnmapPages(void* address, PMDL mdl);
  // Handles of this process open on the devices whose PDOs are listed.
  std::vector<HANDLE> FileHandlesOn(const std::vector<PDEVICE_OBJECT>& pdos) const;
  // The process that holds a mapping at address, or null.
  static Process* MappingOwner(Machine& machine, const void* address);

 private:
  struct Region {
    char* base;          // null for a remote process's view
    size_t bytes;        // the whole reservation
    size_t usable;       // valid bytes from base (a buffer) or from the view start
    PMDL mdl = nullptr;  // a user mapping's MDL; null for a buffer
    void* user = nullptr;
    bool held = false;   // made inaccessible for a kernel call (SetSingleThreaded)
  };
  struct HandleEntry {
    void* object;
    bool file;
  };

  NTSTATUS CloseLocked(std::unique_lock<std::mutex>& lock, HANDLE handle);
  friend class KernelEntry;
  void Hold(bool on);
  void* MapRemote(const std::vector<uintptr_t>& pages, ULONG byteOffset, PMDL mdl);

  Machine& machine_;
  RemoteAddressSpace* remote_ = nullptr;
  const ULONG id_;
  const std::string name_;
  PEPROCESS object_ = nullptr;
  mutable std::mutex mu_;
  bool exited_ = false;
  bool singleThreaded_ = false;
  int kernelDepth_ = 0;  // nested kernel entries of the process's one thread
  std::map<uintptr_t, Region> regions_;  // by start of the valid range
  std::map<HANDLE, HandleEntry> handles_;
  uint64_t nextHandle_ = 1;
};

// The calling host thread runs in process (IoGetCurrentProcess, handle
// resolution, address checks) until the scope ends.
class ProcessScope {
 public:
  explicit ProcessScope(Process& process);
  ~ProcessScope();
  ProcessScope(const ProcessScope&) = delete;
  ProcessScope& operator=(const ProcessScope&) = delete;

 private:
  Process* previous_;
};

// The process the calling thread runs in; null in the system context (system
// threads, the clock thread, a test thread outside any scope).
Process* CurrentProcess();

// When a hooked event's KeSetEvent calls its hook. After the waiters are
// released, outside the dispatcher lock, the hook may do anything (signal a
// real Win32 event, send a message). Before they are released, under the
// lock, it must be a few instructions that never enter the kernel (a time
// stamp): in exchange, a woken waiter finds its effect already there.
enum class SignalHookTime { AfterRelease, BeforeRelease };

// A kernel event object whose KeSetEvent also calls onSignal(context) (a real
// Win32 event behind a user handle, in the simulator), and whose last
// dereference calls onDestroy(context) when given. The caller holds the one
// reference returned.
PKEVENT MakeSignalHookedEvent(EVENT_TYPE type, void (*onSignal)(void*), void* context,
                              void (*onDestroy)(void*) = nullptr,
                              SignalHookTime when = SignalHookTime::AfterRelease);

}  // namespace tqm::kernel
