/*
 * usb_test_driver.cpp - the tests' function driver and its helpers.
 */
#include "usb/usb_test_driver.h"

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string.h>

#define TEST_POOL_TAG HOST_POOL_TAG('U', 's', 'b', 'T')

struct TestDeviceExtension {
    PDEVICE_OBJECT Lower;
};

/* The test driver's remove lock, as a real function driver keeps one: requests are sent
 * down only while the device is not being removed, and REMOVE_DEVICE waits for those on
 * their way. Keyed by the lower device, which is what the tests hold. */
struct RemoveGuard {
    PDEVICE_OBJECT Lower;
    bool Removing;
    int Sending;
};
static std::mutex GuardLock; /* guards Guards */
static std::condition_variable GuardChanged;
static RemoveGuard Guards[16];

/* Counts a send to lower; false when its device is gone or going. */
static bool EnterSend(PDEVICE_OBJECT lower)
{
    std::lock_guard<std::mutex> hold(GuardLock);
    for (RemoveGuard &guard : Guards) {
        if (guard.Lower == lower && !guard.Removing) {
            guard.Sending++;
            return true;
        }
    }
    return false;
}

static void LeaveSend(PDEVICE_OBJECT lower)
{
    std::lock_guard<std::mutex> hold(GuardLock);
    for (RemoveGuard &guard : Guards) {
        if (guard.Lower == lower) {
            guard.Sending--;
        }
    }
    GuardChanged.notify_all();
}

/* Completion routine of a request passed down and waited for. */
static NTSTATUS OnPassedDown(PDEVICE_OBJECT deviceObject, PIRP irp, PVOID context)
{
    (void)deviceObject;
    (void)irp;
    KeSetEvent((PKEVENT)context, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

static NTSTATUS PassDownAndWait(PDEVICE_OBJECT lower, PIRP irp)
{
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, OnPassedDown, &done, TRUE, TRUE, TRUE);
    NTSTATUS status = IoCallDriver(lower, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, NULL);
        status = irp->IoStatus.Status;
    }
    return status;
}

static NTSTATUS TestDispatchPnp(PDEVICE_OBJECT deviceObject, PIRP irp)
{
    TestDeviceExtension *extension = (TestDeviceExtension *)deviceObject->DeviceExtension;
    PDEVICE_OBJECT lower = extension->Lower;
    switch (IoGetCurrentIrpStackLocation(irp)->MinorFunction) {
    case IRP_MN_START_DEVICE: {
        NTSTATUS status = PassDownAndWait(lower, irp);
        irp->IoStatus.Status = status;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return status;
    }
    case IRP_MN_REMOVE_DEVICE: {
        {
            std::unique_lock<std::mutex> hold(GuardLock);
            for (RemoveGuard &guard : Guards) {
                if (guard.Lower == lower) {
                    guard.Removing = true;
                    GuardChanged.wait(hold, [&guard] { return guard.Sending == 0; });
                    guard.Lower = NULL;
                }
            }
        }
        IoSkipCurrentIrpStackLocation(irp);
        NTSTATUS status = IoCallDriver(lower, irp);
        IoDetachDevice(lower);
        IoDeleteDevice(deviceObject);
        return status;
    }
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
        irp->IoStatus.Status = STATUS_SUCCESS;
        break;
    default:
        break;
    }
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(lower, irp);
}

static NTSTATUS TestDispatchPower(PDEVICE_OBJECT deviceObject, PIRP irp)
{
    TestDeviceExtension *extension = (TestDeviceExtension *)deviceObject->DeviceExtension;
    PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(extension->Lower, irp);
}

static NTSTATUS TestDispatchPassOn(PDEVICE_OBJECT deviceObject, PIRP irp)
{
    TestDeviceExtension *extension = (TestDeviceExtension *)deviceObject->DeviceExtension;
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(extension->Lower, irp);
}

