// Helpers for the simulator's tests: a host side that builds the host's packets, an in-memory
// image set, a temporary directory and a running handset-sim process.
#pragma once

#include "ImageGen.h"
#include "ImageSet.h"

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace simtest {

using sim::Bytes;

Bytes FromHex(const std::string& hex); // "7E 02 6A" -> bytes

// Host packets, framed.
Bytes WritePacket(std::uint32_t address, const Bytes& data, std::size_t from, std::size_t n);
Bytes StreamWrite(std::uint32_t offset, const Bytes& data, std::size_t from, std::size_t n);
Bytes OpenPacket(std::uint8_t type, const Bytes& header);
Bytes PartitionPacket(const Bytes& table);
Bytes HelloPacket();
Bytes KitlData(std::uint32_t seq, const Bytes& flash, std::size_t from);
inline const Bytes kGo = FromHex("7E 05 00 A0 00 00 F4 E6 7E");
inline const Bytes kSwitch = FromHex("7E 0C 14 3A 7E");
inline const Bytes kRead = FromHex("7E 03 20 00 00 00 34 00 BC 70 7E");
inline const Bytes kSecurity = FromHex("7E 17 00 DE D7 7E");
inline const Bytes kClose = FromHex("7E 15 54 B7 7E");
inline const Bytes kReboot = FromHex("7E 0B AB 4E 7E");
inline const Bytes kHostAck = FromHex("6B 49 54 4C DD 00 04 00 00 35 00 00 00 00");

// Small image sets that still cross every boundary.
sim::ImageSizes SmallSizes();
sim::ImageSet ToImageSet(const sim::GeneratedImages& g);

class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& Path() const { return m_path; }

private:
    std::string m_path;
};

// handset-sim run as a child process; its stdout is read line by line.
class SimProcess {
public:
    explicit SimProcess(const std::vector<std::string>& args);
    ~SimProcess();
    SimProcess(const SimProcess&) = delete;
    SimProcess& operator=(const SimProcess&) = delete;

    // Waits for a stdout line starting with `prefix`; returns it.
    std::optional<std::string> WaitLine(const std::string& prefix, std::chrono::milliseconds limit);
    void Terminate();
    // Exit status, or nothing when it did not end in time.
    std::optional<int> WaitExit(std::chrono::milliseconds limit);

private:
    pid_t m_pid = -1;
    int m_out = -1;
    std::string m_buffer;
    std::optional<int> m_status;
};

// The host's end of the link: opened by path, raw.
class HostLink {
public:
    explicit HostLink(const std::string& path);
    ~HostLink();
    HostLink(const HostLink&) = delete;
    HostLink& operator=(const HostLink&) = delete;
    bool Ok() const { return m_fd >= 0; }
    void Send(const Bytes& bytes);
    // One HDLC frame (flag to flag), skipping anything before the first flag.
    std::optional<Bytes> ReadFrame(std::chrono::milliseconds limit);
    // Reads `n` bytes; fewer when the time runs out or the link fails.
    Bytes ReadBytes(std::size_t n, std::chrono::milliseconds limit);
    // Reads kITL frames until one of the type arrives; returns its header and data.
    std::optional<Bytes> ReadKitl(std::uint8_t type, std::chrono::milliseconds limit);
    // A read that reports the link gone (error or end of file) rather than no data.
    bool ReadFails(std::chrono::milliseconds limit);

private:
    int m_fd = -1;
};

bool WaitForPath(const std::string& path, bool present, std::chrono::milliseconds limit);
std::string ReadText(const std::string& path);

} // namespace simtest
