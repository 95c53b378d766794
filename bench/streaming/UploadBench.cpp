// One boot image uploaded against handset-sim on a pseudo-terminal, paced at the wire's rate
// (92160 bytes/s models 921600 baud 8N1). The handshake and the partition table run first,
// untimed; the figure is the elapsed time of the image phase over the time its bytes, both
// ways, need on the wire. Run it once unpaced too, for the host side's own cost.
//
//   streaming_upload_bench [--sim PATH] [--make-images PATH] [--kb N] [--rate B] [--latency-ms MS]
#include "QuietPage.h"
#include "SimProcess.h"
#include "pages/DownloadPage.h"
#include "protocol/hdlc/FixedPackets.h"
#include "protocol/streaming/StreamingCommon.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <spawn.h>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

namespace {

#ifdef VESTREL_HANDSET_SIM
std::string g_sim = VESTREL_HANDSET_SIM;
std::string g_makeImages = VESTREL_MAKE_IMAGES;
#else
std::string g_sim;
std::string g_makeImages;
#endif

std::size_t FrameLength(std::initializer_list<std::uint8_t> body) {
    std::vector<std::uint8_t> b(body);
    std::uint8_t frame[64];
    return EncodeFrame(b.data(), b.size(), frame, sizeof frame);
}

// Bytes of the image phase on the wire, both ways: the program's frames are rebuilt with the
// same framing from the same files; the programmer's answers are the frames of their bodies.
std::size_t WireBytes(const std::string& images) {
    std::size_t total = 0;
    BYTE packet[streaming::kPacketBufferSize];
    std::size_t length = 0;
    CFile file;
    const std::wstring dir(images.begin(), images.end());
    file.Open((dir + L"/oemsblhd.mbn").c_str(), CFile::modeRead);
    const std::uint8_t prefix[] = {0x1B, 0x04};
    streaming::FrameWholeFile(file, prefix, sizeof prefix, packet, sizeof packet, length);
    file.Close();
    total += length + FrameLength({0x1C, 0x00});
    file.Open((dir + L"/oemsbl.mbn").c_str(), CFile::modeRead);
    const std::uint64_t image = file.GetLength();
    for (std::uint64_t offset = 0; offset < image; offset += streaming::kChunkSize) {
        const std::size_t count =
            static_cast<std::size_t>(std::min<std::uint64_t>(streaming::kChunkSize, image - offset));
        const auto o = static_cast<std::uint32_t>(offset);
        streaming::FrameStreamWrite(file, o, count, packet, sizeof packet, length);
        total +=
            length + FrameLength({0x08, static_cast<std::uint8_t>(o), static_cast<std::uint8_t>(o >> 8),
                                  static_cast<std::uint8_t>(o >> 16), static_cast<std::uint8_t>(o >> 24)});
    }
    file.Close();
    return total + sizeof kClosePacket + FrameLength({0x16});
}

struct Result {
    bool ok = false;
    double seconds = 0;
    double cpu = 0;
};

struct Sim {
    pid_t pid = -1;
    int out = -1;
};

Sim StartSim(const std::string& link, const std::string& images, unsigned rate, unsigned latencyMs) {
    Sim sim;
    sim.pid = SpawnProcess({g_sim, "--link", link, "--images", images, "--start-at", "streaming", "--rate",
                            std::to_string(rate), "--latency-ms", std::to_string(latencyMs),
                            "--exit-after-idle", "3", "--linger-ms", "0"},
                           &sim.out);
    if (sim.pid < 0 || !WaitForLine(sim.out, "ready")) {
        std::fprintf(stderr, "handset-sim did not start\n");
        sim.pid = -1;
    }
    return sim;
}

// The rest of the flashing is not part of the figure: stop the simulator this bench started.
void StopSim(Sim& sim) {
    if (sim.pid > 0) {
        kill(sim.pid, SIGTERM);
        WaitExit(sim.pid);
    }
    if (sim.out >= 0)
        close(sim.out);
    sim = {};
}

// The program: handshake and partition table untimed, then the OEM boot loader phase timed.
Result Program(const std::string& link, const std::string& images, unsigned rate, unsigned latencyMs) {
    Result result;
    Sim sim = StartSim(link, images, rate, latencyMs);
    if (sim.pid < 0)
        return result;
    QuietPage page(images);
    const std::wstring device(link.begin(), link.end());
    bool ok =
        page.m_port.Open(device.c_str()) && page.m_port.ConfigureState() && page.m_port.ConfigureTimeouts();
    ok = ok && page.SendHelloPacket() && page.SendReadPacket() && page.SendSecurityPacket() &&
         page.SendPartitionTable();
    if (ok) {
        const double cpu0 = CpuSeconds();
        const auto t0 = std::chrono::steady_clock::now();
        ok = page.SendOemSbl() != 0;
        result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        result.cpu = CpuSeconds() - cpu0;
    }
    if (!ok)
        std::fprintf(stderr, "upload failed: %ls\n", page.m_lastMessage.c_str());
    page.m_port.Close();
    StopSim(sim);
    result.ok = ok;
    return result;
}

// A host that does as little as possible per frame: every frame built before the clock starts,
// one write each, the answer taken with whole reads. Its figure is what the simulator and the
// pseudo-terminal cost by themselves; the program's excess over it is the program's own.
bool ExchangeRaw(int fd, const std::uint8_t* frame, std::size_t length) {
    for (std::size_t done = 0; done < length;) {
        const ssize_t n = write(fd, frame + done, length - done);
        if (n <= 0)
            return false;
        done += static_cast<std::size_t>(n);
    }
    // One answer frame: an opening flag, at least one byte, a closing flag.
    std::size_t inFrame = 0;
    for (;;) {
        std::uint8_t buffer[256];
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n <= 0)
            return false;
        for (ssize_t i = 0; i < n; ++i) {
            if (buffer[i] == kHdlcFlag) {
                if (inFrame > 1)
                    return true; // any bytes after it belong to no frame: the simulator sends none
                inFrame = 1;
            } else if (inFrame > 0) {
                ++inFrame;
            }
        }
    }
}

