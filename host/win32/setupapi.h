/*
 * setupapi.h - the device-interface enumeration of SetupAPI for the Win32 stand-in, over the
 * kernel stand-in's list of enabled interfaces. The records have their 32-bit Windows
 * layouts: SP_DEVICE_INTERFACE_DATA is 28 bytes and the fixed part of
 * SP_DEVICE_INTERFACE_DETAIL_DATA_A 5, and cbSize must say so.
 */
#ifndef MURVO_HOST_WIN32_SETUPAPI_H
#define MURVO_HOST_WIN32_SETUPAPI_H

#include "posix/win32_types.h"
#include "host/nt/nt_types.h"

#define DIGCF_DEFAULT 0x00000001
#define DIGCF_PRESENT 0x00000002
#define DIGCF_ALLCLASSES 0x00000004
#define DIGCF_PROFILE 0x00000008
#define DIGCF_DEVICEINTERFACE 0x00000010

#define SPINT_ACTIVE 0x00000001
#define SPINT_DEFAULT 0x00000002
#define SPINT_REMOVED 0x00000004

typedef void *HDEVINFO;
typedef struct _SP_DEVINFO_DATA SP_DEVINFO_DATA, *PSP_DEVINFO_DATA;
typedef void *HWND;

typedef struct _SP_DEVICE_INTERFACE_DATA {
    DWORD cbSize;
    GUID InterfaceClassGuid;
    DWORD Flags;
    uint32_t Reserved; /* a ULONG_PTR in a 32-bit program */
} SP_DEVICE_INTERFACE_DATA, *PSP_DEVICE_INTERFACE_DATA;

#pragma pack(push, 1)
typedef struct _SP_DEVICE_INTERFACE_DETAIL_DATA_A {
    DWORD cbSize;
    CHAR DevicePath[1];
} SP_DEVICE_INTERFACE_DETAIL_DATA_A, *PSP_DEVICE_INTERFACE_DETAIL_DATA_A;
#pragma pack(pop)

static_assert(sizeof(SP_DEVICE_INTERFACE_DATA) == 28, "32-bit layout");
static_assert(sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A) == 5, "32-bit layout");

HDEVINFO SetupDiGetClassDevsA(const GUID *ClassGuid, LPCSTR Enumerator, HWND hwndParent, DWORD Flags);
BOOL SetupDiEnumDeviceInterfaces(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                 const GUID *InterfaceClassGuid, DWORD MemberIndex,
                                 PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData);
BOOL SetupDiGetDeviceInterfaceDetailA(HDEVINFO DeviceInfoSet, PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData,
                                      PSP_DEVICE_INTERFACE_DETAIL_DATA_A DeviceInterfaceDetailData,
                                      DWORD DeviceInterfaceDetailDataSize, LPDWORD RequiredSize,
                                      PSP_DEVINFO_DATA DeviceInfoData);
BOOL SetupDiDestroyDeviceInfoList(HDEVINFO DeviceInfoSet);

#endif /* MURVO_HOST_WIN32_SETUPAPI_H */
