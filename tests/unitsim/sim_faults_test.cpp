/*
 * sim_faults_test.cpp - injected faults, each on the occurrence it names and no other.
 */
#include "unitsim/sim_test_util.h"

namespace {

/* A small unit with the faults of list. */
SimUnit *UnitWithFaults(const char *list)
{
    SimConfig config = SmallConfig();
    char error[256] = "";
    EXPECT_TRUE(SimParseFaults(list, &config, error, sizeof error)) << error;
    return CreateUnit(config);
}

TEST(Faults, NoReplyShortAndLongHitOnlyTheirOccurrence)
{
    SimUnit *unit =
        UnitWithFaults("noreply:GetOsVersion:2,short:GetFlashInfo:1,long:GetFlashInfo:3,noreply:UnlockBlock:1");
    Bytes version = MakeRequest(SimGetOsVersion);
    Bytes info = MakeRequest(SimGetFlashInfo);

    EXPECT_EQ(Transact(unit, version).size(), 8u);
    EXPECT_EQ(Transact(unit, version).size(), 0u);
    EXPECT_EQ(Transact(unit, version).size(), 8u);

    Bytes reply = Transact(unit, info);
    ASSERT_EQ(reply.size(), 19u);
    EXPECT_EQ(Get32(reply, 8), 0x10000u); /* the bytes that do come are the right ones */
    EXPECT_EQ(Transact(unit, info).size(), 20u);
    reply = Transact(unit, info);
    ASSERT_EQ(reply.size(), 21u);
    EXPECT_EQ(reply[20], 0);
    EXPECT_EQ(Transact(unit, info).size(), 20u);

    /* The reply is lost, not the command. */
    EXPECT_TRUE(Transact(unit, MakeRequest(SimUnlockBlock, 2)).empty());
    EXPECT_FALSE(SimUnitBlockLocked(unit, 2));
    EXPECT_TRUE(SimUnitDestroy(unit));
}

TEST(Faults, StatusIsReportedAndTheOperationIsNotDone)
{
    SimUnit *unit = UnitWithFaults("status:UnlockBlock:1:7,status:WriteFlash:2:0x80,status:WriteFlash:3:0,"
                                   "status:EraseBlock:1:9,short:EraseBlock:1");
    EXPECT_EQ(Unlock(unit, 0), 7);
    EXPECT_TRUE(SimUnitBlockLocked(unit, 0));
    EXPECT_EQ(Unlock(unit, 0), SimStatusOk);

    Bytes data(SIM_RECORD_SIZE, 0x00);
    EXPECT_EQ(Write(unit, 0x000, data), SimStatusOk);
    EXPECT_EQ(Write(unit, 0x200, data), 0x80);
    /* Status 0 forced: the unit claims success but writes nothing. */
    EXPECT_EQ(Write(unit, 0x400, data), SimStatusOk);
    EXPECT_EQ(Write(unit, 0x600, data), SimStatusOk);
    const uint8_t *flash = SimUnitFlash(unit);
    EXPECT_EQ(flash[0x000], 0x00);
    EXPECT_EQ(flash[0x200], 0xFF);
    EXPECT_EQ(flash[0x400], 0xFF);
    EXPECT_EQ(flash[0x600], 0x00);

    /* Faults of one request combine: status 9 in a reply one byte short, so no status at all. */
    EXPECT_EQ(Transact(unit, MakeRequest(SimEraseBlock, 0)), Bytes({2, 0, 0, 0}));
    EXPECT_TRUE(SimUnitDestroy(unit));
}

TEST(Faults, ChecksumAnswersTheGivenValue)
{
    SimUnit *unit = UnitWithFaults("checksum:GetChecksum:2:0xBEEF");
    EXPECT_EQ(Checksum(unit, 0x00100000, 2), 0x1FE);
    EXPECT_EQ(Checksum(unit, 0x00100000, 2), 0xBEEF);
    EXPECT_EQ(Checksum(unit, 0x00100000, 2), 0x1FE);
    EXPECT_TRUE(SimUnitDestroy(unit));
}

TEST(Faults, BusFaultsAreReportedOnceForTheirRequest)
{
    SimUnit *unit = UnitWithFaults("stall:GetOsVersion:1,delay:GetFlashInfo:2:2500,xfererr:DisplayText:1");
    SimFault fault;
    EXPECT_FALSE(SimUnitTakeBusFault(unit, &fault));

    /* The firmware still answers; what reaches the host is the bus's business. */
    EXPECT_EQ(Transact(unit, MakeRequest(SimGetOsVersion)).size(), 8u);
    ASSERT_TRUE(SimUnitTakeBusFault(unit, &fault));
    EXPECT_EQ(fault.Kind, SimFaultStall);
    EXPECT_EQ(fault.Command, (unsigned)SimGetOsVersion);
    EXPECT_EQ(fault.Occurrence, 1u);
    EXPECT_FALSE(SimUnitTakeBusFault(unit, &fault));

    EXPECT_EQ(Transact(unit, MakeRequest(SimGetFlashInfo)).size(), 20u);
    EXPECT_FALSE(SimUnitTakeBusFault(unit, &fault));
    EXPECT_EQ(Transact(unit, MakeRequest(SimGetFlashInfo)).size(), 20u);
    ASSERT_TRUE(SimUnitTakeBusFault(unit, &fault));
    EXPECT_EQ(fault.Kind, SimFaultDelay);
    EXPECT_TRUE(fault.HasValue);
    EXPECT_EQ(fault.Value, 2500u);

    /* A fault not taken before the next request is replaced by that request's (none). */
    EXPECT_EQ(Transact(unit, MakeRequest(SimDisplayText)).size(), 4u);
    EXPECT_EQ(Transact(unit, MakeRequest(SimGetOsVersion)).size(), 8u);
    EXPECT_FALSE(SimUnitTakeBusFault(unit, &fault));
    EXPECT_TRUE(SimUnitDestroy(unit));
}

TEST(Faults, UnplugAndPortOffKeepTheRequestFromTheFirmware)
{
    SimUnit *unit = UnitWithFaults("unplug:UnlockBlock:1,portoff:UnlockBlock:2");
    SimFault fault;
    for (SimFaultKind kind : {SimFaultUnplug, SimFaultPortOff}) {
        EXPECT_TRUE(Transact(unit, MakeRequest(SimUnlockBlock, 0)).empty());
        EXPECT_TRUE(SimUnitBlockLocked(unit, 0));
        ASSERT_TRUE(SimUnitTakeBusFault(unit, &fault));
        EXPECT_EQ(fault.Kind, kind);
    }
    EXPECT_EQ(SimUnitCommandCount(unit, SimUnlockBlock), 2u);
    EXPECT_EQ(Unlock(unit, 0), SimStatusOk);
    EXPECT_TRUE(SimUnitDestroy(unit));
}

} // namespace
