/*
 * The pipe transport against a scripted Win32: discovery, opening, chunked writes, reads
 * with their time-out and pipe reset, and framed writes.
 */
#include "fake_win32.h"

#include "tool/pipe_transport.h"

#include <gtest/gtest.h>
#include <string.h>

namespace {

const char Unit1[] = "\\\\?\\usb#vid_1234&pid_5678#1#{0a1940c6-c2a0-47d2-86a6-d378d0db62ce}";
const char Unit2[] = "\\\\?\\usb#vid_1234&pid_5678#2#{0a1940c6-c2a0-47d2-86a6-d378d0db62ce}";
const GUID UnitClass = MURVO_INTERFACE_GUID_INIT;

class PipeTransportTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        CloseTransport();
        ResetFake();
        ReadOverlapped.hEvent = NULL; /* as at program start: the scripted events are new */
        ResetOverlapped.hEvent = NULL;
        Fake.Interfaces = {Unit1};
    }
    void TearDown() override
    {
        CloseTransport();
        EXPECT_TRUE(Fake.Open.empty()) << "a handle was left open";
        EXPECT_EQ(Fake.SetsMade, Fake.SetsDestroyed);
    }
};

TEST_F(PipeTransportTest, OpensReadPipeOverlappedAndWritePipeSynchronous)
{
    ASSERT_TRUE(OpenTransport());
    /* Each pipe open runs a discovery of its own: the bare path, closed again, then the pipe. */
    ASSERT_EQ(Fake.Opens.size(), 4u);
    EXPECT_EQ(Fake.Opens[0].Path, Unit1);
    EXPECT_EQ(Fake.Opens[0].Flags, 0u);
    EXPECT_EQ(Fake.Opens[1].Path, std::string(Unit1) + "\\PIPE00");
    EXPECT_EQ(Fake.Opens[1].Flags, (DWORD)FILE_FLAG_OVERLAPPED);
    EXPECT_EQ(Fake.Opens[2].Path, Unit1);
    EXPECT_EQ(Fake.Opens[3].Path, std::string(Unit1) + "\\PIPE01");
    EXPECT_EQ(Fake.Opens[3].Flags, 0u);
    EXPECT_EQ(Fake.Open.size(), 2u);
    EXPECT_EQ(ReadHandle, Fake.Opens[1].Handle);
    EXPECT_EQ(WriteHandle, Fake.Opens[3].Handle);
    EXPECT_EQ(std::string(DevicePath), std::string(Unit1) + "\\PIPE01");
    EXPECT_EQ(ReadOverlapped.Offset, 0u);
}

TEST_F(PipeTransportTest, CloseTwiceClosesOnce)
{
    ASSERT_TRUE(OpenTransport());
    int before = Fake.Closes;
    CloseTransport();
    EXPECT_EQ(Fake.Closes, before + 2);
    CloseTransport();
    EXPECT_EQ(Fake.Closes, before + 2);
    EXPECT_EQ(ReadHandle, INVALID_HANDLE_VALUE);
    EXPECT_EQ(WriteHandle, INVALID_HANDLE_VALUE);
}

