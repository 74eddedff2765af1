/*
 * irp.cpp - requests: allocation, IofCallDriver with the checks made when a dispatch
 * routine returns, IofCompleteRequest with completion routines, cancellation, and the
 * threaded device-control requests of IoBuildDeviceIoControlRequest.
 *
 * Layout as on Windows: the stack locations follow the IRP; a fresh request has
 * CurrentLocation = StackCount + 1; IofCallDriver moves one location down, completion
 * moves up, and a request fully completed stands at StackCount + 2. The I/O manager's own
 * bookkeeping (HostIrpRecord) sits in front of the IRP.
 *
 * Dispatch frames: while a dispatch routine runs on a request, IofCallDriver keeps a frame
 * on the record; completion passing the routine's location fills it in (pending mark,
 * status), so the checks made when the routine returns never read a request that another
 * thread may have completed and freed meanwhile. A request freed while frames remain is
 * released when the last of them is removed.
 */
#include <stdlib.h>
#include <string.h>

#include <unordered_set>
#include <vector>

#include "host/nt/nt_internal.h"

/* Guards the set of requests that exist. */
static std::mutex IrpSetLock;
static std::unordered_set<PIRP> LiveIrps;

HostIrpRecord *HostIrpRecordOf(PIRP Irp) { return CONTAINING_RECORD(Irp, HostIrpRecord, Irp); }

/* The major function the I/O manager writes into the location below a driver's when it
 * calls the driver: a driver that passes the request on must copy, skip or fill. */
#define HOST_UNSET_MAJOR 0xFF

/* Whether the code running on this thread (a device of a driver, or a driver on behalf of
 * none) has passed the request down and it has not come back past that location: until it
 * does, a lower driver owns it. */
static bool SentByCaller(HostIrpRecord *Record)
{
    HostThreadState *thread = HostThread();
    if (!thread->ContextDriver) {
        return false;
    }
    std::lock_guard<std::mutex> guard(*Record->Track);
    for (int i = 0; i < Record->SendCount; i++) {
        const HostIrpSend &send = Record->Sends[i];
        if (thread->ContextDevice ? send.Device == thread->ContextDevice
                                  : !send.Device && send.Driver == thread->ContextDriver) {
            return true;
        }
    }
    return false;
}

/* Completion has left Location: whoever passed the request to it owns it again. */
static void ForgetSendsTo(HostIrpRecord *Record, CHAR Location)
{
    std::lock_guard<std::mutex> guard(*Record->Track);
    int kept = 0;
    for (int i = 0; i < Record->SendCount; i++) {
        HostIrpSend send = Record->Sends[i];
        if (Location == 0 || send.Location == Location) {
            if (send.Device) {
                InterlockedDecrement(&send.Device->DeviceObjectExtension->SentBelow);
            }
        } else {
            Record->Sends[kept++] = send;
        }
    }
    Record->SendCount = kept;
}

static void PushThreadFrame(HostDispatchFrame *Frame)
{
    HostThreadState *thread = HostThread();
    Frame->ThreadNext = thread->Frames;
    thread->Frames = Frame;
}

static void PopThreadFrame(HostDispatchFrame *Frame)
{
    HostThreadState *thread = HostThread();
    HostDispatchFrame **link = &thread->Frames;
    while (*link && *link != Frame) {
        link = &(*link)->ThreadNext;
    }
    if (*link) {
        *link = Frame->ThreadNext;
    }
}

/* The innermost routine running on Irp on this thread, or null. */
static HostDispatchFrame *ThreadFrameOf(PIRP Irp)
{
    for (HostDispatchFrame *frame = HostThread()->Frames; frame; frame = frame->ThreadNext) {
        if (frame->Irp == Irp) {
            return frame;
        }
    }
    return nullptr;
}

/* The bit of a stack location in the record's location sets (none beyond 63). */
static unsigned long long LocationBit(CHAR Location) { return Location > 0 && Location < 64 ? 1ull << Location : 0; }

/* Set-power and query-power requests are the ones a driver must let the next one of
 * ("Calling PoStartNextPowerIrp"); wait-wake and power-sequence requests are not. */
static bool OwesStartNext(UCHAR Major, UCHAR Minor)
{
    return Major == IRP_MJ_POWER && (Minor == IRP_MN_SET_POWER || Minor == IRP_MN_QUERY_POWER);
}

void HostPayStartNextPower(PIRP Irp)
{
    HostIrpRecord *record = HostIrpRecordOf(Irp);
    HostDispatchFrame *frame = ThreadFrameOf(Irp);
    CHAR current = Irp->CurrentLocation;
    /* From its dispatch routine a driver pays for its own location only while it is still
     * current: after IoSkipCurrentIrpStackLocation the current one is the caller's. A
     * completion routine, or code holding the request, pays for the current location. */
    if (frame && frame->Location && frame->Location != current) {
        return;
    }
    std::lock_guard<std::mutex> guard(*record->Track);
    record->PowerPaid |= LocationBit(current) & record->PowerOwed;
}

bool HostThreadInPnpDispatch(UCHAR Minor)
{
    for (HostDispatchFrame *frame = HostThread()->Frames; frame; frame = frame->ThreadNext) {
        if (frame->Location && frame->Major == IRP_MJ_PNP && frame->Minor == Minor) {
            return true;
        }
    }
    return false;
}

VOID HostCheckCompletionRoutineSlot(PIRP Irp)
{
    HostCallSite site = HostTakeCallSite();
    HostDispatchFrame *frame = ThreadFrameOf(Irp);
    if (frame && frame->Location && Irp->CurrentLocation > frame->Location) {
        HostReport("COMPLETION_ROUTINE_AFTER_SKIP", Irp, site,
                   "IoSetCompletionRoutine after IoSkipCurrentIrpStackLocation: the routine would go into the "
                   "location of the driver above (location %d; this dispatch routine runs at location %d)",
                   Irp->CurrentLocation - 1, frame->Location);
    }
}

VOID HostCheckCancelRoutineOwner(PIRP Irp, PDRIVER_CANCEL CancelRoutine)
{
    HostCallSite site = HostTakeCallSite();
    PDRIVER_OBJECT driver = HostThread()->ContextDriver;
    if (!CancelRoutine || !driver || !HostIrpIsLive(Irp)) {
        return;
    }
    if (SentByCaller(HostIrpRecordOf(Irp))) {
        HostReport("CANCEL_ROUTINE_ON_LOWER_IRP", Irp, site,
                   "driver %s set a cancel routine on a request it has passed down and a lower driver still owns",
                   HostDriverOf(driver)->Info->Name);
    }
}

