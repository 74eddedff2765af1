/*
 * usbd_library_test.cpp - descriptor parsing and configuration requests of the USBD library.
 */
#include <gtest/gtest.h>

#include <string.h>

#include <vector>

#include "host/nt/host_kernel.h"
#include "host/usb/bus_descriptors.h"
#include "host/usb/usbdlib.h"

namespace {

/* The unit's configuration descriptor as bytes, copied into a buffer of exactly its size
 * (so that the address sanitizer sees any read past it). */
std::vector<UCHAR> UnitConfig(USB_DEVICE_SPEED speed = UsbFullSpeed)
{
    UsbDescriptorSet set;
    UsbDescriptorSetUnit(&set, speed);
    return std::vector<UCHAR>(set.Config, set.Config + set.ConfigLength);
}

PUSB_CONFIGURATION_DESCRIPTOR AsConfig(std::vector<UCHAR> &bytes)
{
    return (PUSB_CONFIGURATION_DESCRIPTOR)bytes.data();
}

TEST(UsbdParse, FindsTheUnitsInterfaceAndEndpoints)
{
    std::vector<UCHAR> bytes = UnitConfig();
    ASSERT_EQ(bytes.size(), 32u);
    EXPECT_EQ(AsConfig(bytes)->wTotalLength, 32);

    PUSB_INTERFACE_DESCRIPTOR iface =
        USBD_ParseConfigurationDescriptorEx(AsConfig(bytes), bytes.data(), -1, -1, -1, -1, -1);
    ASSERT_EQ((PUCHAR)iface, bytes.data() + 9);
    EXPECT_EQ(iface->bNumEndpoints, 2);
    EXPECT_EQ(iface->bInterfaceClass, 0xff);

    PUSB_COMMON_DESCRIPTOR first = USBD_ParseDescriptors(bytes.data(), 32, bytes.data(), USB_ENDPOINT_DESCRIPTOR_TYPE);
    ASSERT_EQ((PUCHAR)first, bytes.data() + 18);
    EXPECT_EQ(((PUSB_ENDPOINT_DESCRIPTOR)first)->bEndpointAddress, 0x81);
    EXPECT_EQ(((PUSB_ENDPOINT_DESCRIPTOR)first)->wMaxPacketSize, 64);
    PUSB_COMMON_DESCRIPTOR second =
        USBD_ParseDescriptors(bytes.data(), 32, (PUCHAR)first + first->bLength, USB_ENDPOINT_DESCRIPTOR_TYPE);
    ASSERT_EQ((PUCHAR)second, bytes.data() + 25);
    EXPECT_EQ(((PUSB_ENDPOINT_DESCRIPTOR)second)->bEndpointAddress, 0x02);
    EXPECT_EQ(USBD_ParseDescriptors(bytes.data(), 32, (PUCHAR)second + second->bLength, USB_ENDPOINT_DESCRIPTOR_TYPE),
              nullptr);

    std::vector<UCHAR> high = UnitConfig(UsbHighSpeed);
    PUSB_COMMON_DESCRIPTOR highEndpoint =
        USBD_ParseDescriptors(high.data(), 32, high.data(), USB_ENDPOINT_DESCRIPTOR_TYPE);
    EXPECT_EQ(((PUSB_ENDPOINT_DESCRIPTOR)highEndpoint)->wMaxPacketSize, 512);
}

TEST(UsbdParse, MatchesOnEveryFieldGivenAndSkipsOthers)
{
    UsbDescriptorSet set;
    UsbDescriptorSetUnit(&set, UsbFullSpeed);
    UCHAR second[9] = {9, USB_INTERFACE_DESCRIPTOR_TYPE, 1, 2, 0, 0x08, 0x06, 0x50, 0};
    ASSERT_TRUE(UsbDescriptorSetAppend(&set, second, sizeof(second)));
    std::vector<UCHAR> bytes(set.Config, set.Config + set.ConfigLength);
    PUSB_CONFIGURATION_DESCRIPTOR config = AsConfig(bytes);
    PUCHAR secondAt = bytes.data() + 32;

    EXPECT_EQ((PUCHAR)USBD_ParseConfigurationDescriptorEx(config, config, 1, -1, -1, -1, -1), secondAt);
    EXPECT_EQ((PUCHAR)USBD_ParseConfigurationDescriptorEx(config, config, -1, 2, -1, -1, -1), secondAt);
    EXPECT_EQ((PUCHAR)USBD_ParseConfigurationDescriptorEx(config, config, -1, -1, 0x08, -1, -1), secondAt);
    EXPECT_EQ((PUCHAR)USBD_ParseConfigurationDescriptorEx(config, config, -1, -1, -1, 0x06, -1), secondAt);
    EXPECT_EQ((PUCHAR)USBD_ParseConfigurationDescriptorEx(config, config, -1, -1, -1, -1, 0x50), secondAt);
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(config, config, 1, 3, -1, -1, -1), nullptr);
    /* A start after the first interface finds only the second. */
    EXPECT_EQ((PUCHAR)USBD_ParseConfigurationDescriptorEx(config, bytes.data() + 18, -1, -1, -1, -1, -1), secondAt);
    EXPECT_EQ((PUCHAR)USBD_ParseConfigurationDescriptor(config, 1, 2), secondAt);
}

