// The machine object (machine.h): drivers, device nodes, failure injection,
// the verifier's fault sink and the debug output.
#include "platform/kernel/machine.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>

#include "platform/kernel/internal.h"
#include "platform/kernel/os.h"
#include "platform/kernel/pnp_manager.h"
#include "platform/kernel/pool.h"
#include "platform/kernel/process.h"
#include "platform/kernel/registry.h"

namespace tqm::kernel {

namespace {
std::atomic<Machine*> current{nullptr};

const wchar_t kServicesPath[] = L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\";
const wchar_t kEnumPath[] = L"\\Registry\\Machine\\System\\CurrentControlSet\\Enum\\";
// The class key of media devices, where driver keys live.
const wchar_t kDriverKeysPath[] =
    L"\\Registry\\Machine\\System\\CurrentControlSet\\Control\\Class\\"
    L"{4d36e96c-e325-11ce-bfc1-08002be10318}\\";

NTSTATUS InvalidDeviceRequest(PDEVICE_OBJECT, PIRP irp) {
  irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
  irp->IoStatus.Information = 0;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_INVALID_DEVICE_REQUEST;
}

void DestroyDriver(ObjectHeader* header) {
  auto* driver = static_cast<PDRIVER_OBJECT>(BodyOf(header));
  delete[] driver->DriverName.Buffer;
  delete[] driver->DriverExtension->ServiceKeyName.Buffer;
  delete driver->DriverExtension;
}

UNICODE_STRING CopyString(const std::wstring& text) {
  UNICODE_STRING s;
  auto* buffer = new WCHAR[text.size() + 1];
  wmemcpy(buffer, text.c_str(), text.size() + 1);
  s.Buffer = buffer;
  s.Length = USHORT(text.size() * sizeof(WCHAR));
  s.MaximumLength = USHORT(s.Length + sizeof(WCHAR));
  return s;
}

std::string Narrow(const UNICODE_STRING& s) {
  return std::string(s.Buffer, s.Buffer + s.Length / sizeof(WCHAR));
}
}  // namespace

Machine::Machine(MachineOptions options) : options_(options) {
  Machine* expected = nullptr;
  if (!current.compare_exchange_strong(expected, this)) {
    std::fprintf(stderr, "Machine: only one simulated machine may exist at a time\n");
    std::abort();
  }
  InterleaveNewMachine();
  dispatcher_ = std::make_unique<Dispatcher>();
  clock_ = std::make_unique<Clock>(*dispatcher_, options_.clock);
  pool_ = std::make_unique<Pool>();
  registry_ = std::make_unique<Registry>();
  objects_ = std::make_unique<ObjectTable>();
  systemProcess_ = static_cast<PEPROCESS>(CreateObject(ObjectType::Process, sizeof(_KPROCESS), nullptr));
  systemProcess_->id = 4;
  pnp_ = std::make_unique<PnpState>();
  // The lock-order graph, and this thread's list of held locks, start anew
  // with each machine.
  ForgetLocks(nullptr, SIZE_MAX);
  Self().locksHeld.clear();
}

Machine::~Machine() {
  // Clients that are still running end first: their handles close while the
  // drivers are there to see the requests.
  for (Process* process : Processes()) process->Exit();
  // Then the devices go, as on a removal, so that drivers unload and their
  // leaks show.
  PnpShutdown(*this);
  // Let time pass until the system threads have ended, then stop the clock.
  // A thread may start another before it ends (a work item's routine queueing
  // one), so this goes on until none is left.
  for (;;) {
    std::vector<PKTHREAD> threads;
    {
      std::lock_guard lock(threadsMu_);
      threads.swap(threads_);
    }
    if (threads.empty()) break;
    if (clock_->mode() == ClockMode::Virtual) clock_->RunFree(true);
    for (PKTHREAD thread : threads) {
      thread->host.join();
      DereferenceObject(thread);
    }
  }
  {
    std::lock_guard lock(threadsMu_);
    for (PKTHREAD thread : endedThreads_) DereferenceObject(thread);
    endedThreads_.clear();
  }
  clock_->Stop();
  {
    std::lock_guard lock(processMu_);
    processes_.clear();
  }
  pnp_.reset();
  DereferenceObject(systemProcess_);
  objects_.reset();
  for (DriverRecord& record : drivers_) DereferenceObject(record.driver);
  drivers_.clear();
  current.store(nullptr);
}

Machine& Machine::Current() {
  Machine* m = current.load();
  if (!m) {
    std::fprintf(stderr, "simulated kernel called with no machine\n");
    std::abort();
  }
  return *m;
}

Machine* Machine::CurrentOrNull() { return current.load(); }

PDRIVER_OBJECT Machine::LoadDriver(PDRIVER_INITIALIZE entry, const std::wstring& serviceName,
                                   NTSTATUS* status) {
  auto* driver = static_cast<PDRIVER_OBJECT>(
      CreateObject(ObjectType::Driver, sizeof(DRIVER_OBJECT), DestroyDriver));
  driver->Type = 4;
  driver->Size = sizeof(DRIVER_OBJECT);
  driver->DriverInit = entry;
  driver->DriverName = CopyString(L"\\Driver\\" + serviceName);
  driver->DriverExtension = new DRIVER_EXTENSION{};
  driver->DriverExtension->DriverObject = driver;
  driver->DriverExtension->ServiceKeyName = CopyString(serviceName);
  for (PDRIVER_DISPATCH& dispatch : driver->MajorFunction) dispatch = InvalidDeviceRequest;

  const std::wstring servicePath = kServicesPath + serviceName;
  registry_->CreateKey(servicePath);
  UNICODE_STRING registryPath = CopyString(servicePath);
  NTSTATUS result;
  {
    RoutineCheck check(FrameKind::DriverEntry, driver, nullptr, 0,
                       reinterpret_cast<const void*>(entry));
    result = entry(driver, &registryPath);
  }
  delete[] registryPath.Buffer;
  if (status) *status = result;
  if (!NT_SUCCESS(result)) {
    DereferenceObject(driver);
    return nullptr;
  }
  std::lock_guard lock(mu_);
  drivers_.push_back(DriverRecord{driver, servicePath});
  return driver;
}

void Machine::UnloadDriver(PDRIVER_OBJECT driver) {
  if (driver->DriverUnload) {
    RoutineCheck check(FrameKind::DriverUnload, driver, nullptr, 0,
                       reinterpret_cast<const void*>(driver->DriverUnload));
    driver->DriverUnload(driver);
  }
  const auto left = pool_->Outstanding(driver);
  if (!left.empty()) {
    std::string what = "driver " + std::string(driver->DriverName.Buffer,
                                               driver->DriverName.Buffer +
                                                   driver->DriverName.Length / sizeof(WCHAR)) +
                       " unloaded with pool still allocated:";
    for (const auto& [tag, usage] : left) {
      what += " '" + Pool::TagText(tag) + "' " + std::to_string(usage.blocks) + " block(s) " +
              std::to_string(usage.bytes) + " bytes;";
    }
    ReportFault(FaultKind::PoolLeakAtUnload, what,
                "after " + SymbolName(reinterpret_cast<const void*>(driver->DriverUnload)));
  }
  CheckResourcesAtUnload(driver);
  std::multiset<void*> references;
  {
    std::lock_guard lock(processMu_);
    auto it = handleReferences_.find(driver);
    if (it != handleReferences_.end()) {
      references.swap(it->second);
      handleReferences_.erase(it);
    }
  }
  if (!references.empty()) {
    char first[32];
    std::snprintf(first, sizeof first, "%p", *references.begin());
    ReportFault(FaultKind::ObjectReferenceLeak,
                "driver " + Narrow(driver->DriverName) + " unloaded still holding " +
                    std::to_string(references.size()) +
                    " object reference(s) it took with ObReferenceObjectByHandle (first: " + first +
                    ")",
                "after " + SymbolName(reinterpret_cast<const void*>(driver->DriverUnload)));
  }
  std::lock_guard lock(mu_);
  for (auto it = drivers_.begin(); it != drivers_.end(); ++it) {
    if (it->driver == driver) {
      drivers_.erase(it);
      DereferenceObject(driver);
      break;
    }
  }
}

bool Machine::UnloadRequested(PDRIVER_OBJECT driver) const {
  std::lock_guard lock(mu_);
  for (const DriverRecord& record : drivers_) {
    if (record.driver == driver) return record.unloadRequested;
  }
  return false;
}

void Machine::RequestUnload(PDRIVER_OBJECT driver) {
  std::lock_guard lock(mu_);
  for (DriverRecord& record : drivers_) {
    if (record.driver == driver) record.unloadRequested = true;
  }
}

PDRIVER_OBJECT Machine::FindDriverByServicePath(const std::wstring& path) const {
  std::lock_guard lock(mu_);
  for (const DriverRecord& record : drivers_) {
    if (Registry::SameName(record.servicePath, path)) return record.driver;
  }
  return nullptr;
}

void Machine::RegisterPhysicalDevice(PDEVICE_OBJECT pdo, const std::wstring& instancePath) {
  std::lock_guard lock(mu_);
  deviceNodes_[pdo] = NodeKeys{instancePath, nextDriverKeyIndex_++};
}

std::wstring Machine::DeviceKeyPath(PDEVICE_OBJECT device, ULONG keyType) const {
  std::lock_guard lock(mu_);
  auto it = deviceNodes_.find(BottomOfStack(device));
  if (it == deviceNodes_.end()) return {};
  if (keyType == PLUGPLAY_REGKEY_DEVICE) {
    return kEnumPath + it->second.instancePath + L"\\Device Parameters";
  }
  if (keyType == PLUGPLAY_REGKEY_DRIVER) {
    wchar_t index[8];
    std::swprintf(index, 8, L"%04u", it->second.driverKeyIndex);
    return kDriverKeysPath + std::wstring(index);
  }
  return {};
}

Process& Machine::StartProcess(std::string name) {
  std::lock_guard lock(processMu_);
  processes_.push_back(std::make_unique<Process>(*this, nextProcessId_, std::move(name)));
  nextProcessId_ += 4;
  return *processes_.back();
}

std::vector<Process*> Machine::Processes() const {
  std::lock_guard lock(processMu_);
  std::vector<Process*> list;
  for (const auto& p : processes_) list.push_back(p.get());
  return list;
}

void Machine::SetUserHandleResolver(UserHandleResolver resolver) {
  std::lock_guard lock(processMu_);
  resolver_ = std::move(resolver);
}

void* Machine::ResolveUserHandle(Process& process, HANDLE handle) {
  UserHandleResolver resolver;
  {
    std::lock_guard lock(processMu_);
    resolver = resolver_;
  }
  return resolver ? resolver(process, handle) : process.ReferenceHandle(handle);
}

SYSTEM_POWER_STATE Machine::SystemPowerState() const {
  std::lock_guard lock(processMu_);
  return systemPower_;
}

DEVICE_POWER_STATE Machine::DevicePowerState(PDEVICE_OBJECT device) const {
  std::lock_guard lock(processMu_);
  auto it = devicePower_.find(device);
  return it == devicePower_.end() ? PowerDeviceD0 : it->second;
}

void Machine::RecordDevicePowerState(PDEVICE_OBJECT device, DEVICE_POWER_STATE state) {
  std::lock_guard lock(processMu_);
  devicePower_[device] = state;
}

void Machine::NoteHandleReference(PDRIVER_OBJECT driver, void* object) {
  if (!driver) return;
  std::lock_guard lock(processMu_);
  handleReferences_[driver].insert(object);
}

void Machine::NoteDereference(PDRIVER_OBJECT driver, void* object) {
  std::lock_guard lock(processMu_);
  auto own = handleReferences_.find(driver);
  if (own != handleReferences_.end()) {
    auto it = own->second.find(object);
    if (it != own->second.end()) {
      own->second.erase(it);
      return;
    }
  }
  // Another driver may give back a reference it was handed.
  for (auto& [holder, objects] : handleReferences_) {
    auto it = objects.find(object);
    if (it != objects.end()) {
      objects.erase(it);
      return;
    }
  }
}

void Machine::SetFaultHook(FaultHook hook) {
  std::lock_guard lock(mu_);
  faultHook_ = std::move(hook);
}

void Machine::ReportFault(FaultKind kind, std::string what, std::string where) {
  FaultHook hook;
  {
    std::lock_guard lock(mu_);
    hook = faultHook_;
  }
  if (hook) {
    hook(tqm::kernel::Fault{kind, std::move(what), std::move(where)});
    return;
  }
  std::fprintf(stderr, "VERIFIER: %s: %s\n  where: %s\n", FaultKindName(kind), what.c_str(),
               where.c_str());
  os::PrintStack();
  std::abort();
}

void Machine::FailNth(FailurePoint point, uint64_t n) {
  std::lock_guard lock(mu_);
  Injection& i = injections_[point];
  i.failAt = i.attempts + n;
  i.every = false;
}

void Machine::FailEvery(FailurePoint point) {
  std::lock_guard lock(mu_);
  injections_[point].every = true;
}

void Machine::ClearFailures() {
  std::lock_guard lock(mu_);
  for (auto& [point, i] : injections_) {
    i.failAt = 0;
    i.every = false;
  }
}

bool Machine::ShouldFail(FailurePoint point) {
  std::lock_guard lock(mu_);
  Injection& i = injections_[point];
  ++i.attempts;
  if (i.every) return true;
  if (i.failAt != 0 && i.attempts == i.failAt) {
    i.failAt = 0;
    return true;
  }
  return false;
}

uint64_t Machine::Attempts(FailurePoint point) const {
  std::lock_guard lock(mu_);
  auto it = injections_.find(point);
  return it == injections_.end() ? 0 : it->second.attempts;
}

void Machine::CheckResourcesAtUnload(PDRIVER_OBJECT driver) {
  ReapThreads();
  size_t unwaited = 0, running = 0;
  {
    std::lock_guard lock(threadsMu_);
    for (PKTHREAD thread : threads_) {
      if (thread->owner != driver || thread->waited) continue;
      ++unwaited;
      ++running;
    }
    for (auto it = endedThreads_.begin(); it != endedThreads_.end();) {
      if ((*it)->owner != driver) {
        ++it;
        continue;
      }
      if (!(*it)->waited) ++unwaited;
      DereferenceObject(*it);
      it = endedThreads_.erase(it);
    }
  }
  std::string what;
  auto add = [&what](size_t n, const char* text) {
    if (n) what += " " + std::to_string(n) + " " + text + ";";
  };
  add(AllocatedIrps(driver), "IRP(s) it allocated and never freed");
  add(DevicesOf(driver), "device object(s) it never deleted");
  add(objects_->HandlesOf(driver), "kernel handle(s) it never closed");
  add(unwaited, "system thread(s) it never waited on (KeWaitForSingleObject on the thread object)");
  add(OutstandingWorkItems(driver), "work item(s) still queued or running");
  if (running) what += " (" + std::to_string(running) + " still running);";
  if (what.empty()) return;
  ReportFault(FaultKind::ResourceLeakAtUnload, "driver " + Narrow(driver->DriverName) + " unloaded with" + what,
              "after " + SymbolName(reinterpret_cast<const void*>(driver->DriverUnload)));
  // Its devices cannot outlive the driver object they point to.
  while (DevicesOf(driver)) IoDeleteDevice(driver->DeviceObject);
}

void Machine::AdoptThread(PKTHREAD thread) {
  std::lock_guard lock(threadsMu_);
  threads_.push_back(thread);
}

void Machine::ReapThreads() {
  std::vector<PKTHREAD> ended;
  {
    std::lock_guard lock(threadsMu_);
    std::lock_guard dispatcherLock(dispatcher_->mu);
    for (auto it = threads_.begin(); it != threads_.end();) {
      if ((*it)->Header.SignalState > 0) {
        ended.push_back(*it);
        it = threads_.erase(it);
      } else {
        ++it;
      }
    }
  }
  for (PKTHREAD thread : ended) {
    thread->host.join();
    if (!thread->owner) {
      DereferenceObject(thread);
      continue;
    }
    std::lock_guard lock(threadsMu_);
    endedThreads_.push_back(thread);
  }
}

void Machine::AddDebugLine(ULONG component, ULONG level, std::string text) {
  if (options_.echoDebugOutput) std::fprintf(stderr, "[dbg %u/%u] %s", component, level, text.c_str());
  std::lock_guard lock(mu_);
  debugOutput_.push_back(DebugLine{component, level, std::move(text)});
}

std::vector<DebugLine> Machine::DebugOutput() const {
  std::lock_guard lock(mu_);
  return debugOutput_;
}

void Machine::ClearDebugOutput() {
  std::lock_guard lock(mu_);
  debugOutput_.clear();
}

}  // namespace tqm::kernel

using namespace tqm::kernel;

extern "C" {

BOOLEAN IoIsWdmVersionAvailable(UCHAR MajorVersion, UCHAR MinorVersion) {
  const MachineOptions& o = Machine::Current().options();
  return MajorVersion < o.wdmMajor || (MajorVersion == o.wdmMajor && MinorVersion <= o.wdmMinor);
}

NTSTATUS ZwUnloadDriver(PUNICODE_STRING DriverServiceName) {
  RequireIrql(PASSIVE_LEVEL, "ZwUnloadDriver", __builtin_return_address(0));
  Machine& m = Machine::Current();
  const std::wstring path(DriverServiceName->Buffer,
                          DriverServiceName->Length / sizeof(WCHAR));
  PDRIVER_OBJECT driver = m.FindDriverByServicePath(path);
  if (!driver) return STATUS_OBJECT_NAME_NOT_FOUND;
  m.RequestUnload(driver);
  return STATUS_SUCCESS;
}

}  // extern "C"
