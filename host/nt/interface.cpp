/*
 * interface.cpp - device interfaces: registration, enabling, and the list of enabled
 * interfaces by class through which user mode finds devices and opens files on them.
 *
 * A symbolic link name is "\??\" + the device instance with backslashes turned into '#',
 * + "#{class guid}" (+ "\" + reference string). User mode sees the same name as
 * "\\?\..." in lower case, as SetupAPI returns it; opening accepts either form, in any case.
 */
#include <stdio.h>
#include <string.h>

#include "host/nt/nt_internal.h"

typedef struct HostInterface {
    GUID Class;
    PDEVICE_OBJECT Pdo;
    std::u16string KernelName; /* \??\... */
    std::u16string UserPath;   /* \\?\... in lower case */
    bool Enabled;
} HostInterface;

/* Registered interfaces (guarded by HostKernelLock). */
static std::vector<HostInterface *> Interfaces;

static char16_t Lower(char16_t c) { return (c >= u'A' && c <= u'Z') ? (char16_t)(c - u'A' + u'a') : c; }

static std::u16string GuidText(const GUID *Guid)
{
    char text[40];
    snprintf(text, sizeof text, "{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}", (unsigned)Guid->Data1,
             Guid->Data2, Guid->Data3, Guid->Data4[0], Guid->Data4[1], Guid->Data4[2], Guid->Data4[3], Guid->Data4[4],
             Guid->Data4[5], Guid->Data4[6], Guid->Data4[7]);
    return std::u16string(text, text + strlen(text));
}

static bool SameGuid(const GUID *a, const GUID *b) { return memcmp(a, b, sizeof(GUID)) == 0; }

NTSTATUS(IoRegisterDeviceInterface)
(PDEVICE_OBJECT PhysicalDeviceObject, const GUID *InterfaceClassGuid, PUNICODE_STRING ReferenceString,
 PUNICODE_STRING SymbolicLinkName)
{
    HostCallSite site = HostTakeCallSite();
    if (HostThread()->Irql != PASSIVE_LEVEL) {
        HostReport("IRQL_NOT_LESS", nullptr, site, "IoRegisterDeviceInterface at IRQL %d", HostThread()->Irql);
    }
    if (!HostDeviceIsLive(PhysicalDeviceObject) || !PhysicalDeviceObject->DeviceObjectExtension->Node) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    if (HostShouldFailCall("IoRegisterDeviceInterface")) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    std::u16string name;
    {
        std::lock_guard<std::mutex> guard(HostKernelLock);
        std::u16string instance = PhysicalDeviceObject->DeviceObjectExtension->Node->InstanceId;
        for (char16_t &c : instance) {
            if (c == u'\\') {
                c = u'#';
            }
        }
        name = u"\\??\\" + instance + u"#" + GuidText(InterfaceClassGuid);
        if (ReferenceString && ReferenceString->Length) {
            name += u"\\" + std::u16string(ReferenceString->Buffer, ReferenceString->Length / sizeof(WCHAR));
        }
        bool known = false;
        for (HostInterface *entry : Interfaces) {
            known = known || entry->KernelName == name;
        }
        if (!known) {
            HostInterface *entry = new HostInterface;
            entry->Class = *InterfaceClassGuid;
            entry->Pdo = PhysicalDeviceObject;
            entry->KernelName = name;
            entry->UserPath = u"\\\\?\\" + name.substr(4);
            for (char16_t &c : entry->UserPath) {
                c = Lower(c);
            }
            entry->Enabled = false;
            Interfaces.push_back(entry);
        }
    }
    size_t bytes = name.size() * sizeof(WCHAR);
    PWSTR buffer = (PWSTR)HostPoolAllocate(bytes + sizeof(WCHAR), HOST_TAG_NAME, site, nullptr, nullptr);
    if (!buffer) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    memcpy(buffer, name.data(), bytes);
    buffer[name.size()] = 0;
    SymbolicLinkName->Buffer = buffer;
    SymbolicLinkName->Length = (USHORT)bytes;
    SymbolicLinkName->MaximumLength = (USHORT)(bytes + sizeof(WCHAR));
    return STATUS_SUCCESS;
}

