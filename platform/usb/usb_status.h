// How the host side names what happened on the bus: the USBD status of a
// transaction's outcome, and the IRP status that goes with a URB status.
#pragma once

#include <usb.h>
#include <wdm.h>

#include "usb/device/tqm27_device.h"

namespace tqm::usb {

inline USBD_STATUS UsbdStatusFor(UsbStatus status) {
  switch (status) {
    case UsbStatus::Ok: return USBD_STATUS_SUCCESS;
    case UsbStatus::Stall: return USBD_STATUS_STALL_PID;
    case UsbStatus::DataOverrun: return USBD_STATUS_DATA_OVERRUN;
    case UsbStatus::DeviceGone: return USBD_STATUS_DEVICE_GONE;
    // No answer in the frame: a NAK where none may come, a missing endpoint.
    case UsbStatus::Nak:
    case UsbStatus::NoEndpoint:
    case UsbStatus::NotResponding: return USBD_STATUS_DEV_NOT_RESPONDING;
  }
  return USBD_STATUS_DEV_NOT_RESPONDING;
}

// The completion status of the IRP that carried a URB ending with `usbd`.
inline NTSTATUS IrpStatusFor(USBD_STATUS usbd) {
  if (USBD_SUCCESS(usbd)) return STATUS_SUCCESS;
  switch (usbd) {
    case USBD_STATUS_DEVICE_GONE: return STATUS_DEVICE_NOT_CONNECTED;
    case USBD_STATUS_CANCELED: return STATUS_CANCELLED;
    case USBD_STATUS_INSUFFICIENT_RESOURCES: return STATUS_INSUFFICIENT_RESOURCES;
    case USBD_STATUS_INVALID_URB_FUNCTION:
    case USBD_STATUS_INVALID_PARAMETER:
    case USBD_STATUS_INVALID_PIPE_HANDLE:
    case USBD_STATUS_BUFFER_TOO_SMALL:
    case USBD_STATUS_INTERFACE_NOT_FOUND:
    case USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR:
    case USBD_STATUS_BAD_START_FRAME:
      return STATUS_INVALID_PARAMETER;
    default:
      return STATUS_UNSUCCESSFUL;
  }
}

}  // namespace tqm::usb
