/*
 * usermode.cpp - the user-mode side of the I/O manager: processes, file objects opened on
 * device interfaces, and the requests a program makes on them.
 *
 * A request is built on the caller's thread at PASSIVE_LEVEL and sent to the top of the
 * device's stack there. A file object counts one reference for its handle and one for each
 * outstanding request: IRP_MJ_CLEANUP goes down when the handle is closed, IRP_MJ_CLOSE
 * when the last reference goes (from the worker thread if a completion drops it).
 */
#include <string.h>

#include <algorithm>
#include <atomic>
#include <chrono>

#include "host/nt/nt_internal.h"

struct HostProcess {
    std::mutex Lock; /* guards Files, every file's Outstanding and Refs, and Outstanding here */
    std::condition_variable Changed;
    std::vector<HostFile *> Files;
    ULONG Outstanding;
};

struct HostFile {
    FILE_OBJECT Object;
    HostProcess *Process;
    PDEVICE_OBJECT Pdo;
    HostDeviceNode *Node;
    LONG Refs;
    bool HandleOpen;
    std::vector<HostIrpRecord *> Outstanding;
};

/* Seconds that the end of a process waits for its cancelled requests to complete. */
#define CANCEL_WAIT_SECONDS 10

static void CheckPassive(const char *What)
{
    if (HostThread()->Irql != PASSIVE_LEVEL) {
        HostReport("IRQL_NOT_LESS", nullptr, HostTakeCallSite(), "%s from user mode at IRQL %d", What,
                   HostThread()->Irql);
    }
}

HostProcess *HostProcessCreate(void) { return new HostProcess(); }

static std::atomic<bool> UserIsAdministrator{true};

VOID HostSetUserIsAdministrator(BOOLEAN Administrator) { UserIsAdministrator = Administrator != FALSE; }

PFILE_OBJECT HostFileObject(HostFile *File) { return &File->Object; }

/* A request on the file, with the next stack location set up for Major. */
static PIRP BuildUserIrp(HostFile *File, UCHAR Major)
{
    PDEVICE_OBJECT top = IoGetAttachedDevice(File->Pdo);
    PIRP irp = HostAllocateIrp(top->StackSize, HostIrpUser, HostCallSite{nullptr, 0}, false);
    irp->RequestorMode = UserMode;
    irp->Tail.Overlay.Thread = HostThread();
    irp->Tail.Overlay.OriginalFileObject = &File->Object;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = Major;
    next->FileObject = &File->Object;
    HostIrpRecord *record = HostIrpRecordOf(irp);
    record->File = File;
    return irp;
}

static VOID CloseWork(PVOID Context);

/* Drops one reference of the file; the last one sends IRP_MJ_CLOSE, here when the thread
 * may wait, else from the worker thread. */
static void DropFileRef(HostFile *File, bool MayWait)
{
    bool last;
    {
        std::lock_guard<std::mutex> guard(File->Process->Lock);
        last = --File->Refs == 0;
    }
    if (!last) {
        return;
    }
    if (MayWait) {
        CloseWork(File);
    } else {
        HostQueueWork(CloseWork, File);
    }
}

/* Sends a request and, for a synchronous one, waits for its final status. Tracked requests
 * are the file's outstanding requests (cancelled at process end). */
static NTSTATUS SendUserIrp(HostFile *File, PIRP Irp, HostAsyncIo *Async, ULONG_PTR *Information, bool Tracked)
{
    HostIrpRecord *record = HostIrpRecordOf(Irp);
    record->Async = Async;
    record->Refs = Async ? 1 : 2;
    if (Tracked) {
        std::lock_guard<std::mutex> guard(File->Process->Lock);
        File->Outstanding.push_back(record);
        File->Refs++;
        File->Process->Outstanding++;
    }
    PDEVICE_OBJECT top = IoGetAttachedDevice(File->Pdo);
    NTSTATUS status = HostCallDriver(top, Irp, HostCallSite{nullptr, 0});
    if (Async) {
        return status;
    }
    (KeWaitForSingleObject)(&record->Done, Executive, KernelMode, FALSE, nullptr);
    NTSTATUS final = record->FinalStatus;
    if (Information) {
        *Information = record->FinalInformation;
    }
    HostReleaseIrpRecord(record);
    return final;
}

