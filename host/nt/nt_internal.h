/*
 * nt_internal.h - records and routines shared by the files of the kernel stand-in.
 *
 * Not for drivers or tests: they see ntddk.h and host_kernel.h only.
 */
#ifndef MURVO_HOST_NT_NT_INTERNAL_H
#define MURVO_HOST_NT_NT_INTERNAL_H

#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "host/nt/host_kernel.h"

/* Object type codes of the Windows object manager, kept in the records' Type fields. */
#define IO_TYPE_DRIVER 4
#define IO_TYPE_FILE 5
#define IO_TYPE_IRP 6
#define IO_TYPE_DEVICE 3
#define IO_TYPE_DEVICE_OBJECT_EXTENSION 13

/* Tags of the I/O manager's own pool allocations (charged to the driver they serve). */
#define HOST_TAG_IRP HOST_POOL_TAG('I', 'r', 'p', ' ')
#define HOST_TAG_MDL HOST_POOL_TAG('M', 'd', 'l', ' ')
#define HOST_TAG_NAME HOST_POOL_TAG('I', 'o', 'N', 'm')
#define HOST_TAG_BUFFER HOST_POOL_TAG('I', 'o', 'B', 'f')

/* ---- Call sites and per-thread state ----------------------------------------------- */

typedef struct HostCallSite {
    const char *File;
    int Line;
} HostCallSite;

#define HOST_MAX_HELD_LOCKS 16

typedef struct HostHeldLock {
    PKSPIN_LOCK Lock;
    KIRQL OldIrql;
    HostCallSite Site;
} HostHeldLock;

typedef struct HostThreadState {
    KIRQL Irql;
    HostCallSite NextSite; /* noted by HOST_AT for the next kernel call */
    HostHeldLock Held[HOST_MAX_HELD_LOCKS];
    int HeldCount;
    PDRIVER_OBJECT ContextDriver;     /* whose code runs on this thread now */
    PDEVICE_OBJECT ContextDevice;     /* on behalf of which device, when known */
    BOOLEAN InPoCallDriver;           /* IofCallDriver is being called by PoCallDriver */
    struct HostDispatchFrame *Frames; /* dispatch and completion routines running on this thread, innermost first */
} HostThreadState;

HostThreadState *HostThread(void);
HostCallSite HostTakeCallSite(void);

/* Saves and sets the driver context of the thread around a call into driver code. */
typedef struct HostContextSave {
    PDRIVER_OBJECT Driver;
    PDEVICE_OBJECT Device;
} HostContextSave;
HostContextSave HostEnterDriver(PDRIVER_OBJECT Driver, PDEVICE_OBJECT Device);
void HostLeaveDriver(HostContextSave Save);

/* ---- Verifier ----------------------------------------------------------------------- */

/* Prints a report (rule, what happened, the request, the call site) and aborts, or counts
 * it in count mode. Irp may be null; Site.File may be null. */
void HostReport(const char *Rule, PIRP Irp, HostCallSite Site, const char *Format, ...)
    __attribute__((format(printf, 4, 5)));
/* Whether this allocation must fail (low-resources simulation). */
bool HostShouldFailAllocation(HostCallSite Site);
/* Whether this call of Routine must fail (HostVerifierFailCall). */
bool HostShouldFailCall(const char *Routine);
/* A delay fuzzing point. */
void HostFuzzPoint(void);
/* Lock-order bookkeeping. */
void HostLockOrderAcquire(PKSPIN_LOCK Lock, HostCallSite Site);
void HostLockOrderForgetRange(const void *Start, size_t Length);
void HostVerifierResetSettings(void);
const char *HostMajorName(UCHAR Major);
void HostDescribeSite(HostCallSite Site, char *Out, size_t OutSize);

/* ---- Pool (internal allocations) ------------------------------------------------------ */

/* Allocates Size bytes charged to the thread's driver context (or to Driver/Device when
 * given), without the verifier's tag and low-resources rules. */
/* The running Windows version (os_version.cpp): at least Major.Minor; back to the default. */
bool HostWindowsVersionAtLeast(ULONG Major, ULONG Minor);
void HostResetWindowsVersion(void);

