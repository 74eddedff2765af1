/*
 * tool_unit_fuzz.cpp - a whole vardel run against a unit whose replies come from the fuzzer.
 *
 * The tool's update sequence, command layer and image check run as in vardel; beneath them
 * this harness stands in for the transport (the unit at the end of the pipes) and above them
 * for the console (the key is always "Y"). FatalError throws instead of ending the process
 * (fatal_error_throw.cpp).
 *
 * Input: options (/bootblock, /v, a transport that cannot be opened), the flash layout of an
 * honest unit (one of a few, with a valid image file of its size), then one action per
 * command the tool sends: answer honestly, or with a changed status byte, a short reply, no
 * reply, a failed write, a changed byte or 32-bit field, a chosen checksum. Once the input is
 * used up the unit answers honestly; after a generous number of commands it goes quiet.
 *
 * Properties:
 * - the run ends only with exit status 0 ("Completed ok"), 2 ("Operation failed. ...") or a
 *   fatal error with one of the tool's messages, and stdout's verdict agrees with the status;
 * - after a failed send or receive the tool sends nothing more and ends with the matching
 *   fatal error;
 * - a run that returns has closed the image file (after a fatal error the harness closes
 *   it, as the real program's exit would);
 * - without /bootblock no block command goes to blocks 0 to 7 and no record to an offset
 *   below 0x10000, whatever the unit reports;
 * - exit status 0 only when every status reply was 0, every block from the first was
 *   unlocked, erased and locked, every record from the start offset written once in order,
 *   and the checksum reply matched the sum of the records sent.
 */
#include "fuzz/fatal_error_throw.h"
#include "fuzz/fuzz_support.h"

#include "tool/console_key.h"
#include "tool/transport.h"
#include "tool/update_sequence.h"

#include <fcntl.h>
#include <unistd.h>

#include <string>
#include <vector>

/* Request and reply lengths of the command table, by code. */
static const uint32_t RequestLengths[10] = {4, 4, 8, 8, 8, 520, 10, 522, 12, 44};
static const uint32_t ReplyLengths[10] = {8, 20, 5, 5, 5, 5, 516, 4, 6, 4};

struct Layout {
    uint32_t Size;
    uint32_t Blocks;
};

/* The boot block and one block more, blocks that do not divide the flash, a flash smaller
 * than the boot block, 128 KiB in 16 blocks. */
static const Layout Layouts[] = {
    {0x12000, 9}, {0x10000, 8}, {0x11000, 5}, {0x4000, 2}, {0x20000, 16}, {0x10400, 9},
};
#define LAYOUT_COUNT (sizeof Layouts / sizeof Layouts[0])

/* Everything the unit saw and said in one run. */
struct UnitRun {
    FuzzInput In;
    Layout Flash;
    uint32_t Address;
    bool BootBlock;
    std::vector<uint8_t> Contents; /* the honest unit's flash */
    uint32_t Commands;
    uint32_t CommandLimit;
    bool TransportFailed;       /* a send or receive failed; nothing more may be sent */
    const char *FailureMessage; /* the fatal error that must follow */
    bool PendingReply;          /* a request was written and its reply not yet read */
    uint8_t PendingCode;
    std::vector<uint8_t> Request;
    bool AllStatusesZero;
    bool ChecksumAnswered;
    uint16_t ChecksumReply;
    uint16_t SentSum;                /* byte sum of every record sent with WriteFlash */
    std::vector<uint32_t> Blocks[3]; /* blocks unlocked, erased, locked (codes 3, 2, 4) */
    std::vector<uint32_t> Offsets;   /* WriteFlash offsets in order */
};

static UnitRun Run;

static uint32_t Get32(const uint8_t *p)
{
    return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}

static void Put32(uint8_t *p, uint32_t value)
{
    for (int i = 0; i < 4; i++) {
        p[i] = (uint8_t)(value >> (8 * i));
    }
}

/* The console: the user always presses Y. */
int ReadConsoleKey(const char *question)
{
    (void)question;
    return 'Y';
}

