/*
 * murvousb.h - private records and routines of the murvousb driver.
 *
 * One DeviceExtension per unit; the pipe table of PipeContext records with their embedded
 * TransferContext; the per-stage StageContext. Every source file of the driver includes
 * this header and nothing platform-specific besides it.
 *
 * Lock order: when both are held, StageLock is taken before PendingIoLock. PowerChangeLock is
 * never held together with another lock. The cancel routine of a staged transfer gives up the
 * cancel spin lock before it takes StageLock, and IoCancelIrp is never called with StageLock
 * held.
 */
#ifndef MURVO_DRIVER_MURVOUSB_H
#define MURVO_DRIVER_MURVOUSB_H

#include "driver/wdm_platform.h"

/* Pool tag "Wdm " as the ULONG whose bytes in memory read W, d, m, space. */
#define MURVO_POOL_TAG 0x206D6457UL

/* Size of a transfer stage and of every pipe's MaximumTransferSize. */
#define MURVO_MAX_TRANSFER_LENGTH 4096UL

/* Longest read or write accepted: bounds the stage requests, MDLs and URBs one request pins
 * in non-paged pool (1024 stages). */
#define MURVO_MAX_REQUEST_LENGTH (4UL << 20)

/* First size tried for the configuration descriptor. */
#define MURVO_FIRST_CONFIG_READ 521UL

/* Reads of the configuration descriptor before a unit that keeps growing it is refused. */
#define MURVO_MAX_CONFIG_READS 4

/* Units of SymbolicLinkName, the terminating NUL included. */
#define MURVO_LINK_NAME_UNITS 256

/* A wide literal made from a narrow macro (WIDE_TEXT pastes, so the macro must expand first). */
#define MURVO_WIDE(s) WIDE_TEXT(s)

struct PipeContext;

/* One stage of a staged transfer: its own request, partial MDL and URB. */
struct StageContext {
    PURB Urb;              /* the stage's bulk-transfer URB; null once freed */
    PDEVICE_OBJECT Device; /* the driver's own device object */
    PIRP Irp;              /* the stage's own request; null once freed */
    PMDL Mdl;              /* partial MDL over the caller's buffer; null once freed */
    PipeContext *Pipe;     /* the pipe whose transfer the stage belongs to */
    BOOLEAN Completed;     /* completion ran while a cancel walk held the request; under StageLock */
};

/* Transfer bookkeeping of one pipe. Guarded by the device's StageLock. */
struct TransferContext {
    PIRP MasterIrp;            /* caller's request of the staged transfer; null when none */
    PURB SingleUrb;            /* URB of the single-request transfer; null when none */
    ULONG StagesOutstanding;   /* stages not yet completed (unissued ones until issuing ends) */
    ULONG BytesTransferred;    /* bytes the completed stages report */
    ULONG StageCount;          /* stages of the staged transfer */
    StageContext *Stages;      /* one entry per stage; null when no staged transfer runs */
    KEVENT TransferDone;       /* cleared when a transfer claims the pipe, set when it ends */
    BOOLEAN Busy;              /* a transfer has claimed the pipe (single or staged) */
    BOOLEAN Issuing;           /* StartTransfer is still issuing stages: nobody else finishes */
    BOOLEAN CancelRoutineDone; /* the master's cancel routine has run, or never will: whoever
                                  finds the last stage ended may complete the master */
    ULONG CancelWalks;         /* walks over the stages in progress (the master's cancel
                                  routine, CancelPendingStages): no stage request is freed */
    NTSTATUS TransferStatus;   /* first failure of the staged transfer, else STATUS_SUCCESS */
};

/* One pipe of the selected interface. */
struct PipeContext {
    PDEVICE_OBJECT OwnerDevice;             /* the driver's device object */
    UCHAR IsOpen;                           /* 1 while a handle holds the pipe; written under StageLock,
                                              read there or with ReadShared */
    PUSBD_PIPE_INFORMATION PipeInformation; /* entry of InterfaceInfo's Pipes array */
    TransferContext Transfer;
};

/*
 * Per-unit record, the device object's extension. How each field is guarded:
 * - "PnP path": written only by the plug-and-play dispatch (one request at a time per device)
 *   while no I/O dispatch routine can be sending (the unit refuses I/O and
 *   WaitForIoDispatches has returned); read by the dispatch routines while the unit accepts
 *   I/O, which keeps the PnP path waiting for them.
 * - "shared": read without a lock with ReadShared and written with WriteShared.
 * - "fixed": set at AddDevice (or the start that builds it) and only read afterwards.
 */
