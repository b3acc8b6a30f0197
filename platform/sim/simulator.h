// The simulated machine as the simulator runs it: a Windows kernel in user
// space, the USB hub as a Plug and Play bus, TQMDRV registered for the
// TQM27's hardware identifier and the companion audio driver for its child
// device's (as Windows loads its audio-class driver there), and a virtual
// TQM27 to plug and unplug.
//
// Time. In virtual time the thread that owns the Simulator takes part in the
// clock (a Participation) and lets it run free: the clock moves only while
// that thread waits in the kernel (Run, a command that waits, a Plug and Play
// step), and every other thread of the machine is quiet at each instant, so a
// run is exact and repeatable. In real time the clock follows the wall clock
// and nothing waits for anyone, as on Windows.
//
// Lifecycle: construct (machine, driver registrations, hub), Plug/Unplug any
// number of times, destroy (the participation ends, the hub removes its tree
// and the drivers unload, then the machine ends). All calls come from the
// thread that constructed it.
#pragma once

#include <wdm.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/kernel/machine.h"
#include "usb/usb_hub.h"

namespace tqm::companion {
class Companion;
}

namespace tqm::sim {

// The TQM27's hardware identifier and TQMDRV's service.
inline constexpr wchar_t kTqm27HardwareId[] = L"USB\\VID_1D27&PID_0127";
inline constexpr wchar_t kDriverService[] = L"TQM27_01";

struct SimulatorOptions {
  kernel::ClockMode clock = kernel::ClockMode::Virtual;
  bool echoDebugOutput = false;
  // Load the companion audio driver on the child device. While it holds the
  // companion interface the parent refuses QUERY_STOP and QUERY_REMOVE, so a
  // run that needs the device stop-pending goes without it.
  bool companion = true;
  // Kernel misuse the verifier finds is kept for Faults() instead of ending
  // the process (the scenarios report it as a failure); misuse found while
  // the simulator is destroyed ends the process as usual.
  bool recordFaults = false;
};

GUID DriverInterfaceClass();

class Simulator {
 public:
  explicit Simulator(SimulatorOptions options = {});
  ~Simulator();
  Simulator(const Simulator&) = delete;
  Simulator& operator=(const Simulator&) = delete;

  kernel::Machine& machine() { return *machine_; }
  usb::UsbHub& hub() { return *hub_; }
  bool virtualTime() const { return options_.clock == kernel::ClockMode::Virtual; }

  // Plugs a TQM27 into hub port `index` (0 the first) and lets Plug and Play
  // load and start TQMDRV on it. Null when the port is occupied.
  usb::Tqm27Port* Plug(size_t index = 0);
  // The TQM27 leaves the bus (surprise removal; REMOVE follows when the last
  // handle to the device closes).
  void Unplug(size_t index = 0);
  usb::Tqm27Port* port(size_t index = 0) const { return hub_->port(index); }
  // The TQM27's physical device object, or null when none is plugged.
  PDEVICE_OBJECT pdo() const;
  // Where the TQM27's device node is in the Plug and Play sequences.
  std::optional<kernel::NodeState> DeviceState() const;

  // The companion loaded on the plugged TQM27's child device, or null.
  companion::Companion* Companion() const;

  // Paths of the driver's device interfaces that user mode can open now
  // (enabled and present), in registration order.
  std::vector<std::wstring> DriverInterfaces() const;

  // Lets `milliseconds` of machine time pass with the calling thread waiting
  // in the kernel: exact in virtual time, paced by the wall clock in real time.
  void Run(uint32_t milliseconds);
  // Waits until the middle of the next millisecond: no frame work is due
  // there, so in virtual time nothing of the bus runs beside the caller.
  void RunToMidFrame();
  // Machine time since boot, in milliseconds.
  double NowMs() const;

  // What the verifier found so far (with recordFaults).
  std::vector<kernel::Fault> Faults() const;
  // Outstanding pool blocks of TQMDRV's tags and the companion's, by tag
  // text ("Oru9", ..., "Cmpn").
  std::vector<std::pair<std::string, uint64_t>> DriverPoolBlocks() const;

 private:
  SimulatorOptions options_;
  std::unique_ptr<kernel::Machine> machine_;
  std::optional<kernel::Participation> participation_;
  std::unique_ptr<usb::UsbHub> hub_;
  mutable std::mutex faultsMu_;
  std::vector<kernel::Fault> faults_;
};

}  // namespace tqm::sim
