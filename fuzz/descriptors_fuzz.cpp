/*
 * descriptors_fuzz.cpp - murvousb's start on a device whose device and configuration
 * descriptors come from the fuzzer, with the verifier on.
 *
 * Input: the bus speed and how many configuration bytes the device holds, then the 18 bytes
 * of the device descriptor and the configuration descriptor's bytes (its wTotalLength, its
 * interfaces and endpoints, anything). The unit is plugged into a fresh bus, so START runs
 * with these descriptors; then it is unplugged and the bus is destroyed.
 *
 * Properties: START either succeeds with a sound configuration or fails; either way, once
 * the unit is gone murvousb holds no pool and has been unloaded, and the verifier has
 * reported nothing (a report aborts). A sound configuration: the kept configuration
 * descriptor is wTotalLength bytes, no more than the device holds, a chain of descriptors
 * each at least 2 bytes long ending exactly at its end; the pipe table holds the endpoints
 * of the first interface of alternate setting 0, in order, each pipe pointing into the
 * kept interface information.
 * Reads past what the device sent are caught by the address sanitizer (pool blocks are
 * heap blocks of exactly their size).
 */
#include "fuzz/fuzz_support.h"

#include "driver/murvousb.h"
#include "host/nt/host_kernel.h"
#include "host/usb/usb_bus.h"

#include <chrono>
#include <thread>
#include <vector>

static const HostDriverInfo MurvoUsb = {"murvousb", DriverEntry, TRUE};

/* The endpoint addresses of the first interface of a sound chain of length bytes: the first
 * interface descriptor of alternate setting 0, the one a select-configuration request built
 * by USBD_CreateConfigurationRequest names first. */
static std::vector<UCHAR> FirstInterfaceEndpoints(const UCHAR *config, ULONG length)
{
    std::vector<UCHAR> endpoints;
    bool inFirst = false, seenInterface = false;
    for (ULONG offset = 0; offset + 2 <= length && config[offset] >= 2; offset += config[offset]) {
        UCHAR type = config[offset + 1];
        if (type == USB_INTERFACE_DESCRIPTOR_TYPE) {
            bool alternateZero = config[offset] >= 9 && config[offset + 3] == 0;
            inFirst = !seenInterface && alternateZero;
            seenInterface = seenInterface || alternateZero;
        } else if (type == USB_ENDPOINT_DESCRIPTOR_TYPE && inFirst && config[offset] >= 7) {
            endpoints.push_back(config[offset + 2]);
        }
    }
    return endpoints;
}

static void CheckSoundConfiguration(DeviceExtension *extension, const UsbDescriptorSet &set)
{
    const UCHAR *config = reinterpret_cast<const UCHAR *>(extension->ConfigDescriptor);
    FUZZ_CHECK(config != NULL && extension->InterfaceInfo != NULL, "started without a configuration");
    ULONG length = extension->ConfigDescriptorLength;
    ULONG total = config[2] | config[3] << 8;
    FUZZ_CHECK(length == total, "kept %lu bytes, wTotalLength %lu", (unsigned long)length, (unsigned long)total);
    FUZZ_CHECK(length >= 9 && length <= set.ConfigLength, "kept %lu bytes, the device holds %u", (unsigned long)length,
               set.ConfigLength);
    FUZZ_CHECK(memcmp(config, set.Config, length) == 0, "the kept descriptor is not what the device sent");
    ULONG offset = 0;
    while (offset < length) {
        FUZZ_CHECK(length - offset >= 2 && config[offset] >= 2 && config[offset] <= length - offset,
                   "descriptor at %lu of %lu has length %u", (unsigned long)offset, (unsigned long)length,
                   config[offset]);
        offset += config[offset];
    }
    PUSBD_INTERFACE_INFORMATION info = extension->InterfaceInfo;
    std::vector<UCHAR> endpoints = FirstInterfaceEndpoints(config, length);
    FUZZ_CHECK(info->NumberOfPipes == endpoints.size(), "%lu pipes, the first interface has %zu endpoints",
               (unsigned long)info->NumberOfPipes, endpoints.size());
    FUZZ_CHECK(info->NumberOfPipes == 0 || extension->PipeTable != NULL, "no pipe table");
    for (ULONG i = 0; i < info->NumberOfPipes; i++) {
        FUZZ_CHECK(extension->PipeTable[i].PipeInformation == &info->Pipes[i], "pipe %lu's information",
                   (unsigned long)i);
        FUZZ_CHECK(info->Pipes[i].EndpointAddress == endpoints[i], "pipe %lu is endpoint 0x%02X, descriptor 0x%02X",
                   (unsigned long)i, info->Pipes[i].EndpointAddress, endpoints[i]);
    }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzInput in = FuzzInputOf(data, size);
    uint8_t options = FuzzTake8(&in);
    uint16_t held = FuzzTake16(&in);

    HostUsbUnitSettings settings;
    HostUsbUnitSettingsDefault(&settings, (options & 1) ? UsbHighSpeed : UsbFullSpeed);
    settings.FunctionDriver = &MurvoUsb;
    FuzzTakeBytes(&in, settings.Descriptors.Device, sizeof settings.Descriptors.Device);
    memset(settings.Descriptors.Config, 0, sizeof settings.Descriptors.Config);
    size_t configBytes = FuzzTakeBytes(&in, settings.Descriptors.Config, sizeof settings.Descriptors.Config);
    /* The device holds what the input gives, or (option bit 1) a length of its own choosing. */
    settings.Descriptors.ConfigLength = (options & 2) ? held % (BUS_MAX_CONFIG_BYTES + 1) : (uint32_t)configBytes;

    HostUsbBus *bus = HostUsbBusCreate();
    FUZZ_CHECK(bus != NULL, "no bus");
    char error[256] = "";
    NTSTATUS start = STATUS_UNSUCCESSFUL;
    int port = HostUsbPlug(bus, &settings, &start, error, sizeof error);
    FUZZ_CHECK(port > 0, "plug failed: %s", error);

    if (NT_SUCCESS(start)) {
        PDEVICE_OBJECT fdo = HostPnpFunctionDevice(HostUsbUnitNode(bus, port));
        FUZZ_CHECK(fdo != NULL, "started without a device object");
        CheckSoundConfiguration(ExtensionOf(fdo), settings.Descriptors);
        HostUsbUnplug(bus, port);
    }
    FUZZ_CHECK(HostUsbWaitGone(bus, port, 10000), "the unit did not leave the bus (start 0x%08X)", (unsigned)start);
    HostUsbBusDestroy(bus);

    HostPoolUsage usage = HostPoolUsageByTag(HOST_POOL_TAG('W', 'd', 'm', ' '));
    FUZZ_CHECK(usage.Allocations == 0, "murvousb holds %lu bytes of pool after a start with status 0x%08X",
               (unsigned long)usage.Bytes, (unsigned)start);
    for (int i = 0; i < 2000 && HostFindDriver(&MurvoUsb) != NULL; i++) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    FUZZ_CHECK(HostFindDriver(&MurvoUsb) == NULL, "murvousb is still loaded after its unit went");
    HostKernelReset();
    return 0;
}
