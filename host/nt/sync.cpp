/*
 * sync.cpp - interrupt request levels, spin locks, the cancel spin lock, events and waits.
 *
 * Every thread has its own IRQL, PASSIVE_LEVEL at birth. A spin lock is a real lock: the
 * KSPIN_LOCK word holds the owning thread's token while held, so that a release by another
 * thread is caught. Events are real dispatcher objects: waiters block on a condition
 * variable of a small table indexed by the event's address, so a KEVENT stays the plain
 * record that Windows lays out.
 */
#include <sched.h>

#include <chrono>

#include "host/nt/nt_internal.h"

KSPIN_LOCK HostCancelSpinLock;

/* ---- IRQL --------------------------------------------------------------------------- */

KIRQL KeGetCurrentIrql(void) { return HostThread()->Irql; }

VOID KeRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql)
{
    HostThreadState *thread = HostThread();
    if (NewIrql < thread->Irql) {
        HostReport("IRQL_NOT_LESS", nullptr, HostTakeCallSite(), "KeRaiseIrql to %d below the current IRQL %d", NewIrql,
                   thread->Irql);
    }
    *OldIrql = thread->Irql;
    thread->Irql = NewIrql;
}

VOID KeLowerIrql(KIRQL NewIrql)
{
    HostThreadState *thread = HostThread();
    if (NewIrql > thread->Irql) {
        HostReport("IRQL_NOT_LESS", nullptr, HostTakeCallSite(), "KeLowerIrql to %d above the current IRQL %d", NewIrql,
                   thread->Irql);
    }
    thread->Irql = NewIrql;
}

/* ---- Spin locks --------------------------------------------------------------------- */

static ULONG_PTR OwnerToken(void) { return (ULONG_PTR)HostThread() | 1; }

bool HostThreadHoldsLock(PKSPIN_LOCK Lock)
{
    HostThreadState *thread = HostThread();
    for (int i = 0; i < thread->HeldCount; i++) {
        if (thread->Held[i].Lock == Lock) {
            return true;
        }
    }
    return false;
}

VOID KeInitializeSpinLock(PKSPIN_LOCK SpinLock)
{
    __atomic_store_n(SpinLock, 0, __ATOMIC_RELEASE);
    /* A lock word reused at this address is a new lock as far as lock order goes. */
    HostLockOrderForgetRange(SpinLock, sizeof *SpinLock);
}

/* Takes the lock word, spinning (and yielding, the host having few processors). */
static void TakeLockWord(PKSPIN_LOCK SpinLock, HostCallSite Site)
{
    ULONG_PTR token = OwnerToken();
    if (HostThreadHoldsLock(SpinLock)) {
        HostReport("SPINLOCK_RECURSION", nullptr, Site,
                   "spin lock %p acquired again by the thread that holds it (deadlock)", (void *)SpinLock);
    }
    for (int spins = 0;; spins++) {
        ULONG_PTR expected = 0;
        if (__atomic_compare_exchange_n(SpinLock, &expected, token, false, __ATOMIC_ACQUIRE, __ATOMIC_RELAXED)) {
            return;
        }
        if (spins > 64) {
            sched_yield();
        }
    }
}

static void PushHeld(PKSPIN_LOCK SpinLock, KIRQL OldIrql, HostCallSite Site)
{
    HostThreadState *thread = HostThread();
    HostLockOrderAcquire(SpinLock, Site);
    if (thread->HeldCount == HOST_MAX_HELD_LOCKS) {
        HostReport("NOT_MODELLED", nullptr, Site, "more than %d spin locks held at once", HOST_MAX_HELD_LOCKS);
    }
    thread->Held[thread->HeldCount++] = HostHeldLock{SpinLock, OldIrql, Site};
}

/* Drops the lock from the thread's held list; reports a release by a non-owner. Returns
 * the IRQL recorded when it was acquired. */
static KIRQL PopHeld(PKSPIN_LOCK SpinLock, HostCallSite Site)
{
    HostThreadState *thread = HostThread();
    for (int i = thread->HeldCount - 1; i >= 0; i--) {
        if (thread->Held[i].Lock != SpinLock) {
            continue;
        }
        KIRQL old = thread->Held[i].OldIrql;
        for (int j = i; j + 1 < thread->HeldCount; j++) {
            thread->Held[j] = thread->Held[j + 1];
        }
        thread->HeldCount--;
        return old;
    }
    ULONG_PTR word = __atomic_load_n(SpinLock, __ATOMIC_RELAXED);
    HostReport("SPINLOCK_NOT_OWNER", nullptr, Site, "spin lock %p released by a thread that does not hold it (%s)",
               (void *)SpinLock, word ? "another thread holds it" : "it is not held");
    return PASSIVE_LEVEL;
}

