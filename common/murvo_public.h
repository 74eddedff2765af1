/*
 * murvo_public.h - definitions shared by user mode (vardel) and kernel mode (murvousb).
 *
 * Everything that crosses between the two deliverables is fixed here and nowhere else:
 * the device interface class, the pipe file names and the device-control codes.
 * The includer brings its platform first (windows.h / winioctl.h, or ntddk.h); when
 * CTL_CODE is not yet known, the few constants it needs are supplied below with the
 * values Windows gives them.
 */
#ifndef MURVO_COMMON_MURVO_PUBLIC_H
#define MURVO_COMMON_MURVO_PUBLIC_H

#ifndef CTL_CODE
#define CTL_CODE(DeviceType, Function, Method, Access) \
    (((DeviceType) << 16) | ((Access) << 14) | ((Function) << 2) | (Method))
#endif
#ifndef FILE_DEVICE_UNKNOWN
#define FILE_DEVICE_UNKNOWN 0x00000022
#endif
#ifndef METHOD_BUFFERED
#define METHOD_BUFFERED 0
#endif
#ifndef FILE_ANY_ACCESS
#define FILE_ANY_ACCESS 0
#endif

/* Device interface class {0A1940C6-C2A0-47D2-86A6-D378D0DB62CE}, as its parts. */
#define MURVO_INTERFACE_GUID_DATA1 0x0A1940C6UL
#define MURVO_INTERFACE_GUID_DATA2 0xC2A0
#define MURVO_INTERFACE_GUID_DATA3 0x47D2
/* Braced initialisers in a macro stay on one line. */
/* clang-format off */
#define MURVO_INTERFACE_GUID_DATA4 {0x86, 0xA6, 0xD3, 0x78, 0xD0, 0xDB, 0x62, 0xCE}

/* Initialiser of a GUID record holding the interface class, for either side's GUID type. */
#define MURVO_INTERFACE_GUID_INIT \
    { MURVO_INTERFACE_GUID_DATA1, MURVO_INTERFACE_GUID_DATA2, MURVO_INTERFACE_GUID_DATA3, MURVO_INTERFACE_GUID_DATA4 }
/* clang-format on */

/* USB identity of the unit, from which the driver's INF file takes its hardware ID, the Linux
 * build its udev rule and the simulated unit its device descriptor. The build defines both from
 * its settings (cmake -DMURVO_USB_VENDOR_ID=0xHHHH -DMURVO_USB_PRODUCT_ID=0xHHHH). The values
 * below are what those settings default to, PLACEHOLDERS: the real unit's IDs are not known to
 * this project, and a package built with them says so in its name. */
#ifndef MURVO_USB_VENDOR_ID
#define MURVO_USB_VENDOR_ID 0xFFFF
#endif
#ifndef MURVO_USB_PRODUCT_ID
#define MURVO_USB_PRODUCT_ID 0x0001
#endif

/* Pipe file names, opened below the interface path after a backslash. */
#define MURVO_READ_PIPE_NAME "PIPE00"  /* pipe 0 of the interface: data from the unit */
#define MURVO_WRITE_PIPE_NAME "PIPE01" /* pipe 1 of the interface: data to the unit */

/* Markers of the two pipe-name forms, each followed by two digits. */
#define MURVO_PIPE_MARKER "\\PIPE"     /* \PIPEnn: nn is the decimal index in the pipe table */
#define MURVO_ENDPOINT_MARKER "\\ADDR" /* \ADDRxx: xx is the hexadecimal endpoint address */

/* Device-control requests (buffered). */
#define IOCTL_GET_CONFIG_DESCRIPTOR \
    CTL_CODE(FILE_DEVICE_UNKNOWN, 0x0000, METHOD_BUFFERED, FILE_ANY_ACCESS)                        /* 0x220000 */
#define IOCTL_RESET_DEVICE CTL_CODE(FILE_DEVICE_UNKNOWN, 0x0001, METHOD_BUFFERED, FILE_ANY_ACCESS) /* 0x220004 */
#define IOCTL_RESET_PIPE CTL_CODE(FILE_DEVICE_UNKNOWN, 0x0002, METHOD_BUFFERED, FILE_ANY_ACCESS)   /* 0x220008 */

#endif /* MURVO_COMMON_MURVO_PUBLIC_H */
