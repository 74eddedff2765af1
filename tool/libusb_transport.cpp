/*
 * libusb_transport.cpp - the transport operations over libusb-1.0, straight to the unit
 * with no driver of ours: the unit found by its vendor and product IDs, the first interface
 * of its active configuration claimed, the interface's first endpoint read (the pipe
 * murvousb names "PIPE00") and its second written ("PIPE01").
 *
 * libusb is a portable library (Linux, macOS, Windows) with one interface everywhere, so
 * this file includes <libusb.h> beside the standard C headers and nothing of any platform;
 * tool/tool_platform.h stays the tool's one door to the operating system itself.
 */
#include "tool/transport.h"

#include "common/murvo_public.h"

#include <libusb.h>
#include <stdio.h>

#define WRITE_CHUNK 4096u      /* largest single bulk OUT transfer */
#define WRITE_TIMEOUT_MS 0u    /* writes wait as long as the unit takes, as WriteFile does */
#define UNIT_INTERFACE_INDEX 0 /* the interface of the unit's configuration that carries the pipes */

/* Why no unit could be opened, in rising weight: of several units the weightiest reason met
 * is reported (a unit found but busy says more than "not found"). */
enum OpenFailure {
    OpenFailureNone,
    OpenFailureNotFound,
    OpenFailureNoPipes,
    OpenFailureError,
    OpenFailureBusy,
    OpenFailurePermission,
};

static libusb_context *UsbContext;
static libusb_device_handle *UnitHandle;
static int ClaimedInterface = -1;
static unsigned char ReadEndpoint;
static unsigned char WriteEndpoint;
static unsigned UnitsFound; /* units with the IDs in the last listing */
static char UnitName[40];   /* "bus B, address A" of the unit opened */

/* The one line on the error stream that says why the unit could not be opened. */
static void ReportOpenFailure(OpenFailure failure, int libusbError)
{
    switch (failure) {
    case OpenFailureNone:
        return;
    case OpenFailureNotFound:
        fprintf(stderr, "No MURVO unit found on USB (vendor 0x%04X, product 0x%04X)\n", MURVO_USB_VENDOR_ID,
                MURVO_USB_PRODUCT_ID);
        return;
    case OpenFailureNoPipes:
        fprintf(stderr, "The MURVO unit's interface does not have its two bulk pipes\n");
        return;
    case OpenFailureBusy:
        fprintf(stderr, "The MURVO unit is busy: another program or a kernel driver holds it\n");
        return;
    case OpenFailurePermission:
        fprintf(stderr, "No permission to open the MURVO unit: install the udev rule 70-murvo.rules "
                        "(see README) and plug the unit in again\n");
        return;
    case OpenFailureError:
        fprintf(stderr, "The MURVO unit could not be opened: %s\n", libusb_strerror((libusb_error)libusbError));
        return;
    }
}

static OpenFailure FailureOf(int libusbError)
{
    switch (libusbError) {
    case LIBUSB_ERROR_ACCESS:
        return OpenFailurePermission;
    case LIBUSB_ERROR_BUSY:
        return OpenFailureBusy;
    case LIBUSB_ERROR_NO_DEVICE:
    case LIBUSB_ERROR_NOT_FOUND:
        return OpenFailureNotFound;
    default:
        return OpenFailureError;
    }
}

static bool IsBulk(const libusb_endpoint_descriptor *endpoint, unsigned direction)
{
    return (endpoint->bmAttributes & LIBUSB_TRANSFER_TYPE_MASK) == LIBUSB_TRANSFER_TYPE_BULK &&
           (endpoint->bEndpointAddress & LIBUSB_ENDPOINT_DIR_MASK) == direction;
}

/* Finds the unit's interface and its two pipes in the active configuration. */
static OpenFailure FindPipes(libusb_device *device, int *interfaceNumber)
{
    libusb_config_descriptor *config = NULL;
    int result = libusb_get_active_config_descriptor(device, &config);
    if (result != 0) {
        return FailureOf(result);
    }
    OpenFailure failure = OpenFailureNoPipes;
    if (config->bNumInterfaces > UNIT_INTERFACE_INDEX && config->interface[UNIT_INTERFACE_INDEX].num_altsetting > 0) {
        const libusb_interface_descriptor *setting = &config->interface[UNIT_INTERFACE_INDEX].altsetting[0];
        if (setting->bNumEndpoints >= 2 && IsBulk(&setting->endpoint[0], LIBUSB_ENDPOINT_IN) &&
            IsBulk(&setting->endpoint[1], LIBUSB_ENDPOINT_OUT)) {
            *interfaceNumber = setting->bInterfaceNumber;
            ReadEndpoint = setting->endpoint[0].bEndpointAddress;
            WriteEndpoint = setting->endpoint[1].bEndpointAddress;
            failure = OpenFailureNone;
        }
    }
    libusb_free_config_descriptor(config);
    return failure;
}

