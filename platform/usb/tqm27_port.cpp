// The TQM27's port: Plug and Play, power and the synchronous URBs. The
// isochronous schedule is in frame_schedule.cpp.
#include "usb/tqm27_port.h"

#include <usbdlib.h>
#include <usbioctl.h>

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cwchar>
#include <span>
#include <string>
#include <utility>

#include "platform/kernel/machine.h"
#include "tqm/identity.h"
#include "usb/device/descriptors.h"
#include "usb/hub_driver.h"
#include "usb/request_irql.h"
#include "usb/usb_status.h"

namespace tqm::usb {

namespace {

constexpr UCHAR kRequestGetDescriptor = 0x06;
constexpr UCHAR kRequestSetConfiguration = 0x09;
constexpr UCHAR kRequestSetInterface = 0x0B;
constexpr UCHAR kDeviceToHost = 0x80;
constexpr UCHAR kTypeClass = 0x20;
constexpr UCHAR kTypeVendor = 0x40;

constexpr ULONG kPortTag = 0x74705555;  // "UUpt"
// The device has no serial number, so its instance is named after the port
// (1 for the hub's first).
std::wstring InstanceId(uint32_t port) {
  wchar_t text[16];
  std::swprintf(text, 16, L"%04u", unsigned(port));
  return text;
}

std::wstring DeviceId() {
  wchar_t text[32];
  std::swprintf(text, 32, L"USB\\VID_%04X&PID_%04X", unsigned(kUsbVendorId), unsigned(kUsbProductId));
  return text;
}

std::wstring InstancePath(uint32_t port) { return DeviceId() + L"\\" + InstanceId(port); }

// The smallest URB of each control request the stack carries out; 0 for a
// function it does not know.
size_t ControlRequestShape(USHORT function) {
  switch (function) {
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_INTERFACE:
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_ENDPOINT:
      return sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST);
    case URB_FUNCTION_CLASS_DEVICE:
    case URB_FUNCTION_CLASS_INTERFACE:
    case URB_FUNCTION_CLASS_ENDPOINT:
    case URB_FUNCTION_CLASS_OTHER:
    case URB_FUNCTION_VENDOR_DEVICE:
    case URB_FUNCTION_VENDOR_INTERFACE:
    case URB_FUNCTION_VENDOR_ENDPOINT:
    case URB_FUNCTION_VENDOR_OTHER:
      return sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST);
    case URB_FUNCTION_SELECT_CONFIGURATION:
      return offsetof(struct _URB_SELECT_CONFIGURATION, Interface);
    case URB_FUNCTION_SELECT_INTERFACE:
      return offsetof(struct _URB_SELECT_INTERFACE, Interface) + offsetof(USBD_INTERFACE_INFORMATION, Pipes);
    case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
    case URB_FUNCTION_SYNC_RESET_PIPE:
    case URB_FUNCTION_SYNC_CLEAR_STALL:
    case URB_FUNCTION_ABORT_PIPE:
      return sizeof(struct _URB_PIPE_REQUEST);
    default:
      return 0;
  }
}

uint64_t Mix(uint64_t z) {  // splitmix64's finaliser
  z += 0x9E3779B97F4A7C15ull;
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

// What a control request asks, without its addresses (which differ from run
// to run).
uint64_t ControlKey(PURB urb) {
  const uint64_t key = uint64_t(urb->UrbHeader.Function) << 56;
  switch (urb->UrbHeader.Function) {
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_INTERFACE:
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_ENDPOINT: {
      const auto& r = urb->UrbControlDescriptorRequest;
      return key ^ uint64_t(r.DescriptorType) << 40 ^ uint64_t(r.Index) << 32 ^ uint64_t(r.LanguageId) << 16 ^
             r.TransferBufferLength;
    }
    case URB_FUNCTION_SELECT_INTERFACE:
      return key ^ uint64_t(urb->UrbSelectInterface.Interface.InterfaceNumber) << 8 ^
             urb->UrbSelectInterface.Interface.AlternateSetting;
    case URB_FUNCTION_SELECT_CONFIGURATION:
      return key;
    case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
    case URB_FUNCTION_SYNC_RESET_PIPE:
    case URB_FUNCTION_SYNC_CLEAR_STALL:
    case URB_FUNCTION_ABORT_PIPE:
      // Pipe handles are the port's own numbers, the same in every run.
      return key ^ uint64_t(reinterpret_cast<uintptr_t>(urb->UrbPipeRequest.PipeHandle));
    default: {
      const auto& r = urb->UrbControlVendorClassRequest;
      return key ^ uint64_t(r.Request) << 48 ^ uint64_t(r.Value) << 32 ^ uint64_t(r.Index) << 16 ^
             r.TransferBufferLength;
    }
  }
}

bool IsControlRequest(PURB urb) {
  const size_t shape = ControlRequestShape(urb->UrbHeader.Function);
  return shape && urb->UrbHeader.Length >= shape;
}

// The identifiers the port reports, each list as the manager expects it: the
// strings one after the other, each ended by a NUL, the list by another.
std::vector<std::wstring> Identifiers(BUS_QUERY_ID_TYPE type, uint32_t port) {
  switch (type) {
    case BusQueryDeviceID:
      return {DeviceId()};
    case BusQueryHardwareIDs: {
      const std::span<const uint8_t> device = DeviceDescriptor();
      wchar_t revision[16];
      std::swprintf(revision, 16, L"&REV_%02X%02X", unsigned(device[13]), unsigned(device[12]));
      return {DeviceId() + revision, DeviceId()};
    }
    case BusQueryCompatibleIDs:
      // The device's class is given per interface; its function is audio
      // (class 1), control (subclass 1) first.
      return {L"USB\\Class_01&SubClass_01&Prot_00", L"USB\\Class_01&SubClass_01", L"USB\\Class_01"};
    case BusQueryInstanceID:
      return {InstanceId(port)};
    default:
      return {};
  }
}

PWCHAR PoolIdentifiers(const std::vector<std::wstring>& ids, bool multi) {
  size_t chars = multi ? 1 : 0;
  for (const std::wstring& id : ids) chars += id.size() + 1;
  auto* text = static_cast<PWCHAR>(ExAllocatePoolWithTag(PagedPool, chars * sizeof(WCHAR), kPortTag));
  if (!text) return nullptr;
  PWCHAR at = text;
  for (const std::wstring& id : ids) {
    for (wchar_t c : id) *at++ = WCHAR(c);
    *at++ = 0;
  }
  if (multi) *at = 0;
  return text;
}

}  // namespace

