/*
 * fake_win32.cpp - the scripted Win32 and SetupAPI calls.
 */
#include "fake_win32.h"

#include "tool/pipe_transport.h"

#include <gtest/gtest.h>
#include <stddef.h>
#include <string.h>

FakeWin32 Fake;
static DWORD LastError;
static int NextHandle = 0x100;
static int EventObjects[8]; /* the events' identities, in the order made */
static bool IsEvent(HANDLE handle)
{
    for (int &object : EventObjects) {
        if (handle == (HANDLE)&object) {
            return true;
        }
    }
    return false;
}

void ResetFake(void)
{
    Fake = FakeWin32();
    LastError = 0;
}

DWORD GetLastError(void) { return LastError; }

void SetLastError(DWORD error) { LastError = error; }

HANDLE CreateFileA(LPCSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security, DWORD disposition,
                   DWORD flags, HANDLE templateFile)
{
    EXPECT_EQ(access, GENERIC_READ | GENERIC_WRITE);
    EXPECT_EQ(share, (DWORD)(FILE_SHARE_READ | FILE_SHARE_WRITE));
    EXPECT_EQ(security, nullptr);
    EXPECT_EQ(disposition, (DWORD)OPEN_EXISTING);
    EXPECT_EQ(templateFile, nullptr);
    std::string name = path;
    std::string base = name.substr(0, name.find('\\', 4));
    bool known = false;
    for (const std::string &interfacePath : Fake.Interfaces) {
        known = known || interfacePath == base;
    }
    HANDLE handle = INVALID_HANDLE_VALUE;
    if (known && Fake.Unopenable.count(name) == 0 && Fake.Unopenable.count(base) == 0) {
        handle = (HANDLE)(intptr_t)NextHandle++;
        Fake.Open.insert(handle);
    } else {
        auto error = Fake.OpenErrors.find(name);
        LastError = error != Fake.OpenErrors.end() ? error->second : ERROR_FILE_NOT_FOUND;
    }
    Fake.Opens.push_back({name, flags, handle});
    return handle;
}

DWORD FormatMessageA(DWORD flags, LPCVOID source, DWORD id, DWORD language, LPSTR buffer, DWORD size, va_list *)
{
    EXPECT_EQ(flags, (DWORD)(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS));
    EXPECT_EQ(source, nullptr);
    EXPECT_EQ(language, 0u);
    auto message = Fake.Messages.find(id);
    if (message == Fake.Messages.end() || message->second.size() + 1 > size) {
        LastError = ERROR_MR_MID_NOT_FOUND;
        return 0;
    }
    memcpy(buffer, message->second.c_str(), message->second.size() + 1);
    return (DWORD)message->second.size();
}

BOOL CloseHandle(HANDLE handle)
{
    EXPECT_EQ(Fake.Open.count(handle), 1u) << "closing a handle that is not open";
    Fake.Open.erase(handle);
    Fake.Closes++;
    return TRUE;
}

HANDLE CreateEventA(LPSECURITY_ATTRIBUTES security, BOOL manualReset, BOOL initialState, LPCSTR name)
{
    EXPECT_EQ(security, nullptr);
    EXPECT_FALSE(manualReset);
    EXPECT_FALSE(initialState);
    EXPECT_EQ(name, nullptr);
    if (Fake.EventFails || Fake.EventsMade >= 8 ||
        (Fake.EventFailsFrom != 0 && Fake.EventsMade + 1 >= Fake.EventFailsFrom)) {
        return NULL;
    }
    return (HANDLE)&EventObjects[Fake.EventsMade++];
}

BOOL WriteFile(HANDLE file, LPCVOID data, DWORD length, LPDWORD written, LPOVERLAPPED overlapped)
{
    EXPECT_EQ(Fake.Open.count(file), 1u);
    EXPECT_EQ(overlapped, nullptr);
    Fake.WriteSizes.push_back(length);
    Fake.Writes.emplace_back((const uint8_t *)data, (const uint8_t *)data + length);
    *written = Fake.ShortWriteAt == Fake.WriteSizes.size() ? length - 1 : length;
    return TRUE;
}

BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD length, LPDWORD got, LPOVERLAPPED overlapped)
{
    EXPECT_EQ(Fake.Open.count(file), 1u);
    EXPECT_NE(overlapped, nullptr);
    EXPECT_TRUE(IsEvent(overlapped->hEvent));
    /* One OVERLAPPED record serves every read: a second read while the first still runs
     * would have both fill it. */
    EXPECT_FALSE(Fake.ReadPending) << "a read issued while an earlier one is still pending";
    Fake.ReadSizes.push_back(length);
    Fake.CancelAsked = false;
    if (!Fake.Leftovers.empty()) {
        Fake.PendingBytes = Fake.Leftovers.front() < length ? Fake.Leftovers.front() : length;
        Fake.Leftovers.pop_front();
        memset(buffer, 0xEE, Fake.PendingBytes);
        Fake.ReadPending = true;
        *got = 0;
        LastError = ERROR_IO_PENDING;
        return FALSE;
    }
    memset(buffer, 0x5A, Fake.ReadBytes < length ? Fake.ReadBytes : length);
    switch (Fake.ReadMode) {
    case FakeReadAtOnce:
        *got = Fake.ReadBytes;
        return TRUE;
    case FakeReadPending:
    case FakeReadNever:
        *got = 0;
        Fake.ReadPending = true;
        Fake.PendingBytes = Fake.ReadMode == FakeReadPending ? Fake.ReadBytes : 0;
        LastError = ERROR_IO_PENDING;
        return FALSE;
    case FakeReadError:
        *got = 0;
        LastError = ERROR_GEN_FAILURE;
        return FALSE;
    }
    return FALSE;
}

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds)
{
    EXPECT_TRUE(IsEvent(handle));
    Fake.WaitTimeouts.push_back(milliseconds);
    /* A read that never completes leaves the event clear; every other one sets it. */
    return Fake.ReadPending && Fake.ReadMode == FakeReadNever && Fake.PendingBytes == 0 ? WAIT_TIMEOUT : WAIT_OBJECT_0;
}

