// Shared pieces of the simulated-kernel tests: a machine per test, a fault
// recorder for the tests that provoke verifier faults on purpose, and a small
// configurable driver whose devices form the stacks the tests send IRPs down.
#pragma once

#include <gtest/gtest.h>
#include <wdm.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "platform/kernel/machine.h"

namespace tqm::kernel::testing {

// Records verifier faults instead of aborting.
class FaultRecorder {
 public:
  explicit FaultRecorder(Machine& machine) : machine_(machine) {
    machine.SetFaultHook([this](const Fault& f) {
      std::lock_guard lock(mu_);
      faults_.push_back(f);
    });
  }
  // Faults after the recorder is gone (the machine's own teardown) abort again.
  ~FaultRecorder() { machine_.SetFaultHook(nullptr); }
  std::vector<Fault> Take() {
    std::lock_guard lock(mu_);
    return std::exchange(faults_, {});
  }
  static std::string Describe(const std::vector<Fault>& faults) {
    std::string text;
    for (const Fault& f : faults) text += std::string(FaultKindName(f.kind)) + ": " + f.what + " [" + f.where + "]\n";
    return text.empty() ? "(none)" : text;
  }

 private:
  Machine& machine_;
  std::mutex mu_;
  std::vector<Fault> faults_;
};

// A device of the test driver: each device has its own dispatch behaviour.
struct TestDevice {
  PDEVICE_OBJECT device = nullptr;
  PDEVICE_OBJECT lower = nullptr;
  std::function<NTSTATUS(PDEVICE_OBJECT, PIRP)> dispatch;
};

// The extension of every test device points back to its TestDevice.
struct TestExtension {
  TestDevice* self;
};

inline NTSTATUS TestDispatch(PDEVICE_OBJECT device, PIRP irp) {
  auto* extension = static_cast<TestExtension*>(device->DeviceExtension);
  return extension->self->dispatch(device, irp);
}

inline NTSTATUS TestDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  for (PDRIVER_DISPATCH& d : driver->MajorFunction) d = TestDispatch;
  return STATUS_SUCCESS;
}

// A stack of test devices, created bottom first and attached in order.
class TestStack {
 public:
  TestStack(Machine& machine, size_t depth) : machine_(machine), devices_(depth) {
    NTSTATUS status;
    driver_ = machine.LoadDriver(TestDriverEntry, L"TestStack", &status);
    EXPECT_EQ(status, STATUS_SUCCESS);
    for (size_t i = 0; i < depth; ++i) {
      TestDevice& d = devices_[i];
      EXPECT_EQ(IoCreateDevice(driver_, sizeof(TestExtension), nullptr, FILE_DEVICE_UNKNOWN, 0,
                               FALSE, &d.device),
                STATUS_SUCCESS);
      static_cast<TestExtension*>(d.device->DeviceExtension)->self = &d;
      if (i > 0) d.lower = IoAttachDeviceToDeviceStack(d.device, devices_[i - 1].device);
      d.device->Flags &= ~DO_DEVICE_INITIALIZING;
      d.dispatch = [](PDEVICE_OBJECT, PIRP irp) {
        irp->IoStatus.Status = STATUS_SUCCESS;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
      };
    }
  }
  ~TestStack() {
    for (size_t i = devices_.size(); i-- > 0;) {
      if (devices_[i].lower) IoDetachDevice(devices_[i].lower);
      IoDeleteDevice(devices_[i].device);
    }
    machine_.UnloadDriver(driver_);
  }
  TestDevice& operator[](size_t level) { return devices_[level]; }  // 0 = bottom
  TestDevice& top() { return devices_.back(); }
  PDRIVER_OBJECT driver() const { return driver_; }

 private:
  Machine& machine_;
  PDRIVER_OBJECT driver_ = nullptr;
  std::vector<TestDevice> devices_;
};

// A device-control request to the top of a stack, waited for like a driver
// waits for one it built.
struct ControlRequest {
  KEVENT done;
  IO_STATUS_BLOCK iosb{};
  PIRP irp = nullptr;

  ControlRequest(PDEVICE_OBJECT target, ULONG code, void* in, ULONG inLength, void* out,
                 ULONG outLength) {
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    irp = IoBuildDeviceIoControlRequest(code, target, in, inLength, out, outLength, FALSE, &done,
                                        &iosb);
  }
};

constexpr ULONG kBufferedCode = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_BUFFERED, FILE_ANY_ACCESS);

}  // namespace tqm::kernel::testing
