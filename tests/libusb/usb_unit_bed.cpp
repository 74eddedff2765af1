/*
 * usb_unit_bed.cpp - the emulated USB bus of the libusb tests: sysfs entries through
 * umockdev, and the usbfs ioctls of each unit's node answered the way the Linux kernel
 * answers them, with the bulk endpoints wired to the simulated unit's firmware.
 */
#include "tests/libusb/usb_unit_bed.h"

#include "common/murvo_public.h"

#include <errno.h>
#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <umockdev.h>

#include <algorithm>
#include <chrono>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#define BED_MAX_UNITS 8

/* One submitted URB, with the client's memory it points to resolved. */
struct BedUrb {
    UMockdevIoctlData *Urb;      /* struct usbdevfs_urb */
    UMockdevIoctlData *Buffer;   /* its buffer; NULL for length 0 */
    UMockdevIoctlClient *Client; /* the program that submitted it (its identity only) */
};

struct BedUnit {
    std::mutex Lock; /* guards everything below; the ioctl thread and the test share it */
    SimUnit *Firmware = NULL;
    BedUnitQuirks Quirks;
    std::string DevNode;
    UMockdevIoctlBase *Handler = NULL;
    bool Gone = false;
    BedUnitCounts Counts = {};
    std::deque<BedUrb> PendingIn;                    /* IN URBs waiting for reply bytes */
    std::chrono::steady_clock::time_point HeldUntil; /* a "delay" fault holds the replies back until then */
    std::deque<BedUrb> Reapable;                     /* completed URBs, oldest first */
};

static UMockdevTestbed *Testbed;
static std::mutex UnitsLock; /* guards Units and UnitCount against umockdev's thread (OnClientGone) */
static BedUnit *Units[BED_MAX_UNITS];
static int UnitCount;

/* umockdev_in_mock_environment() answers 0 here even under umockdev-wrapper (umockdev
 * 0.17.16), so the preload list itself is what tells. */
static bool PreloadActive(void)
{
    const char *preload = getenv("LD_PRELOAD");
    return preload != NULL && strstr(preload, "libumockdev-preload.so") != NULL;
}

void UsbUnitBedEnsurePreload(int argc, char **argv)
{
    (void)argc;
    if (PreloadActive()) {
        return;
    }
    std::string preload = "libumockdev-preload.so.0";
    const char *existing = getenv("LD_PRELOAD");
    if (existing != NULL && existing[0] != '\0') {
        preload += std::string(":") + existing;
    }
    setenv("LD_PRELOAD", preload.c_str(), 1);
    /* Under the address sanitizer the preload library comes before the sanitizer's runtime;
     * the two do not overlap, so the link-order check is switched off. */
    const char *asan = getenv("ASAN_OPTIONS");
    std::string asanOptions =
        std::string(asan != NULL ? asan : "") + (asan != NULL && asan[0] ? ":" : "") + "verify_asan_link_order=0";
    setenv("ASAN_OPTIONS", asanOptions.c_str(), 1);
    execv("/proc/self/exe", argv);
    perror("usb_unit_bed: re-executing under umockdev's preload library");
    exit(1);
}

static void FreeUrb(BedUrb &urb)
{
    if (urb.Buffer != NULL) {
        g_object_unref(urb.Buffer);
    }
    g_object_unref(urb.Urb);
}

static usbdevfs_urb *UrbOf(const BedUrb &urb) { return (usbdevfs_urb *)urb.Urb->data; }

/* Finishes a URB with status and length; it waits to be reaped. Caller holds the lock. */
static void CompleteUrb(BedUnit *unit, BedUrb urb, int status, int actualLength)
{
    UrbOf(urb)->status = status;
    UrbOf(urb)->actual_length = actualLength;
    unit->Reapable.push_back(urb);
}

/* Hands waiting reply bytes to pending IN URBs: each takes what is there, up to its length,
 * as a transfer ending in a short packet does. Caller holds the lock. */
static void FeedPendingIn(BedUnit *unit)
{
    if (std::chrono::steady_clock::now() < unit->HeldUntil) {
        return;
    }
    while (!unit->PendingIn.empty() && SimUnitReplyPending(unit->Firmware) > 0) {
        BedUrb urb = unit->PendingIn.front();
        unit->PendingIn.pop_front();
        size_t length = (size_t)UrbOf(urb)->buffer_length;
        size_t got = SimUnitTakeReply(unit->Firmware, urb.Buffer != NULL ? urb.Buffer->data : NULL, length);
        CompleteUrb(unit, urb, 0, (int)got);
    }
}