Tqm27Port::Tqm27Port(kernel::Machine& machine, PDRIVER_OBJECT driver, NTSTATUS* status, uint32_t number)
    : machine_(machine), number_(number) {
  *status = IoCreateDevice(driver, sizeof(PortExtension), nullptr, FILE_DEVICE_UNKNOWN,
                           FILE_AUTOGENERATED_DEVICE_NAME, FALSE, &pdo_);
  if (!NT_SUCCESS(*status)) {
    pdo_ = nullptr;
    deleted_ = true;
    return;
  }
  *static_cast<PortExtension*>(pdo_->DeviceExtension) = PortExtension{this, nullptr, nullptr};
  pdo_->Flags |= DO_POWER_PAGABLE;
  pdo_->Flags &= ~DO_DEVICE_INITIALIZING;
  machine.RegisterPhysicalDevice(pdo_, InstancePath(number_));
  // Frames start at the next millisecond boundary and run every millisecond.
  kernel::Clock& clock = machine.clock();
  const int64_t ms = kernel::Clock::kUnitsPerMillisecond;
  const int64_t first = (clock.Now() / ms + 1) * ms;
  SetModes(PortModes{});
  frameWork_ = clock.AddWork(first, ms, [this] { RunFrame(); });
}

Tqm27Port::~Tqm27Port() {
  if (frameWork_) machine_.clock().RemoveWork(frameWork_);
  // Completions handed out by the last frame and not yet run end here, before
  // the PDO goes.
  std::vector<std::pair<kernel::Clock::WorkId, std::shared_ptr<Handed>>> handed;
  {
    std::lock_guard lock(mutex_);
    handed.swap(handed_);
  }
  for (auto& [work, share] : handed) {
    machine_.clock().RemoveWork(work);
    if (!share->taken.exchange(true)) Complete(share->done);
  }
  DeletePdo();
}

PortCounters Tqm27Port::Counters() const {
  std::lock_guard lock(mutex_);
  return counters_;
}

void Tqm27Port::Disconnect() {
  device_.Unplug();
  std::lock_guard lock(mutex_);
  disconnected_ = true;
}

bool Tqm27Port::Disconnected() const {
  std::lock_guard lock(mutex_);
  return disconnected_;
}

bool Tqm27Port::Removed() const {
  std::lock_guard lock(mutex_);
  return removed_;
}

bool Tqm27Port::Deleted() const {
  std::lock_guard lock(mutex_);
  return deleted_;
}

void Tqm27Port::DeletePdo() {
  std::vector<Done> done;
  {
    std::lock_guard lock(mutex_);
    if (deleted_) return;
    deleted_ = true;
    FailAll(USBD_STATUS_DEVICE_GONE, STATUS_DEVICE_NOT_CONNECTED, done);
  }
  Complete(done);
  IoDeleteDevice(pdo_);
}

// ---- dispatch ----

