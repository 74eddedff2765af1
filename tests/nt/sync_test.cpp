/*
 * sync_test.cpp - events across real threads, time-outs, spin locks with per-thread IRQL,
 * interlocked operations.
 */
#include <atomic>
#include <thread>

#include "nt/nt_test_support.h"

namespace {

LARGE_INTEGER Millis(LONGLONG ms)
{
    LARGE_INTEGER t;
    t.QuadPart = -ms * 10000;
    return t;
}

TEST_F(NtTest, NotificationEventReleasesEveryWaiterAndStaysSet)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    std::atomic<int> woken{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 3; i++) {
        waiters.emplace_back([&] {
            EXPECT_EQ(STATUS_SUCCESS, KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr));
            woken++;
        });
    }
    EXPECT_EQ(0, KeSetEvent(&event, IO_NO_INCREMENT, FALSE));
    for (auto &t : waiters) {
        t.join();
    }
    EXPECT_EQ(3, woken.load());
    EXPECT_EQ(1, KeReadStateEvent(&event));
    EXPECT_EQ(1, KeSetEvent(&event, IO_NO_INCREMENT, FALSE)) << "returns the previous state";
    EXPECT_EQ(1, KeResetEvent(&event));
    EXPECT_EQ(0, KeReadStateEvent(&event));
}

/* Windows satisfies the waits on a notification event when it is set: a clear that follows
 * at once does not keep a woken waiter waiting. */
TEST_F(NtTest, ANotificationEventClearedRightAfterItsSetStillReleasesItsWaiters)
{
    for (int round = 0; round < 200; round++) {
        KEVENT event;
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        std::atomic<bool> waiting{false}, woken{false};
        std::thread waiter([&] {
            waiting = true;
            KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
            woken = true;
        });
        while (!waiting.load()) {
            std::this_thread::yield();
        }
        std::this_thread::sleep_for(std::chrono::microseconds(200)); // the waiter is blocked by now
        KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
        KeClearEvent(&event);
        bool released = false;
        for (int i = 0; i < 2000 && !released; i++) {
            released = woken.load();
            std::this_thread::sleep_for(std::chrono::microseconds(500));
        }
        if (!released) {
            KeSetEvent(&event, IO_NO_INCREMENT, FALSE); // lets the thread end
        }
        waiter.join();
        ASSERT_TRUE(released) << "round " << round << ": the waiter missed the set";
    }
}

TEST_F(NtTest, SynchronizationEventReleasesOneWaiterAndResets)
{
    KEVENT event;
    KeInitializeEvent(&event, SynchronizationEvent, FALSE);
    std::atomic<int> woken{0};
    std::thread a([&] {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        woken++;
    });
    std::thread b([&] {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        woken++;
    });
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    LARGE_INTEGER shortWait = Millis(50);
    while (woken.load() == 0) {
        std::this_thread::yield();
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(1, woken.load());
    EXPECT_EQ(0, KeReadStateEvent(&event));
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    a.join();
    b.join();
    EXPECT_EQ(2, woken.load());
    EXPECT_EQ(STATUS_TIMEOUT, KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &shortWait));
}

TEST_F(NtTest, WaitTimesOutUnlessSignalled)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    LARGE_INTEGER zero;
    zero.QuadPart = 0;
    EXPECT_EQ(STATUS_TIMEOUT, KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero));
    LARGE_INTEGER wait = Millis(30);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(STATUS_TIMEOUT, KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &wait));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(29));
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    EXPECT_EQ(STATUS_SUCCESS, KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &wait));
    KeClearEvent(&event);
    EXPECT_EQ(0, KeReadStateEvent(&event));
    /* A zero time-out is the one wait allowed at DISPATCH_LEVEL. */
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    EXPECT_EQ(STATUS_TIMEOUT, KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero));
    KeLowerIrql(old);
}

