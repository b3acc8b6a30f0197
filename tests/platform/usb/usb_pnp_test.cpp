// The hub as a Plug and Play bus driver: plugging the TQM27 loads and starts
// its function driver through the manager, the PDO answers the manager's and
// the function driver's Plug and Play and power requests, and the device
// leaves by surprise (unplug) or in order (removal) as Windows sequences it.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/kernel/process.h"
#include "usb_pnp_fixture.h"

namespace tqm::usb::testing {
namespace {

constexpr ULONG kInStride = 100 * 6;

std::string Hex(NTSTATUS s) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", unsigned(s));
  return text;
}

std::string Narrow(const std::wstring& w) { return std::string(w.begin(), w.end()); }

std::string Lines(const std::vector<std::string>& lines) {
  std::string all;
  for (const auto& l : lines) all += l + "; ";
  return all;
}

// A Plug and Play request sent to the top of a stack and waited for.
struct PnpAnswer {
  NTSTATUS status;
  ULONG_PTR information;
};
PnpAnswer QueryPnp(PDEVICE_OBJECT device, UCHAR minor, void (*setup)(PIO_STACK_LOCATION, void*), void* context) {
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb{};
  PDEVICE_OBJECT top = IoGetAttachedDeviceReference(device);
  PIRP irp = IoBuildDeviceIoControlRequest(0, top, nullptr, 0, nullptr, 0, FALSE, &done, &iosb);
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_PNP;
  next->MinorFunction = minor;
  setup(next, context);
  if (IoCallDriver(top, irp) == STATUS_PENDING) KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
  ObDereferenceObject(top);
  return {iosb.Status, iosb.Information};
}

// A multi-string (or one string) the manager's way: NUL-separated, freed here.
std::vector<std::wstring> TakeStrings(ULONG_PTR information, bool multi) {
  std::vector<std::wstring> out;
  auto* text = reinterpret_cast<PWCHAR>(information);
  if (!text) return out;
  for (PWCHAR at = text; *at;) {
    std::wstring one;
    while (*at) one.push_back(wchar_t(*at++));
    ++at;
    out.push_back(one);
    if (!multi) break;
  }
  ExFreePool(text);
  return out;
}

class UsbPnpTest : public UsbPnpTestBase {};

// Plugging loads the function driver for the TQM27's identifier, adds and
// starts it; the node carries the PDO's identifiers and capabilities, and
// the function driver's URBs reach the device.
TEST_F(UsbPnpTest, PluggingLoadsAndStartsTheFunctionDriver) {
  ASSERT_TRUE(hub_->BusPresent());
  EXPECT_EQ(machine_.DeviceNodeState(hub_->busDevice()), kernel::NodeState::Started);
  EXPECT_FALSE(FunctionLoaded());
  Tqm27Port* port = hub_->Plug();
  ASSERT_NE(port, nullptr);
  EXPECT_EQ(Lines(log_.Take()), "AddDevice; START; ");
  EXPECT_TRUE(FunctionLoaded());
  EXPECT_EQ(machine_.DeviceNodeState(port->pdo()), kernel::NodeState::Started);
  const auto children = machine_.ChildDevices(hub_->busDevice());
  ASSERT_EQ(children.size(), 1u);
  EXPECT_EQ(children[0], port->pdo());
  EXPECT_EQ(Narrow(machine_.InstancePath(port->pdo())), Narrow(Tqm27DeviceId() + L"\\0001"));
  EXPECT_FALSE(InterfacePath().empty()) << "the function driver enabled its interface at START";

  const DEVICE_CAPABILITIES* caps = machine_.Capabilities(port->pdo());
  ASSERT_NE(caps, nullptr);
  EXPECT_EQ(caps->SurpriseRemovalOK, 1u);
  EXPECT_EQ(caps->Removable, 1u);
  EXPECT_EQ(caps->UniqueID, 0u) << "no serial number: the port names the instance";
  EXPECT_EQ(caps->DeviceState[PowerSystemWorking], PowerDeviceD0);
  for (int s = PowerSystemSleeping1; s <= PowerSystemShutdown; ++s)
    EXPECT_EQ(caps->DeviceState[s], PowerDeviceD3) << "S" << s - 1;

  UsbClient requests(machine_, UsbClient::SendThrough{FunctionLower()});
  const auto device = requests.GetDescriptor(USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, 18);
  ASSERT_EQ(device.bytes.size(), 18u) << Hex(device.result.status);
  EXPECT_EQ(device.bytes[8] | device.bytes[9] << 8, kUsbVendorId);
  EXPECT_EQ(device.bytes[10] | device.bytes[11] << 8, kUsbProductId);
}

// Devices on several ports are several device nodes: each instance is named
// after its port (1 for the first), and unplugging one leaves the others.
TEST_F(UsbPnpTest, EachPortHoldsItsOwnDevice) {
  struct Row {
    size_t index;
    const wchar_t* instance;
  } rows[] = {{0, L"\\0001"}, {3, L"\\0004"}, {UsbHub::kPorts - 1, L"\\0016"}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.index);
    Tqm27Port* port = hub_->Plug(row.index);
    ASSERT_NE(port, nullptr);
    EXPECT_EQ(hub_->port(row.index), port);
    EXPECT_EQ(machine_.DeviceNodeState(port->pdo()), kernel::NodeState::Started);
    EXPECT_EQ(Narrow(machine_.InstancePath(port->pdo())), Narrow(Tqm27DeviceId() + row.instance));
  }
  EXPECT_EQ(hub_->Plug(UsbHub::kPorts), nullptr) << "no such port";
  EXPECT_EQ(machine_.ChildDevices(hub_->busDevice()).size(), 3u);
  hub_->Unplug(3);
  EXPECT_TRUE(hub_->port(3)->Deleted());
  EXPECT_EQ(machine_.ChildDevices(hub_->busDevice()).size(), 2u);
  EXPECT_EQ(machine_.DeviceNodeState(hub_->port(0)->pdo()), kernel::NodeState::Started);
  EXPECT_NE(hub_->Plug(3), nullptr) << "the port is free again";
}

