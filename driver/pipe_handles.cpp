/*
 * pipe_handles.cpp - opening and closing the device and its pipes by name.
 *
 * A file name "\PIPEnn" names pipe nn of the pipe table, "\ADDRxy" the pipe whose endpoint
 * address is 0xXY (nibbles 0-9 only); an empty name is the device itself. The file object's
 * FsContext holds the pipe, FsContext2 the generation of the pipe table the pipe belongs to,
 * so that a handle that outlived its table (a restart after a stop) is recognised as stale.
 */
#include "driver/murvousb.h"

/*
 * FindWideSubstring: position, in code units, of the first occurrence of the NUL-terminated
 * Marker in Text, or -1. Reads nothing beyond Text's Length.
 */
LONG FindWideSubstring(const UNICODE_STRING *Text, const WCHAR *Marker)
{
    ULONG markerLength = 0;
    while (Marker[markerLength] != 0) {
        markerLength++;
    }
    if (Text->Buffer == NULL) {
        return -1;
    }
    ULONG textLength = Text->Length / sizeof(WCHAR);
    if (markerLength > textLength) {
        return -1;
    }
    for (ULONG start = 0; start + markerLength <= textLength; start++) {
        ULONG matched = 0;
        while (matched < markerLength && Text->Buffer[start + matched] == Marker[matched]) {
            matched++;
        }
        if (matched == markerLength) {
            return static_cast<LONG>(start);
        }
    }
    return -1;
}

/*
 * TwoDigitsAfter: reads the two decimal digits that follow a marker of MarkerLength units
 * found at Position; TRUE with First and Second set when both are there and are digits.
 */
static BOOLEAN TwoDigitsAfter(const UNICODE_STRING *Name, LONG Position, ULONG MarkerLength, ULONG *First,
                              ULONG *Second)
{
    if (Position < 0) {
        return FALSE;
    }
    ULONG nameLength = Name->Length / sizeof(WCHAR);
    ULONG at = static_cast<ULONG>(Position) + MarkerLength;
    if (at + 2 > nameLength) {
        return FALSE;
    }
    WCHAR d1 = Name->Buffer[at];
    WCHAR d2 = Name->Buffer[at + 1];
    if (d1 < 0x30 || d1 > 0x39 || d2 < 0x30 || d2 > 0x39) {
        return FALSE;
    }
    *First = static_cast<ULONG>(d1 - 0x30);
    *Second = static_cast<ULONG>(d2 - 0x30);
    return TRUE;
}

/*
 * ParsePipeName: reads the pipe-index form "\PIPE" + two digits at its first occurrence.
 * TRUE with Index = 10 * d1 + d2 on success.
 */
BOOLEAN ParsePipeName(const UNICODE_STRING *FileName, ULONG *Index)
{
    static const WCHAR marker[] = MURVO_WIDE(MURVO_PIPE_MARKER);
    ULONG first, second;
    LONG position = FindWideSubstring(FileName, marker);
    if (!TwoDigitsAfter(FileName, position, sizeof(marker) / sizeof(WCHAR) - 1, &first, &second)) {
        return FALSE;
    }
    *Index = 10 * first + second;
    return TRUE;
}

/*
 * ParseEndpointName: reads the endpoint-address form "\ADDR" + two digits (each a nibble)
 * at its first occurrence and looks the address up in the pipe table. TRUE with Index =
 * the first pipe with that endpoint address. Caller holds StageLock or runs on the
 * Plug and Play path, so the pipe table cannot change meanwhile.
 */
BOOLEAN ParseEndpointName(DeviceExtension *Extension, const UNICODE_STRING *FileName, ULONG *Index)
{
    static const WCHAR marker[] = MURVO_WIDE(MURVO_ENDPOINT_MARKER);
    ULONG first, second;
    LONG position = FindWideSubstring(FileName, marker);
    if (!TwoDigitsAfter(FileName, position, sizeof(marker) / sizeof(WCHAR) - 1, &first, &second)) {
        return FALSE;
    }
    ULONG address = 16 * first + second;
    if (Extension->InterfaceInfo == NULL || Extension->PipeTable == NULL) {
        return FALSE;
    }
    for (ULONG i = 0; i < Extension->InterfaceInfo->NumberOfPipes; i++) {
        if (Extension->PipeTable[i].PipeInformation->EndpointAddress == address) {
            *Index = i;
            return TRUE;
        }
    }
    return FALSE;
}

/*
 * FindPipeForFile: the free pipe that FileName designates, or null (no such pipe, or it is
 * open). Caller holds StageLock, so that its test of IsOpen and the caller's setting of it
 * are one step against other opens.
 */
