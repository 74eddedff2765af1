/*
 * nt_bench.cpp - what the kernel stand-in costs: a pass-through request (dispatch in a
 * function driver, passed down to a lower driver that completes it at once, completion
 * back to the issuer) and an event set in one thread and waited for in another.
 */
#include <benchmark/benchmark.h>

#include <thread>

#include "nt/test_drivers.h"

namespace {

typedef struct PassExt {
    PDEVICE_OBJECT Lower;
} PassExt;

NTSTATUS PassThrough(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    IoSkipCurrentIrpStackLocation(Irp);
    return IoCallDriver(((PassExt *)DeviceObject->DeviceExtension)->Lower, Irp);
}

NTSTATUS PassEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING)
{
    DriverObject->MajorFunction[IRP_MJ_READ] = PassThrough;
    return STATUS_SUCCESS;
}

const HostDriverInfo PassInfo = {"pass", PassEntry, FALSE};

NTSTATUS FreeAtIssuer(PDEVICE_OBJECT, PIRP Irp, PVOID)
{
    IoFreeIrp(Irp);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

void PassThroughRequest(benchmark::State &state)
{
    PDRIVER_OBJECT bus, pass;
    HostLoadDriver(&TestBusInfo, &bus);
    HostLoadDriver(&PassInfo, &pass);
    PDEVICE_OBJECT pdo = TestBusCreatePdo(), upper;
    IoCreateDevice(pass, sizeof(PassExt), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &upper);
    ((PassExt *)upper->DeviceExtension)->Lower = IoAttachDeviceToDeviceStack(upper, pdo);
    upper->Flags &= ~DO_DEVICE_INITIALIZING;
    for (auto _ : state) {
        PIRP irp = IoAllocateIrp(upper->StackSize, FALSE);
        IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_WRITE;
        IoGetNextIrpStackLocation(irp)->Parameters.Write.Length = 512;
        IoSetCompletionRoutine(irp, FreeAtIssuer, nullptr, TRUE, TRUE, TRUE);
        benchmark::DoNotOptimize(IoCallDriver(upper, irp));
    }
    IoDetachDevice(pdo);
    IoDeleteDevice(upper);
    IoDeleteDevice(pdo);
    HostUnloadDriver(pass);
    HostUnloadDriver(bus);
    HostKernelReset();
}
BENCHMARK(PassThroughRequest);

void EventAcrossThreads(benchmark::State &state)
{
    KEVENT ping, pong;
    KeInitializeEvent(&ping, SynchronizationEvent, FALSE);
    KeInitializeEvent(&pong, SynchronizationEvent, FALSE);
    volatile LONG stop = 0;
    std::thread partner([&] {
        for (;;) {
            KeWaitForSingleObject(&ping, Executive, KernelMode, FALSE, nullptr);
            if (InterlockedCompareExchange(&stop, 0, 0)) {
                break;
            }
            KeSetEvent(&pong, IO_NO_INCREMENT, FALSE);
        }
    });
    for (auto _ : state) {
        KeSetEvent(&ping, IO_NO_INCREMENT, FALSE);
        KeWaitForSingleObject(&pong, Executive, KernelMode, FALSE, nullptr);
    }
    InterlockedExchange(&stop, 1);
    KeSetEvent(&ping, IO_NO_INCREMENT, FALSE);
    partner.join();
    state.SetLabel("one set and one wait per side per iteration (a round trip)");
}
BENCHMARK(EventAcrossThreads)->UseRealTime();

} // namespace

BENCHMARK_MAIN();
