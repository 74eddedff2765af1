/*
 * host_kernel.h - the stand-in kernel's own entry points (all prefixed Host).
 *
 * These are what Windows does outside any driver's view: loading drivers, the plug-and-play
 * manager building and tearing down device stacks, the power manager moving the system
 * between power states, the driver verifier's configuration, the pool ledger, the list of
 * device interfaces, and the user-mode side of the I/O manager (processes, files, reads,
 * writes, device controls) that the Win32 stand-in and the tests call.
 *
 * Threads: user-mode entry points run on the caller's thread, which must be at PASSIVE_LEVEL
 * (every thread not inside the kernel is). Plug-and-play requests are sent one at a time
 * from the plug-and-play system thread, system power requests from the power system thread;
 * the Host entry points that ask for them wait until they are done.
 */
#ifndef MURVO_HOST_NT_HOST_KERNEL_H
#define MURVO_HOST_NT_HOST_KERNEL_H

#include "host/nt/ntddk.h"

#ifdef __cplusplus
extern "C" {
#endif

/* A pool tag from its four characters, as the multi-character constant 'abcd' reads on
 * Windows once stored little-endian: HOST_POOL_TAG('W','d','m',' ') is the tag "Wdm ". */
#define HOST_POOL_TAG(a, b, c, d) \
    ((ULONG)(UCHAR)(a) | ((ULONG)(UCHAR)(b) << 8) | ((ULONG)(UCHAR)(c) << 16) | ((ULONG)(UCHAR)(d) << 24))

/* ---- Drivers ----------------------------------------------------------------------- */

/* What the kernel needs to know to load a driver: its service. */
typedef struct HostDriverInfo {
    const char *Name;         /* service name; the driver object is named \Driver\<Name> */
    PDRIVER_INITIALIZE Entry; /* DriverEntry */
    /* The security its INF file gives each device it drives (.HW AddReg: Security
     * "D:P(A;;GA;;;SY)(A;;GA;;;BA)" with FILE_DEVICE_SECURE_OPEN): only SYSTEM and
     * Administrators open the device or a name below it. */
    BOOLEAN AdministratorsOnly;
} HostDriverInfo;

/* Loads a driver: creates its driver object, presets every major function to the I/O
 * manager's default handler (completes with STATUS_INVALID_DEVICE_REQUEST) and calls
 * DriverEntry once at PASSIVE_LEVEL. A driver is loaded at most once: loading a loaded
 * driver returns the same object. On failure of DriverEntry nothing stays loaded.
 * Caller: PASSIVE_LEVEL. */
NTSTATUS HostLoadDriver(const HostDriverInfo *Info, PDRIVER_OBJECT *DriverObject);

/* Unloads a driver that has no device objects left: calls DriverUnload, then reports
 * (verifier) every pool allocation the driver still holds. */
NTSTATUS HostUnloadDriver(PDRIVER_OBJECT DriverObject);

/* The loaded driver object of a service, or null. */
PDRIVER_OBJECT HostFindDriver(const HostDriverInfo *Info);
ULONG HostLoadedDriverCount(void);

/* ---- Plug and play ----------------------------------------------------------------- */

typedef struct HostDeviceNode HostDeviceNode; /* one device in the plug-and-play tree */

typedef enum HostDeviceState {
    HostDeviceAdded, /* AddDevice done, not started (or start failed and removal follows) */
    HostDeviceStarted,
    HostDeviceStopPending, /* QUERY_STOP succeeded */
    HostDeviceStopped,
    HostDeviceRemovePending,   /* QUERY_REMOVE succeeded */
    HostDeviceSurpriseRemoved, /* SURPRISE_REMOVAL sent; REMOVE follows once every file is closed */
    HostDeviceRemoved          /* REMOVE_DEVICE done: the stack is gone */
} HostDeviceState;

/* A bus driver announces a new physical device object Pdo (created by it, with
 * DO_DEVICE_INITIALIZING cleared) whose device instance is InstanceId (for example
 * u"USB\\VID_1234&PID_0001\\1"), to be driven by FunctionDriver. The plug-and-play
 * manager loads the function driver if needed, calls its AddDevice, checks the stack
 * it built, and sends IRP_MN_START_DEVICE; if the start fails it removes the stack again.
 * Returns the status of AddDevice or of the start; *Node is set on every path where
 * AddDevice succeeded (the node stays valid until HostKernelReset). Caller: PASSIVE_LEVEL. */
NTSTATUS HostPnpDeviceArrived(PDEVICE_OBJECT Pdo, PCWSTR InstanceId, const HostDriverInfo *FunctionDriver,
                              HostDeviceNode **Node);

/* Test-requested transitions, each sent from the plug-and-play thread in Windows' order.
 * Each returns the final status of the request it sends (the last one, for sequences). */
NTSTATUS HostPnpQueryStop(HostDeviceNode *Node);    /* QUERY_STOP; on failure CANCEL_STOP follows */
NTSTATUS HostPnpCancelStop(HostDeviceNode *Node);   /* CANCEL_STOP after a successful QUERY_STOP */
NTSTATUS HostPnpStop(HostDeviceNode *Node);         /* STOP after a successful QUERY_STOP */
NTSTATUS HostPnpStart(HostDeviceNode *Node);        /* START of a stopped device */
NTSTATUS HostPnpRebalance(HostDeviceNode *Node);    /* QUERY_STOP, STOP, START */
NTSTATUS HostPnpQueryRemove(HostDeviceNode *Node);  /* QUERY_REMOVE; on failure CANCEL_REMOVE follows */
NTSTATUS HostPnpCancelRemove(HostDeviceNode *Node); /* CANCEL_REMOVE after a successful QUERY_REMOVE */
NTSTATUS HostPnpUninstall(HostDeviceNode *Node);    /* QUERY_REMOVE then REMOVE (or CANCEL_REMOVE) */
/* SURPRISE_REMOVAL; REMOVE_DEVICE follows from the plug-and-play thread once every file
 * object opened on the device is closed (at once when none is open). */
NTSTATUS HostPnpSurpriseRemove(HostDeviceNode *Node);
/* A bus driver reports that the device of Pdo is gone: a started device is surprise-removed,
 * one that never started is removed. Any IRQL up to DISPATCH_LEVEL; does not wait. */
VOID HostPnpDeviceGone(PDEVICE_OBJECT Pdo);

HostDeviceState HostPnpGetState(HostDeviceNode *Node);
/* Waits until the node reaches HostDeviceRemoved; FALSE after TimeoutMs milliseconds. */
BOOLEAN HostPnpWaitRemoved(HostDeviceNode *Node, ULONG TimeoutMs);
/* The function driver's device object above the Pdo, or null once removed. */
PDEVICE_OBJECT HostPnpFunctionDevice(HostDeviceNode *Node);
/* Number of file objects open on the device stack. */
ULONG HostPnpOpenFileCount(HostDeviceNode *Node);
/* REMOVE_DEVICE after a successful HostPnpQueryRemove (no check of open files: an open that
 * came in between is the drivers' to fail). */
NTSTATUS HostPnpRemove(HostDeviceNode *Node);
/* Whether DeviceObject is still a device object: a deleted one stays while referenced (by
 * an open in progress, a file object, a device attached above it). */
BOOLEAN HostDeviceObjectExists(PDEVICE_OBJECT DeviceObject);

/* ---- Power manager ----------------------------------------------------------------- */

/* Moves the system to State: for every started device, IRP_MN_QUERY_POWER (system) then,
 * if no device refused, IRP_MN_SET_POWER (system), each waited for. Going back to
 * PowerSystemWorking sends SET_POWER only. Returns the first refusal or failure, else
 * STATUS_SUCCESS. Requests reach a device at PASSIVE_LEVEL when its top device object has
 * DO_POWER_PAGABLE, at DISPATCH_LEVEL otherwise. Caller: PASSIVE_LEVEL. */
NTSTATUS HostPoSetSystemPowerState(SYSTEM_POWER_STATE State);
SYSTEM_POWER_STATE HostPoGetSystemPowerState(void);
/* The last device power state a driver declared for DeviceObject with PoSetPowerState. */
DEVICE_POWER_STATE HostPoGetDevicePowerState(PDEVICE_OBJECT DeviceObject);

/* ---- Verifier ----------------------------------------------------------------------- */

/* Every check is always on. A violation prints a report to standard error:
 *     *** VERIFIER: <RULE>: <what happened>
 *         request: IRP <addr> <major>/<minor> ...   (when a request is involved)
 *         at: <file>:<line>                          (the call site in the driver)
 * and then aborts the process (death tests match "VERIFIER: <RULE>"). Rules:
 *   IRP_COMPLETED_TWICE, IRP_COMPLETED_PENDING, IRP_COMPLETED_WITH_CANCEL_ROUTINE,
 *   IRP_FREED_IN_USE, IRP_FREED_OWNED_BY_LOWER, IRP_NOT_ALLOCATED, IRP_NO_STACK_LOCATION,
 *   PENDING_NOT_MARKED, MARKED_PENDING_NOT_RETURNED, STATUS_MISMATCH,
 *   PENDING_RETURNED_IGNORED, PNP_POWER_STATUS_NOT_INITIALIZED, POWER_IRP_NOT_PO_CALL,
 *   DRIVER_ALLOCATED_IRP_COMPLETED, WAIT_AT_HIGH_IRQL, CALL_DRIVER_IRQL, POOL_IRQL,
 *   SPINLOCK_RELEASE_IRQL, SPINLOCK_NOT_OWNER, SPINLOCK_RECURSION, DISPATCH_IRQL_CHANGED,
 *   COMPLETE_HOLDING_SPINLOCK, LOCK_ORDER, POOL_LEAK, POOL_WRONG_TAG, POOL_ZERO_BYTES, POOL_TYPE_UNKNOWN,
 *   POOL_DOUBLE_FREE,
 *   POOL_BAD_FREE, MDL_DOUBLE_FREE, CANCEL_LOCK_NOT_RELEASED, PNP_REMOVE_NOT_DELETED,
 *   PNP_SURPRISE_DELETED, PNP_DEVICE_INITIALIZING, PNP_ADD_DEVICE_LEFT_DEVICE,
 *   DEVICE_DELETED_ATTACHED, DRIVER_UNLOAD_DEVICES, IRQL_NOT_LESS, NOT_MODELLED,
 *   ASSERTION, PAGED_CODE, DEVICE_NOT_LIVE, NOT_COMPLETED_NOT_PENDING, MDL_OUT_OF_RANGE,
 *   POWER_START_NEXT_MISSING, POWER_DEVICE_REQUEST_MISSING, PROCESS_CANCEL_TIMEOUT, NEXT_LOCATION_NOT_SET,
 *   COMPLETION_ROUTINE_AFTER_SKIP, COMPLETION_ROUTINE_COMPLETED, CALL_WITH_CANCEL_ROUTINE,
 *   IRP_FORWARDED_WHILE_BELOW, IRP_COMPLETED_WHILE_BELOW, CANCEL_ROUTINE_ON_LOWER_IRP,
 *   DEVICE_DELETED_WITH_REQUEST_BELOW, IRP_TOUCHED_AFTER_FREE, POOL_TOUCHED_AFTER_FREE,
 *   INFORMATION_EXCEEDS_BUFFER, PNP_FAILED_PASSED_DOWN, PNP_CALL_IRQL, PNP_NOT_PASSED_DOWN,
 *   POWER_NOT_PASSED_DOWN, PNP_UNFAILABLE_FAILED, PNP_SURPRISE_DETACHED, PNP_SURPRISE_INTERFACE_ENABLED,
 *   PNP_CAPABILITIES_NOT_INITIALIZED, DEVICE_IO_FLAGS_CONFLICT, POWER_PAGABLE_NOT_INHERITED.
 * The USB bus stand-in adds, through HostVerifierReport: URB_BAD_LENGTH, URB_BAD_PIPE_HANDLE,
 *   URB_WRONG_DIRECTION, URB_NOT_CONFIGURED, URB_AFTER_REMOVAL,
 *   URB_BAD_BUFFER, URB_IRQL, URB_UNCONFIGURE_WITH_TRANSFERS, URB_FREED_WHILE_QUEUED. */

/* Reports a violation of Rule found by a platform component on behalf of the driver that
 * called it: same format, same abort-or-count mode as the kernel's own reports; the call
 * site is the one the driver's last kernel call recorded. Irp may be null. Any IRQL. */
VOID HostVerifierReport(const char *Rule, PIRP Irp, const char *Format, ...) __attribute__((format(printf, 3, 4)));

/* How the verifier acts on a violation: HostVerifierAbort (the default) prints and aborts;
 * HostVerifierCount prints and counts, for tests of the stand-in that must go on. */
typedef enum HostVerifierMode {
    HostVerifierAbort,
    HostVerifierCount
} HostVerifierMode;
VOID HostVerifierSetMode(HostVerifierMode Mode);
ULONG HostVerifierReportCount(void);
/* The rule of the last report, or "" (for tests in count mode). */
const char *HostVerifierLastRule(void);

/* Low-resources simulation: allocations of ExAllocatePoolWithTag, IoAllocateIrp,
 * IoAllocateMdl and IoBuildDeviceIoControlRequest made in the context of Driver (null:
 * any driver) are counted from 1 and fail when the rule says so. Reproducible: the same
 * scenario and settings fail the same allocations. */
typedef struct HostLowResources {
    const HostDriverInfo *Driver; /* whose allocations are counted; null counts all */
    ULONG FailNth;                /* fail the N-th counted allocation; 0: off */
    BOOLEAN FailNewCallSites;     /* fail every allocation from a call site the first time it is seen */
    ULONG FailPercent;            /* fail this share of counted allocations, chosen by Seed; 0: off */
    ULONG Seed;
} HostLowResources;
VOID HostVerifierSetLowResources(const HostLowResources *Settings); /* null turns it off */
ULONG HostVerifierCountedAllocations(void);
ULONG HostVerifierInjectedFailures(void);

/* Makes the Nth call (counted from 1, from now on) of Routine made in a driver's context
 * fail as it does on Windows when resources run out: "IoCreateDevice",
 * "IoRegisterDeviceInterface", "IoSetDeviceInterfaceState" (STATUS_INSUFFICIENT_RESOURCES)
 * or "IoAttachDeviceToDeviceStack" (null). Nth 0 takes the setting back. */
VOID HostVerifierFailCall(const char *Routine, ULONG Nth);

/* Delay fuzzing: with probability Percent per point, completion paths and kernel calls
 * (IofCallDriver, IofCompleteRequest, KeSetEvent, spin lock release, PoRequestPowerIrp)
 * yield or sleep up to MaxDelayMicroseconds, choices drawn from Seed. Percent 0: off. */
VOID HostVerifierSetDelayFuzzing(ULONG Seed, ULONG Percent, ULONG MaxDelayMicroseconds);
/* With delay fuzzing on, a seeded coin for a platform component to choose between two
 * orders Windows allows (FALSE always when it is off). */
BOOLEAN HostVerifierFuzzChoice(void);

/* ---- Pool ledger -------------------------------------------------------------------- */

/* Allocates non-paged pool for a platform library running in a driver's context (for
 * example the URB of USBD_CreateConfigurationRequest, which the driver frees with
 * ExFreePool): charged to the calling driver, with the library's Tag, exempt from the
 * declared-tag rule; the low-resources rule applies. Caller: IRQL <= DISPATCH_LEVEL. */
PVOID HostLibraryAllocatePool(SIZE_T NumberOfBytes, ULONG Tag);

typedef struct HostPoolUsage {
    SIZE_T Bytes;
    ULONG Allocations;
} HostPoolUsage;
HostPoolUsage HostPoolUsageByTag(ULONG Tag);
/* Pool allocations a driver asked for of PoolType (ExAllocatePoolWithTag) since the kernel
 * started or was last reset. */
ULONG HostPoolAllocationsOfType(POOL_TYPE PoolType);

/* The Windows version the kernel says it is (RtlGetVersion): 10.0 build 19045 unless a test
 * sets another. Before 6.2 (Windows 8) there is no NonPagedPoolNx: an allocation of that
 * type is reported (POOL_TYPE_UNKNOWN), as Windows 7 stops with BAD_POOL_CALLER. */
VOID HostSetWindowsVersion(ULONG Major, ULONG Minor, ULONG Build);
/* Checks every freed pool block still in quarantine (reporting POOL_TOUCHED_AFTER_FREE for
 * one written after its free) and lets them go; HostKernelReset does it too. */
void HostPoolCheckFreed(void);
/* Sets a routine called with every pool block a driver frees, before the free (the USB bus
 * stand-in checks that it holds no URB of a queued transfer). Null removes it. */
typedef void HOST_POOL_FREE_HOOK(const void *Block, SIZE_T Size);
void HostPoolSetFreeHook(HOST_POOL_FREE_HOOK *Hook);
HostPoolUsage HostPoolUsageByDriver(PDRIVER_OBJECT DriverObject);
/* Blocks charged to a device object that still exists (its charges go with its deletion:
 * leaks are reported at the driver's unload; a test asserts a device's ledger itself). */
HostPoolUsage HostPoolUsageByDevice(PDEVICE_OBJECT DeviceObject);
/* Requests and MDLs currently allocated by anyone (the I/O manager's own included). */
ULONG HostLiveIrpCount(void);
ULONG HostLiveMdlCount(void);
/* For a platform component that uses an MDL a driver handed it (the bus, a transfer's
 * buffer): reports MDL_SOURCE_FREED when Mdl is a partial MDL whose source was freed. User
 * names the use in the report. */
VOID HostCheckMdlUsable(PMDL Mdl, const char *User);

/* ---- Device interfaces -------------------------------------------------------------- */

/* The Index-th enabled interface of InterfaceClass, as the user-mode path
 * ("\\?\usb#vid_...#{guid}", lower case, NUL-terminated) into Buffer of BufferChars
 * units. STATUS_NO_MORE_ENTRIES past the last one; STATUS_BUFFER_TOO_SMALL with
 * *RequiredChars (NUL included) when Buffer is short. */
NTSTATUS HostGetDeviceInterfacePath(const GUID *InterfaceClass, ULONG Index, PWSTR Buffer, ULONG BufferChars,
                                    ULONG *RequiredChars);

/* ---- User mode: processes and files ------------------------------------------------- */

typedef struct HostProcess HostProcess;
typedef struct HostFile HostFile;

/* A user process: owns files and their outstanding requests. */
HostProcess *HostProcessCreate(void);
/* Ends the process: cancels every outstanding request of its files, waits until they have
 * completed, then cleans up and closes every file still open, and frees the process. */
VOID HostProcessEnd(HostProcess *Process);

/* Opens a file: Path is an enabled interface's path ("\\?\..." or "\??\...", any case)
 * optionally followed by a suffix starting with a backslash. The file object's FileName is
 * the suffix; IRP_MJ_CREATE goes to the top of the device's stack and is waited for.
 * STATUS_OBJECT_NAME_NOT_FOUND when no enabled interface matches. */
NTSTATUS HostCreateFile(HostProcess *Process, PCWSTR Path, HostFile **File);
/* Whether the user the programs run as holds an administrator's elevated token (the default)
 * or is a standard user (or an administrator at an unelevated prompt): the open of a device
 * whose driver's INF admits administrators only then fails with STATUS_ACCESS_DENIED,
 * before any request reaches the driver, as the object manager's access check does.
 * HostKernelReset sets it back. */
VOID HostSetUserIsAdministrator(BOOLEAN Administrator);
/* Closes the handle: IRP_MJ_CLEANUP now, IRP_MJ_CLOSE once the file's last outstanding
 * request has completed (from a system thread if that is later). */
NTSTATUS HostCloseFile(HostFile *File);
PFILE_OBJECT HostFileObject(HostFile *File);

/* Completion report of an asynchronous request. The record belongs to the caller and must
 * stay valid until completion. IoStatus is filled in, then Event (if any) is set, then
 * Callback (if any) runs, exactly once, possibly before the call that issued it returns
 * and possibly on another thread (at PASSIVE_LEVEL or DISPATCH_LEVEL). Nothing of the record
 * is read once Event is set (Callback and Context are read before), so the caller may reuse
 * or free it from then on. */
typedef VOID HOST_IO_CALLBACK(PVOID Context, NTSTATUS Status, ULONG_PTR Information);
typedef struct HostAsyncIo {
    HOST_IO_CALLBACK *Callback;
    PVOID Context;
    PKEVENT Event;
    IO_STATUS_BLOCK IoStatus;
} HostAsyncIo;

/* Read, write (direct I/O: an MDL over Buffer; none for Length 0) and device control
 * (by the code's method; METHOD_BUFFERED copies through a system buffer). With Async null
 * the call waits and returns the final status and *Information; otherwise it returns the
 * dispatch status (STATUS_PENDING while the request is outstanding) and reports through
 * Async. Caller: PASSIVE_LEVEL. */
NTSTATUS HostReadFile(HostFile *File, PVOID Buffer, ULONG Length, HostAsyncIo *Async, ULONG_PTR *Information);
NTSTATUS HostWriteFile(HostFile *File, const VOID *Buffer, ULONG Length, HostAsyncIo *Async, ULONG_PTR *Information);
NTSTATUS HostDeviceIoControl(HostFile *File, ULONG IoControlCode, PVOID InputBuffer, ULONG InputLength,
                             PVOID OutputBuffer, ULONG OutputLength, HostAsyncIo *Async, ULONG_PTR *Information);
/* Cancels every outstanding request on File (IoCancelIrp on each); does not wait. */
VOID HostCancelFileIo(HostFile *File);
/* Cancels the outstanding requests on File whose completion record Match accepts (Match runs
 * under the process's lock, while the record is still the issuer's); does not wait. Returns
 * how many were cancelled. */
ULONG HostCancelFileIoWhere(HostFile *File, BOOLEAN (*Match)(HostAsyncIo *Async, PVOID Context), PVOID Context);
ULONG HostOutstandingRequests(HostFile *File);

/* ---- Test support ------------------------------------------------------------------- */

/* Returns the kernel to its initial state between tests: waits for the system threads to
 * be idle, reports (verifier) drivers still loaded and requests still allocated, then
 * forgets nodes, interfaces, the lock-order graph and verifier settings. */
VOID HostKernelReset(void);

/* Waits until the kernel's system threads have nothing left to do (deferred closes,
 * removals after the last close, power requests handed to PASSIVE_LEVEL). */
VOID HostWaitIdle(void);

/* Called by IoCancelIrp once it has taken a request's cancel routine and before it calls
 * the routine (the cancel spin lock held, DISPATCH_LEVEL): the moment at which, on another
 * processor, the request's work may still end. Null removes it; a kernel reset does too. */
typedef VOID HOST_CANCEL_HOOK(PIRP Irp, PVOID Context);
VOID HostSetCancelHook(HOST_CANCEL_HOOK *Hook, PVOID Context);

/* Runs Routine(Context) on a system worker thread at PASSIVE_LEVEL, later. */
typedef VOID HOST_WORK_ROUTINE(PVOID Context);
VOID HostQueueWork(HOST_WORK_ROUTINE *Routine, PVOID Context);

#ifdef __cplusplus
}
#endif

#endif /* MURVO_HOST_NT_HOST_KERNEL_H */
