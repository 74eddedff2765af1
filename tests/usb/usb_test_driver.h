/*
 * usb_test_driver.h - a small function driver for the tests of the USB bus stand-in, and
 * the fixture that plugs units beneath it.
 *
 * The driver attaches above each unit's physical device object and passes every request
 * down; the tests then talk to the bus through that stack exactly as a real function
 * driver would: URBs in IOCTL_INTERNAL_USB_SUBMIT_URB requests sent to the device below,
 * completion routines at DISPATCH_LEVEL, power requests through the power manager.
 */
#ifndef MURVO_TESTS_USB_USB_TEST_DRIVER_H
#define MURVO_TESTS_USB_USB_TEST_DRIVER_H

#include <gtest/gtest.h>

#include <vector>

#include "host/nt/host_kernel.h"
#include "host/usb/usb_bus.h"
#include "host/usb/usbdlib.h"

extern const HostDriverInfo UsbTestDriver;

/* The device below the test driver's device object of a plugged unit (the unit's PDO). */
PDEVICE_OBJECT UsbTestLowerDevice(HostUsbBus *bus, int port);

/* Sends a URB down and waits for it; returns the request's status. */
NTSTATUS UsbTestSubmit(PDEVICE_OBJECT lower, PURB urb);
/* Sends an internal control request without a URB (port status, port reset) and waits. */
NTSTATUS UsbTestInternalControl(PDEVICE_OBJECT lower, ULONG code, PVOID argument);

/* A URB sent down asynchronously in a request of the test's own. */
struct UsbTestTransfer {
    URB Urb;
    PIRP Irp;
    KEVENT Done;
    NTSTATUS Status;
    KIRQL CompletionIrql;
    std::vector<UCHAR> Data;
    PMDL Mdl;
    ULONG Order; /* position among all completions of the test run */
};

/* Fills a bulk transfer of length bytes on pipe (data taken from/to transfer->Data, which
 * is sized here; OUT data is the caller's to fill afterwards) through TransferBuffer, or
 * through an MDL when useMdl. */
void UsbTestPrepareBulk(UsbTestTransfer *transfer, USBD_PIPE_HANDLE pipe, bool in, ULONG length, bool shortOk,
                        bool useMdl = false);
/* Sends the transfer's URB; returns what IoCallDriver returned. Like a real function
 * driver, the test driver sends nothing once its device is being removed: the transfer is
 * then completed at once with STATUS_DELETE_PENDING (UsbTestSubmit and
 * UsbTestInternalControl return it). */
NTSTATUS UsbTestStart(PDEVICE_OBJECT lower, UsbTestTransfer *transfer);
/* The same without that guard: for tests of what the bus does with a driver's bug. */
NTSTATUS UsbTestStartUnguarded(PDEVICE_OBJECT lower, UsbTestTransfer *transfer);
/* Waits up to timeoutMs for its completion. */
bool UsbTestWait(UsbTestTransfer *transfer, ULONG timeoutMs = 5000);
bool UsbTestIsDone(UsbTestTransfer *transfer);
/* Frees the request and MDL (the transfer must have completed). */
void UsbTestRelease(UsbTestTransfer *transfer);

/* A selected configuration as the test sees it. */
struct UsbTestConfig {
    NTSTATUS Status;
    USBD_STATUS UrbStatus;
    USBD_CONFIGURATION_HANDLE Handle;
    std::vector<USBD_PIPE_INFORMATION> Pipes;
};

/* Reads the whole configuration descriptor, builds the request with the USBD library, sets
 * every pipe's MaximumTransferSize and selects it. */
UsbTestConfig UsbTestSelect(PDEVICE_OBJECT lower, ULONG maximumTransferSize);

/* Fixture: a bus, kernel reset and leak checks around each test. */
class UsbBusTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    /* Plugs a unit with the test driver on top; fails the test when it does not start. */
    int Plug(HostUsbUnitSettings settings);
    int PlugDefault(USB_DEVICE_SPEED speed = UsbFullSpeed);
    HostUsbUnitSettings Settings(USB_DEVICE_SPEED speed = UsbFullSpeed);

    HostUsbBus *bus = nullptr;
};

#endif /* MURVO_TESTS_USB_USB_TEST_DRIVER_H */
