// Private header of the driver core: the device extensions, the Adapter, the
// driver-wide state and the frame's entry points. One section per owning file.
//
// Ownership. The function device object's extension (FdoExtension) lives from
// AddDevice to REMOVE_DEVICE. The Adapter lives from device start to stop or
// removal; its creation and destruction happen under the extension's
// adapterLock held exclusive, and every command runs with it held shared, so
// no command ever sees an Adapter being torn down. The RemoveLock keeps the
// extension itself alive under a running request.
//
// Driver-wide state (DriverState) is one plain record: the SharedBuffer
// descriptor, the three referenced-object cells of the notification commands,
// the user mappings waiting for their process, and the started Adapters. Its
// mutex guards all of it. It is taken after a command's adapterLock and
// never the other way round.
#pragma once

#include "driver/companion_interface.h"
#include "driver/engine/companion.h"
#include "driver/engine/stream_engine.h"
#include "driver/kernel.h"
#include "tqm/command_record.h"
#include "tqm/identity.h"
#include "tqm/status_block.h"

// ---- device extensions ---------------------------------------------------------
//
// Every device object of the driver starts its extension with the child flag:
// bit 0 set on the child device, clear on the function device.
constexpr ULONG kChildFlag = 1;
constexpr ULONG kMaxChildren = 16;

enum PnpStateValue : ULONG {
  kNotStarted = 0,
  kStarted = 1,
  kStopPending = 2,
  kRemovePending = 3,
  kSurpriseRemoved = 4,
  kRemoved = 5,
};

struct RemoveLock {
  volatile LONG count;  // starts at 1; the drain takes that one away
  UCHAR removing;
  KEVENT drained;       // notification event, set when count reaches 0
};

struct Adapter;

struct FdoExtension {
  ULONG childFlag;
  volatile LONG openCount;
  PDEVICE_OBJECT self;
  PDEVICE_OBJECT lower;
  PDEVICE_OBJECT physical;
  PDRIVER_OBJECT driver;
  RemoveLock removeLock;
  volatile LONG pnpState;  // PnpStateValue; written by PnP requests, read by commands
  ULONG previousState;
  ULONG devicePower;
  ULONG systemPower;
  DEVICE_CAPABILITIES capabilities;
  PDEVICE_OBJECT children[kMaxChildren];
  ULONG childCount;
  volatile LONG interfaceReferences;
  UNICODE_STRING interfaceName;
  Adapter* adapter;
  // Held shared by every command on the Adapter, exclusive while the Adapter
  // is created or destroyed.
  ERESOURCE adapterLock;
  bool interfaceEnabled;
  // The engine's power-down count after the last stop for a lower power
  // state (power.cpp): a wake restarts the streams only if no later
  // power-down came before its work item ran.
  volatile LONG powerDowns;
};

struct ChildExtension {
  ULONG childFlag;
  ULONG instance;
  PDEVICE_OBJECT self;
  PDEVICE_OBJECT parent;
};

inline ULONG PnpStateOf(FdoExtension* fdx) { return ULONG(InterlockedOr(&fdx->pnpState, 0)); }
inline void SetPnpState(FdoExtension* fdx, ULONG state) { InterlockedExchange(&fdx->pnpState, LONG(state)); }

inline bool IsChild(PDEVICE_OBJECT device) {
  return (*static_cast<const ULONG*>(device->DeviceExtension) & kChildFlag) != 0;
}

// ---- user mappings (mapping.cpp) -------------------------------------------------
//
// A block of nonpaged memory that is mapped into user processes: the
// Adapter's TransferMemory or the SharedBuffer's sample block. It is freed when
// its last holder lets go: its owner (the Adapter or the descriptor) and each
// live mapping of it. So the pages behind a mapping stay until the mapping is
// undone, even when the Adapter is gone.
//
// A user mapping hands the process every page it touches, whole, so a mapped
// block is whole pages that hold nothing else: its length is rounded up to
// pages (the pool places blocks of a page or more at the start of pages of
// their own) and all of it is zeroed.
struct MappedBlock : PoolObject {
  PVOID memory;
  ULONG bytes;
  ULONG tag;
  volatile LONG holders;
};

struct DeferredUndo;

