/*
 * driver_harness.cpp - the spy driver beneath murvousb and the DriverTest fixture.
 */
#include "driver_harness.h"

#include <chrono>
#include <deque>
#include <set>
#include <mutex>
#include <thread>

namespace {

struct SpyExtension {
    PDEVICE_OBJECT Lower;
};

/* Everything the spy knows; one unit per test. */
struct SpyState {
    std::mutex Lock; /* guards every field below */
    std::vector<SpyRecord> Log;
    std::vector<SpyFailure> Failures;
    std::vector<ULONG> FailureSeen; /* matches so far, per failure */
    bool Answer = false;
    bool Hold = false;
    std::vector<UCHAR> InData;
    size_t InPosition = 0;
    std::deque<ULONG> InLimits;
    std::vector<UCHAR> OutData;
    std::deque<PIRP> Held;
    bool HoldRefusesCancel = false; /* held transfers get no cancel routine */
    std::set<PIRP> RefusingCancel;  /* the held transfers that have none */
    bool AnswerHeldOnCancel = false;
    ULONG PowerUpDelayMs = 0;
    UCHAR DelayedPnpMinor = 0;
    ULONG PnpDelayMs = 0;
    std::function<void(PIRP)> Hook;
};

SpyState &Spy()
{
    static SpyState *state = new SpyState;
    return *state;
}

PDRIVER_OBJECT g_spyDriver = nullptr;
PDRIVER_ADD_DEVICE g_realAddDevice = nullptr;
PDEVICE_OBJECT g_fdo = nullptr;

PURB UrbOf(PIO_STACK_LOCATION stack)
{
    if (stack->MajorFunction == IRP_MJ_INTERNAL_DEVICE_CONTROL &&
        stack->Parameters.DeviceIoControl.IoControlCode == IOCTL_INTERNAL_USB_SUBMIT_URB) {
        return static_cast<PURB>(stack->Parameters.Others.Argument1);
    }
    return nullptr;
}

SpyRecord RecordOf(PIO_STACK_LOCATION stack)
{
    SpyRecord record{};
    record.Major = stack->MajorFunction;
    record.Minor = stack->MinorFunction;
    if (stack->MajorFunction == IRP_MJ_INTERNAL_DEVICE_CONTROL) {
        record.IoControlCode = stack->Parameters.DeviceIoControl.IoControlCode;
    }
    if (PURB urb = UrbOf(stack)) {
        record.IsUrb = true;
        record.UrbFunction = urb->UrbHeader.Function;
        switch (urb->UrbHeader.Function) {
        case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
            record.DescriptorType = urb->UrbControlDescriptorRequest.DescriptorType;
            record.TransferLength = urb->UrbControlDescriptorRequest.TransferBufferLength;
            break;
        case URB_FUNCTION_SELECT_CONFIGURATION:
            record.ConfigurationNull = urb->UrbSelectConfiguration.ConfigurationDescriptor == nullptr;
            if (!record.ConfigurationNull) {
                for (ULONG i = 0; i < urb->UrbSelectConfiguration.Interface.NumberOfPipes; i++) {
                    record.MaximumTransferSizes.push_back(
                        urb->UrbSelectConfiguration.Interface.Pipes[i].MaximumTransferSize);
                }
            }
            break;
        case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
            record.TransferLength = urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
            record.PipeHandle = urb->UrbBulkOrInterruptTransfer.PipeHandle;
            break;
        case URB_FUNCTION_ABORT_PIPE:
        case URB_FUNCTION_RESET_PIPE:
            record.PipeHandle = urb->UrbPipeRequest.PipeHandle;
            break;
        default:
            break;
        }
    }
    if (stack->MajorFunction == IRP_MJ_POWER && stack->MinorFunction == IRP_MN_SET_POWER) {
        record.PowerType = stack->Parameters.Power.Type;
        record.PowerState = stack->Parameters.Power.State;
        record.RecordedAtArrival =
            g_fdo ? ReadShared(ExtensionOf(g_fdo)->CurrentDevicePowerState) : PowerDeviceUnspecified;
    }
    return record;
}

bool Matches(const SpyFailure &failure, const SpyRecord &record)
{
    if (failure.Major != record.Major) {
        return false;
    }
    if ((record.Major == IRP_MJ_PNP || record.Major == IRP_MJ_POWER) && failure.Minor != 0xFF &&
        failure.Minor != record.Minor) {
        return false;
    }
    if (failure.IoControlCode != 0 && failure.IoControlCode != record.IoControlCode) {
        return false;
    }
    if (failure.UrbFunction != SpyAnyUrb && (!record.IsUrb || failure.UrbFunction != record.UrbFunction)) {
        return false;
    }
    return failure.DescriptorType == 0 || failure.DescriptorType == record.DescriptorType;
}

void AnswerTransfer(PURB urb);

/* Completes a held bulk transfer as cancelled, having moved nothing. */
void CompleteCancelled(PIRP Irp)
{
    PURB urb = UrbOf(IoGetCurrentIrpStackLocation(Irp));
    urb->UrbBulkOrInterruptTransfer.TransferBufferLength = 0;
    urb->UrbHeader.Status = USBD_STATUS_CANCELED;
    Irp->IoStatus.Status = STATUS_CANCELLED;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
}

VOID SpyCancel(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    (void)DeviceObject;
    IoReleaseCancelSpinLock(Irp->CancelIrql);
    PIRP answered = nullptr;
    {
        std::lock_guard<std::mutex> guard(Spy().Lock);
        auto &held = Spy().Held;
        for (auto it = held.begin(); it != held.end(); ++it) {
            if (*it == Irp) {
                held.erase(it);
                break;
            }
        }
        // The unit's data arriving just as the transfer is cancelled: it goes to the next
        // transfer queued on the endpoint.
        if (Spy().AnswerHeldOnCancel && !held.empty() && IoSetCancelRoutine(held.front(), nullptr) != nullptr) {
            answered = held.front();
            held.pop_front();
            AnswerTransfer(UrbOf(IoGetCurrentIrpStackLocation(answered)));
        }
    }
    if (answered != nullptr) {
        answered->IoStatus.Status = STATUS_SUCCESS;
        answered->IoStatus.Information = 0;
        IoCompleteRequest(answered, IO_NO_INCREMENT);
    }
    CompleteCancelled(Irp);
}

/* Answers a bulk transfer from the script. Caller holds the spy's lock. */
void AnswerTransfer(PURB urb)
{
    SpyState &spy = Spy();
    auto &bulk = urb->UrbBulkOrInterruptTransfer;
    ULONG length = bulk.TransferBufferLength;
    UCHAR *buffer = bulk.TransferBufferMDL
                        ? static_cast<UCHAR *>(MmGetSystemAddressForMdlSafe(bulk.TransferBufferMDL, NormalPagePriority))
                        : nullptr;
    if (bulk.TransferFlags & USBD_TRANSFER_DIRECTION_IN) {
        ULONG take = length;
        if (!spy.InLimits.empty()) {
            take = std::min(take, spy.InLimits.front());
            spy.InLimits.pop_front();
        }
        take = static_cast<ULONG>(std::min<size_t>(take, spy.InData.size() - spy.InPosition));
        if (take > 0) {
            memcpy(buffer, spy.InData.data() + spy.InPosition, take);
        }
        spy.InPosition += take;
        bulk.TransferBufferLength = take;
    } else if (length > 0) {
        spy.OutData.insert(spy.OutData.end(), buffer, buffer + length);
    }
    urb->UrbHeader.Status = USBD_STATUS_SUCCESS;
}

/* A physical device object made by the test (no lower device): it starts, reports the
 * capabilities it was given and removes, and refuses everything else, URBs included. */
NTSTATUS FakePdoDispatch(PIRP Irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    NTSTATUS status = Irp->IoStatus.Status;
    if (stack->MajorFunction == IRP_MJ_PNP) {
        switch (stack->MinorFunction) {
        case IRP_MN_START_DEVICE:
        case IRP_MN_QUERY_CAPABILITIES:
        case IRP_MN_QUERY_REMOVE_DEVICE:
        case IRP_MN_CANCEL_REMOVE_DEVICE:
        case IRP_MN_SURPRISE_REMOVAL:
        case IRP_MN_REMOVE_DEVICE:
            status = STATUS_SUCCESS;
            break;
        default:
            break;
        }
    } else if (stack->MajorFunction == IRP_MJ_POWER) {
        PoStartNextPowerIrp(Irp);
        status = STATUS_SUCCESS;
    } else {
        status = STATUS_NOT_SUPPORTED;
    }
    Irp->IoStatus.Status = status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
}

/* An abort of a pipe ends the held transfers of that pipe that refused their cancel, as the
 * USB stack ends every transfer of an aborted pipe. */
void EndRefusingHeldOnAbort(USBD_PIPE_HANDLE Pipe)
{
    std::vector<PIRP> ended;
    {
        std::lock_guard<std::mutex> guard(Spy().Lock);
        auto &held = Spy().Held;
        for (auto it = held.begin(); it != held.end();) {
            PURB urb = UrbOf(IoGetCurrentIrpStackLocation(*it));
            if (Spy().RefusingCancel.count(*it) != 0 && urb->UrbBulkOrInterruptTransfer.PipeHandle == Pipe) {
                Spy().RefusingCancel.erase(*it);
                ended.push_back(*it);
                it = held.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (PIRP irp : ended) {
        CompleteCancelled(irp);
    }
}

NTSTATUS NTAPI SpyDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    SpyExtension *extension = static_cast<SpyExtension *>(DeviceObject->DeviceExtension);
    PDEVICE_OBJECT lower = extension->Lower;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    if (lower == nullptr) {
        return FakePdoDispatch(Irp);
    }
    SpyRecord record = RecordOf(stack);
    PURB urb = UrbOf(stack);
    SpyState &spy = Spy();

    std::function<void(PIRP)> hook;
    bool fail = false;
    SpyFailure failure{};
    bool answer = false, hold = false;
    ULONG powerUpDelay = 0, pnpDelay = 0;
    {
        std::lock_guard<std::mutex> guard(spy.Lock);
        spy.Log.push_back(record);
        hook = spy.Hook;
        for (size_t i = 0; i < spy.Failures.size(); i++) {
            if (Matches(spy.Failures[i], record)) {
                ULONG seen = ++spy.FailureSeen[i];
                if (!fail && (spy.Failures[i].Nth == 0 || spy.Failures[i].Nth == seen)) {
                    fail = true;
                    failure = spy.Failures[i];
                }
            }
        }
        bool bulk = urb != nullptr && urb->UrbHeader.Function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
        if (!fail && bulk && spy.Hold) {
            hold = true;
        } else if (!fail && bulk && spy.Answer) {
            AnswerTransfer(urb);
            answer = true;
        }
        if (stack->MajorFunction == IRP_MJ_POWER && record.PowerType == DevicePowerState &&
            record.PowerState.DeviceState == PowerDeviceD0) {
            powerUpDelay = spy.PowerUpDelayMs;
        }
        if (stack->MajorFunction == IRP_MJ_PNP && stack->MinorFunction == spy.DelayedPnpMinor) {
            pnpDelay = spy.PnpDelayMs;
        }
    }
    if (hook) {
        hook(Irp);
    }
    if (urb != nullptr && urb->UrbHeader.Function == URB_FUNCTION_ABORT_PIPE) {
        EndRefusingHeldOnAbort(urb->UrbPipeRequest.PipeHandle);
    }

    if (fail) {
        if (urb != nullptr) {
            urb->UrbHeader.Status = failure.UrbStatus;
            if (urb->UrbHeader.Function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) {
                urb->UrbBulkOrInterruptTransfer.TransferBufferLength = 0;
            }
        }
        if (stack->MajorFunction == IRP_MJ_POWER) {
            PoStartNextPowerIrp(Irp);
        }
        Irp->IoStatus.Status = failure.IrpStatus;
        Irp->IoStatus.Information = 0;
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        return failure.IrpStatus;
    }
    if (answer) {
        Irp->IoStatus.Status = STATUS_SUCCESS;
        Irp->IoStatus.Information = 0;
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    }
    if (hold) {
        IoMarkIrpPending(Irp);
        std::unique_lock<std::mutex> guard(spy.Lock);
        spy.Held.push_back(Irp);
        if (spy.HoldRefusesCancel) {
            spy.RefusingCancel.insert(Irp);
            return STATUS_PENDING;
        }
        IoSetCancelRoutine(Irp, SpyCancel);
        if (ReadShared(Irp->Cancel) && IoSetCancelRoutine(Irp, nullptr) != nullptr) {
            spy.Held.pop_back();
            guard.unlock();
            Irp->IoStatus.Status = STATUS_CANCELLED;
            urb->UrbBulkOrInterruptTransfer.TransferBufferLength = 0;
            IoCompleteRequest(Irp, IO_NO_INCREMENT);
        }
        return STATUS_PENDING;
    }

    switch (stack->MajorFunction) {
    case IRP_MJ_POWER:
        if (powerUpDelay > 0) {
            IoMarkIrpPending(Irp);
            std::thread([Irp, lower, powerUpDelay] {
                std::this_thread::sleep_for(std::chrono::milliseconds(powerUpDelay));
                PoStartNextPowerIrp(Irp);
                IoCopyCurrentIrpStackLocationToNext(Irp); // the spy's own location stays marked
                PoCallDriver(lower, Irp);
            }).detach();
            return STATUS_PENDING;
        }
        PoStartNextPowerIrp(Irp);
        IoSkipCurrentIrpStackLocation(Irp);
        return PoCallDriver(lower, Irp);
    case IRP_MJ_PNP:
        if (pnpDelay > 0) {
            IoMarkIrpPending(Irp);
            std::thread([Irp, lower, pnpDelay] {
                std::this_thread::sleep_for(std::chrono::milliseconds(pnpDelay));
                IoCopyCurrentIrpStackLocationToNext(Irp);
                IoCallDriver(lower, Irp);
            }).detach();
            return STATUS_PENDING;
        }
        if (stack->MinorFunction == IRP_MN_REMOVE_DEVICE) {
            // The bus deletes a gone unit's device object while handling the removal; the
            // stand-in wants nothing attached to it by then, so the spy lets go first. The
            // spy itself is deleted once murvousb has detached from it (SpyingDispatchPnp).
            IoSkipCurrentIrpStackLocation(Irp);
            IoDetachDevice(lower);
            return IoCallDriver(lower, Irp);
        }
        break;
    default:
        break;
    }
    IoSkipCurrentIrpStackLocation(Irp);
    return IoCallDriver(lower, Irp);
}

NTSTATUS NTAPI SpyDriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    (void)RegistryPath;
    for (int major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; major++) {
        DriverObject->MajorFunction[major] = SpyDispatch;
    }
    return STATUS_SUCCESS;
}

/* AddDevice of the driver under test: puts a spy device on the physical device object,
 * then lets murvousb's AddDevice attach above it. */
NTSTATUS NTAPI SpyingAddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject)
{
    PDEVICE_OBJECT spyDevice = nullptr;
    NTSTATUS status = IoCreateDevice(g_spyDriver, sizeof(SpyExtension), nullptr, FILE_DEVICE_UNKNOWN,
                                     FILE_AUTOGENERATED_DEVICE_NAME, FALSE, &spyDevice);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    SpyExtension *extension = static_cast<SpyExtension *>(spyDevice->DeviceExtension);
    extension->Lower = IoAttachDeviceToDeviceStack(spyDevice, PhysicalDeviceObject);
    spyDevice->Flags |= DO_DIRECT_IO | DO_POWER_PAGABLE;
    spyDevice->Flags &= ~DO_DEVICE_INITIALIZING;

    status = g_realAddDevice(DriverObject, PhysicalDeviceObject);
    if (!NT_SUCCESS(status)) {
        IoDetachDevice(extension->Lower);
        IoDeleteDevice(spyDevice);
        return status;
    }
    g_fdo = IoGetAttachedDevice(PhysicalDeviceObject);
    return status;
}

PDRIVER_DISPATCH g_realDispatchPnp = nullptr;

/* murvousb's plug-and-play dispatch, followed at removal by the deletion of the spy beneath. */
NTSTATUS NTAPI SpyingDispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    if (IoGetCurrentIrpStackLocation(Irp)->MinorFunction != IRP_MN_REMOVE_DEVICE) {
        return g_realDispatchPnp(DeviceObject, Irp);
    }
    PDEVICE_OBJECT spyDevice = ExtensionOf(DeviceObject)->LowerDevice;
    NTSTATUS status = g_realDispatchPnp(DeviceObject, Irp);
    IoDeleteDevice(spyDevice);
    if (g_fdo == DeviceObject) {
        g_fdo = nullptr;
    }
    return status;
}