TEST(UsbdParse, NeverReadsPastTheBoundsItIsGiven)
{
    /* wTotalLength says 18: the endpoints behind it do not exist for the parser. */
    std::vector<UCHAR> bytes = UnitConfig();
    bytes[2] = 18;
    bytes.resize(18);
    EXPECT_EQ(USBD_ParseDescriptors(bytes.data(), 18, bytes.data(), USB_ENDPOINT_DESCRIPTOR_TYPE), nullptr);
    EXPECT_NE(USBD_ParseConfigurationDescriptorEx(AsConfig(bytes), bytes.data(), -1, -1, -1, -1, -1), nullptr);

    /* An interface descriptor cut by wTotalLength is not returned. */
    std::vector<UCHAR> cut = UnitConfig();
    cut[2] = 14;
    cut.resize(14);
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(AsConfig(cut), cut.data(), -1, -1, -1, -1, -1), nullptr);

    /* A descriptor claiming to run past the end stops the walk. */
    std::vector<UCHAR> longer = UnitConfig();
    longer[18] = 200;
    EXPECT_EQ(USBD_ParseDescriptors(longer.data(), 32, longer.data(), USB_ENDPOINT_DESCRIPTOR_TYPE), nullptr);

    /* A start outside the buffer finds nothing. */
    std::vector<UCHAR> bytes2 = UnitConfig();
    EXPECT_EQ(USBD_ParseDescriptors(bytes2.data(), 32, bytes2.data() + 32, USB_ENDPOINT_DESCRIPTOR_TYPE), nullptr);
    EXPECT_EQ(USBD_ParseDescriptors(bytes2.data() + 1, 31, bytes2.data(), USB_ENDPOINT_DESCRIPTOR_TYPE), nullptr);
}

TEST(UsbdParse, SurvivesZeroAndOneByteLengths)
{
    for (UCHAR badLength : {0, 1}) {
        std::vector<UCHAR> bytes = UnitConfig();
        bytes[9] = badLength; /* the interface descriptor */
        EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(AsConfig(bytes), bytes.data(), -1, -1, -1, -1, -1), nullptr);
        EXPECT_EQ(USBD_ParseDescriptors(bytes.data(), 32, bytes.data(), USB_ENDPOINT_DESCRIPTOR_TYPE), nullptr);
        std::vector<UCHAR> head = UnitConfig();
        head[0] = badLength; /* the configuration descriptor itself */
        EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(AsConfig(head), head.data(), -1, -1, -1, -1, -1), nullptr);
    }
}

