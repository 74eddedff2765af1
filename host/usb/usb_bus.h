/*
 * usb_bus.h - the simulated USB bus: entry points of the Linux stand-in for the USB bus driver.
 *
 * A bus is one host controller with its root ports. Each port can hold one simulated unit:
 * the unit's firmware (unitsim) behind a bulk OUT endpoint (request bytes) and a bulk IN
 * endpoint (reply bytes), reporting the descriptors of its UsbDescriptorSet. Plugging a
 * unit creates its physical device object (owned by the bus driver "usbhub", loaded into
 * the kernel stand-in) and announces it to the plug-and-play manager, which loads the
 * unit's function driver on top; unplugging reports the device gone (surprise removal).
 *
 * What a function driver sees below it is the Windows USB stack: URBs through
 * IOCTL_INTERNAL_USB_SUBMIT_URB, IOCTL_INTERNAL_USB_GET_PORT_STATUS and
 * IOCTL_INTERNAL_USB_RESET_PORT, device capabilities, power and plug-and-play requests.
 * Data transfers complete asynchronously on the bus's host-controller thread at
 * DISPATCH_LEVEL.
 *
 * All entry points are called at PASSIVE_LEVEL from threads outside the kernel (tests, the
 * Win32 stand-in). They are safe to call from several threads at once.
 */
#ifndef MURVO_HOST_USB_USB_BUS_H
#define MURVO_HOST_USB_USB_BUS_H

#include <stddef.h>
#include <stdint.h>

#include "host/nt/host_kernel.h"
#include "host/usb/bus_descriptors.h"
#include "host/usb/usbdi.h"
#include "unitsim/sim_unit.h"

typedef struct HostUsbBus HostUsbBus;

/* MaximumTransferSize given back for a pipe selected with USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE.
 * Any size is accepted and none limits a transfer: on Windows XP and later the field "is not
 * used and does not contain valid data" ("USBD_PIPE_INFORMATION structure"). */
#define HOST_USB_DEFAULT_TRANSFER_SIZE 0x1000
#define HOST_USB_PORTS 8

/* The optional timing model. With Enabled false (the default) a transfer completes as soon
 * as the host-controller thread gets to it. */
typedef struct HostUsbTiming {
    bool Enabled;
    uint32_t FrameMicroseconds;         /* 1000 at full speed, 125 (a microframe) at high speed */
    uint32_t PacketsPerFrame;           /* bulk packets of the maximum size that fit in one frame */
    uint32_t EraseBlockMicroseconds;    /* EraseBlock of the unit's flash */
    uint32_t ProgramRecordMicroseconds; /* WriteFlash of one 512-byte record */
} HostUsbTiming;

/* Fills timing with the figures of a bus of the given speed and a typical NOR flash,
 * Enabled true. */
void HostUsbTimingDefaults(HostUsbTiming *Timing, USB_DEVICE_SPEED Speed);

/* Everything that makes one unit. */
typedef struct HostUsbUnitSettings {
    SimConfig Sim;                        /* the firmware's flash and faults */
    UsbDescriptorSet Descriptors;         /* what the unit reports */
    USB_DEVICE_SPEED Speed;               /* UsbFullSpeed or UsbHighSpeed */
    DEVICE_CAPABILITIES Capabilities;     /* what IRP_MN_QUERY_CAPABILITIES answers (Size and Version kept) */
    const HostDriverInfo *FunctionDriver; /* the driver that the plug-and-play manager loads */
} HostUsbUnitSettings;

/* Fills settings for a unit of the given speed: SimConfigDefaults, the unit's descriptor
 * set, capabilities mapping S0 to D0 and S1 to S3 to D2, S4 and S5 to D3, DeviceWake D2,
 * SystemWake S3, removable, surprise removal OK. FunctionDriver null. */
void HostUsbUnitSettingsDefault(HostUsbUnitSettings *Settings, USB_DEVICE_SPEED Speed);

