// Fuzz target for the driver's command interface: the one path any process
// can reach with any bytes.
//
// Each input is a script run on a fresh simulated machine with a TQM27
// plugged in and TQMDRV started: three client processes (each with a handle
// on the interface, a buffer of its own and an event) send records of 0 to
// 256 bytes whose address and handle slots are aimed at valid, invalid,
// foreign and mapped memory, while the script also streams, steps the clock,
// writes what it likes into the status-block mappings the driver gave its
// clients, crashes and restarts clients, and takes the device through stop,
// restart, query-remove, surprise removal and replugging, and arms the
// kernel to fail one of its next pool, IRP, MDL, mapping, thread or device
// attempts. After the last
// action the machine streams on for a few hundred milliseconds of virtual
// time, so the completion routines run on whatever the input changed. At the
// end the device is removed and the driver unloaded: the verifier aborts on
// any kernel misuse, the pool check on any leak, the sanitizers on any stray
// access.
#include <chrono>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "driver/core/core.h"
#include "platform/kernel/machine.h"
#include "platform/kernel/process.h"
#include "tqm/command_record.h"
#include "tqm/identity.h"
#include "tqm/status_block.h"
#include "usb/usb_hub.h"

namespace {

using tqm::kernel::Machine;
using tqm::kernel::Process;

class Script {
 public:
  Script(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  bool More() const { return at_ < size_; }
  uint8_t Byte() { return at_ < size_ ? data_[at_++] : 0; }
  uint32_t Word() {
    uint32_t value = 0;
    for (int i = 0; i < 4; ++i) value |= uint32_t(Byte()) << (8 * i);
    return value;
  }
  // Up to `n` raw bytes into out (the rest zero).
  void Bytes(uint8_t* out, size_t n) {
    for (size_t i = 0; i < n; ++i) out[i] = Byte();
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t at_ = 0;
};

struct Client {
  Process* process = nullptr;
  HANDLE handle = nullptr;
  HANDLE event = nullptr;
  uint8_t* buffer = nullptr;  // 4096 bytes of its own
  uint64_t mapped = 0;        // last status-block address the driver gave it
  uint64_t shared = 0;        // last shared-buffer address
};

class Rig {
 public:
  Rig() {
    machine_.RegisterDriver(L"USB\\VID_1D27&PID_0127", DriverEntry, L"TQM27_01");
    // Requests that close channels wait for streams to drain: the clock runs
    // free throughout, so the streams move on while the script runs.
    machine_.clock().RunFree(true);
    hub_ = std::make_unique<tqm::usb::UsbHub>(machine_, tqm::usb::HubMode::PlugAndPlay);
    hub_->Plug();
    for (int i = 0; i < 3; ++i) Start(i);
  }
  ~Rig() {
    for (Client& c : clients_)
      if (c.process) c.process->Exit();
    hub_.reset();
  }

  void Run(Script& script) {
    while (script.More()) {
      const uint8_t op = script.Byte();
      Client& client = clients_[script.Byte() % 3];
      switch (op % 14) {
        case 0:
        case 1:
        case 2:
        case 3:
        case 4:
          Send(script, client);
          break;
        case 5:  // let the streams run a while
          std::this_thread::sleep_for(std::chrono::microseconds(50 * (1 + script.Byte() % 20)));
          break;
        case 6:  // a host that crashes and comes back
          client.process->Exit();
          Start(int(&client - clients_));
          break;
        case 7:
          Reopen(client);
          break;
        case 11:
          ArmFailure(script);
          break;
        case 12:
        case 13:
          Scribble(script, client);
          break;
        default:
          Pnp(script.Byte());
          break;
      }
    }
    // The streams run on what the script left behind, in virtual time.
    machine_.clock().RunFree(false);
    machine_.clock().Step(kStreamAfterMs);
    machine_.clock().RunFree(true);
  }

  static constexpr uint32_t kStreamAfterMs = 200;

 private:
  std::wstring Path() const {
    GUID guid;
    std::memcpy(&guid, &tqm::kInterfaceGuid, sizeof guid);
    for (const auto& i : machine_.DeviceInterfaces(guid))
      if (i.present && i.enabled) return i.path;
    return {};
  }

  void Start(int index) {
    Client& c = clients_[index];
    c = Client{};
    c.process = &machine_.StartProcess("client" + std::to_string(index));
    c.process->SetSingleThreaded(true);  // the script is its only thread
    c.event = c.process->CreateEventHandle(false, false);
    c.buffer = static_cast<uint8_t*>(c.process->Allocate(4096));
    NTSTATUS status;
    c.handle = c.process->Open(Path(), &status);
  }

  void Reopen(Client& c) {
    if (c.handle) c.process->CloseHandle(c.handle);
    NTSTATUS status;
    c.handle = c.process->Open(Path(), &status);
  }

  // A client writes one word of its status-block mapping, as any client can:
  // the period, rate, request count, watchdog, meter flag or anything else.
  void Scribble(Script& script, Client& c) {
    const uint32_t word = script.Byte() % (sizeof(tqm::DeviceStatusBlock) / 4);
    static constexpr uint32_t kValues[] = {0, 1, 10, 288, 3000, 0x7FFFFFFF, 0x80000000, 0xFFFFFFFF};
    const uint8_t pick = script.Byte();
    const uint32_t value = pick < 16 * 8 ? kValues[pick % 8] : script.Word();
    auto* address = reinterpret_cast<uint32_t*>(uintptr_t(c.mapped) + 4 * word);
    // Only while the mapping is there: a stale address would fault in the
    // client, not in the kernel.
    if (!c.mapped || !c.process->Contains(address, sizeof *address)) return;
    __atomic_store_n(address, value, __ATOMIC_RELAXED);
  }

  // A slot value aimed somewhere interesting.
  uint64_t Aim(Script& script, Client& c, uint64_t raw) {
    Client& other = clients_[(&c - clients_ + 1) % 3];
    const uint32_t offset = script.Byte() * 16u;
    switch (script.Byte() % 10) {
      case 0: return raw;
      case 1: return 0;
      case 2: return uint64_t(uintptr_t(c.buffer)) + offset;
      case 3: return uint64_t(uintptr_t(other.buffer)) + offset;
      case 4: return c.mapped ? c.mapped + offset % 128 : raw;
      case 5: return c.shared ? c.shared + offset : raw;
      case 6: return uint64_t(uintptr_t(c.event));
      case 7: return uint64_t(uintptr_t(c.handle));
      case 8: return 0xFFFF800000000000ull + offset;
      default: return uint64_t(uintptr_t(c.buffer)) + 4096 - 8 + offset % 16;
    }
  }

  void Send(Script& script, Client& c) {
    if (!c.handle) return;
    uint8_t record[256] = {};
    // Mostly a whole record, sometimes 0 to 256 bytes.
    size_t length = 128;
    if (script.Byte() % 2 == 0) {
      const size_t low = script.Byte();
      length = (low | size_t(script.Byte()) << 8) % 257;
    }
    tqm::CommandRecord r = {};
    r.Set32(tqm::Field::Class, 1 + script.Byte() % 3);
    r.Set32(tqm::Field::SubOp, script.Byte() % 24);
    // A few fields set from the script, the slots aimed.
    const int fields = script.Byte() % 6;
    for (int i = 0; i < fields; ++i) {
      const uint32_t offset = 12 + 4 * (script.Byte() % 28);
      r.Set32(offset, script.Word() % (i % 2 ? 0x400 : 0x20000));
    }
    for (uint32_t slot : {16u, 24u, 32u, 48u, 72u})
      if (script.Byte() % 3 == 0) r.SetSlot(slot, Aim(script, c, r.GetSlot(slot)));
    if (script.Byte() % 8 == 0) script.Bytes(r.bytes + 12, 8);
    std::memcpy(record, r.bytes, sizeof r.bytes);
    uint8_t out[256];
    std::memcpy(out, record, sizeof out);
    ULONG returned = 0;
    const ULONG code = script.Byte() % 16 ? tqm::kCommandControlCode : script.Word();
    const NTSTATUS status = c.process->DeviceIoControl(c.handle, code, record, ULONG(length), out,
                                                       ULONG(length), &returned);
    if (status != STATUS_SUCCESS || length < 128) return;
    tqm::CommandRecord reply;
    std::memcpy(reply.bytes, out, sizeof reply.bytes);
    const uint32_t cls = r.Get32(tqm::Field::Class), sub = r.Get32(tqm::Field::SubOp);
    if ((cls == 2 && sub == 14) || (cls == 3 && sub == 3)) c.mapped = reply.GetSlot(tqm::Field::StatusAddress);
    if (cls == 2 && sub == 5) {
      const uint64_t cell = r.GetSlot(tqm::Field::SharedCell);
      if (c.process->Contains(reinterpret_cast<void*>(uintptr_t(cell)), sizeof(void*)) && cell % alignof(void*) == 0)
        c.shared = uint64_t(uintptr_t(*reinterpret_cast<void**>(uintptr_t(cell))));
    }
  }

  // One of the kernel's next attempts at an operation fails: whatever the
  // script does next (a request, a stream start, a mapping, a plug) meets an
  // allocation or a mapping that is refused.
  void ArmFailure(Script& script) {
    using tqm::kernel::FailurePoint;
    constexpr FailurePoint kPoints[] = {FailurePoint::PoolAllocation, FailurePoint::IrpAllocation,
                                        FailurePoint::MdlAllocation,  FailurePoint::UserMapping,
                                        FailurePoint::SystemThread,   FailurePoint::DeviceCreation,
                                        FailurePoint::DeviceAttach};
    const FailurePoint point = kPoints[script.Byte() % (sizeof kPoints / sizeof kPoints[0])];
    machine_.FailNth(point, 1 + script.Byte() % 32);
  }

  void Pnp(uint8_t what) {
    tqm::usb::Tqm27Port* port = hub_->port();
    PDEVICE_OBJECT pdo = port && !port->Deleted() ? port->pdo() : nullptr;
    switch (what % 6) {
      case 0:
        if (pdo) machine_.RebalanceDevice(pdo);
        break;
      case 1:
        if (pdo && NT_SUCCESS(machine_.QueryStopDevice(pdo))) machine_.CancelStopDevice(pdo);
        break;
      case 2:
        if (pdo && NT_SUCCESS(machine_.QueryRemoveDevice(pdo, false))) machine_.CancelRemoveDevice(pdo);
        break;
      case 3:
        hub_->Unplug();
        break;
      case 4:
        // The clients close their handles; then the device comes back.
        for (Client& c : clients_) {
          if (c.handle) c.process->CloseHandle(c.handle);
          c.handle = nullptr;
        }
        hub_->Unplug();
        hub_->Plug();
        for (Client& c : clients_) Reopen(c);
        break;
      default:
        if (pdo) machine_.SetSystemPowerState(PowerSystemSleeping3), machine_.SetSystemPowerState(PowerSystemWorking);
        break;
    }
  }

  Machine machine_;
  std::unique_ptr<tqm::usb::UsbHub> hub_;
  Client clients_[3];
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Script script(data, size);
  Rig rig;
  rig.Run(script);
  return 0;
}
