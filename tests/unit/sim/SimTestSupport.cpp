#include "SimTestSupport.h"

#include "Hdlc.h"
#include "IntelHex.h"
#include "Kitl.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace simtest {
namespace {

using Clock = std::chrono::steady_clock;

int Remaining(Clock::time_point end) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

void PutLe32(Bytes& out, std::uint32_t v) {
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

} // namespace

Bytes FromHex(const std::string& hex) {
    Bytes out;
    std::string digits;
    for (char c : hex)
        if (c != ' ')
            digits += c;
    for (std::size_t i = 0; i + 1 < digits.size(); i += 2)
        out.push_back(static_cast<std::uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
    return out;
}

Bytes WritePacket(std::uint32_t address, const Bytes& data, std::size_t from, std::size_t n) {
    Bytes body = {0x0F,
                  static_cast<std::uint8_t>(address >> 24),
                  static_cast<std::uint8_t>(address >> 16),
                  static_cast<std::uint8_t>(address >> 8),
                  static_cast<std::uint8_t>(address),
                  static_cast<std::uint8_t>(n >> 8),
                  static_cast<std::uint8_t>(n)};
    body.insert(body.end(), data.begin() + static_cast<std::ptrdiff_t>(from),
                data.begin() + static_cast<std::ptrdiff_t>(from + n));
    return sim::EncodeFrame(body);
}

Bytes StreamWrite(std::uint32_t offset, const Bytes& data, std::size_t from, std::size_t n) {
    Bytes body = {0x07};
    PutLe32(body, offset);
    body.insert(body.end(), data.begin() + static_cast<std::ptrdiff_t>(from),
                data.begin() + static_cast<std::ptrdiff_t>(from + n));
    return sim::EncodeFrame(body);
}

Bytes OpenPacket(std::uint8_t type, const Bytes& header) {
    Bytes body = {0x1B, type};
    body.insert(body.end(), header.begin(), header.end());
    return sim::EncodeFrame(body);
}

Bytes PartitionPacket(const Bytes& table) {
    Bytes body = {0x19, 0x00};
    body.insert(body.end(), table.begin(), table.end());
    return sim::EncodeFrame(body);
}

Bytes HelloPacket() {
    const std::string magic = "QCOM fast download protocol host";
    Bytes body = {0x01};
    body.insert(body.end(), magic.begin(), magic.end());
    body.insert(body.end(), {0x03, 0x03, 0x09});
    return sim::EncodeFrame(body);
}

Bytes KitlData(std::uint32_t seq, const Bytes& flash, std::size_t from) {
    Bytes data;
    PutLe32(data, seq);
    for (std::size_t i = 0; i < sim::kKitlPiece; ++i)
        data.push_back(from + i < flash.size() ? flash[from + i] : 0);
    return sim::BuildKitlFrame(sim::kKitlData, data);
}

sim::ImageSizes SmallSizes() {
    sim::ImageSizes s;
    s.programmer = 1017 * 16 + 5; // full records and a short last record that the host reads
    s.partition = 100;
    s.header = 40;
    s.images = {1024 * 2, 1024 * 3 + 1, 700};
    s.flash = 1516 * 3 + 1;
    return s;
}

sim::ImageSet ToImageSet(const sim::GeneratedImages& g) {
    sim::ImageSet set;
    set.programmer = sim::DecodeHexHostRule(g.programmerHex);
    set.partition = g.partition;
    for (std::size_t i = 0; i < 3; ++i) {
        set.headers[i] = g.headers[i];
        set.images[i] = g.images[i];
    }
    set.flash = g.flash;
    return set;
}

TempDir::TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "handset-sim-test-XXXXXX").string();
    if (mkdtemp(pattern.data()))
        m_path = pattern;
}

TempDir::~TempDir() {
    std::error_code ec;
    if (!m_path.empty())
        std::filesystem::remove_all(m_path, ec);
}