void *HostPoolAllocate(SIZE_T Size, ULONG Tag, HostCallSite Site, PDRIVER_OBJECT Driver, PDEVICE_OBJECT Device);
/* Frees a block of HostPoolAllocate; reports POOL_DOUBLE_FREE / POOL_BAD_FREE. */
void HostPoolFree(void *Block, HostCallSite Site, const char *What);
bool HostPoolIsLive(const void *Block);
/* Reports every allocation charged to Driver as a leak (at its unload, as Driver Verifier's
 * pool tracking does: bug check 0xC4, parameter 0x62). */
void HostPoolReportLeaks(PDRIVER_OBJECT Driver, const char *When);
void HostPoolForgetDevice(PDEVICE_OBJECT Device);

/* ---- Drivers and devices -------------------------------------------------------------- */

typedef struct HostDriver {
    DRIVER_OBJECT Object;
    DRIVER_EXTENSION Extension;
    const HostDriverInfo *Info;
    WCHAR NameBuffer[80];
    BOOLEAN LoadedByPnp;
} HostDriver;

HostDriver *HostDriverOf(PDRIVER_OBJECT DriverObject);
bool HostDeviceIsLive(PDEVICE_OBJECT DeviceObject);
/* Whether the device object with this address and serial still exists (an address alone
 * may have been reused by a newer device). */
bool HostDeviceIsLiveSerial(PDEVICE_OBJECT DeviceObject, ULONGLONG Serial);
void HostUnloadIfUnused(PDRIVER_OBJECT DriverObject);
/* Drops a reference taken on a device object (HostFindInterfaceDevice takes one, which the
 * file opened on it holds; an open holds the device it sends IRP_MJ_CREATE to until the
 * create returns); a deleted device goes with its last reference. */
void HostDereferenceDevice(PDEVICE_OBJECT DeviceObject);
NTSTATUS HostLoadDriverInternal(const HostDriverInfo *Info, bool ByPnp, PDRIVER_OBJECT *DriverObject);

/* The I/O manager's record of a device object (hidden behind DeviceObjectExtension). */
struct _DEVOBJ_EXTENSION {
    CSHORT Type;
    USHORT Size;
    PDEVICE_OBJECT DeviceObject;
    PDEVICE_OBJECT AttachedTo;     /* the device this one is attached to, or null */
    HostDeviceNode *Node;          /* for a physical device object announced to plug and play */
    DEVICE_POWER_STATE PowerState; /* as declared with PoSetPowerState */
    SIZE_T ExtensionSize;
    bool DeletePending; /* deleted while attached above or referenced: freed when neither */
    LONG SentBelow;     /* requests passed down by this device and not yet back */
    /* Bottom device of a stack: the device set/query power request of PoRequestPowerIrp
     * active on the stack, and the ones waiting for it (HostKernelLock). */
    bool DevicePowerActive;
    struct HostIrpRecord *DevicePowerQueue;
    ULONG DeviceSetPowerRequests; /* PoRequestPowerIrp device set-power requests for the stack */
    ULONGLONG Serial;             /* unique over the process's life, unlike the address */
};

/* ---- Requests ------------------------------------------------------------------------- */

typedef enum HostIrpKind {
    HostIrpDriver,   /* IoAllocateIrp: the issuing driver frees it */
    HostIrpThreaded, /* IoBuildDeviceIoControlRequest: the I/O manager finishes and frees it */
    HostIrpUser,     /* a user-mode request of a HostFile */
    HostIrpSystem    /* plug-and-play and power manager's own requests */
} HostIrpKind;

/* A dispatch routine running on a request, for the checks made when it returns; also on
 * the running thread's list (with the completion routines it runs), so that a routine a
 * driver calls on the request knows which location the driver owns. */
typedef struct HostDispatchFrame {
    struct HostDispatchFrame *Next;
    struct HostDispatchFrame *ThreadNext;
    PIRP Irp;
    CHAR Location; /* CurrentLocation while the routine runs; 0 for a completion routine */
    UCHAR Major, Minor;
    bool CompletedInside; /* completion routine frames: IoCompleteRequest was called on Irp */
    bool Completed;       /* completion has passed this location */
    bool PendingMarked;   /* SL_PENDING_RETURNED was set when it did */
    NTSTATUS CompletedStatus;
} HostDispatchFrame;

