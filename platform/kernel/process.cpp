// Simulated user processes (process.h): address spaces, handle tables, the
// user side of the I/O manager (create, cleanup, close and buffered device
// control on an interface path), IoGetCurrentProcess and
// ObReferenceObjectByHandle.
//
// A FILE_OBJECT lives behind one handle. It counts its uses: one for the
// handle and one per request in flight. Closing the handle sends
// IRP_MJ_CLEANUP on the closing thread, which runs in the owner's process;
// when the count reaches zero IRP_MJ_CLOSE follows on whichever thread
// dropped the last use, then the reference on the device is dropped and the
// Plug and Play manager hears that the device has one handle fewer (which may
// let a surprise-removed device be removed).
#include "platform/kernel/process.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <new>

#include "platform/kernel/internal.h"
#include "platform/kernel/os.h"
#include "platform/kernel/pnp_manager.h"
#include "platform/kernel/pool.h"

namespace tqm::kernel {

namespace {

struct FileBody {
  FILE_OBJECT file;
  std::atomic<int> uses;
  PDEVICE_OBJECT pdo;
  Machine* machine;
};

void DestroyFile(ObjectHeader* header) { static_cast<FileBody*>(BodyOf(header))->~FileBody(); }

void DestroyEvent(ObjectHeader* header) {
  auto* body = static_cast<EventObject*>(BodyOf(header));
  if (body->onDestroy) body->onDestroy(body->context);
}

std::string ProcessText(const Process& p) {
  return "process '" + p.name() + "' (" + std::to_string(p.id()) + ")";
}

// The I/O manager's part of a user request: a kernel IRP for the top of the
// file's stack with the file object in its first location.
PIRP UserIrp(FileBody* body, UCHAR major) {
  PDEVICE_OBJECT top = body->file.DeviceObject;
  PIRP irp = NewKernelIrp(top->StackSize);
  irp->RequestorMode = UserMode;
  irp->Tail.Overlay.OriginalFileObject = &body->file;
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = major;
  next->FileObject = &body->file;
  return irp;
}

NTSTATUS SendUserIrp(FileBody* body, PIRP irp, IO_STATUS_BLOCK* iosb) {
  irp->IoStatus.Status = STATUS_SUCCESS;
  return CallAndWait(body->file.DeviceObject, irp, iosb);
}

// IRP_MJ_CLOSE comes from whichever thread drops the file's last use, which
// need not run in the process that opened it (a kernel worker may): it is
// sent in the system process, so a driver that touches user memory or undoes
// a user mapping in CLOSE fails here as it can on Windows.
void ReleaseUse(FileBody* body) {
  if (body->uses.fetch_sub(1) != 1) return;
  IO_STATUS_BLOCK iosb{};
  {
    ThreadState& t = Self();
    Process* const owner = t.process;
    t.process = nullptr;
    SendUserIrp(body, UserIrp(body, IRP_MJ_CLOSE), &iosb);
    t.process = owner;
  }
  PDEVICE_OBJECT top = body->file.DeviceObject;
  PDEVICE_OBJECT pdo = body->pdo;
  Machine& m = *body->machine;
  DereferenceObject(body);
  ObDereferenceObject(top);
  PnpHandleClosed(m, pdo);
}

}  // namespace

Process* CurrentProcess() { return Self().process; }

// One kernel call of a process's thread: the thread runs in the process, and
// a single-threaded client's buffers are held for the call's length.
class KernelEntry {
 public:
  explicit KernelEntry(Process& process) : process_(process), scope_(process) {
    if (process_.singleThreaded_) process_.Hold(true);
  }
  ~KernelEntry() {
    if (process_.singleThreaded_) process_.Hold(false);
  }
  KernelEntry(const KernelEntry&) = delete;
  KernelEntry& operator=(const KernelEntry&) = delete;

