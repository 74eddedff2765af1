/*
 * scripted_unit.h - a unit scripted by the test, behind the transport operations.
 *
 * Every request the tool writes is logged whole; the reply comes from the unit's settings
 * (version, flash layout, a status per command and occurrence, a checksum). Written records
 * are summed, so a test can check the tool's checksum against what actually went out.
 */
#ifndef MURVO_TESTS_TOOL_SCRIPTED_UNIT_H
#define MURVO_TESTS_TOOL_SCRIPTED_UNIT_H

#include <stdint.h>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

struct ScriptedRequest {
    uint16_t Code;
    std::vector<uint8_t> Bytes;
    uint32_t Param32(size_t offset) const;
};

struct ScriptedUnit {
    bool OpenFails = false;
    bool Opened = false;
    unsigned UnitsFound = 1; /* what discovery reports */
    int CloseCalls = 0;
    uint32_t OsVersion = 0x80000123;
    uint32_t FlashAddress = 0x01000000;
    uint32_t FlashSize = 0x20000;
    uint32_t BlockCount = 16;
    uint32_t FlashId = 0x00BF2782;
    /* A status for the N-th request (from 1) of a command code; 0 otherwise. */
    std::map<std::pair<uint16_t, uint32_t>, uint8_t> Statuses;
    /* The checksum GetChecksum answers; when unset, the sum of the written record bytes. */
    bool ChecksumSet = false;
    uint16_t Checksum = 0;
    uint16_t WrittenSum = 0;
    /* Transport failures: the N-th write (from 1) fails; the N-th read fails. 0: never. */
    uint32_t FailWriteAt = 0;
    uint32_t FailReadAt = 0;
    /* A reply shorter by this many bytes (it is then a failed read). */
    uint32_t ShortenReplyOfCode = 0xFFFF;
    uint32_t Writes = 0;
    uint32_t Reads = 0;
    std::vector<ScriptedRequest> Requests;
    std::map<uint16_t, uint32_t> Counts;
    std::vector<uint8_t> PendingReply;
    /* Called with each request before it is answered. */
    std::function<void(const ScriptedRequest &)> OnRequest;

    /* Requests of one code, in order. */
    std::vector<ScriptedRequest> Of(uint16_t code) const;
    /* The command names in order, one per request, e.g. "Unlock 8". */
    std::vector<std::string> Trace() const;
};

/* The unit behind the transport of the test program; reset by ResetScriptedUnit. */
extern ScriptedUnit Unit;
void ResetScriptedUnit(void);

/* The key the console "reads" in tests; -1 means no console. */
extern int ScriptedKey;
/* The question the sequence last gave the key read, for the console. */
extern std::string ScriptedQuestion;

#endif /* MURVO_TESTS_TOOL_SCRIPTED_UNIT_H */