bool HostIrpIsLive(PIRP Irp)
{
    std::lock_guard<std::mutex> guard(IrpSetLock);
    return LiveIrps.count(Irp) != 0;
}

ULONG HostLiveIrpCount(void)
{
    std::lock_guard<std::mutex> guard(IrpSetLock);
    return (ULONG)LiveIrps.size();
}

USHORT IoSizeOfIrp(CCHAR StackSize) { return (USHORT)(sizeof(IRP) + StackSize * sizeof(IO_STACK_LOCATION)); }

VOID IoInitializeIrp(PIRP Irp, USHORT PacketSize, CCHAR StackSize)
{
    memset(Irp, 0, PacketSize);
    Irp->Type = IO_TYPE_IRP;
    Irp->Size = PacketSize;
    Irp->StackCount = StackSize;
    Irp->CurrentLocation = (CHAR)(StackSize + 1);
    Irp->ThreadListEntry.Flink = Irp->ThreadListEntry.Blink = &Irp->ThreadListEntry;
    Irp->Tail.Overlay.CurrentStackLocation = (PIO_STACK_LOCATION)(Irp + 1) + StackSize;
}

PIRP HostAllocateIrp(CCHAR StackSize, HostIrpKind Kind, HostCallSite Site, bool Counted)
{
    if (Counted && HostShouldFailAllocation(Site)) {
        return nullptr;
    }
    size_t size = sizeof(HostIrpRecord) + (size_t)StackSize * sizeof(IO_STACK_LOCATION);
    HostContextSave save = {nullptr, nullptr};
    bool charged = Kind == HostIrpDriver || Kind == HostIrpThreaded;
    if (!charged) {
        save = HostEnterDriver(nullptr, nullptr);
    }
    HostIrpRecord *record = (HostIrpRecord *)HostPoolAllocate(size, HOST_TAG_IRP, Site, nullptr, nullptr);
    if (!charged) {
        HostLeaveDriver(save);
    }
    if (!record) {
        return nullptr;
    }
    memset(record, 0, size);
    record->Magic = HOST_IRP_MAGIC;
    record->Kind = Kind;
    record->AllocDriver = HostThread()->ContextDriver;
    record->AllocSite = Site;
    record->AllocDevice = HostThread()->ContextDevice;
    record->AllocStackSize = StackSize;
    record->Lowest = (CHAR)(StackSize + 1);
    record->Track = new std::mutex;
    KeInitializeEvent(&record->Done, NotificationEvent, FALSE);
    IoInitializeIrp(&record->Irp, IoSizeOfIrp(StackSize), StackSize);
    std::lock_guard<std::mutex> guard(IrpSetLock);
    LiveIrps.insert(&record->Irp);
    return &record->Irp;
}

/* A request that no longer exists is filled with this byte, and must still hold it when its
 * memory goes: a driver that wrote into it after its completion or free is reported. */
#define HOST_FREED_IRP_BYTE 0xDB

static size_t IrpBodySize(HostIrpRecord *Record) { return IoSizeOfIrp(Record->AllocStackSize); }

static void PoisonIrp(HostIrpRecord *Record) { memset(&Record->Irp, HOST_FREED_IRP_BYTE, IrpBodySize(Record)); }

static void CheckPoisonedIrp(HostIrpRecord *Record, size_t Size)
{
    /* Never destroyed: system threads still free requests while the process's static
     * objects are being destroyed at exit. */
    static const size_t patternSize = IoSizeOfIrp(127);
    static const unsigned char *const pattern = [] {
        unsigned char *bytes = new unsigned char[patternSize];
        memset(bytes, HOST_FREED_IRP_BYTE, patternSize);
        return bytes;
    }();
    const unsigned char *bytes = (const unsigned char *)&Record->Irp;
    if (Size <= patternSize && memcmp(bytes, pattern, Size) == 0) {
        return;
    }
    size_t at = 0;
    while (at < Size && bytes[at] == HOST_FREED_IRP_BYTE) {
        at++;
    }
    if (at < Size) {
        char allocated[300];
        HostDescribeSite(Record->AllocSite, allocated, sizeof allocated);
        HostReport("IRP_TOUCHED_AFTER_FREE", nullptr, HostCallSite{nullptr, 0},
                   "request %p, allocated at %s, was written after it was completed to its issuer or freed "
                   "(byte %lu of the request is 0x%02x)",
                   (void *)&Record->Irp, allocated, (unsigned long)at, bytes[at]);
    }
}

static void ReallyFree(HostIrpRecord *Record)
{
    CheckPoisonedIrp(Record, Record->PoisonedSize);
    std::mutex *track = Record->Track;
    Record->Magic = 0;
    HostPoolFree(Record, Record->AllocSite, "request");
    delete track;
}

/* Takes the request out of existence; its memory goes when no dispatch frame remains. */
static void FreeIrpRecord(HostIrpRecord *Record)
{
    ForgetSendsTo(Record, 0);
    {
        std::lock_guard<std::mutex> guard(IrpSetLock);
        LiveIrps.erase(&Record->Irp);
    }
    Record->PoisonedSize = IrpBodySize(Record);
    PoisonIrp(Record);
    {
        std::lock_guard<std::mutex> guard(*Record->Track);
        if (Record->Frames) {
            Record->FreeDeferred = true;
            return;
        }
    }
    ReallyFree(Record);
}

void HostRetireIrp(HostIrpRecord *Record)
{
    std::lock_guard<std::mutex> guard(IrpSetLock);
    LiveIrps.erase(&Record->Irp);
    Record->Finished = true;
}

void HostReleaseIrpRecord(HostIrpRecord *Record)
{
    if (InterlockedDecrement(&Record->Refs) == 0) {
        FreeIrpRecord(Record);
    }
}

PIRP(IoAllocateIrp)(CCHAR StackSize, BOOLEAN ChargeQuota)
{
    (void)ChargeQuota;
    HostCallSite site = HostTakeCallSite();
    if (HostThread()->Irql > DISPATCH_LEVEL) {
        HostReport("IRQL_NOT_LESS", nullptr, site, "IoAllocateIrp at IRQL %d", HostThread()->Irql);
    }
    if (StackSize < 1) {
        HostReport("IRP_NO_STACK_LOCATION", nullptr, site, "IoAllocateIrp with %d stack locations", StackSize);
    }
    return HostAllocateIrp(StackSize, HostIrpDriver, site, true);
}

