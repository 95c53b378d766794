#include "SimHandset.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <spawn.h>
#include <sstream>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace fault {

namespace {

using Clock = std::chrono::steady_clock;

pid_t Spawn(const std::vector<std::string>& args, int* stdoutFd) {
    std::vector<char*> argv;
    for (const std::string& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    int fds[2] = {-1, -1};
    if (stdoutFd != nullptr) {
        if (pipe2(fds, O_CLOEXEC) != 0)
            return -1;
        posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    }
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0)
        pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    if (stdoutFd != nullptr) {
        close(fds[1]);
        *stdoutFd = fds[0];
    }
    return pid;
}

int ExitStatus(int status) {
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// Reads stdout lines until one starts with `word` or the time is up.
bool WaitForLine(int fd, const char* word, std::chrono::milliseconds limit) {
    const auto end = Clock::now() + limit;
    std::string line;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
        if (left.count() <= 0)
            return false;
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left.count())) <= 0)
            continue;
        char c = 0;
        if (read(fd, &c, 1) != 1)
            return false;
        if (c != '\n') {
            line.push_back(c);
            continue;
        }
        if (line.rfind(word, 0) == 0)
            return true;
        line.clear();
    }
}

} // namespace

bool MakeImages(const std::filesystem::path& dir, const std::vector<std::string>& options) {
    std::vector<std::string> args = {VESTREL_MAKE_IMAGES, "--out", dir.string()};
    args.insert(args.end(), options.begin(), options.end());
    const pid_t pid = Spawn(args, nullptr);
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid || ExitStatus(status) != 0) {
        std::fprintf(stderr, "make-images failed\n");
        return false;
    }
    return true;
}

SimHandset::SimHandset(const std::filesystem::path& link, const std::filesystem::path& images,
                       const std::filesystem::path& verdict, const std::vector<std::string>& options)
    : m_link(link), m_verdict(verdict) {
    // The device comes back quickly after the reboot: the sequence's pauses are shortened too.
    std::vector<std::string> args = {
        VESTREL_HANDSET_SIM, "--link",      link.string(), "--images",    images.string(), "--verdict",
        verdict.string(),    "--return-ms", "300",         "--linger-ms", "2000"};
    args.insert(args.end(), options.begin(), options.end());
    m_pid = Spawn(args, &m_out);
    m_ready = m_pid > 0 && WaitForLine(m_out, "ready", std::chrono::seconds(20));
}

SimHandset::~SimHandset() {
    if (m_pid > 0 && !m_status) {
        kill(m_pid, SIGTERM);
        if (!WaitExit(std::chrono::seconds(10))) {
            kill(m_pid, SIGKILL);
            Reap(true);
        }
    }
    if (m_out >= 0)
        close(m_out);
}

void SimHandset::Unplug() {
    if (m_pid <= 0 || m_status)
        return;
    kill(m_pid, SIGKILL);
    Reap(true);
    std::error_code ec;
    std::filesystem::remove(m_link, ec); // the name goes with the device
}

std::optional<int> SimHandset::Reap(bool block) {
    if (m_status || m_pid <= 0)
        return m_status;
    int status = 0;
    pid_t r;
    do {
        r = waitpid(m_pid, &status, block ? 0 : WNOHANG);
    } while (r < 0 && errno == EINTR);
    if (r == m_pid)
        m_status = ExitStatus(status);
    return m_status;
}

std::optional<int> SimHandset::WaitExit(std::chrono::milliseconds limit) {
    const auto end = Clock::now() + limit;
    while (!Reap(false)) {
        if (Clock::now() >= end)
            return std::nullopt;
        // Keep its stdout flowing; the lines are not needed any more.
        char sink[256];
        pollfd p{m_out, POLLIN, 0};
        if (m_out >= 0 && poll(&p, 1, 20) > 0 && read(m_out, sink, sizeof sink) <= 0) {
            close(m_out);
            m_out = -1;
        } else if (m_out < 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }
    return m_status;
}

std::string SimHandset::VerdictText() const {
    std::ifstream in(m_verdict);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::vector<std::string> OpenTerminals() {
    std::vector<std::string> out;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code ec;
        const auto target = std::filesystem::read_symlink(entry.path(), ec).string();
        if (!ec && (target.rfind("/dev/pts/", 0) == 0 || target == "/dev/ptmx"))
            out.push_back(target);
    }
    return out;
}

double ProcessCpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

} // namespace fault
