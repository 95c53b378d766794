// Handing work from the worker to the user-interface thread: a message sent to a hidden
// message-only window that the user-interface thread owns. SendMessageW makes the caller wait
// until the work has run, keeps the order of the reports and lets the user-interface thread run
// it whenever it pumps messages, modal loops of the sheet and of message boxes included.
#include "platform/win32/Internal.h"

#include <algorithm>
#include <mutex>
#include <vector>

namespace {

constexpr UINT kRunWorkMessage = WM_APP + 0x56;
constexpr const wchar_t* kWindowClass = L"Vestrel.UiThreadWork";

HWND g_workWindow = nullptr;
DWORD g_uiThreadId = 0;
HINSTANCE g_instance = nullptr;

// Threads that were stopped forcibly. Their hand-overs may still wait in the queue, and the work
// they point to lives on a stack that no longer belongs to anyone: such work is dropped, never
// run. The sender keeps nothing on the heap and takes no lock, so stopping it at any point
// leaves nothing behind that the user-interface thread would wait for.
std::mutex g_stoppedMutex;
std::vector<DWORD> g_stoppedThreads;

bool WasStopped(DWORD threadId) {
    std::lock_guard<std::mutex> lock(g_stoppedMutex);
    return std::find(g_stoppedThreads.begin(), g_stoppedThreads.end(), threadId) != g_stoppedThreads.end();
}

LRESULT CALLBACK WorkWindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message != kRunWorkMessage) {
        return DefWindowProcW(hwnd, message, wParam, lParam);
    }
    if (!WasStopped(static_cast<DWORD>(wParam))) {
        (*reinterpret_cast<const std::function<void()>*>(lParam))();
    }
    return 0;
}

} // namespace

namespace vestrel::win32 {

void StartUiThread(HINSTANCE instance) {
    g_instance = instance;
    g_uiThreadId = GetCurrentThreadId();
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof(wc);
    wc.lpfnWndProc = WorkWindowProc;
    wc.hInstance = instance;
    wc.lpszClassName = kWindowClass;
    RegisterClassExW(&wc);
    g_workWindow =
        CreateWindowExW(0, kWindowClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, instance, nullptr);
}

void StopUiThread() {
    if (g_workWindow != nullptr) {
        DestroyWindow(g_workWindow);
        g_workWindow = nullptr;
    }
    g_uiThreadId = 0;
}

bool OnUiThread() {
    return g_workWindow == nullptr || GetCurrentThreadId() == g_uiThreadId;
}

void AbandonWorkOfThread(DWORD threadId) {
    std::lock_guard<std::mutex> lock(g_stoppedMutex);
    g_stoppedThreads.push_back(threadId);
}

void NewThreadStarted(DWORD threadId) {
    // The system reuses thread ids: a new thread must not inherit an old one's verdict.
    std::lock_guard<std::mutex> lock(g_stoppedMutex);
    g_stoppedThreads.erase(std::remove(g_stoppedThreads.begin(), g_stoppedThreads.end(), threadId),
                           g_stoppedThreads.end());
}

HINSTANCE AppInstance() {
    return g_instance != nullptr ? g_instance : GetModuleHandleW(nullptr);
}

} // namespace vestrel::win32

void RunOnUiThread(const std::function<void()>& work) {
    if (vestrel::win32::OnUiThread()) {
        work();
        return;
    }
    SendMessageW(g_workWindow, kRunWorkMessage, GetCurrentThreadId(), reinterpret_cast<LPARAM>(&work));
}