VOID(IoFreeIrp)(PIRP Irp)
{
    HostCallSite site = HostTakeCallSite();
    if (!HostIrpIsLive(Irp)) {
        HostReport("IRP_NOT_ALLOCATED", nullptr, site,
                   "IoFreeIrp of %p, which is not an allocated request (freed twice?)", (void *)Irp);
        return;
    }
    HostIrpRecord *record = HostIrpRecordOf(Irp);
    if (record->Kind != HostIrpDriver) {
        HostReport("IRP_FREED_IN_USE", Irp, site,
                   "a request that the I/O manager built (and frees at its completion) was freed by a driver");
    }
    /* Below while a location it was passed to has not been completed: a location of the
     * issuer's own (IoSetNextIrpStackLocation) is not one. */
    unsigned long long below;
    {
        std::lock_guard<std::mutex> guard(*record->Track);
        below = record->Delivered;
    }
    if (below) {
        HostReport("IRP_FREED_OWNED_BY_LOWER", Irp, site,
                   "request freed while a lower driver still owns it (it has not been completed back to its issuer)");
    }
    if (__atomic_load_n(&Irp->CancelRoutine, __ATOMIC_ACQUIRE)) {
        HostReport("IRP_FREED_IN_USE", Irp, site, "request freed while its cancel routine is still set");
    }
    FreeIrpRecord(record);
}

/* ---- Sending -------------------------------------------------------------------------- */

/* The request can be sent at all: the caller's IRQL, a live request, a live device, a stack
 * location left. False (after a report) when it cannot. */
static bool CheckCanSend(HostThreadState *Thread, PDEVICE_OBJECT DeviceObject, PIRP Irp, HostCallSite Site)
{
    if (Thread->Irql > DISPATCH_LEVEL) {
        HostReport("CALL_DRIVER_IRQL", Irp, Site, "IoCallDriver at IRQL %d", Thread->Irql);
    }
    if (!HostIrpIsLive(Irp)) {
        HostReport("IRP_NOT_ALLOCATED", nullptr, Site, "IoCallDriver with %p, which is not an allocated request",
                   (void *)Irp);
        return false;
    }
    if (!HostDeviceIsLive(DeviceObject)) {
        HostReport("DEVICE_NOT_LIVE", Irp, Site, "IoCallDriver to %p, which is not a device object (deleted?)",
                   (void *)DeviceObject);
        return false;
    }
    if (SentByCaller(HostIrpRecordOf(Irp))) {
        HostReport("IRP_FORWARDED_WHILE_BELOW", Irp, Site,
                   "driver %s passed on a request that it had already passed down and a lower driver still owns",
                   HostDriverOf(Thread->ContextDriver)->Info->Name);
    }
    if (Irp->CurrentLocation <= 1) {
        HostReport("IRP_NO_STACK_LOCATION", Irp, Site, "IoCallDriver to %p: the request has no stack location left",
                   (void *)DeviceObject);
        return false;
    }
    return true;
}

/* The next stack location as the sender must leave it: set up, no cancel routine on the
 * request, a power request sent with PoCallDriver, and a new plug-and-play or power request
 * with STATUS_NOT_SUPPORTED in its status block. */
static void CheckNextLocation(PDEVICE_OBJECT DeviceObject, PIRP Irp, bool ViaPo, HostCallSite Site)
{
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(Irp);
    if (next->MajorFunction == HOST_UNSET_MAJOR) {
        HostReport("NEXT_LOCATION_NOT_SET", Irp, Site,
                   "IoCallDriver to %p without setting up the next stack location (copy, skip or fill it first)",
                   (void *)DeviceObject);
    }
    if (__atomic_load_n(&Irp->CancelRoutine, __ATOMIC_ACQUIRE)) {
        HostReport("CALL_WITH_CANCEL_ROUTINE", Irp, Site,
                   "IoCallDriver to %p while the request's cancel routine %p is still set", (void *)DeviceObject,
                   (void *)Irp->CancelRoutine);
    }
    if (next->MajorFunction == IRP_MJ_POWER && !ViaPo) {
        HostReport("POWER_IRP_NOT_PO_CALL", Irp, Site,
                   "power request passed with IoCallDriver instead of PoCallDriver");
    }
    if ((next->MajorFunction == IRP_MJ_PNP || next->MajorFunction == IRP_MJ_POWER) &&
        Irp->CurrentLocation == Irp->StackCount + 1 && HostIrpRecordOf(Irp)->Kind == HostIrpDriver &&
        Irp->IoStatus.Status != STATUS_NOT_SUPPORTED) {
        HostReport("PNP_POWER_STATUS_NOT_INITIALIZED", Irp, Site,
                   "%s request sent with IoStatus.Status 0x%08x; its sender must set STATUS_NOT_SUPPORTED",
                   HostMajorName(next->MajorFunction), (unsigned)Irp->IoStatus.Status);
    }
}

/* A plug-and-play request passed down: below DISPATCH_LEVEL, not with a failure a driver
 * above set (that driver completes it instead), and a capabilities query issued with its
 * record preset. */
static void CheckPnpSend(HostThreadState *Thread, PIRP Irp, HostCallSite Site)
{
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(Irp);
    if (next->MajorFunction != IRP_MJ_PNP) {
        return;
    }
    if (Thread->Irql >= DISPATCH_LEVEL) {
        HostReport("PNP_CALL_IRQL", Irp, Site, "plug-and-play request (minor 0x%02x) passed down at IRQL %d",
                   next->MinorFunction, Thread->Irql);
    }
    HostIrpRecord *record = HostIrpRecordOf(Irp);
    bool passedOn; /* not the issuer's first send */
    {
        std::lock_guard<std::mutex> guard(*record->Track);
        passedOn = record->Lowest <= Irp->StackCount;
    }
    if (passedOn && !NT_SUCCESS(Irp->IoStatus.Status) && Irp->IoStatus.Status != STATUS_NOT_SUPPORTED) {
        HostReport("PNP_FAILED_PASSED_DOWN", Irp, Site,
                   "plug-and-play request (minor 0x%02x) passed down with the failure 0x%08x: a driver that fails "
                   "it completes it",
                   next->MinorFunction, (unsigned)Irp->IoStatus.Status);
    }
    if (next->MinorFunction == IRP_MN_QUERY_CAPABILITIES && Irp->CurrentLocation == Irp->StackCount + 1) {
        PDEVICE_CAPABILITIES caps = next->Parameters.DeviceCapabilities.Capabilities;
        if (!caps || caps->Version != 1 || caps->Size != sizeof(DEVICE_CAPABILITIES) || caps->Address != (ULONG)-1 ||
            caps->UINumber != (ULONG)-1) {
            HostReport("PNP_CAPABILITIES_NOT_INITIALIZED", Irp, Site,
                       "IRP_MN_QUERY_CAPABILITIES sent without Version 1, Size, Address and UINumber -1 preset");
        }
    }
}