 private:
  Process& process_;
  ProcessScope scope_;
};

namespace {
// The pages of a buffer region that hold its bytes (the last page of the
// reservation is its guard page, inaccessible anyway).
size_t HeldBytes(size_t reservation) { return reservation - PAGE_SIZE; }
}  // namespace

void Process::Hold(bool on) {
  std::lock_guard lock(mu_);
  if (on ? kernelDepth_++ != 0 : --kernelDepth_ != 0) return;
  for (auto& [start, region] : regions_) {
    if (!region.base || region.mdl || region.usable == 0) continue;
    if (on) {
      os::ProtectNone(region.base, HeldBytes(region.bytes));
    } else if (region.held) {
      os::ProtectReadWrite(region.base, HeldBytes(region.bytes));
    }
    region.held = on;
  }
}

bool Process::Reserves(const void* address) const {
  const auto at = reinterpret_cast<uintptr_t>(address);
  std::lock_guard lock(mu_);
  for (const auto& [start, region] : regions_) {
    const auto base = reinterpret_cast<uintptr_t>(region.base);
    if (region.base && at >= base && at - base < region.bytes) return true;
  }
  return false;
}

bool Process::ReleaseHeldAt(const void* address) {
  const auto at = reinterpret_cast<uintptr_t>(address);
  std::lock_guard lock(mu_);
  for (auto& [start, region] : regions_) {
    const auto base = reinterpret_cast<uintptr_t>(region.base);
    if (!region.held || at < base || at - base >= HeldBytes(region.bytes)) continue;
    os::ProtectReadWrite(region.base, HeldBytes(region.bytes));
    region.held = false;
    return true;
  }
  return false;
}

// The copy runs without the lock: it may fault (a range the probe did not
// cover), and the fault handler looks at this process's regions.
void Process::CopyChecked(void* to, const void* from, size_t bytes) {
  std::vector<Region*> opened;
  {
    std::lock_guard lock(mu_);
    for (const void* end : {static_cast<const void*>(to), from}) {
      const auto at = reinterpret_cast<uintptr_t>(end);
      auto it = regions_.upper_bound(at);
      if (it == regions_.begin()) continue;
      --it;
      Region& region = it->second;
      if (!region.held || at - it->first >= region.usable) continue;
      os::ProtectReadWrite(region.base, HeldBytes(region.bytes));
      region.held = false;
      opened.push_back(&region);
    }
  }
  memcpy(to, from, bytes);
  std::lock_guard lock(mu_);
  for (Region* region : opened) {
    if (kernelDepth_ == 0 || region->usable == 0) continue;
    os::ProtectNone(region->base, HeldBytes(region->bytes));
    region->held = true;
  }
}

ProcessScope::ProcessScope(Process& process) : previous_(Self().process) {
  Self().process = &process;
}

ProcessScope::~ProcessScope() { Self().process = previous_; }

PKEVENT MakeSignalHookedEvent(EVENT_TYPE type, void (*onSignal)(void*), void* context,
                              void (*onDestroy)(void*), SignalHookTime when) {
  auto* body = static_cast<EventObject*>(CreateObject(ObjectType::Event, sizeof(EventObject), DestroyEvent));
  KeInitializeEvent(&body->event, type, FALSE);
  body->onSignal = onSignal;
  body->onDestroy = onDestroy;
  body->context = context;
  body->hookBeforeRelease = when == SignalHookTime::BeforeRelease;
  body->event.Header.Reserved = kSignalHookedEvent;
  return &body->event;
}

Process::Process(Machine& machine, ULONG id, std::string name)
    : machine_(machine), id_(id), name_(std::move(name)) {
  object_ = static_cast<PEPROCESS>(CreateObject(ObjectType::Process, sizeof(_KPROCESS), nullptr));
  object_->process = this;
  object_->id = id;
}

Process::~Process() {
  for (auto& [start, region] : regions_)
    if (region.base) os::ReleaseRetired(region.base, region.bytes);
  for (auto& [handle, entry] : handles_) DereferenceObject(entry.object);
  object_->process = nullptr;
  DereferenceObject(object_);
}

bool Process::exited() const {
  std::lock_guard lock(mu_);
  return exited_;
}

void* Process::Allocate(size_t bytes) {
  if (bytes == 0) bytes = 1;
  // The buffer ends right before an inaccessible page, so an overrun faults.
  const size_t usablePages = (bytes + PAGE_SIZE - 1) / PAGE_SIZE;
  const size_t total = (usablePages + 1) * PAGE_SIZE;
  auto* base = static_cast<char*>(os::AllocateUser(total));
  if (!base) return nullptr;
  os::ProtectNone(base + usablePages * PAGE_SIZE, PAGE_SIZE);
  char* buffer = base + usablePages * PAGE_SIZE - bytes;
  memset(buffer, 0, bytes);
  std::lock_guard lock(mu_);
  regions_[reinterpret_cast<uintptr_t>(buffer)] = Region{base, total, bytes};
  return buffer;
}

void Process::Free(void* buffer) {
  std::lock_guard lock(mu_);
  auto it = regions_.find(reinterpret_cast<uintptr_t>(buffer));
  if (it == regions_.end() || it->second.mdl || it->second.usable == 0) return;
  os::Retire(it->second.base, it->second.bytes, false);
  it->second.usable = 0;  // stays reserved, valid for nothing
}

bool Process::Contains(const void* address, size_t bytes) const {
  const auto start = reinterpret_cast<uintptr_t>(address);
  if (start + bytes < start) return false;
  std::lock_guard lock(mu_);
  auto it = regions_.upper_bound(start);
  if (it == regions_.begin()) return false;
  --it;
  return start + bytes <= it->first + it->second.usable && it->second.usable > 0;
}

size_t Process::MappingCount() const {
  std::lock_guard lock(mu_);
  size_t n = 0;
  for (const auto& [start, region] : regions_) n += region.mdl && region.usable ? 1 : 0;
  return n;
}

HANDLE Process::CreateEventHandle(bool manualReset, bool initialState) {
  auto* body = static_cast<EventObject*>(CreateObject(ObjectType::Event, sizeof(EventObject), DestroyEvent));
  KeInitializeEvent(&body->event, manualReset ? NotificationEvent : SynchronizationEvent,
                    initialState);
  std::lock_guard lock(mu_);
  auto handle = reinterpret_cast<HANDLE>(uintptr_t(nextHandle_++ << 2));
  handles_[handle] = HandleEntry{body, false};
  return handle;
}

HANDLE Process::AddEventHandle(PKEVENT hookedEvent) {
  std::lock_guard lock(mu_);
  auto handle = reinterpret_cast<HANDLE>(uintptr_t(nextHandle_++ << 2));
  handles_[handle] = HandleEntry{hookedEvent, false};
  return handle;
}

bool Process::EventSignalled(HANDLE event) const {
  void* object = ReferenceHandle(event);
  if (!object) return false;
  const bool signalled = HeaderOf(object)->type == ObjectType::Event &&
                         KeReadStateEvent(static_cast<PRKEVENT>(object)) != 0;
  DereferenceObject(object);
  return signalled;
}

void* Process::ReferenceHandle(HANDLE handle) const {
  std::lock_guard lock(mu_);
  auto it = handles_.find(handle);
  if (it == handles_.end()) return nullptr;
  ReferenceObject(it->second.object);
  return it->second.object;
}

HANDLE Process::Open(const std::wstring& interfacePath, NTSTATUS* status) {
  KernelEntry entry(*this);
  PDEVICE_OBJECT pdo = nullptr;
  *status = PnpOpenTarget(machine_, interfacePath, &pdo);
  if (!NT_SUCCESS(*status)) return nullptr;
  PDEVICE_OBJECT top = IoGetAttachedDeviceReference(pdo);
  auto* body = new (CreateObject(ObjectType::File, sizeof(FileBody), DestroyFile)) FileBody{};
  body->file.Type = 5;
  body->file.Size = sizeof(FILE_OBJECT);
  body->file.DeviceObject = top;
  body->uses = 1;
  body->pdo = pdo;
  body->machine = &machine_;
  IO_STATUS_BLOCK iosb{};
  *status = SendUserIrp(body, UserIrp(body, IRP_MJ_CREATE), &iosb);
  if (!NT_SUCCESS(*status)) {
    // A failed create is never closed.
    DereferenceObject(body);
    ObDereferenceObject(top);
    PnpHandleClosed(machine_, pdo);
    return nullptr;
  }
  std::lock_guard lock(mu_);
  auto handle = reinterpret_cast<HANDLE>(uintptr_t(nextHandle_++ << 2));
  handles_[handle] = HandleEntry{body, true};
  return handle;
}

NTSTATUS Process::DeviceIoControl(HANDLE file, ULONG code, const void* in, ULONG inLength,
                                  void* out, ULONG outLength, ULONG* returned) {
  KernelEntry entry(*this);
  if (returned) *returned = 0;
  FileBody* body;
  {
    std::lock_guard lock(mu_);
    auto it = handles_.find(file);
    if (it == handles_.end() || !it->second.file) return STATUS_INVALID_HANDLE;
    body = static_cast<FileBody*>(it->second.object);
    body->uses.fetch_add(1);
  }
  // Only buffered transfers are carried: the driver's interface uses no other.
  if (METHOD_FROM_CTL_CODE(code) != METHOD_BUFFERED) {
    ReleaseUse(body);
    return STATUS_INVALID_PARAMETER;
  }
  PIRP irp = UserIrp(body, IRP_MJ_DEVICE_CONTROL);
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->Parameters.DeviceIoControl.IoControlCode = code;
  next->Parameters.DeviceIoControl.InputBufferLength = inLength;
  next->Parameters.DeviceIoControl.OutputBufferLength = outLength;
  const ULONG bytes = std::max(inLength, outLength);
  if (bytes) {
    // The part past the input holds what new pool holds, not zeroes.
    irp->AssociatedIrp.SystemBuffer = ::operator new(bytes);
    memset(irp->AssociatedIrp.SystemBuffer, Pool::kFillPattern, bytes);
    if (in && inLength) CopyChecked(irp->AssociatedIrp.SystemBuffer, in, inLength);
    irp->Flags = IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER | (outLength ? IRP_INPUT_OPERATION : 0);
  }
  IrpRecord* record = RecordOf(irp, nullptr);
  record->userOutput = out;
  record->userOutputLength = outLength;
  record->copyBack = out && outLength;
  record->userProcess = this;
  irp->UserBuffer = out;
  IO_STATUS_BLOCK iosb{};
  const NTSTATUS status = SendUserIrp(body, irp, &iosb);
  if (returned && !NT_ERROR(status)) *returned = ULONG(std::min<ULONG_PTR>(iosb.Information, outLength));
  ReleaseUse(body);
  return status;
}

NTSTATUS Process::CloseHandle(HANDLE handle) {
  KernelEntry kernelEntry(*this);
  HandleEntry entry;
  {
    std::lock_guard lock(mu_);
    auto it = handles_.find(handle);
    if (it == handles_.end()) return STATUS_INVALID_HANDLE;
    entry = it->second;
    handles_.erase(it);
  }
  if (!entry.file) {
    DereferenceObject(entry.object);
    return STATUS_SUCCESS;
  }
  auto* body = static_cast<FileBody*>(entry.object);
  IO_STATUS_BLOCK iosb{};
  SendUserIrp(body, UserIrp(body, IRP_MJ_CLEANUP), &iosb);
  ReleaseUse(body);
  return STATUS_SUCCESS;
}

size_t Process::HandleCount() const {
  std::lock_guard lock(mu_);
  return handles_.size();
}

std::vector<HANDLE> Process::FileHandlesOn(const std::vector<PDEVICE_OBJECT>& pdos) const {
  std::lock_guard lock(mu_);
  std::vector<HANDLE> found;
  for (const auto& [handle, entry] : handles_) {
    if (!entry.file) continue;
    PDEVICE_OBJECT pdo = static_cast<FileBody*>(entry.object)->pdo;
    if (std::find(pdos.begin(), pdos.end(), pdo) != pdos.end()) found.push_back(handle);
  }
  return found;
}

void Process::Exit() {
  std::vector<HANDLE> handles;
  {
    std::lock_guard lock(mu_);
    if (exited_) return;
    exited_ = true;
    for (const auto& [handle, entry] : handles_) handles.push_back(handle);
  }
  for (HANDLE handle : handles) CloseHandle(handle);
  std::vector<std::string> left;
  {
    std::lock_guard lock(mu_);
    for (auto& [start, region] : regions_) {
      if (region.usable == 0) continue;
      if (region.mdl) {
        char text[96];
        std::snprintf(text, sizeof text, "user mapping at %p of MDL %p (%zu bytes)", region.user,
                      static_cast<void*>(region.mdl), region.usable);
        left.push_back(text);
      }
      if (region.base) os::Retire(region.base, region.bytes, region.mdl != nullptr);
      region.usable = 0;
    }
  }
  for (const std::string& what : left) {
    machine_.ReportFault(FaultKind::UserMappingMisuse,
                         what + " still there when " + ProcessText(*this) + " exited",
                         "the driver that mapped it never unmapped it");
  }
}

void* Process::MapPages(const std::vector<uintptr_t>& pages, ULONG byteOffset, PMDL mdl) {
  if (remote_) return MapRemote(pages, byteOffset, mdl);
  auto* view = static_cast<char*>(machine_.pool().MapSecondView(pages));
  if (!view) return nullptr;
  char* user = view + byteOffset;
  std::lock_guard lock(mu_);
  regions_[reinterpret_cast<uintptr_t>(user)] =
      Region{view, pages.size() * PAGE_SIZE, MmGetMdlByteCount(mdl), mdl, user};
  return user;
}

bool Process::UnmapPages(void* address, PMDL mdl) {
  {
    std::lock_guard lock(mu_);
    auto it = regions_.find(reinterpret_cast<uintptr_t>(address));
    if (it == regions_.end() || it->second.mdl != mdl || it->second.usable == 0) return false;
    it->second.usable = 0;
    if (it->second.base) {
      os::Retire(it->second.base, it->second.bytes, true);
      return true;
    }
  }
  // The client unmaps its view outside the lock: the connection may take a
  // while, and a dead one answers at once.
  remote_->Unmap(reinterpret_cast<uintptr_t>(address) & ~uintptr_t(PAGE_SIZE - 1));
  return true;
}

// A remote process maps the arena's file itself: the MDL's pages must be one
// run of the arena (nonpaged pool always is).
void* Process::MapRemote(const std::vector<uintptr_t>& pages, ULONG byteOffset, PMDL mdl) {
  if (pages.empty()) return nullptr;
  for (size_t i = 1; i < pages.size(); ++i)
    if (pages[i] != pages[0] + i) return nullptr;
  const uint64_t view = remote_->Map(uint64_t(pages[0]) * PAGE_SIZE, pages.size() * PAGE_SIZE);
  if (!view) return nullptr;
  char* user = reinterpret_cast<char*>(view) + byteOffset;
  std::lock_guard lock(mu_);
  regions_[reinterpret_cast<uintptr_t>(user)] = Region{nullptr, 0, MmGetMdlByteCount(mdl), mdl, user};
  return user;
}

Process* Process::MappingOwner(Machine& machine, const void* address) {
  for (Process* p : machine.Processes()) {
    std::lock_guard lock(p->mu_);
    auto it = p->regions_.find(reinterpret_cast<uintptr_t>(address));
    if (it != p->regions_.end() && it->second.mdl && it->second.usable) return p;
  }
  return nullptr;
}

}  // namespace tqm::kernel

