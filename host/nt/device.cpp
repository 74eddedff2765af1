/*
 * device.cpp - driver objects (loading, the default dispatch routine, unloading) and
 * device objects (creation, stacks, deletion).
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <unordered_set>

#include "host/nt/nt_internal.h"

std::mutex HostKernelLock;
std::condition_variable HostKernelChanged;

/* Loaded drivers (guarded by HostKernelLock). */
static std::vector<HostDriver *> LoadedDrivers;

/* Guards the set of device objects that exist. */
static std::mutex DeviceSetLock;
static std::unordered_set<PDEVICE_OBJECT> LiveDevices;
static ULONGLONG NextSerial = 1;

HostDriver *HostDriverOf(PDRIVER_OBJECT DriverObject) { return CONTAINING_RECORD(DriverObject, HostDriver, Object); }

bool HostDeviceIsLive(PDEVICE_OBJECT DeviceObject)
{
    std::lock_guard<std::mutex> guard(DeviceSetLock);
    return LiveDevices.count(DeviceObject) != 0;
}

bool HostDeviceIsLiveSerial(PDEVICE_OBJECT DeviceObject, ULONGLONG Serial)
{
    std::lock_guard<std::mutex> guard(DeviceSetLock);
    return LiveDevices.count(DeviceObject) != 0 && DeviceObject->DeviceObjectExtension->Serial == Serial;
}

BOOLEAN HostDeviceObjectExists(PDEVICE_OBJECT DeviceObject)
{
    std::lock_guard<std::mutex> guard(DeviceSetLock);
    return LiveDevices.count(DeviceObject) != 0;
}

static void SetUnicode(PUNICODE_STRING String, PWSTR Buffer, const char *Prefix, const char *Name, size_t Capacity)
{
    size_t n = 0;
    for (const char *p = Prefix; *p && n + 1 < Capacity; p++) {
        Buffer[n++] = (WCHAR)*p;
    }
    for (const char *p = Name; *p && n + 1 < Capacity; p++) {
        Buffer[n++] = (WCHAR)*p;
    }
    Buffer[n] = 0;
    String->Buffer = Buffer;
    String->Length = (USHORT)(n * sizeof(WCHAR));
    String->MaximumLength = (USHORT)((n + 1) * sizeof(WCHAR));
}

/* The I/O manager's handler of every major function a driver leaves unset. */
static NTSTATUS DefaultDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    (void)DeviceObject;
    Irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    Irp->IoStatus.Information = 0;
    (IofCompleteRequest)(Irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
}

NTSTATUS HostLoadDriverInternal(const HostDriverInfo *Info, bool ByPnp, PDRIVER_OBJECT *DriverObject)
{
    *DriverObject = nullptr;
    if (HostThread()->Irql != PASSIVE_LEVEL) {
        HostReport("IRQL_NOT_LESS", nullptr, HostTakeCallSite(), "driver loaded at IRQL %d", HostThread()->Irql);
    }
    {
        std::lock_guard<std::mutex> guard(HostKernelLock);
        for (HostDriver *driver : LoadedDrivers) {
            if (driver->Info == Info) {
                *DriverObject = &driver->Object;
                return STATUS_SUCCESS;
            }
        }
    }
    HostDriver *driver = (HostDriver *)calloc(1, sizeof(HostDriver));
    driver->Info = Info;
    driver->LoadedByPnp = ByPnp;
    PDRIVER_OBJECT object = &driver->Object;
    object->Type = IO_TYPE_DRIVER;
    object->Size = sizeof(DRIVER_OBJECT);
    object->DriverExtension = &driver->Extension;
    driver->Extension.DriverObject = object;
    SetUnicode(&object->DriverName, driver->NameBuffer, "\\Driver\\", Info->Name, 80);
    object->DriverInit = Info->Entry;
    for (int i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; i++) {
        object->MajorFunction[i] = DefaultDispatch;
    }

    WCHAR pathBuffer[160];
    UNICODE_STRING registryPath;
    SetUnicode(&registryPath, pathBuffer, "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\", Info->Name,
               160);
    HostContextSave save = HostEnterDriver(object, nullptr);
    NTSTATUS status = Info->Entry(object, &registryPath);
    HostLeaveDriver(save);
    if (HostThread()->Irql != PASSIVE_LEVEL) {
        HostReport("DISPATCH_IRQL_CHANGED", nullptr, HostCallSite{nullptr, 0}, "DriverEntry of %s returned at IRQL %d",
                   Info->Name, HostThread()->Irql);
    }
    if (!NT_SUCCESS(status)) {
        if (object->DeviceObject) {
            HostReport("DRIVER_UNLOAD_DEVICES", nullptr, HostCallSite{nullptr, 0},
                       "DriverEntry of %s failed (0x%08x) but left device objects", Info->Name, (unsigned)status);
        }
        HostPoolReportLeaks(object, "failed DriverEntry");
        free(driver);
        return status;
    }
    for (int i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; i++) {
        if (!object->MajorFunction[i]) {
            HostReport("NOT_MODELLED", nullptr, HostCallSite{nullptr, 0}, "DriverEntry of %s set %s to null",
                       Info->Name, HostMajorName((UCHAR)i));
        }
    }
    {
        std::lock_guard<std::mutex> guard(HostKernelLock);
        LoadedDrivers.push_back(driver);
    }
    *DriverObject = object;
    return STATUS_SUCCESS;
}