/* Moves the request to its next stack location, which becomes DeviceObject's; the location
 * left behind is marked unset, so that a later send without setting it up is seen. Returns
 * the new current location. */
static PIO_STACK_LOCATION MoveToNextLocation(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    IoSetNextIrpStackLocation(Irp);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    stack->DeviceObject = DeviceObject;
    if (Irp->CurrentLocation > 1) {
        (stack - 1)->MajorFunction = HOST_UNSET_MAJOR;
    }
    return stack;
}

/* Records the send in the request's record: the lowest location reached, whether it reached
 * the bottom of the stack, the power start-next debt of the location, and which driver and
 * device sent it (for the checks at completion). Reports a power request whose skipped
 * location never called PoStartNextPowerIrp. */
static void RecordSend(HostThreadState *Thread, PDEVICE_OBJECT DeviceObject, PIRP Irp, PIO_STACK_LOCATION Stack,
                       HostCallSite Site)
{
    HostIrpRecord *record = HostIrpRecordOf(Irp);
    bool bottom;
    {
        std::lock_guard<std::mutex> guard(HostKernelLock);
        bottom = !DeviceObject->DeviceObjectExtension->AttachedTo;
    }
    bool skippedUnpaid;
    {
        std::lock_guard<std::mutex> guard(*record->Track);
        /* A location called again before completion passed it: its driver skipped it. What
         * that driver owed is due now; the driver called next owes its own. */
        unsigned long long bit = LocationBit(Irp->CurrentLocation);
        skippedUnpaid = (record->PowerOwed & bit) && !(record->PowerPaid & bit);
        record->PowerOwed &= ~bit;
        record->PowerPaid &= ~bit;
        if (OwesStartNext(Stack->MajorFunction, Stack->MinorFunction)) {
            record->PowerOwed |= bit;
        }
        record->Delivered |= bit;
        if (Irp->CurrentLocation < record->Lowest) {
            record->Lowest = Irp->CurrentLocation;
        }
        if (bottom) {
            record->ReachedBottom = true;
        }
        /* The plug-and-play and power managers' own requests and user-mode requests are sent
         * to the top by the I/O manager, whatever driver the thread is running for. */
        bool byDriver =
            Irp->CurrentLocation < Irp->StackCount || record->Kind == HostIrpDriver || record->Kind == HostIrpThreaded;
        PDRIVER_OBJECT caller = Thread->ContextDriver;
        if (caller && byDriver && record->SendCount < HOST_MAX_IRP_SENDS) {
            PDEVICE_OBJECT sender = Thread->ContextDevice;
            if (sender && !HostDeviceIsLive(sender)) {
                sender = nullptr;
            }
            record->Sends[record->SendCount++] = HostIrpSend{Irp->CurrentLocation, caller, sender};
            if (sender) {
                InterlockedIncrement(&sender->DeviceObjectExtension->SentBelow);
            }
        }
    }
    if (skippedUnpaid) {
        HostReport("POWER_START_NEXT_MISSING", Irp, Site,
                   "power request (minor 0x%02x) passed on with its location skipped and without PoStartNextPowerIrp "
                   "while that location was current (the next power request would never come)",
                   Stack->MinorFunction);
    }
}

/* Runs the dispatch routine of DeviceObject's driver for the request's current location in
 * Frame, which completion marks while it runs (on any thread), and takes the frame off the
 * request afterwards. Returns the routine's status; *Pending: the location counts as marked
 * pending; *Shown: the request for reports, null once it has been freed. */
static NTSTATUS RunDispatchRoutine(PDEVICE_OBJECT DeviceObject, PIRP Irp, HostDispatchFrame *Frame, bool *Pending,
                                   PIRP *Shown)
{
    HostIrpRecord *record = HostIrpRecordOf(Irp);
    PDRIVER_OBJECT driver = DeviceObject->DriverObject;
    {
        std::lock_guard<std::mutex> guard(*record->Track);
        Frame->Next = record->Frames;
        record->Frames = Frame;
    }
    PushThreadFrame(Frame);
    HostContextSave save = HostEnterDriver(driver, DeviceObject);
    NTSTATUS status = driver->MajorFunction[Frame->Major](DeviceObject, Irp);
    HostLeaveDriver(save);
    PopThreadFrame(Frame);

    bool last;
    {
        std::lock_guard<std::mutex> guard(*record->Track);
        HostDispatchFrame **link = &record->Frames;
        while (*link != Frame) {
            link = &(*link)->Next;
        }
        *link = Frame->Next;
        if (Frame->Completed) {
            *Pending = Frame->PendingMarked;
        } else {
            /* Not yet completed past this location. A completion routine may be marking it
             * right now on another thread (propagating PendingReturned), so the location is
             * not read here: the mark is checked when completion passes this location. */
            *Pending = status == STATUS_PENDING;
            if (*Pending && Frame->Location < 32) {
                record->PendingCheckMask |= 1u << Frame->Location;
            }
        }
        last = !record->Frames && record->FreeDeferred;
    }
    if (last) {
        ReallyFree(record);
    }
    *Shown = (last || !HostIrpIsLive(Irp)) ? nullptr : Irp;
    return status;
}

/* What the dispatch routine returned against what it did: the IRQL it was entered at, and
 * STATUS_PENDING if and only if it marked the request pending, else the status it completed
 * the request with. */
