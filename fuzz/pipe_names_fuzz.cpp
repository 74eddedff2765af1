/*
 * pipe_names_fuzz.cpp - murvousb's pipe-name parsers on arbitrary counted strings.
 *
 * Input: the unit's pipe table (up to four pipes: endpoint address and whether each is
 * open), then the name's bytes as UTF-16 code units, low byte first; an odd byte count gives
 * an odd Length. The name lies in a heap block of exactly its byte count with nothing after
 * it, so the address sanitizer reports any read past the name.
 *
 * The parsers must agree with the grammar read from std::u16string's own search: "\PIPE" and
 * two decimal digits at the first "\PIPE" give the pipe of that index; otherwise "\ADDR" and
 * two decimal digits (each a nibble) at the first "\ADDR" give the first pipe with that
 * endpoint address; a pipe is found only when it exists and is not open.
 */
#include "fuzz/fuzz_support.h"

#include "driver/murvousb.h"

#include <string>
#include <vector>

/* Index by the grammar, or -1. */
static long TwoDigitsAt(const std::u16string &name, const std::u16string &marker, bool hex, long *value)
{
    size_t at = name.find(marker);
    if (at == std::u16string::npos || at + marker.size() + 2 > name.size()) {
        return -1;
    }
    char16_t d1 = name[at + marker.size()], d2 = name[at + marker.size() + 1];
    if (d1 < u'0' || d1 > u'9' || d2 < u'0' || d2 > u'9') {
        return -1;
    }
    *value = (hex ? 16 : 10) * (d1 - u'0') + (d2 - u'0');
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzInput in = FuzzInputOf(data, size);
    ULONG pipeCount = FuzzTake8(&in) % 5;

    std::vector<UCHAR> interfaceBytes(sizeof(USBD_INTERFACE_INFORMATION) + 4 * sizeof(USBD_PIPE_INFORMATION));
    PUSBD_INTERFACE_INFORMATION info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(interfaceBytes.data());
    info->Length = static_cast<USHORT>(interfaceBytes.size());
    info->NumberOfPipes = pipeCount;
    DEVICE_OBJECT device{};
    DeviceExtension extension{};
    PipeContext pipes[4]{};
    for (ULONG i = 0; i < pipeCount; i++) {
        uint8_t settings = FuzzTake8(&in);
        info->Pipes[i].EndpointAddress = FuzzTake8(&in);
        pipes[i].OwnerDevice = &device;
        pipes[i].PipeInformation = &info->Pipes[i];
        pipes[i].IsOpen = (settings & 1) != 0;
    }
    /* A table given up at removal: no interface information, no pipes. */
    bool noTable = pipeCount == 0 && (FuzzTake8(&in) & 1) != 0;
    extension.InterfaceInfo = noTable ? NULL : info;
    extension.PipeTable = noTable ? NULL : pipes;
    device.DeviceExtension = &extension;

    size_t byteCount = size - in.Used;
    if (byteCount > 0xFFFE) {
        byteCount = 0xFFFE;
    }
    uint8_t *bytes = byteCount ? static_cast<uint8_t *>(malloc(byteCount)) : NULL;
    FuzzTakeBytes(&in, bytes, byteCount);
    UNICODE_STRING name;
    name.Buffer = reinterpret_cast<PWSTR>(bytes);
    name.Length = static_cast<USHORT>(byteCount);
    name.MaximumLength = static_cast<USHORT>(byteCount);

    std::u16string text;
    for (size_t i = 0; i + 1 < byteCount; i += 2) {
        text.push_back(static_cast<char16_t>(bytes[i] | bytes[i + 1] << 8));
    }

    long index = -1, address = -1;
    bool byIndex = TwoDigitsAt(text, u"\\PIPE", false, &index) == 0;
    bool byAddress = !byIndex && TwoDigitsAt(text, u"\\ADDR", true, &address) == 0;

    ULONG parsed = 0xFFFFFFFF;
    BOOLEAN parsedPipe = ParsePipeName(&name, &parsed);
    FUZZ_CHECK(parsedPipe == byIndex, "ParsePipeName says %d, the grammar %d", parsedPipe, byIndex);
    if (byIndex) {
        FUZZ_CHECK(parsed == static_cast<ULONG>(index), "pipe index %lu, the grammar %ld", (unsigned long)parsed,
                   index);
    }

    long expected = -1;
    if (byIndex && !noTable) {
        expected = index < static_cast<long>(pipeCount) ? index : -1;
    }
    if (byAddress && !noTable) {
        for (ULONG i = 0; i < pipeCount; i++) {
            if (info->Pipes[i].EndpointAddress == address) {
                expected = static_cast<long>(i);
                break;
            }
        }
    }
    if (expected >= 0 && pipes[expected].IsOpen) {
        expected = -1;
    }

    PipeContext *found = FindPipeForFile(&device, &name);
    long foundIndex = found == NULL ? -1 : static_cast<long>(found - pipes);
    FUZZ_CHECK(foundIndex == expected, "FindPipeForFile gives pipe %ld, the grammar %ld", foundIndex, expected);
    free(bytes);
    return 0;
}