/* Opens one unit and claims its interface; on failure nothing of it stays open. */
static OpenFailure OpenUnit(libusb_device *device, int *libusbError)
{
    int interfaceNumber = 0;
    OpenFailure failure = FindPipes(device, &interfaceNumber);
    if (failure != OpenFailureNone) {
        return failure;
    }
    libusb_device_handle *handle = NULL;
    int result = libusb_open(device, &handle);
    /* The claim fails with LIBUSB_ERROR_BUSY when another program or a kernel driver holds
     * the interface: it is left to its holder, never detached. */
    if (result == 0) {
        result = libusb_claim_interface(handle, interfaceNumber);
    }
    if (result != 0) {
        if (handle != NULL) {
            libusb_close(handle);
        }
        *libusbError = result;
        return FailureOf(result);
    }
    UnitHandle = handle;
    ClaimedInterface = interfaceNumber;
    return OpenFailureNone;
}

bool OpenTransport(void)
{
    CloseTransport();
    int result = libusb_init(&UsbContext);
    if (result != 0) {
        UsbContext = NULL;
        ReportOpenFailure(OpenFailureError, result);
        return false;
    }
    libusb_device **devices = NULL;
    ssize_t count = libusb_get_device_list(UsbContext, &devices);
    OpenFailure worst = OpenFailureNotFound;
    int worstError = 0;
    UnitsFound = 0;
    /* The first unit that opens, in the order the system lists them; the rest are counted. */
    for (ssize_t index = 0; index < count; index++) {
        libusb_device_descriptor descriptor;
        if (libusb_get_device_descriptor(devices[index], &descriptor) != 0 ||
            descriptor.idVendor != MURVO_USB_VENDOR_ID || descriptor.idProduct != MURVO_USB_PRODUCT_ID) {
            continue;
        }
        UnitsFound++;
        if (UnitHandle != NULL) {
            continue;
        }
        int error = 0;
        OpenFailure failure = OpenUnit(devices[index], &error);
        if (failure > worst) {
            worst = failure;
            worstError = error;
        }
        if (UnitHandle != NULL) {
            snprintf(UnitName, sizeof UnitName, "bus %03u, address %03u",
                     (unsigned)libusb_get_bus_number(devices[index]),
                     (unsigned)libusb_get_device_address(devices[index]));
        }
    }
    if (count >= 0) { /* an empty list is allocated too */
        libusb_free_device_list(devices, 1);
    }
    if (UnitHandle == NULL) {
        ReportOpenFailure(count < 0 ? OpenFailureError : worst, count < 0 ? (int)count : worstError);
        CloseTransport();
        return false;
    }
    return true;
}

unsigned TransportUnitsFound(void) { return UnitsFound; }

const char *TransportUnitName(void) { return UnitName; }

void CloseTransport(void)
{
    if (UnitHandle != NULL) {
        if (ClaimedInterface >= 0) {
            libusb_release_interface(UnitHandle, ClaimedInterface);
        }
        libusb_close(UnitHandle);
        UnitHandle = NULL;
    }
    ClaimedInterface = -1;
    if (UsbContext != NULL) {
        libusb_exit(UsbContext);
        UsbContext = NULL;
    }
}

bool TransportWrite(const void *data, uint32_t length, uint32_t *count)
{
    const uint8_t *next = (const uint8_t *)data;
    uint32_t remaining = length;
    uint32_t total = 0;
    bool failed = UnitHandle == NULL && length > 0;
    while (remaining > 0 && !failed) {
        uint32_t chunk = remaining < WRITE_CHUNK ? remaining : WRITE_CHUNK;
        int written = 0;
        if (libusb_bulk_transfer(UnitHandle, WriteEndpoint, (unsigned char *)next, (int)chunk, &written,
                                 WRITE_TIMEOUT_MS) != 0 ||
            (uint32_t)written != chunk) {
            failed = true;
        }
        total += chunk;
        next += chunk;
        remaining -= chunk;
    }
    if (count != NULL) {
        *count = total;
    }
    return !failed;
}

bool TransportRead(void *buffer, uint32_t length, uint32_t extraMs, uint32_t *count)
{
    int got = 0;
    bool ok = false;
    if (UnitHandle != NULL) {
        /* On a time-out libusb has cancelled the transfer before it returns; clearing the
         * halt then resets the pipe, as the pipe reset does on Windows. */
        int result = libusb_bulk_transfer(UnitHandle, ReadEndpoint, (unsigned char *)buffer, (int)length, &got,
                                          TransportReadTimeout(length, extraMs));
        if (result == LIBUSB_ERROR_TIMEOUT) {
            libusb_clear_halt(UnitHandle, ReadEndpoint);
        }
        ok = result == 0 && (uint32_t)got == length;
    }
    if (count != NULL) {
        *count = (uint32_t)got;
    }
    return ok;
}
