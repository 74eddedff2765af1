/*
 * wdm_platform.h - the one door of murvousb to its platform.
 *
 * On Windows it is the DDK: ntddk.h with the USB driver interface. On the Linux host it is
 * the stand-in of the kernel and of the USB bus driver, which spell every name the way
 * Windows does. Nothing else in driver/ includes a platform header.
 */
#ifndef MURVO_DRIVER_WDM_PLATFORM_H
#define MURVO_DRIVER_WDM_PLATFORM_H

#ifdef _WIN32
/* mingw-w64's intrin.h already defines these two inline; wdm.h would define them again,
   which C++ refuses. Marking them as defined keeps the intrinsic versions. */
#define __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#define __INTRINSIC_DEFINED_InterlockedBitTestAndReset
#include <ntddk.h>
#include <usb.h>
#include <usbdi.h>
#include <usbioctl.h>
/* usbdlib.h carries no C linkage block of its own; USBD.SYS exports undecorated C names. */
#ifdef __cplusplus
extern "C" {
#endif
#include <usbdlib.h>
#ifdef __cplusplus
}
#endif
#define WIDE_TEXT(s) L##s
#else
#include "host/nt/ntddk.h"
#include "host/usb/usbdi.h"
#include "host/usb/usbdlib.h"
#endif

#include "common/murvo_public.h"

#endif /* MURVO_DRIVER_WDM_PLATFORM_H */