NTSTATUS(IoSetDeviceInterfaceState)(PUNICODE_STRING SymbolicLinkName, BOOLEAN Enable)
{
    HostCallSite site = HostTakeCallSite();
    if (HostThread()->Irql != PASSIVE_LEVEL) {
        HostReport("IRQL_NOT_LESS", nullptr, site, "IoSetDeviceInterfaceState at IRQL %d", HostThread()->Irql);
    }
    if (HostShouldFailCall("IoSetDeviceInterfaceState")) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    std::u16string name(SymbolicLinkName->Buffer, SymbolicLinkName->Length / sizeof(WCHAR));
    std::lock_guard<std::mutex> guard(HostKernelLock);
    for (HostInterface *entry : Interfaces) {
        if (entry->KernelName != name) {
            continue;
        }
        if (Enable && entry->Enabled) {
            return STATUS_OBJECT_NAME_EXISTS;
        }
        entry->Enabled = Enable != FALSE;
        return STATUS_SUCCESS;
    }
    return STATUS_OBJECT_NAME_NOT_FOUND;
}

void HostDisableInterfacesOf(PDEVICE_OBJECT Pdo)
{
    std::lock_guard<std::mutex> guard(HostKernelLock);
    for (size_t i = 0; i < Interfaces.size();) {
        if (Interfaces[i]->Pdo == Pdo) {
            delete Interfaces[i];
            Interfaces.erase(Interfaces.begin() + (long)i);
        } else {
            i++;
        }
    }
}

void HostForgetInterfaces(void)
{
    std::lock_guard<std::mutex> guard(HostKernelLock);
    for (HostInterface *entry : Interfaces) {
        delete entry;
    }
    Interfaces.clear();
}

static bool StartsWithFolded(const std::u16string &Text, const std::u16string &Prefix)
{
    if (Text.size() < Prefix.size()) {
        return false;
    }
    for (size_t i = 0; i < Prefix.size(); i++) {
        if (Lower(Text[i]) != Lower(Prefix[i])) {
            return false;
        }
    }
    return true;
}

PDEVICE_OBJECT HostFindInterfaceDevice(const std::u16string &Path, std::u16string *Suffix)
{
    std::lock_guard<std::mutex> guard(HostKernelLock);
    for (HostInterface *entry : Interfaces) {
        if (!entry->Enabled) {
            continue;
        }
        for (const std::u16string *name : {&entry->UserPath, &entry->KernelName}) {
            if (!StartsWithFolded(Path, *name)) {
                continue;
            }
            std::u16string rest = Path.substr(name->size());
            if (!rest.empty() && rest[0] != u'\\') {
                continue;
            }
            *Suffix = rest;
            entry->Pdo->ReferenceCount++; /* held by the file being opened */
            return entry->Pdo;
        }
    }
    return nullptr;
}

NTSTATUS HostGetDeviceInterfacePath(const GUID *InterfaceClass, ULONG Index, PWSTR Buffer, ULONG BufferChars,
                                    ULONG *RequiredChars)
{
    std::lock_guard<std::mutex> guard(HostKernelLock);
    ULONG seen = 0;
    for (HostInterface *entry : Interfaces) {
        if (!entry->Enabled || !SameGuid(&entry->Class, InterfaceClass)) {
            continue;
        }
        if (seen++ != Index) {
            continue;
        }
        ULONG needed = (ULONG)entry->UserPath.size() + 1;
        if (RequiredChars) {
            *RequiredChars = needed;
        }
        if (BufferChars < needed) {
            return STATUS_BUFFER_TOO_SMALL;
        }
        memcpy(Buffer, entry->UserPath.data(), entry->UserPath.size() * sizeof(WCHAR));
        Buffer[entry->UserPath.size()] = 0;
        return STATUS_SUCCESS;
    }
    return STATUS_NO_MORE_ENTRIES;
}

/* Disables (keeps registered) every interface of Pdo, as Windows does after a removal. */
void HostDisableInterfaceStatesOf(PDEVICE_OBJECT Pdo)
{
    std::lock_guard<std::mutex> guard(HostKernelLock);
    for (HostInterface *entry : Interfaces) {
        if (entry->Pdo == Pdo) {
            entry->Enabled = false;
        }
    }
}

ULONG HostEnabledInterfaceCount(PDEVICE_OBJECT Pdo)
{
    std::lock_guard<std::mutex> guard(HostKernelLock);
    ULONG count = 0;
    for (HostInterface *entry : Interfaces) {
        if (entry->Pdo == Pdo && entry->Enabled) {
            count++;
        }
    }
    return count;
}