static bool OpenFails;

bool OpenTransport(void) { return !OpenFails; }

unsigned TransportUnitsFound(void) { return 1; }

const char *TransportUnitName(void) { return "fuzzed unit"; }

void CloseTransport(void) {}

bool TransportWrite(const void *data, uint32_t length, uint32_t *count)
{
    FUZZ_CHECK(!Run.TransportFailed, "a request was sent after the transport failed");
    FUZZ_CHECK(!Run.PendingReply, "a request was sent before the last reply was read");
    const uint8_t *bytes = static_cast<const uint8_t *>(data);
    FUZZ_CHECK(length >= 4, "a request of %u bytes", length);
    unsigned code = bytes[0] | bytes[1] << 8;
    FUZZ_CHECK(code < 10 && length == RequestLengths[code] && bytes[2] == 0 && bytes[3] == 0,
               "request code %u of %u bytes", code, length);
    if (count != NULL) {
        *count = length;
    }
    Run.Commands++;
    /* The action for this command: read now, so a failed write uses it too. */
    uint8_t action = FuzzMore(&Run.In) ? FuzzTake8(&Run.In) : 0;
    if (action % 16 == 11) {
        Run.TransportFailed = true;
        Run.FailureMessage = "Failed to send USB command";
        return false;
    }
    Run.Request.assign(bytes, bytes + length);
    Run.PendingReply = true;
    Run.PendingCode = (uint8_t)code;
    /* Keep the action for the reply. */
    Run.Request.push_back(action);

    uint32_t value = code >= 2 && code <= 5 ? Get32(bytes + 4) : 0;
    if (!Run.BootBlock) {
        if (code >= 2 && code <= 4) {
            FUZZ_CHECK(value >= 8, "block command %u for block %u without /bootblock", code, value);
        }
        if (code == 5) {
            FUZZ_CHECK(value >= 0x10000, "WriteFlash at offset 0x%X without /bootblock", value);
        }
        FUZZ_CHECK(code != 6 && code != 7, "record command %u sent", code);
    }
    if (code == 2 || code == 3 || code == 4) {
        Run.Blocks[code == 3 ? 0 : code == 2 ? 1 : 2].push_back(value);
    }
    if (code == 5) {
        Run.Offsets.push_back(value);
        for (uint32_t i = 0; i < 512; i++) {
            Run.SentSum = (uint16_t)(Run.SentSum + bytes[8 + i]);
        }
    }
    return true;
}

/* The honest unit's reply to the pending request. */
static void HonestReply(unsigned code, const uint8_t *request, uint8_t *reply)
{
    memset(reply, 0, 520);
    reply[0] = (uint8_t)code;
    uint32_t blockSize = Run.Flash.Size / Run.Flash.Blocks;
    switch (code) {
    case 0:
        Put32(reply + 4, 0x80010002);
        break;
    case 1:
        Put32(reply + 4, Run.Address);
        Put32(reply + 8, Run.Flash.Size);
        Put32(reply + 12, Run.Flash.Blocks);
        Put32(reply + 16, 0x4D520001);
        break;
    case 2: {
        uint32_t block = Get32(request + 4);
        if (block >= Run.Flash.Blocks) {
            reply[4] = 0x01;
        } else {
            memset(Run.Contents.data() + (size_t)block * blockSize, 0xFF, blockSize);
        }
        break;
    }
    case 3:
    case 4:
        reply[4] = Get32(request + 4) >= Run.Flash.Blocks ? 0x01 : 0x00;
        break;
    case 5: {
        uint32_t offset = Get32(request + 4);
        if (offset % 512 != 0 || (uint64_t)offset + 512 > Run.Flash.Size) {
            reply[4] = 0x06;
        } else {
            memcpy(Run.Contents.data() + offset, request + 8, 512);
        }
        break;
    }
    case 8: {
        uint64_t start = Get32(request + 4), end = start + Get32(request + 8);
        uint16_t sum = 0;
        for (uint64_t i = 0; i < Run.Contents.size(); i++) {
            if (Run.Address + i >= start && Run.Address + i < end) {
                sum = (uint16_t)(sum + Run.Contents[i]);
            }
        }
        reply[4] = (uint8_t)sum;
        reply[5] = (uint8_t)(sum >> 8);
        break;
    }
    default:
        break;
    }
}