static void CheckDispatchReturn(const HostDispatchFrame *Frame, NTSTATUS Status, bool Pending, PIRP Shown,
                                const char *DriverName, KIRQL EntryIrql, KIRQL Irql, HostCallSite Site)
{
    const char *major = HostMajorName(Frame->Major);
    if (Irql != EntryIrql) {
        HostReport("DISPATCH_IRQL_CHANGED", Shown, Site,
                   "%s dispatch routine of %s (minor 0x%02x) entered at IRQL %d and returned at IRQL %d", major,
                   DriverName, Frame->Minor, EntryIrql, Irql);
    }
    if (Status == STATUS_PENDING && !Pending) {
        HostReport("PENDING_NOT_MARKED", Shown, Site,
                   "%s dispatch routine of %s (minor 0x%02x) returned STATUS_PENDING without IoMarkIrpPending", major,
                   DriverName, Frame->Minor);
    } else if (Status != STATUS_PENDING && Pending) {
        HostReport("MARKED_PENDING_NOT_RETURNED", Shown, Site,
                   "%s dispatch routine of %s (minor 0x%02x) marked the request pending but returned 0x%08x", major,
                   DriverName, Frame->Minor, (unsigned)Status);
    } else if (Status != STATUS_PENDING && !Frame->Completed) {
        HostReport("NOT_COMPLETED_NOT_PENDING", Shown, Site,
                   "%s dispatch routine of %s (minor 0x%02x) returned 0x%08x without completing the request", major,
                   DriverName, Frame->Minor, (unsigned)Status);
    } else if (Status != STATUS_PENDING && Status != Frame->CompletedStatus) {
        HostReport("STATUS_MISMATCH", Shown, Site,
                   "%s dispatch routine of %s (minor 0x%02x) returned 0x%08x but the request was completed with 0x%08x",
                   major, DriverName, Frame->Minor, (unsigned)Status, (unsigned)Frame->CompletedStatus);
    }
}

/* IofCallDriver: the checks of the send, the move to the next location, the dispatch routine
 * in its frame, the checks of what it returned. */
NTSTATUS HostCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp, HostCallSite Site)
{
    HostThreadState *thread = HostThread();
    bool viaPo = thread->InPoCallDriver;
    thread->InPoCallDriver = FALSE;
    if (!CheckCanSend(thread, DeviceObject, Irp, Site)) {
        return STATUS_INVALID_PARAMETER;
    }
    CheckNextLocation(DeviceObject, Irp, viaPo, Site);
    CheckPnpSend(thread, Irp, Site);
    HostFuzzPoint();

    PIO_STACK_LOCATION stack = MoveToNextLocation(DeviceObject, Irp);
    RecordSend(thread, DeviceObject, Irp, stack, Site);

    /* Read before the call: a removal may delete the device and unload its driver. */
    const char *driverName = HostDriverOf(DeviceObject->DriverObject)->Info->Name;
    KIRQL entryIrql = thread->Irql;
    HostDispatchFrame frame = {};
    frame.Irp = Irp;
    frame.Location = Irp->CurrentLocation;
    frame.Major = stack->MajorFunction;
    frame.Minor = stack->MinorFunction;
    bool pending;
    PIRP shown;
    NTSTATUS status = RunDispatchRoutine(DeviceObject, Irp, &frame, &pending, &shown);
    CheckDispatchReturn(&frame, status, pending, shown, driverName, entryIrql, thread->Irql, Site);
    return status;
}

NTSTATUS(IofCallDriver)(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    return HostCallDriver(DeviceObject, Irp, HostTakeCallSite());
}

/* ---- Completion ------------------------------------------------------------------------ */

static void FinishThreaded(HostIrpRecord *Record)
{
    PIRP irp = &Record->Irp;
    if (Record->CopyOut && NT_SUCCESS(irp->IoStatus.Status) && irp->IoStatus.Information > Record->OutputLength) {
        HostReport("INFORMATION_EXCEEDS_BUFFER", nullptr, Record->AllocSite,
                   "buffered device control completed with Information %lu, more than its output buffer of %lu bytes",
                   (unsigned long)irp->IoStatus.Information, (unsigned long)Record->OutputLength);
    }
    if (Record->CopyOut && NT_SUCCESS(irp->IoStatus.Status) && Record->OutputBuffer) {
        ULONG_PTR n = irp->IoStatus.Information;
        memcpy(Record->OutputBuffer, Record->SystemBuffer, n < Record->OutputLength ? n : Record->OutputLength);
    }
    /* A request that failed without ever being pended leaves its issuer's status block and
     * event untouched: the issuer has the status from IoCallDriver. */
    bool report = !NT_ERROR(irp->IoStatus.Status) || irp->PendingReturned;
    if (irp->UserIosb && report) {
        *irp->UserIosb = irp->IoStatus;
    }
    if (Record->SystemBuffer) {
        HostPoolFree(Record->SystemBuffer, Record->AllocSite, "system buffer");
    }
    if (Record->IoMdl) {
        MmUnlockPages(Record->IoMdl);
        HostFreeMdl(Record->IoMdl, Record->AllocSite);
    }
    PKEVENT event = report ? irp->UserEvent : nullptr;
    FreeIrpRecord(Record);
    if (event) {
        KeSetEvent(event, IO_NO_INCREMENT, FALSE);
    }
}

/* Plug-and-play requests that every driver of the stack must see and pass down, and power
 * requests that only the bus driver may end with success. */
static bool MustPassDown(UCHAR Major, UCHAR Minor, NTSTATUS Status)
{
    if (Major == IRP_MJ_POWER) {
        return NT_SUCCESS(Status) && Minor != IRP_MN_WAIT_WAKE;
    }
    if (Major != IRP_MJ_PNP) {
        return false;
    }
    switch (Minor) {
    case IRP_MN_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
        return true;
    case IRP_MN_START_DEVICE:
        return NT_SUCCESS(Status);
    default:
        return false;
    }
}

/* A driver above the bus driver completes, at its own location, a request it never passed
 * below that location. */
static void CheckPassedDown(PIRP Irp, HostIrpRecord *Record, PIO_STACK_LOCATION Stack, HostCallSite Site)
{
    if (Irp->CurrentLocation > Irp->StackCount ||
        !MustPassDown(Stack->MajorFunction, Stack->MinorFunction, Irp->IoStatus.Status)) {
        return;
    }
    PDEVICE_OBJECT device = Stack->DeviceObject;
    if (!device || !HostDeviceIsLive(device)) {
        return;
    }
    {
        std::lock_guard<std::mutex> guard(HostKernelLock);
        if (!device->DeviceObjectExtension->AttachedTo) {
            return;
        }
    }
    CHAR lowest;
    {
        std::lock_guard<std::mutex> guard(*Record->Track);
        lowest = Record->Lowest;
    }
    if (lowest >= Irp->CurrentLocation) {
        HostReport(Stack->MajorFunction == IRP_MJ_PNP ? "PNP_NOT_PASSED_DOWN" : "POWER_NOT_PASSED_DOWN", Irp, Site,
                   "%s request (minor 0x%02x) completed with 0x%08x by device %p (driver %s) without passing it to the "
                   "device below",
                   HostMajorName(Stack->MajorFunction), Stack->MinorFunction, (unsigned)Irp->IoStatus.Status,
                   (void *)device, HostDriverOf(device->DriverObject)->Info->Name);
    }
}