struct DeviceExtension {
    PDEVICE_OBJECT LowerDevice;                     /* fixed */
    PDEVICE_OBJECT FunctionalDeviceObject;          /* fixed */
    PDEVICE_OBJECT PhysicalDeviceObject;            /* fixed */
    DEVICE_POWER_STATE CurrentDevicePowerState;     /* shared; written by the device set-power path
                                                   (D1-D3 on the way down, D0 on a completed
                                                   power-up) */
    USBD_CONFIGURATION_HANDLE ConfigurationHandle;  /* PnP path; null once unconfigured */
    PUSB_CONFIGURATION_DESCRIPTOR ConfigDescriptor; /* PnP path */
    PUSB_DEVICE_DESCRIPTOR DeviceDescriptor;        /* PnP path */
    PUSBD_INTERFACE_INFORMATION InterfaceInfo;      /* PnP path */
    DEVICE_CAPABILITIES DeviceCapabilities;         /* fixed */
    PIRP PendingSystemPowerIrp;                     /* shared; set under PowerChangeLock, so that no self power
                                    change is claimed once it is held */
    KEVENT RemoveEvent;                             /* set when PendingIoCount falls to 0 */
    KEVENT NoPendingIoEvent;                        /* set each time PendingIoCount falls to 1 */
    KEVENT PowerUpEvent;                            /* set when a self-requested power-up completes */
    KSPIN_LOCK PendingIoLock;                       /* guards PendingIoCount and the signals of its two events */
    LONG PendingIoCount;                            /* under PendingIoLock */
    LONG OpenPipes;                                 /* changed by interlocked operations only; read with ReadShared */
    PipeContext *PipeTable;                         /* PnP path; its entries' transfer fields under StageLock */
    BOOLEAN Removing;                               /* shared; set by (surprise) removal, never cleared */
    BOOLEAN RemovePending;                          /* shared; PnP path: between QUERY_REMOVE and CANCEL_REMOVE */
    BOOLEAN StopPending;                            /* shared; PnP path: from QUERY_STOP to STOP or CANCEL_STOP */
    BOOLEAN Started;                                /* shared; PnP path: set by a successful start, cleared by STOP */
    BOOLEAN WaitWakeActive;                         /* shared; set while the power path holds a wait-wake request */
    BOOLEAN SelfPowerRequestPending;                /* shared; set under PowerChangeLock by the claim of a self
                                        power change, cleared when it ends */
    DEVICE_POWER_STATE PowerDownLevel;              /* shared; fixed at AddDevice, overwritten by wait-wake */
    ULONG MaxTransferLength;                        /* fixed: 4096 */
    KSPIN_LOCK StageLock; /* guards every pipe's TransferContext, IsOpen and PipeTableGeneration */
    WCHAR SymbolicLinkName[MURVO_LINK_NAME_UNITS]; /* fixed */
    ULONG ConfigDescriptorLength; /* PnP path; valid bytes held in ConfigDescriptor (its wTotalLength) */
    ULONG PipeTableGeneration;    /* under StageLock; bumped whenever a pipe table is released; a
                                     handle keeps its own */
    LONG ActiveIoDispatches;      /* dispatch routines that may send to the unit, running; under PendingIoLock */
    KEVENT IoDispatchesIdle;      /* set while ActiveIoDispatches is 0 */
    KEVENT SelfPowerIdle;         /* set while no power request of the driver's own is in flight */
    NTSTATUS SelfPowerUpStatus;   /* shared; outcome of the last self power-up, written by its
                                     callback before PowerUpEvent is set, read by the waiter after */
    KSPIN_LOCK PowerChangeLock;   /* makes the claim of a self power change (SelfPowerRequestPending)
                                     and the holding of a system request (PendingSystemPowerIrp)
                                     exclusive of each other */
};

enum TransferDirection {
    TransferRead,
    TransferWrite
};

#ifdef __cplusplus
extern "C" {
#endif
NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);
#ifdef __cplusplus
}
#endif

/* Part of driver entry and device objects (driver_entry.cpp). */
/* The non-paged pool every allocation comes from, chosen once by DriverEntry from the running
 * Windows: NonPagedPoolNx (no code can run from it) on Windows 8 and later, which have it,
 * NonPagedPool before. Read-only after DriverEntry. */
extern POOL_TYPE MurvoNonPagedPool;
POOL_TYPE NonPagedPoolOfRunningWindows(void);
NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject);
NTSTATUS NTAPI OnCompleteSetEvent(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);
NTSTATUS CompleteRequest(PIRP Irp, NTSTATUS Status);
void IoIncrement(PDEVICE_OBJECT DeviceObject);
LONG IoDecrement(PDEVICE_OBJECT DeviceObject);
void WaitForEvent(PKEVENT Event);
void BeginIoDispatch(PDEVICE_OBJECT DeviceObject);
void EndIoDispatch(PDEVICE_OBJECT DeviceObject);
void WaitForIoDispatches(PDEVICE_OBJECT DeviceObject);
NTSTATUS DisableInterface(DeviceExtension *Extension);