BOOL GetOverlappedResult(HANDLE file, LPOVERLAPPED overlapped, LPDWORD got, BOOL wait)
{
    EXPECT_EQ(Fake.Open.count(file), 1u);
    EXPECT_EQ(overlapped, &ReadOverlapped);
    EXPECT_TRUE(Fake.ReadPending);
    /* Waiting for a read that never completes returns only once it was cancelled. */
    if (wait) {
        EXPECT_TRUE(Fake.CancelAsked) << "waiting for a read that nothing ends";
    }
    Fake.ReadPending = false;
    *got = Fake.PendingBytes;
    if (Fake.CancelAsked && Fake.PendingBytes == 0) {
        LastError = ERROR_OPERATION_ABORTED;
        return FALSE;
    }
    return TRUE;
}

BOOL CancelIoEx(HANDLE file, LPOVERLAPPED overlapped)
{
    EXPECT_EQ(file, ReadHandle);
    Fake.Cancels.push_back(overlapped);
    if (!Fake.ReadPending) {
        LastError = ERROR_NOT_FOUND;
        return FALSE;
    }
    Fake.CancelAsked = true;
    return TRUE;
}

BOOL DeviceIoControl(HANDLE device, DWORD code, LPVOID in, DWORD inSize, LPVOID out, DWORD outSize, LPDWORD returned,
                     LPOVERLAPPED overlapped)
{
    (void)in;
    (void)out;
    EXPECT_NE(returned, nullptr);
    if (code == IOCTL_RESET_PIPE) {
        EXPECT_EQ(inSize, 256u);
        EXPECT_EQ(outSize, 256u);
    } else {
        EXPECT_EQ(inSize, 0u);
        EXPECT_EQ(outSize, 0u);
    }
    Fake.Controls.push_back({device, code});
    Fake.ControlOverlapped.push_back(overlapped);
    return TRUE;
}

struct FakeSet {
    GUID Class;
};

HDEVINFO SetupDiGetClassDevsA(const GUID *classGuid, LPCSTR enumerator, HWND parent, DWORD flags)
{
    EXPECT_EQ(enumerator, nullptr);
    EXPECT_EQ(parent, nullptr);
    EXPECT_EQ(flags, (DWORD)(DIGCF_PRESENT | DIGCF_DEVICEINTERFACE));
    if (Fake.ClassDevsFails) {
        LastError = ERROR_INVALID_PARAMETER;
        return INVALID_HANDLE_VALUE;
    }
    Fake.SetsMade++;
    return new FakeSet{*classGuid};
}

BOOL SetupDiEnumDeviceInterfaces(HDEVINFO set, PSP_DEVINFO_DATA info, const GUID *classGuid, DWORD index,
                                 PSP_DEVICE_INTERFACE_DATA data)
{
    EXPECT_EQ(info, nullptr);
    EXPECT_EQ(0, memcmp(classGuid, &((FakeSet *)set)->Class, sizeof(GUID)));
    EXPECT_EQ(data->cbSize, 28u);
    if (Fake.EnumAlwaysFails || Fake.EnumErrorsAt.count(index)) {
        LastError = ERROR_GEN_FAILURE;
        return FALSE;
    }
    if (index >= Fake.Interfaces.size()) {
        LastError = ERROR_NO_MORE_ITEMS;
        return FALSE;
    }
    data->Reserved = index + 1;
    return TRUE;
}

BOOL SetupDiGetDeviceInterfaceDetailA(HDEVINFO set, PSP_DEVICE_INTERFACE_DATA data,
                                      PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail, DWORD size, LPDWORD required,
                                      PSP_DEVINFO_DATA info)
{
    (void)set;
    EXPECT_EQ(info, nullptr);
    const std::string &path = Fake.Interfaces.at(data->Reserved - 1);
    DWORD need = (DWORD)(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) + path.size() + 1);
    if (required != NULL) {
        *required = need;
    }
    if (detail == NULL) {
        EXPECT_EQ(size, 0u);
        LastError = ERROR_INSUFFICIENT_BUFFER;
        return FALSE;
    }
    EXPECT_EQ(detail->cbSize, 5u);
    if (size < need) {
        LastError = ERROR_INSUFFICIENT_BUFFER;
        return FALSE;
    }
    memcpy(detail->DevicePath, path.c_str(), path.size() + 1);
    return TRUE;
}

BOOL SetupDiDestroyDeviceInfoList(HDEVINFO set)
{
    Fake.SetsDestroyed++;
    delete (FakeSet *)set;
    return TRUE;
}
