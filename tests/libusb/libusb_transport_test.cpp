/*
 * libusb_transport_test.cpp - the libusb transport through real libusb, against simulated
 * units on the bus umockdev emulates.
 */
#include "common/murvo_public.h"
#include "tests/libusb/usb_unit_bed.h"
#include "tool/transport.h"

#include <gtest/gtest.h>
#include <libusb.h>

#include <chrono>
#include <string>
#include <vector>

namespace {

/* Every test starts with an empty bus and ends with the transport closed. */
class LibusbTransportTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(UsbUnitBedStart()); }
    void TearDown() override
    {
        CloseTransport();
        UsbUnitBedStop();
    }

    static SimConfig Config(const char *faults = NULL)
    {
        SimConfig config;
        SimConfigDefaults(&config);
        config.FlashSize = 0x40000;
        config.BlockCount = 32;
        char error[256];
        if (faults != NULL) {
            EXPECT_TRUE(SimParseFaults(faults, &config, error, sizeof error)) << error;
        }
        return config;
    }

    static int Plug(const char *faults = NULL, const BedUnitQuirks &quirks = BedUnitQuirks())
    {
        SimConfig config = Config(faults);
        return UsbUnitBedPlug(&config, quirks);
    }

    /* A GetOsVersion request: its code and two zero bytes. */
    static std::vector<uint8_t> OsVersionRequest()
    {
        std::vector<uint8_t> request(SimCommandRequestLength(SimGetOsVersion), 0);
        request[0] = SimGetOsVersion;
        return request;
    }
};

/* umockdev's usbfs emulation works here: libusb lists the unit with its descriptors and
 * reaches the bed's ioctl handler on its node. */
TEST_F(LibusbTransportTest, UmockdevEmulatesTheUnitForLibusb)
{
    ASSERT_EQ(Plug(), 0);
    libusb_context *context = NULL;
    ASSERT_EQ(libusb_init(&context), 0);
    libusb_device_handle *handle = libusb_open_device_with_vid_pid(context, MURVO_USB_VENDOR_ID, MURVO_USB_PRODUCT_ID);
    ASSERT_NE(handle, nullptr) << "libusb does not see the emulated unit";
    libusb_config_descriptor *config = NULL;
    ASSERT_EQ(libusb_get_active_config_descriptor(libusb_get_device(handle), &config), 0);
    EXPECT_EQ(config->interface[0].altsetting[0].bNumEndpoints, 2);
    libusb_free_config_descriptor(config);
    EXPECT_EQ(libusb_claim_interface(handle, 0), 0);
    EXPECT_EQ(UsbUnitBedCounts(0).Claims, 1u);
    libusb_close(handle);
    libusb_exit(context);
}

TEST_F(LibusbTransportTest, CarriesARequestAndItsReply)
{
    ASSERT_EQ(Plug(), 0);
    ASSERT_TRUE(OpenTransport());
    std::vector<uint8_t> request = OsVersionRequest();
    uint32_t count = 0;
    ASSERT_TRUE(TransportWrite(request.data(), (uint32_t)request.size(), &count));
    EXPECT_EQ(count, request.size());
    std::vector<uint8_t> reply(SimCommandReplyLength(SimGetOsVersion));
    ASSERT_TRUE(TransportRead(reply.data(), (uint32_t)reply.size(), 0, &count));
    EXPECT_EQ(count, reply.size());
    EXPECT_EQ(SimUnitCommandCount(UsbUnitBedUnit(0), SimGetOsVersion), 1u);
    EXPECT_EQ(reply[0], SimGetOsVersion);
    EXPECT_EQ(reply[reply.size() - 1], 0x80); /* the OS version's top byte: ready for an upgrade */
}