NTSTATUS HostLoadDriver(const HostDriverInfo *Info, PDRIVER_OBJECT *DriverObject)
{
    return HostLoadDriverInternal(Info, false, DriverObject);
}

PDRIVER_OBJECT HostFindDriver(const HostDriverInfo *Info)
{
    std::lock_guard<std::mutex> guard(HostKernelLock);
    for (HostDriver *driver : LoadedDrivers) {
        if (driver->Info == Info) {
            return &driver->Object;
        }
    }
    return nullptr;
}

NTSTATUS HostUnloadDriver(PDRIVER_OBJECT DriverObject)
{
    HostDriver *driver = HostDriverOf(DriverObject);
    {
        std::lock_guard<std::mutex> guard(HostKernelLock);
        bool found = false;
        for (size_t i = 0; i < LoadedDrivers.size(); i++) {
            if (LoadedDrivers[i] == driver) {
                LoadedDrivers.erase(LoadedDrivers.begin() + (long)i);
                found = true;
                break;
            }
        }
        if (!found) {
            return STATUS_INVALID_PARAMETER;
        }
    }
    if (DriverObject->DeviceObject) {
        HostReport("DRIVER_UNLOAD_DEVICES", nullptr, HostCallSite{nullptr, 0},
                   "driver %s unloaded while its device object %p still exists", driver->Info->Name,
                   (void *)DriverObject->DeviceObject);
    }
    if (DriverObject->DriverUnload) {
        HostContextSave save = HostEnterDriver(DriverObject, nullptr);
        DriverObject->DriverUnload(DriverObject);
        HostLeaveDriver(save);
    }
    char when[160];
    snprintf(when, sizeof when, "unload of driver %s", driver->Info->Name);
    HostPoolReportLeaks(DriverObject, when);
    free(driver);
    return STATUS_SUCCESS;
}

void HostUnloadIfUnused(PDRIVER_OBJECT DriverObject)
{
    HostDriver *driver = HostDriverOf(DriverObject);
    if (driver->LoadedByPnp && !DriverObject->DeviceObject) {
        HostUnloadDriver(DriverObject);
    }
}

ULONG HostLoadedDriverCount(void)
{
    std::lock_guard<std::mutex> guard(HostKernelLock);
    return (ULONG)LoadedDrivers.size();
}

/* ---- Device objects --------------------------------------------------------------------- */

static size_t ExtensionOffset(void)
{
    size_t offset = sizeof(DEVICE_OBJECT) + sizeof(struct _DEVOBJ_EXTENSION);
    return (offset + 15) & ~(size_t)15;
}