NTSTATUS NTAPI TestDriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    NTSTATUS status = DriverEntry(DriverObject, RegistryPath);
    g_realDispatchPnp = DriverObject->MajorFunction[IRP_MJ_PNP];
    DriverObject->MajorFunction[IRP_MJ_PNP] = SpyingDispatchPnp;
    g_realAddDevice = DriverObject->DriverExtension->AddDevice;
    DriverObject->DriverExtension->AddDevice = SpyingAddDevice;
    return status;
}

} // namespace

const HostDriverInfo MurvoTestDriver = {"murvousb", TestDriverEntry, TRUE};
const HostDriverInfo SpyDriver = {"murvospy", SpyDriverEntry, FALSE};

void SpyReset()
{
    SpyState &spy = Spy();
    std::lock_guard<std::mutex> guard(spy.Lock);
    spy.Log.clear();
    spy.Failures.clear();
    spy.FailureSeen.clear();
    spy.Answer = false;
    spy.Hold = false;
    spy.HoldRefusesCancel = false;
    spy.InData.clear();
    spy.InPosition = 0;
    spy.InLimits.clear();
    spy.OutData.clear();
    spy.PowerUpDelayMs = 0;
    spy.AnswerHeldOnCancel = false;
    spy.PnpDelayMs = 0;
    spy.Hook = nullptr;
}

