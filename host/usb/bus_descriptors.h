/*
 * bus_descriptors.h - the descriptors that a simulated unit reports on the bus.
 *
 * A descriptor set is plain bytes: the 18-byte device descriptor and the whole
 * configuration descriptor with its interface and endpoint descriptors. The bus answers
 * descriptor requests from these bytes and selects configurations by parsing them, so a
 * test may put anything here, a malformed descriptor included. The builders make the
 * unit's own set and variants of it.
 */
#ifndef MURVO_HOST_USB_BUS_DESCRIPTORS_H
#define MURVO_HOST_USB_BUS_DESCRIPTORS_H

#include <stddef.h>
#include <stdint.h>

#include "host/usb/usb_descriptors.h"

#define BUS_MAX_CONFIG_BYTES 4096

/* Endpoint addresses of the unit: the firmware's replies and requests. */
#define BUS_UNIT_IN_ENDPOINT 0x81
#define BUS_UNIT_OUT_ENDPOINT 0x02

/* A loopback pair that tests of the bus may add: what goes out on 0x04 comes back, as one
 * record per transfer, on 0x83. It has nothing to do with the unit's firmware. */
#define BUS_LOOPBACK_IN_ENDPOINT 0x83
#define BUS_LOOPBACK_OUT_ENDPOINT 0x04

struct UsbDescriptorSet {
    uint8_t Device[18];
    uint8_t Config[BUS_MAX_CONFIG_BYTES];
    uint32_t ConfigLength; /* bytes of Config that the device holds (what it can send) */
};

/* The unit's own set: a vendor-specific device with one configuration and one interface
 * whose endpoint 0x81 (bulk IN, pipe 0) and 0x02 (bulk OUT, pipe 1) have 64-byte packets at
 * full speed and 512-byte packets at high speed. wTotalLength 32. */
void UsbDescriptorSetUnit(UsbDescriptorSet *Set, USB_DEVICE_SPEED Speed);

/* Appends one descriptor (its bytes as given) and raises wTotalLength by its length.
 * Returns false when the set would overflow. */
bool UsbDescriptorSetAppend(UsbDescriptorSet *set, const void *descriptor, uint32_t length);

/* Appends a bulk or interrupt endpoint to the last interface of the set (raising its
 * bNumEndpoints and wTotalLength). */
bool UsbDescriptorSetAddEndpoint(UsbDescriptorSet *set, uint8_t address, uint8_t attributes, uint16_t maxPacket);

/* Adds the loopback pair, with the packet size of the unit's own endpoints. */
bool UsbDescriptorSetAddLoopback(UsbDescriptorSet *set, uint16_t maxPacket);

/* wTotalLength of the set's configuration descriptor. */
uint16_t UsbDescriptorSetTotalLength(const UsbDescriptorSet *set);

#endif /* MURVO_HOST_USB_BUS_DESCRIPTORS_H */
