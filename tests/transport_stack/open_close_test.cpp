/*
 * open_close_test.cpp - opening and closing the transport on the simulated machine: the
 * first and a second cycle, a pipe held by someone else, discovery past a unit that refuses
 * to open, a user who is no administrator, and no unit at all; the reason line of each failure.
 */
#include "transport_stack/stack_machine.h"
#include "host/win32/status_map.h"
#include "posix/handle_table.h"

#include <gtest/gtest.h>

#include <string.h>

static const GUID UnitClass = MURVO_INTERFACE_GUID_INIT;

static bool EndsWith(const char *text, const char *tail)
{
    size_t length = strlen(text), tailLength = strlen(tail);
    return length >= tailLength && strcmp(text + length - tailLength, tail) == 0;
}

TEST(TransportStackOpen, OpenRoundTripAndCloseLeaveNothingOpen)
{
    BOOT_STACK_OR_SKIP(1, "");
    ASSERT_TRUE(OpenTransport());
    EXPECT_NE(ReadHandle, INVALID_HANDLE_VALUE);
    EXPECT_NE(WriteHandle, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(EndsWith(DevicePath, "\\PIPE01")) << DevicePath;
    EXPECT_EQ(OpenFilesSettled(1, 2), 2u); /* the two pipes; the probes were closed */

    EXPECT_EQ(RoundTripOsVersion(), STACK_OS_VERSION);
    EXPECT_EQ(SimUnitCommandCount(StackSim(1), SimGetOsVersion), 1u);

    CloseTransport();
    EXPECT_EQ(ReadHandle, INVALID_HANDLE_VALUE);
    EXPECT_EQ(WriteHandle, INVALID_HANDLE_VALUE);
    EXPECT_EQ(OpenFilesSettled(1, 0), 0u);
    CloseTransport(); /* a second close finds nothing to do */
    EXPECT_EQ(OpenFilesSettled(1, 0), 0u);
    EXPECT_TRUE(StackUnitState(1).Started);
}

/* Built with the address sanitizer, this case also finds a read event of the first cycle
 * that the second one lost. */
TEST(TransportStackOpen, SecondCycleWakesTheUnitAgain)
{
    BOOT_STACK_OR_SKIP(1, "");
    ASSERT_TRUE(OpenTransport());
    EXPECT_EQ(StackUnitState(1).PowerState, PowerDeviceD0);
    EXPECT_EQ(RoundTripOsVersion(), STACK_OS_VERSION);
    CloseTransport();
    /* With no pipe open the driver lets the unit sleep. */
    EXPECT_NE(WaitPoweredDown(1, 3000), PowerDeviceD0);

    ASSERT_TRUE(OpenTransport());
    EXPECT_EQ(StackUnitState(1).PowerState, PowerDeviceD0);
    EXPECT_EQ(RoundTripOsVersion(), STACK_OS_VERSION);
    EXPECT_EQ(RoundTripOsVersion(), STACK_OS_VERSION);
    EXPECT_EQ(SimUnitCommandCount(StackSim(1), SimGetOsVersion), 3u);
    CloseTransport();
    EXPECT_EQ(OpenFilesSettled(1, 0), 0u);
    EXPECT_NE(WaitPoweredDown(1, 3000), PowerDeviceD0);
}

TEST(TransportStackOpen, ReadPipeHeldElsewhereFailsAndLeavesOnlyTheHolder)
{
    BOOT_STACK_OR_SKIP(1, "");
    char path[DEVICE_PATH_CHARS];
    ASSERT_TRUE(ProbeUnit(&UnitClass, path));
    char pipePath[DEVICE_PATH_CHARS + 8];
    snprintf(pipePath, sizeof pipePath, "%s\\PIPE00", path);
    HANDLE holder = CreateFileA(pipePath, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                                OPEN_EXISTING, FILE_FLAG_OVERLAPPED, NULL);
    ASSERT_NE(holder, INVALID_HANDLE_VALUE);
    ASSERT_EQ(OpenFilesSettled(1, 1), 1u);

    testing::internal::CaptureStderr();
    EXPECT_FALSE(OpenTransport());
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "The MURVO unit is in use by another program: close it, then try again\n");
    /* The write pipe was still tried after the read pipe failed, and closed again. */
    EXPECT_TRUE(EndsWith(DevicePath, "\\PIPE01")) << DevicePath;
    EXPECT_EQ(ReadHandle, INVALID_HANDLE_VALUE);
    EXPECT_EQ(WriteHandle, INVALID_HANDLE_VALUE);
    EXPECT_EQ(OpenFilesSettled(1, 1), 1u);

    /* Once the holder lets go, the pipe is free for the transport. */
    ASSERT_TRUE(CloseHandle(holder));
    EXPECT_EQ(OpenFilesSettled(1, 0), 0u);
    ASSERT_TRUE(OpenTransport());
    EXPECT_EQ(RoundTripOsVersion(), STACK_OS_VERSION);
    CloseTransport();
    EXPECT_EQ(OpenFilesSettled(1, 0), 0u);
}