Result Reference(const std::string& link, const std::string& images, unsigned rate, unsigned latencyMs) {
    Result result;
    // Every frame of the image phase, built up front.
    std::vector<std::vector<std::uint8_t>> frames;
    BYTE packet[streaming::kPacketBufferSize];
    std::size_t length = 0;
    const std::wstring dir(images.begin(), images.end());
    CFile file;
    file.Open((dir + L"/oemsblhd.mbn").c_str(), CFile::modeRead);
    const std::uint8_t openPrefix[] = {0x1B, 0x04};
    streaming::FrameWholeFile(file, openPrefix, sizeof openPrefix, packet, sizeof packet, length);
    frames.emplace_back(packet, packet + length);
    file.Open((dir + L"/oemsbl.mbn").c_str(), CFile::modeRead);
    const std::uint64_t image = file.GetLength();
    for (std::uint64_t offset = 0; offset < image; offset += streaming::kChunkSize) {
        const auto count =
            static_cast<std::size_t>(std::min<std::uint64_t>(streaming::kChunkSize, image - offset));
        streaming::FrameStreamWrite(file, static_cast<std::uint32_t>(offset), count, packet, sizeof packet,
                                    length);
        frames.emplace_back(packet, packet + length);
    }
    file.Close();
    frames.emplace_back(std::begin(kClosePacket), std::end(kClosePacket));
    std::vector<std::uint8_t> partition(streaming::kPartitionFrameCapacity);
    file.Open((dir + L"/partition.mbn").c_str(), CFile::modeRead);
    const std::uint8_t tablePrefix[] = {0x19, 0x00};
    streaming::FrameWholeFile(file, tablePrefix, sizeof tablePrefix, partition.data(), partition.size(),
                              length);
    partition.resize(length);
    file.Close();

    Sim sim = StartSim(link, images, rate, latencyMs);
    if (sim.pid < 0)
        return result;
    const int fd = open(link.c_str(), O_RDWR | O_NOCTTY);
    bool ok = fd >= 0;
    if (ok) {
        termios t{};
        tcgetattr(fd, &t);
        cfmakeraw(&t);
        tcsetattr(fd, TCSANOW, &t);
        ok = ExchangeRaw(fd, kHelloPacket, sizeof kHelloPacket) &&
             ExchangeRaw(fd, kReadPacket, sizeof kReadPacket) &&
             ExchangeRaw(fd, kSecurityPacket, sizeof kSecurityPacket) &&
             ExchangeRaw(fd, partition.data(), partition.size());
    }
    if (ok) {
        const double cpu0 = CpuSeconds();
        const auto t0 = std::chrono::steady_clock::now();
        for (const auto& frame : frames)
            ok = ok && ExchangeRaw(fd, frame.data(), frame.size());
        result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        result.cpu = CpuSeconds() - cpu0;
    }
    if (!ok)
        std::fprintf(stderr, "reference exchange failed\n");
    if (fd >= 0)
        close(fd);
    StopSim(sim);
    result.ok = ok;
    return result;
}

} // namespace

