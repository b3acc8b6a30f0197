// TQMDRV on the simulated machine as Windows runs it: the Plug and Play
// manager loads the driver for the TQM27 the hub reports, and clients are
// separate simulated processes that open the driver's device interface and
// send command records.
//
// The clock runs free (virtual time): the engine's streams and the waits of
// a stop go on by themselves, and tests that need exact time step nothing.
// The verifier's faults fail the test that caused them.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "driver/core/core.h"
#include "platform/kernel/machine.h"
#include "platform/kernel/process.h"
#include "platform/kernel/registry.h"
#include "tqm/command_record.h"
#include "tqm/identity.h"
#include "tqm/mixer_settings.h"
#include "tqm/status_block.h"
#include "usb/usb_hub.h"

namespace tqmdrv::testing {

using tqm::CommandRecord;
using tqm::kernel::Machine;
using tqm::kernel::NodeState;
using tqm::kernel::Process;
namespace Field = tqm::Field;

inline constexpr wchar_t kDeviceId[] = L"USB\\VID_1D27&PID_0127";
inline constexpr wchar_t kService[] = L"TQM27_01";
inline constexpr wchar_t kServicePath[] = L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\TQM27_01";

inline GUID InterfaceClass() {
  GUID guid;
  static_assert(sizeof guid == sizeof tqm::kInterfaceGuid);
  std::memcpy(&guid, &tqm::kInterfaceGuid, sizeof guid);
  return guid;
}

// One field of a record: a 32-bit word or an 8-byte slot.
struct Set {
  ULONG offset;
  uint64_t value;
  bool slot = false;
};
inline Set Word(ULONG offset, uint64_t value) { return {offset, value, false}; }
inline Set Slot(ULONG offset, uint64_t value) { return {offset, value, true}; }
inline Set Slot(ULONG offset, const void* pointer) {
  return {offset, uint64_t(reinterpret_cast<uintptr_t>(pointer)), true};
}

inline CommandRecord Record(ULONG commandClass, ULONG op, std::initializer_list<Set> fields = {}) {
  CommandRecord record = {};
  record.Set32(Field::Class, commandClass);
  record.Set32(Field::SubOp, op);
  for (const Set& f : fields) {
    if (f.slot)
      record.SetSlot(f.offset, f.value);
    else
      record.Set32(f.offset, ULONG(f.value));
  }
  return record;
}

struct Reply {
  NTSTATUS status;
  ULONG information;
  CommandRecord record;  // the caller's copy after the request
};

// A user process with one handle on the driver's interface.
class Client {
 public:
  // One thread at a time uses a client's process, so its buffers are held
  // while its requests run: the driver reaches them only through its
  // checked copy.
  Client(Machine& machine, std::string name, const std::wstring& path) : process_(machine.StartProcess(name)) {
    process_.SetSingleThreaded(true);
    handle_ = process_.Open(path, &openStatus_);
  }

  Process& process() { return process_; }
  HANDLE handle() const { return handle_; }
  NTSTATUS openStatus() const { return openStatus_; }

  Reply Send(const CommandRecord& record, ULONG inLength = 128, ULONG outLength = 128) {
    Reply reply = {0, 0, record};
    reply.status = process_.DeviceIoControl(handle_, tqm::kCommandControlCode, &record, inLength, &reply.record,
                                            outLength, &reply.information);
    return reply;
  }
  Reply Command(ULONG commandClass, ULONG op, std::initializer_list<Set> fields = {}) {
    return Send(Record(commandClass, op, fields));
  }
  void Close() {
    if (handle_) process_.CloseHandle(handle_);
    handle_ = nullptr;
  }

  // The usual client steps.
  tqm::DeviceStatusBlock* MapStatus(ULONG commandClass) {
    const ULONG op = commandClass == tqm::CMD_CLASS_STREAM ? tqm::StreamOp::MapStatusBlock : tqm::ControlOp::MapStatusBlock;
    const Reply reply = Command(commandClass, op, {Word(Field::MapFlag, 1)});
    if (reply.status != STATUS_SUCCESS) return nullptr;
    return reinterpret_cast<tqm::DeviceStatusBlock*>(uintptr_t(reply.record.GetSlot(Field::StatusAddress)));
  }
  // AllocSharedBuffer: the buffer's address in this process, or null.
  int32_t* AllocShared(ULONG bytes, NTSTATUS* status = nullptr) {
    void** cell = static_cast<void**>(process_.Allocate(sizeof(void*)));
    const Reply reply = Command(tqm::CMD_CLASS_STREAM, tqm::StreamOp::AllocSharedBuffer,
                                {Word(Field::SharedLength, bytes), Slot(Field::SharedCell, cell)});
    if (status) *status = reply.status;
    void* address = *cell;
    process_.Free(cell);
    return reply.status == STATUS_SUCCESS ? static_cast<int32_t*>(address) : nullptr;
  }
  NTSTATUS RegisterHalf(ULONG direction, ULONG channel, ULONG half, const void* address, ULONG stride = 1) {
    return Command(tqm::CMD_CLASS_STREAM, tqm::StreamOp::SetClientBuffer,
                   {Word(Field::Direction, direction), Word(Field::Channel, channel), Word(Field::Half, half),
                    Slot(Field::HalfAddress, address), Word(Field::Stride, stride)})
        .status;
  }
  NTSTATUS Activate(ULONG outputs, ULONG inputs, bool on) {
    return Command(tqm::CMD_CLASS_STREAM, tqm::StreamOp::ActivateChannels,
                   {Word(Field::OutputMask, outputs), Word(Field::InputMask, inputs), Word(Field::OnOff, on ? 1 : 0)})
        .status;
  }
  ULONG Health() {
    return Command(tqm::CMD_CLASS_STREAM, tqm::StreamOp::QueryStreamHealth).record.Get32(Field::OnOff);
  }
  ULONG ActiveClient() {
    return Command(tqm::CMD_CLASS_CONTROL, tqm::ControlOp::GetActiveClient).record.Get32(Field::ActiveClient);
  }

