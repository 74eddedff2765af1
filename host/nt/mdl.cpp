/*
 * mdl.cpp - memory descriptor lists.
 *
 * The host has one address space, so an MDL describes its buffer by address alone: StartVa
 * (page-aligned) and ByteOffset give the first byte, ByteCount the length, and "mapping"
 * an MDL yields that same address. No MDL operation ever copies data. The capacity of an
 * MDL (the pages it can describe, from Size) is kept, so that a partial MDL built into a
 * too-small MDL or outside its source is caught. Each partial MDL remembers its source, so
 * that one mapped or used after its source was freed (the request that carried the source
 * completed, and the I/O manager freed its MDL) is caught too.
 */
#include <string.h>

#include <unordered_map>
#include <unordered_set>

#include "host/nt/nt_internal.h"

/* Guards the set of MDLs that exist and the sources of the partial ones. */
static std::mutex MdlSetLock;
static std::unordered_set<PMDL> LiveMdls;
/* Each partial MDL's source; null once the source was freed. */
static std::unordered_map<PMDL, PMDL> PartialSources;

/* Reports at Site a partial MDL whose source MDL was freed, which Routine maps or uses. */
static void CheckPartialSource(PMDL Mdl, HostCallSite Site, const char *Routine)
{
    bool orphaned;
    {
        std::lock_guard<std::mutex> guard(MdlSetLock);
        auto it = PartialSources.find(Mdl);
        orphaned = it != PartialSources.end() && it->second == nullptr;
    }
    if (orphaned) {
        HostReport("MDL_SOURCE_FREED", nullptr, Site,
                   "%s of partial MDL %p, whose source MDL was freed (its request completed?)", Routine, (void *)Mdl);
    }
}

VOID HostCheckMdlUsable(PMDL Mdl, const char *User) { CheckPartialSource(Mdl, HostCallSite{nullptr, 0}, User); }

static ULONG SpanPages(const void *Va, ULONG Length)
{
    ULONG_PTR start = (ULONG_PTR)Va & ~(ULONG_PTR)(PAGE_SIZE - 1);
    ULONG_PTR end = (ULONG_PTR)Va + Length;
    return Length ? (ULONG)((end - start + PAGE_SIZE - 1) >> PAGE_SHIFT) : 1;
}

static ULONG CapacityPages(PMDL Mdl) { return (ULONG)((Mdl->Size - sizeof(MDL)) / sizeof(ULONG_PTR)); }

static void Describe(PMDL Mdl, PVOID Va, ULONG Length)
{
    Mdl->StartVa = (PVOID)((ULONG_PTR)Va & ~(ULONG_PTR)(PAGE_SIZE - 1));
    Mdl->ByteOffset = (ULONG)((ULONG_PTR)Va & (PAGE_SIZE - 1));
    Mdl->ByteCount = Length;
}

PMDL HostAllocateMdl(PVOID VirtualAddress, ULONG Length, HostCallSite Site, PDRIVER_OBJECT Driver)
{
    ULONG pages = SpanPages(VirtualAddress, Length);
    size_t size = sizeof(MDL) + pages * sizeof(ULONG_PTR);
    HostContextSave save = {nullptr, nullptr};
    if (!Driver) {
        save = HostEnterDriver(nullptr, nullptr);
    }
    PMDL mdl = (PMDL)HostPoolAllocate(size, HOST_TAG_MDL, Site, nullptr, nullptr);
    if (!Driver) {
        HostLeaveDriver(save);
    }
    if (!mdl) {
        return nullptr;
    }
    memset(mdl, 0, size);
    mdl->Size = (CSHORT)size;
    mdl->MdlFlags = MDL_ALLOCATED_FIXED_SIZE;
    Describe(mdl, VirtualAddress, Length);
    std::lock_guard<std::mutex> guard(MdlSetLock);
    LiveMdls.insert(mdl);
    return mdl;
}

void HostFreeMdl(PMDL Mdl, HostCallSite Site)
{
    {
        std::lock_guard<std::mutex> guard(MdlSetLock);
        if (!LiveMdls.erase(Mdl)) {
            HostReport("MDL_DOUBLE_FREE", nullptr, Site,
                       "IoFreeMdl of %p, which is not an allocated MDL (freed twice?)", (void *)Mdl);
            return;
        }
        PartialSources.erase(Mdl);
        for (auto &partial : PartialSources) {
            if (partial.second == Mdl) {
                partial.second = nullptr;
            }
        }
    }
    HostPoolFree(Mdl, Site, "MDL");
}

ULONG HostLiveMdlCount(void)
{
    std::lock_guard<std::mutex> guard(MdlSetLock);
    return (ULONG)LiveMdls.size();
}

PMDL(IoAllocateMdl)(PVOID VirtualAddress, ULONG Length, BOOLEAN SecondaryBuffer, BOOLEAN ChargeQuota, PIRP Irp)
{
    (void)ChargeQuota;
    HostCallSite site = HostTakeCallSite();
    if (HostThread()->Irql > DISPATCH_LEVEL) {
        HostReport("IRQL_NOT_LESS", nullptr, site, "IoAllocateMdl at IRQL %d", HostThread()->Irql);
    }
    if (HostShouldFailAllocation(site)) {
        return nullptr;
    }
    PMDL mdl = HostAllocateMdl(VirtualAddress, Length, site, HostThread()->ContextDriver);
    if (mdl && Irp) {
        if (!SecondaryBuffer) {
            Irp->MdlAddress = mdl;
        } else {
            PMDL *link = &Irp->MdlAddress;
            while (*link) {
                link = &(*link)->Next;
            }
            *link = mdl;
        }
    }
    return mdl;
}

