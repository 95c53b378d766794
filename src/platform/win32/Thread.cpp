// Worker threads over the C run-time's thread start, so the worker may use the run-time freely.
#include "platform/win32/Internal.h"

#include <process.h>

struct CWinThread::Impl {
    HANDLE handle = nullptr;
    DWORD id = 0;
};

namespace {

struct StartBlock {
    AFX_THREADPROC proc;
    LPVOID param;
};

unsigned __stdcall ThreadStart(void* raw) {
    StartBlock start = *static_cast<StartBlock*>(raw);
    delete static_cast<StartBlock*>(raw);
    return start.proc(start.param);
}

// How long ForceStop waits for a terminated thread to be gone; the termination itself is
// asynchronous.
constexpr DWORD kTerminationWaitMs = 5000;

} // namespace

CWinThread::~CWinThread() {
    if (m_impl && m_impl->handle != nullptr) {
        CloseHandle(m_impl->handle);
    }
}

DWORD CWinThread::Wait(DWORD milliseconds) {
    if (!m_impl || m_impl->handle == nullptr) {
        return WAIT_OBJECT_0;
    }
    return WaitForSingleObject(m_impl->handle, milliseconds);
}

void CWinThread::ForceStop(DWORD exitCode) {
    if (!m_impl || m_impl->handle == nullptr) {
        return;
    }
    if (WaitForSingleObject(m_impl->handle, 0) == WAIT_OBJECT_0) {
        return;
    }
    // The worker may be waiting for the user-interface thread to run one of its reports; that
    // report must never run once the worker is gone.
    vestrel::win32::AbandonWorkOfThread(m_impl->id);
    TerminateThread(m_impl->handle, exitCode);
    WaitForSingleObject(m_impl->handle, kTerminationWaitMs);
}

DWORD CWinThread::ExitCode() const {
    DWORD code = 0;
    if (m_impl && m_impl->handle != nullptr) {
        GetExitCodeThread(m_impl->handle, &code);
    }
    return code;
}

CWinThread* AfxBeginThread(AFX_THREADPROC proc, LPVOID param, int priority) {
    auto* start = new StartBlock{proc, param};
    unsigned id = 0;
    // Started suspended only so the priority is in place before the first instruction runs.
    const std::uintptr_t handle = _beginthreadex(nullptr, 0, ThreadStart, start, CREATE_SUSPENDED, &id);
    if (handle == 0) {
        delete start;
        return nullptr;
    }
    vestrel::win32::NewThreadStarted(id);
    auto* thread = new CWinThread;
    thread->m_impl = std::make_unique<CWinThread::Impl>();
    thread->m_impl->handle = reinterpret_cast<HANDLE>(handle);
    thread->m_impl->id = id;
    SetThreadPriority(thread->m_impl->handle, priority);
    ResumeThread(thread->m_impl->handle);
    return thread;
}
