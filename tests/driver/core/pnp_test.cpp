// The driver frame through the simulated Plug and Play and power managers:
// start, stop and restart, the queries and their cancels, surprise removal
// and removal, system sleep and wake.
#include "driver_fixture.h"

#include <atomic>
#include <functional>

namespace tqmdrv::testing {
namespace {

using namespace tqm;

// An event whose signal the test sees the moment it happens: it records
// whether the "Mixer" value was already written then.
struct WatchedEvent {
  DriverTest* test = nullptr;
  std::function<bool()> mixerStored;
  std::atomic<int> signals{0};
  std::atomic<int> signalsWithMixer{0};
  PKEVENT event = nullptr;

  static void OnSignal(void* context) {
    auto* self = static_cast<WatchedEvent*>(context);
    self->signals++;
    if (self->mixerStored()) self->signalsWithMixer++;
  }
};

constexpr uintptr_t kWatchedHandle = 0x5EE0;

class PnpTest : public DriverTest {
 protected:
  ULONG Identify(Client& client) {
    const Reply reply = client.Command(CMD_CLASS_DRIVER, DriverOp::Identify,
                                       {Word(Field::VersionMajor, 255), Word(Field::VersionMinor, 255)});
    return reply.status == STATUS_SUCCESS ? reply.record.Get32(Field::VersionMajor) : 0;
  }
  // Makes kWatchedHandle resolve to a watched event in every process.
  void Watch() {
    watched_.mixerStored = [this] { return !StoredMixer().empty(); };
    watched_.event = tqm::kernel::MakeSignalHookedEvent(SynchronizationEvent, WatchedEvent::OnSignal, &watched_);
    machine_.SetUserHandleResolver([this](Process& process, HANDLE handle) -> void* {
      if (reinterpret_cast<uintptr_t>(handle) == kWatchedHandle) {
        ObReferenceObject(watched_.event);
        return watched_.event;
      }
      return process.ReferenceHandle(handle);
    });
  }
  void TearDown() override {
    if (watched_.event) {
      hub_.reset();
      ObDereferenceObject(watched_.event);
    }
  }
  NTSTATUS SetRemovalEvent(Client& panel) {
    return panel.Command(CMD_CLASS_CONTROL, ControlOp::SetRemovalEvent, {Slot(Field::NotifyEvent, kWatchedHandle)})
        .status;
  }

