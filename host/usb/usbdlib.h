/*
 * usbdlib.h - the USBD library of Windows for the Linux stand-in: descriptor parsing and
 * the building of select-configuration requests, with the request-building macros.
 *
 * Parsing keeps strictly inside the bounds it is given (wTotalLength of a configuration
 * descriptor, or TotalLength), never reads a descriptor that does not lie wholly inside
 * them, and ends the walk at a descriptor whose bLength is 0. The requests that the
 * library builds come from non-paged pool; the caller frees them with ExFreePool.
 */
#ifndef MURVO_HOST_USB_USBDLIB_H
#define MURVO_HOST_USB_USBDLIB_H

#include "host/usb/usbdi.h"

typedef struct _USBD_INTERFACE_LIST_ENTRY {
    PUSB_INTERFACE_DESCRIPTOR InterfaceDescriptor;
    PUSBD_INTERFACE_INFORMATION Interface;
} USBD_INTERFACE_LIST_ENTRY, *PUSBD_INTERFACE_LIST_ENTRY;

#define GET_SELECT_CONFIGURATION_REQUEST_SIZE(totalInterfaces, totalPipes)                                     \
    (sizeof(struct _URB_SELECT_CONFIGURATION) + (((totalInterfaces)-1) * sizeof(USBD_INTERFACE_INFORMATION)) + \
     (((totalPipes) - (totalInterfaces)) * sizeof(USBD_PIPE_INFORMATION)))
#define GET_SELECT_INTERFACE_REQUEST_SIZE(totalPipes) \
    (sizeof(struct _URB_SELECT_INTERFACE) + (((totalPipes)-1) * sizeof(USBD_PIPE_INFORMATION)))
#define GET_USBD_INTERFACE_SIZE(numEndpoints)                                                \
    (sizeof(USBD_INTERFACE_INFORMATION) + (sizeof(USBD_PIPE_INFORMATION) * (numEndpoints)) - \
     sizeof(USBD_PIPE_INFORMATION))

#define UsbBuildInterruptOrBulkTransferRequest(urb, length, pipeHandle, transferBuffer, transferBufferMDL, \
                                               transferBufferLength, transferFlags, link)                  \
    {                                                                                                      \
        (urb)->UrbHeader.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;                               \
        (urb)->UrbHeader.Length = (length);                                                                \
        (urb)->UrbBulkOrInterruptTransfer.PipeHandle = (pipeHandle);                                       \
        (urb)->UrbBulkOrInterruptTransfer.TransferBufferLength = (transferBufferLength);                   \
        (urb)->UrbBulkOrInterruptTransfer.TransferBufferMDL = (transferBufferMDL);                         \
        (urb)->UrbBulkOrInterruptTransfer.TransferBuffer = (transferBuffer);                               \
        (urb)->UrbBulkOrInterruptTransfer.TransferFlags = (transferFlags);                                 \
        (urb)->UrbBulkOrInterruptTransfer.UrbLink = (link);                                                \
    }

#define UsbBuildGetDescriptorRequest(urb, length, descriptorType, descriptorIndex, languageId, transferBuffer, \
                                     transferBufferMDL, transferBufferLength, link)                            \
    {                                                                                                          \
        (urb)->UrbHeader.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;                                   \
        (urb)->UrbHeader.Length = (length);                                                                    \
        (urb)->UrbControlDescriptorRequest.TransferBufferLength = (transferBufferLength);                      \
        (urb)->UrbControlDescriptorRequest.TransferBufferMDL = (transferBufferMDL);                            \
        (urb)->UrbControlDescriptorRequest.TransferBuffer = (transferBuffer);                                  \
        (urb)->UrbControlDescriptorRequest.DescriptorType = (descriptorType);                                  \
        (urb)->UrbControlDescriptorRequest.Index = (descriptorIndex);                                          \
        (urb)->UrbControlDescriptorRequest.LanguageId = (languageId);                                          \
        (urb)->UrbControlDescriptorRequest.UrbLink = (link);                                                   \
    }

#define UsbBuildSelectConfigurationRequest(urb, length, configurationDescriptor)           \
    {                                                                                      \
        (urb)->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;                     \
        (urb)->UrbHeader.Length = (length);                                                \
        (urb)->UrbSelectConfiguration.ConfigurationDescriptor = (configurationDescriptor); \
    }

#ifdef __cplusplus
extern "C" {
#endif

/* Finds the first descriptor of type DescriptorType at or after StartPosition inside the
 * TotalLength bytes at DescriptorBuffer. Returns NULL when there is none, when
 * StartPosition lies outside the buffer, or when the walk meets a descriptor with bLength
 * 0 or one that runs past the end. Any IRQL. */
PUSB_COMMON_DESCRIPTOR USBD_ParseDescriptors(PVOID DescriptorBuffer, ULONG TotalLength, PVOID StartPosition,
                                             LONG DescriptorType);

/* Finds the first interface descriptor at or after StartPosition, within wTotalLength of
 * the configuration descriptor, whose number, alternate setting, class, subclass and
 * protocol match the arguments that are not -1. Returns NULL when none matches. */
PUSB_INTERFACE_DESCRIPTOR USBD_ParseConfigurationDescriptorEx(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                                              PVOID StartPosition, LONG InterfaceNumber,
                                                              LONG AlternateSetting, LONG InterfaceClass,
                                                              LONG InterfaceSubClass, LONG InterfaceProtocol);

/* The older form: the interface of the given number and alternate setting, from the start. */
PUSB_INTERFACE_DESCRIPTOR USBD_ParseConfigurationDescriptor(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                                            UCHAR InterfaceNumber, UCHAR AlternateSetting);

/* Builds a zeroed select-configuration URB for the interfaces of InterfaceList (ended by an
 * entry whose InterfaceDescriptor is NULL): Function, Length and ConfigurationDescriptor
 * set, each interface's Length, number, setting and NumberOfPipes filled in, every pipe's
 * MaximumTransferSize at USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE; each entry's Interface then
 * points at its part of the URB. Returns NULL when the list is empty or no memory is
 * left. PASSIVE_LEVEL or DISPATCH_LEVEL (non-paged pool). */
PURB USBD_CreateConfigurationRequestEx(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                       PUSBD_INTERFACE_LIST_ENTRY InterfaceList);

/* Builds the select-configuration URB for alternate setting 0 of every interface of the
 * configuration, and stores its length in *Siz (0 when it returns NULL). */
PURB USBD_CreateConfigurationRequest(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor, PUSHORT Siz);

#ifdef __cplusplus
}
#endif

#endif /* MURVO_HOST_USB_USBDLIB_H */
