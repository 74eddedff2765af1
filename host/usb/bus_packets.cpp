/*
 * bus_packets.cpp - records and packets of a bulk IN endpoint (see bus_packets.h).
 */
#include "host/usb/bus_packets.h"

#include <stdlib.h>
#include <string.h>

bool BusInAppend(BusInQueue *queue, const uint8_t *data, uint32_t length, uint64_t readyAtUs, BusSegmentFault fault)
{
    BusSegment *segment = (BusSegment *)calloc(1, sizeof(BusSegment));
    if (segment == NULL) {
        return false;
    }
    if (length > 0) {
        segment->Data = (uint8_t *)malloc(length);
        if (segment->Data == NULL) {
            free(segment);
            return false;
        }
        memcpy(segment->Data, data, length);
    }
    segment->Length = length;
    segment->ReadyAtUs = readyAtUs;
    segment->Fault = fault;
    if (queue->Tail != NULL) {
        queue->Tail->Next = segment;
    } else {
        queue->Head = segment;
    }
    queue->Tail = segment;
    queue->Count++;
    return true;
}

/* Unlinks and frees the oldest record. */
static void DropHead(BusInQueue *queue)
{
    BusSegment *segment = queue->Head;
    queue->Head = segment->Next;
    if (queue->Head == NULL) {
        queue->Tail = NULL;
    }
    queue->Count--;
    free(segment->Data);
    free(segment);
}

void BusInClear(BusInQueue *queue)
{
    while (queue->Head != NULL) {
        DropHead(queue);
    }
}

void BusInDropReady(BusInQueue *queue, uint64_t nowUs)
{
    BusSegment *kept = NULL, *keptTail = NULL;
    uint32_t keptCount = 0;
    while (queue->Head != NULL) {
        BusSegment *segment = queue->Head;
        if (segment->ReadyAtUs <= nowUs) {
            DropHead(queue);
            continue;
        }
        queue->Head = segment->Next;
        queue->Count--;
        segment->Next = NULL;
        if (keptTail != NULL) {
            keptTail->Next = segment;
        } else {
            kept = segment;
        }
        keptTail = segment;
        keptCount++;
    }
    queue->Head = kept;
    queue->Tail = keptTail;
    queue->Count = keptCount;
}

uint32_t BusInPendingBytes(const BusInQueue *queue)
{
    uint32_t total = 0;
    for (const BusSegment *segment = queue->Head; segment != NULL; segment = segment->Next) {
        total += segment->Length - segment->Offset;
    }
    return total;
}

void BusInTransferStep(BusInQueue *queue, uint8_t *buffer, uint32_t length, uint16_t maxPacket, bool shortOk,
                       uint64_t nowUs, BusInStep *step)
{
    step->WakeAtUs = 0;
    if (length == 0) {
        step->Status = USBD_STATUS_SUCCESS;
        return;
    }
    while (step->Moved < length) {
        BusSegment *segment = queue->Head;
        if (segment != NULL && segment->Offset == segment->Length) {
            DropHead(queue); /* an empty record (a zero-length reply) sends nothing */
            continue;
        }
        if (segment == NULL) {
            step->Status = USBD_STATUS_PENDING; /* the endpoint NAKs until a record comes */
            return;
        }
        if (segment->ReadyAtUs > nowUs) {
            step->Status = USBD_STATUS_PENDING;
            step->WakeAtUs = segment->ReadyAtUs;
            return;
        }
        if (segment->Fault == BusSegmentStall || segment->Fault == BusSegmentXferError) {
            step->Status = segment->Fault == BusSegmentStall ? USBD_STATUS_STALL_PID : USBD_STATUS_XACT_ERROR;
            DropHead(queue);
            return;
        }
        uint32_t left = segment->Length - segment->Offset;
        uint32_t packet = left < maxPacket ? left : maxPacket;
        uint32_t room = length - step->Moved;
        if (packet > room) {
            /* The device sent more than the buffer can take: the controller drops the
             * packet, and with it the rest of the record. */
            DropHead(queue);
            step->Status = USBD_STATUS_BABBLE_DETECTED;
            return;
        }
        memcpy(buffer + step->Moved, segment->Data + segment->Offset, packet);
        step->Moved += packet;
        segment->Offset += packet;
        if (segment->Offset == segment->Length) {
            DropHead(queue);
        }
        if (packet < maxPacket) {
            if (step->Moved < length && !shortOk) {
                step->Status = USBD_STATUS_DATA_UNDERRUN;
                return;
            }
            break; /* a short packet ends the transfer */
        }
    }
    step->Status = USBD_STATUS_SUCCESS;
}

uint32_t BusPacketCount(uint32_t length, uint16_t maxPacket)
{
    if (length == 0 || maxPacket == 0) {
        return 1;
    }
    return (length + maxPacket - 1) / maxPacket;
}
