/*
 * usbd_parse.cpp - descriptor parsing of the USBD library.
 *
 * A configuration descriptor comes from the device and may be malformed: a bLength of 0
 * (which would loop forever), a descriptor that claims to run past the end, a
 * wTotalLength shorter than the configuration descriptor itself. Every walk here checks
 * the bounds before it reads a byte.
 */
#include "host/usb/usbdlib.h"

/* Walks descriptors from start (inclusive) to end (exclusive) and returns the first one of
 * the type wanted that lies wholly inside; NULL when the walk ends or breaks. */
static PUSB_COMMON_DESCRIPTOR FindDescriptor(const UCHAR *Start, const UCHAR *End, LONG Type)
{
    const UCHAR *at = Start;
    while (at < End && End - at >= (ptrdiff_t)sizeof(USB_COMMON_DESCRIPTOR)) {
        UCHAR length = at[0];
        if (length < sizeof(USB_COMMON_DESCRIPTOR) || length > End - at) {
            return NULL; /* bLength 0 or 1 cannot advance; a long one runs past the end */
        }
        if (at[1] == (UCHAR)Type) {
            return (PUSB_COMMON_DESCRIPTOR)at;
        }
        at += length;
    }
    return NULL;
}

PUSB_COMMON_DESCRIPTOR USBD_ParseDescriptors(PVOID DescriptorBuffer, ULONG TotalLength, PVOID StartPosition,
                                             LONG DescriptorType)
{
    if (DescriptorBuffer == NULL || StartPosition == NULL) {
        return NULL;
    }
    const UCHAR *begin = (const UCHAR *)DescriptorBuffer;
    const UCHAR *end = begin + TotalLength;
    const UCHAR *start = (const UCHAR *)StartPosition;
    if (start < begin || start >= end) {
        return NULL;
    }
    return FindDescriptor(start, end, DescriptorType);
}

PUSB_INTERFACE_DESCRIPTOR USBD_ParseConfigurationDescriptorEx(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                                              PVOID StartPosition, LONG InterfaceNumber,
                                                              LONG AlternateSetting, LONG InterfaceClass,
                                                              LONG InterfaceSubClass, LONG InterfaceProtocol)
{
    if (ConfigurationDescriptor == NULL) {
        return NULL;
    }
    const UCHAR *begin = (const UCHAR *)ConfigurationDescriptor;
    /* wTotalLength is read byte by byte: the descriptor may sit at any alignment. */
    ULONG totalLength = (ULONG)begin[2] | ((ULONG)begin[3] << 8);
    const UCHAR *end = begin + totalLength;
    const UCHAR *at = StartPosition != NULL ? (const UCHAR *)StartPosition : begin;
    if (at < begin || at >= end) {
        return NULL;
    }
    for (;;) {
        PUSB_COMMON_DESCRIPTOR found = FindDescriptor(at, end, USB_INTERFACE_DESCRIPTOR_TYPE);
        if (found == NULL) {
            return NULL;
        }
        const UCHAR *bytes = (const UCHAR *)found;
        at = bytes + found->bLength;
        if (found->bLength < sizeof(USB_INTERFACE_DESCRIPTOR)) {
            continue; /* too short to hold the fields that are compared */
        }
        PUSB_INTERFACE_DESCRIPTOR iface = (PUSB_INTERFACE_DESCRIPTOR)found;
        if ((InterfaceNumber == -1 || iface->bInterfaceNumber == InterfaceNumber) &&
            (AlternateSetting == -1 || iface->bAlternateSetting == AlternateSetting) &&
            (InterfaceClass == -1 || iface->bInterfaceClass == InterfaceClass) &&
            (InterfaceSubClass == -1 || iface->bInterfaceSubClass == InterfaceSubClass) &&
            (InterfaceProtocol == -1 || iface->bInterfaceProtocol == InterfaceProtocol)) {
            return iface;
        }
    }
}

PUSB_INTERFACE_DESCRIPTOR USBD_ParseConfigurationDescriptor(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                                            UCHAR InterfaceNumber, UCHAR AlternateSetting)
{
    return USBD_ParseConfigurationDescriptorEx(ConfigurationDescriptor, ConfigurationDescriptor, InterfaceNumber,
                                               AlternateSetting, -1, -1, -1);
}