static NTSTATUS TestAddDevice(PDRIVER_OBJECT driverObject, PDEVICE_OBJECT pdo)
{
    PDEVICE_OBJECT fdo = NULL;
    NTSTATUS status =
        IoCreateDevice(driverObject, sizeof(TestDeviceExtension), NULL, FILE_DEVICE_UNKNOWN, 0, FALSE, &fdo);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    TestDeviceExtension *extension = (TestDeviceExtension *)fdo->DeviceExtension;
    extension->Lower = IoAttachDeviceToDeviceStack(fdo, pdo);
    if (extension->Lower == NULL) {
        IoDeleteDevice(fdo);
        return STATUS_NO_SUCH_DEVICE;
    }
    {
        std::lock_guard<std::mutex> hold(GuardLock);
        for (RemoveGuard &guard : Guards) {
            if (guard.Lower == NULL) {
                guard = RemoveGuard{extension->Lower, false, 0};
                break;
            }
        }
    }
    fdo->Flags |= DO_POWER_PAGABLE;
    fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

static NTSTATUS TestDriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath)
{
    (void)registryPath;
    driverObject->DriverExtension->AddDevice = TestAddDevice;
    driverObject->MajorFunction[IRP_MJ_PNP] = TestDispatchPnp;
    driverObject->MajorFunction[IRP_MJ_POWER] = TestDispatchPower;
    driverObject->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = TestDispatchPassOn;
    driverObject->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = TestDispatchPassOn;
    return STATUS_SUCCESS;
}

const HostDriverInfo UsbTestDriver = {"usbtest", TestDriverEntry, FALSE};

PDEVICE_OBJECT UsbTestLowerDevice(HostUsbBus *bus, int port)
{
    HostDeviceNode *node = HostUsbUnitNode(bus, port);
    if (node == NULL) {
        return NULL;
    }
    PDEVICE_OBJECT fdo = HostPnpFunctionDevice(node);
    return fdo != NULL ? ((TestDeviceExtension *)fdo->DeviceExtension)->Lower : NULL;
}

NTSTATUS UsbTestInternalControl(PDEVICE_OBJECT lower, ULONG code, PVOID argument)
{
    if (!EnterSend(lower)) {
        return STATUS_DELETE_PENDING;
    }
    KEVENT done;
    IO_STATUS_BLOCK ioStatus;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(code, lower, NULL, 0, NULL, 0, TRUE, &done, &ioStatus);
    if (irp == NULL) {
        LeaveSend(lower);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = argument;
    NTSTATUS status = IoCallDriver(lower, irp);
    LeaveSend(lower);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, NULL);
        status = ioStatus.Status;
    }
    return status;
}

NTSTATUS UsbTestSubmit(PDEVICE_OBJECT lower, PURB urb)
{
    return UsbTestInternalControl(lower, IOCTL_INTERNAL_USB_SUBMIT_URB, urb);
}

/* Completions counted across the run, to check their order. */
static std::atomic<ULONG> CompletionCounter{0};