NTSTATUS(IoCreateDevice)
(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize, PUNICODE_STRING DeviceName, DEVICE_TYPE DeviceType,
 ULONG DeviceCharacteristics, BOOLEAN Exclusive, PDEVICE_OBJECT *DeviceObject)
{
    (void)DeviceName; /* there is no object namespace: names are accepted and not published */
    HostCallSite site = HostTakeCallSite();
    *DeviceObject = nullptr;
    if (HostThread()->Irql != PASSIVE_LEVEL) {
        HostReport("IRQL_NOT_LESS", nullptr, site, "IoCreateDevice at IRQL %d", HostThread()->Irql);
    }
    if (HostShouldFailCall("IoCreateDevice")) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    char *block = (char *)calloc(1, ExtensionOffset() + DeviceExtensionSize);
    if (!block) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    PDEVICE_OBJECT device = (PDEVICE_OBJECT)block;
    struct _DEVOBJ_EXTENSION *doe = (struct _DEVOBJ_EXTENSION *)(block + sizeof(DEVICE_OBJECT));
    device->Type = IO_TYPE_DEVICE;
    device->Size = (USHORT)(sizeof(DEVICE_OBJECT) + DeviceExtensionSize);
    device->DriverObject = DriverObject;
    device->Flags = DO_DEVICE_INITIALIZING | (Exclusive ? DO_EXCLUSIVE : 0);
    device->Characteristics = DeviceCharacteristics;
    device->DeviceExtension = DeviceExtensionSize ? block + ExtensionOffset() : nullptr;
    device->DeviceType = DeviceType;
    device->StackSize = 1;
    device->DeviceObjectExtension = doe;
    KeInitializeEvent(&device->DeviceLock, SynchronizationEvent, TRUE);
    doe->Type = IO_TYPE_DEVICE_OBJECT_EXTENSION;
    doe->Size = sizeof *doe;
    doe->DeviceObject = device;
    doe->ExtensionSize = DeviceExtensionSize;
    {
        std::lock_guard<std::mutex> guard(HostKernelLock);
        device->NextDevice = DriverObject->DeviceObject;
        DriverObject->DeviceObject = device;
    }
    {
        std::lock_guard<std::mutex> guard(DeviceSetLock);
        doe->Serial = NextSerial++;
        LiveDevices.insert(device);
    }
    *DeviceObject = device;
    return STATUS_SUCCESS;
}

/* Ends the existence of a device object. */
static void FreeDevice(PDEVICE_OBJECT DeviceObject)
{
    {
        std::lock_guard<std::mutex> guard(DeviceSetLock);
        LiveDevices.erase(DeviceObject);
    }
    struct _DEVOBJ_EXTENSION *doe = DeviceObject->DeviceObjectExtension;
    if (doe->ExtensionSize) {
        HostLockOrderForgetRange(DeviceObject->DeviceExtension, doe->ExtensionSize);
    }
    free(DeviceObject);
}

VOID(IoDeleteDevice)(PDEVICE_OBJECT DeviceObject)
{
    HostCallSite site = HostTakeCallSite();
    if (!HostDeviceIsLive(DeviceObject) || DeviceObject->DeviceObjectExtension->DeletePending) {
        HostReport("DEVICE_NOT_LIVE", nullptr, site,
                   "IoDeleteDevice of %p, which is not a device object (deleted twice?)", (void *)DeviceObject);
        return;
    }
    if (HostThread()->Irql != PASSIVE_LEVEL) {
        HostReport("IRQL_NOT_LESS", nullptr, site, "IoDeleteDevice at IRQL %d", HostThread()->Irql);
    }
    struct _DEVOBJ_EXTENSION *doe = DeviceObject->DeviceObjectExtension;
    if (doe->AttachedTo) {
        HostReport("DEVICE_DELETED_ATTACHED", nullptr, site,
                   "device %p deleted while still attached to device %p (IoDetachDevice first)", (void *)DeviceObject,
                   (void *)doe->AttachedTo);
    }
    LONG below = __atomic_load_n(&doe->SentBelow, __ATOMIC_ACQUIRE);
    if (below) {
        HostReport("DEVICE_DELETED_WITH_REQUEST_BELOW", nullptr, site,
                   "device %p deleted while %d request(s) it passed down are still outstanding below it",
                   (void *)DeviceObject, (int)below);
    }
    /* Blocks still charged to the device are no leak yet: a driver-wide block may be freed
     * at unload, where leaks are reported. The charge goes, so that a device made later at
     * the same address starts with an empty ledger. */
    HostPoolForgetDevice(DeviceObject);
    HostDisableInterfacesOf(DeviceObject);
    {
        std::lock_guard<std::mutex> guard(HostKernelLock);
        PDEVICE_OBJECT *link = &DeviceObject->DriverObject->DeviceObject;
        while (*link && *link != DeviceObject) {
            link = &(*link)->NextDevice;
        }
        if (*link) {
            *link = DeviceObject->NextDevice;
        }
        if (doe->Node) {
            doe->Node->Pdo = nullptr;
        }
        HostKernelChanged.notify_all();
    }
    /* As on Windows, a device with another still attached above it (a physical device
     * deleted on removal before the function device detaches), or still referenced (by a
     * file object, or a create being built), goes when neither holds it any more. */
    bool held;
    {
        std::lock_guard<std::mutex> guard(HostKernelLock);
        held = DeviceObject->AttachedDevice != nullptr || DeviceObject->ReferenceCount > 0;
        doe->DeletePending = held;
    }
    if (!held) {
        FreeDevice(DeviceObject);
    }
}

