// The USB interfaces the driver uses, checked against whichever headers this
// file is compiled with: the simulated stack's (host build) and the DDK's
// (windows build). Every assertion holds only where the headers agree with
// what the driver relies on: the library functions' signatures, the request
// codes and statuses, and the x64 layouts of the request blocks it builds.
#include "driver/kernel.h"

#include <usb.h>
#include <usbdlib.h>
#include <usbioctl.h>

#include <cstddef>

namespace {

template <typename A, typename B>
struct Same {
  static constexpr bool value = false;
};
template <typename A>
struct Same<A, A> {
  static constexpr bool value = true;
};

#define TQM_SIGNATURE(name, result, ...) \
  static_assert(Same<decltype(&name), result (*)(__VA_ARGS__)>::value, #name " is not declared as the driver uses it")

TQM_SIGNATURE(USBD_ParseConfigurationDescriptorEx, PUSB_INTERFACE_DESCRIPTOR, PUSB_CONFIGURATION_DESCRIPTOR,
              PVOID, LONG, LONG, LONG, LONG, LONG);
TQM_SIGNATURE(USBD_CreateConfigurationRequestEx, PURB, PUSB_CONFIGURATION_DESCRIPTOR,
              PUSBD_INTERFACE_LIST_ENTRY);
TQM_SIGNATURE(USBD_ParseDescriptors, PUSB_COMMON_DESCRIPTOR, PVOID, ULONG, PVOID, LONG);

static_assert(IOCTL_INTERNAL_USB_SUBMIT_URB == 0x220003);
static_assert(URB_FUNCTION_SELECT_CONFIGURATION == 0x00 && URB_FUNCTION_SELECT_INTERFACE == 0x01 &&
              URB_FUNCTION_ABORT_PIPE == 0x02 && URB_FUNCTION_ISOCH_TRANSFER == 0x0A &&
              URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE == 0x0B &&
              URB_FUNCTION_CLASS_INTERFACE == 0x1B && URB_FUNCTION_CLASS_ENDPOINT == 0x1C &&
              URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL == 0x1E &&
              URB_FUNCTION_GET_DESCRIPTOR_FROM_ENDPOINT == 0x24 &&
              URB_FUNCTION_GET_DESCRIPTOR_FROM_INTERFACE == 0x28);
static_assert(USBD_TRANSFER_DIRECTION_IN == 1 && USBD_SHORT_TRANSFER_OK == 2 && USBD_START_ISO_TRANSFER_ASAP == 4);
static_assert(USBD_STATUS_SUCCESS == 0 && USBD_STATUS_CANCELED == LONG(0xC0010000) &&
              USBD_STATUS_DEV_NOT_RESPONDING == LONG(0xC0000005) &&
              USBD_STATUS_DEVICE_GONE == LONG(0xC0007000) && USBD_STATUS_STALL_PID == LONG(0xC0000004));
static_assert(USB_DEVICE_DESCRIPTOR_TYPE == 1 && USB_CONFIGURATION_DESCRIPTOR_TYPE == 2 &&
              USB_STRING_DESCRIPTOR_TYPE == 3 && USB_INTERFACE_DESCRIPTOR_TYPE == 4 &&
              USB_ENDPOINT_DESCRIPTOR_TYPE == 5);
static_assert(UsbdPipeTypeIsochronous == 1);

static_assert(sizeof(USB_DEVICE_DESCRIPTOR) == 18 && sizeof(USB_CONFIGURATION_DESCRIPTOR) == 9 &&
              sizeof(USB_INTERFACE_DESCRIPTOR) == 9 && sizeof(USB_ENDPOINT_DESCRIPTOR) == 7);
static_assert(offsetof(USB_DEVICE_DESCRIPTOR, iManufacturer) == 14 &&
              offsetof(USB_CONFIGURATION_DESCRIPTOR, wTotalLength) == 2);

// x64 layouts of the request blocks.
static_assert(sizeof(struct _URB_HEADER) == 24);
static_assert(sizeof(USBD_PIPE_INFORMATION) == 24 && offsetof(USBD_PIPE_INFORMATION, PipeHandle) == 8);
static_assert(sizeof(USBD_INTERFACE_INFORMATION) == 48 && offsetof(USBD_INTERFACE_INFORMATION, Pipes) == 24);
static_assert(offsetof(struct _URB_SELECT_CONFIGURATION, ConfigurationHandle) == 32 &&
              offsetof(struct _URB_SELECT_CONFIGURATION, Interface) == 40);
static_assert(offsetof(struct _URB_SELECT_INTERFACE, Interface) == 32);
static_assert(sizeof(struct _URB_PIPE_REQUEST) == 40);
static_assert(sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST) == 136 &&
              offsetof(struct _URB_CONTROL_DESCRIPTOR_REQUEST, TransferBufferLength) == 36 &&
              offsetof(struct _URB_CONTROL_DESCRIPTOR_REQUEST, Index) == 130 &&
              offsetof(struct _URB_CONTROL_DESCRIPTOR_REQUEST, LanguageId) == 132);
static_assert(sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST) == 136 &&
              offsetof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST, TransferFlags) == 32 &&
              offsetof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST, Request) == 129 &&
              offsetof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST, Value) == 130 &&
              offsetof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST, Index) == 132);
static_assert(sizeof(struct _URB_ISOCH_TRANSFER) == 152 &&
              offsetof(struct _URB_ISOCH_TRANSFER, TransferBuffer) == 40 &&
              offsetof(struct _URB_ISOCH_TRANSFER, StartFrame) == 128 &&
              offsetof(struct _URB_ISOCH_TRANSFER, ErrorCount) == 136 &&
              offsetof(struct _URB_ISOCH_TRANSFER, IsoPacket) == 140 &&
              sizeof(USBD_ISO_PACKET_DESCRIPTOR) == 12);
static_assert(GET_ISO_URB_SIZE(10) == 152 + 120);
static_assert(GET_USBD_INTERFACE_SIZE(2) == 72);

}  // namespace
