// Failure injection beyond the start path: each scripted scenario of a
// client's life with the device runs once to count how many pool, IRP, MDL,
// user-mapping, thread, device-creation and attach attempts it makes, then once per attempt with that
// attempt failing. Every run must end with each operation having either
// succeeded or reported its failure (no verifier fault, no hang), and the
// removal and unload that follow must leave nothing behind (the unload
// checks report pool, IRPs, devices, handles and threads as faults).
//
// Every scenario's sweep takes seconds and runs in CI. The soak build of this
// file (TQM_SWEEP_SOAK) lets each stream run a tenth of a second of wall time
// before the next step, so that failures also meet completions in flight.
#include <chrono>
#include <functional>
#include <thread>
#include <memory>
#include <string>
#include <vector>

#include "companion/companion.h"
#include "tests/driver/core/driver_fixture.h"

namespace tqmdrv::testing {
namespace {

using tqm::kernel::FailurePoint;
using tqm::kernel::Fault;

// One machine with a plugged TQM27 for one run of a scenario.
class SweepRig {
 public:
  explicit SweepRig(bool companion) {
    machine.SetFaultHook([this](const Fault& fault) { faults.push_back(fault.what + " in " + fault.where); });
    machine.RegisterDriver(kDeviceId, DriverEntry, kService);
    if (companion) tqm::companion::RegisterDriver(machine);
    machine.clock().RunFree(true);
    hub = std::make_unique<tqm::usb::UsbHub>(machine, tqm::usb::HubMode::PlugAndPlay);
  }
  ~SweepRig() { Remove(); }

  bool Plug() {
    port = hub->Plug();
    return port && machine.DeviceNodeState(port->pdo()) == NodeState::Started;
  }
  // A client on the driver's interface, or null when there is none to open
  // (or the open failed).
  Client* Open(const char* name) {
    std::wstring path;
    for (const auto& i : machine.DeviceInterfaces(InterfaceClass()))
      if (i.present && i.enabled) path = i.path;
    if (path.empty()) return nullptr;
    clients.push_back(std::make_unique<Client>(machine, name, path));
    return clients.back()->openStatus() == STATUS_SUCCESS ? clients.back().get() : nullptr;
  }
  // Clients close, the device goes and the driver unloads.
  void Remove() {
    if (!hub) return;
    machine.clock().RunFree(true);
    for (auto& client : clients) client->Close();
    hub.reset();
  }
  bool DriverLoaded() const { return machine.FindDriverByServicePath(kServicePath) != nullptr; }