/* CheckCompleteCall: the checks on a call of IoCompleteRequest for Irp (Record its record)
 * made on Thread: IRQL, ownership, status, cancel routine, spin locks held, and whether a
 * request that must be passed down was. Reports each fault at Site. Returns false when the
 * request has been completed already, and the completion must go no further. */
static bool CheckCompleteCall(PIRP Irp, HostIrpRecord *Record, HostThreadState *Thread, HostCallSite Site)
{
    if (Thread->Irql > DISPATCH_LEVEL) {
        HostReport("IRQL_NOT_LESS", Irp, Site, "IoCompleteRequest at IRQL %d", Thread->Irql);
    }
    if (SentByCaller(Record)) {
        HostReport("IRP_COMPLETED_WHILE_BELOW", Irp, Site,
                   "driver %s completed a request that it had passed down and a lower driver still owns",
                   HostDriverOf(Thread->ContextDriver)->Info->Name);
    }
    if (Irp->CurrentLocation > Irp->StackCount) {
        HostReport("IRP_COMPLETED_TWICE", Irp, Site, "request completed again: %s",
                   Irp->CurrentLocation > Irp->StackCount + 1 ? "its completion has already reached the top"
                                                              : "no driver owns it (it is back with its issuer)");
        return false;
    }
    if (Irp->IoStatus.Status == STATUS_PENDING) {
        HostReport("IRP_COMPLETED_PENDING", Irp, Site, "request completed with STATUS_PENDING");
    }
    PDRIVER_CANCEL cancelRoutine = __atomic_load_n(&Irp->CancelRoutine, __ATOMIC_ACQUIRE);
    if (cancelRoutine) {
        HostReport("IRP_COMPLETED_WITH_CANCEL_ROUTINE", Irp, Site,
                   "request completed while its cancel routine %p is still set", (void *)cancelRoutine);
    }
    if (Thread->HeldCount) {
        char where[300];
        HostDescribeSite(Thread->Held[0].Site, where, sizeof where);
        HostReport("COMPLETE_HOLDING_SPINLOCK", Irp, Site,
                   "IoCompleteRequest while holding spin lock %p (acquired at %s)", (void *)Thread->Held[0].Lock,
                   where);
    }
    if (Irp->CurrentLocation >= 1) {
        PIO_STACK_LOCATION first = IoGetCurrentIrpStackLocation(Irp);
        CheckPassedDown(Irp, Record, first, Site);
    }
    return true;
}

/* RecordLocationCompleted: notes in Record that the current stack location of Irp has
 * completed (with its status and whether it was marked pending), and reports at Site a
 * dispatch routine that returned STATUS_PENDING there without marking the request pending. */
static void RecordLocationCompleted(PIRP Irp, HostIrpRecord *Record, HostCallSite Site)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    CHAR location = Irp->CurrentLocation;
    NTSTATUS status = Irp->IoStatus.Status;
    bool unmarked = false;
    bool unpaid;
    {
        std::lock_guard<std::mutex> guard(*Record->Track);
        unsigned long long bit = LocationBit(location);
        unpaid = (Record->PowerOwed & bit) && !(Record->PowerPaid & bit);
        Record->Delivered &= ~bit;
        Record->PowerOwed &= ~bit;
        Record->PowerPaid &= ~bit;
        if (location < 32 && (Record->PendingCheckMask & (1u << location))) {
            Record->PendingCheckMask &= ~(1u << location);
            unmarked = !(stack->Control & SL_PENDING_RETURNED);
        }
        for (HostDispatchFrame *frame = Record->Frames; frame; frame = frame->Next) {
            if (frame->Location == location && !frame->Completed) {
                frame->Completed = true;
                frame->PendingMarked = (stack->Control & SL_PENDING_RETURNED) != 0;
                frame->CompletedStatus = status;
            }
        }
    }
    if (unpaid) {
        HostReport("POWER_START_NEXT_MISSING", Irp, Site,
                   "completion passed location %d of a power request (minor 0x%02x) whose driver never called "
                   "PoStartNextPowerIrp while that location was current (the next power request would never come)",
                   location, stack->MinorFunction);
    }
    if (unmarked) {
        HostReport("PENDING_NOT_MARKED", Irp, Site,
                   "the dispatch routine at location %d returned STATUS_PENDING, and the request was never marked "
                   "pending there (IoMarkIrpPending, in dispatch or by propagating PendingReturned)",
                   location);
    }
}

/* ClearStackLocation: clears a finished stack location, so that nobody reads a lower
 * driver's parameters, completion routine or context. */
static void ClearStackLocation(PIO_STACK_LOCATION Stack)
{
    Stack->MinorFunction = 0;
    Stack->Flags = 0;
    Stack->Control = 0;
    memset(&Stack->Parameters, 0, sizeof Stack->Parameters);
    Stack->FileObject = nullptr;
    Stack->CompletionRoutine = nullptr;
    Stack->Context = nullptr;
}

/* RunCompletionRoutine: calls the completion routine Routine with Context for Irp, in the
 * driver of the location now current (the allocating driver's when Top), at DISPATCH_LEVEL
 * on Thread, and checks what it did. Reports faults at Site. Returns false when the
 * completion stops here: the routine returned STATUS_MORE_PROCESSING_REQUIRED or completed
 * the request again from inside. */