// One user mapping of (part of) a block, made in `owner`'s address space by a
// request on `ownerFile`. `node` is its queue entry, should its undo have to
// wait for the owner.
struct UserMapping {
  PMDL mdl;
  PVOID user;
  PEPROCESS owner;
  PFILE_OBJECT ownerFile;
  MappedBlock* block;
  DeferredUndo* node;
};

inline ULONG WholePages(ULONG bytes) { return (bytes + PAGE_SIZE - 1) & ~ULONG(PAGE_SIZE - 1); }
// A zeroed block of `bytes` rounded up to whole pages; null when the pool has
// no room (or bytes is 0 or near 4 GiB).
MappedBlock* NewMappedBlock(ULONG bytes, ULONG tag);
void ReleaseBlock(MappedBlock* block);
// Maps [kernel, kernel + bytes) of block into the current process for user
// mode. STATUS_INSUFFICIENT_RESOURCES when the list or the mapping cannot be
// made; the mapping call's raise is caught.
NTSTATUS MapIntoCaller(MappedBlock* block, PVOID kernel, ULONG bytes, PFILE_OBJECT file, UserMapping* out);
// Undoes a mapping: at once in its own process, otherwise queued for the
// owner's next command or cleanup. The record is emptied either way.
void UndoMapping(UserMapping* mapping);
// Carries out the queued undos of the current process (its next command or
// its handle's cleanup).
void RunDeferredUndos();

// ---- driver-wide state (driver_entry.cpp) -------------------------------------------
struct SharedBuffer : PoolObject {
  // The descriptor's fields: the mapping token (mapping.mdl), the kernel
  // address and the user address (mapping.user); then its length as the
  // client asked for it (the block behind it is whole pages).
  UserMapping mapping;
  PVOID kernel;
  ULONG bytes;
  SharedBuffer* next;  // on the taken list
};

// The largest SharedBuffer a client can need: eight halves of 32-bit samples
// of the longest period for each of eight devices, in whole pages.
constexpr ULONG kMaxSharedBufferBytes = (engine::kMaxPeriodFrames * 32 * 8 + PAGE_SIZE - 1) & ~ULONG(PAGE_SIZE - 1);

struct DeferredUndo : PoolObject {
  UserMapping mapping;
  DeferredUndo* next;
};

constexpr ULONG kCellPeriod = 0, kCellRate = 1, kCellRemoval = 2, kCells = 3;
constexpr ULONG kMaxAdapters = 8;

struct DriverState {
  ERESOURCE mutex;  // held exclusive; at passive level, so engine calls may run under it
  FAST_MUTEX deferredMutex;  // the deferred list only; may be taken under mutex
  SharedBuffer* shared;
  // Buffers a new host took over from a host whose stream had stopped: the
  // engine no longer uses them, but they stay mapped in the old host's
  // process (a host that wakes must not fault) until its handle is cleaned
  // up or it releases its buffer.
  SharedBuffer* taken;
  // The status-block mapping tokens handed out: a sequence number per
  // mapping, never an address.
  ULONG64 lastToken;
  PVOID cells[kCells];
  DeferredUndo* deferred;
  Adapter* adapters[kMaxAdapters];
};

extern DriverState g_driver;

void LockDriver();
void UnlockDriver();

// ---- the Adapter (adapter.cpp) ------------------------------------------------------
constexpr ULONG kNotifySlots = 16;
constexpr ULONG kSlotRate = 0, kSlotPeriod = 1, kSlotRemoval = 6;
constexpr ULONG kEngineSizeValue = 0x14000;

struct StatusMapping {
  UserMapping mapping;  // user is the address handed out
  ULONG64 token;        // the opaque token handed out with it
};

// A port-2 half as the client registered it, kept to check it again when the
// period or the buffer changes.
struct ClientHalf {
  PVOID user;
  ULONG stride;
};

