/*
 * pool.cpp - non-paged pool with the verifier's pool tracking, and the run-time library's
 * string routines.
 *
 * Each block carries a header (tag, size, the driver and device it is charged to, the call
 * site) and is a real heap block, so that a use after ExFreePool is caught by the address
 * sanitizer. The ledger is the set of live blocks; the queries add it up.
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <atomic>
#include <deque>
#include <unordered_set>

#include "host/nt/nt_internal.h"

/* Freed blocks are kept a while, filled with a pattern that is checked before the memory goes
 * back to the heap, as the verifier's special pool does; under the address sanitizer, which
 * catches any touch of freed memory at once, they go back at once. */
#if defined(__SANITIZE_ADDRESS__)
#define POOL_QUARANTINE 0
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define POOL_QUARANTINE 0
#endif
#endif
#ifndef POOL_QUARANTINE
#define POOL_QUARANTINE 1
#endif

#define POOL_FREED_BYTE 0xDF
#define POOL_QUARANTINE_BLOCKS 2048
#define POOL_QUARANTINE_BYTES (8u << 20)

#define POOL_MAGIC 0x4C4F4F50u

typedef struct alignas(16) PoolHeader {
    ULONG Magic;
    ULONG Tag;
    SIZE_T Size;
    PDRIVER_OBJECT Driver;
    PDEVICE_OBJECT Device;
    HostCallSite Site;
} PoolHeader;

/* Guards the ledger of live blocks and the record of recently freed ones. */
static std::mutex PoolLock;
static std::unordered_set<const void *> LiveBlocks;
static std::unordered_set<const void *> FreedBlocks;

/* A freed block waiting in quarantine, with what its header said (the header is filled too). */
typedef struct QuarantinedBlock {
    PoolHeader *Header;
    SIZE_T Size;
    ULONG Tag;
    HostCallSite AllocSite;
    HostCallSite FreeSite;
} QuarantinedBlock;

/* Guards the quarantine; never held together with PoolLock. */
static std::mutex QuarantineLock;

static std::atomic<HOST_POOL_FREE_HOOK *> FreeHook{nullptr};

void HostPoolSetFreeHook(HOST_POOL_FREE_HOOK *Hook) { FreeHook.store(Hook); }
static std::deque<QuarantinedBlock> Quarantine;
static size_t QuarantineBytes;

static PoolHeader *HeaderOf(const void *Block) { return (PoolHeader *)((char *)Block - sizeof(PoolHeader)); }

static void TagText(ULONG Tag, char Out[5])
{
    for (int i = 0; i < 4; i++) {
        char c = (char)((Tag >> (8 * i)) & 0xFF);
        Out[i] = (c >= 0x20 && c < 0x7F) ? c : '.';
    }
    Out[4] = 0;
}

/* Checks that a quarantined block still holds the pattern, reports it if not, frees it. */
static void ReleaseQuarantined(const QuarantinedBlock &Block)
{
    static unsigned char pattern[4096];
    static std::once_flag filled;
    std::call_once(filled, [] { memset(pattern, POOL_FREED_BYTE, sizeof pattern); });
    const unsigned char *bytes = (const unsigned char *)Block.Header;
    size_t total = sizeof(PoolHeader) + Block.Size;
    size_t at = 0;
    while (at < total) {
        size_t chunk = total - at < sizeof pattern ? total - at : sizeof pattern;
        if (memcmp(bytes + at, pattern, chunk) != 0) {
            break;
        }
        at += chunk;
    }
    while (at < total && bytes[at] == POOL_FREED_BYTE) {
        at++;
    }
    if (at < total) {
        char tag[5], allocated[300], freed[300];
        TagText(Block.Tag, tag);
        HostDescribeSite(Block.AllocSite, allocated, sizeof allocated);
        HostDescribeSite(Block.FreeSite, freed, sizeof freed);
        long offset = (long)at - (long)sizeof(PoolHeader);
        HostReport("POOL_TOUCHED_AFTER_FREE", nullptr, HostCallSite{nullptr, 0},
                   "pool block with tag '%s' of %lu bytes, allocated at %s and freed at %s, was written after its "
                   "free (byte %ld is 0x%02x)",
                   tag, (unsigned long)Block.Size, allocated, freed, offset, bytes[at]);
    }
    free(Block.Header);
}

