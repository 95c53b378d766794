// A pseudo-terminal pair for tests: the program under test opens the slave side by its path,
// the test reads and writes the master side.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

class PtyPeer {
public:
    PtyPeer();
    ~PtyPeer();
    PtyPeer(const PtyPeer&) = delete;
    PtyPeer& operator=(const PtyPeer&) = delete;

    // Path of the slave side, to open as the device.
    const std::string& SlavePath() const { return m_slavePath; }
    std::wstring SlavePathW() const;

    void Send(const std::vector<std::uint8_t>& bytes);
    // Reads what arrives within the time limit (stops early once `atLeast` bytes have come).
    std::vector<std::uint8_t> Receive(std::size_t atLeast, std::chrono::milliseconds limit);
    // Reads until the byte sequence ends with `tail` or the limit passes.
    std::vector<std::uint8_t> ReceiveUntil(const std::vector<std::uint8_t>& tail, std::chrono::milliseconds limit);

    int MasterFd() const { return m_master; }
    // Closes the master side and the pair's keep-alive: the handset "unplugs". The device node
    // disappears and the program's handle on the slave side sees a hang-up.
    void CloseMaster();

private:
    int m_master = -1;
    int m_slaveKeepAlive = -1; // keeps the pair alive while the program has no open handle
    std::string m_slavePath;
};