std::vector<SpyRecord> SpyLog()
{
    std::lock_guard<std::mutex> guard(Spy().Lock);
    return Spy().Log;
}

void SpyClearLog()
{
    std::lock_guard<std::mutex> guard(Spy().Lock);
    Spy().Log.clear();
}

void SpyAddFailure(const SpyFailure &failure)
{
    std::lock_guard<std::mutex> guard(Spy().Lock);
    Spy().Failures.push_back(failure);
    Spy().FailureSeen.push_back(0);
}

void SpyAnswerTransfers(bool on)
{
    std::lock_guard<std::mutex> guard(Spy().Lock);
    Spy().Answer = on;
}

void SpySetInData(const std::vector<UCHAR> &data, const std::vector<ULONG> &inLimits)
{
    std::lock_guard<std::mutex> guard(Spy().Lock);
    Spy().InData = data;
    Spy().InPosition = 0;
    Spy().InLimits.assign(inLimits.begin(), inLimits.end());
}

std::vector<UCHAR> SpyOutData()
{
    std::lock_guard<std::mutex> guard(Spy().Lock);
    return Spy().OutData;
}

void SpyHoldTransfers(bool on)
{
    std::lock_guard<std::mutex> guard(Spy().Lock);
    Spy().Hold = on;
}

void SpyHoldTransfersRefusingCancel(bool on)
{
    std::lock_guard<std::mutex> guard(Spy().Lock);
    Spy().Hold = on;
    Spy().HoldRefusesCancel = on;
}

