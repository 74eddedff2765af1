/*
 * transport.h - the tool's road to the unit: two bulk pipes, one for requests and one for
 * replies. The update sequence opens and closes the transport; the command layer moves
 * bytes with TransportWrite and TransportRead. One implementation is linked into a program.
 */
#ifndef MURVO_TOOL_TRANSPORT_H
#define MURVO_TOOL_TRANSPORT_H

#include <stdint.h>

/* Finds the unit and opens its read and write pipes. True on success; on false nothing
 * stays open. */
bool OpenTransport(void);

/* After OpenTransport succeeded: how many units discovery found, and the one opened, as the
 * system names it (its device interface path; over libusb "bus B, address A"). */
unsigned TransportUnitsFound(void);
const char *TransportUnitName(void);

/* Closes whatever pipe is open. May be called at any time, any number of times. */
void CloseTransport(void);

/* Writes length bytes to the unit. True only when every byte was written. When count is
 * given it receives the number of bytes attempted. */
bool TransportWrite(const void *data, uint32_t length, uint32_t *count);

/* Reads length bytes from the unit, waiting at most max(length / 20, 2000) plus extraMs
 * milliseconds. False on error or time-out; after a time-out the read pipe has been reset.
 * When count is given it receives the number of bytes the read reported. */
bool TransportRead(void *buffer, uint32_t length, uint32_t extraMs, uint32_t *count);

/* The read time-out in milliseconds for a read of length bytes with extraMs on top. */
static inline uint32_t TransportReadTimeout(uint32_t length, uint32_t extraMs)
{
    uint32_t timeout = length / 20;
    if (timeout < 2000) {
        timeout = 2000;
    }
    return timeout + extraMs;
}

#endif /* MURVO_TOOL_TRANSPORT_H */
