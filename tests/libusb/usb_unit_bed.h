/*
 * usb_unit_bed.h - simulated units on an emulated Linux USB bus, for libusb.
 *
 * umockdev makes the sysfs entries and /dev/bus/usb nodes of the units, and routes every
 * usbfs ioctl that libusb issues on a node (in this process or in a child, such as vardel)
 * to this bed: bulk URBs to the endpoints go to the simulated unit's firmware, and URBs are
 * reaped, discarded and halts cleared as the Linux kernel does. The program under test must
 * run with umockdev's preload library; UsbUnitBedEnsurePreload arranges that.
 */
#ifndef MURVO_TESTS_LIBUSB_USB_UNIT_BED_H
#define MURVO_TESTS_LIBUSB_USB_UNIT_BED_H

#include "unitsim/sim_unit.h"

#include <stddef.h>
#include <stdint.h>

#define BED_IN_ENDPOINT 0x81  /* the unit's first endpoint: replies */
#define BED_OUT_ENDPOINT 0x02 /* its second: requests */
#define BED_MAX_PACKET 64

/* How a unit differs from a healthy one. */
struct BedUnitQuirks {
    bool ClaimBusy = false;        /* CLAIMINTERFACE fails with EBUSY: another program has it */
    bool KernelDriver = false;     /* a kernel driver is bound to the interface */
    bool SwappedEndpoints = false; /* the OUT endpoint comes first in the interface */
};

/* What the bed saw of one unit's traffic. */
struct BedUnitCounts {
    uint32_t OutUrbs;       /* bulk OUT URBs submitted */
    uint32_t InUrbs;        /* bulk IN URBs submitted */
    uint32_t LargestOutUrb; /* bytes of the largest OUT URB */
    uint32_t InDiscards;    /* IN URBs discarded while pending */
    uint32_t InClearHalts;  /* CLEAR_HALT on the IN endpoint */
    uint32_t Claims;        /* successful CLAIMINTERFACE */
    uint32_t Releases;      /* RELEASEINTERFACE */
    uint32_t UnknownIoctls; /* requests the bed does not model (answered ENOTTY) */
};

/* Re-executes the running program under umockdev's preload library unless it already runs
 * there. Call first thing in main. */
void UsbUnitBedEnsurePreload(int argc, char **argv);

/* Makes the emulated bus, with no unit. False (with a message on stderr) when umockdev
 * cannot run here. */
bool UsbUnitBedStart(void);

/* Removes every unit and the bus; powers the units off (saving flash files). */
void UsbUnitBedStop(void);

/* Plugs a unit powered on with config in; returns its index (0, 1, ...), or -1 with a
 * message on stderr. */
int UsbUnitBedPlug(const SimConfig *config, const BedUnitQuirks &quirks = BedUnitQuirks());

/* The unit's firmware, for inspection; NULL for a bad index. */
SimUnit *UsbUnitBedUnit(int index);

BedUnitCounts UsbUnitBedCounts(int index);

/* Makes the unit's node readable only (as a node without the udev rule's access is for a
 * user), and the testbed reachable for every user. False when a file could not be changed. */
bool UsbUnitBedDenyWriteAccess(int index);

/* True once the unit was unplugged (by an "unplug" fault or UsbUnitBedUnplug). */
bool UsbUnitBedUnplugged(int index);

#endif /* MURVO_TESTS_LIBUSB_USB_UNIT_BED_H */