/* The unit drops off the bus: every later request on its node fails with ENODEV and its
 * URBs are never reaped, as usbfs does after a disconnect. Caller holds the lock. */
static void UnplugLocked(BedUnit *unit)
{
    unit->Gone = true;
    for (BedUrb &urb : unit->PendingIn) {
        FreeUrb(urb);
    }
    unit->PendingIn.clear();
    for (BedUrb &urb : unit->Reapable) {
        FreeUrb(urb);
    }
    unit->Reapable.clear();
}

static int SubmitUrb(BedUnit *unit, UMockdevIoctlData *arg, UMockdevIoctlClient *client)
{
    GError *error = NULL;
    UMockdevIoctlData *urbData = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_urb), &error);
    if (urbData == NULL) {
        g_clear_error(&error);
        return EFAULT;
    }
    BedUrb urb = {urbData, NULL, client};
    usbdevfs_urb *header = UrbOf(urb);
    if (header->type != USBDEVFS_URB_TYPE_BULK ||
        (header->endpoint != BED_IN_ENDPOINT && header->endpoint != BED_OUT_ENDPOINT) || header->buffer_length < 0) {
        FreeUrb(urb);
        return EINVAL;
    }
    if (header->buffer_length > 0) {
        urb.Buffer =
            umockdev_ioctl_data_resolve(urbData, offsetof(usbdevfs_urb, buffer), (gsize)header->buffer_length, &error);
        if (urb.Buffer == NULL) {
            g_clear_error(&error);
            FreeUrb(urb);
            return EFAULT;
        }
    }
    header = UrbOf(urb);
    if (header->endpoint == BED_OUT_ENDPOINT) {
        unit->Counts.OutUrbs++;
        if ((uint32_t)header->buffer_length > unit->Counts.LargestOutUrb) {
            unit->Counts.LargestOutUrb = (uint32_t)header->buffer_length;
        }
        if (header->buffer_length > 0) {
            SimUnitReceive(unit->Firmware, urb.Buffer->data, (size_t)header->buffer_length);
        }
        /* Of the bus faults the unplug and the delay are modelled; the others leave the reply
         * as it is. A delayed reply is the unit still at work: it holds back what follows too. */
        SimFault fault;
        bool faulted = SimUnitTakeBusFault(unit->Firmware, &fault);
        if (faulted && fault.Kind == SimFaultUnplug) {
            FreeUrb(urb);
            UnplugLocked(unit);
            return ENODEV;
        }
        if (faulted && fault.Kind == SimFaultDelay) {
            unit->HeldUntil = std::chrono::steady_clock::now() + std::chrono::milliseconds(fault.Value);
        }
        CompleteUrb(unit, urb, 0, header->buffer_length);
    } else {
        unit->Counts.InUrbs++;
        unit->PendingIn.push_back(urb);
    }
    FeedPendingIn(unit);
    return 0;
}

/* A program discards and reaps only URBs it submitted itself (usbfs keeps them per open file). */
static int DiscardUrb(BedUnit *unit, UMockdevIoctlData *arg, UMockdevIoctlClient *client)
{
    gulong address = 0;
    memcpy(&address, arg->data, sizeof address < (size_t)arg->data_len ? sizeof address : (size_t)arg->data_len);
    for (auto it = unit->PendingIn.begin(); it != unit->PendingIn.end(); ++it) {
        if (it->Client == client && it->Urb->client_addr == address) {
            BedUrb urb = *it;
            unit->PendingIn.erase(it);
            unit->Counts.InDiscards++;
            CompleteUrb(unit, urb, -ECONNRESET, 0); /* usbfs unlinks it asynchronously */
            return 0;
        }
    }
    return EINVAL; /* already completed: usbfs has nothing left to discard */
}