struct Adapter : PoolObject {
  MappedBlock* transferMemory;  // the engine's carve only
  ULONG transferBytes;
  // The status block has a page of its own: mapping it shows a client
  // nothing but the block.
  MappedBlock* statusMemory;
  tqm::DeviceStatusBlock* statusBlock;
  StatusMapping controlMapping;
  StatusMapping streamMapping;
  engine::CompanionState companion;
  // Signals come from completion routines: slotLock keeps a slot's object
  // alive while it is being signalled.
  KSPIN_LOCK slotLock;
  PVOID slots[kNotifySlots];
  volatile LONG pendingFlag;
  PDEVICE_OBJECT fdo;
  engine::StreamEngine* engine;
  ClientHalf clientHalves[2][2][2];  // direction, channel, half
  // The handle whose request opened each of port 2's channels (direction,
  // channel): its cleanup closes exactly those. Under the driver mutex.
  PFILE_OBJECT channelFiles[2][2];
};

// Creates and starts the Adapter of a started stack; null on failure.
Adapter* CreateAdapter(FdoExtension* fdx);
void DestroyAdapter(Adapter* adapter);
// Puts obj (already referenced for the slot, or null) into a slot and
// dereferences what was there.
void SetSlot(Adapter* adapter, ULONG slot, PVOID object);
void SignalSlot(Adapter* adapter, ULONG slot);
// Port 2's registered halves that would not lie inside the SharedBuffer at
// `period` frames (or all of them when `all`) are registered as none. Under
// the driver mutex.
void RecheckClientHalves(Adapter* adapter, bool all, ULONG period);
// The SharedBuffer as a client half may name it: true when [user, user +
// bytes) lies inside it; *kernel gets the kernel view of user.
bool SharedBufferContains(PVOID user, ULONG64 bytes, PVOID* kernel);
// Releases the SharedBuffer (under the driver mutex): port 2's halves of
// every Adapter are cleared first, the mapping is undone (or queued for its
// process), the memory goes with its last holder.
void ReleaseSharedBufferLocked();
// Takes the SharedBuffer away from its host (under the driver mutex): port
// 2's halves are cleared at once, but the mapping stays in the host's process
// until its handle is cleaned up or it releases its own buffer.
void TakeSharedBufferLocked();
// Releases the buffers taken from the host of `file` (under the driver mutex).
void ReleaseTakenBuffersLocked(PFILE_OBJECT file);
// The stream client's health over every started device (under the driver
// mutex). Healthy: some device's port 2 has channel 0 open in either
// direction and its watchdog is below 10. Gone: not healthy, and some
// device's port 2 has a channel open with the watchdog at 10.
bool StreamClientHealthyLocked();
bool StreamClientGoneLocked();
// Cleanup of a handle: what it owned goes (mappings, the SharedBuffer, port
// 2's channels). adapter may be null (the device is going).
void CleanupFile(Adapter* adapter, PFILE_OBJECT file);

// ---- command interface (dispatch_control.cpp) -----------------------------------------
NTSTATUS CopyFromCaller(PVOID kernel, const void* user, ULONG bytes);
NTSTATUS CopyToCaller(PVOID user, const void* kernel, ULONG bytes);

// ---- frame (driver_entry.cpp, pnp.cpp, power.cpp) ----------------------------------------
extern "C" DRIVER_INITIALIZE DriverEntry;
DRIVER_UNLOAD DriverUnload;
DRIVER_ADD_DEVICE AddDevice;
DRIVER_DISPATCH DispatchCreate;
DRIVER_DISPATCH DispatchClose;
DRIVER_DISPATCH DispatchControl;
DRIVER_DISPATCH DispatchPnp;
DRIVER_DISPATCH DispatchPower;
DRIVER_DISPATCH DispatchPassDown;
DRIVER_DISPATCH DispatchCleanup;

NTSTATUS AcquireRemoveLock(RemoveLock* lock);
void ReleaseRemoveLock(RemoveLock* lock);
NTSTATUS CompleteRequest(PIRP irp, NTSTATUS status, ULONG_PTR information);
NTSTATUS PassDown(FdoExtension* fdx, PIRP irp);
NTSTATUS ForwardAndWait(FdoExtension* fdx, PIRP irp);

// Power requests of the function device (power.cpp).
NTSTATUS FdoPower(FdoExtension* fdx, PIRP irp);

// The child device (child.cpp).
NTSTATUS CreateChild(FdoExtension* fdx);
NTSTATUS ChildPnp(PDEVICE_OBJECT device, PIRP irp);
NTSTATUS ChildPower(PDEVICE_OBJECT device, PIRP irp);