void *HostPoolAllocate(SIZE_T Size, ULONG Tag, HostCallSite Site, PDRIVER_OBJECT Driver, PDEVICE_OBJECT Device)
{
    HostThreadState *thread = HostThread();
    PoolHeader *header = (PoolHeader *)malloc(sizeof(PoolHeader) + (Size ? Size : 1));
    if (!header) {
        return nullptr;
    }
    header->Magic = POOL_MAGIC;
    header->Tag = Tag;
    header->Size = Size;
    header->Driver = Driver ? Driver : thread->ContextDriver;
    header->Device = Device ? Device : thread->ContextDevice;
    header->Site = Site;
    void *block = header + 1;
    std::lock_guard<std::mutex> guard(PoolLock);
    LiveBlocks.insert(block);
    FreedBlocks.erase(block);
    return block;
}

bool HostPoolIsLive(const void *Block)
{
    std::lock_guard<std::mutex> guard(PoolLock);
    return LiveBlocks.count(Block) != 0;
}

void HostPoolFree(void *Block, HostCallSite Site, const char *What)
{
    bool live, freedBefore;
    {
        std::lock_guard<std::mutex> guard(PoolLock);
        live = LiveBlocks.erase(Block) != 0;
        freedBefore = !live && FreedBlocks.count(Block);
        if (live) {
            if (FreedBlocks.size() > 100000) {
                FreedBlocks.clear();
            }
            FreedBlocks.insert(Block);
        }
    }
    if (!live) {
        if (freedBefore) {
            HostReport("POOL_DOUBLE_FREE", nullptr, Site, "%s %p freed twice", What, Block);
        } else {
            HostReport("POOL_BAD_FREE", nullptr, Site, "%s %p freed, but it is not an allocated block", What, Block);
        }
        return;
    }
    PoolHeader *header = HeaderOf(Block);
    HOST_POOL_FREE_HOOK *hook = FreeHook.load();
    if (hook) {
        hook(Block, header->Size);
    }
    HostLockOrderForgetRange(Block, header->Size);
    header->Magic = 0;
#if POOL_QUARANTINE
    QuarantinedBlock entry = {header, header->Size, header->Tag, header->Site, Site};
    memset(header, POOL_FREED_BYTE, sizeof(PoolHeader) + header->Size);
    std::vector<QuarantinedBlock> evicted;
    {
        std::lock_guard<std::mutex> guard(QuarantineLock);
        Quarantine.push_back(entry);
        QuarantineBytes += entry.Size;
        while (Quarantine.size() > POOL_QUARANTINE_BLOCKS || QuarantineBytes > POOL_QUARANTINE_BYTES) {
            evicted.push_back(Quarantine.front());
            QuarantineBytes -= Quarantine.front().Size;
            Quarantine.pop_front();
        }
    }
    for (const QuarantinedBlock &old : evicted) {
        ReleaseQuarantined(old);
    }
#else
    free(header);
#endif
}

void HostPoolCheckFreed(void)
{
    std::deque<QuarantinedBlock> all;
    {
        std::lock_guard<std::mutex> guard(QuarantineLock);
        all.swap(Quarantine);
        QuarantineBytes = 0;
    }
    for (const QuarantinedBlock &block : all) {
        ReleaseQuarantined(block);
    }
}

/* Allocations asked for by pool type: the seven classic types, then NonPagedPoolNx. */
#define POOL_TYPE_SLOTS 8
static std::atomic<ULONG> AllocationsOfType[POOL_TYPE_SLOTS];

static int PoolTypeSlot(POOL_TYPE PoolType)
{
    if (PoolType == NonPagedPoolNx) {
        return POOL_TYPE_SLOTS - 1;
    }
    return (unsigned)PoolType < POOL_TYPE_SLOTS - 1 ? (int)PoolType : -1;
}

ULONG HostPoolAllocationsOfType(POOL_TYPE PoolType)
{
    int slot = PoolTypeSlot(PoolType);
    return slot < 0 ? 0 : AllocationsOfType[slot].load();
}