static int ReapUrb(BedUnit *unit, UMockdevIoctlData *arg, UMockdevIoctlClient *client)
{
    FeedPendingIn(unit); /* a held reply may be due: libusb reaps in a loop while it waits */
    auto own = std::find_if(unit->Reapable.begin(), unit->Reapable.end(),
                            [client](const BedUrb &urb) { return urb.Client == client; });
    if (own == unit->Reapable.end()) {
        return EAGAIN;
    }
    /* The argument points to the caller's URB pointer, which receives the reaped URB. */
    GError *error = NULL;
    UMockdevIoctlData *slot = umockdev_ioctl_data_resolve(arg, 0, sizeof(void *), &error);
    if (slot == NULL) {
        g_clear_error(&error);
        return EFAULT;
    }
    BedUrb urb = *own;
    unit->Reapable.erase(own);
    umockdev_ioctl_data_set_ptr(slot, 0, urb.Urb);
    g_object_unref(slot);
    FreeUrb(urb);
    return 0;
}

/* Reads the unsigned int an ioctl's argument points to. */
static bool ReadUint(UMockdevIoctlData *arg, unsigned *value)
{
    GError *error = NULL;
    UMockdevIoctlData *data = umockdev_ioctl_data_resolve(arg, 0, sizeof(unsigned), &error);
    if (data == NULL) {
        g_clear_error(&error);
        return false;
    }
    memcpy(value, data->data, sizeof *value);
    g_object_unref(data);
    return true;
}

/* One usbfs request; returns 0 or the errno the kernel would give. */
static int HandleRequest(BedUnit *unit, gulong request, UMockdevIoctlData *arg, UMockdevIoctlClient *client)
{
    if (unit->Gone) {
        return ENODEV;
    }
    GError *error = NULL;
    unsigned value = 0;
    switch (request) {
    case USBDEVFS_GET_CAPABILITIES: {
        UMockdevIoctlData *data = umockdev_ioctl_data_resolve(arg, 0, sizeof(__u32), &error);
        if (data == NULL) {
            g_clear_error(&error);
            return EFAULT;
        }
        __u32 caps = USBDEVFS_CAP_BULK_CONTINUATION | USBDEVFS_CAP_NO_PACKET_SIZE_LIM;
        memcpy(data->data, &caps, sizeof caps);
        g_object_unref(data);
        return 0;
    }
    case USBDEVFS_GETDRIVER: {
        if (!unit->Quirks.KernelDriver) {
            return ENODATA;
        }
        UMockdevIoctlData *data = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_getdriver), &error);
        if (data == NULL) {
            g_clear_error(&error);
            return EFAULT;
        }
        usbdevfs_getdriver *driver = (usbdevfs_getdriver *)data->data;
        snprintf(driver->driver, sizeof driver->driver, "%s", "usbserial_generic");
        g_object_unref(data);
        return 0;
    }
    case USBDEVFS_CLAIMINTERFACE:
        if (!ReadUint(arg, &value)) {
            return EFAULT;
        }
        if (value != 0) {
            return ENOENT;
        }
        if (unit->Quirks.ClaimBusy || unit->Quirks.KernelDriver) {
            return EBUSY;
        }
        unit->Counts.Claims++;
        return 0;
    case USBDEVFS_RELEASEINTERFACE:
        if (!ReadUint(arg, &value)) {
            return EFAULT;
        }
        unit->Counts.Releases++;
        return value == 0 ? 0 : EINVAL;
    case USBDEVFS_SUBMITURB:
        return SubmitUrb(unit, arg, client);
    case USBDEVFS_DISCARDURB:
        return DiscardUrb(unit, arg, client);
    case USBDEVFS_REAPURBNDELAY:
        return ReapUrb(unit, arg, client);
    case USBDEVFS_CLEAR_HALT:
        if (!ReadUint(arg, &value)) {
            return EFAULT;
        }
        if (value == BED_IN_ENDPOINT) {
            unit->Counts.InClearHalts++;
        }
        return value == BED_IN_ENDPOINT || value == BED_OUT_ENDPOINT ? 0 : EINVAL;
    default:
        unit->Counts.UnknownIoctls++;
        fprintf(stderr, "usb_unit_bed: usbfs request 0x%lX is not modelled\n", (unsigned long)request);
        return ENOTTY;
    }
}

static gboolean OnIoctl(UMockdevIoctlBase *handler, UMockdevIoctlClient *client, gpointer userData)
{
    (void)handler;
    BedUnit *unit = (BedUnit *)userData;
    gulong request = umockdev_ioctl_client_get_request(client);
    UMockdevIoctlData *arg = umockdev_ioctl_client_get_arg(client);
    int error;
    {
        std::lock_guard<std::mutex> hold(unit->Lock);
        error = HandleRequest(unit, request, arg, client);
    }
    umockdev_ioctl_client_complete(client, error == 0 ? 0 : -1, error);
    return TRUE;
}