/* Writes go out in bulk transfers of at most 4096 bytes, and every byte reaches the unit. */
TEST_F(LibusbTransportTest, WritesInChunksOfAtMost4096Bytes)
{
    ASSERT_EQ(Plug(), 0);
    ASSERT_TRUE(OpenTransport());
    /* 200 DisplayText requests back to back: 200 * 44 bytes, three chunks. */
    const size_t one = SimCommandRequestLength(SimDisplayText);
    std::vector<uint8_t> requests(200 * one, 0);
    for (size_t offset = 0; offset < requests.size(); offset += one) {
        requests[offset] = SimDisplayText;
        requests[offset + 4] = 'A' + (uint8_t)(offset / one % 26);
    }
    uint32_t count = 0;
    ASSERT_TRUE(TransportWrite(requests.data(), (uint32_t)requests.size(), &count));
    EXPECT_EQ(count, requests.size());
    BedUnitCounts counts = UsbUnitBedCounts(0);
    EXPECT_EQ(counts.OutUrbs, (requests.size() + 4095) / 4096);
    EXPECT_EQ(counts.LargestOutUrb, 4096u);
    EXPECT_EQ(SimUnitDisplayCount(UsbUnitBedUnit(0)), 200u);
    char last[41];
    SimUnitDisplay(UsbUnitBedUnit(0), last);
    EXPECT_STREQ(last, "R"); /* request 199: 'A' + 199 % 26 */
}

/* A unit that does not answer: the read gives up after the time-out, the pending transfer
 * is cancelled and the read pipe's halt cleared; the pipe then carries the next reply. */
TEST_F(LibusbTransportTest, ReadTimeOutCancelsAndClearsTheHalt)
{
    ASSERT_EQ(Plug("noreply:GetOsVersion:1"), 0);
    ASSERT_TRUE(OpenTransport());
    std::vector<uint8_t> request = OsVersionRequest();
    std::vector<uint8_t> reply(SimCommandReplyLength(SimGetOsVersion));
    ASSERT_TRUE(TransportWrite(request.data(), (uint32_t)request.size(), NULL));
    auto start = std::chrono::steady_clock::now();
    uint32_t count = 99;
    EXPECT_FALSE(TransportRead(reply.data(), (uint32_t)reply.size(), 300, &count));
    long elapsedMs =
        (long)std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(count, 0u);
    EXPECT_GE(elapsedMs, 2300); /* max(8 / 20, 2000) + 300 */
    EXPECT_LT(elapsedMs, 4000);
    BedUnitCounts counts = UsbUnitBedCounts(0);
    EXPECT_EQ(counts.InDiscards, 2u); /* the end of the open's drain, and the time-out */
    EXPECT_EQ(counts.InClearHalts, 1u);

    ASSERT_TRUE(TransportWrite(request.data(), (uint32_t)request.size(), NULL));
    EXPECT_TRUE(TransportRead(reply.data(), (uint32_t)reply.size(), 0, &count));
    EXPECT_EQ(count, reply.size());
    EXPECT_EQ(UsbUnitBedCounts(0).InClearHalts, 1u); /* only after a time-out */
}

/* A reply one byte short is a failed read that reports the bytes that came. */
TEST_F(LibusbTransportTest, ShortReplyFailsTheRead)
{
    ASSERT_EQ(Plug("short:GetOsVersion:1"), 0);
    ASSERT_TRUE(OpenTransport());
    std::vector<uint8_t> request = OsVersionRequest();
    std::vector<uint8_t> reply(SimCommandReplyLength(SimGetOsVersion));
    ASSERT_TRUE(TransportWrite(request.data(), (uint32_t)request.size(), NULL));
    uint32_t count = 0;
    EXPECT_FALSE(TransportRead(reply.data(), (uint32_t)reply.size(), 0, &count));
    EXPECT_EQ(count, reply.size() - 1);
    EXPECT_EQ(UsbUnitBedCounts(0).InClearHalts, 0u);
}

/* A unit unplugged under the transport: writes and reads fail instead of hanging. */
TEST_F(LibusbTransportTest, UnpluggedUnitFailsWritesAndReads)
{
    ASSERT_EQ(Plug("unplug:GetFlashInfo:1"), 0);
    ASSERT_TRUE(OpenTransport());
    std::vector<uint8_t> request(SimCommandRequestLength(SimGetFlashInfo), 0);
    request[0] = SimGetFlashInfo;
    EXPECT_FALSE(TransportWrite(request.data(), (uint32_t)request.size(), NULL));
    EXPECT_TRUE(UsbUnitBedUnplugged(0));
    std::vector<uint8_t> reply(SimCommandReplyLength(SimGetFlashInfo));
    EXPECT_FALSE(TransportRead(reply.data(), (uint32_t)reply.size(), 0, NULL));
    CloseTransport();
}