NTSTATUS Tqm27Port::Dispatch(PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  NTSTATUS status;
  switch (stack->MajorFunction) {
    case IRP_MJ_PNP:
      return DispatchPnp(irp);
    case IRP_MJ_POWER:
      return DispatchPower(irp);
    case IRP_MJ_INTERNAL_DEVICE_CONTROL:
      return DispatchInternal(irp);
    case IRP_MJ_CREATE:
    case IRP_MJ_CLOSE:
    case IRP_MJ_CLEANUP:
      status = STATUS_SUCCESS;
      break;
    case IRP_MJ_SYSTEM_CONTROL:
      // No WMI here: the request goes back as it came.
      status = irp->IoStatus.Status;
      break;
    default:
      status = STATUS_INVALID_DEVICE_REQUEST;
      break;
  }
  irp->IoStatus.Status = status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

NTSTATUS Tqm27Port::DispatchPnp(PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  NTSTATUS status = irp->IoStatus.Status;  // unhandled requests keep theirs
  bool deleteNow = false;
  std::vector<Done> done;
  switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE: {
      std::lock_guard lock(mutex_);
      removed_ = false;
      status = STATUS_SUCCESS;
      break;
    }
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
      status = STATUS_SUCCESS;
      break;
    case IRP_MN_REMOVE_DEVICE: {
      // Whatever the function driver left pending ends now. A device still on
      // the bus keeps its PDO (it may be started again); a departed one's PDO
      // goes away.
      std::lock_guard lock(mutex_);
      removed_ = true;
      const NTSTATUS gone = disconnected_ ? STATUS_DEVICE_NOT_CONNECTED : STATUS_NO_SUCH_DEVICE;
      FailAll(USBD_STATUS_DEVICE_GONE, gone, done);
      deleteNow = disconnected_ && !deleted_;
      if (deleteNow) deleted_ = true;
      status = STATUS_SUCCESS;
      break;
    }
    case IRP_MN_QUERY_ID: {
      const BUS_QUERY_ID_TYPE type = stack->Parameters.QueryId.IdType;
      const std::vector<std::wstring> ids = Identifiers(type, number_);
      if (ids.empty()) break;  // not ours to answer: the status stays
      PWCHAR text = PoolIdentifiers(ids, type == BusQueryHardwareIDs || type == BusQueryCompatibleIDs);
      if (!text) {
        status = STATUS_INSUFFICIENT_RESOURCES;
        break;
      }
      irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(text);
      status = STATUS_SUCCESS;
      break;
    }
    case IRP_MN_QUERY_CAPABILITIES: {
      PDEVICE_CAPABILITIES caps = stack->Parameters.DeviceCapabilities.Capabilities;
      if (!caps || caps->Version < 1 || caps->Size < sizeof(DEVICE_CAPABILITIES)) {
        status = STATUS_UNSUCCESSFUL;
        break;
      }
      // A USB device may be pulled at any time; it has no serial number, so
      // its identity is its port; it cannot wake the system.
      caps->Removable = 1;
      caps->SurpriseRemovalOK = 1;
      caps->UniqueID = 0;
      caps->EjectSupported = 0;
      caps->LockSupported = 0;
      caps->DeviceD1 = 0;
      caps->DeviceD2 = 0;
      caps->WakeFromD0 = caps->WakeFromD1 = caps->WakeFromD2 = caps->WakeFromD3 = 0;
      caps->Address = number_;
      caps->UINumber = number_;
      caps->SystemWake = PowerSystemUnspecified;
      caps->DeviceWake = PowerDeviceUnspecified;
      caps->DeviceState[PowerSystemUnspecified] = PowerDeviceUnspecified;
      caps->DeviceState[PowerSystemWorking] = PowerDeviceD0;
      for (int s = PowerSystemSleeping1; s <= PowerSystemShutdown; ++s) caps->DeviceState[s] = sleepDeviceState_;
      status = STATUS_SUCCESS;
      break;
    }
    case IRP_MN_QUERY_DEVICE_RELATIONS: {
      // A PDO answers for itself only; bus relations are the hub's.
      if (stack->Parameters.QueryDeviceRelations.Type != TargetDeviceRelation) break;
      auto* relations = static_cast<PDEVICE_RELATIONS>(
          ExAllocatePoolWithTag(PagedPool, sizeof(DEVICE_RELATIONS), kPortTag));
      if (!relations) {
        status = STATUS_INSUFFICIENT_RESOURCES;
        break;
      }
      relations->Count = 1;
      relations->Objects[0] = pdo_;
      ObReferenceObject(pdo_);
      irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(relations);
      status = STATUS_SUCCESS;
      break;
    }
    default:
      break;
  }
  Complete(done);
  irp->IoStatus.Status = status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  if (deleteNow) IoDeleteDevice(pdo_);
  return status;
}

