#include "PtyDevice.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace sim {

bool PtyDevice::Publish(const std::string& link, std::string& error) {
    Withdraw();
    struct stat st {};
    if (lstat(link.c_str(), &st) == 0 && !S_ISLNK(st.st_mode)) {
        error = link + " exists and is not a symbolic link; not replacing it";
        return false;
    }
    const int master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (master < 0) {
        error = std::string("posix_openpt: ") + std::strerror(errno);
        return false;
    }
    char name[128];
    if (grantpt(master) != 0 || unlockpt(master) != 0 || ptsname_r(master, name, sizeof name) != 0) {
        error = std::string("preparing the pty: ") + std::strerror(errno);
        close(master);
        return false;
    }
    const int slave = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave < 0) {
        error = std::string("opening ") + name + ": " + std::strerror(errno);
        close(master);
        return false;
    }
    termios tio{};
    tcgetattr(slave, &tio);
    cfmakeraw(&tio);
    tio.c_cflag |= CLOCAL | CREAD;
    cfsetispeed(&tio, B921600);
    cfsetospeed(&tio, B921600);
    tcsetattr(slave, TCSANOW, &tio);
    fcntl(master, F_SETFD, FD_CLOEXEC);

    // Build the link under a temporary name, then rename it over the path: the host never sees
    // a half-made device.
    const std::string temp = link + ".sim-" + std::to_string(getpid());
    unlink(temp.c_str());
    if (symlink(name, temp.c_str()) != 0 || rename(temp.c_str(), link.c_str()) != 0) {
        error = "publishing " + link + ": " + std::strerror(errno);
        unlink(temp.c_str());
        close(slave);
        close(master);
        return false;
    }
    m_master = master;
    m_keepAlive = slave;
    m_slaveName = name;
    m_link = link;
    return true;
}

void PtyDevice::Withdraw() {
    if (!m_link.empty()) {
        // Only remove the link if it still points at our pty.
        char target[256];
        const ssize_t n = readlink(m_link.c_str(), target, sizeof target - 1);
        if (n > 0) {
            target[n] = '\0';
            if (m_slaveName == target)
                unlink(m_link.c_str());
        }
        m_link.clear();
    }
    if (m_keepAlive >= 0)
        close(m_keepAlive);
    if (m_master >= 0)
        close(m_master);
    m_keepAlive = -1;
    m_master = -1;
}

std::size_t PtyDevice::HostBacklog() const {
    int pending = 0;
    if (m_keepAlive < 0 || ioctl(m_keepAlive, FIONREAD, &pending) != 0 || pending < 0)
        return 0;
    return static_cast<std::size_t>(pending);
}

void PtyDevice::ReleaseStaleExclusive() {
#ifdef TIOCGEXCL
    if (m_keepAlive < 0)
        return;
    int exclusive = 0;
    if (ioctl(m_keepAlive, TIOCGEXCL, &exclusive) != 0 || !exclusive)
        return;
    // The host holds a whole-file lock while it has the device open. If we can take it, the
    // host has closed; only then is the exclusive mark stale.
    if (flock(m_keepAlive, LOCK_EX | LOCK_NB) == 0) {
        ioctl(m_keepAlive, TIOCNXCL);
        flock(m_keepAlive, LOCK_UN);
    }
#endif
}

} // namespace sim
