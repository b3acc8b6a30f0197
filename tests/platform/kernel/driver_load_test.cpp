// TQMDRV's driver entry on the simulated machine: it loads, installs its
// handlers, counts opens through real create and close requests, refuses an
// old system, and unloads clean.
#include "driver/core/core.h"
#include "platform/kernel/registry.h"

#include "tests/platform/kernel/kernel_fixture.h"

namespace tqm::kernel::testing {
namespace {

NTSTATUS SendMajor(PDEVICE_OBJECT device, UCHAR major) {
  PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IoGetNextIrpStackLocation(irp)->MajorFunction = major;
  IoSetCompletionRoutine(
      irp,
      [](PDEVICE_OBJECT, PIRP, PVOID event) {
        KeSetEvent(static_cast<PKEVENT>(event), IO_NO_INCREMENT, FALSE);
        return STATUS_MORE_PROCESSING_REQUIRED;
      },
      &done, TRUE, TRUE, TRUE);
  IoCallDriver(device, irp);
  KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
  const NTSTATUS status = irp->IoStatus.Status;
  IoFreeIrp(irp);
  return status;
}

TEST(DriverEntry, LoadsCountsOpensAndUnloads) {
  Machine machine;
  NTSTATUS status;
  PDRIVER_OBJECT driver = machine.LoadDriver(DriverEntry, L"TQM27_01", &status);
  ASSERT_NE(driver, nullptr);
  EXPECT_EQ(status, STATUS_SUCCESS);
  EXPECT_TRUE(machine.registry().KeyExists(
      L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\TQM27_01"));
  const auto lines = machine.DebugOutput();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].component, ULONG(DPFLTR_IHVAUDIO_ID));
  EXPECT_EQ(lines[0].level, 0u);
  EXPECT_EQ(lines[0].text.rfind("[ Built version - ", 0), 0u) << lines[0].text;
  EXPECT_NE(lines[0].text.find(" ]" + std::string(34, '-') + "\n"), std::string::npos) << lines[0].text;

  PDEVICE_OBJECT device;
  ASSERT_EQ(IoCreateDevice(driver, sizeof(FdoExtension), nullptr, FILE_DEVICE_UNKNOWN,
                           FILE_DEVICE_SECURE_OPEN, FALSE, &device),
            STATUS_SUCCESS);
  auto* extension = static_cast<FdoExtension*>(device->DeviceExtension);
  EXPECT_EQ(SendMajor(device, IRP_MJ_CREATE), STATUS_SUCCESS);
  EXPECT_EQ(SendMajor(device, IRP_MJ_CREATE), STATUS_SUCCESS);
  EXPECT_EQ(extension->openCount, 2);
  EXPECT_EQ(SendMajor(device, IRP_MJ_CLOSE), STATUS_SUCCESS);
  EXPECT_EQ(extension->openCount, 1);
  // Requests the driver does not handle are refused by the I/O manager's default.
  EXPECT_EQ(SendMajor(device, IRP_MJ_READ), STATUS_INVALID_DEVICE_REQUEST);
  IoDeleteDevice(device);

  // Unloading through the service key marks the driver for the Plug and Play
  // manager, which unloads it once its devices are gone.
  UNICODE_STRING service;
  RtlInitUnicodeString(&service, L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\TQM27_01");
  EXPECT_FALSE(machine.UnloadRequested(driver));
  EXPECT_EQ(ZwUnloadDriver(&service), STATUS_SUCCESS);
  EXPECT_TRUE(machine.UnloadRequested(driver));
  UNICODE_STRING other;
  RtlInitUnicodeString(&other, L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Other");
  EXPECT_EQ(ZwUnloadDriver(&other), STATUS_OBJECT_NAME_NOT_FOUND);

  machine.ClearDebugOutput();
  machine.UnloadDriver(driver);
  const auto unload = machine.DebugOutput();
  ASSERT_EQ(unload.size(), 1u);
  EXPECT_EQ(unload[0].text, "Cntr DriverUnload\n");
}

TEST(DriverEntry, RefusesASystemOlderThanWdm6) {
  MachineOptions options;
  options.wdmMajor = 5;
  options.wdmMinor = 1;
  Machine machine(options);
  NTSTATUS status;
  EXPECT_EQ(machine.LoadDriver(DriverEntry, L"TQM27_01", &status), nullptr);
  EXPECT_EQ(status, STATUS_UNSUCCESSFUL);
}

}  // namespace
}  // namespace tqm::kernel::testing