  Machine machine;
  bool completed = false;  // the scenario reached its last step with every step succeeding
  std::vector<std::string> faults;
  std::unique_ptr<tqm::usb::UsbHub> hub;
  tqm::usb::Tqm27Port* port = nullptr;
  std::vector<std::unique_ptr<Client>> clients;
};

// A client's steps up to streaming; each one stops the scenario when it fails
// (what the host does), and every status is one of the two outcomes.
bool Stream(SweepRig& rig, Client& asio) {
  tqm::DeviceStatusBlock* status = asio.MapStatus(tqm::CMD_CLASS_STREAM);
  if (!status) return false;
  const ULONG period = status->periodFrames;
  int32_t* shared = asio.AllocShared(period * 32);
  if (!shared) return false;
  for (ULONG d = 0; d < 2; ++d)
    for (ULONG h = 0; h < 2; ++h)
      if (asio.RegisterHalf(d, 0, h, shared + (d * 2 + h) * period) != STATUS_SUCCESS) return false;
  if (asio.Activate(1, 1, true) != STATUS_SUCCESS) return false;
#if defined(TQM_SWEEP_SOAK)
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
#endif
  (void)rig;
  return true;
}

struct Scenario {
  const char* name;
  bool companion;  // the companion driver is registered for the child
  bool plugInside;  // the plug is part of the swept steps
  std::function<void(SweepRig&)> run;
};

const std::vector<Scenario>& Scenarios() {
  static const std::vector<Scenario> scenarios = {
      {"open, map, AllocSharedBuffer, register halves, activate, close", false, false,
       [](SweepRig& rig) {
         Client* asio = rig.Open("asio");
         if (!asio) return;
         const bool streamed = Stream(rig, *asio);
         const bool stopped = streamed && asio->Activate(1, 1, false) == STATUS_SUCCESS;
         asio->AllocShared(0);
         asio->Close();
         rig.completed = stopped;
       }},
      {"rate change while streaming", false, false,
       [](SweepRig& rig) {
         Client* asio = rig.Open("asio");
         if (!asio || !Stream(rig, *asio)) return;
         const bool changed =
             asio->Command(tqm::CMD_CLASS_STREAM, tqm::StreamOp::SetSampleRate, {Word(Field::SampleRate, 96000)})
                 .status == STATUS_SUCCESS;
         rig.completed = changed && asio->Activate(1, 1, false) == STATUS_SUCCESS;
       }},
      {"surprise removal mid-stream", false, false,
       [](SweepRig& rig) {
         Client* asio = rig.Open("asio");
         if (!asio || !Stream(rig, *asio)) return;
         rig.hub->Unplug();
         asio->Activate(1, 1, false);  // refused or not: the device is gone
         asio->Close();
         rig.completed = true;
       }},
      {"sleep and wake", false, false,
       [](SweepRig& rig) {
         const bool slept = rig.machine.SetSystemPowerState(PowerSystemSleeping3) == STATUS_SUCCESS;
         const bool woke = rig.machine.SetSystemPowerState(PowerSystemWorking) == STATUS_SUCCESS;
         Client* panel = rig.Open("panel");
         rig.completed = slept && woke && panel &&
                         panel->Command(tqm::CMD_CLASS_CONTROL, tqm::ControlOp::GetActiveClient).status == STATUS_SUCCESS;
       }},
      // The streams stop before the device leaves D0 and a work item starts
      // them again after the wake.
      {"sleep and wake while streaming", false, false,
       [](SweepRig& rig) {
         Client* asio = rig.Open("asio");
         if (!asio || !Stream(rig, *asio)) return;
         const bool slept = rig.machine.SetSystemPowerState(PowerSystemSleeping3) == STATUS_SUCCESS;
         const bool woke = rig.machine.SetSystemPowerState(PowerSystemWorking) == STATUS_SUCCESS;
         rig.completed = slept && woke && asio->Activate(1, 1, false) == STATUS_SUCCESS;
       }},
      // A volume change through the companion starts the deferred apply: its
      // system thread waits 50 ms of machine time, then sends the volumes.
      {"companion volume change and its deferred apply", true, false,
       [](SweepRig& rig) {
         const auto children = rig.machine.ChildDevices(rig.port->pdo());
         tqm::companion::Companion* companion =
             children.size() == 1 ? tqm::companion::FindCompanion(children[0]) : nullptr;
         if (!companion) return;
         rig.machine.clock().RunFree(false);
         const bool set = companion->SetVolume(tqm::companion::Flow::Render, -6.0, -6.0);
         rig.machine.clock().Step(60);
         const auto state = rig.port->device().State();
         // -6 dB is 0xFA00 on the wire.
         rig.completed = set && uint16_t(state.playback.volume[0]) == 0xFA00 &&
                         uint16_t(state.playback.volume[1]) == 0xFA00;
       }},
      // The companion attaches to the child as the device starts and detaches
      // when the device leaves the bus.
      {"companion attach and detach", true, true,
       [](SweepRig& rig) {
         rig.completed = rig.Plug();
         rig.hub->Unplug();
       }},
  };
  return scenarios;
}

struct Point {
  const char* name;
  FailurePoint point;
};
constexpr Point kPoints[] = {
    {"pool", FailurePoint::PoolAllocation},   {"IRP", FailurePoint::IrpAllocation},
    {"MDL", FailurePoint::MdlAllocation},     {"user mapping", FailurePoint::UserMapping},
    {"thread", FailurePoint::SystemThread},   {"device", FailurePoint::DeviceCreation},
    {"attach", FailurePoint::DeviceAttach},
};

// Runs the scenario with the nth attempt at point failing (0: none); returns
// the attempts the scenario made.
uint64_t RunOnce(const Scenario& scenario, FailurePoint point, uint64_t n, const std::string& label) {
  SweepRig rig(scenario.companion);
  if (!scenario.plugInside && !rig.Plug()) {
    ADD_FAILURE() << label << ": the device did not start";
    return 0;
  }
  const uint64_t before = rig.machine.Attempts(point);
  if (n) rig.machine.FailNth(point, n);
  scenario.run(rig);
  rig.machine.ClearFailures();
  const uint64_t attempts = rig.machine.Attempts(point) - before;
  // Without injection every step succeeds, so the oracle sees both outcomes.
  if (!n) EXPECT_TRUE(rig.completed) << label << ": the scenario did not complete without failures";
  rig.Remove();
  EXPECT_FALSE(rig.DriverLoaded()) << label << ": the driver stayed loaded after the removal";
  for (const std::string& fault : rig.faults) ADD_FAILURE() << label << ": verifier: " << fault;
  return attempts;
}

// The soak build is a test of its own name: with the same name as this one,
// CTest would keep only one of the two, and the label would leave it out of CI.
#if defined(TQM_SWEEP_SOAK)
#define TQM_SWEEP_SUITE FailureSweepSoak
#else
#define TQM_SWEEP_SUITE FailureSweep
#endif

TEST(TQM_SWEEP_SUITE, EveryAttemptOfEachScenarioMayFailAndRemovalLeavesNothing) {
  std::vector<uint64_t> reached(std::size(kPoints), 0);
  for (const Scenario& scenario : Scenarios()) {
    for (size_t i = 0; i < std::size(kPoints); ++i) {
      const Point& p = kPoints[i];
      const std::string base = std::string(scenario.name) + " / " + p.name;
      const uint64_t attempts = RunOnce(scenario, p.point, 0, base + " (counting)");
      reached[i] += attempts;
      for (uint64_t n = 1; n <= attempts; ++n) {
        RunOnce(scenario, p.point, n, base + " #" + std::to_string(n) + " of " + std::to_string(attempts));
        if (::testing::Test::HasFailure()) return;  // one broken run says enough
      }
    }
  }
  // Each kind of failure is met by some scenario.
  for (size_t i = 0; i < std::size(kPoints); ++i)
    EXPECT_GT(reached[i], 0u) << "no scenario reaches a " << kPoints[i].name << " failure";
}

}  // namespace
}  // namespace tqmdrv::testing
