/*
 * pipe_transport.h - the USB pipe transport: the unit's device interface found through
 * SetupAPI, its read pipe ("PIPE00", overlapped) and write pipe ("PIPE01", synchronous)
 * opened as files below the interface path. Provides the transport operations of
 * transport.h and a few more that programs built on the transport may use.
 */
#ifndef MURVO_TOOL_PIPE_TRANSPORT_H
#define MURVO_TOOL_PIPE_TRANSPORT_H

#include "tool/tool_platform.h"
#include "tool/transport.h"

#define DEVICE_PATH_CHARS 512 /* the longest interface path plus "\PIPEnn" and the terminator */
#define PacketMark 0xAA55     /* first two bytes of every framed packet, little-endian */

/* The interface path of the unit found last; after OpenPipe, followed by "\" and the pipe. */
extern char DevicePath[DEVICE_PATH_CHARS];
extern unsigned UnitsFound;        /* present interfaces FindUnitInterface enumerated last */
extern HANDLE ReadHandle;          /* "PIPE00", overlapped; INVALID_HANDLE_VALUE when not open */
extern HANDLE WriteHandle;         /* "PIPE01", synchronous; INVALID_HANDLE_VALUE when not open */
extern OVERLAPPED ReadOverlapped;  /* used by every read; hEvent is the read event */
extern OVERLAPPED ResetOverlapped; /* used by the pipe reset after a time-out */

/* Opens the first present interface of the class whose path opens; the path of the last
 * candidate obtained is left in path, the number of present interfaces in UnitsFound.
 * Returns the open handle or INVALID_HANDLE_VALUE. */
HANDLE FindUnitInterface(const GUID *interfaceClass, char *path);

/* FindUnitInterface, then closes the handle: true when a unit was found (path in path). */
bool ProbeUnit(const GUID *interfaceClass, char *path);

/* Finds the unit and opens the named pipe below it with the CreateFileA flags given. */
HANDLE OpenPipe(const char *pipeName, DWORD flagsAndAttributes);

/* Asks the driver to reset the pipe of handle; returns DeviceIoControl's result. */
BOOL SendResetPipe(HANDLE handle, OVERLAPPED *overlapped);

/* Asks the driver to reset the unit's port; returns DeviceIoControl's result. */
BOOL SendResetDevice(HANDLE handle, OVERLAPPED *overlapped);

/* Packs data into 64-byte packets (the mark, then up to 62 data bytes) and writes them in
 * runs of up to 16 KiB. count, when given, receives the data bytes written. True when
 * every write succeeded. */
bool WriteFramed(const void *data, uint32_t length, uint32_t *count);

/* Finds the unit, prints the outcome and returns the handle, which the caller owns. */
HANDLE OpenUnitAndReport(void);

#endif /* MURVO_TOOL_PIPE_TRANSPORT_H */