PVOID(ExAllocatePoolWithTag)(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag)
{
    HostCallSite site = HostTakeCallSite();
    HostThreadState *thread = HostThread();
    int slot = PoolTypeSlot(PoolType);
    if (slot < 0 || (PoolType == NonPagedPoolNx && !HostWindowsVersionAtLeast(6, 2))) {
        HostReport("POOL_TYPE_UNKNOWN", nullptr, site, "pool type %d, which this Windows does not have", (int)PoolType);
    } else {
        AllocationsOfType[slot]++;
    }
    bool paged = PoolType == PagedPool || PoolType == PagedPoolCacheAligned;
    if (thread->Irql > DISPATCH_LEVEL || (paged && thread->Irql > APC_LEVEL)) {
        HostReport("POOL_IRQL", nullptr, site, "%s pool allocation at IRQL %d", paged ? "paged" : "non-paged",
                   thread->Irql);
    }
    /* Driver Verifier stops a zero-byte request (bug check 0xC4, parameter 0x00); the tag is
     * the caller's choice per allocation path, and only a free names one to check. */
    if (NumberOfBytes == 0) {
        char tag[5];
        TagText(Tag, tag);
        HostReport("POOL_ZERO_BYTES", nullptr, site, "pool allocation of 0 bytes (tag '%s')", tag);
    }
    if (HostShouldFailAllocation(site)) {
        return nullptr;
    }
    return HostPoolAllocate(NumberOfBytes, Tag, site, nullptr, nullptr);
}

PVOID(ExAllocatePool)(POOL_TYPE PoolType, SIZE_T NumberOfBytes)
{
    HostCallSite site = HostTakeCallSite();
    HostNoteCallSite(site.File, site.Line);
    return (ExAllocatePoolWithTag)(PoolType, NumberOfBytes, HOST_POOL_TAG('N', 'o', 'n', 'e'));
}

static void FreeChecked(PVOID P, ULONG Tag, bool CheckTag, HostCallSite Site)
{
    if (HostThread()->Irql > DISPATCH_LEVEL) {
        HostReport("POOL_IRQL", nullptr, Site, "pool freed at IRQL %d", HostThread()->Irql);
    }
    if (!P) {
        HostReport("POOL_BAD_FREE", nullptr, Site, "ExFreePool of a null pointer");
        return;
    }
    if (CheckTag && HostPoolIsLive(P) && HeaderOf(P)->Tag != Tag) {
        char got[5], want[5];
        TagText(Tag, got);
        TagText(HeaderOf(P)->Tag, want);
        HostReport("POOL_WRONG_TAG", nullptr, Site,
                   "ExFreePoolWithTag with tag '%s' of a block allocated with tag '%s'", got, want);
    }
    HostPoolFree(P, Site, "pool block");
}

VOID(ExFreePool)(PVOID P) { FreeChecked(P, 0, false, HostTakeCallSite()); }

VOID(ExFreePoolWithTag)(PVOID P, ULONG Tag) { FreeChecked(P, Tag, true, HostTakeCallSite()); }

/* ---- Ledger --------------------------------------------------------------------------- */

template <typename Match> static HostPoolUsage Sum(Match match)
{
    HostPoolUsage usage = {0, 0};
    std::lock_guard<std::mutex> guard(PoolLock);
    for (const void *block : LiveBlocks) {
        PoolHeader *header = HeaderOf(block);
        if (match(header)) {
            usage.Bytes += header->Size;
            usage.Allocations++;
        }
    }
    return usage;
}

HostPoolUsage HostPoolUsageByTag(ULONG Tag)
{
    return Sum([Tag](PoolHeader *h) { return h->Tag == Tag; });
}

HostPoolUsage HostPoolUsageByDriver(PDRIVER_OBJECT DriverObject)
{
    return Sum([DriverObject](PoolHeader *h) { return h->Driver == DriverObject; });
}

HostPoolUsage HostPoolUsageByDevice(PDEVICE_OBJECT DeviceObject)
{
    return Sum([DeviceObject](PoolHeader *h) { return h->Device == DeviceObject; });
}