// The PDO's identifiers, asked through the whole stack as the manager and
// other drivers ask them.
TEST_F(UsbPnpTest, PhysicalDeviceReportsItsIdentifiers) {
  Tqm27Port* port = hub_->Plug();
  ASSERT_NE(port, nullptr);
  const std::wstring id = Tqm27DeviceId();
  struct Row {
    const char* why;
    BUS_QUERY_ID_TYPE type;
    NTSTATUS status;
    std::vector<std::wstring> ids;
  } rows[] = {
      {"device id: vendor and product", BusQueryDeviceID, STATUS_SUCCESS, {id}},
      {"hardware ids: most specific (with the device release) first", BusQueryHardwareIDs, STATUS_SUCCESS,
       {id + L"&REV_0100", id}},
      {"compatible ids: the audio class, most specific first", BusQueryCompatibleIDs, STATUS_SUCCESS,
       {L"USB\\Class_01&SubClass_01&Prot_00", L"USB\\Class_01&SubClass_01", L"USB\\Class_01"}},
      {"instance id: the port's", BusQueryInstanceID, STATUS_SUCCESS, {L"0001"}},
      {"an id type the bus has none of keeps its status", BusQueryDeviceSerialNumber, STATUS_NOT_SUPPORTED, {}},
  };
  for (Row& row : rows) {
    const PnpAnswer a = QueryPnp(port->pdo(), IRP_MN_QUERY_ID,
                                 [](PIO_STACK_LOCATION s, void* c) {
                                   s->Parameters.QueryId.IdType = *static_cast<BUS_QUERY_ID_TYPE*>(c);
                                 },
                                 &row.type);
    EXPECT_EQ(a.status, row.status) << row.why << ": " << Hex(a.status);
    const bool multi = row.type == BusQueryHardwareIDs || row.type == BusQueryCompatibleIDs;
    const auto got = NT_SUCCESS(a.status) ? TakeStrings(a.information, multi) : std::vector<std::wstring>{};
    std::string gotText, wantText;
    for (const auto& g : got) gotText += Narrow(g) + "|";
    for (const auto& w : row.ids) wantText += Narrow(w) + "|";
    EXPECT_EQ(gotText, wantText) << row.why;
  }

  // The target device relation names the PDO itself, referenced for the caller.
  const PnpAnswer target = QueryPnp(port->pdo(), IRP_MN_QUERY_DEVICE_RELATIONS,
                                    [](PIO_STACK_LOCATION s, void*) {
                                      s->Parameters.QueryDeviceRelations.Type = TargetDeviceRelation;
                                    },
                                    nullptr);
  ASSERT_EQ(target.status, STATUS_SUCCESS) << Hex(target.status);
  auto* relations = reinterpret_cast<PDEVICE_RELATIONS>(target.information);
  ASSERT_NE(relations, nullptr);
  ASSERT_EQ(relations->Count, 1u);
  EXPECT_EQ(relations->Objects[0], port->pdo());
  ObDereferenceObject(relations->Objects[0]);
  ExFreePool(relations);
}

