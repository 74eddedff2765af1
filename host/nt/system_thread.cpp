/*
 * system_thread.cpp - the kernel's own threads: the plug-and-play thread (which also
 * carries system power transitions, so that the two never interleave) and the system worker
 * threads for work deferred to PASSIVE_LEVEL (PoCallDriver from DISPATCH_LEVEL, a device
 * power request that waited for the one before it, the close of a file whose last request
 * completed elsewhere, a unit's deletion once its stack is removed).
 *
 * Windows runs work items on a pool of worker threads and power requests on power worker
 * threads of their own, so an item that waits (a close held in a driver, a removal waited
 * for) does not stop the items queued after it. The worker pool here starts another thread
 * whenever an item is queued and no thread is free, up to WorkerLimit.
 */
#include <deque>
#include <thread>

#include "host/nt/nt_internal.h"

typedef struct WorkItem {
    HOST_WORK_ROUTINE *Routine;
    PVOID Context;
} WorkItem;

typedef struct SystemThreads {
    std::mutex Lock; /* guards every field below */
    std::condition_variable Changed;
    std::deque<WorkItem> Queue;
    unsigned Limit;        /* the most threads there may be */
    unsigned Started;      /* threads started so far (never end) */
    unsigned Waiting;      /* threads waiting for an item */
    std::thread::id First; /* the first thread: the plug-and-play thread has no other */
} SystemThreads;

/* Enough for every item of the tests to wait at once; beyond it items wait their turn. */
static const unsigned WorkerLimit = 32;

/* Never destroyed: the threads outlive static destruction at process exit. */
static SystemThreads *PnpThread = new SystemThreads{{}, {}, {}, 1, 0, 0, {}};
static SystemThreads *WorkerThreads = new SystemThreads{{}, {}, {}, WorkerLimit, 0, 0, {}};

static void Run(SystemThreads *Threads)
{
    std::unique_lock<std::mutex> guard(Threads->Lock);
    for (;;) {
        Threads->Waiting++;
        Threads->Changed.notify_all(); /* for WaitIdle */
        Threads->Changed.wait(guard, [Threads] { return !Threads->Queue.empty(); });
        Threads->Waiting--;
        WorkItem item = Threads->Queue.front();
        Threads->Queue.pop_front();
        guard.unlock();
        item.Routine(item.Context);
        guard.lock();
    }
}

static void Post(SystemThreads *Threads, HOST_WORK_ROUTINE *Routine, PVOID Context)
{
    std::lock_guard<std::mutex> guard(Threads->Lock);
    Threads->Queue.push_back(WorkItem{Routine, Context});
    /* Items already queued take the waiting threads first. */
    if (Threads->Queue.size() > Threads->Waiting && Threads->Started < Threads->Limit) {
        std::thread thread(Run, Threads);
        if (Threads->Started++ == 0) {
            Threads->First = thread.get_id();
        }
        thread.detach();
    }
    Threads->Changed.notify_all();
}

typedef struct WaitedCall {
    HOST_WORK_ROUTINE *Routine;
    PVOID Context;
    KEVENT Done;
} WaitedCall;

static VOID RunWaitedCall(PVOID Context)
{
    WaitedCall *call = (WaitedCall *)Context;
    call->Routine(call->Context);
    (KeSetEvent)(&call->Done, IO_NO_INCREMENT, FALSE);
}

void HostRunOnPnpThread(HOST_WORK_ROUTINE *Routine, PVOID Context, bool Wait)
{
    if (!Wait) {
        Post(PnpThread, Routine, Context);
        return;
    }
    bool onPnpThread;
    {
        std::lock_guard<std::mutex> guard(PnpThread->Lock);
        onPnpThread = PnpThread->Started != 0 && PnpThread->First == std::this_thread::get_id();
    }
    if (onPnpThread) {
        Routine(Context);
        return;
    }
    WaitedCall call = {Routine, Context, {}};
    KeInitializeEvent(&call.Done, NotificationEvent, FALSE);
    Post(PnpThread, RunWaitedCall, &call);
    (KeWaitForSingleObject)(&call.Done, Executive, KernelMode, FALSE, nullptr);
}

VOID HostQueueWork(HOST_WORK_ROUTINE *Routine, PVOID Context) { Post(WorkerThreads, Routine, Context); }

/* No item queued and every thread waiting for one. Caller holds Threads->Lock. */
static bool IdleLocked(SystemThreads *Threads)
{
    return Threads->Queue.empty() && Threads->Waiting == Threads->Started;
}

static bool Idle(SystemThreads *Threads)
{
    std::lock_guard<std::mutex> guard(Threads->Lock);
    return IdleLocked(Threads);
}

static void WaitIdle(SystemThreads *Threads)
{
    std::unique_lock<std::mutex> guard(Threads->Lock);
    Threads->Changed.wait(guard, [Threads] { return IdleLocked(Threads); });
}

void HostWaitSystemThreadsIdle(void)
{
    /* Each thread may hand work to the other: wait until both are idle at once. */
    do {
        WaitIdle(WorkerThreads);
        WaitIdle(PnpThread);
    } while (!Idle(WorkerThreads) || !Idle(PnpThread));
}

VOID HostWaitIdle(void) { HostWaitSystemThreadsIdle(); }