NTSTATUS Tqm27Port::DispatchPower(PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  PoStartNextPowerIrp(irp);
  if (stack->MinorFunction == IRP_MN_SET_POWER || stack->MinorFunction == IRP_MN_QUERY_POWER) {
    const bool system = stack->Parameters.Power.Type == SystemPowerState;
    const int state = system ? int(stack->Parameters.Power.State.SystemState) - 1
                             : int(stack->Parameters.Power.State.DeviceState) - 1;
    std::lock_guard lock(mutex_);
    powerLog_.push_back(std::string(stack->MinorFunction == IRP_MN_SET_POWER ? "SET " : "QUERY ") +
                        (system ? "S" : "D") + std::to_string(state));
  }
  NTSTATUS status = irp->IoStatus.Status;
  if (stack->MinorFunction == IRP_MN_SET_POWER || stack->MinorFunction == IRP_MN_QUERY_POWER)
    status = STATUS_SUCCESS;
  if (stack->MinorFunction == IRP_MN_SET_POWER) {
    const bool system = stack->Parameters.Power.Type == SystemPowerState;
    std::vector<Done> done;
    {
      std::lock_guard lock(mutex_);
      SetPower(system,
               system ? int(stack->Parameters.Power.State.SystemState) : int(stack->Parameters.Power.State.DeviceState),
               done);
    }
    Complete(done);
  }
  // The bus carries out a device state change and makes it known.
  if (stack->MinorFunction == IRP_MN_SET_POWER && stack->Parameters.Power.Type == DevicePowerState)
    PoSetPowerState(pdo_, DevicePowerState, stack->Parameters.Power.State);
  irp->IoStatus.Status = status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

NTSTATUS Tqm27Port::DispatchInternal(PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  CheckRequestIrql(stack);
  NTSTATUS status;
  if (RefusePoweredDown(irp, &status)) return status;
  switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_INTERNAL_USB_SUBMIT_URB:
      return SubmitUrb(irp, static_cast<PURB>(stack->Parameters.Others.Argument1));
    case IOCTL_INTERNAL_USB_GET_PORT_STATUS: {
      auto* portStatus = static_cast<PULONG>(stack->Parameters.Others.Argument1);
      std::lock_guard lock(mutex_);
      if (!portStatus) {
        status = STATUS_INVALID_PARAMETER;
      } else {
        *portStatus = disconnected_ ? 0 : USBD_PORT_ENABLED | USBD_PORT_CONNECTED;
        status = STATUS_SUCCESS;
      }
      break;
    }
    default:
      status = STATUS_INVALID_DEVICE_REQUEST;
      break;
  }
  irp->IoStatus.Status = status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

// Completes a request the stack answered without the bus, inside IoCallDriver.
NTSTATUS Tqm27Port::Finish(PIRP irp, PURB urb, USBD_STATUS usbd) {
  NTSTATUS status = IrpStatusFor(usbd);
  if (urb) urb->UrbHeader.Status = usbd;
  {
    std::lock_guard lock(mutex_);
    if (usbd == USBD_STATUS_DEVICE_GONE && removed_ && !disconnected_) status = STATUS_NO_SUCH_DEVICE;
    if (!USBD_SUCCESS(usbd)) ++counters_.rejected;
  }
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = 0;
  CompleteAtDispatch(irp);
  return status;
}

NTSTATUS Tqm27Port::SubmitUrb(PIRP irp, PURB urb) {
  if (!urb || urb->UrbHeader.Length < sizeof(struct _URB_HEADER))
    return Finish(irp, urb, USBD_STATUS_INVALID_PARAMETER);
  std::vector<Done> done;
  USBD_STATUS usbd;
  const int64_t submittedAt = machine_.clock().Now();  // read outside mutex_
  {
    std::unique_lock lock(mutex_);
    ++counters_.urbs;
    const USHORT function = urb->UrbHeader.Function;
    if (disconnected_ || removed_) {
      usbd = USBD_STATUS_DEVICE_GONE;
    } else if (function == URB_FUNCTION_ISOCH_TRANSFER || function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) {
      bool queued = false;
      const NTSTATUS status = function == URB_FUNCTION_ISOCH_TRANSFER ? SubmitIsoch(irp, urb, done, &queued)
                                                                      : SubmitInterrupt(irp, urb, done, &queued);
      lock.unlock();
      // Pending, or already completed by a cancel that came first.
      if (queued) {
        Complete(done);
        return status;
      }
      return Finish(irp, urb, urb->UrbHeader.Status);
    } else if (function == URB_FUNCTION_GET_CURRENT_FRAME_NUMBER) {
      if (urb->UrbHeader.Length < sizeof(struct _URB_GET_CURRENT_FRAME_NUMBER)) {
        usbd = USBD_STATUS_INVALID_PARAMETER;
      } else {
        urb->UrbGetCurrentFrameNumber.FrameNumber = ULONG(device_.FrameNumber());
        usbd = USBD_STATUS_SUCCESS;
      }
    } else if (!IsControlRequest(urb)) {
      // Unknown or shorter than its structure: refused at once, whatever the mode.
      usbd = ControlRequestShape(urb->UrbHeader.Function) ? USBD_STATUS_INVALID_PARAMETER
                                                          : USBD_STATUS_INVALID_URB_FUNCTION;
    } else if (!modes_.controlInline) {
      // On the bus in one to three frames; carried out and completed then.
      // The delay is drawn from the request and its instant, not from the
      // order of submission: two threads that submit at one instant get the
      // same delays whichever comes first, so virtual runs repeat exactly.
      const ULONG delay = 1 + ULONG(Mix(controlDraw_ ^ uint64_t(submittedAt) ^ ControlKey(urb)) % 3);
      urb->UrbHeader.Status = USBD_STATUS_PENDING;
      IoMarkIrpPending(irp);
      const int64_t ms = kernel::Clock::kUnitsPerMillisecond;
      controls_.push_back(Control{irp, urb, (submittedAt / ms + delay) * ms});
      return STATUS_PENDING;
    } else {
      usbd = RunControl(urb, done);
    }
  }
  // Transfers aborted inline complete before the abort request itself.
  Complete(done);
  return Finish(irp, urb, usbd);
}

USBD_STATUS Tqm27Port::RunControl(PURB urb, std::vector<Done>& done) {
  switch (urb->UrbHeader.Function) {
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_INTERFACE:
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_ENDPOINT:
      return GetDescriptor(urb);
    case URB_FUNCTION_CLASS_DEVICE: return ControlRequest(urb, 0, kTypeClass);
    case URB_FUNCTION_CLASS_INTERFACE: return ControlRequest(urb, 1, kTypeClass);
    case URB_FUNCTION_CLASS_ENDPOINT: return ControlRequest(urb, 2, kTypeClass);
    case URB_FUNCTION_CLASS_OTHER: return ControlRequest(urb, 3, kTypeClass);
    case URB_FUNCTION_VENDOR_DEVICE: return ControlRequest(urb, 0, kTypeVendor);
    case URB_FUNCTION_VENDOR_INTERFACE: return ControlRequest(urb, 1, kTypeVendor);
    case URB_FUNCTION_VENDOR_ENDPOINT: return ControlRequest(urb, 2, kTypeVendor);
    case URB_FUNCTION_VENDOR_OTHER: return ControlRequest(urb, 3, kTypeVendor);
    case URB_FUNCTION_SELECT_CONFIGURATION: return SelectConfiguration(urb);
    case URB_FUNCTION_SELECT_INTERFACE: return SelectInterface(urb);
    case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
    case URB_FUNCTION_SYNC_RESET_PIPE:
    case URB_FUNCTION_SYNC_CLEAR_STALL:
      return ResetPipe(urb);
    case URB_FUNCTION_ABORT_PIPE: return AbortPipe(urb, done);
    default: return USBD_STATUS_INVALID_URB_FUNCTION;
  }
}

void Tqm27Port::SetModes(const PortModes& modes) {
  std::lock_guard lock(mutex_);
  modes_ = modes;
  uint64_t z = modes.seed + 0x9E3779B97F4A7C15ull;  // splitmix64, as FailRequests
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  z ^= z >> 31;
  controlDraw_ = z ? z : 1;
}

PortModes Tqm27Port::Modes() const {
  std::lock_guard lock(mutex_);
  return modes_;
}

void Tqm27Port::RefuseBandwidth(UCHAR interface, bool refuse) {
  std::lock_guard lock(mutex_);
  if (interface >= 32) return;
  if (refuse) bandwidthRefused_ |= 1u << interface;
  else bandwidthRefused_ &= ~(1u << interface);
}

bool Tqm27Port::HasIsochronousEndpoint(PUSB_INTERFACE_DESCRIPTOR descriptor) {
  UCHAR* at = reinterpret_cast<UCHAR*>(descriptor) + descriptor->bLength;
  UCHAR* const end = configDescriptor_.data() + configDescriptor_.size();
  while (at + 2 <= end && at[0] >= 2 && at + at[0] <= end && at[1] != USB_INTERFACE_DESCRIPTOR_TYPE) {
    if (at[1] == USB_ENDPOINT_DESCRIPTOR_TYPE && at[0] >= sizeof(USB_ENDPOINT_DESCRIPTOR) &&
        (at[3] & USB_ENDPOINT_TYPE_MASK) == USB_ENDPOINT_TYPE_ISOCHRONOUS)
      return true;
    at += at[0];
  }
  return false;
}

UCHAR* Tqm27Port::TransferBuffer(PVOID buffer, PMDL mdl) {
  if (buffer) return static_cast<UCHAR*>(buffer);
  if (mdl) return static_cast<UCHAR*>(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority));
  return nullptr;
}

