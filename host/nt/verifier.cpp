/*
 * verifier.cpp - the driver verifier of the stand-in: reports, call sites, the
 * low-resources simulation, delay fuzzing and the spin-lock order graph.
 */
#include <sched.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <atomic>
#include <map>
#include <set>
#include <utility>

#ifdef MURVO_COVERAGE
extern "C" void __gcov_dump(void);
#endif

#include "host/nt/nt_internal.h"

static thread_local HostThreadState ThreadState;

HostThreadState *HostThread(void) { return &ThreadState; }

void HostNoteCallSite(const char *File, int Line)
{
    ThreadState.NextSite.File = File;
    ThreadState.NextSite.Line = Line;
}

HostCallSite HostTakeCallSite(void)
{
    HostCallSite site = ThreadState.NextSite;
    ThreadState.NextSite.File = nullptr;
    ThreadState.NextSite.Line = 0;
    return site;
}

HostContextSave HostEnterDriver(PDRIVER_OBJECT Driver, PDEVICE_OBJECT Device)
{
    HostContextSave save = {ThreadState.ContextDriver, ThreadState.ContextDevice};
    ThreadState.ContextDriver = Driver;
    ThreadState.ContextDevice = Device;
    return save;
}

void HostLeaveDriver(HostContextSave Save)
{
    ThreadState.ContextDriver = Save.Driver;
    ThreadState.ContextDevice = Save.Device;
}

/* ---- Reports --------------------------------------------------------------------------- */

/* Guards the report counters and the last rule. */
static std::mutex ReportLock;
static HostVerifierMode Mode = HostVerifierAbort;
static ULONG ReportCount;
static char LastRule[48];

static const char *const MajorNames[IRP_MJ_MAXIMUM_FUNCTION + 1] = {"IRP_MJ_CREATE",
                                                                    "IRP_MJ_CREATE_NAMED_PIPE",
                                                                    "IRP_MJ_CLOSE",
                                                                    "IRP_MJ_READ",
                                                                    "IRP_MJ_WRITE",
                                                                    "IRP_MJ_QUERY_INFORMATION",
                                                                    "IRP_MJ_SET_INFORMATION",
                                                                    "IRP_MJ_QUERY_EA",
                                                                    "IRP_MJ_SET_EA",
                                                                    "IRP_MJ_FLUSH_BUFFERS",
                                                                    "IRP_MJ_QUERY_VOLUME_INFORMATION",
                                                                    "IRP_MJ_SET_VOLUME_INFORMATION",
                                                                    "IRP_MJ_DIRECTORY_CONTROL",
                                                                    "IRP_MJ_FILE_SYSTEM_CONTROL",
                                                                    "IRP_MJ_DEVICE_CONTROL",
                                                                    "IRP_MJ_INTERNAL_DEVICE_CONTROL",
                                                                    "IRP_MJ_SHUTDOWN",
                                                                    "IRP_MJ_LOCK_CONTROL",
                                                                    "IRP_MJ_CLEANUP",
                                                                    "IRP_MJ_CREATE_MAILSLOT",
                                                                    "IRP_MJ_QUERY_SECURITY",
                                                                    "IRP_MJ_SET_SECURITY",
                                                                    "IRP_MJ_POWER",
                                                                    "IRP_MJ_SYSTEM_CONTROL",
                                                                    "IRP_MJ_DEVICE_CHANGE",
                                                                    "IRP_MJ_QUERY_QUOTA",
                                                                    "IRP_MJ_SET_QUOTA",
                                                                    "IRP_MJ_PNP"};

const char *HostMajorName(UCHAR Major) { return Major <= IRP_MJ_MAXIMUM_FUNCTION ? MajorNames[Major] : "IRP_MJ_?"; }

void HostDescribeSite(HostCallSite Site, char *Out, size_t OutSize)
{
    if (Site.File) {
        snprintf(Out, OutSize, "%s:%d", Site.File, Site.Line);
    } else {
        snprintf(Out, OutSize, "(call site not recorded)");
    }
}

/* Describes a request without trusting it more than needed: a request that is not live is
 * only named by its address. */
