/*
 * nt_test_support.h - the fixture every test of the kernel stand-in uses: the test bus is
 * loaded, the verifier is on (a report fails the test), and the kernel is reset afterwards
 * with nothing left behind.
 */
#ifndef MURVO_TESTS_NT_NT_TEST_SUPPORT_H
#define MURVO_TESTS_NT_NT_TEST_SUPPORT_H

#include <gtest/gtest.h>

#include "nt/test_drivers.h"

class NtTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        GTEST_FLAG_SET(death_test_style, "threadsafe");
        TestLogClear();
        TestBusSetMode(TestBusCompleteNow, STATUS_SUCCESS);
        TestFunctionRefuseQueryStop = 0;
        TestFunctionRefuseQueryPower = 0;
        Reports = HostVerifierReportCount();
        ASSERT_EQ(STATUS_SUCCESS, HostLoadDriver(&TestBusInfo, &Bus));
    }

    void TearDown() override
    {
        if (Bus && !Bus->DeviceObject) {
            HostUnloadDriver(Bus);
        }
        HostKernelReset();
        EXPECT_EQ(Reports, HostVerifierReportCount()) << "the verifier reported a violation";
        EXPECT_EQ(0u, HostLiveIrpCount());
        EXPECT_EQ(0u, HostLiveMdlCount());
    }

    /* Announces a new unit of the test bus, driven by TestFunction. */
    HostDeviceNode *Arrive(PDEVICE_OBJECT *Pdo, PCWSTR Instance = u"TEST\\UNIT\\1")
    {
        *Pdo = TestBusCreatePdo();
        HostDeviceNode *node = nullptr;
        EXPECT_EQ(STATUS_SUCCESS, HostPnpDeviceArrived(*Pdo, Instance, &TestFunctionInfo, &node));
        return node;
    }

    /* Unplugs the unit for good: removal, then the bus deletes its PDO. */
    void Unplug(HostDeviceNode *Node, PDEVICE_OBJECT Pdo)
    {
        TestBusMarkGone(Pdo);
        EXPECT_EQ(STATUS_SUCCESS, HostPnpUninstall(Node));
    }

    PDRIVER_OBJECT Bus = nullptr;
    ULONG Reports = 0;
};

#endif /* MURVO_TESTS_NT_NT_TEST_SUPPORT_H */