void HostFinishUserIrp(HostIrpRecord *Record)
{
    PIRP irp = &Record->Irp;
    HostRetireIrp(Record);
    bool moved = ((ULONG)irp->IoStatus.Status >> 30) != 3; /* success, information or warning */
    if (Record->CopyOut && moved && irp->IoStatus.Information > Record->OutputLength) {
        HostReport("INFORMATION_EXCEEDS_BUFFER", nullptr, Record->AllocSite,
                   "buffered request completed with Information %lu, more than its output buffer of %lu bytes",
                   (unsigned long)irp->IoStatus.Information, (unsigned long)Record->OutputLength);
    }
    if (Record->CopyOut && moved && Record->OutputBuffer) {
        ULONG_PTR n = irp->IoStatus.Information;
        memcpy(Record->OutputBuffer, Record->SystemBuffer, n < Record->OutputLength ? n : Record->OutputLength);
    }
    if (Record->SystemBuffer) {
        HostPoolFree(Record->SystemBuffer, Record->AllocSite, "system buffer");
    }
    Record->SystemBuffer = nullptr;
    if (Record->IoMdl) {
        MmUnlockPages(Record->IoMdl);
        HostFreeMdl(Record->IoMdl, Record->AllocSite);
        Record->IoMdl = nullptr;
    }
    Record->FinalStatus = irp->IoStatus.Status;
    Record->FinalInformation = irp->IoStatus.Information;
    HostFile *file = Record->File;
    bool tracked = false;
    {
        std::lock_guard<std::mutex> guard(file->Process->Lock);
        auto it = std::find(file->Outstanding.begin(), file->Outstanding.end(), Record);
        if (it != file->Outstanding.end()) {
            file->Outstanding.erase(it);
            file->Process->Outstanding--;
            file->Process->Changed.notify_all();
            tracked = true;
        }
    }
    HostAsyncIo *async = Record->Async;
    /* As the I/O manager does: a request that failed without ever being pended reports to
     * nobody (status block, event and callback untouched); its issuer has the status from
     * the call. A warning, a success or a pended request reports. */
    bool silent = NT_ERROR(irp->IoStatus.Status) && !irp->PendingReturned;
    if (async && silent) {
        /* nothing: the caller takes the status returned by the dispatch routine */
    } else if (async) {
        /* The caller's record is read whole before its event is set: the caller may reuse or
         * free it from then on. */
        PKEVENT event = async->Event;
        HOST_IO_CALLBACK *callback = async->Callback;
        PVOID context = async->Context;
        async->IoStatus = irp->IoStatus;
        if (event) {
            (KeSetEvent)(event, IO_NO_INCREMENT, FALSE);
        }
        if (callback) {
            callback(context, Record->FinalStatus, Record->FinalInformation);
        }
    } else {
        (KeSetEvent)(&Record->Done, IO_NO_INCREMENT, FALSE);
    }
    HostReleaseIrpRecord(Record);
    if (tracked) {
        DropFileRef(file, false);
    }
}