VOID(IoFreeMdl)(PMDL Mdl) { HostFreeMdl(Mdl, HostTakeCallSite()); }

VOID(IoBuildPartialMdl)(PMDL SourceMdl, PMDL TargetMdl, PVOID VirtualAddress, ULONG Length)
{
    HostCallSite site = HostTakeCallSite();
    CheckPartialSource(SourceMdl, site, "IoBuildPartialMdl from");
    {
        std::lock_guard<std::mutex> guard(MdlSetLock);
        /* Only MDLs of IoAllocateMdl are followed: a source built elsewhere has no free to see. */
        if (LiveMdls.count(SourceMdl) && LiveMdls.count(TargetMdl)) {
            PartialSources[TargetMdl] = SourceMdl;
        } else {
            PartialSources.erase(TargetMdl);
        }
    }
    char *sourceVa = (char *)MmGetMdlVirtualAddress(SourceMdl);
    char *va = (char *)VirtualAddress;
    if (va < sourceVa || va > sourceVa + SourceMdl->ByteCount) {
        HostReport("MDL_OUT_OF_RANGE", nullptr, site, "IoBuildPartialMdl at %p, outside the source MDL [%p, +%u)",
                   (void *)va, (void *)sourceVa, SourceMdl->ByteCount);
        return;
    }
    if (Length == 0) {
        Length = (ULONG)(sourceVa + SourceMdl->ByteCount - va);
    }
    if (va + Length > sourceVa + SourceMdl->ByteCount) {
        HostReport("MDL_OUT_OF_RANGE", nullptr, site,
                   "IoBuildPartialMdl of %u bytes at offset %ld runs past the source's %u bytes", Length,
                   (long)(va - sourceVa), SourceMdl->ByteCount);
    }
    if (SpanPages(va, Length) > CapacityPages(TargetMdl)) {
        HostReport("MDL_OUT_OF_RANGE", nullptr, site,
                   "IoBuildPartialMdl of %u bytes into an MDL that can describe %u page(s)", Length,
                   CapacityPages(TargetMdl));
    }
    Describe(TargetMdl, va, Length);
    TargetMdl->Process = SourceMdl->Process;
    TargetMdl->MdlFlags = (CSHORT)((TargetMdl->MdlFlags & MDL_ALLOCATED_FIXED_SIZE) | MDL_PARTIAL |
                                   (SourceMdl->MdlFlags & (MDL_IO_PAGE_READ | MDL_WRITE_OPERATION)));
    TargetMdl->MappedSystemVa = nullptr;
    if (SourceMdl->MdlFlags & MDL_SOURCE_IS_NONPAGED_POOL) {
        TargetMdl->MdlFlags |= MDL_SOURCE_IS_NONPAGED_POOL;
        TargetMdl->MappedSystemVa = va;
    } else if (SourceMdl->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA) {
        TargetMdl->MdlFlags |= MDL_PARENT_MAPPED_SYSTEM_VA;
        TargetMdl->MappedSystemVa = (char *)SourceMdl->MappedSystemVa + (va - sourceVa);
    }
    if (SourceMdl->MdlFlags & (MDL_PAGES_LOCKED | MDL_PARTIAL | MDL_SOURCE_IS_NONPAGED_POOL)) {
        TargetMdl->MdlFlags |= MDL_PAGES_LOCKED;
    }
}

PVOID HostMmMapMdl(PMDL Mdl, MM_PAGE_PRIORITY Priority)
{
    (void)Priority;
    HostCallSite site = HostTakeCallSite();
    if (HostThread()->Irql > DISPATCH_LEVEL) {
        HostReport("IRQL_NOT_LESS", nullptr, site, "MmGetSystemAddressForMdlSafe at IRQL %d", HostThread()->Irql);
    }
    CheckPartialSource(Mdl, site, "MmGetSystemAddressForMdlSafe");
    if (!(Mdl->MdlFlags & (MDL_PAGES_LOCKED | MDL_PARTIAL))) {
        HostReport("NOT_MODELLED", nullptr, site, "mapping MDL %p whose pages are not locked", (void *)Mdl);
    }
    Mdl->MappedSystemVa = MmGetMdlVirtualAddress(Mdl);
    Mdl->MdlFlags |= MDL_MAPPED_TO_SYSTEM_VA | ((Mdl->MdlFlags & MDL_PARTIAL) ? MDL_PARTIAL_HAS_BEEN_MAPPED : 0);
    return Mdl->MappedSystemVa;
}

VOID MmBuildMdlForNonPagedPool(PMDL MemoryDescriptorList)
{
    MemoryDescriptorList->MdlFlags |= MDL_SOURCE_IS_NONPAGED_POOL;
    MemoryDescriptorList->MappedSystemVa = MmGetMdlVirtualAddress(MemoryDescriptorList);
}

VOID MmProbeAndLockPages(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode, LOCK_OPERATION Operation)
{
    (void)AccessMode;
    MemoryDescriptorList->MdlFlags |= MDL_PAGES_LOCKED | (Operation != IoReadAccess ? MDL_WRITE_OPERATION : 0);
}

VOID MmUnlockPages(PMDL MemoryDescriptorList)
{
    MemoryDescriptorList->MdlFlags &= (CSHORT) ~(MDL_PAGES_LOCKED | MDL_MAPPED_TO_SYSTEM_VA);
    MemoryDescriptorList->MappedSystemVa = nullptr;
}
