// Cooperative forced stop of worker threads.
//
// A posix thread cannot be killed safely: it may hold a lock, a file or the port when it dies.
// So CWinThread::ForceStop only marks the thread's stop request, and every call that can block
// on a worker thread (ReadFile and WriteFile on devices, Sleep, the waits of the user-interface
// marshalling and of message boxes) looks at that request at least every kStopCheckInterval and
// then throws ThreadStopRequested. The exception unwinds the worker's stack (destructors close
// its files) to the thread's entry, which records the exit code given to ForceStop.
//
// ThreadStopRequested deliberately does not derive from std::exception: code that catches
// std::exception must not swallow a stop. Nothing outside the thread entry may catch it
// (no catch (...) without rethrowing on a worker's path).
//
// Threads not started by AfxBeginThread (the user-interface thread, a test's main thread) never
// see a stop request: there the checks cost a thread-local read and do nothing.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace vestrel {

struct ThreadStopRequested {};

inline constexpr std::chrono::milliseconds kStopCheckInterval{20};

// True once ForceStop was called for the calling thread.
bool StopRequested() noexcept;
// Throws ThreadStopRequested when the calling thread was asked to stop.
void ThrowIfStopRequested();

// Waits on `cv` until `done()` holds, checking the calling thread's stop request meanwhile.
// `lock` must hold the mutex that guards what `done` reads. Throws ThreadStopRequested (with the
// lock still owned by `lock`, so the caller's unique_lock releases it while unwinding).
//
// A caller that queued work for another thread and waits for it must make sure that work no
// longer refers to the caller's stack once the wait throws (withdraw it, or let it own copies).
template <class Predicate>
void WaitInterruptibly(std::condition_variable& cv, std::unique_lock<std::mutex>& lock, Predicate done) {
    while (!done()) {
        ThrowIfStopRequested();
        cv.wait_for(lock, kStopCheckInterval);
    }
    ThrowIfStopRequested();
}

// As WaitInterruptibly, but gives up after `timeout`; returns done().
template <class Rep, class Period, class Predicate>
bool WaitInterruptiblyFor(std::condition_variable& cv, std::unique_lock<std::mutex>& lock,
                          std::chrono::duration<Rep, Period> timeout, Predicate done) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        ThrowIfStopRequested();
        const auto now = std::chrono::steady_clock::now();
        if (now >= deadline)
            return false;
        const auto left = std::chrono::duration_cast<std::chrono::steady_clock::duration>(deadline - now);
        const auto tick = std::chrono::duration_cast<std::chrono::steady_clock::duration>(kStopCheckInterval);
        cv.wait_for(lock, left < tick ? left : tick);
    }
    return true;
}

} // namespace vestrel