TEST(TransportStackOpen, DiscoveryPassesOverAUnitThatRefusesToOpen)
{
    BOOT_STACK_OR_SKIP(2, "");
    /* A pending stop makes the first unit's driver refuse every create. */
    ASSERT_EQ(HostPnpQueryStop(StackNode(1)), STATUS_SUCCESS);

    /* Both interfaces are still listed, so the first one really is tried and refused. */
    HDEVINFO set = SetupDiGetClassDevsA(&UnitClass, NULL, NULL, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    ASSERT_NE(set, INVALID_HANDLE_VALUE);
    SP_DEVICE_INTERFACE_DATA data;
    memset(&data, 0, sizeof data);
    data.cbSize = sizeof data;
    EXPECT_TRUE(SetupDiEnumDeviceInterfaces(set, NULL, &UnitClass, 1, &data));
    SetupDiDestroyDeviceInfoList(set);

    ASSERT_TRUE(OpenTransport());
    EXPECT_EQ(OpenFilesSettled(1, 0), 0u);
    EXPECT_EQ(OpenFilesSettled(2, 2), 2u);
    EXPECT_EQ(RoundTripOsVersion(), STACK_OS_VERSION);
    EXPECT_EQ(SimUnitCommandCount(StackSim(1), SimGetOsVersion), 0u);
    EXPECT_EQ(SimUnitCommandCount(StackSim(2), SimGetOsVersion), 1u);
    CloseTransport();
    EXPECT_EQ(OpenFilesSettled(2, 0), 0u);

    /* Back in service, the first unit is the one found again. */
    ASSERT_EQ(HostPnpCancelStop(StackNode(1)), STATUS_SUCCESS);
    char path[DEVICE_PATH_CHARS];
    HANDLE unit = FindUnitInterface(&UnitClass, path);
    ASSERT_NE(unit, INVALID_HANDLE_VALUE);
    EXPECT_EQ(OpenFilesSettled(1, 1), 1u);
    EXPECT_EQ(OpenFilesSettled(2, 0), 0u);
    CloseHandle(unit);
}

TEST(TransportStackOpen, NoUnitNoTransport)
{
    BOOT_STACK_OR_SKIP(0, "");
    char path[DEVICE_PATH_CHARS];
    EXPECT_EQ(FindUnitInterface(&UnitClass, path), INVALID_HANDLE_VALUE);
    EXPECT_FALSE(ProbeUnit(&UnitClass, path));
    testing::internal::CaptureStderr();
    EXPECT_FALSE(OpenTransport());
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "No MURVO unit found: none is plugged in, or its driver (murvousb) is not installed\n");
    EXPECT_EQ(ReadHandle, INVALID_HANDLE_VALUE);
    EXPECT_EQ(WriteHandle, INVALID_HANDLE_VALUE);
    CloseTransport();
}

/* murvousb.inf lets SYSTEM and Administrators alone open a unit: a user without an elevated
 * administrator's token is refused before the driver sees the open, and told what to do. */
TEST(TransportStackOpen, AUserWhoIsNoAdministratorIsToldToUseAnAdministratorPrompt)
{
    BOOT_STACK_OR_SKIP(1, "");
    HostSetUserIsAdministrator(FALSE);
    char path[DEVICE_PATH_CHARS];
    EXPECT_EQ(FindUnitInterface(&UnitClass, path), INVALID_HANDLE_VALUE);
    EXPECT_EQ(CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING,
                          0, NULL),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
    testing::internal::CaptureStderr();
    EXPECT_FALSE(OpenTransport());
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Access to the MURVO unit denied: run vardel from a Command Prompt run as administrator\n");
    EXPECT_EQ(OpenFilesSettled(1, 0), 0u);

    HostSetUserIsAdministrator(TRUE);
    ASSERT_TRUE(OpenTransport());
    EXPECT_EQ(RoundTripOsVersion(), STACK_OS_VERSION);
    CloseTransport();
}

/* The Win32 error of a status is Windows' own also where Wine 8's RtlNtStatusToDosError, which
 * the tests under Wine compare with, gives another (STATUS_NO_SUCH_DEVICE: Windows 2, Wine 433). */
TEST(Win32ErrorOfStatus, IsWindowsOwnWhereWineDiffers)
{
    EXPECT_EQ(HostWin32ErrorOf(static_cast<int32_t>(0xC000000E) /* STATUS_NO_SUCH_DEVICE */),
              2u /* ERROR_FILE_NOT_FOUND */);
}
