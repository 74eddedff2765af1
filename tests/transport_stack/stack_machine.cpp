/*
 * stack_machine.cpp - the simulated machine and command records for the transport tests.
 */
#include "transport_stack/stack_machine.h"

#include <gtest/gtest.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

bool BootStackMachine(unsigned units, const char *faults, unsigned blocks)
{
    if (HostMachineBus() != NULL) {
        return false;
    }
    char text[32];
    snprintf(text, sizeof text, "%u", units);
    setenv("MURVO_SIM_UNITS", text, 1);
    setenv("MURVO_SIM_FLASH_SIZE", "0x20000", 1);
    snprintf(text, sizeof text, "%u", blocks);
    setenv("MURVO_SIM_BLOCKS", text, 1);
    snprintf(text, sizeof text, "0x%08X", STACK_OS_VERSION);
    setenv("MURVO_SIM_OS_VERSION", text, 1);
    setenv("MURVO_SIM_FAULTS", faults, 1);
    unsetenv("MURVO_SIM_FLASH_FILE");
    unsetenv("MURVO_SIM_LOG");
    unsetenv("MURVO_SIM_LOW_RESOURCES");
    HostMachineBoot();
    return HostMachineBus() != NULL;
}

HostUsbBus *StackBus(void) { return HostMachineBus(); }

HostDeviceNode *StackNode(int port) { return HostUsbUnitNode(HostMachineBus(), port); }

SimUnit *StackSim(int port) { return HostUsbUnitSim(HostMachineBus(), port); }

HostUsbUnitState StackUnitState(int port)
{
    HostUsbUnitState state;
    memset(&state, 0, sizeof state);
    EXPECT_TRUE(HostUsbQueryUnit(HostMachineBus(), port, &state));
    return state;
}

ULONG OpenFilesSettled(int port, ULONG expected, uint32_t timeoutMs)
{
    uint64_t until = NowMs() + timeoutMs;
    ULONG count = HostPnpOpenFileCount(StackNode(port));
    while (count > expected && NowMs() < until) {
        usleep(2000);
        count = HostPnpOpenFileCount(StackNode(port));
    }
    return count;
}

DEVICE_POWER_STATE WaitPoweredDown(int port, uint32_t timeoutMs)
{
    uint64_t until = NowMs() + timeoutMs;
    HostUsbUnitState state = StackUnitState(port);
    while (state.PowerState == PowerDeviceD0 && NowMs() < until) {
        usleep(5000);
        state = StackUnitState(port);
    }
    return state.PowerState;
}

static void Put32(std::vector<uint8_t> *stream, uint32_t value)
{
    for (int shift = 0; shift < 32; shift += 8) {
        stream->push_back((uint8_t)(value >> shift));
    }
}

static void PutHeader(std::vector<uint8_t> *stream, uint16_t code)
{
    stream->push_back((uint8_t)code);
    stream->push_back((uint8_t)(code >> 8));
    stream->push_back(0);
    stream->push_back(0);
}

void AppendGetOsVersion(std::vector<uint8_t> *stream) { PutHeader(stream, SimGetOsVersion); }

void AppendBlockCommand(std::vector<uint8_t> *stream, uint16_t code, uint32_t block)
{
    PutHeader(stream, code);
    Put32(stream, block);
}

void AppendWriteFlash(std::vector<uint8_t> *stream, uint32_t offset, const uint8_t *data)
{
    PutHeader(stream, SimWriteFlash);
    Put32(stream, offset);
    stream->insert(stream->end(), data, data + 512);
}

void RecordPattern(uint32_t n, uint8_t data[512])
{
    for (uint32_t i = 0; i < 512; i++) {
        data[i] = (uint8_t)((n * 37u + i * 11u + (i >> 8)) ^ 0x5Au);
    }
}

uint32_t RoundTripOsVersion(void)
{
    std::vector<uint8_t> request;
    AppendGetOsVersion(&request);
    uint32_t written = 0;
    EXPECT_TRUE(TransportWrite(request.data(), (uint32_t)request.size(), &written));
    EXPECT_EQ(written, 4u);
    uint8_t reply[8];
    memset(reply, 0xEE, sizeof reply);
    uint32_t got = 0;
    bool ok = TransportRead(reply, sizeof reply, 0, &got);
    EXPECT_TRUE(ok);
    EXPECT_EQ(got, 8u);
    if (!ok || got != 8) {
        return 0;
    }
    return (uint32_t)reply[4] | (uint32_t)reply[5] << 8 | (uint32_t)reply[6] << 16 | (uint32_t)reply[7] << 24;
}

uint64_t NowMs(void)
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (uint64_t)now.tv_sec * 1000u + (uint64_t)now.tv_nsec / 1000000u;
}
