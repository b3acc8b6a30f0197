// The USB driver library (usbd): request sizes, the request-building macros and
// the descriptor parsing and configuration-request functions, as the DDK's
// <usbdlib.h> declares them. The host build's functions live in
// platform/usb/usbd.cpp.
#pragma once

#include <usb.h>

typedef struct _USBD_INTERFACE_LIST_ENTRY {
  PUSB_INTERFACE_DESCRIPTOR InterfaceDescriptor;
  PUSBD_INTERFACE_INFORMATION Interface;
} USBD_INTERFACE_LIST_ENTRY, *PUSBD_INTERFACE_LIST_ENTRY;

#define URB_STATUS(urb) ((urb)->UrbHeader.Status)

#define GET_SELECT_CONFIGURATION_REQUEST_SIZE(totalInterfaces, totalPipes)     \
  (sizeof(struct _URB_SELECT_CONFIGURATION) +                                  \
   ((totalInterfaces - 1) * sizeof(USBD_INTERFACE_INFORMATION)) +              \
   ((totalPipes - totalInterfaces) * sizeof(USBD_PIPE_INFORMATION)))
#define GET_SELECT_INTERFACE_REQUEST_SIZE(totalPipes) \
  (sizeof(struct _URB_SELECT_INTERFACE) + ((totalPipes - 1) * sizeof(USBD_PIPE_INFORMATION)))
#define GET_USBD_INTERFACE_SIZE(numEndpoints) \
  (sizeof(USBD_INTERFACE_INFORMATION) + (sizeof(USBD_PIPE_INFORMATION) * (numEndpoints)) - sizeof(USBD_PIPE_INFORMATION))
#define GET_ISO_URB_SIZE(n) (sizeof(struct _URB_ISOCH_TRANSFER) + sizeof(USBD_ISO_PACKET_DESCRIPTOR) * (n))

#define UsbBuildGetDescriptorRequest(urb, length, descriptorType, descriptorIndex, languageId,   \
                                     transferBuffer, transferBufferMDL, transferBufferLength,   \
                                     link)                                                      \
  {                                                                                             \
    (urb)->UrbHeader.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;                        \
    (urb)->UrbHeader.Length = (length);                                                         \
    (urb)->UrbControlDescriptorRequest.TransferBufferLength = (transferBufferLength);           \
    (urb)->UrbControlDescriptorRequest.TransferBufferMDL = (transferBufferMDL);                 \
    (urb)->UrbControlDescriptorRequest.TransferBuffer = (transferBuffer);                       \
    (urb)->UrbControlDescriptorRequest.DescriptorType = (descriptorType);                       \
    (urb)->UrbControlDescriptorRequest.Index = (descriptorIndex);                               \
    (urb)->UrbControlDescriptorRequest.LanguageId = (languageId);                               \
    (urb)->UrbControlDescriptorRequest.UrbLink = (link);                                        \
  }

#define UsbBuildSelectConfigurationRequest(urb, length, configurationDescriptor) \
  {                                                                               \
    (urb)->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;                \
    (urb)->UrbHeader.Length = (length);                                           \
    (urb)->UrbSelectConfiguration.ConfigurationDescriptor = (configurationDescriptor); \
  }

#define UsbBuildSelectInterfaceRequest(urb, length, configurationHandle, interfaceNumber,     \
                                       alternateSetting)                                      \
  {                                                                                           \
    (urb)->UrbHeader.Function = URB_FUNCTION_SELECT_INTERFACE;                                \
    (urb)->UrbHeader.Length = (length);                                                       \
    (urb)->UrbSelectInterface.Interface.AlternateSetting = (alternateSetting);                \
    (urb)->UrbSelectInterface.Interface.InterfaceNumber = (interfaceNumber);                  \
    (urb)->UrbSelectInterface.Interface.Length =                                              \
        (length - sizeof(struct _URB_HEADER) - sizeof(USBD_CONFIGURATION_HANDLE));            \
    (urb)->UrbSelectInterface.ConfigurationHandle = (configurationHandle);                    \
  }

#define UsbBuildVendorRequest(urb, cmd, length, transferFlags, reservedbits, request, value, index, \
                              transferBuffer, transferBufferMDL, transferBufferLength, link)       \
  {                                                                                                \
    (urb)->UrbHeader.Function = cmd;                                                               \
    (urb)->UrbHeader.Length = (length);                                                            \
    (urb)->UrbControlVendorClassRequest.TransferBufferLength = (transferBufferLength);             \
    (urb)->UrbControlVendorClassRequest.TransferBufferMDL = (transferBufferMDL);                   \
    (urb)->UrbControlVendorClassRequest.TransferBuffer = (transferBuffer);                         \
    (urb)->UrbControlVendorClassRequest.RequestTypeReservedBits = (reservedbits);                  \
    (urb)->UrbControlVendorClassRequest.Request = (request);                                       \
    (urb)->UrbControlVendorClassRequest.Value = (value);                                           \
    (urb)->UrbControlVendorClassRequest.Index = (index);                                           \
    (urb)->UrbControlVendorClassRequest.TransferFlags = (transferFlags);                           \
    (urb)->UrbControlVendorClassRequest.UrbLink = (link);                                          \
  }

#ifdef __cplusplus
extern "C" {
#endif

// The first descriptor of `DescriptorType` at or after StartPosition within the
// buffer's TotalLength bytes, or NULL.
PUSB_COMMON_DESCRIPTOR NTAPI USBD_ParseDescriptors(PVOID DescriptorBuffer, ULONG TotalLength,
                                                   PVOID StartPosition, LONG DescriptorType);

// The first interface descriptor at or after StartPosition that matches every
// criterion not given as -1, or NULL.
PUSB_INTERFACE_DESCRIPTOR NTAPI USBD_ParseConfigurationDescriptorEx(
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor, PVOID StartPosition, LONG InterfaceNumber,
    LONG AlternateSetting, LONG InterfaceClass, LONG InterfaceSubClass, LONG InterfaceProtocol);

// A select-configuration request for the interfaces of InterfaceList (ended by
// an entry with a NULL descriptor), from nonpaged pool; each entry's Interface
// points at its interface information inside the request. NULL when the pool
// is exhausted. The caller frees it with ExFreePool.
PURB NTAPI USBD_CreateConfigurationRequestEx(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                             PUSBD_INTERFACE_LIST_ENTRY InterfaceList);

#ifdef __cplusplus
}
#endif