static NTSTATUS OnTransferDone(PDEVICE_OBJECT deviceObject, PIRP irp, PVOID context)
{
    (void)deviceObject;
    UsbTestTransfer *transfer = (UsbTestTransfer *)context;
    transfer->Status = irp->IoStatus.Status;
    transfer->CompletionIrql = KeGetCurrentIrql();
    transfer->Order = ++CompletionCounter;
    KeSetEvent(&transfer->Done, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

void UsbTestPrepareBulk(UsbTestTransfer *transfer, USBD_PIPE_HANDLE pipe, bool in, ULONG length, bool shortOk,
                        bool useMdl)
{
    memset(&transfer->Urb, 0, sizeof(transfer->Urb));
    transfer->Irp = NULL;
    transfer->Mdl = NULL;
    transfer->Status = STATUS_PENDING;
    transfer->Data.assign(length + 1, 0xEE); /* one guard byte past the end */
    KeInitializeEvent(&transfer->Done, NotificationEvent, FALSE);
    ULONG flags =
        (in ? USBD_TRANSFER_DIRECTION_IN : USBD_TRANSFER_DIRECTION_OUT) | (shortOk ? USBD_SHORT_TRANSFER_OK : 0);
    PVOID buffer = length > 0 ? transfer->Data.data() : NULL;
    if (useMdl && length > 0) {
        transfer->Mdl = IoAllocateMdl(buffer, length, FALSE, FALSE, NULL);
        MmBuildMdlForNonPagedPool(transfer->Mdl);
        buffer = NULL;
    }
    UsbBuildInterruptOrBulkTransferRequest(&transfer->Urb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), pipe, buffer,
                                           transfer->Mdl, length, flags, NULL);
}

NTSTATUS UsbTestStart(PDEVICE_OBJECT lower, UsbTestTransfer *transfer)
{
    if (!EnterSend(lower)) {
        /* Completed here, as a driver completes a request it no longer sends down. */
        transfer->Status = STATUS_DELETE_PENDING;
        KeSetEvent(&transfer->Done, IO_NO_INCREMENT, FALSE);
        return STATUS_DELETE_PENDING;
    }
    NTSTATUS status = UsbTestStartUnguarded(lower, transfer);
    LeaveSend(lower);
    return status;
}

NTSTATUS UsbTestStartUnguarded(PDEVICE_OBJECT lower, UsbTestTransfer *transfer)
{
    transfer->Irp = IoAllocateIrp(lower->StackSize, FALSE);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(transfer->Irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = &transfer->Urb;
    IoSetCompletionRoutine(transfer->Irp, OnTransferDone, transfer, TRUE, TRUE, TRUE);
    return IoCallDriver(lower, transfer->Irp);
}

bool UsbTestWait(UsbTestTransfer *transfer, ULONG timeoutMs)
{
    LARGE_INTEGER timeout;
    timeout.QuadPart = -(LONGLONG)timeoutMs * 10000;
    return KeWaitForSingleObject(&transfer->Done, Executive, KernelMode, FALSE, &timeout) == STATUS_SUCCESS;
}

bool UsbTestIsDone(UsbTestTransfer *transfer) { return KeReadStateEvent(&transfer->Done) != 0; }

void UsbTestRelease(UsbTestTransfer *transfer)
{
    if (transfer->Irp != NULL) {
        IoFreeIrp(transfer->Irp);
        transfer->Irp = NULL;
    }
    if (transfer->Mdl != NULL) {
        IoFreeMdl(transfer->Mdl);
        transfer->Mdl = NULL;
    }
}

UsbTestConfig UsbTestSelect(PDEVICE_OBJECT lower, ULONG maximumTransferSize)
{
    UsbTestConfig result = {};
    std::vector<UCHAR> config(4096);
    URB urb;
    memset(&urb, 0, sizeof(urb));
    UsbBuildGetDescriptorRequest(&urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST),
                                 USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, config.data(), NULL, (ULONG)config.size(),
                                 NULL);
    result.Status = UsbTestSubmit(lower, &urb);
    if (!NT_SUCCESS(result.Status)) {
        return result;
    }
    USHORT size = 0;
    PURB select = USBD_CreateConfigurationRequest((PUSB_CONFIGURATION_DESCRIPTOR)config.data(), &size);
    if (select == NULL) {
        result.Status = STATUS_INSUFFICIENT_RESOURCES;
        return result;
    }
    PUSBD_INTERFACE_INFORMATION iface = &select->UrbSelectConfiguration.Interface;
    for (ULONG i = 0; i < iface->NumberOfPipes; i++) {
        iface->Pipes[i].MaximumTransferSize = maximumTransferSize;
    }
    result.Status = UsbTestSubmit(lower, select);
    result.UrbStatus = select->UrbHeader.Status;
    result.Handle = select->UrbSelectConfiguration.ConfigurationHandle;
    for (ULONG i = 0; i < iface->NumberOfPipes && NT_SUCCESS(result.Status); i++) {
        result.Pipes.push_back(iface->Pipes[i]);
    }
    ExFreePool(select);
    return result;
}

void UsbBusTest::SetUp()
{
    bus = HostUsbBusCreate();
    ASSERT_NE(bus, nullptr);
}

void UsbBusTest::TearDown()
{
    if (bus != nullptr) {
        HostUsbBusDestroy(bus);
        bus = nullptr;
    }
    /* The plug-and-play manager unloads the test driver with its last device; the reset
     * waits for that and reports a driver left loaded. */
    HostKernelReset();
    EXPECT_EQ(HostLiveIrpCount(), 0u) << "requests leaked";
    EXPECT_EQ(HostLiveMdlCount(), 0u) << "MDLs leaked";
}

HostUsbUnitSettings UsbBusTest::Settings(USB_DEVICE_SPEED speed)
{
    HostUsbUnitSettings settings;
    HostUsbUnitSettingsDefault(&settings, speed);
    settings.FunctionDriver = &UsbTestDriver;
    return settings;
}

int UsbBusTest::Plug(HostUsbUnitSettings settings)
{
    char error[256] = "";
    NTSTATUS startStatus = STATUS_UNSUCCESSFUL;
    int port = HostUsbPlug(bus, &settings, &startStatus, error, sizeof(error));
    EXPECT_GT(port, 0) << error;
    EXPECT_EQ(startStatus, STATUS_SUCCESS);
    return port;
}

int UsbBusTest::PlugDefault(USB_DEVICE_SPEED speed) { return Plug(Settings(speed)); }