// ---- control requests ----

USBD_STATUS Tqm27Port::GetDescriptor(PURB urb) {
  auto& r = urb->UrbControlDescriptorRequest;
  if (urb->UrbHeader.Length < sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST))
    return USBD_STATUS_INVALID_PARAMETER;
  if (r.TransferBufferLength > 0xFFFF) return USBD_STATUS_INVALID_PARAMETER;
  UCHAR* buffer = TransferBuffer(r.TransferBuffer, r.TransferBufferMDL);
  if (!buffer && r.TransferBufferLength) return USBD_STATUS_INVALID_PARAMETER;
  UCHAR recipient = 0;
  if (urb->UrbHeader.Function == URB_FUNCTION_GET_DESCRIPTOR_FROM_INTERFACE) recipient = 1;
  if (urb->UrbHeader.Function == URB_FUNCTION_GET_DESCRIPTOR_FROM_ENDPOINT) recipient = 2;
  const SetupPacket setup{UCHAR(kDeviceToHost | recipient), kRequestGetDescriptor,
                          USHORT(r.DescriptorType << 8 | r.Index), r.LanguageId,
                          USHORT(r.TransferBufferLength)};
  const ControlResult result = device_.Control(setup, {buffer, r.TransferBufferLength});
  r.TransferBufferLength = result.status == UsbStatus::Ok ? result.length : 0;
  return UsbdStatusFor(result.status);
}

USBD_STATUS Tqm27Port::ControlRequest(PURB urb, UCHAR recipient, UCHAR type) {
  auto& r = urb->UrbControlVendorClassRequest;
  if (urb->UrbHeader.Length < sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST))
    return USBD_STATUS_INVALID_PARAMETER;
  if (r.TransferBufferLength > 0xFFFF) return USBD_STATUS_INVALID_PARAMETER;
  UCHAR* buffer = TransferBuffer(r.TransferBuffer, r.TransferBufferMDL);
  if (!buffer && r.TransferBufferLength) return USBD_STATUS_INVALID_PARAMETER;
  const bool in = USBD_TRANSFER_DIRECTION_FLAG(r.TransferFlags) == USBD_TRANSFER_DIRECTION_IN;
  const SetupPacket setup{UCHAR((in ? kDeviceToHost : 0) | type | recipient | r.RequestTypeReservedBits),
                          r.Request, r.Value, r.Index, USHORT(r.TransferBufferLength)};
  const ControlResult result = device_.Control(setup, {buffer, r.TransferBufferLength});
  r.TransferBufferLength = result.status == UsbStatus::Ok ? result.length : 0;
  return UsbdStatusFor(result.status);
}

