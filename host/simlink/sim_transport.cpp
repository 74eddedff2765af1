/*
 * sim_transport.cpp - the transport operations over a simulated unit in the same process.
 *
 * Requests go to the unit's firmware as the bytes of its bulk OUT endpoint; a read takes
 * the bytes it has ready for its bulk IN endpoint, as one USB transfer would: whatever has
 * arrived within the time-out, success only when exactly the asked length came. When
 * nothing comes the read waits out its whole time-out and resets the read pipe.
 *
 * The unit is configured from the MURVO_SIM_* environment when the transport opens; a bad
 * setting ends the program with a message and exit status 1.
 */
#include "tool/transport.h"
#include "unitsim/sim_unit.h"

#include <chrono>
#include <stdio.h>
#include <stdlib.h>
#include <thread>

static SimUnit *Unit; /* the unit while the transport is open, NULL otherwise */

bool OpenTransport(void)
{
    if (Unit != NULL)
        return true;
    SimConfig config;
    char error[256];
    if (!SimConfigFromEnv(&config, error, sizeof error)) {
        fprintf(stderr, "\nmurvo simulator: %s\n", error);
        exit(1);
    }
    Unit = SimUnitCreate(&config, error, sizeof error);
    if (Unit == NULL) {
        fprintf(stderr, "\nmurvo simulator: %s\n", error);
        return false;
    }
    return true;
}

void CloseTransport(void)
{
    if (Unit == NULL)
        return;
    SimUnit *unit = Unit;
    Unit = NULL;
    if (!SimUnitDestroy(unit))
        fprintf(stderr, "\nmurvo simulator: the flash file could not be saved\n");
}

bool TransportWrite(const void *data, uint32_t length, uint32_t *count)
{
    if (count != NULL)
        *count = 0;
    if (Unit == NULL)
        return false;
    SimUnitReceive(Unit, (const uint8_t *)data, length);
    if (count != NULL)
        *count = length;
    return true;
}

static void Wait(uint32_t milliseconds)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

bool TransportRead(void *buffer, uint32_t length, uint32_t extraMs, uint32_t *count)
{
    uint32_t moved = 0;
    bool ok = false;
    if (Unit != NULL) {
        uint32_t timeout = TransportReadTimeout(length, extraMs);
        SimFault fault;
        bool faulted = SimUnitTakeBusFault(Unit, &fault);
        if (faulted && fault.Kind == SimFaultDelay && fault.Value >= timeout) {
            Wait(timeout);
            SimUnitResetPipes(Unit);
        } else if (faulted && (fault.Kind == SimFaultStall || fault.Kind == SimFaultXferError ||
                               fault.Kind == SimFaultUnplug || fault.Kind == SimFaultPortOff)) {
            /* The transfer fails on the bus; nothing is delivered. */
        } else {
            if (faulted && fault.Kind == SimFaultDelay)
                Wait(fault.Value);
            size_t pending = SimUnitReplyPending(Unit);
            if (pending == 0) {
                Wait(timeout);
                SimUnitResetPipes(Unit);
            } else if (pending > length) {
                /* More than the transfer asked for: a babble error, the reply is lost. */
                SimUnitResetPipes(Unit);
            } else {
                moved = (uint32_t)SimUnitTakeReply(Unit, (uint8_t *)buffer, length);
                ok = moved == length;
            }
        }
    }
    if (count != NULL)
        *count = moved;
    return ok;
}