SimProcess::SimProcess(const std::vector<std::string>& args) {
    int pipeFds[2];
    if (pipe(pipeFds) != 0)
        return;
    m_pid = fork();
    if (m_pid == 0) {
        dup2(pipeFds[1], STDOUT_FILENO);
        close(pipeFds[0]);
        close(pipeFds[1]);
        std::vector<char*> argv;
        std::string program = HANDSET_SIM_PATH;
        argv.push_back(program.data());
        std::vector<std::string> copy = args;
        for (std::string& a : copy)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    close(pipeFds[1]);
    m_out = pipeFds[0];
}

SimProcess::~SimProcess() {
    if (m_pid > 0 && !m_status) {
        kill(m_pid, SIGKILL);
        waitpid(m_pid, nullptr, 0);
    }
    if (m_out >= 0)
        close(m_out);
}

std::optional<std::string> SimProcess::WaitLine(const std::string& prefix, std::chrono::milliseconds limit) {
    const auto end = Clock::now() + limit;
    for (;;) {
        std::size_t nl;
        while ((nl = m_buffer.find('\n')) != std::string::npos) {
            std::string line = m_buffer.substr(0, nl);
            m_buffer.erase(0, nl + 1);
            if (line.rfind(prefix, 0) == 0)
                return line;
        }
        pollfd pfd{m_out, POLLIN, 0};
        if (poll(&pfd, 1, Remaining(end)) <= 0)
            return std::nullopt;
        char chunk[512];
        const ssize_t n = read(m_out, chunk, sizeof chunk);
        if (n <= 0)
            return std::nullopt;
        m_buffer.append(chunk, static_cast<std::size_t>(n));
    }
}

void SimProcess::Terminate() {
    if (m_pid > 0 && !m_status)
        kill(m_pid, SIGTERM);
}

std::optional<int> SimProcess::WaitExit(std::chrono::milliseconds limit) {
    const auto end = Clock::now() + limit;
    while (!m_status && m_pid > 0) {
        int status = 0;
        const pid_t r = waitpid(m_pid, &status, WNOHANG);
        if (r == m_pid) {
            m_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            break;
        }
        if (Clock::now() >= end)
            break;
        // Keep its stdout flowing so it never blocks on a full pipe.
        char sink[512];
        pollfd pfd{m_out, POLLIN, 0};
        if (poll(&pfd, 1, 20) > 0) {
            const ssize_t n = read(m_out, sink, sizeof sink);
            if (n > 0)
                m_buffer.append(sink, static_cast<std::size_t>(n));
        }
    }
    return m_status;
}

HostLink::HostLink(const std::string& path) {
    m_fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (m_fd >= 0) {
        termios tio{};
        tcgetattr(m_fd, &tio);
        cfmakeraw(&tio);
        tcsetattr(m_fd, TCSANOW, &tio);
    }
}

HostLink::~HostLink() {
    if (m_fd >= 0)
        close(m_fd);
}

void HostLink::Send(const Bytes& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = write(m_fd, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
        } else if (n < 0 && errno == EAGAIN) {
            pollfd pfd{m_fd, POLLOUT, 0};
            poll(&pfd, 1, 100);
        } else {
            return;
        }
    }
}

Bytes HostLink::ReadBytes(std::size_t n, std::chrono::milliseconds limit) {
    const auto end = Clock::now() + limit;
    Bytes out;
    while (out.size() < n) {
        pollfd pfd{m_fd, POLLIN, 0};
        if (poll(&pfd, 1, Remaining(end)) <= 0)
            break;
        std::uint8_t buffer[2048];
        const ssize_t r = read(m_fd, buffer, std::min(sizeof buffer, n - out.size()));
        if (r <= 0)
            break;
        out.insert(out.end(), buffer, buffer + r);
    }
    return out;
}

std::optional<Bytes> HostLink::ReadFrame(std::chrono::milliseconds limit) {
    const auto end = Clock::now() + limit;
    Bytes frame;
    while (Clock::now() < end) {
        const Bytes b = ReadBytes(1, std::chrono::milliseconds(Remaining(end)));
        if (b.empty())
            return std::nullopt;
        if (frame.empty() && b[0] != sim::kFlag)
            continue;
        frame.push_back(b[0]);
        if (frame.size() > 1 && b[0] == sim::kFlag)
            return frame;
    }
    return std::nullopt;
}

std::optional<Bytes> HostLink::ReadKitl(std::uint8_t type, std::chrono::milliseconds limit) {
    const auto end = Clock::now() + limit;
    sim::KitlParser parser;
    while (Clock::now() < end) {
        const Bytes b = ReadBytes(1, std::chrono::milliseconds(Remaining(end)));
        if (b.empty())
            return std::nullopt;
        if (auto frame = parser.Feed(b[0]); frame && frame->Intact() && frame->Type() == type)
            return frame->Raw();
    }
    return std::nullopt;
}

bool HostLink::ReadFails(std::chrono::milliseconds limit) {
    pollfd pfd{m_fd, POLLIN, 0};
    if (poll(&pfd, 1, static_cast<int>(limit.count())) <= 0)
        return false;
    std::uint8_t b;
    return read(m_fd, &b, 1) <= 0;
}

bool WaitForPath(const std::string& path, bool present, std::chrono::milliseconds limit) {
    const auto end = Clock::now() + limit;
    for (;;) {
        struct stat st {};
        if ((lstat(path.c_str(), &st) == 0) == present)
            return true;
        if (Clock::now() >= end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

std::string ReadText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

} // namespace simtest
