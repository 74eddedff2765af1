/*
 * sim_log.cpp - the command log's lines: one per request, its name and parameters.
 *
 * Part of the portable core: the text is put together by hand, without the C library's
 * formatting, so that the kernel-mode rig formats the same lines as the host.
 */
#include "unitsim/sim_core.h"

/* A line being filled: never past Size - 1 bytes, always NUL-terminated. */
struct SimLine {
    char *Text;
    size_t Size;
    size_t Used;
};

static void SimAppendChar(SimLine *line, char c)
{
    if (line->Used + 1 < line->Size) {
        line->Text[line->Used++] = c;
        line->Text[line->Used] = '\0';
    }
}

static void SimAppendText(SimLine *line, const char *text)
{
    for (; *text != '\0'; text++) {
        SimAppendChar(line, *text);
    }
}

/* " 0x" and the value in upper-case hexadecimal without padding. */
static void SimAppendHex(SimLine *line, uint32_t value)
{
    static const char digits[] = "0123456789ABCDEF";
    char reversed[8];
    int count = 0;
    do {
        reversed[count++] = digits[value & 0xF];
        value >>= 4;
    } while (value != 0);
    SimAppendText(line, " 0x");
    while (count > 0) {
        SimAppendChar(line, reversed[--count]);
    }
}

/* Appends the printable form of a display field: its bytes up to the first zero (all 40 when
 * there is none), printable ASCII as itself, anything else as \xNN. A form that does not fit
 * whole is left out. */
static void SimAppendDisplayText(SimLine *line, const uint8_t *field)
{
    static const char digits[] = "0123456789ABCDEF";
    for (unsigned i = 0; i < SIM_DISPLAY_SIZE && field[i] != 0; i++) {
        uint8_t byte = field[i];
        if (line->Used + 5 > line->Size) {
            break; /* the caller's line holds any 40 bytes; stay safe with a shorter one */
        }
        if (byte >= 0x20 && byte <= 0x7E) {
            SimAppendChar(line, (char)byte);
        } else {
            SimAppendText(line, "\\x");
            SimAppendChar(line, digits[byte >> 4]);
            SimAppendChar(line, digits[byte & 0xF]);
        }
    }
}

/* SimFormatLogLine: see sim_core.h. Parameters are written 0x-hexadecimal, upper case,
 * without padding; data bytes are never written. */
void SimFormatLogLine(unsigned code, const uint8_t *request, char *text, size_t textSize)
{
    SimLine line = {text, textSize, 0};
    if (textSize == 0) {
        return;
    }
    text[0] = '\0';
    SimAppendText(&line, SimCommandName(code));
    switch (code) {
    case SimEraseBlock:
    case SimUnlockBlock:
    case SimLockBlock:
    case SimWriteFlash:
        SimAppendHex(&line, SimGet32(request + 4));
        break;
    case SimReadRecord:
        SimAppendHex(&line, SimGet32(request + 4));
        SimAppendHex(&line, SimGet16(request + 8));
        break;
    case SimWriteRecord:
        SimAppendHex(&line, SimGet32(request + 4));
        SimAppendHex(&line, SimGet16(request + 520));
        break;
    case SimGetChecksum:
        SimAppendHex(&line, SimGet32(request + 4));
        SimAppendHex(&line, SimGet32(request + 8));
        break;
    case SimDisplayText:
        SimAppendChar(&line, ' ');
        SimAppendDisplayText(&line, request + 4);
        break;
    default:
        break;
    }
}
