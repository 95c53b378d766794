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

// One hand-over in flight. It lives on the heap, not on the sender's stack, so that the
// user-interface thread can still look at it after the sender was stopped forcibly.
struct Ticket {
    const std::function<void()>* work;
    DWORD senderThread;
    bool abandoned;
};

std::mutex g_ticketsMutex;
std::vector<Ticket*> g_tickets;

void Forget(Ticket* ticket) {
    g_tickets.erase(std::remove(g_tickets.begin(), g_tickets.end(), ticket), g_tickets.end());
}

LRESULT CALLBACK WorkWindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message != kRunWorkMessage) {
        return DefWindowProcW(hwnd, message, wParam, lParam);
    }
    auto* ticket = reinterpret_cast<Ticket*>(lParam);
    {
        std::lock_guard<std::mutex> lock(g_ticketsMutex);
        if (ticket->abandoned) {
            Forget(ticket);
            delete ticket;
            return 0;
        }
    }
    (*ticket->work)();
    std::lock_guard<std::mutex> lock(g_ticketsMutex);
    if (ticket->abandoned) {
        // The sender was stopped while its work ran (a modal loop inside the work let the user
        // cancel): nobody else will free the ticket.
        Forget(ticket);
        delete ticket;
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
    std::lock_guard<std::mutex> lock(g_ticketsMutex);
    for (Ticket* ticket : g_tickets) {
        if (ticket->senderThread == threadId) {
            ticket->abandoned = true;
        }
    }
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
    auto* ticket = new Ticket{&work, GetCurrentThreadId(), false};
    {
        std::lock_guard<std::mutex> lock(g_ticketsMutex);
        g_tickets.push_back(ticket);
    }
    SendMessageW(g_workWindow, kRunWorkMessage, 0, reinterpret_cast<LPARAM>(ticket));
    std::lock_guard<std::mutex> lock(g_ticketsMutex);
    Forget(ticket);
    delete ticket;
}
