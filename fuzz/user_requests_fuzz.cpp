/*
 * user_requests_fuzz.cpp - murvousb under a user program whose requests come from the
 * fuzzer, interleaved with plug-and-play and power events, with the verifier on.
 *
 * Input: the unit's wake capability (which decides whether opening and closing pipes power
 * it up and down), then operations: open a file by a name (the device itself, a pipe by
 * index or endpoint address, any text), read or write with lengths such as 0, 1, 4095, 4096,
 * 4097, several transfer sizes or any, device control with any code and buffer sizes, close,
 * cancel; unplug and plug again, query-stop with stop and start or cancel, surprise removal,
 * query-remove with cancel, system sleep and wake, a remote wake-up, a short pause. Every
 * request is asynchronous, so the program never blocks on a transfer the unit does not
 * answer; a handful of files, up to 32 requests in flight.
 *
 * Properties: every request completes exactly once, at the latest when the process ends
 * (its files' requests cancelled and waited for): a request refused at once by an error from
 * its call reports nothing more, any other reports through its completion record once; no
 * request reports more bytes than it asked for; once the unit is gone murvousb holds no pool
 * and is unloaded; the verifier reports nothing (a report aborts); the address sanitizer sees
 * no access outside a buffer.
 */
#include "fuzz/fuzz_support.h"

#include "driver/murvousb.h"
#include "host/nt/host_kernel.h"
#include "host/usb/usb_bus.h"

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

static const HostDriverInfo MurvoUsb = {"murvousb", DriverEntry, TRUE};
static const GUID MurvoInterface = MURVO_INTERFACE_GUID_INIT;

#define FILE_SLOTS 4
#define MAX_IN_FLIGHT 32

/* One asynchronous request and its buffers; lives until the end of the run. */
struct Request {
    HostAsyncIo Async;
    std::vector<UCHAR> Buffer;
    std::vector<UCHAR> Output;
    ULONG Length; /* bytes asked for (read, write) or the output length (device control) */
    std::atomic<int> Completions{0};
    std::atomic<ULONG_PTR> Information{0};
    NTSTATUS Returned = STATUS_PENDING; /* what the call returned */
    const char *What;
};

static VOID NTAPI RequestDone(PVOID Context, NTSTATUS Status, ULONG_PTR Information)
{
    (void)Status;
    Request *request = static_cast<Request *>(Context);
    request->Information = Information;
    request->Completions++;
}

struct Session {
    HostUsbBus *Bus = nullptr;
    int Port = 0;
    bool Plugged = false;
    HostUsbUnitSettings Settings;
    HostProcess *Process = nullptr;
    HostFile *Files[FILE_SLOTS] = {};
    std::vector<Request *> Requests;
};

static const ULONG Lengths[] = {0, 1, 4095, 4096, 4097, 8192, 3 * 4096 + 500, 65536, 65537, 512, 64};

static ULONG TakeLength(FuzzInput *in)
{
    uint8_t choice = FuzzTake8(in);
    if (choice < 0xF0) {
        return Lengths[choice % (sizeof Lengths / sizeof Lengths[0])];
    }
    return FuzzTake16(in) + (choice & 1) * 0x10000u; /* up to 128 KiB */
}

static std::u16string InterfacePath()
{
    WCHAR buffer[512];
    ULONG required = 0;
    if (!NT_SUCCESS(HostGetDeviceInterfacePath(&MurvoInterface, 0, buffer, 512, &required))) {
        return std::u16string();
    }
    return std::u16string(reinterpret_cast<const char16_t *>(buffer));
}

static std::u16string TakeName(FuzzInput *in)
{
    uint8_t kind = FuzzTake8(in);
    switch (kind % 8) {
    case 0:
        return u"";
    case 1:
        return u"\\PIPE00";
    case 2:
        return u"\\PIPE01";
    case 3:
        return u"\\ADDR81";
    case 4:
        return u"\\ADDR02";
    case 5: {
        std::u16string name = u"\\PIPE";
        name.push_back(static_cast<char16_t>(FuzzTake8(in)));
        name.push_back(static_cast<char16_t>(FuzzTake8(in)));
        return name;
    }
    default: {
        /* Any text after the path's backslash, of any length (NUL ends it). */
        std::u16string name = u"\\";
        size_t length = FuzzTake8(in) % 64;
        for (size_t i = 0; i < length; i++) {
            char16_t unit = static_cast<char16_t>(FuzzTake16(in));
            if (unit == 0) {
                break;
            }
            name.push_back(unit);
        }
        return name;
    }
    }
}

