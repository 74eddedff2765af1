/*
 * bus_timing.cpp - the optional timing model of the simulated bus.
 *
 * A bulk transfer takes whole frames: as many maximum-size packets as the bus fits into a
 * frame (19 of 64 bytes in a 1 ms full-speed frame, 13 of 512 bytes in a 125 us
 * high-speed microframe, the bulk share of an otherwise idle bus), at least one frame. The
 * flash's erase and program times delay the reply of the command that caused them.
 */
#include "host/usb/bus_internal.h"

void HostUsbTimingDefaults(HostUsbTiming *Timing, USB_DEVICE_SPEED Speed)
{
    Timing->Enabled = true;
    if (Speed == UsbHighSpeed) {
        Timing->FrameMicroseconds = 125;
        Timing->PacketsPerFrame = 13;
    } else {
        Timing->FrameMicroseconds = 1000;
        Timing->PacketsPerFrame = 19;
    }
    Timing->EraseBlockMicroseconds = 700000;  /* a 64 KiB NOR sector */
    Timing->ProgramRecordMicroseconds = 2560; /* 256 words of 10 us */
}

uint64_t BusTransferMicroseconds(const HostUsbTiming *timing, uint32_t length, uint16_t maxPacket)
{
    if (!timing->Enabled || timing->PacketsPerFrame == 0) {
        return 0;
    }
    uint64_t packets = BusPacketCount(length, maxPacket);
    uint64_t frames = (packets + timing->PacketsPerFrame - 1) / timing->PacketsPerFrame;
    return frames * timing->FrameMicroseconds;
}
