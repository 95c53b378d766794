// The handset's end of the cable: a pseudo-terminal whose slave side is published under a path
// (a symbolic link to /dev/pts/N) for the host to open.
#pragma once

#include <cstddef>
#include <string>

namespace sim {

class PtyDevice {
public:
    PtyDevice() = default;
    ~PtyDevice() { Withdraw(); }
    PtyDevice(const PtyDevice&) = delete;
    PtyDevice& operator=(const PtyDevice&) = delete;

    // Creates a fresh pty, sets its slave side raw, keeps a slave descriptor of its own open (so
    // the pty survives the host closing and reopening it) and publishes the link atomically.
    // An existing symbolic link at `link` is replaced; anything else there is an error.
    bool Publish(const std::string& link, std::string& error);
    // Unplugs the device: removes the link and closes both sides, so the host's descriptor is
    // hung up (its reads and writes fail) and opening the path fails.
    void Withdraw();

    bool Present() const { return m_master >= 0; }
    int Master() const { return m_master; }
    const std::string& SlaveName() const { return m_slaveName; }

    // Bytes written to the host that it has not read yet.
    std::size_t HostBacklog() const;
    // The host locks the tty for exclusive use while it holds it open. Because this side keeps a
    // slave descriptor, the lock would outlive the host's close and refuse its next open (unless
    // it runs privileged); lift it once the host's own lock is gone.
    void ReleaseStaleExclusive();

private:
    int m_master = -1;
    int m_keepAlive = -1;
    std::string m_slaveName;
    std::string m_link;
};

} // namespace sim