using namespace tqm::kernel;

// An object type a driver names in ObReferenceObjectByHandle: the kind of
// object the reference must find behind the handle.
struct _OBJECT_TYPE {
  tqm::kernel::ObjectType kind;
};

namespace {
_OBJECT_TYPE eventObjectType{tqm::kernel::ObjectType::Event};
POBJECT_TYPE eventObjectTypePointer = &eventObjectType;
}  // namespace

extern "C" {

POBJECT_TYPE* ExEventObjectType = &eventObjectTypePointer;


PEPROCESS IoGetCurrentProcess(void) {
  Process* p = CurrentProcess();
  return p ? p->object() : Machine::Current().SystemProcess();
}

NTSTATUS ObReferenceObjectByHandle(HANDLE Handle, ACCESS_MASK DesiredAccess, POBJECT_TYPE ObjectType,
                                   KPROCESSOR_MODE AccessMode, PVOID* Object,
                                   POBJECT_HANDLE_INFORMATION HandleInformation) {
  RequireIrql(PASSIVE_LEVEL, "ObReferenceObjectByHandle", __builtin_return_address(0));
  Machine& m = Machine::Current();
  const bool kernelHandle = (reinterpret_cast<uintptr_t>(Handle) >> 63) != 0;
  void* object = nullptr;
  if (kernelHandle) {
    // A kernel handle is no handle at all to a request from user mode.
    if (AccessMode == KernelMode) object = m.objects().ReferenceAny(Handle);
  } else if (Process* p = CurrentProcess()) {
    object = m.ResolveUserHandle(*p, Handle);
  }
  if (!object) return STATUS_INVALID_HANDLE;
  if (ObjectType && HeaderOf(object)->type != ObjectType->kind) {
    DereferenceObject(object);
    return STATUS_OBJECT_TYPE_MISMATCH;
  }
  if (HandleInformation) {
    HandleInformation->HandleAttributes = 0;
    HandleInformation->GrantedAccess = DesiredAccess;
  }
  m.NoteHandleReference(CurrentDriver(), object);
  *Object = object;
  return STATUS_SUCCESS;
}

}  // extern "C"
