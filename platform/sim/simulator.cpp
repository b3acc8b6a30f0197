// The simulated machine with the hub and TQMDRV (simulator.h).
#include "platform/sim/simulator.h"

#include "companion/companion.h"
#include "platform/kernel/pool.h"
#include "tqm/identity.h"

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath);

namespace tqm::sim {

GUID DriverInterfaceClass() {
  GUID g;
  g.Data1 = kInterfaceGuid.data1;
  g.Data2 = kInterfaceGuid.data2;
  g.Data3 = kInterfaceGuid.data3;
  for (int i = 0; i < 8; ++i) g.Data4[i] = kInterfaceGuid.data4[i];
  return g;
}

Simulator::Simulator(SimulatorOptions options) : options_(options) {
  kernel::MachineOptions machineOptions;
  machineOptions.clock = options.clock;
  machineOptions.echoDebugOutput = options.echoDebugOutput;
  machine_ = std::make_unique<kernel::Machine>(machineOptions);
  if (options.recordFaults) {
    machine_->SetFaultHook([this](const kernel::Fault& fault) {
      std::lock_guard lock(faultsMu_);
      faults_.push_back(fault);
    });
  }
  machine_->RegisterDriver(kTqm27HardwareId, DriverEntry, kDriverService);
  if (options.companion) companion::RegisterDriver(*machine_);
  if (virtualTime()) {
    participation_.emplace(*machine_);
    machine_->clock().RunFree(true);
  }
  hub_ = std::make_unique<usb::UsbHub>(*machine_, usb::HubMode::PlugAndPlay);
}

Simulator::~Simulator() {
  // Faults of the teardown (the unload checks among them) have no reader
  // after this: they take the verifier's default course and stop the run.
  machine_->SetFaultHook(nullptr);
  // The hub's teardown removes the device tree and may wait for drivers'
  // threads: the clock must be free to move without this thread.
  participation_.reset();
  hub_.reset();
  machine_.reset();
}

usb::Tqm27Port* Simulator::Plug(size_t index) { return hub_->Plug(index); }

void Simulator::Unplug(size_t index) { hub_->Unplug(index); }

PDEVICE_OBJECT Simulator::pdo() const {
  usb::Tqm27Port* p = hub_->port();
  return p && !p->Deleted() ? p->pdo() : nullptr;
}

std::optional<kernel::NodeState> Simulator::DeviceState() const {
  PDEVICE_OBJECT device = pdo();
  if (!device) return std::nullopt;
  return machine_->DeviceNodeState(device);
}

companion::Companion* Simulator::Companion() const {
  PDEVICE_OBJECT device = pdo();
  if (!device) return nullptr;
  for (PDEVICE_OBJECT child : machine_->ChildDevices(device))
    if (companion::Companion* c = companion::FindCompanion(child)) return c;
  return nullptr;
}

std::vector<std::wstring> Simulator::DriverInterfaces() const {
  std::vector<std::wstring> paths;
  for (const kernel::DeviceInterfaceInfo& i : machine_->DeviceInterfaces(DriverInterfaceClass()))
    if (i.enabled && i.present) paths.push_back(i.path);
  return paths;
}

void Simulator::Run(uint32_t milliseconds) {
  LARGE_INTEGER interval;
  interval.QuadPart = -int64_t(milliseconds) * kernel::Clock::kUnitsPerMillisecond;
  KeDelayExecutionThread(KernelMode, FALSE, &interval);
}

void Simulator::RunToMidFrame() {
  constexpr int64_t ms = kernel::Clock::kUnitsPerMillisecond;
  const int64_t now = machine_->clock().Now();
  int64_t target = now / ms * ms + ms / 2;
  if (target <= now) target += ms;
  LARGE_INTEGER interval;
  interval.QuadPart = -(target - now);
  KeDelayExecutionThread(KernelMode, FALSE, &interval);
}

std::vector<kernel::Fault> Simulator::Faults() const {
  std::lock_guard lock(faultsMu_);
  return faults_;
}

std::vector<std::pair<std::string, uint64_t>> Simulator::DriverPoolBlocks() const {
  std::vector<std::pair<std::string, uint64_t>> out;
  for (const char* tag : {"Oru9", "Oru8", "Oru2", "Oru3", "PcNw", "Cmpn"}) {
    const ULONG value = ULONG(uint8_t(tag[0])) | ULONG(uint8_t(tag[1])) << 8 | ULONG(uint8_t(tag[2])) << 16 |
                        ULONG(uint8_t(tag[3])) << 24;
    out.emplace_back(tag, machine_->pool().Usage(value).blocks);
  }
  return out;
}

double Simulator::NowMs() const {
  return double(machine_->clock().Now()) / kernel::Clock::kUnitsPerMillisecond;
}

}  // namespace tqm::sim