bool TransportRead(void *buffer, uint32_t length, uint32_t extraMs, uint32_t *count)
{
    (void)extraMs;
    FUZZ_CHECK(Run.PendingReply, "a reply was read with no request sent");
    Run.PendingReply = false;
    unsigned code = Run.PendingCode;
    FUZZ_CHECK(length == ReplyLengths[code], "reply of %u bytes read for command %u", length, code);
    uint8_t action = Run.Request.back();
    Run.Request.pop_back();

    uint8_t reply[520];
    HonestReply(code, Run.Request.data(), reply);
    uint32_t got = length;
    bool quiet = Run.Commands > Run.CommandLimit;
    switch (quiet ? 10 : action % 16) {
    case 8: /* the status byte (or a result byte) */
        reply[4] = FuzzTake8(&Run.In);
        break;
    case 9: /* a short reply */
        got = FuzzTake8(&Run.In) % length;
        break;
    case 10: /* no reply: the read times out */
        got = 0;
        break;
    case 12: { /* one byte anywhere */
        uint8_t at = FuzzTake8(&Run.In);
        reply[at % length] = FuzzTake8(&Run.In);
        break;
    }
    case 13: { /* one 32-bit result */
        uint32_t at = 4 + 4 * (FuzzTake8(&Run.In) % 4);
        uint32_t value = FuzzTake32(&Run.In);
        if (at + 4 <= length) {
            Put32(reply + at, value);
        }
        break;
    }
    case 14: /* a chosen checksum */
        if (code == 8) {
            reply[4] = FuzzTake8(&Run.In);
            reply[5] = FuzzTake8(&Run.In);
        }
        break;
    case 15: /* a header the tool does not look at */
        reply[0] ^= 0xFF;
        reply[3] = 0x5A;
        break;
    default:
        break;
    }
    memcpy(buffer, reply, got);
    if (count != NULL) {
        *count = got;
    }
    if (got != length) {
        Run.TransportFailed = true;
        Run.FailureMessage = "Failed to receive USB reply";
        return false;
    }
    if (code >= 2 && code <= 5 && reply[4] != 0) {
        Run.AllStatusesZero = false;
    }
    if (code == 8) {
        Run.ChecksumAnswered = true;
        Run.ChecksumReply = (uint16_t)(reply[4] | reply[5] << 8);
    }
    return true;
}

/* A relative path to a file in a fresh directory under /tmp: vardel takes an argument that
 * begins with "/" for an option. */
static std::string RelativeTempDirectory()
{
    char directory[] = "/tmp/murvo-fuzz-tool-XXXXXX";
    FUZZ_CHECK(mkdtemp(directory) != NULL, "cannot make a temporary directory");
    char cwd[4096];
    FUZZ_CHECK(getcwd(cwd, sizeof cwd) != NULL, "no working directory");
    std::string path = ".";
    for (const char *p = cwd; *p; p++) {
        if (*p == '/' && p[1] != 0) {
            path += "/..";
        }
    }
    return path + directory;
}

