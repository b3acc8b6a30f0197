// The child device as the system and the companion driver meet it: its
// identifiers, the requests it answers itself or through the parent's
// stack, and the companion interface with its references.
#include "driver_fixture.h"

namespace tqmdrv::testing {
namespace {

using namespace tqm;

struct Sent {
  NTSTATUS status;
  ULONG_PTR information;
};

NTSTATUS KeepIrp(PDEVICE_OBJECT, PIRP, PVOID context) {
  KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

// Sends one request to device as the system or a driver above it would, and
// waits for it.
template <typename Fill>
Sent SendTo(PDEVICE_OBJECT device, UCHAR major, UCHAR minor, Fill fill, NTSTATUS preset = STATUS_NOT_SUPPORTED) {
  PIRP irp = IoAllocateIrp(CCHAR(device->StackSize), FALSE);
  irp->IoStatus.Status = preset;
  irp->IoStatus.Information = 0;
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = major;
  next->MinorFunction = minor;
  fill(next);
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IoSetCompletionRoutine(irp, KeepIrp, &done, TRUE, TRUE, TRUE);
  if (IoCallDriver(device, irp) == STATUS_PENDING) KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
  const Sent sent = {irp->IoStatus.Status, irp->IoStatus.Information};
  IoFreeIrp(irp);
  return sent;
}

class ChildTest : public DriverTest {
 protected:
  void SetUp() override {
    ASSERT_NE(Plug(), nullptr);
    const auto children = machine_.ChildDevices(Pdo());
    ASSERT_EQ(children.size(), 1u);
    child_ = children[0];
    fdx_ = static_cast<FdoExtension*>(Pdo()->AttachedDevice->DeviceExtension);
  }
  Sent QueryInterface(TqmCompanionInterface* out, USHORT size, USHORT version, const GUID& type) {
    return SendTo(child_, IRP_MJ_PNP, IRP_MN_QUERY_INTERFACE, [&](PIO_STACK_LOCATION s) {
      s->Parameters.QueryInterface.InterfaceType = &type;
      s->Parameters.QueryInterface.Size = size;
      s->Parameters.QueryInterface.Version = version;
      s->Parameters.QueryInterface.Interface = reinterpret_cast<PINTERFACE>(out);
      s->Parameters.QueryInterface.InterfaceSpecificData = nullptr;
    });
  }
  std::wstring QueryId(BUS_QUERY_ID_TYPE type, NTSTATUS* status) {
    const Sent sent = SendTo(child_, IRP_MJ_PNP, IRP_MN_QUERY_ID,
                             [&](PIO_STACK_LOCATION s) { s->Parameters.QueryId.IdType = type; });
    *status = sent.status;
    if (!NT_SUCCESS(sent.status) || !sent.information) return {};
    auto* text = reinterpret_cast<PWCHAR>(sent.information);
    std::wstring id(text);
    // A list: the string's terminator and one more.
    EXPECT_EQ(text[id.size() + 1], L'\0');
    ExFreePool(text);
    return id;
  }

  PDEVICE_OBJECT child_ = nullptr;
  FdoExtension* fdx_ = nullptr;
};

TEST_F(ChildTest, IdentifiersAndUnsupportedTypes) {
  struct Row {
    BUS_QUERY_ID_TYPE type;
    NTSTATUS status;
    const wchar_t* id;
  };
  const Row rows[] = {
      {BusQueryDeviceID, STATUS_SUCCESS, L"ORU\\TQM27_01"},
      {BusQueryHardwareIDs, STATUS_SUCCESS, L"ORU\\TQM27_01"},
      {BusQueryInstanceID, STATUS_SUCCESS, L"0001"},
      {BusQueryCompatibleIDs, STATUS_NOT_SUPPORTED, L""},
      {BusQueryDeviceSerialNumber, STATUS_NOT_SUPPORTED, L""},
  };
  for (const Row& row : rows) {
    NTSTATUS status;
    EXPECT_EQ(QueryId(row.type, &status), row.id) << int(row.type);
    EXPECT_EQ(status, row.status) << int(row.type);
  }
  // The manager enumerated the child under those identifiers.
  EXPECT_EQ(machine_.InstancePath(child_), L"ORU\\TQM27_01\\0001");
}

TEST_F(ChildTest, CompanionInterfaceAndItsReferences) {
  const GUID type = InterfaceClass();
  TqmCompanionInterface table;
  std::memset(&table, 0xCC, sizeof table);

  // One byte short: refused, nothing written, no reference.
  EXPECT_EQ(QueryInterface(&table, sizeof table - 1, 1, type).status, STATUS_INVALID_PARAMETER);
  EXPECT_EQ(table.Size, 0xCCCC);
  // Version 0: the request's own status, no reference.
  EXPECT_EQ(QueryInterface(&table, sizeof table, 0, type).status, STATUS_NOT_SUPPORTED);
  EXPECT_EQ(fdx_->interfaceReferences, 0);

  ASSERT_EQ(QueryInterface(&table, sizeof table, 1, type).status, STATUS_SUCCESS);
  EXPECT_EQ(table.Size, sizeof(TqmCompanionInterface));
  EXPECT_EQ(table.Version, 1);
  EXPECT_EQ(table.Context, fdx_);
  EXPECT_EQ(table.Adapter, fdx_->adapter);
  EXPECT_EQ(table.Instance, 1u);
  EXPECT_EQ(fdx_->interfaceReferences, 1);

  // While the companion holds it, the device may be neither stopped nor removed.
  EXPECT_NE(machine_.QueryStopDevice(Pdo()), STATUS_SUCCESS);
  EXPECT_EQ(State(), NodeState::Started);
  EXPECT_NE(machine_.QueryRemoveDevice(Pdo(), false), STATUS_SUCCESS);
  EXPECT_EQ(State(), NodeState::Started);

  // The call-in reaches the engine: operation 19 answers two channels each way.
  ULONG arguments[8] = {};
  EXPECT_EQ(table.CallIn(table.Adapter, 19, arguments), STATUS_SUCCESS);
  EXPECT_EQ(arguments[0], 2u);
  EXPECT_EQ(arguments[1], 2u);

  table.InterfaceDereference(table.Context);
  EXPECT_EQ(fdx_->interfaceReferences, 0);
  // Giving back more than was taken leaves the count at zero.
  table.InterfaceDereference(table.Context);
  EXPECT_EQ(fdx_->interfaceReferences, 0);
  ASSERT_EQ(machine_.QueryStopDevice(Pdo()), STATUS_SUCCESS);
  ASSERT_EQ(machine_.CancelStopDevice(Pdo()), STATUS_SUCCESS);

  // Another interface type goes to the parent's stack, which knows none.
  const GUID other = {0x12345678, 0x1, 0x2, {3, 4, 5, 6, 7, 8, 9, 10}};
  EXPECT_EQ(QueryInterface(&table, sizeof table, 1, other).status, STATUS_NOT_SUPPORTED);
}

TEST_F(ChildTest, RequestsForwardedToTheParentStack) {
  // READ_CONFIG is not supported below: for a config read that is a failure.
  UCHAR config[16] = {};
  const Sent read = SendTo(child_, IRP_MJ_PNP, IRP_MN_READ_CONFIG, [&](PIO_STACK_LOCATION s) {
    s->Parameters.Others.Argument1 = config;
  });
  EXPECT_EQ(read.status, STATUS_UNSUCCESSFUL);

  // Capabilities keep the parent stack's answer.
  DEVICE_CAPABILITIES caps = {};
  caps.Version = 1;
  caps.Size = sizeof caps;
  caps.Address = 0xFFFFFFFF;
  const Sent capabilities = SendTo(child_, IRP_MJ_PNP, IRP_MN_QUERY_CAPABILITIES, [&](PIO_STACK_LOCATION s) {
    s->Parameters.DeviceCapabilities.Capabilities = &caps;
  });
  EXPECT_EQ(capabilities.status, STATUS_SUCCESS);
  EXPECT_EQ(caps.Address, 1u);  // what the TQM27's port reports
  EXPECT_EQ(caps.SurpriseRemovalOK, 1u);

  // A device-usage notification nobody below supports keeps the child's status.
  const Sent usage = SendTo(
      child_, IRP_MJ_PNP, IRP_MN_DEVICE_USAGE_NOTIFICATION, [](PIO_STACK_LOCATION) {}, STATUS_SUCCESS);
  EXPECT_EQ(usage.status, STATUS_SUCCESS);
}

TEST_F(ChildTest, ThingsTheChildAnswersItself) {
  struct Row {
    const char* why;
    UCHAR major, minor;
    NTSTATUS preset, expect;
  };
  const Row rows[] = {
      {"a create is not for the child", IRP_MJ_CREATE, 0, STATUS_SUCCESS, STATUS_INVALID_DEVICE_REQUEST},
      {"a close is not for the child", IRP_MJ_CLOSE, 0, STATUS_SUCCESS, STATUS_INVALID_DEVICE_REQUEST},
      {"no commands on the child", IRP_MJ_DEVICE_CONTROL, 0, STATUS_SUCCESS, STATUS_INVALID_DEVICE_REQUEST},
      {"resources: none needed", IRP_MJ_PNP, IRP_MN_QUERY_RESOURCES, STATUS_NOT_SUPPORTED, STATUS_SUCCESS},
      {"no device text", IRP_MJ_PNP, IRP_MN_QUERY_DEVICE_TEXT, STATUS_NOT_SUPPORTED, STATUS_NOT_SUPPORTED},
      {"minor 25 keeps the status", IRP_MJ_PNP, 25, STATUS_NOT_SUPPORTED, STATUS_NOT_SUPPORTED},
      {"no wake", IRP_MJ_POWER, IRP_MN_WAIT_WAKE, STATUS_SUCCESS, STATUS_NOT_SUPPORTED},
      {"a power query is fine", IRP_MJ_POWER, IRP_MN_QUERY_POWER, STATUS_NOT_SUPPORTED, STATUS_SUCCESS},
  };
  for (const Row& row : rows) {
    const Sent sent = SendTo(
        child_, row.major, row.minor,
        [&](PIO_STACK_LOCATION s) {
          if (row.major == IRP_MJ_DEVICE_CONTROL) {
            s->Parameters.DeviceIoControl.IoControlCode = kCommandControlCode;
          }
        },
        row.preset);
    EXPECT_EQ(sent.status, row.expect) << row.why;
  }
  // Its own target relation: itself, referenced for the caller.
  const Sent target = SendTo(child_, IRP_MJ_PNP, IRP_MN_QUERY_DEVICE_RELATIONS, [](PIO_STACK_LOCATION s) {
    s->Parameters.QueryDeviceRelations.Type = TargetDeviceRelation;
  });
  ASSERT_EQ(target.status, STATUS_SUCCESS);
  auto* list = reinterpret_cast<PDEVICE_RELATIONS>(target.information);
  ASSERT_EQ(list->Count, 1u);
  EXPECT_EQ(list->Objects[0], child_);
  ObDereferenceObject(list->Objects[0]);
  ExFreePool(list);
}

TEST_F(ChildTest, RemovalTakesTheChildBeforeTheParent) {
  // REMOVE on the child with no references leaves none.
  EXPECT_EQ(fdx_->interfaceReferences, 0);
  ASSERT_EQ(machine_.RequestRemoval(Pdo(), true), STATUS_SUCCESS);
  EXPECT_EQ(machine_.DeviceNodeState(Pdo()), NodeState::Removed);
  EXPECT_FALSE(DriverLoaded());
}

}  // namespace
}  // namespace tqmdrv::testing