/* Why the unit could not be opened, in one line on the error stream; nothing stays open. */
TEST_F(LibusbTransportTest, OpenFailuresSayWhy)
{
    struct Case {
        const char *Name;
        bool Plugged;
        BedUnitQuirks Quirks;
        const char *Expected;
    };
    BedUnitQuirks busy, driver, swapped;
    busy.ClaimBusy = true;
    driver.KernelDriver = true;
    swapped.SwappedEndpoints = true;
    const Case cases[] = {
        {"no unit", false, BedUnitQuirks(), "No MURVO unit found on USB (vendor 0xFFFF, product 0x0001)\n"},
        {"claimed by another program", true, busy,
         "The MURVO unit is busy: another program or a kernel driver holds it\n"},
        {"bound to a kernel driver", true, driver,
         "The MURVO unit is busy: another program or a kernel driver holds it\n"},
        {"pipes in the wrong order", true, swapped, "The MURVO unit's interface does not have its two bulk pipes\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.Name);
        UsbUnitBedStop();
        ASSERT_TRUE(UsbUnitBedStart());
        if (c.Plugged) {
            ASSERT_EQ(Plug(NULL, c.Quirks), 0);
        }
        testing::internal::CaptureStderr();
        bool opened = OpenTransport();
        std::string err = testing::internal::GetCapturedStderr();
        EXPECT_FALSE(opened);
        EXPECT_EQ(err, c.Expected);
        EXPECT_EQ(UsbUnitBedCounts(0).Claims, 0u);
        uint8_t byte = 0;
        EXPECT_FALSE(TransportWrite(&byte, 1, NULL)); /* nothing open */
    }
}

/* Two units: one carries the requests, the other is left alone (libusb's order decides
 * which, as the system's interface order does on Windows). A unit that cannot be opened is
 * passed over for the next, in either order. Closing releases the interface. */
TEST_F(LibusbTransportTest, TwoUnitsTheFirstThatOpens)
{
    ASSERT_EQ(Plug(), 0);
    ASSERT_EQ(Plug(), 1);
    std::vector<uint8_t> request = OsVersionRequest();
    ASSERT_TRUE(OpenTransport());
    ASSERT_TRUE(TransportWrite(request.data(), (uint32_t)request.size(), NULL));
    uint32_t first = SimUnitCommandCount(UsbUnitBedUnit(0), SimGetOsVersion);
    uint32_t second = SimUnitCommandCount(UsbUnitBedUnit(1), SimGetOsVersion);
    EXPECT_EQ(first + second, 1u);
    int used = first == 1 ? 0 : 1;
    EXPECT_EQ(UsbUnitBedCounts(used).Claims, 1u);
    EXPECT_EQ(UsbUnitBedCounts(1 - used).Claims, 0u);
    CloseTransport();
    EXPECT_EQ(UsbUnitBedCounts(used).Releases, 1u);

    for (int busyIndex = 0; busyIndex < 2; busyIndex++) {
        SCOPED_TRACE(busyIndex);
        UsbUnitBedStop();
        ASSERT_TRUE(UsbUnitBedStart());
        BedUnitQuirks busy;
        busy.ClaimBusy = true;
        for (int index = 0; index < 2; index++) {
            ASSERT_EQ(Plug(NULL, index == busyIndex ? busy : BedUnitQuirks()), index);
        }
        ASSERT_TRUE(OpenTransport());
        ASSERT_TRUE(TransportWrite(request.data(), (uint32_t)request.size(), NULL));
        EXPECT_EQ(SimUnitCommandCount(UsbUnitBedUnit(1 - busyIndex), SimGetOsVersion), 1u);
        CloseTransport();
    }
}

} // namespace
