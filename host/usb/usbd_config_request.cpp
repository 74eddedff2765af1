/*
 * usbd_config_request.cpp - the select-configuration requests that the USBD library builds.
 *
 * The URB is one block of non-paged pool: the select-configuration header and one
 * USBD_INTERFACE_INFORMATION per interface, each as long as its pipes need (an interface
 * without endpoints still has the record's one pipe slot less, as Windows counts it).
 */
#include "host/nt/host_kernel.h"
#include "host/usb/usbdlib.h"

/* Pool tag of the library's allocations: "USBD" as it reads in a pool dump. */
#define USBD_POOL_TAG 0x44425355UL

/* Offset of the first interface information inside a select-configuration URB. */
#define FIRST_INTERFACE_OFFSET offsetof(struct _URB_SELECT_CONFIGURATION, Interface)

PURB USBD_CreateConfigurationRequestEx(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                       PUSBD_INTERFACE_LIST_ENTRY InterfaceList)
{
    if (ConfigurationDescriptor == NULL || InterfaceList == NULL || InterfaceList[0].InterfaceDescriptor == NULL) {
        return NULL;
    }
    SIZE_T size = FIRST_INTERFACE_OFFSET;
    for (PUSBD_INTERFACE_LIST_ENTRY entry = InterfaceList; entry->InterfaceDescriptor != NULL; entry++) {
        size += GET_USBD_INTERFACE_SIZE(entry->InterfaceDescriptor->bNumEndpoints);
    }
    if (size < sizeof(struct _URB_SELECT_CONFIGURATION)) {
        size = sizeof(struct _URB_SELECT_CONFIGURATION); /* one interface without pipes */
    }
    if (size > 0xffff) {
        return NULL; /* the header's Length is 16 bits */
    }
    /* The block is charged to the calling driver, which frees it with ExFreePool, but
     * carries the library's tag as on Windows. */
    PURB urb = (PURB)HostLibraryAllocatePool(size, USBD_POOL_TAG);
    if (urb == NULL) {
        return NULL;
    }
    RtlZeroMemory(urb, size);

    PUCHAR at = (PUCHAR)urb + FIRST_INTERFACE_OFFSET;
    for (PUSBD_INTERFACE_LIST_ENTRY entry = InterfaceList; entry->InterfaceDescriptor != NULL; entry++) {
        PUSB_INTERFACE_DESCRIPTOR descriptor = entry->InterfaceDescriptor;
        PUSBD_INTERFACE_INFORMATION iface = (PUSBD_INTERFACE_INFORMATION)at;
        iface->Length = (USHORT)GET_USBD_INTERFACE_SIZE(descriptor->bNumEndpoints);
        iface->InterfaceNumber = descriptor->bInterfaceNumber;
        iface->AlternateSetting = descriptor->bAlternateSetting;
        iface->NumberOfPipes = descriptor->bNumEndpoints;
        for (ULONG i = 0; i < iface->NumberOfPipes; i++) {
            iface->Pipes[i].MaximumTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
            iface->Pipes[i].PipeFlags = 0;
        }
        entry->Interface = iface;
        at += iface->Length;
    }
    UsbBuildSelectConfigurationRequest(urb, (USHORT)size, ConfigurationDescriptor);
    return urb;
}

/* Most interfaces that one request can carry; a configuration has at most 32 anyway. */
#define MAX_LISTED_INTERFACES 32

PURB USBD_CreateConfigurationRequest(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor, PUSHORT Siz)
{
    USBD_INTERFACE_LIST_ENTRY list[MAX_LISTED_INTERFACES + 1];
    ULONG count = 0;
    if (Siz != NULL) {
        *Siz = 0;
    }
    if (ConfigurationDescriptor == NULL) {
        return NULL;
    }
    PVOID start = ConfigurationDescriptor;
    while (count < MAX_LISTED_INTERFACES) {
        PUSB_INTERFACE_DESCRIPTOR found =
            USBD_ParseConfigurationDescriptorEx(ConfigurationDescriptor, start, -1, 0, -1, -1, -1);
        if (found == NULL) {
            break;
        }
        start = (PUCHAR)found + found->bLength;
        /* One record per interface: a second descriptor of the same interface and alternate
         * setting 0 (a faulty device) is not listed again, since whoever reads the request
         * finds an interface by its number and alternate setting, which names the first. */
        bool listed = false;
        for (ULONG i = 0; i < count && !listed; i++) {
            listed = list[i].InterfaceDescriptor->bInterfaceNumber == found->bInterfaceNumber;
        }
        if (listed) {
            continue;
        }
        list[count].InterfaceDescriptor = found;
        list[count].Interface = NULL;
        count++;
    }
    list[count].InterfaceDescriptor = NULL;
    list[count].Interface = NULL;
    PURB urb = USBD_CreateConfigurationRequestEx(ConfigurationDescriptor, list);
    if (urb != NULL && Siz != NULL) {
        *Siz = urb->UrbHeader.Length;
    }
    return urb;
}