void HostDereferenceDevice(PDEVICE_OBJECT DeviceObject)
{
    bool free;
    {
        std::lock_guard<std::mutex> guard(HostKernelLock);
        DeviceObject->ReferenceCount--;
        free = DeviceObject->ReferenceCount == 0 && !DeviceObject->AttachedDevice &&
               DeviceObject->DeviceObjectExtension->DeletePending;
    }
    if (free) {
        FreeDevice(DeviceObject);
    }
}

PDEVICE_OBJECT IoGetAttachedDevice(PDEVICE_OBJECT DeviceObject)
{
    std::lock_guard<std::mutex> guard(HostKernelLock);
    while (DeviceObject->AttachedDevice) {
        DeviceObject = DeviceObject->AttachedDevice;
    }
    return DeviceObject;
}

PDEVICE_OBJECT(IoAttachDeviceToDeviceStack)(PDEVICE_OBJECT SourceDevice, PDEVICE_OBJECT TargetDevice)
{
    HostCallSite site = HostTakeCallSite();
    if (!HostDeviceIsLive(SourceDevice) || !HostDeviceIsLive(TargetDevice)) {
        HostReport("DEVICE_NOT_LIVE", nullptr, site, "IoAttachDeviceToDeviceStack(%p, %p) with a deleted device",
                   (void *)SourceDevice, (void *)TargetDevice);
        return nullptr;
    }
    if (HostShouldFailCall("IoAttachDeviceToDeviceStack")) {
        return nullptr;
    }
    std::lock_guard<std::mutex> guard(HostKernelLock);
    if (SourceDevice->DeviceObjectExtension->AttachedTo) {
        HostReport("NOT_MODELLED", nullptr, site, "device %p attached twice", (void *)SourceDevice);
        return nullptr;
    }
    PDEVICE_OBJECT top = TargetDevice;
    while (top->AttachedDevice) {
        top = top->AttachedDevice;
    }
    top->AttachedDevice = SourceDevice;
    SourceDevice->DeviceObjectExtension->AttachedTo = top;
    SourceDevice->StackSize = (CCHAR)(top->StackSize + 1);
    SourceDevice->AlignmentRequirement = top->AlignmentRequirement;
    SourceDevice->SectorSize = top->SectorSize;
    return top;
}

VOID(IoDetachDevice)(PDEVICE_OBJECT TargetDevice)
{
    HostCallSite site = HostTakeCallSite();
    if (HostThreadInPnpDispatch(IRP_MN_SURPRISE_REMOVAL)) {
        HostReport("PNP_SURPRISE_DETACHED", nullptr, site,
                   "IoDetachDevice(%p) while handling IRP_MN_SURPRISE_REMOVAL; only IRP_MN_REMOVE_DEVICE may detach",
                   (void *)TargetDevice);
    }
    bool freeTarget;
    {
        std::lock_guard<std::mutex> guard(HostKernelLock);
        PDEVICE_OBJECT above = TargetDevice->AttachedDevice;
        if (!above) {
            HostReport("NOT_MODELLED", nullptr, site, "IoDetachDevice(%p): no device is attached to it",
                       (void *)TargetDevice);
            return;
        }
        TargetDevice->AttachedDevice = nullptr;
        above->DeviceObjectExtension->AttachedTo = nullptr;
        freeTarget = TargetDevice->DeviceObjectExtension->DeletePending && TargetDevice->ReferenceCount == 0;
    }
    if (freeTarget) {
        FreeDevice(TargetDevice);
    }
}