static bool RunCompletionRoutine(PIRP Irp, HostIrpRecord *Record, HostThreadState *Thread,
                                 PIO_COMPLETION_ROUTINE Routine, PVOID Context, bool Top, HostCallSite Site)
{
    PDEVICE_OBJECT device = Top ? nullptr : IoGetCurrentIrpStackLocation(Irp)->DeviceObject;
    PDRIVER_OBJECT driver = device ? device->DriverObject : Record->AllocDriver;
    HostContextSave save = HostEnterDriver(driver, device);
    /* Completion routines must be callable at DISPATCH_LEVEL: they always run there. */
    KIRQL old = Thread->Irql;
    if (old < DISPATCH_LEVEL) {
        Thread->Irql = DISPATCH_LEVEL;
    }
    KIRQL entered = Thread->Irql;
    HostFuzzPoint();
    HostDispatchFrame running = {nullptr, nullptr, Irp, 0, 0, 0, false, false, false, 0};
    PushThreadFrame(&running);
    NTSTATUS result = Routine(device, Irp, Context);
    PopThreadFrame(&running);
    if (Thread->Irql != entered) {
        HostReport("DISPATCH_IRQL_CHANGED", nullptr, Site, "completion routine %p returned at IRQL %d, entered at %d",
                   (void *)Routine, Thread->Irql, entered);
    }
    Thread->Irql = old;
    HostLeaveDriver(save);
    if (result == STATUS_MORE_PROCESSING_REQUIRED) {
        return false;
    }
    if (running.CompletedInside) {
        /* The request has been completed from inside: it may be gone already. */
        HostReport("COMPLETION_ROUTINE_COMPLETED", nullptr, Site,
                   "completion routine %p called IoCompleteRequest on its request and returned 0x%08x; it must "
                   "return STATUS_MORE_PROCESSING_REQUIRED after completing it again",
                   (void *)Routine, (unsigned)result);
        return false;
    }
    if (!Top && Irp->PendingReturned && !(IoGetCurrentIrpStackLocation(Irp)->Control & SL_PENDING_RETURNED)) {
        HostReport("PENDING_RETURNED_IGNORED", Irp, Site,
                   "completion routine %p saw PendingReturned and returned 0x%08x without IoMarkIrpPending",
                   (void *)Routine, (unsigned)result);
    }
    return true;
}

/* FinishAtTop: hands a request whose completion has passed its last location back to its
 * issuer by the kind of Record; reports at Site a request that must not get there. */
static void FinishAtTop(PIRP Irp, HostIrpRecord *Record, HostCallSite Site)
{
    IoSkipCurrentIrpStackLocation(Irp);
    switch (Record->Kind) {
    case HostIrpThreaded:
        FinishThreaded(Record);
        break;
    case HostIrpUser:
        HostFinishUserIrp(Record);
        break;
    case HostIrpDriver:
        HostReport("DRIVER_ALLOCATED_IRP_COMPLETED", Irp, Site,
                   "a request allocated by a driver was completed to the top: its issuer's completion routine must "
                   "return STATUS_MORE_PROCESSING_REQUIRED and free it");
        break;
    case HostIrpSystem:
        HostReport("NOT_MODELLED", Irp, Site, "system request completed past its issuer");
        break;
    }
}

/* CompleteRequest: IoCompleteRequest called at Site. Checks the call, then walks the stack
 * locations of Irp upwards from the current one, each one recorded as completed, cleared and
 * its completion routine run when its conditions hold, until a routine stops the completion
 * or the request reaches its issuer. */
static void CompleteRequest(PIRP Irp, HostCallSite Site)
{
    HostThreadState *thread = HostThread();
    if (!HostIrpIsLive(Irp)) {
        HostReport("IRP_NOT_ALLOCATED", nullptr, Site,
                   "IoCompleteRequest of %p, which is not an allocated request (completed and freed already?)",
                   (void *)Irp);
        return;
    }
    HostIrpRecord *record = HostIrpRecordOf(Irp);
    for (HostDispatchFrame *frame = thread->Frames; frame; frame = frame->ThreadNext) {
        if (frame->Irp == Irp && !frame->Location) {
            frame->CompletedInside = true;
        }
    }
    if (!CheckCompleteCall(Irp, record, thread, Site)) {
        return;
    }
    HostFuzzPoint();

    for (;;) {
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
        CHAR location = Irp->CurrentLocation;
        NTSTATUS status = Irp->IoStatus.Status;
        RecordLocationCompleted(Irp, record, Site);
        Irp->PendingReturned = (stack->Control & SL_PENDING_RETURNED) != 0;
        PIO_COMPLETION_ROUTINE routine = stack->CompletionRoutine;
        PVOID context = stack->Context;
        UCHAR control = stack->Control;
        ClearStackLocation(stack);
        IoSkipCurrentIrpStackLocation(Irp);
        ForgetSendsTo(record, location);
        bool top = Irp->CurrentLocation == Irp->StackCount + 1;

        bool invoke = routine && ((NT_SUCCESS(status) && (control & SL_INVOKE_ON_SUCCESS)) ||
                                  (!NT_SUCCESS(status) && (control & SL_INVOKE_ON_ERROR)) ||
                                  (__atomic_load_n(&Irp->Cancel, __ATOMIC_ACQUIRE) && (control & SL_INVOKE_ON_CANCEL)));
        if (invoke) {
            if (!RunCompletionRoutine(Irp, record, thread, routine, context, top, Site)) {
                return;
            }
        } else if (!top && Irp->PendingReturned) {
            IoMarkIrpPending(Irp);
        }
        if (top) {
            break;
        }
    }
    FinishAtTop(Irp, record, Site);
}

VOID(IofCompleteRequest)(PIRP Irp, CCHAR PriorityBoost)
{
    (void)PriorityBoost;
    CompleteRequest(Irp, HostTakeCallSite());
}

/* ---- Cancellation ----------------------------------------------------------------------- */

/* The test's hook between taking a cancel routine and calling it (HostSetCancelHook). */
static std::mutex CancelHookLock;
static HOST_CANCEL_HOOK *CancelHook;
static PVOID CancelHookContext;

VOID HostSetCancelHook(HOST_CANCEL_HOOK *Hook, PVOID Context)
{
    std::lock_guard<std::mutex> guard(CancelHookLock);
    CancelHook = Hook;
    CancelHookContext = Context;
}