NTSTATUS HostCreateFile(HostProcess *Process, PCWSTR Path, HostFile **File)
{
    CheckPassive("CreateFile");
    *File = nullptr;
    std::u16string suffix;
    PDEVICE_OBJECT pdo = HostFindInterfaceDevice(std::u16string(Path), &suffix);
    if (!pdo) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    HostDeviceNode *node;
    PDEVICE_OBJECT top = pdo;
    bool denied = false;
    {
        /* As the I/O manager does, an open of a device whose removal is under way fails
         * before any driver sees it; one that gets in holds the device it sends the create
         * to, so that a removal running meanwhile cannot free it under the dispatch routine
         * ("IoDeleteDevice": the object goes with its last reference). */
        std::lock_guard<std::mutex> guard(HostKernelLock);
        node = pdo->DeviceObjectExtension->Node;
        denied = node && node->AdministratorsOnly && !UserIsAdministrator;
        bool usable = node && node->State != HostDeviceRemoved && !node->Removing && node->Fdo &&
                      !pdo->DeviceObjectExtension->DeletePending;
        if (usable && !denied) {
            node->OpenFiles++;
            while (top->AttachedDevice) {
                top = top->AttachedDevice;
            }
            top->ReferenceCount++;
        } else {
            node = nullptr;
        }
    }
    if (!node) {
        HostDereferenceDevice(pdo);
        return denied ? STATUS_ACCESS_DENIED : STATUS_NO_SUCH_DEVICE;
    }
    HostFile *file = new HostFile();
    file->Process = Process;
    file->Pdo = pdo;
    file->Node = node;
    file->Refs = 1;
    file->HandleOpen = true;
    PFILE_OBJECT object = &file->Object;
    object->Type = IO_TYPE_FILE;
    object->Size = sizeof(FILE_OBJECT);
    object->DeviceObject = pdo;
    object->ReadAccess = object->WriteAccess = TRUE;
    KeInitializeEvent(&object->Lock, SynchronizationEvent, FALSE);
    KeInitializeEvent(&object->Event, NotificationEvent, FALSE);
    size_t bytes = suffix.size() * sizeof(WCHAR);
    HostContextSave save = HostEnterDriver(nullptr, nullptr);
    object->FileName.Buffer =
        (PWSTR)HostPoolAllocate(bytes + sizeof(WCHAR), HOST_TAG_NAME, HostCallSite{nullptr, 0}, nullptr, nullptr);
    HostLeaveDriver(save);
    memcpy(object->FileName.Buffer, suffix.data(), bytes);
    object->FileName.Buffer[suffix.size()] = 0;
    object->FileName.Length = (USHORT)bytes;
    object->FileName.MaximumLength = (USHORT)(bytes + sizeof(WCHAR));

    PIRP irp = BuildUserIrp(file, IRP_MJ_CREATE);
    irp->Flags = IRP_CREATE_OPERATION | IRP_SYNCHRONOUS_API;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->Parameters.Create.Options = 1u << 24; /* FILE_OPEN */
    next->Parameters.Create.ShareAccess = 0;
    NTSTATUS status = SendUserIrp(file, irp, nullptr, nullptr, false);
    HostDereferenceDevice(top);
    if (!NT_SUCCESS(status)) {
        HostPoolFree(object->FileName.Buffer, HostCallSite{nullptr, 0}, "file name");
        delete file;
        HostFileClosed(node);
        HostDereferenceDevice(pdo);
        return status;
    }
    {
        std::lock_guard<std::mutex> guard(Process->Lock);
        Process->Files.push_back(file);
    }
    *File = file;
    return status;
}

static VOID CloseWork(PVOID Context)
{
    HostFile *file = (HostFile *)Context;
    PIRP irp = BuildUserIrp(file, IRP_MJ_CLOSE);
    irp->Flags = IRP_CLOSE_OPERATION | IRP_SYNCHRONOUS_API;
    SendUserIrp(file, irp, nullptr, nullptr, false);
    HostPoolFree(file->Object.FileName.Buffer, HostCallSite{nullptr, 0}, "file name");
    HostProcess *process = file->Process;
    HostDeviceNode *node = file->Node;
    PDEVICE_OBJECT pdo = file->Pdo;
    {
        std::lock_guard<std::mutex> guard(process->Lock);
        process->Files.erase(std::find(process->Files.begin(), process->Files.end(), file));
        process->Changed.notify_all();
    }
    delete file;
    HostFileClosed(node);
    HostDereferenceDevice(pdo);
}

NTSTATUS HostCloseFile(HostFile *File)
{
    CheckPassive("CloseHandle");
    {
        std::lock_guard<std::mutex> guard(File->Process->Lock);
        if (!File->HandleOpen) {
            return STATUS_INVALID_HANDLE;
        }
        File->HandleOpen = false;
    }
    PIRP irp = BuildUserIrp(File, IRP_MJ_CLEANUP);
    irp->Flags = IRP_SYNCHRONOUS_API;
    SendUserIrp(File, irp, nullptr, nullptr, false);
    DropFileRef(File, true);
    return STATUS_SUCCESS;
}

/* Buffers a transfer the way the top device asks (direct, buffered or neither). */
static void SetTransferBuffer(PIRP Irp, PVOID Buffer, ULONG Length, bool Read)
{
    HostIrpRecord *record = HostIrpRecordOf(Irp);
    PDEVICE_OBJECT top = IoGetAttachedDevice(record->File->Pdo);
    if (top->Flags & DO_DIRECT_IO) {
        if (Length) {
            record->IoMdl = HostAllocateMdl(Buffer, Length, HostCallSite{nullptr, 0}, nullptr);
            MmProbeAndLockPages(record->IoMdl, UserMode, Read ? IoWriteAccess : IoReadAccess);
            Irp->MdlAddress = record->IoMdl;
        }
    } else if (top->Flags & DO_BUFFERED_IO) {
        if (Length) {
            HostContextSave save = HostEnterDriver(nullptr, nullptr);
            record->SystemBuffer =
                HostPoolAllocate(Length, HOST_TAG_BUFFER, HostCallSite{nullptr, 0}, nullptr, nullptr);
            HostLeaveDriver(save);
            if (Read) {
                memset(record->SystemBuffer, 0, Length);
                record->CopyOut = true;
                record->OutputBuffer = Buffer;
                record->OutputLength = Length;
            } else {
                memcpy(record->SystemBuffer, Buffer, Length);
            }
            Irp->AssociatedIrp.SystemBuffer = record->SystemBuffer;
            Irp->Flags |= IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER | (Read ? IRP_INPUT_OPERATION : 0);
        }
    }
    Irp->UserBuffer = Buffer;
}