TEST(UsbdParse, SkipsAnInterfaceDescriptorTooShortForItsFields)
{
    UsbDescriptorSet set;
    UsbDescriptorSetUnit(&set, UsbFullSpeed);
    std::vector<UCHAR> bytes(set.Config, set.Config + set.ConfigLength);
    /* Turn the interface descriptor into a 4-byte one followed by padding of type 0x41. */
    bytes[9] = 4;
    bytes[13] = 5;
    bytes[14] = 0x41;
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(AsConfig(bytes), bytes.data(), -1, -1, -1, -1, -1), nullptr);
}

class UsbdRequestTest : public ::testing::Test {
protected:
    void TearDown() override
    {
        EXPECT_EQ(HostPoolUsageByTag(HOST_POOL_TAG('U', 'S', 'B', 'D')).Allocations, 0u) << "select URB leaked";
    }
};

TEST_F(UsbdRequestTest, BuildsTheSelectConfigurationOfTheUnit)
{
    std::vector<UCHAR> bytes = UnitConfig();
    USHORT size = 0;
    PURB urb = USBD_CreateConfigurationRequest(AsConfig(bytes), &size);
    ASSERT_NE(urb, nullptr);
    size_t expected = GET_SELECT_CONFIGURATION_REQUEST_SIZE(1, 2);
    EXPECT_EQ(size, expected);
    EXPECT_EQ(urb->UrbHeader.Length, expected);
    EXPECT_EQ(urb->UrbHeader.Function, URB_FUNCTION_SELECT_CONFIGURATION);
    EXPECT_EQ(urb->UrbSelectConfiguration.ConfigurationDescriptor, AsConfig(bytes));
    PUSBD_INTERFACE_INFORMATION iface = &urb->UrbSelectConfiguration.Interface;
    EXPECT_EQ(iface->Length, GET_USBD_INTERFACE_SIZE(2));
    EXPECT_EQ(iface->NumberOfPipes, 2u);
    EXPECT_EQ(iface->InterfaceNumber, 0);
    EXPECT_EQ(iface->AlternateSetting, 0);
    for (ULONG i = 0; i < 2; i++) {
        EXPECT_EQ(iface->Pipes[i].MaximumTransferSize, USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE);
        EXPECT_EQ(iface->Pipes[i].PipeHandle, nullptr);
    }
    ExFreePool(urb);
}

TEST_F(UsbdRequestTest, ListsOnlyAlternateSettingZeroOfEachInterface)
{
    UsbDescriptorSet set;
    UsbDescriptorSetUnit(&set, UsbFullSpeed);
    UCHAR alternate[9] = {9, USB_INTERFACE_DESCRIPTOR_TYPE, 0, 1, 0, 0xff, 0, 0, 0};
    UCHAR other[9] = {9, USB_INTERFACE_DESCRIPTOR_TYPE, 1, 0, 0, 0xff, 0, 0, 0};
    UsbDescriptorSetAppend(&set, alternate, 9);
    UsbDescriptorSetAppend(&set, other, 9);
    UsbDescriptorSetAddEndpoint(&set, 0x83, USB_ENDPOINT_TYPE_BULK, 64);
    std::vector<UCHAR> bytes(set.Config, set.Config + set.ConfigLength);

    USHORT size = 0;
    PURB urb = USBD_CreateConfigurationRequest(AsConfig(bytes), &size);
    ASSERT_NE(urb, nullptr);
    EXPECT_EQ(size, GET_SELECT_CONFIGURATION_REQUEST_SIZE(2, 3));
    PUSBD_INTERFACE_INFORMATION first = &urb->UrbSelectConfiguration.Interface;
    PUSBD_INTERFACE_INFORMATION second = (PUSBD_INTERFACE_INFORMATION)((PUCHAR)first + first->Length);
    EXPECT_EQ(first->NumberOfPipes, 2u);
    EXPECT_EQ(second->InterfaceNumber, 1);
    EXPECT_EQ(second->NumberOfPipes, 1u);
    EXPECT_EQ((PUCHAR)second + second->Length, (PUCHAR)urb + size);
    ExFreePool(urb);
}