static Request *NewRequest(Session *s, const char *what)
{
    Request *request = new Request;
    request->Async.Callback = RequestDone;
    request->Async.Context = request;
    request->Async.Event = nullptr;
    request->What = what;
    s->Requests.push_back(request);
    return request;
}

/* A request refused at once (an error returned by the call, never pended) reports to nobody,
 * as the I/O manager does: the call's status is its completion. Any other reports once. */
static int ExpectedReports(const Request *request) { return NT_ERROR(request->Returned) ? 0 : 1; }

static size_t InFlight(Session *s)
{
    size_t count = 0;
    for (Request *request : s->Requests) {
        count += request->Completions.load() < ExpectedReports(request);
    }
    return count;
}

static void Plug(Session *s)
{
    char error[256] = "";
    NTSTATUS start = STATUS_UNSUCCESSFUL;
    s->Port = HostUsbPlug(s->Bus, &s->Settings, &start, error, sizeof error);
    FUZZ_CHECK(s->Port > 0, "plug failed: %s", error);
    FUZZ_CHECK(NT_SUCCESS(start), "the unit's start failed: 0x%08X", (unsigned)start);
    s->Plugged = true;
}

/* Runs one operation. */
static void Step(Session *s, FuzzInput *in)
{
    uint8_t op = FuzzTake8(in);
    HostFile **file = &s->Files[(op >> 4) % FILE_SLOTS];
    HostDeviceNode *node = s->Plugged ? HostUsbUnitNode(s->Bus, s->Port) : nullptr;
    switch (op % 16) {
    case 0:
    case 1: { /* open */
        std::u16string name = TakeName(in);
        if (*file != nullptr) {
            HostCloseFile(*file);
            *file = nullptr;
        }
        std::u16string path = InterfacePath();
        if (path.empty()) {
            break;
        }
        path += name;
        HostFile *opened = nullptr;
        if (NT_SUCCESS(HostCreateFile(s->Process, reinterpret_cast<PCWSTR>(path.c_str()), &opened))) {
            *file = opened;
        }
        break;
    }
    case 2:
    case 3:
    case 4: { /* read or write */
        ULONG length = TakeLength(in);
        if (*file == nullptr || InFlight(s) >= MAX_IN_FLIGHT) {
            break;
        }
        bool write = (op % 16) != 2;
        Request *request = NewRequest(s, write ? "write" : "read");
        request->Length = length;
        request->Buffer.resize(length);
        if (write) {
            /* The unit's own commands now and then, so that it answers. */
            for (ULONG i = 0; i < length; i++) {
                request->Buffer[i] = static_cast<UCHAR>(i % 4 == 0 ? (i / 4) % 10 : 0);
            }
            request->Returned = HostWriteFile(*file, request->Buffer.data(), length, &request->Async, nullptr);
        } else {
            request->Returned = HostReadFile(*file, request->Buffer.data(), length, &request->Async, nullptr);
        }
        break;
    }
    case 5: { /* device control */
        static const ULONG Codes[] = {IOCTL_GET_CONFIG_DESCRIPTOR, IOCTL_RESET_DEVICE, IOCTL_RESET_PIPE};
        uint8_t choice = FuzzTake8(in);
        ULONG code = choice < 0xC0 ? Codes[choice % 3] : FuzzTake32(in);
        ULONG inputLength = TakeLength(in) % 4097, outputLength = TakeLength(in) % 4097;
        if (*file == nullptr || InFlight(s) >= MAX_IN_FLIGHT) {
            break;
        }
        /* Neither-method codes would hand the driver user addresses; the buffers are real. */
        Request *request = NewRequest(s, "device control");
        request->Length = outputLength;
        request->Buffer.assign(inputLength, 0x5A);
        request->Output.assign(outputLength, 0xA5);
        request->Returned = HostDeviceIoControl(*file, code, inputLength ? request->Buffer.data() : nullptr,
                                                inputLength, outputLength ? request->Output.data() : nullptr,
                                                outputLength, &request->Async, nullptr);
        break;
    }
    case 6: /* close */
        if (*file != nullptr) {
            HostCloseFile(*file);
            *file = nullptr;
        }
        break;
    case 7: /* cancel */
        if (*file != nullptr) {
            HostCancelFileIo(*file);
        }
        break;
    case 8: /* unplug, or plug a unit again */
        if (s->Plugged) {
            HostUsbUnplug(s->Bus, s->Port);
            s->Plugged = false;
        } else if (HostUsbWaitGone(s->Bus, s->Port, 0)) {
            Plug(s);
        }
        break;
    case 9: /* query-stop, then stop and start, or cancel */
        if (node != nullptr && HostPnpGetState(node) == HostDeviceStarted && NT_SUCCESS(HostPnpQueryStop(node))) {
            if (FuzzTake8(in) & 1) {
                HostPnpCancelStop(node);
            } else if (NT_SUCCESS(HostPnpStop(node))) {
                FUZZ_CHECK(NT_SUCCESS(HostPnpStart(node)), "restart after a stop failed");
            }
        }
        break;
    case 10: /* surprise removal (the unit stays on the bus, its stack goes) */
        if (node != nullptr && HostPnpGetState(node) == HostDeviceStarted) {
            HostPnpSurpriseRemove(node);
        }
        break;
    case 11: /* query-remove and cancel */
        if (node != nullptr && HostPnpGetState(node) == HostDeviceStarted && NT_SUCCESS(HostPnpQueryRemove(node))) {
            HostPnpCancelRemove(node);
        }
        break;
    case 12: /* system sleep and wake */
        HostPoSetSystemPowerState(PowerSystemSleeping3);
        HostPoSetSystemPowerState(PowerSystemWorking);
        break;
    case 13: /* a remote wake-up, when a wait-wake request is held */
        if (s->Plugged) {
            HostUsbSignalWake(s->Bus, s->Port);
        }
        break;
    default: /* a pause, so that transfers move */
        std::this_thread::sleep_for(std::chrono::microseconds(100 * (FuzzTake8(in) % 8)));
        break;
    }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzInput in = FuzzInputOf(data, size);
    Session s;
    HostUsbUnitSettingsDefault(&s.Settings, (FuzzTake8(&in) & 1) ? UsbHighSpeed : UsbFullSpeed);
    static const DEVICE_POWER_STATE Wakes[] = {PowerDeviceD2, PowerDeviceUnspecified, PowerDeviceD1, PowerDeviceD3,
                                               PowerDeviceD0};
    s.Settings.Capabilities.DeviceWake = Wakes[FuzzTake8(&in) % 5];
    s.Settings.Sim.FlashSize = 0x10000;
    s.Settings.Sim.BlockCount = 8;
    s.Settings.FunctionDriver = &MurvoUsb;

    s.Bus = HostUsbBusCreate();
    FUZZ_CHECK(s.Bus != nullptr, "no bus");
    Plug(&s);
    s.Process = HostProcessCreate();

    for (int steps = 0; FuzzMore(&in) && steps < 200; steps++) {
        Step(&s, &in);
    }

    /* The end of the program: its requests are cancelled and waited for, its files closed. */
    HostProcessEnd(s.Process);
    for (Request *request : s.Requests) {
        FUZZ_CHECK(request->Completions.load() == ExpectedReports(request),
                   "a %s of %lu bytes (call returned 0x%08X) reported its completion %d times", request->What,
                   (unsigned long)request->Length, (unsigned)request->Returned, request->Completions.load());
        FUZZ_CHECK(request->Information.load() <= request->Length, "a %s of %lu bytes reports %lu", request->What,
                   (unsigned long)request->Length, (unsigned long)request->Information.load());
    }
    if (s.Plugged) {
        HostUsbUnplug(s.Bus, s.Port);
    }
    FUZZ_CHECK(HostUsbWaitGone(s.Bus, s.Port, 10000), "the unit's device object stayed after the unplug");
    HostUsbBusDestroy(s.Bus);
    HostPoolUsage usage = HostPoolUsageByTag(HOST_POOL_TAG('W', 'd', 'm', ' '));
    FUZZ_CHECK(usage.Allocations == 0, "murvousb holds %lu bytes of pool in %lu blocks", (unsigned long)usage.Bytes,
               (unsigned long)usage.Allocations);
    for (int i = 0; i < 2000 && HostFindDriver(&MurvoUsb) != nullptr; i++) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    FUZZ_CHECK(HostFindDriver(&MurvoUsb) == nullptr, "murvousb is still loaded after its unit went");
    HostKernelReset();
    for (Request *request : s.Requests) {
        delete request;
    }
    return 0;
}