static void DescribeIrp(PIRP Irp, char *Out, size_t OutSize)
{
    if (!Irp) {
        Out[0] = 0;
        return;
    }
    if (!HostIrpIsLive(Irp)) {
        snprintf(Out, OutSize, "    request: IRP %p (not an allocated request)\n", (void *)Irp);
        return;
    }
    HostIrpRecord *record = HostIrpRecordOf(Irp);
    char allocated[256];
    HostDescribeSite(record->AllocSite, allocated, sizeof allocated);
    int location = Irp->CurrentLocation;
    if (location >= 1 && location <= Irp->StackCount) {
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
        PDEVICE_OBJECT device = stack->DeviceObject;
        const char *driver = "?";
        if (device && HostDeviceIsLive(device) && device->DriverObject) {
            driver = HostDriverOf(device->DriverObject)->Info->Name;
        }
        snprintf(Out, OutSize,
                 "    request: IRP %p %s minor 0x%02x, location %d of %d, device %p (driver %s), "
                 "status 0x%08x, allocated at %s\n",
                 (void *)Irp, HostMajorName(stack->MajorFunction), stack->MinorFunction, location, Irp->StackCount,
                 (void *)device, driver, (unsigned)Irp->IoStatus.Status, allocated);
    } else {
        snprintf(Out, OutSize,
                 "    request: IRP %p, location %d of %d (owned by no driver), status 0x%08x, allocated at %s\n",
                 (void *)Irp, location, Irp->StackCount, (unsigned)Irp->IoStatus.Status, allocated);
    }
}

void HostReport(const char *Rule, PIRP Irp, HostCallSite Site, const char *Format, ...)
{
    char message[1024];
    va_list args;
    va_start(args, Format);
    vsnprintf(message, sizeof message, Format, args);
    va_end(args);
    char request[768];
    DescribeIrp(Irp, request, sizeof request);
    char site[300];
    HostDescribeSite(Site, site, sizeof site);
    const char *driver = ThreadState.ContextDriver ? HostDriverOf(ThreadState.ContextDriver)->Info->Name : "(none)";
    fprintf(stderr, "\n*** VERIFIER: %s: %s\n%s    at: %s\n    driver context: %s, IRQL %d\n", Rule, message, request,
            site, driver, ThreadState.Irql);
    fflush(stderr);
    HostVerifierMode mode;
    {
        std::lock_guard<std::mutex> guard(ReportLock);
        ReportCount++;
        snprintf(LastRule, sizeof LastRule, "%s", Rule);
        mode = Mode;
    }
    if (mode == HostVerifierAbort) {
#ifdef MURVO_COVERAGE
        __gcov_dump(); /* abort skips the exit handlers that write the coverage counters */
#endif
        abort();
    }
}

void HostAssertFailed(const char *Expression, const char *File, int Line)
{
    HostReport("ASSERTION", nullptr, HostCallSite{File, Line}, "assertion failed: %s", Expression);
}

void HostPagedCode(const char *File, int Line)
{
    if (ThreadState.Irql > APC_LEVEL) {
        HostReport("PAGED_CODE", nullptr, HostCallSite{File, Line}, "pageable code runs at IRQL %d", ThreadState.Irql);
    }
}

void HostVerifierSetMode(HostVerifierMode NewMode)
{
    std::lock_guard<std::mutex> guard(ReportLock);
    Mode = NewMode;
}

ULONG HostVerifierReportCount(void)
{
    std::lock_guard<std::mutex> guard(ReportLock);
    return ReportCount;
}

const char *HostVerifierLastRule(void)
{
    std::lock_guard<std::mutex> guard(ReportLock);
    return LastRule;
}

/* ---- Low-resources simulation --------------------------------------------------------- */

/* Guards the low-resources settings and counters. */
static std::mutex LowResourcesLock;
static HostLowResources LowResources;
static bool LowResourcesOn;
static ULONG CountedAllocations;
static ULONG InjectedFailures;
static std::set<std::pair<std::string, int>> SeenSites;