static bool HandleUsable(HostFile *File)
{
    std::lock_guard<std::mutex> guard(File->Process->Lock);
    return File->HandleOpen;
}

NTSTATUS HostReadFile(HostFile *File, PVOID Buffer, ULONG Length, HostAsyncIo *Async, ULONG_PTR *Information)
{
    CheckPassive("ReadFile");
    if (!HandleUsable(File)) {
        return STATUS_INVALID_HANDLE;
    }
    PIRP irp = BuildUserIrp(File, IRP_MJ_READ);
    irp->Flags = IRP_READ_OPERATION;
    IoGetNextIrpStackLocation(irp)->Parameters.Read.Length = Length;
    SetTransferBuffer(irp, Buffer, Length, true);
    return SendUserIrp(File, irp, Async, Information, true);
}

NTSTATUS HostWriteFile(HostFile *File, const VOID *Buffer, ULONG Length, HostAsyncIo *Async, ULONG_PTR *Information)
{
    CheckPassive("WriteFile");
    if (!HandleUsable(File)) {
        return STATUS_INVALID_HANDLE;
    }
    PIRP irp = BuildUserIrp(File, IRP_MJ_WRITE);
    irp->Flags = IRP_WRITE_OPERATION;
    IoGetNextIrpStackLocation(irp)->Parameters.Write.Length = Length;
    SetTransferBuffer(irp, (PVOID)Buffer, Length, false);
    return SendUserIrp(File, irp, Async, Information, true);
}

NTSTATUS HostDeviceIoControl(HostFile *File, ULONG IoControlCode, PVOID InputBuffer, ULONG InputLength,
                             PVOID OutputBuffer, ULONG OutputLength, HostAsyncIo *Async, ULONG_PTR *Information)
{
    CheckPassive("DeviceIoControl");
    if (!HandleUsable(File)) {
        return STATUS_INVALID_HANDLE;
    }
    PIRP irp = BuildUserIrp(File, IRP_MJ_DEVICE_CONTROL);
    HostIrpRecord *record = HostIrpRecordOf(irp);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->Parameters.DeviceIoControl.OutputBufferLength = OutputLength;
    next->Parameters.DeviceIoControl.InputBufferLength = InputLength;
    next->Parameters.DeviceIoControl.IoControlCode = IoControlCode;
    ULONG method = METHOD_FROM_CTL_CODE(IoControlCode);
    HostContextSave save = HostEnterDriver(nullptr, nullptr);
    if (method == METHOD_BUFFERED) {
        ULONG size = InputLength > OutputLength ? InputLength : OutputLength;
        if (size) {
            record->SystemBuffer = HostPoolAllocate(size, HOST_TAG_BUFFER, HostCallSite{nullptr, 0}, nullptr, nullptr);
            memset(record->SystemBuffer, 0, size);
            if (InputLength) {
                memcpy(record->SystemBuffer, InputBuffer, InputLength);
            }
            irp->AssociatedIrp.SystemBuffer = record->SystemBuffer;
            irp->Flags = IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER | (OutputLength ? IRP_INPUT_OPERATION : 0);
            record->CopyOut = OutputLength != 0;
            record->OutputBuffer = OutputBuffer;
            record->OutputLength = OutputLength;
        }
    } else if (method == METHOD_NEITHER) {
        next->Parameters.DeviceIoControl.Type3InputBuffer = InputBuffer;
        irp->UserBuffer = OutputBuffer;
    } else {
        if (InputLength) {
            record->SystemBuffer =
                HostPoolAllocate(InputLength, HOST_TAG_BUFFER, HostCallSite{nullptr, 0}, nullptr, nullptr);
            memcpy(record->SystemBuffer, InputBuffer, InputLength);
            irp->AssociatedIrp.SystemBuffer = record->SystemBuffer;
            irp->Flags = IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
        }
        if (OutputLength) {
            record->IoMdl = HostAllocateMdl(OutputBuffer, OutputLength, HostCallSite{nullptr, 0}, nullptr);
            MmProbeAndLockPages(record->IoMdl, UserMode, method == METHOD_OUT_DIRECT ? IoWriteAccess : IoReadAccess);
            irp->MdlAddress = record->IoMdl;
        }
    }
    HostLeaveDriver(save);
    return SendUserIrp(File, irp, Async, Information, true);
}