 private:
  Process& process_;
  HANDLE handle_ = nullptr;
  NTSTATUS openStatus_ = STATUS_UNSUCCESSFUL;
};

class DriverTest : public ::testing::Test {
 protected:
  DriverTest() {
    machine_.SetFaultHook([](const tqm::kernel::Fault& fault) {
      ADD_FAILURE() << "verifier: " << fault.what << " in " << fault.where;
    });
    machine_.RegisterDriver(kDeviceId, DriverEntry, kService);
    machine_.clock().RunFree(true);
    hub_ = std::make_unique<tqm::usb::UsbHub>(machine_, tqm::usb::HubMode::PlugAndPlay);
  }
  ~DriverTest() override {
    // Stops wait for their streams to drain: the clock must run.
    machine_.clock().RunFree(true);
    for (auto& client : clients_) client->Close();
    // The hub's teardown waits for drivers' threads: the clock must move
    // without this thread.
    participation_.reset();
    hub_.reset();
  }

  tqm::usb::Tqm27Port* Plug() {
    port_ = hub_->Plug();
    return port_;
  }
  // The test thread takes part in the clock from here: the watchdog and the
  // streams move only while it waits in the kernel, in Step or in a command
  // that waits for a request of the stack's.
  void HoldClock() { participation_.emplace(machine_); }
  void Step(uint32_t ms) {
    if (!participation_) return machine_.clock().Step(ms);
    LARGE_INTEGER interval;
    interval.QuadPart = -int64_t(ms) * tqm::kernel::Clock::kUnitsPerMillisecond;
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
  }
  PDEVICE_OBJECT Pdo() const { return port_->pdo(); }
  NodeState State() const { return machine_.DeviceNodeState(port_->pdo()); }
  bool DriverLoaded() const { return machine_.FindDriverByServicePath(kServicePath) != nullptr; }

  // The driver's interface: the enabled one, or (enabled = false) the one
  // registered, whatever its state.
  std::wstring InterfacePath(bool enabled = true) const {
    for (const auto& i : machine_.DeviceInterfaces(InterfaceClass()))
      if (i.present && (i.enabled || !enabled)) return i.path;
    return {};
  }
  bool InterfaceEnabled() const {
    for (const auto& i : machine_.DeviceInterfaces(InterfaceClass()))
      if (i.present && i.enabled) return true;
    return false;
  }

  Client& Open(std::string name) {
    clients_.push_back(std::make_unique<Client>(machine_, std::move(name), InterfacePath()));
    EXPECT_EQ(clients_.back()->openStatus(), STATUS_SUCCESS);
    return *clients_.back();
  }

  std::vector<std::string> DebugLines() const {
    std::vector<std::string> lines;
    for (const auto& line : machine_.DebugOutput()) lines.push_back(line.text);
    return lines;
  }
  size_t CountLine(const std::string& text) const {
    const auto lines = DebugLines();
    return size_t(std::count(lines.begin(), lines.end(), text));
  }

  // The device key's stored "Mixer" value, if any.
  std::vector<uint8_t> StoredMixer() {
    const std::wstring key = machine_.DeviceKeyPath(port_->pdo(), PLUGPLAY_REGKEY_DRIVER);
    auto value = machine_.registry().GetValue(key, L"Mixer");
    return value ? value->data : std::vector<uint8_t>{};
  }

  Machine machine_;
  std::optional<tqm::kernel::Participation> participation_;
  std::unique_ptr<tqm::usb::UsbHub> hub_;
  tqm::usb::Tqm27Port* port_ = nullptr;
  std::vector<std::unique_ptr<Client>> clients_;
};

}  // namespace tqmdrv::testing