static BOOLEAN CancelIrp(PIRP Irp, HostCallSite site)
{
    if (HostThread()->Irql > DISPATCH_LEVEL) {
        HostReport("IRQL_NOT_LESS", Irp, site, "IoCancelIrp at IRQL %d", HostThread()->Irql);
    }
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    __atomic_store_n(&Irp->Cancel, TRUE, __ATOMIC_RELEASE);
    PDRIVER_CANCEL routine = IoSetCancelRoutine(Irp, nullptr);
    if (!routine) {
        IoReleaseCancelSpinLock(irql);
        return FALSE;
    }
    Irp->CancelIrql = irql;
    HOST_CANCEL_HOOK *hook;
    PVOID hookContext;
    {
        std::lock_guard<std::mutex> guard(CancelHookLock);
        hook = CancelHook;
        hookContext = CancelHookContext;
    }
    if (hook) {
        hook(Irp, hookContext);
    }
    PDEVICE_OBJECT device =
        Irp->CurrentLocation <= Irp->StackCount ? IoGetCurrentIrpStackLocation(Irp)->DeviceObject : nullptr;
    HostContextSave save = HostEnterDriver(device ? device->DriverObject : nullptr, device);
    routine(device, Irp);
    HostLeaveDriver(save);
    if (HostThreadHoldsLock(&HostCancelSpinLock)) {
        HostReport("CANCEL_LOCK_NOT_RELEASED", nullptr, site, "cancel routine %p returned holding the cancel spin lock",
                   (void *)routine);
        IoReleaseCancelSpinLock(irql);
    }
    return TRUE;
}

BOOLEAN(IoCancelIrp)(PIRP Irp)
{
    HostCallSite site = HostTakeCallSite();
    if (!HostIrpIsLive(Irp)) {
        HostReport("IRP_NOT_ALLOCATED", nullptr, site,
                   "IoCancelIrp of %p, which is not an allocated request (completed and freed already?)", (void *)Irp);
        return FALSE;
    }
    return CancelIrp(Irp, site);
}

BOOLEAN HostCancelIrpUnchecked(PIRP Irp) { return CancelIrp(Irp, HostCallSite{nullptr, 0}); }

/* ---- Threaded device-control requests -------------------------------------------------- */

PIRP(IoBuildDeviceIoControlRequest)
(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject, PVOID InputBuffer, ULONG InputBufferLength, PVOID OutputBuffer,
 ULONG OutputBufferLength, BOOLEAN InternalDeviceIoControl, PKEVENT Event, PIO_STATUS_BLOCK IoStatusBlock)
{
    HostCallSite site = HostTakeCallSite();
    if (HostThread()->Irql > APC_LEVEL) {
        HostReport("IRQL_NOT_LESS", nullptr, site, "IoBuildDeviceIoControlRequest at IRQL %d", HostThread()->Irql);
    }
    if (!HostDeviceIsLive(DeviceObject)) {
        HostReport("DEVICE_NOT_LIVE", nullptr, site,
                   "IoBuildDeviceIoControlRequest for %p, which is not a device object", (void *)DeviceObject);
        return nullptr;
    }
    PIRP irp = HostAllocateIrp(DeviceObject->StackSize, HostIrpThreaded, site, true);
    if (!irp) {
        return nullptr;
    }
    HostIrpRecord *record = HostIrpRecordOf(irp);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = InternalDeviceIoControl ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.OutputBufferLength = OutputBufferLength;
    next->Parameters.DeviceIoControl.InputBufferLength = InputBufferLength;
    next->Parameters.DeviceIoControl.IoControlCode = IoControlCode;
    switch (METHOD_FROM_CTL_CODE(IoControlCode)) {
    case METHOD_BUFFERED:
        if (InputBufferLength || OutputBufferLength) {
            ULONG size = InputBufferLength > OutputBufferLength ? InputBufferLength : OutputBufferLength;
            record->SystemBuffer = HostPoolAllocate(size, HOST_TAG_BUFFER, site, nullptr, nullptr);
            memset(record->SystemBuffer, 0, size);
            if (InputBuffer && InputBufferLength) {
                memcpy(record->SystemBuffer, InputBuffer, InputBufferLength);
            }
            irp->AssociatedIrp.SystemBuffer = record->SystemBuffer;
            irp->Flags = IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER | (OutputBufferLength ? IRP_INPUT_OPERATION : 0);
            record->CopyOut = OutputBufferLength != 0;
            record->OutputBuffer = OutputBuffer;
            record->OutputLength = OutputBufferLength;
        }
        break;
    case METHOD_IN_DIRECT:
    case METHOD_OUT_DIRECT:
        if (InputBufferLength) {
            record->SystemBuffer = HostPoolAllocate(InputBufferLength, HOST_TAG_BUFFER, site, nullptr, nullptr);
            memcpy(record->SystemBuffer, InputBuffer, InputBufferLength);
            irp->AssociatedIrp.SystemBuffer = record->SystemBuffer;
            irp->Flags = IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
        }
        if (OutputBufferLength) {
            record->IoMdl = HostAllocateMdl(OutputBuffer, OutputBufferLength, site, nullptr);
            MmProbeAndLockPages(record->IoMdl, KernelMode, IoWriteAccess);
            irp->MdlAddress = record->IoMdl;
        }
        break;
    default:
        next->Parameters.DeviceIoControl.Type3InputBuffer = InputBuffer;
        irp->UserBuffer = OutputBuffer;
        break;
    }
    irp->UserIosb = IoStatusBlock;
    irp->UserEvent = Event;
    irp->RequestorMode = KernelMode;
    irp->Tail.Overlay.Thread = HostThread();
    return irp;
}

/* ---- System requests ------------------------------------------------------------------- */

static NTSTATUS SystemIrpDone(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    (void)DeviceObject;
    (void)Context;
    KeSetEvent(&HostIrpRecordOf(Irp)->Done, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS HostSendSystemIrp(PDEVICE_OBJECT Top, PIRP Irp, bool *ReachedBottom, ULONG_PTR *Information)
{
    HostIrpRecord *record = HostIrpRecordOf(Irp);
    IoSetCompletionRoutine(Irp, SystemIrpDone, nullptr, TRUE, TRUE, TRUE);
    bool power = IoGetNextIrpStackLocation(Irp)->MajorFunction == IRP_MJ_POWER;
    HostThreadState *thread = HostThread();
    KIRQL old = thread->Irql;
    if (power && !(Top->Flags & DO_POWER_PAGABLE)) {
        thread->Irql = DISPATCH_LEVEL;
    }
    thread->InPoCallDriver = power;
    NTSTATUS status = HostCallDriver(Top, Irp, HostCallSite{nullptr, 0});
    thread->Irql = old;
    if (status == STATUS_PENDING) {
        (KeWaitForSingleObject)(&record->Done, Executive, KernelMode, FALSE, nullptr);
    }
    NTSTATUS final = Irp->IoStatus.Status;
    if (ReachedBottom) {
        *ReachedBottom = record->ReachedBottom;
    }
    if (Information) {
        *Information = Irp->IoStatus.Information;
    }
    FreeIrpRecord(record);
    return final;
}