KIRQL(KfAcquireSpinLock)(PKSPIN_LOCK SpinLock)
{
    HostCallSite site = HostTakeCallSite();
    HostThreadState *thread = HostThread();
    if (thread->Irql > DISPATCH_LEVEL) {
        HostReport("IRQL_NOT_LESS", nullptr, site, "KeAcquireSpinLock at IRQL %d", thread->Irql);
    }
    KIRQL old = thread->Irql;
    thread->Irql = DISPATCH_LEVEL;
    TakeLockWord(SpinLock, site);
    PushHeld(SpinLock, old, site);
    return old;
}

VOID(KfReleaseSpinLock)(PKSPIN_LOCK SpinLock, KIRQL NewIrql)
{
    HostCallSite site = HostTakeCallSite();
    HostThreadState *thread = HostThread();
    if (thread->Irql != DISPATCH_LEVEL) {
        HostReport("SPINLOCK_RELEASE_IRQL", nullptr, site, "spin lock %p released at IRQL %d instead of DISPATCH_LEVEL",
                   (void *)SpinLock, thread->Irql);
    }
    /* Driver Verifier checks the IRQL of the release (0xC4/0x32), not that NewIrql is the
     * level saved by the acquisition of this same lock: locks taken hand over hand are
     * released each to the level the other one saved. */
    PopHeld(SpinLock, site);
    if (NewIrql > DISPATCH_LEVEL) {
        HostReport("SPINLOCK_RELEASE_IRQL", nullptr, site, "spin lock %p released to IRQL %d, above DISPATCH_LEVEL",
                   (void *)SpinLock, NewIrql);
    }
    __atomic_store_n(SpinLock, 0, __ATOMIC_RELEASE);
    thread->Irql = NewIrql;
    HostFuzzPoint();
}

VOID KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock)
{
    HostCallSite site = HostTakeCallSite();
    HostThreadState *thread = HostThread();
    if (thread->Irql != DISPATCH_LEVEL) {
        HostReport("IRQL_NOT_LESS", nullptr, site, "KeAcquireSpinLockAtDpcLevel at IRQL %d", thread->Irql);
    }
    TakeLockWord(SpinLock, site);
    PushHeld(SpinLock, DISPATCH_LEVEL, site);
}

VOID KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock)
{
    HostCallSite site = HostTakeCallSite();
    if (HostThread()->Irql != DISPATCH_LEVEL) {
        HostReport("SPINLOCK_RELEASE_IRQL", nullptr, site, "KeReleaseSpinLockFromDpcLevel at IRQL %d",
                   HostThread()->Irql);
    }
    PopHeld(SpinLock, site);
    __atomic_store_n(SpinLock, 0, __ATOMIC_RELEASE);
}

VOID IoAcquireCancelSpinLock(PKIRQL Irql) { *Irql = (KfAcquireSpinLock)(&HostCancelSpinLock); }

VOID IoReleaseCancelSpinLock(KIRQL Irql) { (KfReleaseSpinLock)(&HostCancelSpinLock, Irql); }

/* ---- Events ------------------------------------------------------------------------- */

#define EVENT_BUCKETS 64

typedef struct EventBucket {
    std::mutex Lock; /* guards the SignalState of every event hashed here, and their waits */
    std::condition_variable Signalled;
} EventBucket;

static EventBucket EventBuckets[EVENT_BUCKETS];

static EventBucket *BucketOf(PRKEVENT Event) { return &EventBuckets[((ULONG_PTR)Event >> 4) % EVENT_BUCKETS]; }

/* The Size field of an initialised event, which uninitialised memory rarely holds. */
#define EVENT_SIZE_MARK ((UCHAR)(sizeof(KEVENT) / sizeof(LONG)))

static void CheckEvent(PRKEVENT Event, HostCallSite Site, const char *Routine)
{
    if (Event->Header.Type > SynchronizationEvent || Event->Header.Size != EVENT_SIZE_MARK) {
        HostReport("NOT_MODELLED", nullptr, Site, "%s on %p, which is not an initialised event", Routine,
                   (void *)Event);
    }
}

VOID KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State)
{
    Event->Header.Type = (UCHAR)Type;
    Event->Header.Absolute = 0;
    Event->Header.Size = EVENT_SIZE_MARK;
    Event->Header.Inserted = 0;
    __atomic_store_n(&Event->Header.SignalState, State ? 1 : 0, __ATOMIC_RELEASE);
    Event->Header.WaitListHead.Flink = Event->Header.WaitListHead.Blink = &Event->Header.WaitListHead;
}