/* Cancels the given requests, each held by a reference while IoCancelIrp runs on it. */
static void CancelRecords(std::vector<HostIrpRecord *> &Records)
{
    for (HostIrpRecord *record : Records) {
        HostCancelIrpUnchecked(&record->Irp);
        HostReleaseIrpRecord(record);
    }
}

static void CollectOutstanding(HostFile *File, std::vector<HostIrpRecord *> &Records)
{
    for (HostIrpRecord *record : File->Outstanding) {
        InterlockedIncrement(&record->Refs);
        Records.push_back(record);
    }
}

VOID HostCancelFileIo(HostFile *File)
{
    std::vector<HostIrpRecord *> records;
    {
        std::lock_guard<std::mutex> guard(File->Process->Lock);
        CollectOutstanding(File, records);
    }
    CancelRecords(records);
}

ULONG HostCancelFileIoWhere(HostFile *File, BOOLEAN (*Match)(HostAsyncIo *Async, PVOID Context), PVOID Context)
{
    std::vector<HostIrpRecord *> records;
    {
        std::lock_guard<std::mutex> guard(File->Process->Lock);
        for (HostIrpRecord *record : File->Outstanding) {
            if (record->Async != nullptr && Match(record->Async, Context)) {
                InterlockedIncrement(&record->Refs);
                records.push_back(record);
            }
        }
    }
    CancelRecords(records);
    return (ULONG)records.size();
}

ULONG HostOutstandingRequests(HostFile *File)
{
    std::lock_guard<std::mutex> guard(File->Process->Lock);
    return (ULONG)File->Outstanding.size();
}

VOID HostProcessEnd(HostProcess *Process)
{
    CheckPassive("process end");
    std::vector<HostIrpRecord *> records;
    std::vector<HostFile *> open;
    {
        std::lock_guard<std::mutex> guard(Process->Lock);
        for (HostFile *file : Process->Files) {
            CollectOutstanding(file, records);
            if (file->HandleOpen) {
                open.push_back(file);
            }
        }
    }
    CancelRecords(records);
    {
        std::unique_lock<std::mutex> guard(Process->Lock);
        if (!Process->Changed.wait_for(guard, std::chrono::seconds(CANCEL_WAIT_SECONDS),
                                       [Process] { return Process->Outstanding == 0; })) {
            ULONG left = Process->Outstanding;
            guard.unlock();
            HostReport("PROCESS_CANCEL_TIMEOUT", nullptr, HostCallSite{nullptr, 0},
                       "%u request(s) of an ending process not completed %d s after their cancellation", left,
                       CANCEL_WAIT_SECONDS);
            guard.lock();
            Process->Changed.wait(guard, [Process] { return Process->Outstanding == 0; });
        }
    }
    for (HostFile *file : open) {
        HostCloseFile(file);
    }
    {
        std::unique_lock<std::mutex> guard(Process->Lock);
        Process->Changed.wait(guard, [Process] { return Process->Files.empty(); });
    }
    delete Process;
}

/* ---- Test support --------------------------------------------------------------------- */

VOID HostKernelReset(void)
{
    HostWaitSystemThreadsIdle();
    ULONG drivers = HostLoadedDriverCount();
    if (drivers) {
        HostReport("DRIVER_UNLOAD_DEVICES", nullptr, HostCallSite{nullptr, 0},
                   "%u driver(s) still loaded at kernel reset", drivers);
    }
    ULONG irps = HostLiveIrpCount();
    if (irps) {
        HostReport("POOL_LEAK", nullptr, HostCallSite{nullptr, 0}, "%u request(s) still allocated at kernel reset",
                   irps);
    }
    HostForgetNodes();
    HostForgetInterfaces();
    HostPowerReset();
    HostVerifierResetSettings();
    HostResetWindowsVersion();
    HostSetCancelHook(nullptr, nullptr);
    UserIsAdministrator = true;
    HostPoolCheckFreed();
}