/* A program's node closes (it ended, or was killed): usbfs kills the URBs it left, so none
 * of them takes a reply meant for the next program, nor is reaped by it. umockdev 0.17.16
 * declares a "client-vanished" signal but never emits it; what does tell is the end of the
 * client object, which umockdev lets go once the program's end of the socket is gone (its
 * read of the next request ends, or its last answer cannot be sent). Runs on umockdev's
 * thread; a program started right after a kill may come first, which the tests leave time
 * against. */
static void OnClientGone(gpointer data, GObject *client)
{
    (void)data;
    std::lock_guard<std::mutex> units(UnitsLock);
    for (int index = 0; index < UnitCount; index++) {
        BedUnit *unit = Units[index];
        std::lock_guard<std::mutex> hold(unit->Lock);
        for (std::deque<BedUrb> *urbs : {&unit->PendingIn, &unit->Reapable}) {
            for (auto it = urbs->begin(); it != urbs->end();) {
                if ((GObject *)it->Client == client) {
                    FreeUrb(*it);
                    it = urbs->erase(it);
                } else {
                    ++it;
                }
            }
        }
    }
}

static void OnClientConnected(UMockdevIoctlBase *handler, UMockdevIoctlClient *client, gpointer userData)
{
    (void)handler;
    (void)userData;
    g_object_weak_ref(G_OBJECT(client), OnClientGone, NULL);
}

/* The descriptors file of sysfs: the device descriptor, then the configuration's. */
static std::vector<uint8_t> UnitDescriptors(const BedUnitQuirks &quirks)
{
    uint8_t first = quirks.SwappedEndpoints ? BED_OUT_ENDPOINT : BED_IN_ENDPOINT;
    uint8_t second = quirks.SwappedEndpoints ? BED_IN_ENDPOINT : BED_OUT_ENDPOINT;
    return {
        18,
        1,
        0x00,
        0x02,
        0xFF,
        0x00,
        0x00,
        64,
        (uint8_t)(MURVO_USB_VENDOR_ID & 0xFF),
        (uint8_t)(MURVO_USB_VENDOR_ID >> 8),
        (uint8_t)(MURVO_USB_PRODUCT_ID & 0xFF),
        (uint8_t)(MURVO_USB_PRODUCT_ID >> 8),
        0x00,
        0x01,
        0,
        0,
        0,
        1,
        9,
        2,
        32,
        0,
        1,
        1,
        0,
        0x80,
        50,
        9,
        4,
        0,
        0,
        2,
        0xFF,
        0x00,
        0x00,
        0,
        7,
        5,
        first,
        0x02,
        BED_MAX_PACKET,
        0,
        0,
        7,
        5,
        second,
        0x02,
        BED_MAX_PACKET,
        0,
        0,
    };
}

bool UsbUnitBedStart(void)
{
    if (!PreloadActive()) {
        fprintf(stderr, "usb_unit_bed: not running under umockdev's preload library\n");
        return false;
    }
    Testbed = umockdev_testbed_new();
    return Testbed != NULL;
}

