/*
 * bus_packets.h - USB packet semantics of a bulk IN endpoint of the simulated bus.
 *
 * The unit's firmware puts whole reply records into its IN endpoint; the bus keeps each
 * record as a segment and sends it in packets of at most the endpoint's maximum packet
 * size, the last one short (a record that ends on a packet boundary sends no zero-length
 * packet, and packets never span two records). An IN transfer takes packets until it has
 * its length, until a short packet ends it, or until an error: a packet larger than the
 * room left is babble, a short end without USBD_SHORT_TRANSFER_OK is an underrun, and a
 * segment marked to stall or to fail ends the transfer with that error. Every error halts
 * the endpoint (the caller records that). A segment can be held back until a given time.
 *
 * Plain data, no locking: the bus driver holds its own lock around every call.
 */
#ifndef MURVO_HOST_USB_BUS_PACKETS_H
#define MURVO_HOST_USB_BUS_PACKETS_H

#include <stddef.h>
#include <stdint.h>

#include "host/usb/usbdi.h"

/* What the endpoint does when the transfer reaches a segment. */
enum BusSegmentFault {
    BusSegmentNormal,    /* sends its bytes */
    BusSegmentStall,     /* the endpoint answers STALL; the record is lost */
    BusSegmentXferError, /* the transaction fails (no handshake); the record is lost */
};

struct BusSegment {
    BusSegment *Next;
    uint32_t Length;    /* bytes of the record */
    uint32_t Offset;    /* bytes already sent */
    uint64_t ReadyAtUs; /* not sent before this time on the bus clock */
    BusSegmentFault Fault;
    uint8_t *Data; /* Length bytes, owned by the segment */
};

/* The records waiting in one IN endpoint, oldest first. */
struct BusInQueue {
    BusSegment *Head;
    BusSegment *Tail;
    uint32_t Count;
};

/* Outcome of one step of an IN transfer. */
struct BusInStep {
    USBD_STATUS Status; /* USBD_STATUS_PENDING: wait for data; success or an error: done */
    uint32_t Moved;     /* bytes in the transfer buffer so far (in and out) */
    uint64_t WakeAtUs;  /* when Status is pending and a held-back segment waits: its time; else 0 */
};

/* Appends a copy of length bytes as one record. Returns false when no memory is left. */
bool BusInAppend(BusInQueue *queue, const uint8_t *data, uint32_t length, uint64_t readyAtUs, BusSegmentFault fault);

/* Drops every record (endpoint reset, unplug). */
void BusInClear(BusInQueue *queue);

/* Drops the records the endpoint holds at time nowUs (a pipe reset flushes them), and keeps
 * those held back until later: the unit is still working on those, and a reset of the pipe
 * does not stop it from answering. */
void BusInDropReady(BusInQueue *queue, uint64_t nowUs);

/* Bytes waiting in all records. */
uint32_t BusInPendingBytes(const BusInQueue *queue);

/* Moves packets into buffer (length bytes in all, step->Moved already filled) as the
 * endpoint would send them at time nowUs, and says whether the transfer is done. A
 * transfer of length 0 completes at once without taking data. */
void BusInTransferStep(BusInQueue *queue, uint8_t *buffer, uint32_t length, uint16_t maxPacket, bool shortOk,
                       uint64_t nowUs, BusInStep *step);

/* Number of packets that carry length bytes (a zero-length transfer is one packet). */
uint32_t BusPacketCount(uint32_t length, uint16_t maxPacket);

#endif /* MURVO_HOST_USB_BUS_PACKETS_H */
