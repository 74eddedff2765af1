/*
 * sim_firmware.cpp - the unit's command handling: one whole request in, one reply queued.
 *
 * The reply header (bytes 0 to 3) repeats the request's command code, little-endian, and two
 * zero bytes. Results sit at the offsets of the command table; unused bytes are zero.
 */
#include "unitsim/sim_internal.h"

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
static void SimRunCommand(SimUnit *unit, unsigned code, const uint8_t *request, uint8_t *reply)
{
    SimFlash *flash = &unit->Flash;

    switch (code) {
    case SimGetOsVersion:
        SimPut32(reply + 4, unit->Config.OsVersion);
        break;
    case SimGetFlashInfo:
        SimPut32(reply + 4, flash->Address);
        SimPut32(reply + 8, flash->Size);
        SimPut32(reply + 12, flash->BlockCount);
        SimPut32(reply + 16, unit->Config.FlashId);
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
    case SimDisplayText: {
        std::array<uint8_t, SIM_DISPLAY_SIZE> text;
        memcpy(unit->Display, request + 4, SIM_DISPLAY_SIZE);
        memcpy(text.data(), request + 4, SIM_DISPLAY_SIZE);
        unit->DisplayHistory.push_back(text);
        break;
    }
    }
}

/* SimExecuteRequest: see sim_internal.h. The order is: count, log, faults that keep the
 * request from the firmware (unplug, portoff), the command itself (or the status a status
 * fault forces, in which case nothing is done), result faults, then the reply's length. */
void SimExecuteRequest(SimUnit *unit, unsigned code, const uint8_t *request)
{
    uint8_t reply[SIM_MAX_REPLY_LENGTH + 1];
    size_t replyLength = SimCommandReplyLength(code);
    char line[256];
    SimDueFaults due;

    uint32_t n = ++unit->CommandCounts[code];
    SimFormatLogLine(code, request, line, sizeof line);
    SimWriteLog(unit, line);

    SimCollectFaults(&unit->Config, code, n, &due);
    unit->BusFaultPending = due.Bus;
    if (due.Bus) {
        unit->BusFault = due.BusFault;
    }
    if (due.Bus && (due.BusFault.Kind == SimFaultUnplug || due.BusFault.Kind == SimFaultPortOff)) {
        return; /* the request never reached a working unit */
    }

    memset(reply, 0, sizeof reply);
    SimPut16(reply, (uint16_t)code);
    if (due.Status) {
        reply[4] = due.StatusValue; /* refused as if by the unit: nothing is changed */
    } else {
        SimRunCommand(unit, code, request, reply);
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
    unit->Replies.insert(unit->Replies.end(), reply, reply + replyLength);
}