struct HostFile;

/* A request passed down by a driver and not yet completed back past the location it was
 * passed to: the sender no longer owns it until then. */
typedef struct HostIrpSend {
    CHAR Location;         /* the location the request was passed to */
    PDRIVER_OBJECT Driver; /* the driver that passed it */
    PDEVICE_OBJECT Device; /* on behalf of which device, when known */
} HostIrpSend;

#define HOST_MAX_IRP_SENDS 16

typedef struct HostIrpRecord {
    ULONG Magic;
    HostIrpKind Kind;
    PDRIVER_OBJECT AllocDriver;
    HostCallSite AllocSite;
    std::mutex *Track; /* guards Frames, FreeDeferred, Finished */
    HostDispatchFrame *Frames;
    bool FreeDeferred; /* freed while a dispatch routine was still on the stack */
    bool Finished;     /* completion reached the top (I/O manager requests) */
    /* Stack locations (bit n: location n, below 64) a driver was called at and that
     * completion has not passed yet: the request is below its issuer while any is set. */
    unsigned long long Delivered;
    /* Of those, the set/query power locations whose driver owes one PoStartNextPowerIrp, and
     * the ones that have paid it (while the location was current). Guarded by Track. */
    unsigned long long PowerOwed;
    unsigned long long PowerPaid;
    ULONG PendingCheckMask;                /* locations that returned STATUS_PENDING before being marked:
                                  * the mark must be there when completion passes them */
    HostIrpSend Sends[HOST_MAX_IRP_SENDS]; /* guarded by Track */
    int SendCount;
    CHAR Lowest;                /* lowest location the request has reached */
    bool ReachedBottom;         /* a device attached to nothing (the stack's bottom) was called */
    size_t PoisonedSize;        /* bytes of the IRP filled with the freed pattern when it was freed */
    PDEVICE_OBJECT AllocDevice; /* device context of the allocation */
    CCHAR AllocStackSize;
    /* Threaded and user requests: buffers the I/O manager owns. */
    PVOID OutputBuffer;
    ULONG OutputLength;
    bool CopyOut; /* METHOD_BUFFERED: copy Information bytes out at completion */
    PVOID SystemBuffer;
    PMDL IoMdl;
    /* User requests. */
    struct HostFile *File;
    HostAsyncIo *Async;
    KEVENT Done;
    NTSTATUS FinalStatus;
    ULONG_PTR FinalInformation;
    LONG Refs; /* completion + waiters/cancellers holding the memory */
    /* System requests. */
    PREQUEST_POWER_COMPLETE PowerCallback;
    PVOID PowerContext;
    PDEVICE_OBJECT PowerTarget;
    UCHAR PowerMinor;
    POWER_STATE PowerState;
    PDEVICE_OBJECT PowerStackBottom;       /* serialised on this stack (device set/query power) */
    HostCallSite PowerSite;                /* PoRequestPowerIrp's caller */
    struct HostIrpRecord *PowerNextQueued; /* next request waiting on the same stack */
    IRP Irp;                               /* followed by the stack locations, as on Windows */
} HostIrpRecord;

#define HOST_IRP_MAGIC 0x49525021u

HostIrpRecord *HostIrpRecordOf(PIRP Irp);
bool HostIrpIsLive(PIRP Irp);
PIRP HostAllocateIrp(CCHAR StackSize, HostIrpKind Kind, HostCallSite Site, bool Counted);
void HostReleaseIrpRecord(HostIrpRecord *Record); /* drops one reference; frees at zero */
void HostRetireIrp(HostIrpRecord *Record);        /* completion reached the top: no longer a live request */
BOOLEAN HostCancelIrpUnchecked(PIRP Irp);         /* IoCancelIrp on a request kept alive by a reference */
void HostFinishUserIrp(HostIrpRecord *Record);
bool HostThreadInPnpDispatch(UCHAR Minor); /* a dispatch routine of this PnP minor runs on this thread */
/* PoStartNextPowerIrp's record: pays what the driver of the current location owes, when the
 * caller may pay for it (see irp.cpp). */
