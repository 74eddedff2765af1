/*
 * usermode_test.cpp - the user-mode entry points: interface enumeration, opening files with
 * a suffix, direct-I/O reads and writes, buffered device controls, asynchronous completion,
 * cancellation, and the end of a process.
 */
#include <string.h>

#include <atomic>
#include <thread>

#include "nt/nt_test_support.h"

namespace {

class UserModeTest : public NtTest {
protected:
    void SetUp() override
    {
        NtTest::SetUp();
        Node = Arrive(&Pdo);
        ASSERT_EQ(STATUS_SUCCESS, HostGetDeviceInterfacePath(&TestInterfaceClass, 0, Path, 256, nullptr));
        Process = HostProcessCreate();
    }
    void TearDown() override
    {
        if (Process) {
            HostProcessEnd(Process);
        }
        Unplug(Node, Pdo);
        NtTest::TearDown();
    }
    HostFile *Open(const std::u16string &Suffix)
    {
        std::u16string full = std::u16string(Path) + Suffix;
        HostFile *file = nullptr;
        EXPECT_EQ(STATUS_SUCCESS, HostCreateFile(Process, full.c_str(), &file));
        return file;
    }
    PDEVICE_OBJECT Pdo = nullptr;
    HostDeviceNode *Node = nullptr;
    HostProcess *Process = nullptr;
    WCHAR Path[256] = {};
};

TEST_F(UserModeTest, InterfacePathIsEnumeratedAndOpensWithItsSuffix)
{
    std::u16string path(Path);
    EXPECT_EQ(u"\\\\?\\test#unit#1#{12345678-9abc-def0-1122-334455667788}", path);
    WCHAR small[8];
    ULONG needed = 0;
    EXPECT_EQ(STATUS_BUFFER_TOO_SMALL, HostGetDeviceInterfacePath(&TestInterfaceClass, 0, small, 8, &needed));
    EXPECT_EQ(path.size() + 1, needed);
    EXPECT_EQ(STATUS_NO_MORE_ENTRIES, HostGetDeviceInterfacePath(&TestInterfaceClass, 1, small, 8, &needed));

    HostFile *file = Open(u"\\PIPE01");
    ASSERT_NE(nullptr, file);
    EXPECT_EQ("FDO OPEN \\PIPE01", TestLogMatching("FDO OPEN").back());
    EXPECT_EQ(HostPnpFunctionDevice(Node), HostFileObject(file)->FsContext);
    EXPECT_EQ(1u, HostPnpOpenFileCount(Node));
    HostFile *bare = nullptr;
    std::u16string upper = u"\\??\\TEST#UNIT#1#{12345678-9ABC-DEF0-1122-334455667788}";
    EXPECT_EQ(STATUS_SUCCESS, HostCreateFile(Process, upper.c_str(), &bare)) << "kernel form, any case";
    EXPECT_EQ(0, HostFileObject(bare)->FileName.Length);
    HostFile *none = nullptr;
    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, HostCreateFile(Process, (path + u"x").c_str(), &none));
    EXPECT_EQ(STATUS_SUCCESS, HostCloseFile(file));
    EXPECT_EQ(STATUS_SUCCESS, HostCloseFile(bare));
    EXPECT_EQ(0u, HostPnpOpenFileCount(Node));
}

