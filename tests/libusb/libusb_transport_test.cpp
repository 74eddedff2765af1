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
class LibusbTransport : public testing::Test {
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
TEST_F(LibusbTransport, UmockdevEmulatesTheUnitForLibusb)
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

TEST_F(LibusbTransport, CarriesARequestAndItsReply)
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

} // namespace