TEST_F(PipeTransportTest, FailedReadPipeStillTriesTheWritePipeThenClosesIt)
{
    Fake.Unopenable = {std::string(Unit1) + "\\PIPE00"};
    EXPECT_FALSE(OpenTransport());
    ASSERT_EQ(Fake.Opens.size(), 4u);
    EXPECT_EQ(Fake.Opens.back().Path, std::string(Unit1) + "\\PIPE01");
    EXPECT_NE(Fake.Opens.back().Handle, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(Fake.Open.empty());
    EXPECT_EQ(WriteHandle, INVALID_HANDLE_VALUE);
}

/* Either event missing (the read's, then the reset's): the open fails and leaves no pipe open. */
TEST_F(PipeTransportTest, FailedEventClosesBothPipes)
{
    for (int failing = 1; failing <= 2; failing++) {
        SCOPED_TRACE(failing == 1 ? "the read's event" : "the reset's event");
        ResetFake();
        ReadOverlapped.hEvent = NULL;
        ResetOverlapped.hEvent = NULL;
        Fake.Interfaces = {Unit1};
        Fake.EventFailsFrom = failing;
        EXPECT_FALSE(OpenTransport());
        EXPECT_TRUE(Fake.Open.empty());
        EXPECT_TRUE(Fake.ReadSizes.empty()) << "nothing is read before both events exist";
    }
}

TEST_F(PipeTransportTest, ReopenedTransportKeepsItsEvents)
{
    ASSERT_TRUE(OpenTransport());
    HANDLE readEvent = ReadOverlapped.hEvent;
    CloseTransport();
    int events = Fake.EventsMade;
    ASSERT_TRUE(OpenTransport());
    /* Events are never closed, so a second open must not make new ones. */
    EXPECT_EQ(Fake.EventsMade, events);
    EXPECT_EQ(ReadOverlapped.hEvent, readEvent);
}

/* A failed open says why on the error stream, in one line: of the failures of both
 * discoveries and both pipes, the weightiest (access denied, then a pipe in use, then another
 * Windows error with the system's text, then no unit at all). */
TEST_F(PipeTransportTest, AFailedOpenGivesItsReasonInOneLine)
{
    struct Case {
        const char *What;
        std::vector<std::string> Interfaces;
        std::map<std::string, DWORD> Errors;
        const char *Reason;
    };
    const std::string pipe00 = std::string(Unit1) + "\\PIPE00";
    const std::string pipe01 = std::string(Unit1) + "\\PIPE01";
    const Case cases[] = {
        {"no interface",
         {},
         {},
         "No MURVO unit found: none is plugged in, or its driver (murvousb) is not installed\n"},
        {"the interface refused by its security",
         {Unit1},
         {{Unit1, ERROR_ACCESS_DENIED}},
         "Access to the MURVO unit denied: run vardel from a Command Prompt run as administrator\n"},
        {"the read pipe held by another program",
         {Unit1},
         {{pipe00, ERROR_INVALID_PARAMETER}},
         "The MURVO unit is in use by another program: close it, then try again\n"},
        {"another error, with the system's text",
         {Unit1},
         {{pipe01, ERROR_GEN_FAILURE}},
         "The MURVO unit could not be opened: A device attached to the system is not functioning. (error 31)\n"},
        {"an error the system has no text for",
         {Unit1},
         {{pipe00, 1234}},
         "The MURVO unit could not be opened: error 1234\n"},
        {"a unit in use weighs more than one that failed otherwise",
         {Unit1, Unit2},
         {{Unit1, ERROR_GEN_FAILURE}, {std::string(Unit2) + "\\PIPE00", ERROR_INVALID_PARAMETER}},
         "The MURVO unit is in use by another program: close it, then try again\n"},
        {"access denied weighs more than a unit in use",
         {Unit1, Unit2},
         {{Unit1, ERROR_ACCESS_DENIED}, {std::string(Unit2) + "\\PIPE01", ERROR_INVALID_PARAMETER}},
         "Access to the MURVO unit denied: run vardel from a Command Prompt run as administrator\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.What);
        ResetFake();
        Fake.Interfaces = c.Interfaces;
        for (const auto &error : c.Errors) {
            Fake.Unopenable.insert(error.first);
        }
        Fake.OpenErrors = c.Errors;
        Fake.Messages = {{ERROR_GEN_FAILURE, "A device attached to the system is not functioning.\r\n"}};
        testing::internal::CaptureStderr();
        EXPECT_FALSE(OpenTransport());
        EXPECT_EQ(testing::internal::GetCapturedStderr(), c.Reason);
    }

    /* A successful open after a failed one says nothing. */
    ResetFake();
    Fake.Interfaces = {Unit1};
    testing::internal::CaptureStderr();
    EXPECT_TRUE(OpenTransport());
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST_F(PipeTransportTest, DiscoveryTakesTheFirstInterfaceThatOpens)
{
    Fake.Interfaces = {Unit1, Unit2};
    Fake.Unopenable = {Unit1};
    char path[DEVICE_PATH_CHARS];
    HANDLE handle = FindUnitInterface(&UnitClass, path);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    EXPECT_EQ(std::string(path), Unit2);
    CloseHandle(handle);

    /* Members that fail with other errors are skipped. */
    Fake.Unopenable.clear();
    Fake.EnumErrorsAt = {0};
    EXPECT_TRUE(ProbeUnit(&UnitClass, path));
    EXPECT_EQ(std::string(path), Unit2);
}

TEST_F(PipeTransportTest, TransportNamesTheUnitItOpenedAndCountsEveryUnit)
{
    /* The first that opens is used, and the path stays the one opened; those after it are
     * counted without an open. */
    const std::string unit3 = std::string(Unit2) + "3";
    Fake.Interfaces = {Unit1, Unit2, unit3};
    Fake.Unopenable = {Unit1};
    ASSERT_TRUE(OpenTransport());
    EXPECT_EQ(TransportUnitsFound(), 3u);
    EXPECT_EQ(std::string(TransportUnitName()), Unit2);
    CloseTransport();
    Fake.Unopenable.clear();
    Fake.Interfaces = {Unit1};
    ASSERT_TRUE(OpenTransport());
    EXPECT_EQ(TransportUnitsFound(), 1u);
    EXPECT_EQ(std::string(TransportUnitName()), Unit1);
}

TEST_F(PipeTransportTest, DiscoveryEndsWithoutAUnit)
{
    char path[DEVICE_PATH_CHARS] = "";
    Fake.Interfaces.clear();
    EXPECT_EQ(FindUnitInterface(&UnitClass, path), INVALID_HANDLE_VALUE);
    EXPECT_FALSE(OpenTransport());

    /* No device information set at all. */
    Fake.Interfaces = {Unit1};
    Fake.ClassDevsFails = true;
    EXPECT_EQ(FindUnitInterface(&UnitClass, path), INVALID_HANDLE_VALUE);
    EXPECT_FALSE(OpenTransport());
    Fake.ClassDevsFails = false;
    Fake.Interfaces.clear();

    /* Errors other than the end of the list cannot keep discovery going for ever. */
    Fake.EnumAlwaysFails = true;
    EXPECT_EQ(FindUnitInterface(&UnitClass, path), INVALID_HANDLE_VALUE);

    /* A path with no room left for the pipe name is not taken. */
    Fake.EnumAlwaysFails = false;
    Fake.Interfaces = {std::string("\\\\?\\") + std::string(DEVICE_PATH_CHARS - 8, 'x')};
    EXPECT_EQ(FindUnitInterface(&UnitClass, path), INVALID_HANDLE_VALUE);
    Fake.Interfaces = {std::string("\\\\?\\") + std::string(DEVICE_PATH_CHARS - 12, 'x')};
    HANDLE handle = FindUnitInterface(&UnitClass, path);
    EXPECT_NE(handle, INVALID_HANDLE_VALUE);
    CloseHandle(handle);
}

TEST_F(PipeTransportTest, WritesGoOutInChunksOfAtMost4096)
{
    ASSERT_TRUE(OpenTransport());
    std::vector<uint8_t> data(2 * 4096 + 1);
    for (size_t i = 0; i < data.size(); i++) {
        data[i] = (uint8_t)i;
    }
    struct Case {
        uint32_t Length;
        std::vector<uint32_t> Chunks;
    };
    const Case cases[] = {{0, {}}, {520, {520}}, {4096, {4096}}, {4097, {4096, 1}}, {8193, {4096, 4096, 1}}};
    for (const Case &c : cases) {
        Fake.WriteSizes.clear();
        Fake.Writes.clear();
        uint32_t count = 99;
        EXPECT_TRUE(TransportWrite(data.data(), c.Length, &count));
        EXPECT_EQ(count, c.Length);
        EXPECT_EQ(Fake.WriteSizes, c.Chunks) << c.Length;
        std::vector<uint8_t> joined;
        for (auto &write : Fake.Writes) {
            joined.insert(joined.end(), write.begin(), write.end());
        }
        EXPECT_EQ(joined, std::vector<uint8_t>(data.begin(), data.begin() + c.Length));
    }
}

TEST_F(PipeTransportTest, ShortWriteStopsAtThatChunk)
{
    ASSERT_TRUE(OpenTransport());
    std::vector<uint8_t> data(3 * 4096);
    Fake.ShortWriteAt = 2;
    uint32_t count = 0;
    EXPECT_FALSE(TransportWrite(data.data(), (uint32_t)data.size(), &count));
    EXPECT_EQ(Fake.WriteSizes.size(), 2u);
    EXPECT_EQ(count, 2u * 4096); /* the failed chunk counts as attempted */
}

TEST_F(PipeTransportTest, ReadTimeOutGrowsWithLengthAndExtra)
{
    ASSERT_TRUE(OpenTransport());
    Fake.ReadMode = FakeReadNever;
    std::vector<uint8_t> buffer(60000);
    struct Case {
        uint32_t Length, Extra, Timeout;
    };
    const Case cases[] = {{5, 0, 2000},     {516, 0, 2000}, {40019, 0, 2000}, {40020, 0, 2001},
                          {40040, 0, 2002}, {5, 500, 2500}, {60000, 10, 3010}};
    for (const Case &c : cases) {
        Fake.WaitTimeouts.clear();
        EXPECT_FALSE(TransportRead(buffer.data(), c.Length, c.Extra, NULL));
        ASSERT_EQ(Fake.WaitTimeouts.size(), 1u);
        EXPECT_EQ(Fake.WaitTimeouts[0], c.Timeout) << c.Length << "+" << c.Extra;
    }
}

TEST_F(PipeTransportTest, TimedOutReadIsCancelledAndEndedThenThePipeReset)
{
    ASSERT_TRUE(OpenTransport());
    Fake.ReadMode = FakeReadNever;
    uint8_t reply[5];
    EXPECT_FALSE(TransportRead(reply, 5, 0, NULL));
    /* The read is over when the call returns: cancelled, and waited for (the scripted
     * GetOverlappedResult refuses a wait that nothing would end). */
    ASSERT_EQ(Fake.Cancels.size(), 1u);
    EXPECT_EQ(Fake.Cancels[0], &ReadOverlapped);
    EXPECT_FALSE(Fake.ReadPending);
    ASSERT_EQ(Fake.Controls.size(), 1u);
    EXPECT_EQ(Fake.Controls[0].first, ReadHandle);
    EXPECT_EQ(Fake.Controls[0].second, (DWORD)IOCTL_RESET_PIPE);
    ASSERT_NE(Fake.ControlOverlapped[0], nullptr);
    EXPECT_NE(Fake.ControlOverlapped[0], &ReadOverlapped);
    EXPECT_NE(Fake.ControlOverlapped[0]->hEvent, nullptr);
    EXPECT_NE(Fake.ControlOverlapped[0]->hEvent, ReadOverlapped.hEvent);
    /* A later read has the record to itself (the scripted ReadFile refuses a second read
     * while one is pending). */
    Fake.ReadMode = FakeReadPending;
    Fake.ReadBytes = 5;
    EXPECT_TRUE(TransportRead(reply, 5, 0, NULL));
}

/* Replies the unit kept from an earlier run are read and dropped at the open, each read
 * waiting briefly, until a read brings nothing; that read is cancelled and ended. The first
 * command then reads its own reply. */
TEST_F(PipeTransportTest, OpenDropsRepliesLeftByAnEarlierRun)
{
    Fake.Leftovers = {5, 516};
    Fake.ReadMode = FakeReadNever;
    ASSERT_TRUE(OpenTransport());
    EXPECT_EQ(Fake.ReadSizes, std::vector<uint32_t>({4096, 4096, 4096}));
    EXPECT_EQ(Fake.WaitTimeouts, std::vector<DWORD>({100, 100, 100}));
    EXPECT_EQ(Fake.Cancels, std::vector<LPOVERLAPPED>({&ReadOverlapped}));
    EXPECT_FALSE(Fake.ReadPending);
    EXPECT_TRUE(Fake.Controls.empty());

    Fake.ReadMode = FakeReadPending;
    Fake.ReadBytes = 8;
    uint8_t reply[8];
    uint32_t count = 0;
    EXPECT_TRUE(TransportRead(reply, 8, 0, &count));
    EXPECT_EQ(count, 8u);
    EXPECT_EQ(reply[0], 0x5A);
}

/* The drain at the open ends at the first read that brings nothing, also when it completes
 * with no bytes after pending; and a unit that answers every read at once, without end,
 * keeps the open for a bounded number of reads only. */
TEST_F(PipeTransportTest, DrainEndsAtAnEmptyReadAndStopsForAUnitThatNeverRunsDry)
{
    Fake.Leftovers = {5};
    Fake.ReadMode = FakeReadPending;
    Fake.ReadBytes = 0;
    ASSERT_TRUE(OpenTransport());
    EXPECT_EQ(Fake.ReadSizes.size(), 2u);
    EXPECT_TRUE(Fake.Cancels.empty()) << "a read that ended needs no cancel";
    CloseTransport();

    ResetFake();
    Fake.Interfaces = {Unit1};
    Fake.ReadMode = FakeReadAtOnce;
    Fake.ReadBytes = 64;
    ASSERT_TRUE(OpenTransport());
    EXPECT_EQ(Fake.ReadSizes.size(), 64u);
}

TEST_F(PipeTransportTest, ReadSuccessRules)
{
    ASSERT_TRUE(OpenTransport());
    uint8_t reply[20];
    uint32_t count = 0;
    /* Completed at once: a success only when the whole reply came. */
    Fake.ReadMode = FakeReadAtOnce;
    Fake.ReadBytes = 3;
    EXPECT_FALSE(TransportRead(reply, 5, 0, &count));
    EXPECT_EQ(count, 3u);
    Fake.ReadBytes = 5;
    EXPECT_TRUE(TransportRead(reply, 5, 0, &count));
    EXPECT_EQ(count, 5u);
    /* After a wait only the whole length counts. */
    Fake.ReadMode = FakeReadPending;
    Fake.ReadBytes = 4;
    EXPECT_FALSE(TransportRead(reply, 5, 0, &count));
    EXPECT_EQ(count, 4u);
    Fake.ReadBytes = 5;
    EXPECT_TRUE(TransportRead(reply, 5, 0, &count));
    EXPECT_EQ(count, 5u);
    Fake.ReadMode = FakeReadError;
    EXPECT_FALSE(TransportRead(reply, 5, 0, &count));
    EXPECT_TRUE(Fake.Controls.empty());
}

/* The bytes WriteFramed should send for data: 64-byte packets of mark and 62 bytes. */
std::vector<uint8_t> Framed(const std::vector<uint8_t> &data)
{
    std::vector<uint8_t> out;
    for (size_t offset = 0; offset < data.size(); offset += 62) {
        out.push_back(0x55);
        out.push_back(0xAA);
        size_t chunk = std::min<size_t>(62, data.size() - offset);
        out.insert(out.end(), data.begin() + offset, data.begin() + offset + chunk);
    }
    return out;
}

TEST_F(PipeTransportTest, FramedWritesPackPacketsAndFlushAt16K)
{
    ASSERT_TRUE(OpenTransport());
    for (uint32_t length : {0u, 1u, 62u, 63u, 124u, 256u * 62u, 256u * 62u + 1u, 1000u * 62u + 7u}) {
        Fake.WriteSizes.clear();
        Fake.Writes.clear();
        std::vector<uint8_t> data(length);
        for (uint32_t i = 0; i < length; i++) {
            data[i] = (uint8_t)(i * 31 + 1);
        }
        uint32_t count = 12345;
        EXPECT_TRUE(WriteFramed(data.data(), length, &count));
        EXPECT_EQ(count, length);
        std::vector<uint8_t> joined;
        for (auto &write : Fake.Writes) {
            joined.insert(joined.end(), write.begin(), write.end());
        }
        EXPECT_EQ(joined, Framed(data)) << length;
        /* Mid-stream flushes happen at exactly 16 KiB, as four chunks of 4096. */
        for (size_t i = 0; i + 1 < Fake.WriteSizes.size(); i++) {
            EXPECT_EQ(Fake.WriteSizes[i], 4096u) << length;
        }
    }
    Fake.WriteSizes.clear();
    std::vector<uint8_t> data(63);
    WriteFramed(data.data(), 63, NULL);
    EXPECT_EQ(Fake.WriteSizes, std::vector<uint32_t>({67}));
}

TEST_F(PipeTransportTest, FailedFramedWriteStopsPacking)
{
    ASSERT_TRUE(OpenTransport());
    std::vector<uint8_t> data(600 * 62);
    Fake.ShortWriteAt = 1;
    uint32_t count = 0;
    EXPECT_FALSE(WriteFramed(data.data(), (uint32_t)data.size(), &count));
    /* The first 16 KiB went out in four chunks, of which the first failed: no more writes. */
    EXPECT_EQ(Fake.WriteSizes.size(), 1u);
}

TEST_F(PipeTransportTest, ResetDeviceAndReport)
{
    ASSERT_TRUE(OpenTransport());
    EXPECT_TRUE(SendResetDevice(WriteHandle, NULL));
    ASSERT_EQ(Fake.Controls.size(), 1u);
    EXPECT_EQ(Fake.Controls[0].second, (DWORD)IOCTL_RESET_DEVICE);

    ::testing::internal::CaptureStdout();
    HANDLE handle = OpenUnitAndReport();
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), std::string("DeviceName = (") + Unit1 + ")\n");
    CloseHandle(handle);

    Fake.Unopenable = {Unit1};
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(OpenUnitAndReport(), INVALID_HANDLE_VALUE);
    /* The last error is the one discovery ended on: the end of the interface list. */
    EXPECT_EQ(::testing::internal::GetCapturedStdout(),
              std::string("Failed to open (") + Unit1 + ") = " + std::to_string(ERROR_NO_MORE_ITEMS));
}

} // namespace