static uint64_t SplitMix(uint64_t x)
{
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

void HostVerifierSetLowResources(const HostLowResources *Settings)
{
    std::lock_guard<std::mutex> guard(LowResourcesLock);
    LowResourcesOn = Settings != nullptr;
    if (Settings) {
        LowResources = *Settings;
    }
    CountedAllocations = 0;
    InjectedFailures = 0;
    SeenSites.clear();
}

ULONG HostVerifierCountedAllocations(void)
{
    std::lock_guard<std::mutex> guard(LowResourcesLock);
    return CountedAllocations;
}

ULONG HostVerifierInjectedFailures(void)
{
    std::lock_guard<std::mutex> guard(LowResourcesLock);
    return InjectedFailures;
}

bool HostShouldFailAllocation(HostCallSite Site)
{
    std::lock_guard<std::mutex> guard(LowResourcesLock);
    if (!LowResourcesOn) {
        return false;
    }
    PDRIVER_OBJECT driver = ThreadState.ContextDriver;
    if (LowResources.Driver) {
        if (!driver || HostDriverOf(driver)->Info != LowResources.Driver) {
            return false;
        }
    }
    ULONG n = ++CountedAllocations;
    bool fail = false;
    if (LowResources.FailNth && n == LowResources.FailNth) {
        fail = true;
    }
    if (LowResources.FailNewCallSites) {
        auto key = std::make_pair(std::string(Site.File ? Site.File : "?"), Site.Line);
        if (SeenSites.insert(key).second) {
            fail = true;
        }
    }
    if (LowResources.FailPercent &&
        SplitMix(((uint64_t)LowResources.Seed << 32) | n) % 100 < LowResources.FailPercent) {
        fail = true;
    }
    if (fail) {
        InjectedFailures++;
    }
    return fail;
}

/* Per-routine failures (guarded by LowResourcesLock): routine -> {calls seen, failing call}. */
static std::map<std::string, std::pair<ULONG, ULONG>> FailingCalls;

VOID HostVerifierFailCall(const char *Routine, ULONG Nth)
{
    std::lock_guard<std::mutex> guard(LowResourcesLock);
    if (Nth) {
        FailingCalls[Routine] = std::make_pair(0u, Nth);
    } else {
        FailingCalls.erase(Routine);
    }
}

bool HostShouldFailCall(const char *Routine)
{
    if (!ThreadState.ContextDriver) {
        return false;
    }
    std::lock_guard<std::mutex> guard(LowResourcesLock);
    auto it = FailingCalls.find(Routine);
    if (it == FailingCalls.end()) {
        return false;
    }
    if (++it->second.first != it->second.second) {
        return false;
    }
    FailingCalls.erase(it);
    InjectedFailures++;
    return true;
}

/* ---- Delay fuzzing --------------------------------------------------------------------- */

static std::atomic<ULONG> FuzzPercent{0};
static std::atomic<ULONG> FuzzMaxDelay{0};
static std::atomic<uint64_t> FuzzSeed{0};
static std::atomic<uint64_t> FuzzCounter{0};

void HostVerifierSetDelayFuzzing(ULONG Seed, ULONG Percent, ULONG MaxDelayMicroseconds)
{
    FuzzSeed = Seed;
    FuzzCounter = 0;
    FuzzMaxDelay = MaxDelayMicroseconds;
    FuzzPercent = Percent;
}

void HostFuzzPoint(void)
{
    ULONG percent = FuzzPercent.load(std::memory_order_relaxed);
    if (!percent) {
        return;
    }
    uint64_t r = SplitMix((FuzzSeed.load(std::memory_order_relaxed) << 32) ^ FuzzCounter.fetch_add(1));
    if (r % 100 >= percent) {
        return;
    }
    ULONG maxDelay = FuzzMaxDelay.load(std::memory_order_relaxed);
    if ((r >> 8) & 1 || !maxDelay) {
        sched_yield();
        return;
    }
    ULONG micros = (ULONG)((r >> 16) % maxDelay) + 1;
    struct timespec ts = {0, (long)micros * 1000};
    nanosleep(&ts, nullptr);
}

BOOLEAN HostVerifierFuzzChoice(void)
{
    if (!FuzzPercent.load(std::memory_order_relaxed)) {
        return FALSE;
    }
    uint64_t r = SplitMix((FuzzSeed.load(std::memory_order_relaxed) << 32) ^ FuzzCounter.fetch_add(1));
    return (r >> 24) & 1 ? TRUE : FALSE;
}

/* ---- Lock order ---------------------------------------------------------------------- */

typedef struct LockEdge {
    HostCallSite FirstSite;  /* where the first lock of the pair was held */
    HostCallSite SecondSite; /* where the second was acquired while holding it */
} LockEdge;

/* Guards the lock-order graph: an edge A->B means B was acquired while A was held. */
static std::mutex LockOrderLock;
static std::map<PKSPIN_LOCK, std::map<PKSPIN_LOCK, LockEdge>> LockOrder;

/* Whether To can be reached from From by edges of the graph (LockOrderLock held). */
static bool Reaches(PKSPIN_LOCK From, PKSPIN_LOCK To, std::set<PKSPIN_LOCK> &Seen)
{
    if (From == To) {
        return true;
    }
    if (!Seen.insert(From).second) {
        return false;
    }
    auto it = LockOrder.find(From);
    if (it == LockOrder.end()) {
        return false;
    }
    for (auto &edge : it->second) {
        if (Reaches(edge.first, To, Seen)) {
            return true;
        }
    }
    return false;
}

void HostLockOrderAcquire(PKSPIN_LOCK Lock, HostCallSite Site)
{
    HostThreadState *thread = &ThreadState;
    if (thread->HeldCount == 0) {
        return;
    }
    char report[1024] = {0};
    {
        std::lock_guard<std::mutex> guard(LockOrderLock);
        for (int i = 0; i < thread->HeldCount; i++) {
            PKSPIN_LOCK held = thread->Held[i].Lock;
            auto &edges = LockOrder[held];
            if (edges.count(Lock)) {
                continue;
            }
            std::set<PKSPIN_LOCK> seen;
            if (Reaches(Lock, held, seen)) {
                char first[300], second[300], otherFirst[300], otherSecond[300];
                HostDescribeSite(thread->Held[i].Site, first, sizeof first);
                HostDescribeSite(Site, second, sizeof second);
                otherFirst[0] = otherSecond[0] = 0;
                auto back = LockOrder.find(Lock);
                if (back != LockOrder.end() && back->second.count(held)) {
                    HostDescribeSite(back->second[held].FirstSite, otherFirst, sizeof otherFirst);
                    HostDescribeSite(back->second[held].SecondSite, otherSecond, sizeof otherSecond);
                } else {
                    snprintf(otherFirst, sizeof otherFirst, "(through other locks)");
                    snprintf(otherSecond, sizeof otherSecond, "(through other locks)");
                }
                snprintf(report, sizeof report,
                         "spin locks taken in both orders: lock %p (held since %s) then lock %p here; "
                         "elsewhere lock %p (held since %s) then lock %p (at %s)",
                         (void *)held, first, (void *)Lock, (void *)Lock, otherFirst, (void *)held, otherSecond);
                break;
            }
            edges[Lock] = LockEdge{thread->Held[i].Site, Site};
        }
    }
    if (report[0]) {
        HostReport("LOCK_ORDER", nullptr, Site, "%s", report);
    }
}

void HostLockOrderForgetRange(const void *Start, size_t Length)
{
    std::lock_guard<std::mutex> guard(LockOrderLock);
    if (LockOrder.empty()) {
        return;
    }
    const char *begin = (const char *)Start;
    const char *end = begin + Length;
    auto inside = [&](PKSPIN_LOCK lock) { return (const char *)lock >= begin && (const char *)lock < end; };
    for (auto it = LockOrder.begin(); it != LockOrder.end();) {
        if (inside(it->first)) {
            it = LockOrder.erase(it);
            continue;
        }
        for (auto edge = it->second.begin(); edge != it->second.end();) {
            edge = inside(edge->first) ? it->second.erase(edge) : std::next(edge);
        }
        ++it;
    }
}

void HostVerifierResetSettings(void)
{
    HostVerifierSetLowResources(nullptr);
    {
        std::lock_guard<std::mutex> guard(LowResourcesLock);
        FailingCalls.clear();
    }
    HostVerifierSetDelayFuzzing(0, 0, 0);
    {
        std::lock_guard<std::mutex> guard(LockOrderLock);
        LockOrder.clear();
    }
    HostVerifierSetMode(HostVerifierAbort);
}

ULONG DbgPrint(PCSTR Format, ...)
{
    va_list args;
    va_start(args, Format);
    vfprintf(stderr, Format, args);
    va_end(args);
    return 0;
}

VOID HostVerifierReport(const char *Rule, PIRP Irp, const char *Format, ...)
{
    char message[1024];
    va_list args;
    va_start(args, Format);
    vsnprintf(message, sizeof message, Format, args);
    va_end(args);
    HostReport(Rule, Irp, HostTakeCallSite(), "%s", message);
}