  WatchedEvent watched_;
};

TEST_F(PnpTest, StartStopAndRestart) {
  Watch();
  ASSERT_NE(Plug(), nullptr);
  EXPECT_EQ(State(), NodeState::Started);
  EXPECT_TRUE(InterfaceEnabled());
  const std::wstring path = InterfacePath();
  Client& panel = Open("panel");
  EXPECT_EQ(Identify(panel), 1u);
  ASSERT_EQ(SetRemovalEvent(panel), STATUS_SUCCESS);
  ASSERT_NE(panel.MapStatus(CMD_CLASS_CONTROL), nullptr);
  EXPECT_EQ(panel.process().MappingCount(), 1u);

  // A query-stop that is cancelled leaves the device as it was.
  ASSERT_EQ(machine_.QueryStopDevice(Pdo()), STATUS_SUCCESS);
  EXPECT_EQ(Identify(panel), 0u);  // StopPending takes no commands
  ASSERT_EQ(machine_.CancelStopDevice(Pdo()), STATUS_SUCCESS);
  EXPECT_EQ(State(), NodeState::Started);
  EXPECT_EQ(Identify(panel), 1u);
  EXPECT_EQ(watched_.signals, 0);

  // A stop saves the settings, then tells the clients, then disables the interface.
  ASSERT_EQ(machine_.QueryStopDevice(Pdo()), STATUS_SUCCESS);
  ASSERT_EQ(machine_.StopDevice(Pdo()), STATUS_SUCCESS);
  EXPECT_EQ(watched_.signals, 1);
  EXPECT_EQ(watched_.signalsWithMixer, 1);
  EXPECT_FALSE(InterfaceEnabled());
  const Reply stopped = panel.Command(CMD_CLASS_DRIVER, DriverOp::Identify);
  EXPECT_EQ(stopped.status, STATUS_INVALID_DEVICE_REQUEST);
  // The teardown ran on the manager's thread: the panel's mapping was undone
  // at its next command, in its own process.
  EXPECT_EQ(panel.process().MappingCount(), 0u);

  // START again: the same interface comes back, with a new Adapter.
  ASSERT_EQ(machine_.StartDevice(Pdo()), STATUS_SUCCESS);
  EXPECT_EQ(State(), NodeState::Started);
  EXPECT_EQ(InterfacePath(), path);
  EXPECT_EQ(Identify(panel), 1u);
  ASSERT_NE(panel.MapStatus(CMD_CLASS_CONTROL), nullptr);
  EXPECT_EQ(panel.Command(CMD_CLASS_CONTROL, ControlOp::MapStatusBlock, {Word(Field::MapFlag, 0)}).status,
            STATUS_SUCCESS);
  // The slot was cleared with the old Adapter.
  EXPECT_EQ(machine_.RebalanceDevice(Pdo()), STATUS_SUCCESS);
  EXPECT_EQ(watched_.signals, 1);
  panel.Close();
  hub_.reset();
  EXPECT_FALSE(DriverLoaded());
}

TEST_F(PnpTest, QueryRemoveAndCancel) {
  ASSERT_NE(Plug(), nullptr);
  {
    Client& panel = Open("panel");
    // An application that keeps its handle vetoes the removal.
    EXPECT_NE(machine_.QueryRemoveDevice(Pdo(), false), STATUS_SUCCESS);
    EXPECT_EQ(State(), NodeState::Started);
    EXPECT_EQ(Identify(panel), 1u);
    panel.Close();
  }
  ASSERT_EQ(machine_.QueryRemoveDevice(Pdo(), false), STATUS_SUCCESS);
  EXPECT_EQ(State(), NodeState::RemovePending);
  ASSERT_EQ(machine_.CancelRemoveDevice(Pdo()), STATUS_SUCCESS);
  EXPECT_EQ(State(), NodeState::Started);
  Client& again = Open("panel again");
  EXPECT_EQ(Identify(again), 1u);
  again.Close();
  ASSERT_EQ(machine_.RequestRemoval(Pdo(), true), STATUS_SUCCESS);
  EXPECT_FALSE(DriverLoaded());
}

TEST_F(PnpTest, SurpriseRemovalWhileStreamingThenRemove) {
  Watch();
  ASSERT_NE(Plug(), nullptr);
  Client& panel = Open("panel");
  Client& asio = Open("asio");
  ASSERT_EQ(SetRemovalEvent(panel), STATUS_SUCCESS);
  ASSERT_NE(panel.MapStatus(CMD_CLASS_CONTROL), nullptr);
  DeviceStatusBlock* status = asio.MapStatus(CMD_CLASS_STREAM);
  ASSERT_NE(status, nullptr);
  int32_t* shared = asio.AllocShared(status->periodFrames * 32);
  ASSERT_NE(shared, nullptr);
  for (ULONG d = 0; d < 2; ++d)
    for (ULONG c = 0; c < 2; ++c)
      for (ULONG h = 0; h < 2; ++h)
        ASSERT_EQ(asio.RegisterHalf(d, c, h, shared + ((d * 2 + c) * 2 + h) * status->periodFrames), STATUS_SUCCESS);
  ASSERT_EQ(asio.Activate(3, 3, true), STATUS_SUCCESS);
  machine_.ClearDebugOutput();

  hub_->Unplug();
  EXPECT_EQ(State(), NodeState::SurpriseRemoved);
  // Clients are told at once: the interface is gone.
  EXPECT_FALSE(InterfaceEnabled());
  EXPECT_EQ(watched_.signals, 0);

  // What lets the clients let go still works; nothing else does.
  const std::string line = "DispatchControl SURPRISEREMOVED  CODE  2767800\n";
  struct Row {
    const char* why;
    Client* client;
    CommandRecord record;
    NTSTATUS expect;
    size_t lines;
  };
  const Row rows[] = {
      {"the panel reads no latency", &panel, Record(CMD_CLASS_CONTROL, ControlOp::GetLatency),
       STATUS_INVALID_DEVICE_REQUEST, 0},
      {"the panel unmaps", &panel, Record(CMD_CLASS_CONTROL, ControlOp::MapStatusBlock, {Word(Field::MapFlag, 0)}),
       STATUS_SUCCESS, 1},
      {"the client clears a half", &asio, Record(CMD_CLASS_STREAM, StreamOp::SetClientBuffer), STATUS_SUCCESS, 2},
      {"the client closes no channel", &asio,
       Record(CMD_CLASS_STREAM, StreamOp::ActivateChannels, {Word(Field::OutputMask, 3), Word(Field::InputMask, 3)}),
       STATUS_INVALID_DEVICE_REQUEST, 2},
      {"the client frees its buffer", &asio,
       Record(CMD_CLASS_STREAM, StreamOp::AllocSharedBuffer, {Word(Field::SharedLength, 0)}), STATUS_SUCCESS, 3},
      {"the client unmaps", &asio, Record(CMD_CLASS_STREAM, StreamOp::MapStatusBlock, {Word(Field::MapFlag, 7)}),
       STATUS_SUCCESS, 4},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(row.client->Send(row.record).status, row.expect) << row.why;
    EXPECT_EQ(CountLine(line), row.lines) << row.why;
  }
  EXPECT_EQ(panel.process().MappingCount(), 0u);
  EXPECT_EQ(asio.process().MappingCount(), 0u);

  // REMOVE comes once the last handle is closed: one stop, slot 6 after "Mixer".
  panel.Close();
  EXPECT_EQ(watched_.signals, 0);
  asio.Close();
  EXPECT_EQ(State(), NodeState::Removed);
  EXPECT_EQ(watched_.signals, 1);
  EXPECT_EQ(watched_.signalsWithMixer, 1);
  EXPECT_FALSE(DriverLoaded());
}

TEST_F(PnpTest, SleepAsksForAtLeastD3AndWakeRestoresD0InOrder) {
  // The bus names no device state for the sleeping states.
  hub_->SetSleepDeviceState(PowerDeviceUnspecified);
  ASSERT_NE(Plug(), nullptr);
  PDEVICE_OBJECT fdo = Pdo()->AttachedDevice;
  ASSERT_NE(fdo, nullptr);
  port_->TakePowerLog();

  ASSERT_EQ(machine_.SetSystemPowerState(PowerSystemSleeping3), STATUS_SUCCESS);
  // Toward sleep the device request goes first, the system request after it.
  EXPECT_EQ(port_->TakePowerLog(), (std::vector<std::string>{"QUERY D3", "QUERY S3", "SET D3", "SET S3"}));
  EXPECT_EQ(machine_.DevicePowerState(fdo), PowerDeviceD3);
  EXPECT_EQ(machine_.DevicePowerState(Pdo()), PowerDeviceD3);

  ASSERT_EQ(machine_.SetSystemPowerState(PowerSystemWorking), STATUS_SUCCESS);
  // Toward working the system request goes first, the device request after it.
  EXPECT_EQ(port_->TakePowerLog(), (std::vector<std::string>{"SET S0", "SET D0"}));
  EXPECT_EQ(machine_.DevicePowerState(fdo), PowerDeviceD0);
  Client& panel = Open("panel");
  EXPECT_EQ(Identify(panel), 1u);
}

TEST_F(PnpTest, PlugStreamUnplugCyclesLeaveNothingBehind) {
  for (int cycle = 0; cycle < 5; ++cycle) {
    ASSERT_NE(Plug(), nullptr) << cycle;
    Client& asio = Open("asio");
    DeviceStatusBlock* status = asio.MapStatus(CMD_CLASS_STREAM);
    ASSERT_NE(status, nullptr);
    int32_t* shared = asio.AllocShared(status->periodFrames * 32);
    ASSERT_NE(shared, nullptr);
    ASSERT_EQ(asio.RegisterHalf(0, 0, 0, shared), STATUS_SUCCESS);
    HANDLE period = asio.process().CreateEventHandle(false, false);
    ASSERT_EQ(asio.Command(CMD_CLASS_STREAM, StreamOp::SetPeriodEvent, {Slot(Field::PeriodEvent, period)}).status,
              STATUS_SUCCESS);
    ASSERT_EQ(asio.Activate(1, 1, true), STATUS_SUCCESS);
    hub_->Unplug();
    // The host crashes rather than closing in order.
    asio.process().Exit();
    EXPECT_EQ(State(), NodeState::Removed) << cycle;
    EXPECT_FALSE(DriverLoaded()) << cycle;
    clients_.clear();
  }
}

}  // namespace
}  // namespace tqmdrv::testing