TEST_F(NtTest, SpinLockRaisesIrqlOfItsThreadOnlyAndExcludes)
{
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KIRQL old;
    KeAcquireSpinLock(&lock, &old);
    EXPECT_EQ(PASSIVE_LEVEL, old);
    EXPECT_EQ(DISPATCH_LEVEL, KeGetCurrentIrql());
    std::thread other([] { EXPECT_EQ(PASSIVE_LEVEL, KeGetCurrentIrql()); });
    other.join();
    KeReleaseSpinLock(&lock, old);
    EXPECT_EQ(PASSIVE_LEVEL, KeGetCurrentIrql());

    LONG plain = 0;
    volatile LONG interlocked = 0;
    auto work = [&] {
        for (int i = 0; i < 20000; i++) {
            KIRQL irql;
            KeAcquireSpinLock(&lock, &irql);
            plain++;
            KeReleaseSpinLock(&lock, irql);
            InterlockedIncrement(&interlocked);
        }
    };
    std::thread t1(work), t2(work);
    t1.join();
    t2.join();
    EXPECT_EQ(40000, plain);
    EXPECT_EQ(40000, interlocked);
}

/* Hand over hand: the first lock is released while the second is held, each to the level
 * the other saved. Windows checks only that each release runs at DISPATCH_LEVEL. */
TEST_F(NtTest, SpinLocksTakenHandOverHandAreReleasedWithoutReport)
{
    KSPIN_LOCK first;
    KSPIN_LOCK second;
    KeInitializeSpinLock(&first);
    KeInitializeSpinLock(&second);
    KIRQL firstOld;
    KIRQL secondOld;
    KeAcquireSpinLock(&first, &firstOld);
    KeAcquireSpinLock(&second, &secondOld);
    KeReleaseSpinLock(&first, secondOld);
    EXPECT_EQ(DISPATCH_LEVEL, KeGetCurrentIrql());
    KeReleaseSpinLock(&second, firstOld);
    EXPECT_EQ(PASSIVE_LEVEL, KeGetCurrentIrql());
}

TEST_F(NtTest, InterlockedOperationsReturnWhatWindowsReturns)
{
    volatile LONG v = 5;
    EXPECT_EQ(6, InterlockedIncrement(&v));
    EXPECT_EQ(5, InterlockedDecrement(&v));
    EXPECT_EQ(5, InterlockedExchange(&v, 9));
    EXPECT_EQ(9, InterlockedCompareExchange(&v, 1, 8)) << "no exchange when the comparand differs";
    EXPECT_EQ(9, InterlockedCompareExchange(&v, 1, 9));
    EXPECT_EQ(1, v);
    EXPECT_EQ(1, InterlockedExchangeAdd(&v, 4));
    EXPECT_EQ(5, v);
}

/* Work items run on a pool of system worker threads, as on Windows: one that waits (a close
 * held in a driver, a removal waited for) does not hold up the items queued after it, among
 * them the one it waits for (a power request handed to PASSIVE_LEVEL). */
TEST_F(NtTest, AWorkItemThatWaitsDoesNotHoldUpTheItemsQueuedAfterIt)
{
    struct Items {
        KEVENT Released, Done;
    } items;
    KeInitializeEvent(&items.Released, NotificationEvent, FALSE);
    KeInitializeEvent(&items.Done, NotificationEvent, FALSE);
    HostQueueWork(
        [](PVOID context) {
            Items *waiting = static_cast<Items *>(context);
            KeWaitForSingleObject(&waiting->Released, Executive, KernelMode, FALSE, nullptr);
            KeSetEvent(&waiting->Done, IO_NO_INCREMENT, FALSE);
        },
        &items);
    HostQueueWork([](PVOID context) { KeSetEvent(&static_cast<Items *>(context)->Released, IO_NO_INCREMENT, FALSE); },
                  &items);
    LARGE_INTEGER timeout = Millis(5000);
    NTSTATUS waited = KeWaitForSingleObject(&items.Done, Executive, KernelMode, FALSE, &timeout);
    EXPECT_EQ(STATUS_SUCCESS, waited) << "the second item never ran while the first waited for it";
    if (waited != STATUS_SUCCESS) {
        KeSetEvent(&items.Released, IO_NO_INCREMENT, FALSE);
    }
    HostWaitIdle();
    EXPECT_EQ(1, KeReadStateEvent(&items.Done));
}

} // namespace