TEST_F(UserModeTest, ReadAndWriteUseTheCallersBufferThroughAnMdl)
{
    HostFile *file = Open(u"\\PIPE00");
    UCHAR buffer[5000];
    memset(buffer, 0, sizeof buffer);
    ULONG_PTR done = 0;
    EXPECT_EQ(STATUS_SUCCESS, HostReadFile(file, buffer, sizeof buffer, nullptr, &done));
    EXPECT_EQ(sizeof buffer, done);
    EXPECT_EQ(0xA5, buffer[0]);
    EXPECT_EQ(0xA5, buffer[4999]);
    EXPECT_EQ(STATUS_SUCCESS, HostWriteFile(file, buffer, 520, nullptr, &done));
    EXPECT_EQ(520u, done);
    EXPECT_EQ(STATUS_SUCCESS, HostReadFile(file, nullptr, 0, nullptr, &done)) << "a read of 0 bytes carries no MDL";
    EXPECT_EQ(0u, done);
    TestBusSetMode(TestBusCompleteNow, STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(STATUS_DEVICE_NOT_CONNECTED, HostReadFile(file, buffer, 10, nullptr, &done));
}

TEST_F(UserModeTest, BufferedDeviceControlCopiesInAndOut)
{
    HostFile *file = Open(u"");
    UCHAR in[3] = {7, 8, 9}, out[16];
    memset(out, 0xEE, sizeof out);
    ULONG_PTR done = 0;
    EXPECT_EQ(STATUS_SUCCESS, HostDeviceIoControl(file, 0x220008, in, sizeof in, out, sizeof out, nullptr, &done));
    EXPECT_EQ(3u, done);
    EXPECT_EQ(9, out[0]);
    EXPECT_EQ(7, out[2]);
    EXPECT_EQ(0xEE, out[3]) << "only Information bytes are copied back";
}

TEST_F(UserModeTest, AsynchronousReadReportsThroughEventAndCallback)
{
    TestBusSetMode(TestBusHold, STATUS_SUCCESS);
    HostFile *file = Open(u"\\PIPE00");
    UCHAR buffer[64];
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    static std::atomic<int> calls;
    calls = 0;
    HostAsyncIo async = {};
    async.Event = &event;
    async.Callback = [](PVOID, NTSTATUS, ULONG_PTR) { calls++; };
    EXPECT_EQ(STATUS_PENDING, HostReadFile(file, buffer, sizeof buffer, &async, nullptr));
    EXPECT_EQ(1u, HostOutstandingRequests(file));
    EXPECT_TRUE(TestBusCompleteHeld(STATUS_SUCCESS, 5));
    EXPECT_EQ(STATUS_SUCCESS, KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr));
    EXPECT_EQ(1, calls.load());
    EXPECT_EQ(STATUS_SUCCESS, async.IoStatus.Status);
    EXPECT_EQ(5u, async.IoStatus.Information);
    EXPECT_EQ(0u, HostOutstandingRequests(file));
}

TEST_F(UserModeTest, CancelFileIoCancelsOutstandingRequests)
{
    TestBusSetMode(TestBusHold, STATUS_SUCCESS);
    HostFile *file = Open(u"\\PIPE00");
    UCHAR buffer[16];
    HostAsyncIo first = {}, second = {};
    HostReadFile(file, buffer, 8, &first, nullptr);
    HostReadFile(file, buffer + 8, 8, &second, nullptr);
    EXPECT_EQ(2u, TestBusHeldCount());
    HostCancelFileIo(file);
    EXPECT_EQ(0u, HostOutstandingRequests(file));
    EXPECT_EQ(STATUS_CANCELLED, first.IoStatus.Status);
    EXPECT_EQ(STATUS_CANCELLED, second.IoStatus.Status);
}

TEST_F(UserModeTest, CloseWaitsForOutstandingRequestsBeforeIrpMjClose)
{
    TestBusSetMode(TestBusHold, STATUS_SUCCESS);
    HostFile *file = Open(u"\\PIPE00");
    UCHAR buffer[8];
    HostAsyncIo async = {};
    HostReadFile(file, buffer, 8, &async, nullptr);
    TestLogClear();
    HostCloseFile(file);
    std::vector<std::string> expected = {"FDO 12.00 @0"};
    EXPECT_EQ(expected, TestLogMatching("FDO")) << "cleanup now, close later";
    EXPECT_EQ(1u, HostPnpOpenFileCount(Node));
    TestBusCompleteHeld(STATUS_SUCCESS, 8);
    HostWaitIdle();
    expected = {"FDO 12.00 @0", "FDO 02.00 @0"};
    EXPECT_EQ(expected, TestLogMatching("FDO"));
    EXPECT_EQ(0u, HostPnpOpenFileCount(Node));
}

TEST_F(UserModeTest, ProcessEndCancelsRequestsBeforeClosingFiles)
{
    TestBusSetMode(TestBusHold, STATUS_SUCCESS);
    HostFile *file = Open(u"\\PIPE00");
    UCHAR buffer[8];
    HostAsyncIo async = {};
    HostReadFile(file, buffer, 8, &async, nullptr);
    TestLogClear();
    HostProcessEnd(Process);
    Process = nullptr;
    std::vector<std::string> expected = {"PDO CANCEL", "FDO 12.00 @0", "FDO 02.00 @0"};
    std::vector<std::string> seen;
    for (const std::string &entry : TestLogEntries()) {
        if (entry == "PDO CANCEL" || entry.compare(0, 3, "FDO") == 0) {
            seen.push_back(entry);
        }
    }
    EXPECT_EQ(expected, seen);
    EXPECT_EQ(STATUS_CANCELLED, async.IoStatus.Status);
}

std::atomic<int> Reported{0};
VOID CountReport(PVOID, NTSTATUS, ULONG_PTR) { Reported++; }