void HostPayStartNextPower(PIRP Irp);
NTSTATUS HostCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp, HostCallSite Site);
/* Sends a system request to the top of Pdo's stack and waits for its final status;
 * ReachedBottom, when given, tells whether the bottom device of the stack was called;
 * Information receives the final IoStatus.Information. */
NTSTATUS HostSendSystemIrp(PDEVICE_OBJECT Top, PIRP Irp, bool *ReachedBottom = nullptr,
                           ULONG_PTR *Information = nullptr);
PMDL HostAllocateMdl(PVOID VirtualAddress, ULONG Length, HostCallSite Site, PDRIVER_OBJECT Driver);
void HostFreeMdl(PMDL Mdl, HostCallSite Site);

/* ---- Spin locks used by the stand-in itself ------------------------------------------- */

bool HostThreadHoldsLock(PKSPIN_LOCK Lock);
extern KSPIN_LOCK HostCancelSpinLock;

/* ---- Plug and play, interfaces, files ------------------------------------------------- */

struct HostDeviceNode {
    PDEVICE_OBJECT Pdo;
    std::u16string InstanceId;
    PDRIVER_OBJECT FunctionDriver;
    PDEVICE_OBJECT Fdo;
    ULONGLONG FdoSerial;
    HostDeviceState State;
    ULONG OpenFiles;
    bool RemoveWhenClosed;
    bool Removing;           /* REMOVE_DEVICE decided: the I/O manager refuses new opens */
    bool AdministratorsOnly; /* from the function driver's HostDriverInfo */
};

/* Guards the kernel's tables: drivers, devices, nodes, interfaces, files. Never held
 * while calling driver code.
 *
 * Order of the stand-in's own mutexes, outermost first: a mutex is only taken while
 * holding mutexes above it, never one below it. None is held while driver code runs.
 *   1. HostKernelLock (device.cpp): drivers, device links, nodes, interfaces, files
 *   2. a process's Lock (usermode.cpp): its files and their outstanding requests (not
 *      held with HostKernelLock today)
 *   3. a request's Track (nt_internal.h HostIrpRecord): dispatch frames, sends, lowest location
 *   4. DeviceSetLock (device.cpp): the set of live device objects
 *   5. IrpSetLock (irp.cpp), MdlSetLock (mdl.cpp): the sets of live requests and MDLs
 *   6. PoolLock (pool.cpp): the pool ledger; QuarantineLock (pool.cpp) is never held with it
 *   7. LowResourcesLock, LockOrderLock, ReportLock (verifier.cpp); the event table's locks
 *      (sync.cpp) and a system thread's queue lock (system_thread.cpp): leaves
 * Spin locks (KSPIN_LOCK, the cancel spin lock) are the driver's order, checked by the
 * verifier's LOCK_ORDER rule; a std::mutex above may be taken while one is held. */
extern std::mutex HostKernelLock;
extern std::condition_variable HostKernelChanged;

void HostRunOnPnpThread(HOST_WORK_ROUTINE *Routine, PVOID Context, bool Wait);
void HostWaitSystemThreadsIdle(void);
void HostFileClosed(HostDeviceNode *Node);
PDEVICE_OBJECT HostFindInterfaceDevice(const std::u16string &Path, std::u16string *Suffix);
void HostDisableInterfacesOf(PDEVICE_OBJECT Pdo);      /* forgets them: the device is deleted */
void HostDisableInterfaceStatesOf(PDEVICE_OBJECT Pdo); /* disables them: the stack was removed */
ULONG HostEnabledInterfaceCount(PDEVICE_OBJECT Pdo);   /* interfaces of Pdo's stack enabled now */
std::vector<HostDeviceNode *> HostStartedNodes(void);
void HostForgetInterfaces(void);
void HostForgetNodes(void);
void HostPowerReset(void);

#endif /* MURVO_HOST_NT_NT_INTERNAL_H */
