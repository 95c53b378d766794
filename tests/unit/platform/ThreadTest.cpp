// Worker threads: waiting, exit codes, and the cooperative forced stop.
#include "platform/Afx.h"
#include "platform/posix/StopToken.h"

#include "support/PtyPeer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <stdexcept>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Everything a test thread shares with the test.
struct Shared {
    std::atomic<bool> started{false};
    std::atomic<bool> unwound{false}; // set by a destructor on the thread's stack
    std::atomic<bool> release{false};
    std::wstring device;
    std::mutex mutex;
    std::condition_variable cv;
};

struct UnwindFlag {
    std::atomic<bool>& flag;
    ~UnwindFlag() { flag = true; }
};

UINT ReturnSeven(LPVOID) {
    return 7;
}

UINT WaitForRelease(LPVOID p) {
    auto& s = *static_cast<Shared*>(p);
    while (!s.release)
        std::this_thread::sleep_for(5ms);
    return 3;
}

UINT BlockInSleep(LPVOID p) {
    auto& s = *static_cast<Shared*>(p);
    UnwindFlag f{s.unwound};
    s.started = true;
    Sleep(INFINITE);
    return 0;
}

UINT BlockInDeviceRead(LPVOID p) {
    auto& s = *static_cast<Shared*>(p);
    UnwindFlag f{s.unwound};
    HANDLE h =
        CreateFileW(s.device.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return 100;
    struct Closer {
        HANDLE h;
        ~Closer() { CloseHandle(h); }
    } closer{h};
    s.started = true;
    BYTE b;
    DWORD n;
    ReadFile(h, &b, 1, &n, nullptr); // all-zero time-outs: waits for a byte that never comes
    return 0;
}

UINT BlockInInterruptibleWait(LPVOID p) {
    auto& s = *static_cast<Shared*>(p);
    UnwindFlag f{s.unwound};
    std::unique_lock lock(s.mutex);
    s.started = true;
    vestrel::WaitInterruptibly(s.cv, lock, [] { return false; });
    return 0;
}

UINT SwallowStandardExceptions(LPVOID p) {
    auto& s = *static_cast<Shared*>(p);
    try {
        s.started = true;
        Sleep(INFINITE);
    } catch (const std::exception&) {
        return 5;
    }
    return 0;
}

TEST(WorkerThread, WaitAndExitCode) {
    std::unique_ptr<CWinThread> done(AfxBeginThread(ReturnSeven, nullptr));
    ASSERT_TRUE(done);
    EXPECT_EQ(done->Wait(5000), WAIT_OBJECT_0);
    EXPECT_EQ(done->ExitCode(), 7u);
    // The hold stays valid after the thread ended; waiting again returns at once.
    const auto start = Clock::now();
    EXPECT_EQ(done->Wait(INFINITE), WAIT_OBJECT_0);
    EXPECT_EQ(done->Wait(0), WAIT_OBJECT_0);
    EXPECT_LT(Clock::now() - start, 100ms);
    // Stopping a thread that already ended changes nothing.
    done->ForceStop(31);
    EXPECT_EQ(done->ExitCode(), 7u);

    Shared s;
    std::unique_ptr<CWinThread> running(AfxBeginThread(WaitForRelease, &s));
    ASSERT_TRUE(running);
    EXPECT_EQ(running->Wait(50), WAIT_TIMEOUT);
    EXPECT_EQ(running->ExitCode(), STILL_ACTIVE);
    s.release = true;
    EXPECT_EQ(running->Wait(5000), WAIT_OBJECT_0);
    EXPECT_EQ(running->ExitCode(), 3u);
}

TEST(WorkerThread, ForceStopEndsBlockingCallsWithTheGivenCode) {
    struct Case {
        const char* what;
        AFX_THREADPROC proc;
    };
    const Case cases[] = {
        {"Sleep", BlockInSleep},
        {"device read", BlockInDeviceRead},
        {"interruptible wait", BlockInInterruptibleWait},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        PtyPeer peer; // silent
        Shared s;
        s.device = peer.SlavePathW();
        std::unique_ptr<CWinThread> t(AfxBeginThread(c.proc, &s));
        ASSERT_TRUE(t);
        while (!s.started)
            std::this_thread::sleep_for(1ms);
        EXPECT_EQ(t->Wait(100), WAIT_TIMEOUT);
        const auto start = Clock::now();
        t->ForceStop(31);
        EXPECT_LT(Clock::now() - start, 1000ms);
        EXPECT_EQ(t->Wait(0), WAIT_OBJECT_0);
        EXPECT_EQ(t->ExitCode(), 31u);
        EXPECT_TRUE(s.unwound) << "the thread's stack was unwound";
        // Nothing of the thread holds the device any more.
        HANDLE h = CreateFileW(s.device.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                               nullptr);
        EXPECT_NE(h, INVALID_HANDLE_VALUE);
        if (h != INVALID_HANDLE_VALUE)
            CloseHandle(h);
    }
}

TEST(WorkerThread, AStopIsNotSwallowedByStandardExceptionHandlers) {
    Shared s;
    std::unique_ptr<CWinThread> t(AfxBeginThread(SwallowStandardExceptions, &s));
    ASSERT_TRUE(t);
    while (!s.started)
        std::this_thread::sleep_for(1ms);
    t->ForceStop(31);
    EXPECT_EQ(t->ExitCode(), 31u);
}

TEST(WorkerThread, DestroyingTheHoldOfARunningThreadStopsIt) {
    Shared s;
    auto* t = AfxBeginThread(BlockInSleep, &s);
    ASSERT_TRUE(t);
    while (!s.started)
        std::this_thread::sleep_for(1ms);
    delete t;
    EXPECT_TRUE(s.unwound);
}

TEST(StopToken, ChecksAreInertOnThreadsNotStartedAsWorkers) {
    EXPECT_FALSE(vestrel::StopRequested());
    EXPECT_NO_THROW(vestrel::ThrowIfStopRequested());
    std::mutex m;
    std::condition_variable cv;
    std::unique_lock lock(m);
    EXPECT_FALSE(vestrel::WaitInterruptiblyFor(cv, lock, 30ms, [] { return false; }));
    EXPECT_TRUE(vestrel::WaitInterruptiblyFor(cv, lock, 30ms, [] { return true; }));
}

} // namespace