/* The I/O manager reports to the issuer (status block, event, callback) a request that
 * succeeded, ended with a warning, or was pended; one that failed at once reports nothing,
 * its status comes back from the call. */
TEST_F(UserModeTest, AnImmediateFailureReportsToNobody)
{
    HostFile *file = Open(u"\\PIPE00");
    UCHAR buffer[8];
    struct Case {
        TestBusMode Mode;
        NTSTATUS Status;
        bool Reports;
    } cases[] = {
        {TestBusCompleteNow, STATUS_DEVICE_DATA_ERROR, false},
        {TestBusCompleteNow, STATUS_DEVICE_BUSY, true}, /* a warning */
        {TestBusCompleteNow, STATUS_SUCCESS, true},
        {TestBusHold, STATUS_DEVICE_DATA_ERROR, true},
    };
    for (const Case &c : cases) {
        TestBusSetMode(c.Mode, c.Status);
        KEVENT event;
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        Reported = 0;
        HostAsyncIo async = {CountReport, nullptr, &event, {}};
        async.IoStatus.Status = 0x12345678;
        NTSTATUS status = HostReadFile(file, buffer, sizeof buffer, &async, nullptr);
        if (c.Mode == TestBusHold) {
            EXPECT_EQ(STATUS_PENDING, status);
            TestBusCompleteHeld(c.Status, 0);
        } else {
            EXPECT_EQ(c.Status, status);
        }
        EXPECT_EQ(c.Reports ? c.Status : 0x12345678, async.IoStatus.Status) << std::hex << c.Status;
        EXPECT_EQ(c.Reports ? 1 : 0, KeReadStateEvent(&event)) << std::hex << c.Status;
        EXPECT_EQ(c.Reports ? 1 : 0, Reported.load()) << std::hex << c.Status;
    }
    TestBusSetMode(TestBusCompleteNow, STATUS_SUCCESS);
    HostCloseFile(file);

    /* A driver's threaded device control likewise. */
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb;
    iosb.Status = 0x12345678;
    TestBusSetMode(TestBusCompleteNow, STATUS_DEVICE_DATA_ERROR);
    PIRP irp = IoBuildDeviceIoControlRequest(CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS),
                                             Pdo, nullptr, 0, nullptr, 0, FALSE, &event, &iosb);
    EXPECT_EQ(STATUS_DEVICE_DATA_ERROR, IoCallDriver(Pdo, irp));
    EXPECT_EQ(0x12345678, iosb.Status);
    EXPECT_EQ(0, KeReadStateEvent(&event));
    TestBusSetMode(TestBusCompleteNow, STATUS_SUCCESS);
}

/* A removal decided after QUERY_REMOVE's check of open files meets a create already inside
 * the function driver: the removal deletes the function device under it. The I/O manager
 * holds the device it sent the create to until the create returns ("IoDeleteDevice": the
 * object goes with its last reference), so the driver may still touch its extension. */
TEST_F(NtTest, ACreateInsideTheDriverHoldsTheDeviceObjectThroughItsRemoval)
{
    PDEVICE_OBJECT pdo;
    HostDeviceNode *node = Arrive(&pdo);
    WCHAR path[256];
    ASSERT_EQ(STATUS_SUCCESS, HostGetDeviceInterfacePath(&TestInterfaceClass, 0, path, 256, nullptr));
    PDEVICE_OBJECT fdo = HostPnpFunctionDevice(node);
    HostProcess *process = HostProcessCreate();
    ASSERT_EQ(STATUS_SUCCESS, HostPnpQueryRemove(node));

    TestFunctionHoldCreates();
    HostFile *file = nullptr;
    NTSTATUS created = STATUS_PENDING;
    std::thread opener([&] { created = HostCreateFile(process, path, &file); });
    TestFunctionWaitCreateHeld();
    EXPECT_EQ(STATUS_SUCCESS, HostPnpRemove(node));
    EXPECT_EQ(HostDeviceRemoved, HostPnpGetState(node));
    EXPECT_TRUE(HostDeviceObjectExists(fdo)) << "the create in progress holds the deleted function device";
    TestFunctionReleaseCreate();
    opener.join();
    EXPECT_EQ(STATUS_SUCCESS, created);
    EXPECT_EQ(1u, TestLogMatching("FDO OPEN RELEASED").size());
    EXPECT_FALSE(HostDeviceObjectExists(fdo)) << "the function device goes with the create's reference";

    HostProcessEnd(process);
    IoDeleteDevice(pdo);
}

} // namespace
