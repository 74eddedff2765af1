/*
 * sim_core.cpp - the core's life and its OUT endpoint: power on, request framing, the
 * default configuration. Part of the portable core (sim_core.h).
 */
#include "unitsim/sim_core.h"

#include <string.h>

#define SIM_DEFAULT_FLASH_ADDRESS 0x01000000u
#define SIM_DEFAULT_FLASH_SIZE 0x00200000u
#define SIM_DEFAULT_BLOCK_SIZE 0x2000u
#define SIM_DEFAULT_FLASH_ID 0x4D520001u
#define SIM_DEFAULT_OS_VERSION 0x80010002u

/* SimConfigDefaultBlockCount: see sim_core.h. */
uint32_t SimConfigDefaultBlockCount(uint32_t size)
{
    if (size % SIM_DEFAULT_BLOCK_SIZE == 0) {
        return size / SIM_DEFAULT_BLOCK_SIZE;
    }
    return 1;
}

/* SimConfigDefaults: a 2 MiB flash at 0x01000000 in 256 blocks of 8 KiB, an OS version word
 * with the upgrade bit set, no flash file, no log, no faults. */
void SimConfigDefaults(SimConfig *config)
{
    memset(config, 0, sizeof *config);
    config->FlashAddress = SIM_DEFAULT_FLASH_ADDRESS;
    config->FlashSize = SIM_DEFAULT_FLASH_SIZE;
    config->BlockCount = SimConfigDefaultBlockCount(SIM_DEFAULT_FLASH_SIZE);
    config->FlashId = SIM_DEFAULT_FLASH_ID;
    config->OsVersion = SIM_DEFAULT_OS_VERSION;
}

/* SimCoreFlashBytes: see sim_core.h. */
size_t SimCoreFlashBytes(const SimConfig *config) { return (size_t)config->FlashSize + 1; }

/* SimCoreLockBytes: see sim_core.h. */
size_t SimCoreLockBytes(const SimConfig *config) { return (size_t)config->BlockCount + 1; }

/* SimCoreInit: see sim_core.h. The layout was checked by whoever made the configuration. */
void SimCoreInit(SimCore *core, const SimConfig *config, uint8_t *flash, uint8_t *locks, bool keepFlash,
                 const SimCoreHooks *hooks)
{
    memset(core, 0, sizeof *core);
    core->Config = *config;
    core->Hooks = *hooks;
    core->Flash.Address = config->FlashAddress;
    core->Flash.Size = config->FlashSize;
    core->Flash.BlockCount = config->BlockCount;
    core->Flash.BlockSize = config->BlockCount != 0 ? config->FlashSize / config->BlockCount : 0;
    core->Flash.Bytes = flash;
    core->Flash.Locked = locks;
    if (!keepFlash) {
        memset(flash, 0xFF, config->FlashSize);
    }
    memset(locks, 1, config->BlockCount);
}

/* SimCoreReceive: see SimUnitReceive. Requests are framed by the length their code implies,
 * so one call may carry several requests, or part of one. An unknown code cannot be framed:
 * the unit logs it, drops the rest of this call's bytes with the partial request, and
 * answers nothing. */
void SimCoreReceive(SimCore *core, const uint8_t *data, size_t length)
{
    while (length > 0) {
        size_t need = core->RequestFill < 2 ? 2 : SimCommandRequestLength(SimGet16(core->Request));
        size_t take = need - core->RequestFill;
        if (take > length) {
            take = length;
        }
        memcpy(core->Request + core->RequestFill, data, take);
        core->RequestFill += take;
        data += take;
        length -= take;
        if (core->RequestFill < 2) {
            break;
        }

        unsigned code = SimGet16(core->Request);
        if (SimCommandName(code) == NULL) {
            if (core->Hooks.Log != NULL) {
                static const char digits[] = "0123456789ABCDEF";
                char line[] = "Unknown 0x0000";
                char *at = line + 10;
                int shift = 12;
                while (shift > 0 && ((code >> shift) & 0xF) == 0) {
                    shift -= 4;
                }
                for (; shift >= 0; shift -= 4) {
                    *at++ = digits[(code >> shift) & 0xF];
                }
                *at = '\0';
                core->Hooks.Log(core->Hooks.Context, line);
            }
            core->BusFaultPending = false;
            core->RequestFill = 0;
            return;
        }
        if (core->RequestFill == SimCommandRequestLength(code)) {
            SimExecuteRequest(core, code, core->Request);
            core->RequestFill = 0;
        }
    }
}

/* SimCoreResetRequest: see sim_core.h. */
void SimCoreResetRequest(SimCore *core) { core->RequestFill = 0; }

/* SimCoreTakeBusFault: see sim_core.h. */
bool SimCoreTakeBusFault(SimCore *core, SimFault *fault)
{
    if (!core->BusFaultPending) {
        return false;
    }
    *fault = core->BusFault;
    core->BusFaultPending = false;
    return true;
}
