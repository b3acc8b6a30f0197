// The USB driver library's descriptor parsing and configuration-request
// functions, for drivers on the simulated kernel. The walks never read past
// wTotalLength and stop at a descriptor whose bLength is 0 or runs past the end,
// so a malformed descriptor set ends the search instead of the machine.
//
// Each function checks its caller's IRQL first, as the kernel's own services
// do: the parsers are pageable (below DISPATCH_LEVEL only), building the
// select-configuration request allocates nonpaged pool (up to DISPATCH_LEVEL).
#include <usbdlib.h>

#include "platform/kernel/machine.h"

namespace {

using tqm::kernel::RequireServiceIrql;

// "USBD" as the debugger shows it: the first character is the lowest byte.
constexpr ULONG kTagUsbd = ULONG('U') | ULONG('S') << 8 | ULONG('B') << 16 | ULONG('D') << 24;

PUSB_COMMON_DESCRIPTOR Find(PVOID DescriptorBuffer, ULONG TotalLength, PVOID StartPosition,
                            LONG DescriptorType) {
  UCHAR* const begin = static_cast<UCHAR*>(DescriptorBuffer);
  UCHAR* const end = begin + TotalLength;
  UCHAR* at = static_cast<UCHAR*>(StartPosition);
  if (at < begin) return nullptr;
  while (at + sizeof(USB_COMMON_DESCRIPTOR) <= end) {
    auto* common = reinterpret_cast<PUSB_COMMON_DESCRIPTOR>(at);
    if (common->bLength == 0 || at + common->bLength > end) return nullptr;
    if (common->bDescriptorType == DescriptorType) return common;
    at += common->bLength;
  }
  return nullptr;
}

}  // namespace

extern "C" {

PUSB_COMMON_DESCRIPTOR NTAPI USBD_ParseDescriptors(PVOID DescriptorBuffer, ULONG TotalLength,
                                                   PVOID StartPosition, LONG DescriptorType) {
  RequireServiceIrql(APC_LEVEL, "USBD_ParseDescriptors", __builtin_return_address(0));
  return Find(DescriptorBuffer, TotalLength, StartPosition, DescriptorType);
}

PUSB_INTERFACE_DESCRIPTOR NTAPI USBD_ParseConfigurationDescriptorEx(
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor, PVOID StartPosition, LONG InterfaceNumber,
    LONG AlternateSetting, LONG InterfaceClass, LONG InterfaceSubClass, LONG InterfaceProtocol) {
  RequireServiceIrql(APC_LEVEL, "USBD_ParseConfigurationDescriptorEx", __builtin_return_address(0));
  if (!ConfigurationDescriptor) return nullptr;
  const ULONG total = ConfigurationDescriptor->wTotalLength;
  UCHAR* at = static_cast<UCHAR*>(StartPosition);
  for (;;) {
    auto* found = reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(
        Find(ConfigurationDescriptor, total, at, USB_INTERFACE_DESCRIPTOR_TYPE));
    if (!found) return nullptr;
    // A truncated interface descriptor cannot be matched on its later fields.
    if (found->bLength >= sizeof(USB_INTERFACE_DESCRIPTOR) &&
        (InterfaceNumber == -1 || found->bInterfaceNumber == InterfaceNumber) &&
        (AlternateSetting == -1 || found->bAlternateSetting == AlternateSetting) &&
        (InterfaceClass == -1 || found->bInterfaceClass == InterfaceClass) &&
        (InterfaceSubClass == -1 || found->bInterfaceSubClass == InterfaceSubClass) &&
        (InterfaceProtocol == -1 || found->bInterfaceProtocol == InterfaceProtocol))
      return found;
    at = reinterpret_cast<UCHAR*>(found) + found->bLength;
  }
}

PURB NTAPI USBD_CreateConfigurationRequestEx(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                             PUSBD_INTERFACE_LIST_ENTRY InterfaceList) {
  // Refused after the report: its pool allocation would fault a second time.
  if (!RequireServiceIrql(DISPATCH_LEVEL, "USBD_CreateConfigurationRequestEx", __builtin_return_address(0)))
    return nullptr;
  if (!ConfigurationDescriptor || !InterfaceList) return nullptr;
  ULONG interfaces = 0;
  ULONG pipes = 0;
  for (PUSBD_INTERFACE_LIST_ENTRY entry = InterfaceList; entry->InterfaceDescriptor; ++entry) {
    ++interfaces;
    pipes += entry->InterfaceDescriptor->bNumEndpoints;
  }
  if (interfaces == 0) return nullptr;
  // An interface without endpoints still occupies a whole interface
  // information (with its one pipe slot), as the size macro counts it.
  ULONG size = sizeof(struct _URB_SELECT_CONFIGURATION) - sizeof(USBD_INTERFACE_INFORMATION);
  for (PUSBD_INTERFACE_LIST_ENTRY entry = InterfaceList; entry->InterfaceDescriptor; ++entry) {
    const ULONG endpoints = entry->InterfaceDescriptor->bNumEndpoints;
    size += ULONG(GET_USBD_INTERFACE_SIZE(endpoints > 0 ? endpoints : 1));
  }
  if (size > 0xFFFF) return nullptr;
  auto* urb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPool, size, kTagUsbd));
  if (!urb) return nullptr;
  RtlZeroMemory(urb, size);
  auto* info = &urb->UrbSelectConfiguration.Interface;
  for (PUSBD_INTERFACE_LIST_ENTRY entry = InterfaceList; entry->InterfaceDescriptor; ++entry) {
    const PUSB_INTERFACE_DESCRIPTOR d = entry->InterfaceDescriptor;
    const ULONG endpoints = d->bNumEndpoints;
    const ULONG length = ULONG(GET_USBD_INTERFACE_SIZE(endpoints > 0 ? endpoints : 1));
    info->Length = USHORT(length);
    info->InterfaceNumber = d->bInterfaceNumber;
    info->AlternateSetting = d->bAlternateSetting;
    info->NumberOfPipes = endpoints;
    for (ULONG p = 0; p < endpoints; ++p) {
      info->Pipes[p].MaximumTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
      info->Pipes[p].PipeFlags = 0;
    }
    entry->Interface = info;
    info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(reinterpret_cast<UCHAR*>(info) + length);
  }
  UsbBuildSelectConfigurationRequest(urb, USHORT(size), ConfigurationDescriptor);
  return urb;
}

}  // extern "C"