// Unplugged with transfers pending and a handle open: SURPRISE_REMOVAL at
// once, every pending transfer completes as a vanished device's, and REMOVE
// waits for the last handle; then the PDO is gone and the idle driver unloaded.
TEST_F(UsbPnpTest, SurpriseRemovalCompletesPendingTransfersAndRemoveWaitsForHandles) {
  Tqm27Port* port = hub_->Plug();
  ASSERT_NE(port, nullptr);
  log_.Take();
  kernel::Process& app = machine_.StartProcess("app");
  NTSTATUS opened;
  HANDLE handle = app.Open(InterfacePath(), &opened);
  ASSERT_NE(handle, nullptr) << Hex(opened);

  UsbClient requests(machine_, UsbClient::SendThrough{FunctionLower()});
  auto [record, playback] = requests.StartStreaming(2, 2, 48000);
  IsochStream in(FunctionLower(), record, 3, 10, kInStride);
  in.Start();
  machine_.clock().Step(5);
  ASSERT_EQ(in.InFlight(), 3);
  in.Take();

  PDEVICE_OBJECT pdo = port->pdo();
  hub_->Unplug();
  EXPECT_EQ(Lines(log_.Take()), "SURPRISE_REMOVAL; ");
  EXPECT_EQ(machine_.DeviceNodeState(pdo), kernel::NodeState::SurpriseRemoved);
  machine_.clock().Step(2);
  EXPECT_EQ(in.InFlight(), 0) << "every pending transfer ended within a frame";
  const auto ended = in.Take();
  EXPECT_EQ(ended.size(), 3u);
  for (const auto& c : ended) {
    EXPECT_EQ(c.status, STATUS_DEVICE_NOT_CONNECTED) << Hex(c.status);
    EXPECT_EQ(c.usbd, USBD_STATUS_DEVICE_GONE) << Hex(c.usbd);
  }
  EXPECT_FALSE(port->Deleted()) << "REMOVE waits for the open handle";
  EXPECT_EQ(hub_->Plug(), nullptr) << "the port is occupied until the PDO is removed";

  EXPECT_EQ(app.CloseHandle(handle), STATUS_SUCCESS);
  EXPECT_EQ(Lines(log_.Take()), "REMOVE; ");
  EXPECT_TRUE(port->Deleted());
  EXPECT_TRUE(machine_.ChildDevices(hub_->busDevice()).empty());
  EXPECT_FALSE(FunctionLoaded()) << "the manager unloads a driver left without devices";
}

// Unplug with nothing open goes straight through REMOVE; a replug makes a new
// PDO, loads the driver again and its requests work. Twice, to show the port
// is reusable.
TEST_F(UsbPnpTest, UnplugAndReplug) {
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    Tqm27Port* port = hub_->Plug();
    ASSERT_NE(port, nullptr);
    EXPECT_EQ(Lines(log_.Take()), "AddDevice; START; ");
    UsbClient requests(machine_, UsbClient::SendThrough{FunctionLower()});
    EXPECT_EQ(requests.GetDescriptor(USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, 18).usbd, USBD_STATUS_SUCCESS);
    hub_->Unplug();
    EXPECT_EQ(Lines(log_.Take()), "SURPRISE_REMOVAL; REMOVE; ");
    EXPECT_TRUE(port->Deleted());
    EXPECT_TRUE(machine_.ChildDevices(hub_->busDevice()).empty());
  }
}

