/*
 * pipe_names_test.cpp - the pipe-name grammar of murvousb: "\PIPEnn" and "\ADDRxy" at their
 * first occurrence, upper case only, the index form first, nothing read beyond the name.
 * The fuzz test checks the parsers against std::u16string's own search over random names
 * held in buffers of exactly their length (the address sanitizer catches any over-read).
 */
#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <string>

#include "driver/murvousb.h"

namespace {

/* A two-pipe unit as the start leaves it: pipe 0 is endpoint 0x81, pipe 1 endpoint 0x02. */
struct FakeUnit {
    DEVICE_OBJECT Device{};
    DeviceExtension Extension{};
    std::unique_ptr<UCHAR[]> InterfaceBytes;
    PipeContext Pipes[2]{};

    FakeUnit()
    {
        size_t size = sizeof(USBD_INTERFACE_INFORMATION) + sizeof(USBD_PIPE_INFORMATION);
        InterfaceBytes.reset(new UCHAR[size]());
        PUSBD_INTERFACE_INFORMATION info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(InterfaceBytes.get());
        info->Length = static_cast<USHORT>(size);
        info->NumberOfPipes = 2;
        info->Pipes[0].EndpointAddress = 0x81;
        info->Pipes[1].EndpointAddress = 0x02;
        Extension.InterfaceInfo = info;
        Extension.PipeTable = Pipes;
        for (int i = 0; i < 2; i++) {
            Pipes[i].OwnerDevice = &Device;
            Pipes[i].PipeInformation = &info->Pipes[i];
        }
        Device.DeviceExtension = &Extension;
    }
};

/* A name in a heap buffer of exactly its length, as a counted string. */
struct ExactName {
    std::unique_ptr<WCHAR[]> Buffer;
    UNICODE_STRING String;

