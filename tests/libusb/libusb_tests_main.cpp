/*
 * libusb_tests_main.cpp - runs the libusb tests under umockdev's preload library.
 */
#include "tests/libusb/usb_unit_bed.h"

#include <gtest/gtest.h>

int main(int argc, char **argv)
{
    UsbUnitBedEnsurePreload(argc, argv);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