TEST_F(UsbdRequestTest, ExFillsTheListAndRefusesAnEmptyOne)
{
    std::vector<UCHAR> bytes = UnitConfig();
    USBD_INTERFACE_LIST_ENTRY list[2] = {};
    list[0].InterfaceDescriptor = USBD_ParseConfigurationDescriptorEx(AsConfig(bytes), bytes.data(), 0, 0, -1, -1, -1);
    PURB urb = USBD_CreateConfigurationRequestEx(AsConfig(bytes), list);
    ASSERT_NE(urb, nullptr);
    EXPECT_EQ(list[0].Interface, &urb->UrbSelectConfiguration.Interface);
    ExFreePool(urb);

    USBD_INTERFACE_LIST_ENTRY empty[1] = {};
    EXPECT_EQ(USBD_CreateConfigurationRequestEx(AsConfig(bytes), empty), nullptr);

    /* A configuration without interfaces gives no request and a size of 0. */
    std::vector<UCHAR> bare(bytes.begin(), bytes.begin() + 9);
    bare[2] = 9;
    USHORT size = 77;
    EXPECT_EQ(USBD_CreateConfigurationRequest(AsConfig(bare), &size), nullptr);
    EXPECT_EQ(size, 0);
}

TEST_F(UsbdRequestTest, FailsLikeAnyAllocationUnderLowResources)
{
    std::vector<UCHAR> bytes = UnitConfig();
    HostLowResources failing = {nullptr, 1, FALSE, 0, 0};
    HostVerifierSetLowResources(&failing);
    USHORT size = 77;
    PURB urb = USBD_CreateConfigurationRequest(AsConfig(bytes), &size);
    HostVerifierSetLowResources(nullptr);
    EXPECT_EQ(urb, nullptr);
    EXPECT_EQ(size, 0);
}

TEST(UsbdLayout, RecordsKeepWindowsFieldOrder)
{
    /* The pointer-sized fields widen on a 64-bit host; the order is what must not move. */
    EXPECT_EQ(offsetof(struct _URB_HEADER, Function), 2u);
    EXPECT_EQ(offsetof(struct _URB_HEADER, Status), 4u);
    EXPECT_EQ(offsetof(struct _URB_HEADER, UsbdDeviceHandle), 8u);
    EXPECT_LT(offsetof(struct _URB_CONTROL_DESCRIPTOR_REQUEST, TransferBufferLength),
              offsetof(struct _URB_CONTROL_DESCRIPTOR_REQUEST, TransferBuffer));
    EXPECT_LT(offsetof(struct _URB_CONTROL_DESCRIPTOR_REQUEST, hca),
              offsetof(struct _URB_CONTROL_DESCRIPTOR_REQUEST, Index));
    EXPECT_EQ(offsetof(struct _URB_CONTROL_DESCRIPTOR_REQUEST, DescriptorType),
              offsetof(struct _URB_CONTROL_DESCRIPTOR_REQUEST, Index) + 1);
    EXPECT_EQ(offsetof(struct _URB_BULK_OR_INTERRUPT_TRANSFER, TransferBufferLength),
              offsetof(struct _URB_CONTROL_DESCRIPTOR_REQUEST, TransferBufferLength));
    EXPECT_EQ(offsetof(USBD_PIPE_INFORMATION, EndpointAddress), 2u);
    EXPECT_EQ(offsetof(USBD_PIPE_INFORMATION, PipeType), 4u);
    EXPECT_EQ(offsetof(USBD_INTERFACE_INFORMATION, Class), 4u);
    EXPECT_EQ(sizeof(struct _URB_SELECT_CONFIGURATION),
              offsetof(struct _URB_SELECT_CONFIGURATION, Interface) + sizeof(USBD_INTERFACE_INFORMATION));
    EXPECT_EQ(IOCTL_INTERNAL_USB_SUBMIT_URB, 0x220003u);
    EXPECT_EQ(IOCTL_INTERNAL_USB_RESET_PORT, 0x220007u);
    EXPECT_EQ(IOCTL_INTERNAL_USB_GET_PORT_STATUS, 0x220013u);
    EXPECT_EQ(URB_FUNCTION_RESET_PIPE, 0x1e);
}

} // namespace
