/*
 * usb_bus_bench.cpp - throughput of the simulated bus, with and without the timing model,
 * against the physical limit of the bus it models.
 *
 * Each iteration writes one 4096-byte stage to the loopback OUT endpoint and reads it back,
 * as murvousb moves a stage. Printed: bytes per second through the stack; with the timing
 * model the figure should approach, and never pass, the bus's bulk limit (printed as
 * "limit_bytes_per_second").
 */
#include <benchmark/benchmark.h>

#include <string.h>

#include "usb/usb_test_driver.h"

namespace {

struct BenchBus {
    HostUsbBus *Bus = nullptr;
    int Port = 0;
    PDEVICE_OBJECT Lower = nullptr;
    UsbTestConfig Config;

    explicit BenchBus(USB_DEVICE_SPEED speed)
    {
        Bus = HostUsbBusCreate();
        HostUsbUnitSettings settings;
        HostUsbUnitSettingsDefault(&settings, speed);
        settings.FunctionDriver = &UsbTestDriver;
        UsbDescriptorSetAddLoopback(&settings.Descriptors, speed == UsbHighSpeed ? 512 : 64);
        char error[200];
        Port = HostUsbPlug(Bus, &settings, NULL, error, sizeof(error));
        Lower = UsbTestLowerDevice(Bus, Port);
        Config = UsbTestSelect(Lower, 4096);
    }
    ~BenchBus()
    {
        HostUsbBusDestroy(Bus);
        HostKernelReset();
    }
};

void RoundTrip(benchmark::State &state, USB_DEVICE_SPEED speed, bool timed)
{
    BenchBus bench(speed);
    if (bench.Config.Pipes.size() < 4) {
        state.SkipWithError("the unit did not start");
        return;
    }
    HostUsbTiming timing;
    HostUsbTimingDefaults(&timing, speed);
    if (timed) {
        HostUsbBusSetTiming(bench.Bus, &timing);
    }
    const ULONG size = 4096;
    for (auto _ : state) {
        UsbTestTransfer out, in;
        UsbTestPrepareBulk(&out, bench.Config.Pipes[3].PipeHandle, false, size, true);
        UsbTestPrepareBulk(&in, bench.Config.Pipes[2].PipeHandle, true, size, true);
        UsbTestStart(bench.Lower, &in);
        UsbTestStart(bench.Lower, &out);
        UsbTestWait(&out);
        UsbTestWait(&in);
        UsbTestRelease(&out);
        UsbTestRelease(&in);
    }
    state.SetBytesProcessed((int64_t)state.iterations() * size * 2);
    double limit = 1e6 / timing.FrameMicroseconds * timing.PacketsPerFrame * (speed == UsbHighSpeed ? 512 : 64);
    state.counters["limit_bytes_per_second"] = limit;
}

BENCHMARK_CAPTURE(RoundTrip, full_speed_untimed, UsbFullSpeed, false)->UseRealTime();
BENCHMARK_CAPTURE(RoundTrip, high_speed_untimed, UsbHighSpeed, false)->UseRealTime();
BENCHMARK_CAPTURE(RoundTrip, full_speed_timed, UsbFullSpeed, true)->UseRealTime()->Iterations(20);
BENCHMARK_CAPTURE(RoundTrip, high_speed_timed, UsbHighSpeed, true)->UseRealTime()->Iterations(100);

} // namespace

BENCHMARK_MAIN();
