/*
 * system_thread.cpp - the kernel's own threads: the plug-and-play thread (which also
 * carries system power transitions, so that the two never interleave) and a worker thread
 * for work deferred to PASSIVE_LEVEL (PoCallDriver from DISPATCH_LEVEL, the close of a file
 * whose last request completed elsewhere).
 */
#include <deque>
#include <thread>

#include "host/nt/nt_internal.h"

typedef struct WorkItem {
    HOST_WORK_ROUTINE *Routine;
    PVOID Context;
} WorkItem;

typedef struct SystemThread {
    std::mutex Lock; /* guards Queue, Busy, Started */
    std::condition_variable Changed;
    std::deque<WorkItem> Queue;
    bool Busy;
    bool Started;
    std::thread::id Id;
} SystemThread;

/* Never destroyed: the threads outlive static destruction at process exit. */
static SystemThread *PnpThread = new SystemThread();
static SystemThread *WorkerThread = new SystemThread();

static void Run(SystemThread *Thread)
{
    std::unique_lock<std::mutex> guard(Thread->Lock);
    for (;;) {
        Thread->Changed.wait(guard, [Thread] { return !Thread->Queue.empty(); });
        WorkItem item = Thread->Queue.front();
        Thread->Queue.pop_front();
        Thread->Busy = true;
        guard.unlock();
        item.Routine(item.Context);
        guard.lock();
        Thread->Busy = false;
        Thread->Changed.notify_all();
    }
}

static void Post(SystemThread *Thread, HOST_WORK_ROUTINE *Routine, PVOID Context)
{
    std::lock_guard<std::mutex> guard(Thread->Lock);
    if (!Thread->Started) {
        Thread->Started = true;
        std::thread worker(Run, Thread);
        Thread->Id = worker.get_id();
        worker.detach();
    }
    Thread->Queue.push_back(WorkItem{Routine, Context});
    Thread->Changed.notify_all();
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
        onPnpThread = PnpThread->Started && PnpThread->Id == std::this_thread::get_id();
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

VOID HostQueueWork(HOST_WORK_ROUTINE *Routine, PVOID Context) { Post(WorkerThread, Routine, Context); }

static bool Idle(SystemThread *Thread)
{
    std::lock_guard<std::mutex> guard(Thread->Lock);
    return Thread->Queue.empty() && !Thread->Busy;
}

static void WaitIdle(SystemThread *Thread)
{
    std::unique_lock<std::mutex> guard(Thread->Lock);
    Thread->Changed.wait(guard, [Thread] { return Thread->Queue.empty() && !Thread->Busy; });
}

void HostWaitSystemThreadsIdle(void)
{
    /* Each thread may hand work to the other: wait until both are idle at once. */
    do {
        WaitIdle(WorkerThread);
        WaitIdle(PnpThread);
    } while (!Idle(WorkerThread) || !Idle(PnpThread));
}

VOID HostWaitIdle(void) { HostWaitSystemThreadsIdle(); }