PipeContext *FindPipeForFile(PDEVICE_OBJECT DeviceObject, const UNICODE_STRING *FileName)
{
    DeviceExtension *extension = ExtensionOf(DeviceObject);
    ULONG index = 0;
    if (!ParsePipeName(FileName, &index) && !ParseEndpointName(extension, FileName, &index)) {
        return NULL;
    }
    if (extension->InterfaceInfo == NULL || extension->PipeTable == NULL ||
        index >= extension->InterfaceInfo->NumberOfPipes) {
        return NULL;
    }
    PipeContext *pipe = &extension->PipeTable[index];
    return pipe->IsOpen ? NULL : pipe;
}

/*
 * PipeOfFile: the pipe a handle holds, or null for a handle on the device itself or one
 * whose pipe table has since been released. Caller holds StageLock.
 */
PipeContext *PipeOfFile(DeviceExtension *Extension, PFILE_OBJECT FileObject)
{
    if (FileObject == NULL || FileObject->FsContext == NULL) {
        return NULL;
    }
    if (reinterpret_cast<ULONG_PTR>(FileObject->FsContext2) != Extension->PipeTableGeneration) {
        return NULL;
    }
    return static_cast<PipeContext *>(FileObject->FsContext);
}

/*
 * DispatchCreate: opens the device itself (empty name) or the pipe the name designates,
 * which then belongs to this handle alone and brings the unit to full power.
 * Returns STATUS_SUCCESS, STATUS_DELETE_PENDING when the unit does not accept I/O, or
 * STATUS_INVALID_PARAMETER for a name that designates no free pipe. PASSIVE_LEVEL.
 */
NTSTATUS NTAPI DispatchCreate(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PAGED_CODE();
    DeviceExtension *extension = ExtensionOf(DeviceObject);
    PFILE_OBJECT fileObject = IoGetCurrentIrpStackLocation(Irp)->FileObject;
    NTSTATUS status;
    IoIncrement(DeviceObject);
    BeginIoDispatch(DeviceObject); // its power request must not reach a unit being stopped

    if (!CanAcceptIo(DeviceObject)) {
        status = STATUS_DELETE_PENDING;
    } else {
        fileObject->FsContext = NULL;
        fileObject->FsContext2 = NULL;
        if (fileObject->FileName.Length == 0) {
            status = STATUS_SUCCESS;
        } else {
            KIRQL oldIrql;
            KeAcquireSpinLock(&extension->StageLock, &oldIrql);
            PipeContext *pipe = FindPipeForFile(DeviceObject, &fileObject->FileName);
            if (pipe != NULL) {
                WriteShared(pipe->IsOpen, static_cast<UCHAR>(1));
                InterlockedIncrement(&extension->OpenPipes);
                fileObject->FsContext = pipe;
                fileObject->FsContext2 =
                    reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(extension->PipeTableGeneration));
            }
            KeReleaseSpinLock(&extension->StageLock, oldIrql);
            if (pipe != NULL) {
                SelfSuspendOrActivate(DeviceObject, FALSE);
                status = STATUS_SUCCESS;
            } else {
                status = STATUS_INVALID_PARAMETER;
            }
        }
    }

    EndIoDispatch(DeviceObject);
    CompleteRequest(Irp, status);
    IoDecrement(DeviceObject);
    return status;
}

/*
 * DispatchClose: gives up the handle's pipe, if it still holds one, and lets the unit power
 * down when no pipe is open any more. Always STATUS_SUCCESS. PASSIVE_LEVEL.
 */
NTSTATUS NTAPI DispatchClose(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PAGED_CODE();
    DeviceExtension *extension = ExtensionOf(DeviceObject);
    PFILE_OBJECT fileObject = IoGetCurrentIrpStackLocation(Irp)->FileObject;
    IoIncrement(DeviceObject);

    KIRQL oldIrql;
    KeAcquireSpinLock(&extension->StageLock, &oldIrql);
    PipeContext *pipe = PipeOfFile(extension, fileObject);
    // A pipe aborted by removal is already closed and already off OpenPipes.
    if (pipe != NULL && pipe->IsOpen) {
        WriteShared(pipe->IsOpen, static_cast<UCHAR>(0));
        InterlockedDecrement(&extension->OpenPipes);
    }
    KeReleaseSpinLock(&extension->StageLock, oldIrql);

    CompleteRequest(Irp, STATUS_SUCCESS);
    // Still counted: the removal cannot free the extension under the power call, nor a stop
    // unconfigure the unit while the power-down is being asked for.
    BeginIoDispatch(DeviceObject);
    SelfSuspendOrActivate(DeviceObject, TRUE);
    EndIoDispatch(DeviceObject);
    IoDecrement(DeviceObject);
    return STATUS_SUCCESS;
}
