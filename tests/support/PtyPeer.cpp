#include "support/PtyPeer.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <termios.h>
#include <unistd.h>

PtyPeer::PtyPeer() {
    m_master = posix_openpt(O_RDWR | O_NOCTTY);
    if (m_master < 0 || grantpt(m_master) != 0 || unlockpt(m_master) != 0)
        throw std::runtime_error("cannot create a pseudo-terminal");
    m_slavePath = ptsname(m_master);
    // Raw on the slave side so no byte is translated on the way; the master is raw with it.
    m_slaveKeepAlive = open(m_slavePath.c_str(), O_RDWR | O_NOCTTY);
    if (m_slaveKeepAlive >= 0) {
        termios t{};
        tcgetattr(m_slaveKeepAlive, &t);
        cfmakeraw(&t);
        tcsetattr(m_slaveKeepAlive, TCSANOW, &t);
    }
}

PtyPeer::~PtyPeer() {
    if (m_slaveKeepAlive >= 0)
        close(m_slaveKeepAlive);
    if (m_master >= 0)
        close(m_master);
}

void PtyPeer::CloseMaster() {
    if (m_slaveKeepAlive >= 0)
        close(m_slaveKeepAlive);
    m_slaveKeepAlive = -1;
    if (m_master >= 0)
        close(m_master);
    m_master = -1;
}

std::wstring PtyPeer::SlavePathW() const { return std::wstring(m_slavePath.begin(), m_slavePath.end()); }

void PtyPeer::Send(const std::vector<std::uint8_t>& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = write(m_master, bytes.data() + done, bytes.size() - done);
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN)
                continue;
            throw std::runtime_error("pty write failed");
        }
        done += static_cast<std::size_t>(n);
    }
}

std::vector<std::uint8_t> PtyPeer::Receive(std::size_t atLeast, std::chrono::milliseconds limit) {
    std::vector<std::uint8_t> out;
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (out.size() < atLeast) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            break;
        pollfd p{m_master, POLLIN, 0};
        int r = poll(&p, 1, static_cast<int>(left.count()));
        if (r <= 0)
            continue;
        std::uint8_t buf[4096];
        ssize_t n = read(m_master, buf, sizeof buf);
        if (n > 0)
            out.insert(out.end(), buf, buf + n);
        else if (n < 0 && errno != EINTR && errno != EAGAIN)
            break;
    }
    return out;
}

std::vector<std::uint8_t> PtyPeer::ReceiveUntil(const std::vector<std::uint8_t>& tail,
                                                std::chrono::milliseconds limit) {
    std::vector<std::uint8_t> out;
    auto deadline = std::chrono::steady_clock::now() + limit;
    auto endsWithTail = [&] {
        return out.size() >= tail.size() && std::equal(tail.begin(), tail.end(), out.end() - tail.size());
    };
    while (!endsWithTail()) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            break;
        pollfd p{m_master, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left.count())) <= 0)
            continue;
        std::uint8_t b;
        if (read(m_master, &b, 1) == 1)
            out.push_back(b);
    }
    return out;
}