// ---- configuration ----

Tqm27Port::Pipe* Tqm27Port::FindPipe(USBD_PIPE_HANDLE handle) {
  for (Pipe& pipe : pipes_)
    if (pipe.handle == handle) return &pipe;
  return nullptr;
}

void Tqm27Port::ClosePipes(int interface) {
  std::erase_if(pipes_, [&](const Pipe& p) { return interface < 0 || p.interface == interface; });
}

bool Tqm27Port::InterfaceBusy(int interface) const {
  for (const Pipe& pipe : pipes_) {
    if (interface >= 0 && pipe.interface != interface) continue;
    for (const Transfer& t : queues_[QueueIndex(pipe.endpoint)])
      if (t.pipe == pipe.handle) return true;
  }
  return false;
}

// Fills one interface information from its descriptor and opens its pipes
// (appended to pipes_). `room` is what the URB holds from `info` on.
bool Tqm27Port::FillInterface(PUSB_INTERFACE_DESCRIPTOR descriptor, PUSBD_INTERFACE_INFORMATION info,
                              ULONG room, USBD_STATUS* status) {
  const ULONG endpoints = descriptor->bNumEndpoints;
  if (info->Length < GET_USBD_INTERFACE_SIZE(endpoints) || info->Length > room) {
    *status = USBD_STATUS_BUFFER_TOO_SMALL;
    return false;
  }
  info->Class = descriptor->bInterfaceClass;
  info->SubClass = descriptor->bInterfaceSubClass;
  info->Protocol = descriptor->bInterfaceProtocol;
  info->InterfaceHandle = reinterpret_cast<USBD_INTERFACE_HANDLE>(
      uintptr_t(0x1000 + descriptor->bInterfaceNumber * 0x10 + descriptor->bAlternateSetting));
  info->NumberOfPipes = endpoints;
  UCHAR* at = reinterpret_cast<UCHAR*>(descriptor) + descriptor->bLength;
  UCHAR* const end = configDescriptor_.data() + configDescriptor_.size();
  for (ULONG p = 0; p < endpoints; ++p) {
    // The interface's endpoints follow it, before the next interface.
    PUSB_ENDPOINT_DESCRIPTOR endpoint = nullptr;
    while (at + 2 <= end && at[0] >= 2 && at + at[0] <= end) {
      if (at[1] == USB_INTERFACE_DESCRIPTOR_TYPE) break;
      if (at[1] == USB_ENDPOINT_DESCRIPTOR_TYPE && at[0] >= sizeof(USB_ENDPOINT_DESCRIPTOR)) {
        endpoint = reinterpret_cast<PUSB_ENDPOINT_DESCRIPTOR>(at);
        at += at[0];
        break;
      }
      at += at[0];
    }
    if (!endpoint) {
      *status = USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR;
      return false;
    }
    Pipe pipe{reinterpret_cast<USBD_PIPE_HANDLE>(0x10000 + 0x10 * nextHandle_++),
              descriptor->bInterfaceNumber, endpoint->bEndpointAddress,
              USBD_PIPE_TYPE(endpoint->bmAttributes & USB_ENDPOINT_TYPE_MASK),
              USHORT(endpoint->wMaxPacketSize & 0x7FF)};
    USBD_PIPE_INFORMATION& out = info->Pipes[p];
    out.MaximumPacketSize = pipe.maxPacket;
    out.EndpointAddress = pipe.endpoint;
    out.Interval = endpoint->bInterval;
    out.PipeType = pipe.type;
    out.PipeHandle = pipe.handle;
    pipes_.push_back(pipe);
  }
  return true;
}

// The stack's own walk of the selected configuration (it may run on the
// clock thread, where the USBD library's parser may not be called).
PUSB_INTERFACE_DESCRIPTOR Tqm27Port::FindInterface(UCHAR number, UCHAR alternate) {
  UCHAR* at = configDescriptor_.data();
  UCHAR* const end = at + configDescriptor_.size();
  if (configDescriptor_.size() < sizeof(USB_CONFIGURATION_DESCRIPTOR)) return nullptr;
  at += at[0];
  while (at + 2 <= end && at[0] >= 2 && at + at[0] <= end) {
    if (at[1] == USB_INTERFACE_DESCRIPTOR_TYPE && at[0] >= sizeof(USB_INTERFACE_DESCRIPTOR)) {
      auto* d = reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(at);
      if (d->bInterfaceNumber == number && d->bAlternateSetting == alternate) return d;
    }
    at += at[0];
  }
  return nullptr;
}