int UsbUnitBedPlug(const SimConfig *config, const BedUnitQuirks &quirks)
{
    if (Testbed == NULL || UnitCount == BED_MAX_UNITS) {
        return -1;
    }
    char error[256];
    SimUnit *firmware = SimUnitCreate(config, error, sizeof error);
    if (firmware == NULL) {
        fprintf(stderr, "usb_unit_bed: %s\n", error);
        return -1;
    }
    int index = UnitCount;
    char devNode[64];
    snprintf(devNode, sizeof devNode, "/dev/bus/usb/001/%03d", index + 2);
    /* The unit as umockdev-record describes a device: path, node, udev properties, sysfs
     * attributes (H: in hexadecimal), with the node as libusb looks for it. */
    std::string description;
    char line[160];
    snprintf(line, sizeof line, "P: /devices/pci0000:00/0000:00:14.0/usb1/1-%d\nN: bus/usb/001/%03d\n", index + 1,
             index + 2);
    description += line;
    snprintf(line, sizeof line, "E: DEVNAME=%s\nE: DEVTYPE=usb_device\nE: SUBSYSTEM=usb\n", devNode);
    description += line;
    snprintf(line, sizeof line, "E: BUSNUM=001\nE: DEVNUM=%03d\nA: busnum=1\\n\nA: devnum=%d\\n\n", index + 2,
             index + 2);
    description += line;
    snprintf(line, sizeof line,
             "A: speed=12\\n\nA: bConfigurationValue=1\\n\nA: idVendor=%04x\\n\nA: idProduct=%04x\\n\n",
             MURVO_USB_VENDOR_ID, MURVO_USB_PRODUCT_ID);
    description += line;
    description += "H: descriptors=";
    for (uint8_t byte : UnitDescriptors(quirks)) {
        snprintf(line, sizeof line, "%02X", byte);
        description += line;
    }
    description += "\n";
    GError *gerror = NULL;
    if (!umockdev_testbed_add_from_string(Testbed, description.c_str(), &gerror)) {
        fprintf(stderr, "usb_unit_bed: adding the unit: %s\n", gerror != NULL ? gerror->message : "?");
        g_clear_error(&gerror);
        SimUnitDestroy(firmware);
        return -1;
    }

    BedUnit *unit = new BedUnit();
    unit->Firmware = firmware;
    unit->Quirks = quirks;
    unit->DevNode = devNode;
    unit->Handler = umockdev_ioctl_base_new();
    g_signal_connect(unit->Handler, "handle-ioctl", G_CALLBACK(OnIoctl), unit);
    g_signal_connect(unit->Handler, "client-connected", G_CALLBACK(OnClientConnected), unit);
    if (!umockdev_testbed_attach_ioctl(Testbed, devNode, unit->Handler, &gerror)) {
        fprintf(stderr, "usb_unit_bed: attaching the ioctl handler to %s: %s\n", devNode,
                gerror != NULL ? gerror->message : "?");
        g_clear_error(&gerror);
        g_object_unref(unit->Handler);
        SimUnitDestroy(firmware);
        delete unit;
        return -1;
    }
    {
        std::lock_guard<std::mutex> units(UnitsLock);
        Units[UnitCount++] = unit;
    }
    return index;
}

static BedUnit *UnitAt(int index) { return index >= 0 && index < UnitCount ? Units[index] : NULL; }

SimUnit *UsbUnitBedUnit(int index)
{
    BedUnit *unit = UnitAt(index);
    return unit != NULL ? unit->Firmware : NULL;
}

BedUnitCounts UsbUnitBedCounts(int index)
{
    BedUnit *unit = UnitAt(index);
    if (unit == NULL) {
        return BedUnitCounts();
    }
    std::lock_guard<std::mutex> hold(unit->Lock);
    return unit->Counts;
}

bool UsbUnitBedUnplugged(int index)
{
    BedUnit *unit = UnitAt(index);
    if (unit == NULL) {
        return false;
    }
    std::lock_guard<std::mutex> hold(unit->Lock);
    return unit->Gone;
}

bool UsbUnitBedDenyWriteAccess(int index)
{
    BedUnit *unit = UnitAt(index);
    if (unit == NULL) {
        return false;
    }
    gchar *root = umockdev_testbed_get_root_dir(Testbed);
    std::string node = std::string(root) + unit->DevNode;
    std::string socket = std::string(root) + "/ioctl" + unit->DevNode;
    bool ok = chmod(root, 0777) == 0 && chmod(node.c_str(), 0444) == 0 && chmod(socket.c_str(), 0777) == 0;
    g_free(root);
    return ok;
}

void UsbUnitBedStop(void)
{
    /* Out of the table first, under the lock OnClientGone holds while it looks at a unit;
     * umockdev's thread is not waited for while it is held. */
    BedUnit *stopping[BED_MAX_UNITS];
    int count;
    {
        std::lock_guard<std::mutex> units(UnitsLock);
        count = UnitCount;
        for (int index = 0; index < count; index++) {
            stopping[index] = Units[index];
            Units[index] = NULL;
        }
        UnitCount = 0;
    }
    for (int index = 0; index < count; index++) {
        BedUnit *unit = stopping[index];
        umockdev_testbed_detach_ioctl(Testbed, unit->DevNode.c_str(), NULL);
        g_object_unref(unit->Handler);
        {
            std::lock_guard<std::mutex> hold(unit->Lock);
            UnplugLocked(unit);
        }
        SimUnitDestroy(unit->Firmware);
        delete unit;
    }
    if (Testbed != NULL) {
        g_object_unref(Testbed);
        Testbed = NULL;
    }
}
