/*
 * setupapi.cpp - device-interface enumeration for the Win32 stand-in. A device information
 * set is a snapshot of the enabled interfaces of one class, taken when the set is made.
 */
#include "host/nt/host_kernel.h"
#include "posix/handle_table.h"
#include "host/win32/setupapi.h"
#include "posix/win32_handles.h"
#include "host/win32/win32_process.h"

#include <stddef.h>
#include <string.h>
#include <string>
#include <vector>

struct HostDeviceInfoSet {
    HostHandle Header;
    GUID InterfaceClass;
    std::vector<std::string> Paths; /* user-mode interface paths, in enumeration order */
};

static HostDeviceInfoSet *SetOf(HDEVINFO Handle)
{
    return (HostDeviceInfoSet *)HostHandleOf(Handle, HostHandleDeviceInfoSet);
}

HDEVINFO SetupDiGetClassDevsA(const GUID *ClassGuid, LPCSTR Enumerator, HWND hwndParent, DWORD Flags)
{
    (void)hwndParent;
    if (ClassGuid == NULL || Enumerator != NULL || (Flags & DIGCF_DEVICEINTERFACE) == 0 ||
        (Flags & (DIGCF_ALLCLASSES | DIGCF_PROFILE)) != 0) {
        /* Only the enumeration of interfaces by class is modelled. */
        SetLastError(1004 /* ERROR_INVALID_FLAGS */);
        return INVALID_HANDLE_VALUE;
    }
    HostWin32Process(); /* the machine is up before anything is enumerated */
    HostDeviceInfoSet *set = new HostDeviceInfoSet();
    set->Header.Kind = HostHandleDeviceInfoSet;
    set->InterfaceClass = *ClassGuid;
    for (ULONG index = 0;; index++) {
        WCHAR path[1024];
        ULONG required = 0;
        NTSTATUS status = HostGetDeviceInterfacePath(ClassGuid, index, path, sizeof path / sizeof path[0], &required);
        if (status == STATUS_NO_MORE_ENTRIES) {
            break;
        }
        if (!NT_SUCCESS(status)) {
            continue; /* a path too long for any program to use */
        }
        std::string narrow;
        for (const WCHAR *c = path; *c != 0; c++) {
            narrow.push_back(*c < 0x80 ? (char)*c : '?');
        }
        set->Paths.push_back(narrow);
    }
    return set;
}

BOOL SetupDiEnumDeviceInterfaces(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                 const GUID *InterfaceClassGuid, DWORD MemberIndex,
                                 PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData)
{
    HostDeviceInfoSet *set = SetOf(DeviceInfoSet);
    if (set == NULL) {
        return FALSE;
    }
    if (DeviceInfoData != NULL || InterfaceClassGuid == NULL || DeviceInterfaceData == NULL) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (DeviceInterfaceData->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) {
        SetLastError(1784 /* ERROR_INVALID_USER_BUFFER */);
        return FALSE;
    }
    if (memcmp(InterfaceClassGuid, &set->InterfaceClass, sizeof(GUID)) != 0 || MemberIndex >= set->Paths.size()) {
        SetLastError(ERROR_NO_MORE_ITEMS);
        return FALSE;
    }
    DeviceInterfaceData->InterfaceClassGuid = set->InterfaceClass;
    DeviceInterfaceData->Flags = SPINT_ACTIVE;
    DeviceInterfaceData->Reserved = MemberIndex + 1; /* names the member for the detail call */
    return TRUE;
}

BOOL SetupDiGetDeviceInterfaceDetailA(HDEVINFO DeviceInfoSet, PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData,
                                      PSP_DEVICE_INTERFACE_DETAIL_DATA_A DeviceInterfaceDetailData,
                                      DWORD DeviceInterfaceDetailDataSize, LPDWORD RequiredSize,
                                      PSP_DEVINFO_DATA DeviceInfoData)
{
    HostDeviceInfoSet *set = SetOf(DeviceInfoSet);
    if (set == NULL) {
        return FALSE;
    }
    if (DeviceInterfaceData == NULL || DeviceInfoData != NULL ||
        DeviceInterfaceData->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA) || DeviceInterfaceData->Reserved == 0 ||
        DeviceInterfaceData->Reserved > set->Paths.size()) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const std::string &path = set->Paths[DeviceInterfaceData->Reserved - 1];
    DWORD required = (DWORD)(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) + path.size() + 1);
    if (RequiredSize != NULL) {
        *RequiredSize = required;
    }
    if (DeviceInterfaceDetailData == NULL) {
        SetLastError(DeviceInterfaceDetailDataSize == 0 ? ERROR_INSUFFICIENT_BUFFER : ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (DeviceInterfaceDetailData->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) {
        SetLastError(1784 /* ERROR_INVALID_USER_BUFFER */);
        return FALSE;
    }
    if (DeviceInterfaceDetailDataSize < required) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    memcpy(DeviceInterfaceDetailData->DevicePath, path.c_str(), path.size() + 1);
    return TRUE;
}

BOOL SetupDiDestroyDeviceInfoList(HDEVINFO DeviceInfoSet)
{
    HostDeviceInfoSet *set = SetOf(DeviceInfoSet);
    if (set == NULL) {
        return FALSE;
    }
    set->Header.Kind = (HostHandleKind)0;
    delete set;
    return TRUE;
}
