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

#define RIG_CONTROL_DEVICE_NAME L"\\Device\\MurvoRig"
#define RIG_CONTROL_LINK_NAME L"\\DosDevices\\MurvoRig"
#define RIG_CONTROL_PATH "\\\\.\\MurvoRig"

/* The bus's log: one line per event, "\n"-terminated, as text (output buffer). */
#define IOCTL_RIG_GET_LOG CTL_CODE(FILE_DEVICE_UNKNOWN, 0x0800, METHOD_BUFFERED, FILE_ANY_ACCESS)
/* Unplugs the unit: it disappears from the bus's relations, which the bus reports. */
#define IOCTL_RIG_UNPLUG CTL_CODE(FILE_DEVICE_UNKNOWN, 0x0801, METHOD_BUFFERED, FILE_ANY_ACCESS)

#define RIG_LOG_SIZE 16384

#endif /* MURVO_WINERIG_RIG_PUBLIC_H */
