// The hand-over of work to the user-interface thread, the front-end registry and small helpers
// of the window model.
#include "platform/posix/UiModel.h"

#include "platform/posix/StopToken.h"

#include <algorithm>
#include <condition_variable>
#include <cwchar>
#include <deque>
#include <fcntl.h>
#include <mutex>
#include <thread>
#include <unistd.h>

namespace ui {
namespace {

struct Task {
    std::function<void()> work;
    enum class State { Queued, Running, Done } state = State::Queued;
};

// Lives for the whole process (never destroyed), so a worker that outlives main's return finds
// it intact.
struct Dispatcher {
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<std::shared_ptr<Task>> queue;
    std::thread::id uiThread;
    bool running = false;
    bool wakePending = false;
    int wake[2] = {-1, -1};
    // Serialises work run at once while no loop runs (tests with several threads).
    std::recursive_mutex inlineMutex;
    FrontEnd* frontEnd = nullptr;
    CPropertySheet* sheet = nullptr;
    std::function<std::unique_ptr<FrontEnd>()> factory;
    std::function<int(const MessageBoxRequest&)> headless;
};

Dispatcher& D() {
    static Dispatcher* d = new Dispatcher;
    return *d;
}

void RunInline(const std::function<void()>& work) {
    Dispatcher& d = D();
    std::lock_guard lock(d.inlineMutex);
    work();
}

// Caller holds d.mutex.
void WakeLoop(Dispatcher& d) {
    if (d.wakePending || d.wake[1] < 0)
        return;
    const char byte = 1;
    if (write(d.wake[1], &byte, 1) == 1)
        d.wakePending = true;
}

} // namespace

Node* AsNode(WindowRef ref) {
    return static_cast<Node*>(ref);
}

Node* FindChild(const Node* parent, int id) {
    if (parent == nullptr)
        return nullptr;
    for (const auto& child : parent->children) {
        if (child->id == id)
            return child.get();
    }
    return nullptr;
}

WizardButtons ButtonsOf(const Node& sheet) {
    const DWORD f = sheet.wizardButtons;
    WizardButtons b{};
    b.backEnabled = (f & PSWIZB_BACK) != 0;
    b.finishShown = (f & (PSWIZB_FINISH | PSWIZB_DISABLEDFINISH)) != 0;
    b.nextEnabled = !b.finishShown && (f & PSWIZB_NEXT) != 0;
    b.finishEnabled = (f & PSWIZB_FINISH) != 0;
    b.cancelEnabled = sheet.cancelEnabled;
    return b;
}

void SetFrontEndFactory(std::function<std::unique_ptr<FrontEnd>()> factory) {
    D().factory = std::move(factory);
}

std::unique_ptr<FrontEnd> MakeFrontEndForSheet() {
    Dispatcher& d = D();
    return d.factory ? d.factory() : MakeDefaultFrontEnd();
}

void SetHeadlessMessageBoxHandler(std::function<int(const MessageBoxRequest&)> handler) {
    Dispatcher& d = D();
    std::lock_guard lock(d.inlineMutex);
    d.headless = std::move(handler);
}

bool LoopRunning() {
    Dispatcher& d = D();
    std::lock_guard lock(d.mutex);
    return d.running;
}

bool OnUiThread() {
    Dispatcher& d = D();
    std::lock_guard lock(d.mutex);
    return d.running && d.uiThread == std::this_thread::get_id();
}

void BeginLoop(FrontEnd& frontEnd, CPropertySheet& sheet) {
    Dispatcher& d = D();
    std::lock_guard lock(d.mutex);
    if (d.wake[0] < 0) {
        if (pipe2(d.wake, O_CLOEXEC | O_NONBLOCK) != 0) {
            d.wake[0] = d.wake[1] = -1;
        }
    }
    d.uiThread = std::this_thread::get_id();
    d.running = true;
    d.frontEnd = &frontEnd;
    d.sheet = &sheet;
}

void EndLoop() {
    Dispatcher& d = D();
    std::lock_guard lock(d.mutex);
    // Whoever still waits is released; its work is dropped with the windows it was meant for.
    for (auto& task : d.queue)
        task->state = Task::State::Done;
    d.queue.clear();
    d.running = false;
    d.frontEnd = nullptr;
    d.sheet = nullptr;
    d.changed.notify_all();
}

FrontEnd* CurrentFrontEnd() {
    Dispatcher& d = D();
    std::lock_guard lock(d.mutex);
    return d.running && d.uiThread == std::this_thread::get_id() ? d.frontEnd : nullptr;
}

CPropertySheet* ActiveSheet() {
    Dispatcher& d = D();
    std::lock_guard lock(d.mutex);
    return d.running ? d.sheet : nullptr;
}

void Post(std::function<void()> work) {
    Dispatcher& d = D();
    std::unique_lock lock(d.mutex);
    if (!d.running) {
        lock.unlock();
        RunInline(work);
        return;
    }
    auto task = std::make_shared<Task>();
    task->work = std::move(work);
    d.queue.push_back(std::move(task));
    WakeLoop(d);
}

int WakeDescriptor() {
    Dispatcher& d = D();
    std::lock_guard lock(d.mutex);
    return d.wake[0];
}

bool RunPending() {
    Dispatcher& d = D();
    bool any = false;
    for (;;) {
        std::shared_ptr<Task> task;
        {
            std::lock_guard lock(d.mutex);
            if (d.queue.empty()) {
                char buffer[64];
                while (d.wake[0] >= 0 && read(d.wake[0], buffer, sizeof buffer) > 0) {
                }
                d.wakePending = false;
                return any;
            }
            task = std::move(d.queue.front());
            d.queue.pop_front();
            task->state = Task::State::Running;
        }
        struct MarkDone {
            Dispatcher& d;
            Task& task;
            ~MarkDone() {
                std::lock_guard lock(d.mutex);
                task.state = Task::State::Done;
                d.changed.notify_all();
            }
        } markDone{d, *task};
        task->work();
        any = true;
    }
}

int ShowMessageBox(const MessageBoxRequest& request) {
    Dispatcher& d = D();
    {
        std::unique_lock lock(d.mutex);
        if (!d.running) {
            lock.unlock();
            std::lock_guard inlineLock(d.inlineMutex);
            return d.headless ? d.headless(request) : kIdOk;
        }
    }
    int result = kIdOk;
    RunOnUiThread([&] {
        if (FrontEnd* frontEnd = CurrentFrontEnd())
            result = frontEnd->ShowMessageBox(request);
    });
    return result;
}

void NotifyChanged(Node& node, Change what) {
    if (FrontEnd* frontEnd = CurrentFrontEnd())
        frontEnd->Changed(node, what);
}

TextColours ColoursOf(Node& node) {
    TextColours colours{0, GetSysColor(COLOR_BTNFACE), false};
    if (node.object == nullptr)
        return colours;
    CDC dc;
    dc.m_textColour = colours.text;
    dc.m_bkColour = colours.background;
    if (node.object->OnReflectedCtlColor(&dc, kCtlColorStatic) != nullptr) {
        colours.text = dc.m_textColour;
        colours.background = dc.m_bkColour;
        colours.custom = true;
    }
    return colours;
}

std::wstring HintFor(const MessageBoxRequest& request) {
    const std::wstring marker = L"Error code: ";
    const auto at = request.text.find(marker);
    if (at == std::wstring::npos)
        return L"";
    const long code = std::wcstol(request.text.c_str() + at + marker.size(), nullptr, 10);
    switch (code) {
    case 5: // ERROR_ACCESS_DENIED
        return L"Error code 5: access denied. The device is busy: another program holds it open (a terminal "
               L"program, a modem manager, another copy of this wizard); or you may not open it (install the "
               L"udev rule, or join the group that owns the tty). Then press Next again.";
    case 2: // ERROR_FILE_NOT_FOUND
    case 3: // ERROR_PATH_NOT_FOUND
        return L"Error code " + std::to_wstring(code) +
               L": there is no such device. Connect the handset in its USB connection mode, install the "
               L"udev rule, or name its tty with --device.";
    case 1167: // ERROR_DEVICE_NOT_CONNECTED
        return L"Error code 1167: the device went away. Check the USB cable.";
    default:
        return L"";
    }
}

std::string ToUtf8(const std::wstring& text) {
    std::string out;
    out.reserve(text.size());
    for (wchar_t wc : text) {
        auto c = static_cast<std::uint32_t>(wc);
        if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF))
            c = 0xFFFD;
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

std::wstring FromUtf8(const std::string& text) {
    std::wstring out;
    out.reserve(text.size());
    std::size_t i = 0;
    while (i < text.size()) {
        const auto b = static_cast<unsigned char>(text[i]);
        int extra = b < 0x80 ? 0 : (b >> 5) == 0x6 ? 1 : (b >> 4) == 0xE ? 2 : (b >> 3) == 0x1E ? 3 : -1;
        if (extra < 0 || i + static_cast<std::size_t>(extra) >= text.size()) {
            out += L'\xFFFD';
            ++i;
            continue;
        }
        std::uint32_t c = extra == 0 ? b : extra == 1 ? (b & 0x1F) : extra == 2 ? (b & 0x0F) : (b & 0x07);
        bool ok = true;
        for (int k = 1; k <= extra; ++k) {
            const auto n = static_cast<unsigned char>(text[i + static_cast<std::size_t>(k)]);
            if ((n & 0xC0) != 0x80) {
                ok = false;
                break;
            }
            c = (c << 6) | (n & 0x3F);
        }
        if (!ok) {
            out += L'\xFFFD';
            ++i;
            continue;
        }
        out += static_cast<wchar_t>(c);
        i += static_cast<std::size_t>(extra) + 1;
    }
    return out;
}

} // namespace ui

// Work from another thread waits in the queue; a forced stop of that thread withdraws work not
// yet started (it refers to the stopped thread's stack) and lets work already running finish
// before the stop goes on unwinding.
void RunOnUiThread(const std::function<void()>& work) {
    using namespace ui;
    Dispatcher& d = D();
    std::unique_lock lock(d.mutex);
    if (!d.running || d.uiThread == std::this_thread::get_id()) {
        lock.unlock();
        RunInline(work);
        return;
    }
    auto task = std::make_shared<Task>();
    task->work = work;
    d.queue.push_back(task);
    WakeLoop(d);
    try {
        vestrel::WaitInterruptibly(d.changed, lock, [&] { return task->state == Task::State::Done; });
    } catch (const vestrel::ThreadStopRequested&) {
        if (task->state == Task::State::Queued) {
            d.queue.erase(std::find(d.queue.begin(), d.queue.end(), task));
        } else {
            d.changed.wait(lock, [&] { return task->state == Task::State::Done; });
        }
        throw;
    }
}
