/*
 * driver_harness.h - what the murvousb tests share: the driver as the plug-and-play manager
 * loads it, a spy device between the driver and the bus's physical device object, and a
 * fixture that plugs a simulated unit and checks at the end that nothing leaked.
 *
 * The spy passes every request on unless a test tells it otherwise: it records what the
 * driver sends down, can fail chosen requests, answer bulk transfers itself from a script,
 * or hold them until the test releases them.
 */
#ifndef MURVO_TESTS_DRIVER_DRIVER_HARNESS_H
#define MURVO_TESTS_DRIVER_DRIVER_HARNESS_H

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "driver/murvousb.h"
#include "host/nt/host_kernel.h"
#include "host/usb/usb_bus.h"

/* The driver as the tests load it: murvousb with the spy put beneath it at AddDevice. */
extern const HostDriverInfo MurvoTestDriver;
/* The spy on its own; its device objects sit between murvousb and the bus. */
extern const HostDriverInfo SpyDriver;

constexpr ULONG MurvoPoolTag = HOST_POOL_TAG('W', 'd', 'm', ' ');

/* One request that reached the spy from murvousb. */
struct SpyRecord {
    UCHAR Major;
    UCHAR Minor;
    ULONG IoControlCode;  /* internal device control */
    bool IsUrb;           /* an IOCTL_INTERNAL_USB_SUBMIT_URB request */
    USHORT UrbFunction;   /* its URB's function */
    UCHAR DescriptorType; /* for descriptor requests */
    ULONG TransferLength; /* TransferBufferLength as sent */
    USBD_PIPE_HANDLE PipeHandle;
    ULONG ConfigurationNull;                 /* select configuration with a null descriptor (unconfigure) */
    std::vector<ULONG> MaximumTransferSizes; /* select configuration: every pipe's size */
    POWER_STATE_TYPE PowerType;
    POWER_STATE PowerState;
    DEVICE_POWER_STATE RecordedAtArrival; /* murvousb's CurrentDevicePowerState when it arrived */
};

constexpr USHORT SpyAnyUrb = 0xFFFF;

/* A request the spy completes itself instead of passing it on. */
struct SpyFailure {
    UCHAR Major;          /* IRP_MJ_... */
    UCHAR Minor;          /* for PnP and power; 0xFF: any */
    ULONG IoControlCode;  /* for internal device control; 0: any */
    USHORT UrbFunction;   /* for URBs; SpyAnyUrb: any (URB_FUNCTION_SELECT_CONFIGURATION is 0) */
    UCHAR DescriptorType; /* for descriptor URBs; 0: any */
    ULONG Nth;            /* fail the Nth matching request (1 = the next); 0: every one */
    NTSTATUS IrpStatus;
    USBD_STATUS UrbStatus;
};

/* Turns the spy back to passing everything on and forgets its records. */
void SpyReset();
std::vector<SpyRecord> SpyLog();
void SpyClearLog();
void SpyAddFailure(const SpyFailure &failure);

/* Bulk transfers: answered by the spy from InData (reads) and into OutData (writes). Each
 * read takes at most the next entry of InLimits bytes (all it asks for once the list runs
 * out). */
void SpyAnswerTransfers(bool on);
void SpySetInData(const std::vector<UCHAR> &data, const std::vector<ULONG> &inLimits);
std::vector<UCHAR> SpyOutData();
/* Bulk transfers held pending (cancellable) until released. */
void SpyHoldTransfers(bool on);
/* Bulk transfers held pending without a cancel routine (IoCancelIrp fails on them) until
 * released, or until their pipe is aborted, which ends them cancelled. */
void SpyHoldTransfersRefusingCancel(bool on);
ULONG SpyHeldCount();
/* Completes every held transfer with Status, reporting all of its bytes as moved on success. */
void SpyReleaseHeld(NTSTATUS status);
/* When a held transfer is cancelled, the next held one is answered from InData before its
 * own cancel can come, as the unit's data arriving at that moment would be. */
void SpyAnswerHeldOnCancel(bool on);
/* Device set-power requests for D0 are passed on only after this many milliseconds. */
void SpyDelayPowerUp(ULONG milliseconds);
/* Plug-and-play requests of this minor function are pended and passed on from another thread
 * after this many milliseconds (0: at once, as the bus driver answers them). */
void SpyDelayPnp(UCHAR minor, ULONG milliseconds);
/* A physical device object of the spy driver with no unit behind it: it accepts start,
 * capability and removal requests and refuses the rest (every URB). The test deletes it. */
PDEVICE_OBJECT SpyCreateFakePdo();
/* murvousb's device object of the unit plugged last (set once its AddDevice succeeded). */
PDEVICE_OBJECT SpyFunctionDevice();
/* Called for each request as it reaches the spy (from the sending thread). */
void SpySetHook(std::function<void(PIRP)> hook);

/* The unit's settings as the tests start from: the default unit at full speed, driven by
 * MurvoTestDriver. */
HostUsbUnitSettings UnitSettings();

/* A descriptor set whose configuration descriptor is exactly TotalLength bytes long: the
 * unit's own set padded with a vendor-specific descriptor. */
UsbDescriptorSet DescriptorsOfLength(uint32_t totalLength);

/* Path of the Index-th enabled murvousb interface, or empty. */
std::u16string InterfacePath(ULONG index = 0);

/* An overlapped request and its completion. */
struct Pending {
    KEVENT Done;
    HostAsyncIo Io{};
    Pending()
    {
        KeInitializeEvent(&Done, NotificationEvent, FALSE);
        Io.Event = &Done;
    }
    void Wait() { KeWaitForSingleObject(&Done, Executive, KernelMode, FALSE, nullptr); }
    bool Completed() { return KeReadStateEvent(&Done) != 0; }
};

/* A murvousb test: a bus, one user process and the checks at the end. */
class DriverTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    /* Plugs a unit; returns the start status. */
    NTSTATUS Plug(const HostUsbUnitSettings &settings);
    NTSTATUS Plug() { return Plug(UnitSettings()); }
    PDEVICE_OBJECT Fdo();
    DeviceExtension *Ext() { return ExtensionOf(Fdo()); }
    HostDeviceNode *Node() { return HostUsbUnitNode(bus, port); }

    /* Opens the interface path followed by Suffix; returns the status, File set on success. */
    NTSTATUS Open(const std::u16string &suffix, HostFile **file);
    HostFile *OpenOk(const std::u16string &suffix);
    /* Unplugs the unit, closes the given files and waits until the device object is gone. */
    void UnplugAndWait();
    /* Waits until Predicate holds (polling), at most two seconds. */
    static bool WaitFor(const std::function<bool()> &predicate);

    HostUsbBus *bus = nullptr;
    HostProcess *process = nullptr;
    int port = 0;
    PDEVICE_OBJECT fdo = nullptr;
};

#endif /* MURVO_TESTS_DRIVER_DRIVER_HARNESS_H */
