// Signals for the user-interface loops, caught into a self-pipe.
#include "platform/posix/UiModel.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace ui::signals {
namespace {

int g_pipe[2] = {-1, -1};
std::atomic<unsigned> g_caught{0};
std::atomic<bool> g_endRequested{false};
std::atomic<void (*)()> g_restore{nullptr};
bool g_installed = false;

struct Saved {
    int signal;
    unsigned bit;
    struct sigaction previous;
};
Saved g_saved[] = {
    {SIGINT, kInterrupt, {}},
    {SIGTERM, kTerminate, {}},
    {SIGHUP, kHangup, {}},
    {SIGWINCH, kResize, {}},
};

void OnSignal(int signal) {
    const int savedErrno = errno;
    unsigned bit = 0;
    for (const Saved& s : g_saved) {
        if (s.signal == signal)
            bit = s.bit;
    }
    if (bit != kResize) {
        // Asked to end while an earlier request is still being handled: the loop is busy (a
        // worker being stopped, say), and the user wants out now.
        if (g_endRequested.exchange(true)) {
            if (auto restore = g_restore.load())
                restore();
            _exit(128 + signal);
        }
    }
    g_caught.fetch_or(bit);
    if (g_pipe[1] >= 0) {
        const char byte = 1;
        [[maybe_unused]] const ssize_t n = write(g_pipe[1], &byte, 1);
    }
    errno = savedErrno;
}

} // namespace

void Install() {
    if (g_installed)
        return;
    if (g_pipe[0] < 0 && pipe2(g_pipe, O_CLOEXEC | O_NONBLOCK) != 0)
        g_pipe[0] = g_pipe[1] = -1;
    g_caught = 0;
    g_endRequested = false;
    for (Saved& s : g_saved) {
        struct sigaction action {};
        action.sa_handler = OnSignal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        sigaction(s.signal, &action, &s.previous);
    }
    g_installed = true;
}

void Uninstall() {
    if (!g_installed)
        return;
    for (Saved& s : g_saved)
        sigaction(s.signal, &s.previous, nullptr);
    g_installed = false;
}

int Descriptor() {
    return g_pipe[0];
}

unsigned Take() {
    char buffer[64];
    while (g_pipe[0] >= 0 && read(g_pipe[0], buffer, sizeof buffer) > 0) {
    }
    return g_caught.exchange(0);
}

void SetEmergencyRestore(void (*restore)()) {
    g_restore = restore;
}

} // namespace ui::signals
