// Worker threads over std::thread, with a cooperative forced stop (see StopToken.h).
//
// ForceStop marks the thread's stop request; the thread leaves at its next blocking platform
// call (device read or write, Sleep, a wait for the user-interface thread), unwinding its stack
// so its files are closed, and its exit code becomes the one ForceStop was given. ForceStop
// waits for that, bounded: a thread stuck in a call that never looks at the request is left
// running detached; the state it shares with its CWinThread stays alive with it, and the
// handles it may still use fail safely once closed (they are checked against the table of open
// handles).
#include "platform/Afx.h"
#include "platform/posix/StopToken.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

namespace {

// How long ForceStop waits for the thread to notice its stop request and unwind; it normally
// takes one stop-check tick.
constexpr std::chrono::milliseconds kStopBound{3000};
// The exit code of a thread stopped because its CWinThread was destroyed while it ran.
constexpr DWORD kStoppedByDestructor = 31;

struct ThreadState {
    std::atomic<bool> stopRequested{false};
    std::atomic<DWORD> stopExitCode{0};
    std::mutex mutex;
    std::condition_variable ended;
    bool done = false;      // guarded by mutex
    bool abandoned = false; // guarded by mutex: ForceStop gave up waiting
    DWORD exitCode = STILL_ACTIVE;
};

thread_local ThreadState* t_current = nullptr;

void RunThread(const std::shared_ptr<ThreadState>& state, AFX_THREADPROC proc, LPVOID param) {
    t_current = state.get();
    DWORD code = 0;
    try {
        code = proc(param);
    } catch (const vestrel::ThreadStopRequested&) {
        code = state->stopExitCode.load();
    }
    t_current = nullptr;
    {
        std::lock_guard lock(state->mutex);
        // A thread that ended by itself after the request still counts as stopped.
        state->exitCode = state->stopRequested.load() ? state->stopExitCode.load() : code;
        state->done = true;
    }
    state->ended.notify_all();
}

} // namespace

bool vestrel::StopRequested() noexcept {
    return t_current != nullptr && t_current->stopRequested.load(std::memory_order_acquire);
}

void vestrel::ThrowIfStopRequested() {
    if (StopRequested())
        throw ThreadStopRequested{};
}

struct CWinThread::Impl {
    std::shared_ptr<ThreadState> state;
    std::thread thread;
};

CWinThread::~CWinThread() {
    if (!m_impl || !m_impl->thread.joinable())
        return;
    if (m_impl->thread.get_id() == std::this_thread::get_id()) {
        m_impl->thread.detach();
        return;
    }
    ForceStop(kStoppedByDestructor);
    if (m_impl->thread.joinable())
        m_impl->thread.join();
}

DWORD CWinThread::Wait(DWORD milliseconds) {
    if (!m_impl)
        return WAIT_OBJECT_0;
    ThreadState& s = *m_impl->state;
    std::unique_lock lock(s.mutex);
    if (milliseconds == INFINITE) {
        s.ended.wait(lock, [&] { return s.done; });
        return WAIT_OBJECT_0;
    }
    return s.ended.wait_for(lock, std::chrono::milliseconds(milliseconds), [&] { return s.done; })
               ? WAIT_OBJECT_0
               : WAIT_TIMEOUT;
}

void CWinThread::ForceStop(DWORD exitCode) {
    if (!m_impl)
        return;
    ThreadState& s = *m_impl->state;
    {
        std::lock_guard lock(s.mutex);
        if (s.done) // ended before: not stopped, keeps its own exit code
            return;
        s.stopExitCode = exitCode;
        s.stopRequested = true;
    }
    if (m_impl->thread.get_id() == std::this_thread::get_id())
        return; // a thread stopping itself leaves at its next check
    std::unique_lock lock(s.mutex);
    if (s.ended.wait_for(lock, kStopBound, [&] { return s.done; })) {
        lock.unlock();
        m_impl->thread.join();
        return;
    }
    s.abandoned = true;
    lock.unlock();
    m_impl->thread.detach();
}

DWORD CWinThread::ExitCode() const {
    if (!m_impl)
        return 0;
    ThreadState& s = *m_impl->state;
    std::lock_guard lock(s.mutex);
    if (s.done)
        return s.exitCode;
    return s.abandoned ? s.stopExitCode.load() : STILL_ACTIVE;
}

CWinThread* AfxBeginThread(AFX_THREADPROC proc, LPVOID param, int /*priority*/) {
    // Only the normal priority is ever asked for, and an unprivileged posix process cannot raise
    // a thread's priority anyway: the argument is accepted and not applied.
    auto thread = std::make_unique<CWinThread>();
    thread->m_impl = std::make_unique<CWinThread::Impl>();
    thread->m_impl->state = std::make_shared<ThreadState>();
    try {
        thread->m_impl->thread = std::thread(RunThread, thread->m_impl->state, proc, param);
    } catch (const std::system_error&) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    return thread.release();
}
