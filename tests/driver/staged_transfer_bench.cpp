/*
 * staged_transfer_bench.cpp - the time of a staged 1 MiB write and of a staged 1 MiB read
 * through murvousb on the simulated bus with its timing model on, at full and at high speed.
 *
 * The unit carries the bus's loopback pair besides its own endpoints: the write goes out on
 * the loopback OUT endpoint (256 stages of 4096 bytes), and the read takes the same bytes
 * back from the loopback IN endpoint, where each stage's bytes wait as one record of whole
 * packets. Printed per speed: the fastest of three runs of each, in milliseconds and MB/s,
 * with the bus's bulk limit for comparison. A benchmark, not a test: nothing is asserted
 * about the times.
 */
#include "driver_harness.h"

#include <algorithm>
#include <chrono>
#include <cstdio>

namespace {

class StagedTransferBench : public DriverTest {
public:
    void TestBody() override {}
    void Begin() { SetUp(); }
    void End() { TearDown(); }
    void Run(USB_DEVICE_SPEED speed, const char *name);
};

double Milliseconds(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

void StagedTransferBench::Run(USB_DEVICE_SPEED speed, const char *name)
{
    HostUsbUnitSettings settings;
    HostUsbUnitSettingsDefault(&settings, speed);
    settings.FunctionDriver = &MurvoTestDriver;
    UsbDescriptorSetAddLoopback(&settings.Descriptors, speed == UsbHighSpeed ? 512 : 64);
    HostUsbTiming timing;
    HostUsbTimingDefaults(&timing, speed);
    HostUsbBusSetTiming(bus, &timing);
    if (Plug(settings) != STATUS_SUCCESS) {
        std::printf("%s: the unit did not start\n", name);
        return;
    }
    HostFile *in = OpenOk(u"\\ADDR83");
    HostFile *out = OpenOk(u"\\ADDR04");
    if (in == nullptr || out == nullptr) {
        std::printf("%s: the loopback pipes did not open\n", name);
        return;
    }
    const ULONG length = 1u << 20;
    std::vector<UCHAR> data(length), back(length);
    for (ULONG i = 0; i < length; i++) {
        data[i] = static_cast<UCHAR>(i * 13 + (i >> 12));
    }
    double bestWrite = 1e30, bestRead = 1e30;
    bool intact = true;
    for (int run = 0; run < 3; run++) {
        ULONG_PTR moved = 0;
        auto start = std::chrono::steady_clock::now();
        NTSTATUS status = HostWriteFile(out, data.data(), length, nullptr, &moved);
        double write = Milliseconds(start);
        if (status != STATUS_SUCCESS || moved != length) {
            std::printf("%s: write failed (0x%08X, %lu bytes)\n", name, static_cast<unsigned>(status),
                        static_cast<unsigned long>(moved));
            break;
        }
        std::fill(back.begin(), back.end(), 0);
        start = std::chrono::steady_clock::now();
        status = HostReadFile(in, back.data(), length, nullptr, &moved);
        double read = Milliseconds(start);
        if (status != STATUS_SUCCESS || moved != length) {
            std::printf("%s: read failed (0x%08X, %lu bytes)\n", name, static_cast<unsigned>(status),
                        static_cast<unsigned long>(moved));
            break;
        }
        intact = intact && back == data;
        bestWrite = std::min(bestWrite, write);
        bestRead = std::min(bestRead, read);
    }
    double limit = speed == UsbHighSpeed ? 13.0 * 512 * 8000 : 19.0 * 64 * 1000;
    std::printf("%s: 1 MiB staged write %.1f ms (%.2f MB/s), read %.1f ms (%.2f MB/s), data %s; bus limit %.2f MB/s\n",
                name, bestWrite, length / bestWrite / 1000.0, bestRead, length / bestRead / 1000.0,
                intact ? "intact" : "CORRUPTED", limit / 1e6);
    HostCloseFile(in);
    HostCloseFile(out);
}

} // namespace

int main()
{
    struct {
        USB_DEVICE_SPEED Speed;
        const char *Name;
    } speeds[] = {{UsbFullSpeed, "full speed"}, {UsbHighSpeed, "high speed"}};
    for (const auto &s : speeds) {
        StagedTransferBench bench;
        bench.Begin();
        bench.Run(s.Speed, s.Name);
        bench.End();
    }
    return 0;
}