ULONG SpyHeldCount()
{
    std::lock_guard<std::mutex> guard(Spy().Lock);
    return static_cast<ULONG>(Spy().Held.size());
}

void SpyReleaseHeld(NTSTATUS status)
{
    std::deque<PIRP> held;
    {
        // A request whose cancel routine already ran stays queued: the routine takes it
        // out and completes it once it gets the lock.
        std::lock_guard<std::mutex> guard(Spy().Lock);
        std::deque<PIRP> cancelling;
        for (PIRP irp : Spy().Held) {
            bool refusing = Spy().RefusingCancel.erase(irp) != 0;
            (refusing || IoSetCancelRoutine(irp, nullptr) != nullptr ? held : cancelling).push_back(irp);
        }
        Spy().Held.swap(cancelling);
    }
    for (PIRP irp : held) {
        PURB urb = UrbOf(IoGetCurrentIrpStackLocation(irp));
        if (!NT_SUCCESS(status)) {
            urb->UrbBulkOrInterruptTransfer.TransferBufferLength = 0;
            urb->UrbHeader.Status = USBD_STATUS_ERROR;
        }
        irp->IoStatus.Status = status;
        irp->IoStatus.Information = 0;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
    }
}

void SpyAnswerHeldOnCancel(bool on)
{
    std::lock_guard<std::mutex> guard(Spy().Lock);
    Spy().AnswerHeldOnCancel = on;
}