USBD_STATUS Tqm27Port::SelectConfiguration(PURB urb) {
  auto& r = urb->UrbSelectConfiguration;
  if (urb->UrbHeader.Length < offsetof(struct _URB_SELECT_CONFIGURATION, Interface))
    return USBD_STATUS_INVALID_PARAMETER;
  if (InterfaceBusy(-1)) return USBD_STATUS_ERROR_BUSY;
  if (!r.ConfigurationDescriptor) {
    // Unconfigure: the device goes back to the address state.
    const ControlResult result =
        device_.Control(SetupPacket{0x00, kRequestSetConfiguration, 0, 0, 0}, {});
    if (result.status != UsbStatus::Ok) return UsbdStatusFor(result.status);
    ClosePipes(-1);
    configuration_ = 0;
    configDescriptor_.clear();
    r.ConfigurationHandle = nullptr;
    return USBD_STATUS_SUCCESS;
  }
  const PUSB_CONFIGURATION_DESCRIPTOR descriptor = r.ConfigurationDescriptor;
  if (descriptor->bLength < sizeof(USB_CONFIGURATION_DESCRIPTOR) ||
      descriptor->bDescriptorType != USB_CONFIGURATION_DESCRIPTOR_TYPE ||
      descriptor->wTotalLength < sizeof(USB_CONFIGURATION_DESCRIPTOR) || descriptor->bNumInterfaces == 0)
    return USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR;
  const auto* bytes = reinterpret_cast<const UCHAR*>(descriptor);
  std::vector<UCHAR> saved(bytes, bytes + descriptor->wTotalLength);
  std::swap(saved, configDescriptor_);
  std::vector<Pipe> oldPipes = pipes_;
  pipes_.clear();
  auto* config = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(configDescriptor_.data());
  // Each interface information is filled from the descriptor it names; a
  // request that names a missing interface or is too short fails whole.
  UCHAR* at = reinterpret_cast<UCHAR*>(&r.Interface);
  UCHAR* const end = reinterpret_cast<UCHAR*>(urb) + urb->UrbHeader.Length;
  USBD_STATUS status = USBD_STATUS_SUCCESS;
  std::vector<std::pair<UCHAR, UCHAR>> alternates;
  for (UCHAR i = 0; i < config->bNumInterfaces && USBD_SUCCESS(status); ++i) {
    auto* info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(at);
    if (at + offsetof(USBD_INTERFACE_INFORMATION, Pipes) > end) {
      status = USBD_STATUS_BUFFER_TOO_SMALL;
      break;
    }
    PUSB_INTERFACE_DESCRIPTOR d = FindInterface(info->InterfaceNumber, info->AlternateSetting);
    if (!d) {
      status = USBD_STATUS_INTERFACE_NOT_FOUND;
      break;
    }
    if (!FillInterface(d, info, ULONG(end - at), &status)) break;
    if (info->AlternateSetting != 0) alternates.emplace_back(info->InterfaceNumber, info->AlternateSetting);
    at += info->Length;
  }
  if (USBD_SUCCESS(status)) {
    const ControlResult result = device_.Control(
        SetupPacket{0x00, kRequestSetConfiguration, config->bConfigurationValue, 0, 0}, {});
    if (result.status != UsbStatus::Ok)
      status = result.status == UsbStatus::Stall ? USBD_STATUS_SET_CONFIG_FAILED : UsbdStatusFor(result.status);
  }
  for (size_t k = 0; k < alternates.size() && USBD_SUCCESS(status); ++k) {
    const ControlResult result = device_.Control(
        SetupPacket{0x01, kRequestSetInterface, alternates[k].second, alternates[k].first, 0}, {});
    if (result.status != UsbStatus::Ok) status = UsbdStatusFor(result.status);
  }
  if (!USBD_SUCCESS(status)) {
    configDescriptor_ = std::move(saved);
    pipes_ = std::move(oldPipes);
    return status;
  }
  configuration_ = config->bConfigurationValue;
  r.ConfigurationHandle = this;
  return USBD_STATUS_SUCCESS;
}

USBD_STATUS Tqm27Port::SelectInterface(PURB urb) {
  auto& r = urb->UrbSelectInterface;
  constexpr size_t kInterfaceAt = offsetof(struct _URB_SELECT_INTERFACE, Interface);
  if (urb->UrbHeader.Length < kInterfaceAt + offsetof(USBD_INTERFACE_INFORMATION, Pipes))
    return USBD_STATUS_INVALID_PARAMETER;
  if (configuration_ == 0 || r.ConfigurationHandle != this) return USBD_STATUS_INVALID_PARAMETER;
  PUSBD_INTERFACE_INFORMATION info = &r.Interface;
  PUSB_INTERFACE_DESCRIPTOR d = FindInterface(info->InterfaceNumber, info->AlternateSetting);
  if (!d) return USBD_STATUS_INTERFACE_NOT_FOUND;
  if (InterfaceBusy(info->InterfaceNumber)) return USBD_STATUS_ERROR_BUSY;
  // The bus's periodic bandwidth is reserved when a setting with an
  // isochronous endpoint is selected; a refusal leaves the interface as it was.
  if (info->InterfaceNumber < 32 && (bandwidthRefused_ >> info->InterfaceNumber & 1) && HasIsochronousEndpoint(d))
    return USBD_STATUS_NO_BANDWIDTH;
  std::vector<Pipe> oldPipes = pipes_;
  ClosePipes(info->InterfaceNumber);
  USBD_STATUS status = USBD_STATUS_SUCCESS;
  if (FillInterface(d, info, ULONG(urb->UrbHeader.Length - kInterfaceAt), &status)) {
    const ControlResult result = device_.Control(
        SetupPacket{0x01, kRequestSetInterface, info->AlternateSetting, info->InterfaceNumber, 0}, {});
    status = UsbdStatusFor(result.status);
  }
  if (!USBD_SUCCESS(status)) pipes_ = std::move(oldPipes);
  return status;
}