int main(int argc, char** argv) {
    std::size_t kb = 4096;
    unsigned rate = 92160;
    unsigned latencyMs = 0;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        if (option == "--sim")
            g_sim = argv[i + 1];
        else if (option == "--make-images")
            g_makeImages = argv[i + 1];
        else if (option == "--kb")
            kb = std::strtoul(argv[i + 1], nullptr, 10);
        else if (option == "--rate")
            rate = static_cast<unsigned>(std::strtoul(argv[i + 1], nullptr, 10));
        else if (option == "--latency-ms")
            latencyMs = static_cast<unsigned>(std::strtoul(argv[i + 1], nullptr, 10));
        else {
            std::fprintf(stderr, "unknown option %s\n", option.c_str());
            return 2;
        }
    }
    if (g_sim.empty() || g_makeImages.empty()) {
        std::fprintf(stderr, "handset-sim and make-images are needed (--sim, --make-images)\n");
        return 2;
    }
    char pattern[] = "/tmp/vestrel-upload-bench-XXXXXX";
    if (!mkdtemp(pattern))
        return 2;
    const std::filesystem::path dir = pattern;
    const std::string images = (dir / "images").string();
    const std::string link = (dir / "wceusbsh001").string();
    int status = 1;
    if (WaitExit(SpawnProcess({g_makeImages, "--out", images, "--oemsbl-size", std::to_string(kb * 1024)},
                              nullptr)) != 0) {
        std::fprintf(stderr, "make-images failed\n");
    } else {
        const Result program = Program(link, images, rate, latencyMs);
        const Result reference = Reference(link, images, rate, latencyMs);
        const std::size_t wire = WireBytes(images);
        if (program.ok && reference.ok) {
            status = 0;
            std::printf("image %zu KiB, %zu bytes on the wire both ways\n", kb, wire);
            std::printf("program:   elapsed %.3f s, host processor %.3f s (%.2f ms per MB of image)\n",
                        program.seconds, program.cpu,
                        program.cpu * 1000.0 / (static_cast<double>(kb) / 1024.0));
            std::printf(
                "reference: elapsed %.3f s (frames built beforehand, one write and whole reads each)\n",
                reference.seconds);
            if (rate != 0) {
                const double wireSeconds = static_cast<double>(wire) / rate;
                std::printf("wire time at %u bytes/s: %.3f s\n", rate, wireSeconds);
                std::printf("elapsed / wire: program %.4f (target <= 1.03), reference %.4f\n",
                            program.seconds / wireSeconds, reference.seconds / wireSeconds);
            }
            std::printf("program / reference: %.4f\n", program.seconds / reference.seconds);
        }
    }
    std::filesystem::remove_all(dir);
    return status;
}
