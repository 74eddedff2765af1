/*
 * rig_public.h - what the Wine rig's bus driver and its control program share.
 *
 * The bus driver (murvorig.sys) is a test fixture for Wine only: a root-enumerated bus
 * with one simulated unit on it. Its control device takes the requests below from the
 * rig's program (rigctl.exe).
 */
#ifndef MURVO_WINERIG_RIG_PUBLIC_H
#define MURVO_WINERIG_RIG_PUBLIC_H

#include "common/murvo_public.h"
#include "unitsim/sim_unit.h"

#define RIG_CONTROL_DEVICE_NAME L"\\Device\\MurvoRig"
#define RIG_CONTROL_LINK_NAME L"\\DosDevices\\MurvoRig"
#define RIG_CONTROL_PATH "\\\\.\\MurvoRig"

/* The bus's log: one line per event, "\n"-terminated, as text (output buffer). */
#define IOCTL_RIG_GET_LOG CTL_CODE(FILE_DEVICE_UNKNOWN, 0x0800, METHOD_BUFFERED, FILE_ANY_ACCESS)
/* Unplugs the unit: it disappears from the bus's relations, which the bus reports. */
#define IOCTL_RIG_UNPLUG CTL_CODE(FILE_DEVICE_UNKNOWN, 0x0801, METHOD_BUFFERED, FILE_ANY_ACCESS)
/* Powers the unit on afresh with the RIG_UNIT_SETUP given (input): erased flash, every block
 * locked, the faults of the configuration armed, the bus log kept. */
#define IOCTL_RIG_SET_UNIT CTL_CODE(FILE_DEVICE_UNKNOWN, 0x0802, METHOD_BUFFERED, FILE_ANY_ACCESS)
/* The unit's flash from the offset given (a ULONG, input), as many bytes as the output buffer
 * holds and the flash has. */
#define IOCTL_RIG_READ_FLASH CTL_CODE(FILE_DEVICE_UNKNOWN, 0x0803, METHOD_BUFFERED, FILE_ANY_ACCESS)
/* Plugs an unplugged unit in again: a new physical device object in the bus's relations. */
#define IOCTL_RIG_PLUG CTL_CODE(FILE_DEVICE_UNKNOWN, 0x0804, METHOD_BUFFERED, FILE_ANY_ACCESS)

#define RIG_LOG_SIZE (1024 * 1024)

/* What the unit's bulk pipes carry. */
enum RigUnitMode {
    RigUnitFirmware = 0, /* the simulated unit's firmware (unitsim's core) */
    RigUnitLoopback = 1, /* the IN pipe gives back what the OUT pipe took, up to 64 KiB */
    RigUnitSilent = 2,   /* OUT transfers are taken, IN transfers never complete */
};

struct RIG_UNIT_SETUP {
    unsigned Mode; /* a RigUnitMode */
    SimConfig Config;
};

#endif /* MURVO_WINERIG_RIG_PUBLIC_H */
