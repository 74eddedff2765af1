/*
 * machine.h - the simulated machine of host programs, for tests that drive it from outside
 * the program under test (plug-and-play transitions, bus faults).
 */
#ifndef MURVO_HOST_MACHINE_MACHINE_H
#define MURVO_HOST_MACHINE_MACHINE_H

#include "host/nt/host_kernel.h"
#include "host/usb/usb_bus.h"

/* Boots the machine now if it has not booted yet (normally the first device call does). */
void HostMachineBoot(void);

/* The machine's bus, or null before the boot. Port n holds the n-th unit. */
HostUsbBus *HostMachineBus(void);

#endif /* MURVO_HOST_MACHINE_MACHINE_H */