/* The image of each layout, made once: patterned contents, marker, checksum. */
static const std::string &ImageOf(unsigned layout)
{
    static std::string directory;
    static std::string paths[LAYOUT_COUNT];
    if (directory.empty()) {
        directory = RelativeTempDirectory();
    }
    if (paths[layout].empty()) {
        uint32_t size = Layouts[layout].Size;
        std::vector<uint8_t> image(size);
        for (uint32_t i = 0; i < size; i++) {
            image[i] = (uint8_t)(i * 7 + (i >> 9) * 13);
        }
        static const char Marker[] = "MURVO Operating System"; /* with its zero byte */
        for (size_t i = 0; i < sizeof Marker; i++) {
            image[32 + i] = (uint8_t)Marker[i];
        }
        uint16_t sum = 0;
        for (uint32_t i = 0; i + 2 < size; i++) {
            sum = (uint16_t)(sum + image[i]);
        }
        image[size - 2] = (uint8_t)sum;
        image[size - 1] = (uint8_t)(sum >> 8);
        std::string path = directory + "/image-" + std::to_string(layout) + ".rom";
        FILE *file = fopen(path.c_str(), "wb");
        FUZZ_CHECK(file != NULL && fwrite(image.data(), 1, size, file) == size && fclose(file) == 0, "cannot write %s",
                   path.c_str());
        paths[layout] = path;
    }
    return paths[layout];
}

/* Standard output goes to a file, read back after each run for the verdict. */
static FILE *Output()
{
    static FILE *output;
    if (output == NULL) {
        output = tmpfile();
        FUZZ_CHECK(output != NULL, "no temporary file");
    }
    return output;
}

static std::string RunOutput(int savedStdout)
{
    fflush(stdout);
    dup2(savedStdout, 1);
    close(savedStdout);
    std::string text;
    FILE *output = Output();
    rewind(output);
    char chunk[4096];
    size_t got;
    while ((got = fread(chunk, 1, sizeof chunk, output)) > 0) {
        text.append(chunk, got);
    }
    return text;
}

static const char *const FatalMessages[] = {
    "Failed to initialise USB",
    "MURVO is not set up to receive software upgrade (see SETUP|OS)",
    "MURVO reports a Flash ROM of size 0",
    "Flash ROM is smaller than the boot block",
    "Flash ROM blocks are not 8 KB: cannot keep the boot block",
    "Binary file is not the same size as the Flash ROM",
    "Failed to seek to start of file",
    "Failed reading file",
    "File does not contain a MURVO ROM image",
    "ROM file has invalid checksum",
    "Failed to seek into ROM file",
    "Failed to send USB command",
    "Failed to receive USB reply",
};

/* The file descriptors open now, 0 to 1023. */
static std::vector<bool> OpenDescriptors()
{
    std::vector<bool> open(1024);
    for (int fd = 0; fd < 1024; fd++) {
        open[fd] = fcntl(fd, F_GETFD) != -1;
    }
    return open;
}

/* Closes what the run left open. A fatal error leaves the image open, as the real program
 * leaves it to its exit; a run that returns must have closed it. Returns how many. */