void SpyDelayPowerUp(ULONG milliseconds)
{
    std::lock_guard<std::mutex> guard(Spy().Lock);
    Spy().PowerUpDelayMs = milliseconds;
}

void SpyDelayPnp(UCHAR minor, ULONG milliseconds)
{
    std::lock_guard<std::mutex> guard(Spy().Lock);
    Spy().DelayedPnpMinor = minor;
    Spy().PnpDelayMs = milliseconds;
}

PDEVICE_OBJECT SpyCreateFakePdo()
{
    PDEVICE_OBJECT pdo = nullptr;
    if (!NT_SUCCESS(IoCreateDevice(g_spyDriver, sizeof(SpyExtension), nullptr, FILE_DEVICE_UNKNOWN,
                                   FILE_AUTOGENERATED_DEVICE_NAME, FALSE, &pdo))) {
        return nullptr;
    }
    static_cast<SpyExtension *>(pdo->DeviceExtension)->Lower = nullptr;
    pdo->Flags &= ~DO_DEVICE_INITIALIZING;
    return pdo;
}

PDEVICE_OBJECT SpyFunctionDevice() { return g_fdo; }

void SpySetHook(std::function<void(PIRP)> hook)
{
    std::lock_guard<std::mutex> guard(Spy().Lock);
    Spy().Hook = std::move(hook);
}

