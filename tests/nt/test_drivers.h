/*
 * test_drivers.h - small WDM drivers that exercise the kernel stand-in.
 *
 * TestBus: a bus driver whose physical device objects answer plug-and-play and power
 * requests as a bus driver does, and answer reads, writes and device controls the way the
 * test sets (complete at once, or hold them until the test completes them from another
 * thread, with a cancel routine).
 * TestFunction: a well-behaved function driver: AddDevice, start with a completion routine
 * and a wait, removal that detaches and deletes, power requests through PoRequestPowerIrp,
 * a device interface, and pass-through of everything else.
 * Both log what reaches them (TestLog), with the IRQL at arrival.
 */
#ifndef MURVO_TESTS_NT_TEST_DRIVERS_H
#define MURVO_TESTS_NT_TEST_DRIVERS_H

#include <string>
#include <vector>

#include "host/nt/host_kernel.h"

extern const HostDriverInfo TestBusInfo;
extern const HostDriverInfo TestFunctionInfo;
extern const GUID TestInterfaceClass;
#define TEST_TAG HOST_POOL_TAG('T', 's', 't', ' ')

/* How the bus answers a read, write or device-control request. */
typedef enum TestBusMode {
    TestBusCompleteNow, /* complete in dispatch with the set status; a read fills the buffer with 0xA5 */
    TestBusHold         /* mark pending and keep the request, with a cancel routine */
} TestBusMode;

void TestBusSetMode(TestBusMode Mode, NTSTATUS Status);
/* Completes the oldest held request with Status and Information; FALSE when none is held. */
BOOLEAN TestBusCompleteHeld(NTSTATUS Status, ULONG_PTR Information);
ULONG TestBusHeldCount(void);
/* Creates a physical device object of the loaded bus (capabilities: S1->D1, S3->D3, wake D2). */
PDEVICE_OBJECT TestBusCreatePdo(void);
/* Marks the device gone: its next REMOVE deletes the physical device object. */
void TestBusMarkGone(PDEVICE_OBJECT Pdo);

/* TestFunction: holds the system set-power request while its own device request runs. */
extern volatile LONG TestFunctionRefuseQueryStop;
extern volatile LONG TestFunctionRefuseQueryPower;
/* TestFunction: from TestFunctionHoldCreates on, a create waits inside the driver (after
 * logging "FDO OPEN ...") until TestFunctionReleaseCreate; TestFunctionWaitCreateHeld waits
 * until one does. */
void TestFunctionHoldCreates(void);
void TestFunctionWaitCreateHeld(void);
void TestFunctionReleaseCreate(void);

/* The log: "FDO PNP 0x00 @0", "PDO READ @0", "FDO POWER 0x02 S4 @0" and so on. */
void TestLogClear(void);
void TestLogAdd(const std::string &Entry);
std::vector<std::string> TestLogEntries(void);
std::vector<std::string> TestLogMatching(const std::string &Prefix);

#endif /* MURVO_TESTS_NT_TEST_DRIVERS_H */
