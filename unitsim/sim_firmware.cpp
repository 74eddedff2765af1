/*
 * sim_firmware.cpp - the unit's command handling: one whole request in, one reply queued.
 *
 * The reply header (bytes 0 to 3) repeats the request's command code, little-endian, and two
 * zero bytes. Results sit at the offsets of the command table; unused bytes are zero.
 * Part of the portable core.
 */
#include "unitsim/sim_core.h"

#include <string.h>

/* The faults of one request, gathered from the configured list. */
struct SimDueFaults {
    bool NoReply;
    bool Short;
    bool Long;
    bool Status;
    uint8_t StatusValue;
    bool Checksum;
    uint16_t ChecksumValue;
    bool Bus; /* the first bus-level fault listed for this request */
    SimFault BusFault;
};

/* Collects the faults listed for occurrence n of command code. */
static void SimCollectFaults(const SimConfig *config, unsigned code, uint32_t n, SimDueFaults *due)
{
    memset(due, 0, sizeof *due);
    for (unsigned i = 0; i < config->FaultCount; i++) {
        const SimFault *fault = &config->Faults[i];
        if (fault->Command != code || fault->Occurrence != n) {
            continue;
        }
        switch (fault->Kind) {
        case SimFaultNoReply:
            due->NoReply = true;
            break;
        case SimFaultShort:
            due->Short = true;
            break;
        case SimFaultLong:
            due->Long = true;
            break;
        case SimFaultStatus:
            due->Status = true;
            due->StatusValue = (uint8_t)fault->Value;
            break;
        case SimFaultChecksum:
            due->Checksum = true;
            due->ChecksumValue = (uint16_t)fault->Value;
            break;
        default:
            if (!due->Bus) {
                due->Bus = true;
                due->BusFault = *fault;
            }
            break;
        }
    }
}

/* Carries out a request and fills the results of reply (already zeroed, header set). */
static void SimRunCommand(SimCore *core, unsigned code, const uint8_t *request, uint8_t *reply)
{
    SimFlash *flash = &core->Flash;

    switch (code) {
    case SimGetOsVersion:
        SimPut32(reply + 4, core->Config.OsVersion);
        break;
    case SimGetFlashInfo:
        SimPut32(reply + 4, flash->Address);
        SimPut32(reply + 8, flash->Size);
        SimPut32(reply + 12, flash->BlockCount);
        SimPut32(reply + 16, core->Config.FlashId);
        break;
    case SimEraseBlock:
        reply[4] = SimFlashErase(flash, SimGet32(request + 4));
        break;
    case SimUnlockBlock:
        reply[4] = SimFlashSetLock(flash, SimGet32(request + 4), false);
        break;
    case SimLockBlock:
        reply[4] = SimFlashSetLock(flash, SimGet32(request + 4), true);
        break;
    case SimWriteFlash:
        reply[4] = SimFlashProgram(flash, SimGet32(request + 4), request + 8);
        break;
    case SimReadRecord:
        /* A read-back of the flash at the position, a flash offset; the parameter is unused. */
        SimFlashRead(flash, SimGet32(request + 4), reply + 4);
        break;
    case SimWriteRecord:
        /* Programs like WriteFlash; its reply has no status, so the outcome shows only in
         * what ReadRecord gives back. The parameter is unused. */
        (void)SimFlashProgram(flash, SimGet32(request + 4), request + 8);
        break;
    case SimGetChecksum:
        SimPut16(reply + 4, SimFlashChecksum(flash, SimGet32(request + 4), SimGet32(request + 8)));
        break;
    case SimDisplayText:
        memcpy(core->Display, request + 4, SIM_DISPLAY_SIZE);
        if (core->Hooks.Display != NULL) {
            core->Hooks.Display(core->Hooks.Context, request + 4);
        }
        break;
    }
}

/* SimExecuteRequest: see sim_core.h. The order is: count, log, faults that keep the
 * request from the firmware (unplug, portoff), the command itself (or the status a status
 * fault forces, in which case nothing is done), result faults, then the reply's length. */
void SimExecuteRequest(SimCore *core, unsigned code, const uint8_t *request)
{
    uint8_t reply[SIM_MAX_REPLY_LENGTH + 1];
    size_t replyLength = SimCommandReplyLength(code);
    char line[256];
    SimDueFaults due;

    uint32_t n = ++core->CommandCounts[code];
    if (core->Hooks.Log != NULL) {
        SimFormatLogLine(code, request, line, sizeof line);
        core->Hooks.Log(core->Hooks.Context, line);
    }

    SimCollectFaults(&core->Config, code, n, &due);
    core->BusFaultPending = due.Bus;
    if (due.Bus) {
        core->BusFault = due.BusFault;
    }
    if (due.Bus && (due.BusFault.Kind == SimFaultUnplug || due.BusFault.Kind == SimFaultPortOff)) {
        return; /* the request never reached a working unit */
    }

    memset(reply, 0, sizeof reply);
    SimPut16(reply, (uint16_t)code);
    if (due.Status) {
        reply[4] = due.StatusValue; /* refused as if by the unit: nothing is changed */
    } else {
        SimRunCommand(core, code, request, reply);
    }
    if (due.Checksum) {
        SimPut16(reply + 4, due.ChecksumValue);
    }

    if (due.NoReply) {
        return;
    }
    if (due.Short) {
        replyLength--;
    }
    if (due.Long) {
        replyLength++; /* the extra byte is zero */
    }
    core->Hooks.Reply(core->Hooks.Context, reply, replyLength);
}
