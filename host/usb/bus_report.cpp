/*
 * bus_report.cpp - loud reports of the simulated bus, status mapping and the bus clock.
 */
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>

#include <chrono>

#include "host/usb/bus_internal.h"

void BusReport(const char *Rule, PIRP Irp, const char *Format, ...)
{
    char message[512];
    va_list args;
    va_start(args, Format);
    vsnprintf(message, sizeof(message), Format, args);
    va_end(args);
    HostVerifierReport(Rule, Irp, "%s", message);
}

void BusNotModelled(const char *format, ...)
{
    char message[256];
    va_list args;
    va_start(args, format);
    vsnprintf(message, sizeof(message), format, args);
    va_end(args);
    fprintf(stderr, "usbhub: not modelled: %s\n", message);
}

NTSTATUS BusNtStatus(USBD_STATUS Status)
{
    switch (Status) {
    case USBD_STATUS_SUCCESS:
        return STATUS_SUCCESS;
    case USBD_STATUS_CANCELED:
        return STATUS_CANCELLED;
    case USBD_STATUS_DEVICE_GONE:
        return STATUS_DEVICE_NOT_CONNECTED;
    case USBD_STATUS_NO_MEMORY:
    case USBD_STATUS_INSUFFICIENT_RESOURCES:
        return STATUS_INSUFFICIENT_RESOURCES;
    case USBD_STATUS_NOT_SUPPORTED:
        return STATUS_NOT_SUPPORTED;
    case USBD_STATUS_INVALID_URB_FUNCTION:
    case USBD_STATUS_INVALID_PARAMETER:
    case USBD_STATUS_INVALID_PIPE_HANDLE:
    case USBD_STATUS_BUFFER_TOO_SMALL:
    case USBD_STATUS_INTERFACE_NOT_FOUND:
    case USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR:
        return STATUS_INVALID_PARAMETER;
    default:
        /* Transfer errors (stall, babble, underrun, no handshake, halted endpoint). */
        return STATUS_UNSUCCESSFUL;
    }
}

uint64_t BusNowUs(void)
{
    return (uint64_t)std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}
