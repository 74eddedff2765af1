/*
 * nt_header_check.cpp - compiles the stand-in's public headers on their own, so that a
 * header that stops being self-contained breaks the build here first.
 */
#include "host/nt/host_kernel.h"
#include "host/nt/ntddk.h"

static_assert(sizeof(LONG) == 4 && sizeof(ULONG) == 4, "LONG and ULONG are 32-bit");
static_assert(sizeof(WCHAR) == 2, "wide characters are 16-bit code units");
static_assert(sizeof(DEVICE_POWER_STATE) == 4, "power states are 32-bit enumerations");
static_assert(sizeof(DEVICE_CAPABILITIES) == 64, "DEVICE_CAPABILITIES is 64 bytes");
static_assert(HOST_POOL_TAG('W', 'd', 'm', ' ') == 0x206d6457u, "tags read as little-endian multi-character constants");