/* Pipe table and synchronous USB requests (pipe_table.cpp). */
NTSTATUS SubmitUrbSync(PDEVICE_OBJECT DeviceObject, PURB Urb);
NTSTATUS AbortOpenPipes(PDEVICE_OBJECT DeviceObject);
NTSTATUS ResetPipe(PDEVICE_OBJECT DeviceObject, PUSBD_PIPE_INFORMATION PipeInformation);
NTSTATUS ResetDevice(PDEVICE_OBJECT DeviceObject);

/* Plug and Play and USB configuration (pnp.cpp). */
NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp);
BOOLEAN CanAcceptIo(PDEVICE_OBJECT DeviceObject);
BOOLEAN CanContinueIo(PDEVICE_OBJECT DeviceObject);

/* Power management (power.cpp). */
NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS SelfSuspendOrActivate(PDEVICE_OBJECT DeviceObject, BOOLEAN Suspend);
NTSTATUS SelfRequestPowerIrp(PDEVICE_OBJECT DeviceObject, DEVICE_POWER_STATE State);

/* Pipe handles (pipe_handles.cpp). */
NTSTATUS NTAPI DispatchCreate(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI DispatchClose(PDEVICE_OBJECT DeviceObject, PIRP Irp);
PipeContext *FindPipeForFile(PDEVICE_OBJECT DeviceObject, const UNICODE_STRING *FileName);
BOOLEAN ParsePipeName(const UNICODE_STRING *FileName, ULONG *Index);
BOOLEAN ParseEndpointName(DeviceExtension *Extension, const UNICODE_STRING *FileName, ULONG *Index);
LONG FindWideSubstring(const UNICODE_STRING *Text, const WCHAR *Marker);
PipeContext *PipeOfFile(DeviceExtension *Extension, PFILE_OBJECT FileObject);

/* Bulk transfer engine (transfers.cpp). */
NTSTATUS NTAPI DispatchRead(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI DispatchWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp);
void CancelPendingStages(PDEVICE_OBJECT DeviceObject);

/* Device control requests (device_control.cpp). */
NTSTATUS NTAPI DispatchDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp);

/*
 * Fields that threads read without a lock (the state flags, the recorded power state, the
 * held system request, OpenPipes, a request's Cancel flag): read with acquire and written with release ordering, so
 * that whoever sees a flag set also sees what was written before it. On x86 these are the
 * plain loads and stores of the platform.
 */
template <typename T> inline T ReadShared(const T &Field)
{
    T value;
    __atomic_load(&Field, &value, __ATOMIC_ACQUIRE);
    return value;
}

template <typename T> inline void WriteShared(T &Field, T Value) { __atomic_store(&Field, &Value, __ATOMIC_RELEASE); }

/* The extension of one of the driver's own device objects. */
inline DeviceExtension *ExtensionOf(PDEVICE_OBJECT DeviceObject)
{
    return static_cast<DeviceExtension *>(DeviceObject->DeviceExtension);
}

/* The wTotalLength field (little-endian, offset 2) of a configuration descriptor. */
inline ULONG ConfigTotalLength(const void *Descriptor)
{
    const UCHAR *bytes = static_cast<const UCHAR *>(Descriptor);
    return static_cast<ULONG>(bytes[2]) | (static_cast<ULONG>(bytes[3]) << 8);
}

#if defined(_WIN32) && !defined(_WIN64)
/* The 32-bit layouts the driver's URBs and records are built for. */
static_assert(sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST) == 80, "descriptor-request URB");
static_assert(sizeof(struct _URB_SELECT_CONFIGURATION) == 60, "select-configuration URB, one interface");
static_assert(sizeof(struct _URB_PIPE_REQUEST) == 24, "pipe-request URB");
static_assert(sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER) == 72, "bulk-transfer URB");
static_assert(sizeof(DEVICE_CAPABILITIES) == 64, "DEVICE_CAPABILITIES");
static_assert(sizeof(USB_DEVICE_DESCRIPTOR) == 18, "device descriptor");
#elif defined(_WIN64)
/* The same records as the 64-bit kernel lays them out (pointers and handles widen). */
static_assert(sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST) == 136, "descriptor-request URB");
static_assert(sizeof(struct _URB_SELECT_CONFIGURATION) == 88, "select-configuration URB, one interface");
static_assert(sizeof(struct _URB_PIPE_REQUEST) == 40, "pipe-request URB");
static_assert(sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER) == 128, "bulk-transfer URB");
static_assert(sizeof(DEVICE_CAPABILITIES) == 64, "DEVICE_CAPABILITIES");
static_assert(sizeof(USB_DEVICE_DESCRIPTOR) == 18, "device descriptor");
#endif

#endif /* MURVO_DRIVER_MURVOUSB_H */