HostUsbUnitSettings UnitSettings()
{
    HostUsbUnitSettings settings;
    HostUsbUnitSettingsDefault(&settings, UsbFullSpeed);
    settings.FunctionDriver = &MurvoTestDriver;
    return settings;
}

UsbDescriptorSet DescriptorsOfLength(uint32_t totalLength)
{
    UsbDescriptorSet set;
    UsbDescriptorSetUnit(&set, UsbFullSpeed);
    uint32_t pad = totalLength - UsbDescriptorSetTotalLength(&set);
    while (pad > 0) {
        uint32_t chunk = std::min<uint32_t>(pad, 255);
        if (pad - chunk == 1) {
            chunk -= 2; // a descriptor is at least two bytes long
        }
        UCHAR descriptor[255] = {};
        descriptor[0] = static_cast<UCHAR>(chunk);
        descriptor[1] = 0x41; // class-specific, ignored by everyone
        UsbDescriptorSetAppend(&set, descriptor, chunk);
        pad -= chunk;
    }
    set.ConfigLength = totalLength;
    return set;
}

std::u16string InterfacePath(ULONG index)
{
    static const GUID interfaceClass = MURVO_INTERFACE_GUID_INIT;
    WCHAR buffer[512];
    ULONG required = 0;
    if (!NT_SUCCESS(HostGetDeviceInterfacePath(&interfaceClass, index, buffer, 512, &required))) {
        return std::u16string();
    }
    return std::u16string(buffer);
}