namespace tqmdrv::testing {
namespace {

// Every allocation of the start path may fail: AddDevice (its device object
// and its attachment too), the Adapter, its memory, the engine's reads of the
// device, the child. Whatever fails, the
// device either starts or fails to start, and removal and unload leave
// nothing behind (the fault hook fails the test on any leak or misuse).
TEST(StartFailures, EveryAllocationOfTheStartPathMayFail) {
  using tqm::kernel::FailurePoint;
  struct Row {
    const char* what;
    FailurePoint point;
  };
  const Row rows[] = {{"pool", FailurePoint::PoolAllocation},
                      {"IRP", FailurePoint::IrpAllocation},
                      {"device", FailurePoint::DeviceCreation},
                      {"attach", FailurePoint::DeviceAttach}};
  for (const Row& row : rows) {
    int failedStarts = 0, started = 0;
    for (uint64_t n = 1; n <= 60; ++n) {
      Machine machine;
      machine.SetFaultHook([&](const tqm::kernel::Fault& fault) {
        ADD_FAILURE() << row.what << " #" << n << ": " << fault.what << " in " << fault.where;
      });
      machine.RegisterDriver(kDeviceId, DriverEntry, kService);
      machine.clock().RunFree(true);
      auto hub = std::make_unique<tqm::usb::UsbHub>(machine, tqm::usb::HubMode::PlugAndPlay);
      machine.FailNth(row.point, n);
      tqm::usb::Tqm27Port* port = hub->Plug();
      machine.ClearFailures();
      if (port && machine.DeviceNodeState(port->pdo()) == NodeState::Started) {
        ++started;
        // A started device works.
        GUID guid = InterfaceClass();
        bool enabled = false;
        for (const auto& i : machine.DeviceInterfaces(guid)) enabled = enabled || (i.present && i.enabled);
        EXPECT_TRUE(enabled) << row.what << " #" << n;
      } else {
        ++failedStarts;
      }
      hub.reset();
      EXPECT_EQ(machine.FindDriverByServicePath(kServicePath), nullptr) << row.what << " #" << n;
    }
    // The sweep reached both outcomes: failures that stopped the start, and
    // attempts beyond the start path.
    EXPECT_GT(failedStarts, 0) << row.what;
    EXPECT_GT(started, 0) << row.what;
  }
}

}  // namespace
}  // namespace tqmdrv::testing