void HostPoolReportLeaks(PDRIVER_OBJECT Driver, const char *When)
{
    std::string list;
    ULONG count = 0;
    HostCallSite first = {nullptr, 0};
    {
        std::lock_guard<std::mutex> guard(PoolLock);
        for (const void *block : LiveBlocks) {
            PoolHeader *header = HeaderOf(block);
            if (header->Driver != Driver) {
                continue;
            }
            if (count++ == 0) {
                first = header->Site;
            }
            if (count <= 16) {
                char tag[5], site[300], line[400];
                TagText(header->Tag, tag);
                HostDescribeSite(header->Site, site, sizeof site);
                snprintf(line, sizeof line, "\n        %p: tag '%s', %zu bytes, allocated at %s", block, tag,
                         (size_t)header->Size, site);
                list += line;
            }
        }
    }
    if (count) {
        HostReport("POOL_LEAK", nullptr, first, "%u pool allocation(s) still held at %s:%s", count, When, list.c_str());
    }
}

void HostPoolForgetDevice(PDEVICE_OBJECT Device)
{
    std::lock_guard<std::mutex> guard(PoolLock);
    for (const void *block : LiveBlocks) {
        PoolHeader *header = HeaderOf(block);
        if (header->Device == Device) {
            header->Device = nullptr;
        }
    }
}

/* ---- Run-time library ------------------------------------------------------------------ */

SIZE_T HostRtlCompareMemory(const VOID *Source1, const VOID *Source2, SIZE_T Length)
{
    const UCHAR *a = (const UCHAR *)Source1, *b = (const UCHAR *)Source2;
    SIZE_T i = 0;
    while (i < Length && a[i] == b[i]) {
        i++;
    }
    return i;
}

VOID RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString)
{
    if (!SourceString) {
        DestinationString->Length = DestinationString->MaximumLength = 0;
        DestinationString->Buffer = nullptr;
        return;
    }
    size_t units = 0;
    while (SourceString[units]) {
        units++;
    }
    if (units > 0x7FFE) {
        units = 0x7FFE;
    }
    DestinationString->Length = (USHORT)(units * sizeof(WCHAR));
    DestinationString->MaximumLength = (USHORT)(DestinationString->Length + sizeof(WCHAR));
    DestinationString->Buffer = (PWSTR)SourceString;
}

VOID(RtlFreeUnicodeString)(PUNICODE_STRING UnicodeString)
{
    HostCallSite site = HostTakeCallSite();
    if (UnicodeString->Buffer) {
        FreeChecked(UnicodeString->Buffer, 0, false, site);
    }
    UnicodeString->Buffer = nullptr;
    UnicodeString->Length = UnicodeString->MaximumLength = 0;
}

VOID RtlCopyUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString)
{
    if (!SourceString) {
        DestinationString->Length = 0;
        return;
    }
    USHORT bytes = SourceString->Length < DestinationString->MaximumLength ? SourceString->Length
                                                                           : DestinationString->MaximumLength;
    memmove(DestinationString->Buffer, SourceString->Buffer, bytes);
    DestinationString->Length = bytes;
    if (bytes + sizeof(WCHAR) <= DestinationString->MaximumLength) {
        DestinationString->Buffer[bytes / sizeof(WCHAR)] = 0;
    }
}

static WCHAR Upcase(WCHAR c) { return (c >= u'a' && c <= u'z') ? (WCHAR)(c - u'a' + u'A') : c; }

BOOLEAN RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive)
{
    if (String1->Length != String2->Length) {
        return FALSE;
    }
    for (USHORT i = 0; i < String1->Length / sizeof(WCHAR); i++) {
        WCHAR a = String1->Buffer[i], b = String2->Buffer[i];
        if (CaseInSensitive ? Upcase(a) != Upcase(b) : a != b) {
            return FALSE;
        }
    }
    return TRUE;
}

PVOID HostLibraryAllocatePool(SIZE_T NumberOfBytes, ULONG Tag)
{
    HostCallSite site = HostTakeCallSite();
    if (HostThread()->Irql > DISPATCH_LEVEL) {
        HostReport("POOL_IRQL", nullptr, site, "pool allocation at IRQL %d", HostThread()->Irql);
    }
    if (HostShouldFailAllocation(site)) {
        return nullptr;
    }
    return HostPoolAllocate(NumberOfBytes, Tag, site, nullptr, nullptr);
}