static int CloseLeftOpen(const std::vector<bool> &before)
{
    int count = 0;
    std::vector<bool> now = OpenDescriptors();
    for (int fd = 3; fd < 1024; fd++) {
        if (now[fd] && !before[fd]) {
            close(fd);
            count++;
        }
    }
    return count;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    Run = UnitRun();
    Run.In = FuzzInputOf(data, size);
    uint8_t options = FuzzTake8(&Run.In);
    unsigned layout = FuzzTake8(&Run.In) % LAYOUT_COUNT;
    Run.Flash = Layouts[layout];
    Run.Address = 0x01000000;
    Run.BootBlock = (options & 1) != 0;
    Run.Contents.assign(Run.Flash.Size, 0xFF);
    Run.CommandLimit = 3 * (Run.Flash.Blocks + Run.Flash.Size / 512) + 64;
    Run.AllStatusesZero = true;
    OpenFails = (options & 0x3C) == 0x3C;

    std::string image = ImageOf(layout);
    std::vector<char *> argv;
    char program[] = "vardel", bootblock[] = "/bootblock", verbose[] = "/v";
    argv.push_back(program);
    if (options & 1) {
        argv.push_back(bootblock);
    }
    if (options & 2) {
        argv.push_back(verbose);
    }
    argv.push_back(&image[0]);
    argv.push_back(NULL);

    FILE *output = Output();
    std::vector<bool> before = OpenDescriptors();
    fflush(stdout);
    FUZZ_CHECK(ftruncate(fileno(output), 0) == 0, "cannot empty the output file");
    rewind(output);
    int savedStdout = dup(1);
    dup2(fileno(output), 1);

    int status = -1;
    const char *fatal = NULL;
    FuzzFatalError error;
    try {
        status = RunUpdateSequence((int)argv.size() - 1, argv.data());
    } catch (const FuzzFatalError &e) {
        error = e;
        fatal = error.Message;
    }
    std::string text = RunOutput(savedStdout);
    int leftOpen = CloseLeftOpen(before);

    if (fatal != NULL) {
        bool known = false;
        for (const char *message : FatalMessages) {
            known = known || strcmp(fatal, message) == 0;
        }
        FUZZ_CHECK(known, "fatal error \"%s\" is none of the tool's", fatal);
        if (Run.TransportFailed) {
            FUZZ_CHECK(strcmp(fatal, Run.FailureMessage) == 0, "after \"%s\" the run ended with \"%s\"",
                       Run.FailureMessage, fatal);
        }
        FUZZ_CHECK(text.find("Completed ok") == std::string::npos, "\"Completed ok\" before a fatal error");
        return 0;
    }
    FUZZ_CHECK(leftOpen == 0, "the run returned %d and left %d files open", status, leftOpen);
    FUZZ_CHECK(!Run.TransportFailed, "the run went on after \"%s\" and returned %d", Run.FailureMessage, status);
    FUZZ_CHECK(status == EXIT_UPDATE_OK || status == EXIT_UPDATE_FAILED, "exit status %d", status);
    bool completed = text.find("\nCompleted ok") != std::string::npos;
    bool failed = text.find("\nOperation failed. ") != std::string::npos;
    FUZZ_CHECK(completed == (status == EXIT_UPDATE_OK) && failed == (status == EXIT_UPDATE_FAILED),
               "exit status %d with output ...%s", status,
               text.substr(text.size() > 200 ? text.size() - 200 : 0).c_str());
    FUZZ_CHECK(Run.ChecksumAnswered, "the run reached its verdict without a checksum");
    if (status != EXIT_UPDATE_OK) {
        FUZZ_CHECK(!Run.AllStatusesZero || Run.ChecksumReply != Run.SentSum,
                   "\"Operation failed\" with every status 0 and the checksum matching");
        return 0;
    }

    /* Completed ok: every status 0, every step done, and the unit's checksum the tool's own. */
    FUZZ_CHECK(Run.AllStatusesZero, "\"Completed ok\" after a non-zero status");
    FUZZ_CHECK(Run.ChecksumReply == Run.SentSum, "\"Completed ok\" with checksum reply %04X, records sent sum to %04X",
               Run.ChecksumReply, Run.SentSum);
    uint32_t firstBlock = Run.BootBlock ? 0 : 8, start = Run.BootBlock ? 0 : 0x10000;
    /* The unit may have reported another block count; the tool follows what it reported. */
    for (int phase = 0; phase < 3; phase++) {
        const std::vector<uint32_t> &blocks = Run.Blocks[phase];
        for (size_t i = 0; i < blocks.size(); i++) {
            FUZZ_CHECK(blocks[i] == firstBlock + i, "phase %d: block %u as command %zu", phase, blocks[i], i);
        }
        FUZZ_CHECK(blocks.size() == Run.Blocks[0].size(), "phase %d covers %zu blocks, unlock %zu", phase,
                   blocks.size(), Run.Blocks[0].size());
    }
    FUZZ_CHECK(Run.Offsets.size() == (Run.Flash.Size - start) / 512, "%zu records written of %u", Run.Offsets.size(),
               (Run.Flash.Size - start) / 512);
    for (size_t i = 0; i < Run.Offsets.size(); i++) {
        FUZZ_CHECK(Run.Offsets[i] == start + 512 * i, "record %zu at offset 0x%X", i, Run.Offsets[i]);
    }
    return 0;
}