USBD_STATUS Tqm27Port::ResetPipe(PURB urb) {
  if (urb->UrbHeader.Length < sizeof(struct _URB_PIPE_REQUEST)) return USBD_STATUS_INVALID_PARAMETER;
  Pipe* pipe = FindPipe(urb->UrbPipeRequest.PipeHandle);
  if (!pipe) return USBD_STATUS_INVALID_PIPE_HANDLE;
  if (urb->UrbHeader.Function != URB_FUNCTION_SYNC_RESET_PIPE) {
    // CLEAR_FEATURE(ENDPOINT_HALT) on the bus.
    const UsbStatus bus = device_.ClearHalt(pipe->endpoint);
    if (bus != UsbStatus::Ok) return UsbdStatusFor(bus);
  }
  if (urb->UrbHeader.Function != URB_FUNCTION_SYNC_CLEAR_STALL) pipe->halted = false;
  return USBD_STATUS_SUCCESS;
}

USBD_STATUS Tqm27Port::AbortPipe(PURB urb, std::vector<Done>& done) {
  if (urb->UrbHeader.Length < sizeof(struct _URB_PIPE_REQUEST)) return USBD_STATUS_INVALID_PARAMETER;
  Pipe* pipe = FindPipe(urb->UrbPipeRequest.PipeHandle);
  if (!pipe) return USBD_STATUS_INVALID_PIPE_HANDLE;
  Queue& queue = QueueFor(pipe->endpoint);
  if (modes_.abortInline) {
    FlushCompletions(QueueIndex(pipe->endpoint), done);
    const size_t before = done.size();
    FailQueue(queue, USBD_STATUS_CANCELED, STATUS_CANCELLED, done);
    counters_.cancelled += done.size() - before;
    return USBD_STATUS_SUCCESS;
  }
  // Off the bus now; the abort completes first and they at the next frame.
  for (Transfer& t : queue)
    if (t.pipe == pipe->handle) t.aborted = true;
  return USBD_STATUS_SUCCESS;
}

// The host controller finishes its requests in its DPC: completion routines of
// URBs run at DISPATCH_LEVEL whoever caused the completion.
void Tqm27Port::CompleteAtDispatch(PIRP irp) {
  KIRQL irql;
  KeRaiseIrql(DISPATCH_LEVEL, &irql);
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  KeLowerIrql(irql);
}

int Tqm27Port::ProcessorFor(PIRP irp, int shared) {
  const auto* urb = static_cast<const URB*>(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1);
  if (!urb || urb->UrbHeader.Function != URB_FUNCTION_ISOCH_TRANSFER) return shared;
  return USBD_TRANSFER_DIRECTION_FLAG(urb->UrbIsochronousTransfer.TransferFlags) == USBD_TRANSFER_DIRECTION_IN ? 1 : 0;
}

void Tqm27Port::HandOut(std::vector<Done>& done, ULONG frame) {
  if (done.empty()) return;
  std::lock_guard lock(mutex_);
  const int shared = int(Mix(controlDraw_ ^ frame) >> 63);
  std::shared_ptr<Handed> share[kernel::Clock::kProcessors];
  if (modes_.completions != PortModes::Completions::TwoProcessors) {
    const int first = modes_.completions == PortModes::Completions::RecordFirst ? 1 : 0;
    std::stable_partition(done.begin(), done.end(),
                          [&](const Done& d) { return ProcessorFor(d.irp, 1 - first) == first; });
  }
  for (const Done& d : done) {
    const int p = modes_.completions == PortModes::Completions::TwoProcessors ? ProcessorFor(d.irp, shared) : 0;
    std::shared_ptr<Handed>& to = share[p];
    if (!to) to = std::make_shared<Handed>();
    to->done.push_back(d);
  }
  done.clear();
  std::erase_if(handed_, [](const auto& entry) { return entry.second->taken.load(); });
  kernel::Clock& clock = machine_.clock();
  for (int p = 0; p < kernel::Clock::kProcessors; ++p) {
    if (!share[p]) continue;
    // Due at once: the next round of this instant. It needs nothing of the
    // port, which may go before it runs (its destructor then claims it).
    const auto work = clock.AddWork(0, 0, [s = share[p]] {
      if (!s->taken.exchange(true)) Complete(s->done);
    }, p);
    handed_.emplace_back(work, std::move(share[p]));
  }
}

void Tqm27Port::Complete(std::vector<Done>& done) {
  for (const Done& d : done) {
    d.irp->IoStatus.Status = d.status;
    d.irp->IoStatus.Information = 0;
    CompleteAtDispatch(d.irp);
  }
  done.clear();
}

std::vector<std::string> Tqm27Port::TakePowerLog() {
  std::lock_guard lock(mutex_);
  return std::exchange(powerLog_, {});
}

}  // namespace tqm::usb
