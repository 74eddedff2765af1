/*
 * bus_descriptors.cpp - builders of the descriptor sets of simulated units.
 */
#include "host/usb/bus_descriptors.h"

#include "common/murvo_public.h"

#include <string.h>

/* Vendor and product of the simulated unit: the unit's own; a function driver does not look at them. */
#define UNIT_VENDOR_ID MURVO_USB_VENDOR_ID
#define UNIT_PRODUCT_ID MURVO_USB_PRODUCT_ID

static void PutWord(uint8_t *at, uint16_t value)
{
    at[0] = (uint8_t)(value & 0xff);
    at[1] = (uint8_t)(value >> 8);
}

uint16_t UsbDescriptorSetTotalLength(const UsbDescriptorSet *set)
{
    return (uint16_t)(set->Config[2] | (set->Config[3] << 8));
}

void UsbDescriptorSetUnit(UsbDescriptorSet *Set, USB_DEVICE_SPEED Speed)
{
    memset(Set, 0, sizeof(*Set));
    uint16_t maxPacket = Speed == UsbHighSpeed ? 512 : 64;

    uint8_t *device = Set->Device;
    device[0] = 18;
    device[1] = USB_DEVICE_DESCRIPTOR_TYPE;
    PutWord(device + 2, Speed == UsbHighSpeed ? 0x0200 : 0x0110);
    device[4] = USB_DEVICE_CLASS_VENDOR_SPECIFIC;
    device[5] = 0;
    device[6] = 0;
    device[7] = 64; /* bMaxPacketSize0 */
    PutWord(device + 8, UNIT_VENDOR_ID);
    PutWord(device + 10, UNIT_PRODUCT_ID);
    PutWord(device + 12, 0x0100);
    device[17] = 1; /* one configuration */

    uint8_t config[9] = {9, USB_CONFIGURATION_DESCRIPTOR_TYPE, 9, 0, 1, 1, 0, USB_CONFIG_BUS_POWERED, 50};
    memcpy(Set->Config, config, sizeof(config));
    Set->ConfigLength = sizeof(config);

    uint8_t iface[9] = {9, USB_INTERFACE_DESCRIPTOR_TYPE, 0, 0, 0, USB_DEVICE_CLASS_VENDOR_SPECIFIC, 0, 0, 0};
    UsbDescriptorSetAppend(Set, iface, sizeof(iface));
    UsbDescriptorSetAddEndpoint(Set, BUS_UNIT_IN_ENDPOINT, USB_ENDPOINT_TYPE_BULK, maxPacket);
    UsbDescriptorSetAddEndpoint(Set, BUS_UNIT_OUT_ENDPOINT, USB_ENDPOINT_TYPE_BULK, maxPacket);
}

bool UsbDescriptorSetAppend(UsbDescriptorSet *set, const void *descriptor, uint32_t length)
{
    if (set->ConfigLength + length > BUS_MAX_CONFIG_BYTES) {
        return false;
    }
    memcpy(set->Config + set->ConfigLength, descriptor, length);
    set->ConfigLength += length;
    PutWord(set->Config + 2, (uint16_t)(UsbDescriptorSetTotalLength(set) + length));
    return true;
}

bool UsbDescriptorSetAddEndpoint(UsbDescriptorSet *set, uint8_t address, uint8_t attributes, uint16_t maxPacket)
{
    uint8_t endpoint[7] = {7, USB_ENDPOINT_DESCRIPTOR_TYPE, address, attributes, 0, 0, 0};
    PutWord(endpoint + 4, maxPacket);
    /* The last interface descriptor gets the endpoint counted. */
    uint8_t *lastInterface = NULL;
    for (uint32_t at = 0; at + 2 <= set->ConfigLength && set->Config[at] != 0; at += set->Config[at]) {
        if (set->Config[at + 1] == USB_INTERFACE_DESCRIPTOR_TYPE && set->Config[at] >= 9) {
            lastInterface = set->Config + at;
        }
    }
    if (lastInterface == NULL || !UsbDescriptorSetAppend(set, endpoint, sizeof(endpoint))) {
        return false;
    }
    lastInterface[4]++;
    return true;
}

bool UsbDescriptorSetAddLoopback(UsbDescriptorSet *set, uint16_t maxPacket)
{
    return UsbDescriptorSetAddEndpoint(set, BUS_LOOPBACK_IN_ENDPOINT, USB_ENDPOINT_TYPE_BULK, maxPacket) &&
           UsbDescriptorSetAddEndpoint(set, BUS_LOOPBACK_OUT_ENDPOINT, USB_ENDPOINT_TYPE_BULK, maxPacket);
}
