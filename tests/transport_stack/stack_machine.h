/*
 * stack_machine.h - helpers for tests that run the pipe transport on the simulated machine:
 * the machine's settings, its bus and units, and command records as the unit expects them.
 */
#ifndef MURVO_TESTS_TRANSPORT_STACK_STACK_MACHINE_H
#define MURVO_TESTS_TRANSPORT_STACK_STACK_MACHINE_H

#include "host/machine/machine.h"
#include "tool/pipe_transport.h"
#include "unitsim/sim_unit.h"

#include <stdint.h>
#include <vector>

#define STACK_OS_VERSION 0x80030007u /* the version word every unit of these tests reports */

/* Sets the machine's environment (units on the bus, a 128 KiB flash in blocks blocks, the
 * firmware faults, "" for none) and boots it; speed and timing are left to the caller's
 * MURVO_SIM_SPEED and MURVO_SIM_TIMING. Returns false when the machine of this
 * process has booted already: each case needs a process of its own. */
bool BootStackMachine(unsigned units, const char *faults, unsigned blocks = 256);

HostUsbBus *StackBus(void);
HostDeviceNode *StackNode(int port);
SimUnit *StackSim(int port);
HostUsbUnitState StackUnitState(int port);

/* The files open on the port's unit once no more than expected remain, or after timeoutMs.
 * A close reaches the driver when the last reference to the file goes, which a request
 * that has just completed may still hold for a moment after the caller saw it end. */
ULONG OpenFilesSettled(int port, ULONG expected, uint32_t timeoutMs = 3000);

/* Polls until the port's unit has left D0 or timeoutMs passed; returns its power state. */
DEVICE_POWER_STATE WaitPoweredDown(int port, uint32_t timeoutMs);

/* Appends a request record: the code, two zero bytes, then the parameters given. */
void AppendGetOsVersion(std::vector<uint8_t> *stream);
void AppendBlockCommand(std::vector<uint8_t> *stream, uint16_t code, uint32_t block);
void AppendWriteFlash(std::vector<uint8_t> *stream, uint32_t offset, const uint8_t *data);

/* The data of the n-th 512-byte record of the transfer tests: differs in every record and
 * every position, so that a lost, doubled or shifted byte shows. */
void RecordPattern(uint32_t n, uint8_t data[512]);

/* One GetOsVersion round trip through the open transport; the version word read, or 0
 * with a test failure recorded when the exchange failed. */
uint32_t RoundTripOsVersion(void);

/* Boots the machine for the running case, or skips the case when this process has run
 * another one already (ctest runs each case alone). */
#define BOOT_STACK_OR_SKIP(...)                                                             \
    do {                                                                                    \
        if (!BootStackMachine(__VA_ARGS__))                                                 \
            GTEST_SKIP() << "the machine boots once per process: run one case per process"; \
    } while (0)

/* Milliseconds of a monotonic clock. */
uint64_t NowMs(void);

#endif /* MURVO_TESTS_TRANSPORT_STACK_STACK_MACHINE_H */