// An orderly removal while the device stays on the bus: the application is
// told and closes its handle, QUERY_REMOVE then REMOVE; the PDO stays until
// the device is unplugged, after which the port takes a new one.
TEST_F(UsbPnpTest, OrderlyRemovalThenUnplugAndReplug) {
  Tqm27Port* port = hub_->Plug();
  ASSERT_NE(port, nullptr);
  log_.Take();
  kernel::Process& app = machine_.StartProcess("app");
  NTSTATUS opened;
  ASSERT_NE(app.Open(InterfacePath(), &opened), nullptr) << Hex(opened);

  EXPECT_EQ(machine_.RequestRemoval(port->pdo(), false), STATUS_UNSUCCESSFUL)
      << "an application keeping its handle vetoes";
  EXPECT_EQ(Lines(log_.Take()), "");
  EXPECT_EQ(machine_.RequestRemoval(port->pdo(), true), STATUS_SUCCESS);
  EXPECT_EQ(Lines(log_.Take()), "QUERY_REMOVE; REMOVE; ");
  EXPECT_EQ(app.HandleCount(), 0u);
  EXPECT_EQ(machine_.DeviceNodeState(port->pdo()), kernel::NodeState::Removed);
  EXPECT_FALSE(port->Deleted()) << "a device still on the bus keeps its PDO";
  EXPECT_FALSE(FunctionLoaded());

  hub_->Unplug();
  EXPECT_TRUE(port->Deleted());
  EXPECT_EQ(Lines(log_.Take()), "") << "a removed device hears nothing of the unplug";
  ASSERT_NE(hub_->Plug(), nullptr);
  EXPECT_EQ(Lines(log_.Take()), "AddDevice; START; ");
}

// A sleep and wake of the system: the function driver asks its PDO for the
// device state the capabilities name, and the PDO carries it out and makes it
// known; waking brings it back to D0.
TEST_F(UsbPnpTest, SystemSleepAndWakePassThroughThePhysicalDevice) {
  Tqm27Port* port = hub_->Plug();
  ASSERT_NE(port, nullptr);
  log_.Take();
  EXPECT_EQ(machine_.SetSystemPowerState(PowerSystemSleeping3), STATUS_SUCCESS);
  EXPECT_EQ(Lines(log_.Take()), "S3; D3 status 0; ");
  EXPECT_EQ(machine_.DevicePowerState(port->pdo()), PowerDeviceD3);
  EXPECT_EQ(machine_.SetSystemPowerState(PowerSystemWorking), STATUS_SUCCESS);
  EXPECT_EQ(Lines(log_.Take()), "S0; D0 status 0; ");
  EXPECT_EQ(machine_.DevicePowerState(port->pdo()), PowerDeviceD0);
  UsbClient requests(machine_, UsbClient::SendThrough{FunctionLower()});
  EXPECT_EQ(requests.GetDescriptor(USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, 18).usbd, USBD_STATUS_SUCCESS);
}

// The hub's own removal takes its child first: the function driver is
// removed, then the PDO still on the bus goes with the hub.
TEST_F(UsbPnpTest, RemovingTheHubRemovesThePluggedDeviceFirst) {
  Tqm27Port* port = hub_->Plug();
  ASSERT_NE(port, nullptr);
  log_.Take();
  EXPECT_EQ(machine_.RequestRemoval(hub_->busDevice(), true), STATUS_SUCCESS);
  EXPECT_EQ(Lines(log_.Take()), "QUERY_REMOVE; REMOVE; ");
  EXPECT_FALSE(hub_->BusPresent());
  EXPECT_TRUE(port->Deleted());
  EXPECT_EQ(hub_->Plug(), nullptr) << "no bus, no port";
}

// Removing the hub after its device was unplugged: a child already removed
// is not asked again (its PDO is gone), and one surprise-removed but still
// held open gets no QUERY_REMOVE, only its REMOVE once the handle closes.
TEST_F(UsbPnpTest, RemovingTheHubAfterAnUnplugAsksNoDepartedDevice) {
  struct Row {
    const char* why;
    bool holdHandle;
    const char* expected;
  } rows[] = {
      {"the unplugged device was removed at once", false, ""},
      {"the unplugged device waits for its handle", true, "REMOVE; "},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.why);
    hub_.reset();  // one hub per machine: the last row's goes first
    hub_ = std::make_unique<UsbHub>(machine_, HubMode::PlugAndPlay);
    Tqm27Port* port = hub_->Plug();
    ASSERT_NE(port, nullptr);
    kernel::Process& app = machine_.StartProcess("app");
    NTSTATUS opened;
    if (row.holdHandle) {
      ASSERT_NE(app.Open(InterfacePath(), &opened), nullptr) << Hex(opened);
    }
    hub_->Unplug();
    log_.Take();
    EXPECT_EQ(machine_.RequestRemoval(hub_->busDevice(), true), STATUS_SUCCESS);
    EXPECT_EQ(Lines(log_.Take()), row.expected);
    EXPECT_TRUE(port->Deleted());
    EXPECT_FALSE(hub_->BusPresent());
  }
}

}  // namespace
}  // namespace tqm::usb::testing