    explicit ExactName(const std::u16string &text, USHORT byteLength = 0xFFFF)
    {
        Buffer.reset(text.empty() ? nullptr : new WCHAR[text.size()]);
        for (size_t i = 0; i < text.size(); i++) {
            Buffer[i] = text[i];
        }
        String.Buffer = Buffer.get();
        String.Length = byteLength != 0xFFFF ? byteLength : static_cast<USHORT>(text.size() * sizeof(WCHAR));
        String.MaximumLength = static_cast<USHORT>(text.size() * sizeof(WCHAR));
    }
};

int PipeOf(FakeUnit &unit, const std::u16string &name)
{
    ExactName exact(name);
    PipeContext *pipe = FindPipeForFile(&unit.Device, &exact.String);
    return pipe == nullptr ? -1 : static_cast<int>(pipe - unit.Pipes);
}

TEST(PipeNames, TheGrammarsCases)
{
    FakeUnit unit;
    struct Case {
        const char16_t *Name;
        int Pipe;
    } cases[] = {
        {u"\\PIPE00", 0},         {u"\\PIPE01", 1},
        {u"\\PIPE02", -1},        {u"\\PIPE05\\ADDR81", -1},
        {u"\\PIPE1", -1},         {u"\\PIPE0x\\ADDR81", 0},
        {u"\\PIPE01\\ADDR81", 1}, {u"\\ADDR81", 0},
        {u"\\ADDR02", 1},         {u"\\ADDR03", -1},
        {u"\\ADDR8A", -1},        {u"\\pipe00", -1},
        {u"\\PiPE00", -1},        {u"\\", -1},
        {u"\\PIPE", -1},          {u"\\PIPE0", -1},
        {u"\\ADDR", -1},          {u"\\abc\\PIPE01", 1},
        {u"\\PIPE01xyz", 1},      {u"\\PIPExx\\PIPE01", -1},
        {u"\\\\PIPE01", 1},       {u"\\PIP\\PIPE00", 0},
        {u"PIPE01", -1},          {u"\\PIPE99", -1},
        {u"\\PIPE0\x0661", -1},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(PipeOf(unit, c.Name), c.Pipe)
            << std::string(c.Name, c.Name + std::char_traits<char16_t>::length(c.Name));
    }
}

TEST(PipeNames, AnOpenPipeIsNotFoundAgain)
{
    FakeUnit unit;
    unit.Pipes[0].IsOpen = 1;
    EXPECT_EQ(PipeOf(unit, u"\\PIPE00"), -1);
    EXPECT_EQ(PipeOf(unit, u"\\ADDR81"), -1);
    EXPECT_EQ(PipeOf(unit, u"\\PIPE01"), 1);
}

TEST(PipeNames, AUnitWithoutItsConfigurationHasNoPipeToFind)
{
    FakeUnit unit;
    unit.Extension.InterfaceInfo = nullptr;
    unit.Extension.PipeTable = nullptr;
    EXPECT_EQ(PipeOf(unit, u"\\ADDR81"), -1);
    EXPECT_EQ(PipeOf(unit, u"\\PIPE00"), -1);
}

TEST(PipeNames, NothingBeyondTheNamesLengthIsRead)
{
    FakeUnit unit;
    // The buffer holds "\PIPE01" but the name ends after "\PIPE0".
    ExactName truncated(u"\\PIPE01", 6 * sizeof(WCHAR));
    ULONG index = 99;
    EXPECT_FALSE(ParsePipeName(&truncated.String, &index));
    EXPECT_EQ(FindPipeForFile(&unit.Device, &truncated.String), nullptr);
    // An odd byte length covers only whole code units.
    ExactName odd(u"\\PIPE01", 13);
    EXPECT_FALSE(ParsePipeName(&odd.String, &index));
    ExactName marker(u"\\PIP", 4 * sizeof(WCHAR));
    EXPECT_EQ(FindWideSubstring(&marker.String, u"\\PIPE"), -1);
    ExactName empty(u"");
    EXPECT_EQ(FindWideSubstring(&empty.String, u"\\PIPE"), -1);
    EXPECT_EQ(FindPipeForFile(&unit.Device, &empty.String), nullptr);
}

TEST(PipeNames, FindWideSubstringReturnsTheFirstPosition)
{
    ExactName text(u"ab\\PIPE\\PIPE");
    EXPECT_EQ(FindWideSubstring(&text.String, u"\\PIPE"), 2);
    EXPECT_EQ(FindWideSubstring(&text.String, u"ab"), 0);
    EXPECT_EQ(FindWideSubstring(&text.String, u"\\ADDR"), -1);
    ExactName exact(u"\\PIPE");
    EXPECT_EQ(FindWideSubstring(&exact.String, u"\\PIPE"), 0);
}

/* What the grammar says a name designates on FakeUnit, by std::u16string's search. */
int ModelPipeOf(const std::u16string &name)
{
    auto digits = [&](size_t at, int *first, int *second) {
        if (at + 2 > name.size()) {
            return false;
        }
        char16_t a = name[at], b = name[at + 1];
        if (a < u'0' || a > u'9' || b < u'0' || b > u'9') {
            return false;
        }
        *first = a - u'0';
        *second = b - u'0';
        return true;
    };
    int first, second;
    size_t pipe = name.find(u"\\PIPE");
    if (pipe != std::u16string::npos && digits(pipe + 5, &first, &second)) {
        int index = 10 * first + second;
        return index < 2 ? index : -1;
    }
    size_t address = name.find(u"\\ADDR");
    if (address != std::u16string::npos && digits(address + 5, &first, &second)) {
        int value = 16 * first + second;
        return value == 0x81 ? 0 : value == 0x02 ? 1 : -1;
    }
    return -1;
}

TEST(PipeNames, FuzzedNamesAgreeWithTheGrammarAndStayInsideTheirBuffers)
{
    FakeUnit unit;
    std::mt19937 random(20261209);
    static const char16_t alphabet[] = u"\\PIPEADDR0128xp\\\\PIPE";
    const size_t letters = sizeof(alphabet) / sizeof(alphabet[0]) - 1;
    for (int round = 0; round < 200000; round++) {
        size_t length = random() % 16;
        std::u16string name;
        // Whole markers now and then, so that the forms are hit often.
        while (name.size() < length) {
            switch (random() % 6) {
            case 0:
                name += u"\\PIPE";
                break;
            case 1:
                name += u"\\ADDR";
                break;
            default:
                name += alphabet[random() % letters];
                break;
            }
        }
        name.resize(length);
        ASSERT_EQ(PipeOf(unit, name), ModelPipeOf(name)) << "round " << round;

        ExactName exact(name);
        ULONG index = 0;
        size_t expected = name.find(u"\\PIPE");
        LONG position = FindWideSubstring(&exact.String, u"\\PIPE");
        ASSERT_EQ(position, expected == std::u16string::npos ? -1 : static_cast<LONG>(expected));
        ParseEndpointName(&unit.Extension, &exact.String, &index);
    }
}

} // namespace
