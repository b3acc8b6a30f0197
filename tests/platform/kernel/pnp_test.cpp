// The Plug and Play and power managers with a small bus driver and a small
// function driver (pnp_fixture.h): enumeration of children, the order of the
// sequences, vetoes, surprise removal gated on open handles, rebalance,
// device interfaces and their notifications, system power transitions, and
// the verifier faults of this part that concern devices and power.
#include "tests/platform/kernel/pnp_fixture.h"

namespace tqm::kernel::testing {
namespace {

using Lines = std::vector<std::string>;

const wchar_t kFunctionService[] = L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\TestFunction";

std::string Join(const Lines& lines) {
  std::string text;
  for (const auto& l : lines) text += "  " + l + "\n";
  return text;
}

TEST_F(PnpTest, AChildIsStartedUnderItsBusAndRemovedOnlyAfterItsLastHandleCloses) {
  Process& panel = machine.StartProcess("panel");
  std::vector<std::pair<bool, std::wstring>> notices;
  std::vector<PEPROCESS> noticeContext;
  machine.RegisterInterfaceNotification(panel, kTestInterface, [&](bool arrival, const std::wstring& path) {
    notices.emplace_back(arrival, path);
    noticeContext.push_back(IoGetCurrentProcess());
  });

  PDEVICE_OBJECT root = StartBus();
  EXPECT_EQ(s.Take(), (Lines{"bus START", "bus RELATIONS"}));
  PDEVICE_OBJECT child = Plug(L"TEST\\FN");
  // Nothing happens until the manager runs the queued enumeration.
  EXPECT_EQ(s.Take(), Lines{});
  machine.ProcessDeviceRelations();
  EXPECT_EQ(s.Take(), (Lines{"bus RELATIONS", "fn TEST\\FN AddDevice", "fn TEST\\FN START", "child TEST\\FN START"}));
  EXPECT_EQ(machine.ChildDevices(root), (std::vector<PDEVICE_OBJECT>{child}));
  EXPECT_EQ(machine.DeviceNodeState(child), NodeState::Started);
  EXPECT_EQ(machine.InstancePath(child), L"TEST\\FN\\0001");

  const auto interfaces = machine.DeviceInterfaces(kTestInterface);
  ASSERT_EQ(interfaces.size(), 1u);
  const std::wstring path = interfaces[0].path;
  EXPECT_EQ(path, L"\\\\?\\TEST#FN#0001#{5a3c1e22-0c1b-4f0e-9b7d-3e6a2b8c9d10}");
  EXPECT_TRUE(interfaces[0].enabled);
  EXPECT_TRUE(interfaces[0].present);
  ASSERT_EQ(notices.size(), 1u);
  EXPECT_EQ(notices[0], std::make_pair(true, path));
  EXPECT_EQ(noticeContext[0], panel.object());

  NTSTATUS status;
  HANDLE h = panel.Open(path, &status);
  ASSERT_EQ(status, STATUS_SUCCESS);

  // Unplugged with a handle open: surprise removal now, REMOVE only later.
  Unplug(child);
  machine.ProcessDeviceRelations();
  EXPECT_EQ(s.Take(), (Lines{"bus RELATIONS", "fn TEST\\FN SURPRISE", "child TEST\\FN SURPRISE"}));
  EXPECT_EQ(machine.DeviceNodeState(child), NodeState::SurpriseRemoved);
  EXPECT_NE(machine.FindDriverByServicePath(kFunctionService), nullptr);
  ASSERT_EQ(notices.size(), 2u);
  EXPECT_EQ(notices[1], std::make_pair(false, path));
  // A removed device cannot be opened again.
  NTSTATUS again;
  EXPECT_EQ(panel.Open(path, &again), nullptr);
  EXPECT_EQ(again, STATUS_OBJECT_NAME_NOT_FOUND);

  EXPECT_EQ(panel.CloseHandle(h), STATUS_SUCCESS);
  EXPECT_EQ(s.Take(), (Lines{"fn TEST\\FN REMOVE", "child TEST\\FN REMOVE"}));
  EXPECT_EQ(machine.DeviceNodeState(child), NodeState::Removed);
  // The function driver's last device is gone: it was unloaded.
  EXPECT_EQ(machine.FindDriverByServicePath(kFunctionService), nullptr);
  // Still enumerable, no longer present.
  const auto after = machine.DeviceInterfaces(kTestInterface);
  ASSERT_EQ(after.size(), 1u);
  EXPECT_FALSE(after[0].enabled);
  EXPECT_FALSE(after[0].present);
  panel.Exit();
}

TEST_F(PnpTest, AnOrderlyRemovalIsVetoedByOpenHandlesAndHeldInterfaces) {
  struct Row {
    const char* why;
    bool holdInterface;  // the function driver on the child holds the bus's interface
    bool openHandle;     // an application has the child's interface open
    bool closeOnNotice;  // and closes it when told of the query
    NTSTATUS expected;
    Lines log;
  };
  const Row rows[] = {
      // Children are queried and removed before their parent.
      {"nothing held", false, false, false, STATUS_SUCCESS,
       {"fn TEST\\FN QUERY_REMOVE", "child TEST\\FN QUERY_REMOVE", "bus QUERY_REMOVE", "fn TEST\\FN REMOVE",
        "child TEST\\FN REMOVE", "bus REMOVE"}},
      // The bus refuses while the driver above its child holds the interface;
      // the child, already queried, hears the cancel.
      {"interface held", true, false, false, STATUS_UNSUCCESSFUL,
       {"fn TEST\\FN QUERY_REMOVE", "child TEST\\FN QUERY_REMOVE", "bus QUERY_REMOVE", "fn TEST\\FN CANCEL_REMOVE",
        "child TEST\\FN CANCEL_REMOVE"}},
      // An application that keeps its handle vetoes before any driver is asked.
      {"handle kept", false, true, false, STATUS_UNSUCCESSFUL, {}},
      // One that closes it on the notice lets the removal go on.
      {"handle closed on notice", false, true, true, STATUS_SUCCESS,
       {"fn TEST\\FN QUERY_REMOVE", "child TEST\\FN QUERY_REMOVE", "bus QUERY_REMOVE", "fn TEST\\FN REMOVE",
        "child TEST\\FN REMOVE", "bus REMOVE"}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.why);
    s.holdBusInterface = row.holdInterface;
    PDEVICE_OBJECT root = StartBus();
    PDEVICE_OBJECT child = Plug(L"TEST\\FN");
    machine.ProcessDeviceRelations();
    Process& app = machine.StartProcess(row.why);
    if (row.openHandle) {
      NTSTATUS status;
      app.Open(InterfacePathOf(child), &status);
      ASSERT_EQ(status, STATUS_SUCCESS);
    }
    s.Take();
    EXPECT_EQ(machine.RequestRemoval(root, row.closeOnNotice), row.expected);
    const Lines log = s.Take();
    EXPECT_EQ(log, row.log) << Join(log);
    const NodeState expectedState = NT_SUCCESS(row.expected) ? NodeState::Removed : NodeState::Started;
    EXPECT_EQ(machine.DeviceNodeState(root), expectedState);
    if (!NT_SUCCESS(row.expected)) {
      EXPECT_EQ(machine.DeviceNodeState(child), NodeState::Started);
      // Clean up for the next row: no veto any more.
      app.Exit();
      s.holdBusInterface = false;
      EXPECT_EQ(machine.SurpriseRemoveDevice(root), STATUS_SUCCESS);
      s.interfaceReferences = 0;
    } else {
      EXPECT_EQ(app.HandleCount(), 0u);
      app.Exit();
    }
    EXPECT_EQ(machine.DeviceNodeState(root), NodeState::Removed);
    EXPECT_EQ(machine.FindDriverByServicePath(kFunctionService), nullptr);
    s.Take();
  }
}

TEST_F(PnpTest, NoHandleOpensWhileARemovalQueryIsUnderWay) {
  NTSTATUS status;
  PDEVICE_OBJECT pdo = machine.CreateRootDevice(L"TEST\\FN", &status);
  ASSERT_EQ(status, STATUS_SUCCESS);
  const std::wstring path = InterfacePathOf(pdo);
  Process& app = machine.StartProcess("app");
  NTSTATUS during = STATUS_SUCCESS;
  s.duringQueryRemove = [&] {
    HANDLE h = app.Open(path, &during);
    EXPECT_EQ(h, nullptr);
  };
  // The driver refuses; the device is as it was, and opens work again.
  s.vetoQueryRemove = true;
  EXPECT_EQ(machine.RequestRemoval(pdo, false), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(during, STATUS_DELETE_PENDING);
  s.duringQueryRemove = nullptr;
  HANDLE h = app.Open(path, &status);
  EXPECT_EQ(status, STATUS_SUCCESS);
  EXPECT_NE(h, nullptr);
  app.Exit();
}

TEST_F(PnpTest, RebalanceStopsChildrenFirstAndAQueryCanBeLeftPendingOrVetoed) {
  PDEVICE_OBJECT root = StartBus();
  PDEVICE_OBJECT child = Plug(L"TEST\\FN");
  machine.ProcessDeviceRelations();
  s.Take();

  EXPECT_EQ(machine.RebalanceDevice(root), STATUS_SUCCESS);
  Lines log = s.Take();
  EXPECT_EQ(log, (Lines{"fn TEST\\FN QUERY_STOP", "child TEST\\FN QUERY_STOP", "bus QUERY_STOP", "fn TEST\\FN STOP",
                        "child TEST\\FN STOP", "bus STOP", "bus START", "bus RELATIONS", "fn TEST\\FN START",
                        "child TEST\\FN START"}))
      << Join(log);
  EXPECT_EQ(machine.DeviceNodeState(child), NodeState::Started);

  // Stopped part-way: the device waits in stop-pending, then the query is cancelled.
  EXPECT_EQ(machine.QueryStopDevice(root), STATUS_SUCCESS);
  EXPECT_EQ(machine.DeviceNodeState(root), NodeState::StopPending);
  EXPECT_EQ(machine.DeviceNodeState(child), NodeState::StopPending);
  EXPECT_EQ(machine.StartDevice(root), STATUS_INVALID_DEVICE_STATE);
  EXPECT_EQ(machine.CancelStopDevice(root), STATUS_SUCCESS);
  log = s.Take();
  EXPECT_EQ(log, (Lines{"fn TEST\\FN QUERY_STOP", "child TEST\\FN QUERY_STOP", "bus QUERY_STOP", "bus CANCEL_STOP",
                        "fn TEST\\FN CANCEL_STOP", "child TEST\\FN CANCEL_STOP"}))
      << Join(log);
  EXPECT_EQ(machine.DeviceNodeState(root), NodeState::Started);

  // The function driver refuses: nothing was queried before it, nothing to cancel.
  s.vetoQueryStop = true;
  EXPECT_EQ(machine.RebalanceDevice(root), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(s.Take(), (Lines{"fn TEST\\FN QUERY_STOP"}));
  EXPECT_EQ(machine.DeviceNodeState(child), NodeState::Started);
}

TEST_F(PnpTest, SystemSleepAsksForDevicePowerFirstAndWakingSendsItAfter) {
  StartBus();
  PDEVICE_OBJECT child = Plug(L"TEST\\FN");
  machine.ProcessDeviceRelations();
  s.Take();
  struct Row {
    const char* why;
    SYSTEM_POWER_STATE state;
    Lines log;
    DEVICE_POWER_STATE device;
  };
  const Row rows[] = {
      // S3 maps to D3 in the child's capabilities: the device request goes
      // down and completes before the system request follows it.
      {"to S3", PowerSystemSleeping3,
       {"fn TEST\\FN QUERY_POWER S3", "fn TEST\\FN SET_POWER S3", "fn TEST\\FN SET_POWER D3",
        "child TEST\\FN SET_POWER D3", "fn TEST\\FN device request done D3 status 0"},
       PowerDeviceD3},
      // Waking: the system request first, then D0.
      {"to S0", PowerSystemWorking,
       {"fn TEST\\FN SET_POWER S0", "fn TEST\\FN SET_POWER D0", "child TEST\\FN SET_POWER D0",
        "fn TEST\\FN device request done D0 status 0"},
       PowerDeviceD0},
      // S1 maps to D2.
      {"to S1", PowerSystemSleeping1,
       {"fn TEST\\FN QUERY_POWER S1", "fn TEST\\FN SET_POWER S1", "fn TEST\\FN SET_POWER D2",
        "child TEST\\FN SET_POWER D2", "fn TEST\\FN device request done D2 status 0"},
       PowerDeviceD2},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.why);
    EXPECT_EQ(machine.SetSystemPowerState(row.state), STATUS_SUCCESS);
    const Lines log = s.Take();
    EXPECT_EQ(log, row.log) << Join(log);
    EXPECT_EQ(machine.SystemPowerState(), row.state);
    EXPECT_EQ(machine.DevicePowerState(child), row.device);
  }
}

TEST_F(PnpTest, ADeviceThatCannotBeAddedOrStartedFailsAndItsDriverGoes) {
  struct Row {
    const char* why;
    const wchar_t* hardwareId;
    NTSTATUS addDevice;
    bool failStart;
    NTSTATUS expected;
    Lines log;
    bool driverLoaded;  // afterwards
  };
  const Row rows[] = {
      // AddDevice's failure is the device's; the driver had no device left.
      {"AddDevice fails", L"TEST\\FN", STATUS_INSUFFICIENT_RESOURCES, false, STATUS_INSUFFICIENT_RESOURCES, {}, false},
      // A failed START is followed by REMOVE, which deletes the device.
      {"START fails", L"TEST\\FN", STATUS_SUCCESS, true, STATUS_DEVICE_DATA_ERROR,
       {"fn TEST\\FN AddDevice", "fn TEST\\FN START", "fn TEST\\FN REMOVE"}, false},
      // No driver for the identifier: the device stays as reported.
      {"no driver", L"TEST\\NONE", STATUS_SUCCESS, false, STATUS_SUCCESS, {}, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.why);
    s.addDeviceStatus = row.addDevice;
    s.failStart = row.failStart;
    NTSTATUS status;
    PDEVICE_OBJECT pdo = machine.CreateRootDevice(row.hardwareId, &status);
    EXPECT_EQ(status, row.expected);
    const Lines log = s.Take();
    EXPECT_EQ(log, row.log) << Join(log);
    EXPECT_EQ(machine.FindDriverByServicePath(kFunctionService) != nullptr, row.driverLoaded);
    if (NT_SUCCESS(row.expected)) {
      EXPECT_EQ(machine.DeviceNodeState(pdo), NodeState::Initialized);
    } else {
      EXPECT_EQ(pdo, nullptr);
    }
  }
}

// A child whose START failed was removed then; once its bus has deleted its
// PDO (it left the bus), an orderly removal of the bus does not ask it.
TEST_F(PnpTest, AChildThatFailedToStartIsNotQueriedWhenItsBusIsRemoved) {
  PDEVICE_OBJECT root = StartBus();
  s.failStart = true;
  PDEVICE_OBJECT child = Plug(L"TEST\\FN");
  machine.ProcessDeviceRelations();
  EXPECT_EQ(machine.DeviceNodeState(child), NodeState::Failed);
  s.failStart = false;
  Unplug(child);
  machine.ProcessDeviceRelations();
  IoDeleteDevice(child);
  s.Take();
  EXPECT_EQ(machine.RequestRemoval(root, true), STATUS_SUCCESS);
  const Lines log = s.Take();
  for (const std::string& line : log) EXPECT_EQ(line.find("TEST\\FN"), std::string::npos) << Join(log);
}

// ---- verifier part II: devices and power -------------------------------------------

TEST(PnpVerifier, DeletingADeviceSomeoneStillReferencesIsReported) {
  Machine machine;
  FaultRecorder faults(machine);
  PDEVICE_OBJECT top;
  {
    TestStack stack(machine, 2);
    top = IoGetAttachedDeviceReference(stack[0].device);
  }
  auto seen = faults.Take();
  ASSERT_EQ(seen.size(), 1u) << FaultRecorder::Describe(seen);
  EXPECT_EQ(seen[0].kind, FaultKind::DeviceDeletedWhileReferenced) << seen[0].what;
  EXPECT_NE(seen[0].what.find("1 reference"), std::string::npos) << seen[0].what;
  ObDereferenceObject(top);
}

TEST_F(PnpTest, VerifierReportsAFunctionDeviceLeftAttachedAfterRemove) {
  FaultRecorder faults(machine);
  s.keepDeviceOnRemove = true;
  StartBus();
  PDEVICE_OBJECT child = Plug(L"TEST\\FN");
  machine.ProcessDeviceRelations();
  PDEVICE_OBJECT fdo = child->AttachedDevice;
  ASSERT_NE(fdo, nullptr);
  // The child stays on the bus, so its PDO outlives the removal.
  EXPECT_EQ(machine.RequestRemoval(child, false), STATUS_SUCCESS);
  auto seen = faults.Take();
  ASSERT_EQ(seen.size(), 1u) << FaultRecorder::Describe(seen);
  EXPECT_EQ(seen[0].kind, FaultKind::StackLeftAfterRemove) << seen[0].what;
  EXPECT_NE(seen[0].what.find("TEST\\FN\\0001"), std::string::npos) << seen[0].what;
  // The driver still has its device, so it was not unloaded.
  EXPECT_NE(machine.FindDriverByServicePath(kFunctionService), nullptr);
  IoDetachDevice(child);
  IoDeleteDevice(fdo);
}

void Requested(PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID context, PIO_STATUS_BLOCK status) {
  *static_cast<NTSTATUS*>(context) = status->Status;
}

TEST(PnpVerifier, APowerIrpCompletedWithoutStartingTheNextIsReported) {
  Machine machine;
  FaultRecorder faults(machine);
  TestStack stack(machine, 1);
  // The stack completes power IRPs without PoStartNextPowerIrp.
  stack[0].dispatch = [](PDEVICE_OBJECT, PIRP irp) { return Complete(irp, STATUS_SUCCESS); };
  NTSTATUS result = STATUS_PENDING;
  POWER_STATE d3;
  d3.DeviceState = PowerDeviceD3;
  EXPECT_EQ(PoRequestPowerIrp(stack[0].device, IRP_MN_SET_POWER, d3, Requested, &result, nullptr), STATUS_PENDING);
  EXPECT_EQ(result, STATUS_SUCCESS);  // the completion function still ran
  auto seen = faults.Take();
  ASSERT_EQ(seen.size(), 1u) << FaultRecorder::Describe(seen);
  EXPECT_EQ(seen[0].kind, FaultKind::PowerIrpMisuse) << seen[0].what;
  stack[0].dispatch = [](PDEVICE_OBJECT, PIRP irp) {
    PoStartNextPowerIrp(irp);
    return Complete(irp, STATUS_SUCCESS);
  };
  EXPECT_EQ(PoRequestPowerIrp(stack[0].device, IRP_MN_SET_POWER, d3, Requested, &result, nullptr), STATUS_PENDING);
  EXPECT_EQ(faults.Take().size(), 0u);
}

}  // namespace
}  // namespace tqm::kernel::testing