/* What a test can see of a port. */
typedef struct HostUsbUnitState {
    bool Present;                  /* a unit is plugged into the port (its device object exists) */
    bool Connected;                /* USBD_PORT_CONNECTED */
    bool PortEnabled;              /* USBD_PORT_ENABLED */
    bool Started;                  /* the device object received START_DEVICE and no removal since */
    bool Configured;               /* a configuration is selected */
    DEVICE_POWER_STATE PowerState; /* as the last device set-power request left it */
    bool WaitWakePending;          /* a wait-wake request is held */
    uint32_t PendingTransfers;     /* transfers queued on the unit's pipes, not yet completed */
    uint32_t ReplyBytesWaiting;    /* bytes in the IN endpoint, not yet sent */
    bool InHalted;                 /* the unit's IN pipe is halted */
    bool OutHalted;                /* the unit's OUT pipe is halted */
    uint32_t Transfers;            /* bulk transfers completed since the plug, successful or not */
} HostUsbUnitState;

/* Creates a bus with its host-controller thread, loading the bus driver on first use.
 * Returns null when the driver cannot be loaded. */
HostUsbBus *HostUsbBusCreate(void);

/* Unplugs every unit, waits until their device objects are gone, stops the thread and
 * frees the bus; the last bus unloads the bus driver. */
void HostUsbBusDestroy(HostUsbBus *bus);

/* Turns the timing model on or off (timing null: off) for transfers queued from now on. */
void HostUsbBusSetTiming(HostUsbBus *bus, const HostUsbTiming *timing);

/* Plugs a unit into the first free port: powers its firmware on, creates its physical
 * device object and announces it; the function driver is added and started before this
 * returns; *startStatus (startStatus may be null) tells how that went. Returns the port
 * number (1 to HOST_USB_PORTS), or 0 with a one-line message in error when the firmware or
 * the device object cannot be made or no port is free. When the function driver fails to
 * add or start, the unit leaves the bus again (HostUsbWaitGone on the returned port). */
int HostUsbPlug(HostUsbBus *Bus, const HostUsbUnitSettings *Settings, NTSTATUS *StartStatus, char *Error,
                size_t ErrorSize);

/* Pulls the unit out of its port at once: pending transfers fail with
 * USBD_STATUS_DEVICE_GONE, the port reads disconnected, and the plug-and-play manager is
 * told (surprise removal, then removal once the unit's files are closed). Returns false
 * when the port holds no unit. Does not wait for the removal. */
bool HostUsbUnplug(HostUsbBus *bus, int port);

/* Waits up to timeoutMs until the device object of the port is gone after an unplug. */
bool HostUsbWaitGone(HostUsbBus *bus, int port, uint32_t timeoutMs);

/* Injects a bus fault on demand:
 *   SimFaultStall, SimFaultXferError, SimFaultNoReply, SimFaultShort, SimFaultLong,
 *   SimFaultDelay (value: milliseconds): apply to the next reply record of the unit;
 *   SimFaultPortOff: disables the port now (the unit stays connected);
 *   SimFaultUnplug: unplugs the unit once value more bytes have gone out on its OUT
 *   endpoint (0: now), so that a staged transfer can be cut in its middle.
 * Faults of the firmware configuration (MURVO_SIM_FAULTS) act by command on top of these.
 * Returns false when the port holds no unit or the kind is not a bus fault. */
bool HostUsbInjectFault(HostUsbBus *bus, int port, SimFaultKind kind, uint32_t value);

/* Completes a held wait-wake request of the unit (as the unit's remote wake-up signal).
 * Returns false when none is held. */
bool HostUsbSignalWake(HostUsbBus *bus, int port);

/* Fills state for the port; false when the port number is out of range. */
bool HostUsbQueryUnit(HostUsbBus *bus, int port, HostUsbUnitState *state);

/* The physical device object of the port, the plug-and-play node of its stack, and the
 * firmware; null when the port is empty. The firmware stays valid until the unit's device
 * object is gone. */
PDEVICE_OBJECT HostUsbUnitPdo(HostUsbBus *Bus, int Port);
HostDeviceNode *HostUsbUnitNode(HostUsbBus *bus, int port);
SimUnit *HostUsbUnitSim(HostUsbBus *bus, int port);

#endif /* MURVO_HOST_USB_USB_BUS_H */