LONG(KeSetEvent)(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait)
{
    (void)Increment;
    HostCallSite site = HostTakeCallSite();
    CheckEvent(Event, site, "KeSetEvent");
    if (HostThread()->Irql > DISPATCH_LEVEL) {
        HostReport("IRQL_NOT_LESS", nullptr, site, "KeSetEvent at IRQL %d", HostThread()->Irql);
    }
    if (Wait) {
        HostReport("NOT_MODELLED", nullptr, site, "KeSetEvent with Wait TRUE");
    }
    EventBucket *bucket = BucketOf(Event);
    LONG previous;
    {
        std::lock_guard<std::mutex> guard(bucket->Lock);
        previous = __atomic_exchange_n(&Event->Header.SignalState, 1, __ATOMIC_ACQ_REL);
        bucket->Signalled.notify_all();
    }
    HostFuzzPoint();
    return previous;
}

VOID KeClearEvent(PRKEVENT Event)
{
    EventBucket *bucket = BucketOf(Event);
    std::lock_guard<std::mutex> guard(bucket->Lock);
    __atomic_store_n(&Event->Header.SignalState, 0, __ATOMIC_RELEASE);
}

LONG KeResetEvent(PRKEVENT Event)
{
    EventBucket *bucket = BucketOf(Event);
    std::lock_guard<std::mutex> guard(bucket->Lock);
    return __atomic_exchange_n(&Event->Header.SignalState, 0, __ATOMIC_ACQ_REL);
}

LONG KeReadStateEvent(PRKEVENT Event) { return __atomic_load_n(&Event->Header.SignalState, __ATOMIC_ACQUIRE); }

NTSTATUS(KeWaitForSingleObject)
(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode, BOOLEAN Alertable, PLARGE_INTEGER Timeout)
{
    (void)WaitReason;
    HostCallSite site = HostTakeCallSite();
    PRKEVENT event = (PRKEVENT)Object;
    CheckEvent(event, site, "KeWaitForSingleObject");
    HostThreadState *thread = HostThread();
    bool zeroTimeout = Timeout && Timeout->QuadPart == 0;
    if (thread->Irql > APC_LEVEL && !zeroTimeout) {
        HostReport("WAIT_AT_HIGH_IRQL", nullptr, site,
                   "wait with %s time-out at IRQL %d (only a zero time-out is allowed above APC_LEVEL)",
                   Timeout ? "a non-zero" : "no", thread->Irql);
    }
    if (Alertable || WaitMode != KernelMode) {
        HostReport("NOT_MODELLED", nullptr, site, "alertable or user-mode waits");
    }
    if (Timeout && Timeout->QuadPart > 0) {
        HostReport("NOT_MODELLED", nullptr, site, "waits until an absolute time");
    }

    EventBucket *bucket = BucketOf(event);
    std::unique_lock<std::mutex> guard(bucket->Lock);
    auto satisfied = [event] { return __atomic_load_n(&event->Header.SignalState, __ATOMIC_ACQUIRE) != 0; };
    if (!Timeout) {
        bucket->Signalled.wait(guard, satisfied);
    } else {
        /* Relative time-outs are negative counts of 100-nanosecond units. */
        auto deadline = std::chrono::steady_clock::now() + std::chrono::nanoseconds(-Timeout->QuadPart * 100);
        if (!bucket->Signalled.wait_until(guard, deadline, satisfied)) {
            return STATUS_TIMEOUT;
        }
    }
    if (event->Header.Type == SynchronizationEvent) {
        __atomic_store_n(&event->Header.SignalState, 0, __ATOMIC_RELEASE);
    }
    return STATUS_SUCCESS;
}

NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable, PLARGE_INTEGER Interval)
{
    HostCallSite site = HostTakeCallSite();
    if (HostThread()->Irql > APC_LEVEL) {
        HostReport("WAIT_AT_HIGH_IRQL", nullptr, site, "KeDelayExecutionThread at IRQL %d", HostThread()->Irql);
    }
    if (Alertable || WaitMode != KernelMode || Interval->QuadPart > 0) {
        HostReport("NOT_MODELLED", nullptr, site, "alertable, user-mode or absolute delays");
    }
    struct timespec ts;
    long long nanos = -Interval->QuadPart * 100;
    ts.tv_sec = nanos / 1000000000;
    ts.tv_nsec = nanos % 1000000000;
    nanosleep(&ts, nullptr);
    return STATUS_SUCCESS;
}