void DriverTest::SetUp()
{
    SpyReset();
    g_fdo = nullptr;
    ASSERT_TRUE(NT_SUCCESS(HostLoadDriver(&SpyDriver, &g_spyDriver)));
    bus = HostUsbBusCreate();
    ASSERT_NE(bus, nullptr);
    process = HostProcessCreate();
}

void DriverTest::TearDown()
{
    SpySetHook(nullptr);
    SpyHoldTransfers(false);
    SpyReleaseHeld(STATUS_CANCELLED);
    if (process != nullptr) {
        HostProcessEnd(process);
    }
    if (bus != nullptr) {
        HostUsbBusDestroy(bus);
    }
    HostPoolUsage usage = HostPoolUsageByTag(MurvoPoolTag);
    EXPECT_EQ(usage.Allocations, 0u) << "murvousb still holds " << usage.Bytes << " bytes of pool";
    // The plug-and-play manager unloads murvousb itself once its last device is gone, a
    // moment after the node reads removed; unloading it here as well would race with that.
    EXPECT_TRUE(WaitFor([] { return HostFindDriver(&MurvoTestDriver) == nullptr; }))
        << "murvousb is still loaded after its last unit went";
    if (g_spyDriver != nullptr) {
        HostUnloadDriver(g_spyDriver);
        g_spyDriver = nullptr;
    }
    HostVerifierSetLowResources(nullptr);
    HostVerifierSetDelayFuzzing(0, 0, 0);
    HostKernelReset();
    SpyReset();
    g_fdo = nullptr;
}

NTSTATUS DriverTest::Plug(const HostUsbUnitSettings &settings)
{
    char error[256] = "";
    NTSTATUS startStatus = STATUS_UNSUCCESSFUL;
    port = HostUsbPlug(bus, &settings, &startStatus, error, sizeof error);
    EXPECT_GT(port, 0) << error;
    fdo = g_fdo;
    return startStatus;
}

PDEVICE_OBJECT DriverTest::Fdo() { return fdo; }

NTSTATUS DriverTest::Open(const std::u16string &suffix, HostFile **file)
{
    std::u16string path = InterfacePath() + suffix;
    *file = nullptr;
    return HostCreateFile(process, path.c_str(), file);
}

HostFile *DriverTest::OpenOk(const std::u16string &suffix)
{
    HostFile *file = nullptr;
    NTSTATUS status = Open(suffix, &file);
    EXPECT_EQ(status, STATUS_SUCCESS) << "opening suffix of " << suffix.size() << " units";
    return file;
}

void DriverTest::UnplugAndWait()
{
    ASSERT_TRUE(HostUsbUnplug(bus, port));
    HostProcessEnd(process);
    process = HostProcessCreate();
    ASSERT_TRUE(HostUsbWaitGone(bus, port, 5000));
    fdo = nullptr;
}

bool DriverTest::WaitFor(const std::function<bool()> &predicate)
{
    for (int i = 0; i < 400; i++) {
        if (predicate()) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return predicate();
}
