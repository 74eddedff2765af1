/*
 * usb_layout_win32.cpp - compiled (not run) by a 32-bit compiler: the stand-in's USB
 * records must have the sizes of the 32-bit Windows layout that murvousb is built for.
 * usbdi.h asserts them when pointers are 32 bits wide.
 */
#include "host/usb/usbdlib.h"

static_assert(GET_SELECT_CONFIGURATION_REQUEST_SIZE(1, 2) == 80, "select configuration of the unit: 80 bytes");
static_assert(sizeof(URB) >= sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), "URB holds every request");

int main() { return 0; }
